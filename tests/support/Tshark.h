// tshark as the outside reference for trace tests: whether it is installed, and the fields it
// reads from a savefile for a display filter, one row per frame, fields split at tabs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace corrana_test {

inline bool haveTshark() { return system("tshark --version >/dev/null 2>&1") == 0; }

// fields: tshark's field options ("-e ip.src -e ip.dst"). No rows when tshark cannot run.
inline std::vector<std::vector<std::string>> tsharkFields(const std::string& path,
                                                          const std::string& filter,
                                                          const std::string& fields) {
  std::vector<std::vector<std::string>> rows;
  std::string command = "tshark -n -r '" + path + "' -Y '" + filter +
                        "' -T fields -E separator=/t " + fields + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return rows;
  char line[8192];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::vector<std::string> row(1);
    for (const char* c = line; *c != '\0' && *c != '\n'; ++c) {
      if (*c == '\t') {
        row.emplace_back();
      } else {
        row.back() += *c;
      }
    }
    rows.push_back(row);
  }
  pclose(pipe);
  return rows;
}

}  // namespace corrana_test
