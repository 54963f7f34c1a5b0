// What every fuzz target shares: a quiet process log, an in-memory file with a path, and a
// process stop that a target can catch. Include it from exactly one source of each target: it
// defines OB_Log::quit.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "OB_Log.h"

namespace corrana_fuzz {

// What OB_Log::quit throws here: the message it would have logged.
struct Quit {
  std::string message;
};

// Points the install directory at a new temporary folder whose log file is /dev/null and opens
// the log at the given debug level: log lines are written and cost little, and fill no disk.
inline void quietLog(const char* name, int debugLevel = 0) {
  char pattern[] = "/tmp/corrana_fuzzXXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) abort();
  const std::string logs = std::string(dir) + "/logs";
  mkdir(logs.c_str(), 0755);
  static std::string log;
  static std::string logFolder;
  static std::string installFolder;
  log = logs + "/" + name + ".log";
  logFolder = logs;
  installFolder = dir;
  if (symlink("/dev/null", log.c_str()) != 0) abort();
  setenv("OB_INSTALLDIR", dir, 1);
  OB_Log::init(name, debugLevel, nullptr);
  // The folder goes when the run ends normally; after a finding it stays with the log link.
  atexit([] {
    OB_Log::reset();
    unlink(log.c_str());
    rmdir(logFolder.c_str());
    rmdir(installFolder.c_str());
  });
}

// An anonymous in-memory file holding the bytes, reachable by path for readers that open files
// by name. Closed with the object.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) {
    fd_ = memfd_create("corrana_fuzz", 0);
    if (fd_ < 0) abort();
    for (size_t done = 0; done < size;) {
      ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) abort();
      done += static_cast<size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

}  // namespace corrana_fuzz

// The libraries end the process through OB_Log::quit where their design says so (a file that
// cannot be used). A fuzz run must go on after such a stop, so in a fuzz target the libraries'
// calls bind to this definition, which throws instead. A target catches Quit where stopping is
// the designed answer; anywhere else the exception ends the run as a finding.
void OB_Log::quit(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw corrana_fuzz::Quit{text};
}
