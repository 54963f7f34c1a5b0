// tshark as the outside reference of the trace tests: whether it is installed, the fields it
// prints for the frames of a display filter, and how its FTP reply codes compare with the parser's.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace corrana_test {

inline bool haveTshark() { return system("tshark --version >/dev/null 2>&1") == 0; }

// One row of fields per frame that passes filter; fields is a run of "-e name" options.
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

// Adds the reply codes of one server frame (tshark's ftp.response.code field: none, or several
// comma-separated) to a connection's codes. tshark gives a multi-line reply's code on its first
// and on its last line, with the lines between as frames without a code (continued is set by
// those); the parser keeps such a reply once, so the last line's code is not added again.
inline void addFTPReplyCodes(const std::string& field, std::vector<int>& codes, bool& continued) {
  if (field.empty()) {
    continued = true;
    return;
  }
  bool sameFrame = false;
  for (size_t at = 0; at < field.size();) {
    size_t comma = field.find(',', at);
    if (comma == std::string::npos) comma = field.size();
    const int code = atoi(field.substr(at, comma - at).c_str());
    const bool lastLine = (continued || sameFrame) && !codes.empty() && codes.back() == code;
    if (!lastLine) codes.push_back(code);
    continued = false;
    sameFrame = true;
    at = comma + 1;
  }
}

}  // namespace corrana_test
