// Test support: the whole of a file a program or a test wrote.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// Empty when the file is missing.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}
