// Whole files for tests: what the code under test wrote (logs, configuration files, archives)
// and the files a test lays down for it.
#pragma once

#include <fstream>
#include <regex>
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

// A log's text without the time ("2026Dec10-03:21 - ") that begins each of its lines; a line
// without one is kept whole behind "untimed: ", so that a comparison shows it.
inline std::string untimed(const std::string& text) {
  static const std::regex time("^[0-9]{4}[A-Z][a-z]{2}[0-9]{2}-[0-9]{2}:[0-9]{2} - ");
  std::string result;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch found;
    result += std::regex_search(line, found, time) ? line.substr(found.length()) : "untimed: " + line;
    result += "\n";
  }
  return result;
}

// Replaces the file's content with text (creating it).
inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace corrana_test
