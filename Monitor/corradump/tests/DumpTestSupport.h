// Helpers for the export tool's tests: HTTP connections built field by field, archives written
// through the capture engine's archive writer, files read whole, and a working directory held for
// the length of a test (the side lists and the configuration's lock file go there).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "archive/OB_ArchiveWriter.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"

namespace dump_test {

// One transaction's fields, set by name: Request("/a").status("404").agent("UA").
class Request {
 public:
  explicit Request(std::string uri) : uri_(std::move(uri)) {}
  Request& status(std::string value) { return set(&status_, std::move(value)); }
  Request& bytes(int32_t value) {
    bytes_ = value;
    return *this;
  }
  Request& referer(std::string value) { return set(&referer_, std::move(value)); }
  Request& agent(std::string value) { return set(&agent_, std::move(value)); }
  Request& method(std::string value) { return set(&method_, std::move(value)); }
  Request& version(std::string value) { return set(&version_, std::move(value)); }
  Request& type(std::string value) { return set(&type_, std::move(value)); }

  void fill(OB_HTTPXact* x) const {
    x->req_method = method_.c_str();
    x->req_request_uri = uri_.c_str();
    x->req_http_vers = version_.c_str();
    x->req_host = "www.site";
    x->req_referer = referer_.c_str();
    x->req_user_agent = agent_.c_str();
    x->res_status_code = status_.c_str();
    x->res_content_type = type_.c_str();
    x->res_bytes = bytes_;
  }

 private:
  Request& set(std::string* field, std::string value) {
    *field = std::move(value);
    return *this;
  }
  std::string uri_;
  std::string status_ = "200";
  int32_t bytes_ = 0;
  std::string referer_;
  std::string agent_;
  std::string method_ = "GET";
  std::string version_ = "1.1";
  std::string type_ = "text/html";
};

// A connection of client to server port 80 at when, one transaction per request (owned by the
// caller).
inline OB_HTTPProtocol* connection(uint32_t when, uint32_t client, uint32_t server,
                                   const std::vector<Request>& requests) {
  auto* http = new OB_HTTPProtocol(1, 16);
  http->connTime = when;
  http->clientIP = client;
  http->serverIP = server;
  http->serverPort = 80;
  for (const Request& r : requests) {
    r.fill(obQuery<OB_HTTPXact>(http->addXLink()));
    ++http->commRespCount;
  }
  return http;
}

// Writes the connections, in order, to a new "http" archive file in directory and releases them.
inline void archive(const std::string& directory, const std::vector<OB_HTTPProtocol*>& records) {
  auto* writer = new OB_ArchiveWriter(nullptr, directory.c_str(), "http", "", "", 0);
  for (OB_HTTPProtocol* record : records) {
    writer->processObject(record);
    record->release();
  }
  writer->release();
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Makes directory the working directory until the object goes.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& directory) {
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) != nullptr) previous_ = here;
    EXPECT_EQ(chdir(directory.c_str()), 0) << directory;
  }
  ~WorkingDirectory() {
    if (!previous_.empty()) {
      EXPECT_EQ(chdir(previous_.c_str()), 0);
    }
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::string previous_;
};

}  // namespace dump_test
