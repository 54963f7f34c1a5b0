// tshark as the outside reference of the trace tests: whether it is installed, the fields it
// prints for the frames of a display filter, and how its FTP reply codes compare with the parser's.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace corrana_test {

// The captures a trace test replays: the project's own recordings (Monitor/libwire/tests/data),
// then the shared traces of tracesDir when that folder is there, each group sorted; of either
// only the savefiles whose name begins with prefix.
inline std::vector<std::filesystem::path> traceFiles(const std::string& sourceDir,
                                                     const std::string& tracesDir,
                                                     const std::string& prefix = "") {
  std::vector<std::filesystem::path> all;
  for (const std::string& folder : {sourceDir + "/Monitor/libwire/tests/data", tracesDir}) {
    if (!std::filesystem::is_directory(folder)) continue;
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (entry.path().extension() == ".pcap" && name.rfind(prefix, 0) == 0)
        found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    all.insert(all.end(), found.begin(), found.end());
  }
  return all;
}
#if defined(CORRANA_SOURCE_DIR) && defined(CORRANA_TRACES_DIR)
inline std::vector<std::filesystem::path> traceFiles(const std::string& prefix = "") {
  return traceFiles(CORRANA_SOURCE_DIR, CORRANA_TRACES_DIR, prefix);
}
#endif

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

// As tsharkFields, one row per message: a frame that holds several messages (pipelined requests
// in one segment) gives several occurrences of each message field, and becomes one row per
// occurrence; a field with a single occurrence (the frame's, the stream's) is repeated in each.
inline std::vector<std::vector<std::string>> tsharkMessages(const std::string& path,
                                                            const std::string& filter,
                                                            const std::string& fields) {
  const char kAggregator = '\x1f';
  std::vector<std::vector<std::string>> rows;
  for (const auto& frame :
       tsharkFields(path, filter, "-E 'aggregator=\x1f' " + fields)) {
    std::vector<std::vector<std::string>> each;
    size_t messages = 1;
    for (const std::string& field : frame) {
      std::vector<std::string> parts(1);
      for (char c : field) {
        if (c == kAggregator) {
          parts.emplace_back();
        } else {
          parts.back() += c;
        }
      }
      messages = std::max(messages, parts.size());
      each.push_back(parts);
    }
    for (size_t i = 0; i < messages; ++i) {
      std::vector<std::string> row;
      for (const auto& parts : each)
        row.push_back(parts.size() == 1 ? parts[0] : i < parts.size() ? parts[i] : "");
      rows.push_back(row);
    }
  }
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
