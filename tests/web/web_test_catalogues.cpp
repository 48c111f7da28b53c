// Writes catweb's test catalogues into a folder, for the browser test:
//   web_test_catalogues FOLDER
#include <cstdio>
#include <string>

#include "tests/web/web_catalogues.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: web_test_catalogues FOLDER\n", stderr);
    return 2;
  }
  web_test::Catalogues written;
  std::string error;
  if (!web_test::WriteCatalogues(argv[1], &written, &error)) {
    std::fprintf(stderr, "web_test_catalogues: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
