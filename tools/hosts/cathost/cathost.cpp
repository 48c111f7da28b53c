// cathost: the reference host for the native format modules.
#include "tools/hosts/driver/cathost_run.h"

int main(int argc, char** argv) {
  return RunCathost(argc, argv, HostSetup{});
}
