// Whole files for tests: what the code under test wrote (logs, configuration files, archives)
// and the files a test lays down for it.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace corrana_test {

// The file's bytes; "" when it cannot be opened.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Replaces the file's content with text (creating it).
inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace corrana_test
