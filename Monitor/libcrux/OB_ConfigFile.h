// The writers of the configuration files in the install directory's admin folder ("<install>/
// admin"): the engines' private files, the capture engine's installation file. They write one
// at a time, between threads and processes, under that folder's "cfg.lock", and each through a
// temporary file of its own that then replaces the file: a reader never sees a cut file, and a
// write that fails (a read-only or full disk) leaves the old file as it was.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "OB_FileLock.h"

// Holds "<install>/admin/cfg.lock" while it lives. Re-entrant on one thread: a writer called by
// a reader that already holds it (the analysis configuration rewritten while it is read) takes
// nothing more.
class OB_ConfigFileLock {
 public:
  // Waits for the lock as OB_FileLock::lock does (about ten seconds).
  OB_ConfigFileLock();
  ~OB_ConfigFileLock();
  OB_ConfigFileLock(const OB_ConfigFileLock&) = delete;
  OB_ConfigFileLock& operator=(const OB_ConfigFileLock&) = delete;

  // Whether this thread holds the lock (taken here or by an enclosing holder).
  bool held() const { return held_; }
  const std::string& path() const { return path_; }

 private:
  OB_FileLock lock_;
  std::string path_;
  bool held_ = false;
  bool outermost_ = false;
};

class OB_ConfigFile {
 public:
  OB_ConfigFile() = delete;

  // Who may read a replaced file: kPrivate, its owner only (0600: the files that hold console
  // passwords); kKeepMode, whoever could read the file it replaces (0644 for a new one).
  enum class Access { kPrivate, kKeepMode };

  // Replaces the file at path with what write puts into a stream (false: the content is not
  // whole), under cfg.lock. 0 when the new file stands in place of the old; -1 otherwise, logged
  // with the path and the reason, the old file untouched and no temporary left behind.
  static int replace(const std::string& path, Access access,
                     const std::function<bool(FILE*)>& write);
};
