// Helpers for the archive tests: HTTP and FTP records, their factories, record bytes, and
// archive files made by hand in a test directory.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "OB_FileLock.h"
#include "archive/OB_ArchiveHeader.h"
#include "ftp/OB_FTPProtocol.h"
#include "ftp/OB_FTPXact.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "records/OB_ProtocolFactory.h"

namespace archivetest {

using Bytes = std::vector<unsigned char>;

// An HTTP connection of the given time with one request per URI.
inline OB_HTTPProtocol* httpRecord(uint32_t connTime, std::vector<const char*> uris) {
  OB_HTTPProtocol* p = new OB_HTTPProtocol(1, 8);
  p->connTime = connTime;
  p->clientIP = 0x0A000001;
  p->serverIP = 0x0A000002;
  p->serverPort = 80;
  for (const char* uri : uris) {
    OB_HTTPXact* xact = obQuery<OB_HTTPXact>(p->addXLink());
    if (xact == nullptr) break;
    xact->req_method = "GET";
    xact->req_request_uri = uri;
    xact->res_status_code = "200";
    ++p->commRespCount;
  }
  return p;
}

// An FTP control connection of the given time with a login and one command.
inline OB_FTPProtocol* ftpRecord(uint32_t connTime, const char* login) {
  OB_FTPProtocol* p = OB_FTPProtocol::create();
  p->connTime = connTime;
  p->serverPort = 21;
  p->loginName = login;
  OB_FTPXact* xact = obQuery<OB_FTPXact>(p->addXLink());
  xact->command = 0;
  xact->setParameter(login, std::char_traits<char>::length(login));
  xact->addReply(230);
  ++p->commRespCount;
  return p;
}

class HTTPFactory : public OB_ProtocolFactory {
 public:
  OB_Data* createProtocol() override { return new OB_HTTPProtocol(1, 8); }
};

class FTPFactory : public OB_ProtocolFactory {
 public:
  OB_Data* createProtocol() override { return OB_FTPProtocol::create(); }
};

// The record's bytes as write gives them; a record read back must give the same.
inline Bytes recordBytes(OB_Object* record) {
  FILE* file = tmpfile();
  record->write(file);
  fflush(file);
  Bytes bytes(static_cast<size_t>(ftell(file)));
  rewind(file);
  if (fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) bytes.clear();
  fclose(file);
  return bytes;
}

inline Bytes fileBytes(const std::string& path) {
  Bytes bytes;
  if (FILE* file = fopen(path.c_str(), "rb")) {
    for (int c; (c = fgetc(file)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
    fclose(file);
  }
  return bytes;
}

inline void appendBytes(const std::string& path, const Bytes& bytes) {
  FILE* file = fopen(path.c_str(), "ab");
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

// A file with a header of the given times followed by the bytes.
inline void makeArchive(const std::string& path, uint32_t start, uint32_t stop,
                        const Bytes& records = {}) {
  FILE* file = fopen(path.c_str(), "wb");
  OB_ArchiveHeader header(path.c_str(), 3, start, stop, "http", "", "", 0, nullptr);
  header.write(file);
  fclose(file);
  appendBytes(path, records);
}

// Holds a file as its writer does while writing it, so readers wait for what it adds.
class HeldAsByAWriter {
 public:
  explicit HeldAsByAWriter(const std::string& path) : fd_(open(path.c_str(), O_RDWR)) {
    lock_.setFD(fd_);
    lock_.lock();
  }
  ~HeldAsByAWriter() {
    if (fd_ >= 0) close(fd_);
  }
  HeldAsByAWriter(const HeldAsByAWriter&) = delete;
  HeldAsByAWriter& operator=(const HeldAsByAWriter&) = delete;

 private:
  int fd_;
  OB_FileLock lock_;
};

// The header of the file, read afresh.
inline OB_ArchiveHeader headerOf(const std::string& path) {
  OB_ArchiveHeader header(path.c_str());
  if (FILE* file = fopen(path.c_str(), "rb")) {
    header.read(file);
    fclose(file);
  }
  return OB_ArchiveHeader(&header);
}

// Paths of the directory's files whose names begin with prefix, in name order.
inline std::vector<std::string> filesOf(const std::string& directory, const std::string& prefix) {
  std::vector<std::string> out;
  if (DIR* dir = opendir(directory.c_str())) {
    while (struct dirent* entry = readdir(dir))
      if (std::string(entry->d_name).rfind(prefix, 0) == 0)
        out.push_back(directory + "/" + entry->d_name);
    closedir(dir);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace archivetest
