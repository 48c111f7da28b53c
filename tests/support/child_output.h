// Test support for the tests that run the built programs: what a run left behind.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

struct RunResult {
  int exitStatus = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// The whole of a file the child wrote (its output caught in a file); empty when it is missing.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}
