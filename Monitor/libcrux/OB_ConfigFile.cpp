#include "OB_ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "OB_Log.h"
#include "OB_Tools.h"

namespace {
// How many holders this thread has stacked on the lock; only the outermost one takes it.
thread_local int locksHeld = 0;
}  // namespace

OB_ConfigFileLock::OB_ConfigFileLock()
    : path_(std::string(OB_Tools::getInstallDir()) + "/admin/cfg.lock") {
  if (locksHeld > 0) {
    held_ = true;
  } else {
    held_ = lock_.open(path_.c_str()) == 0 && lock_.lock() == 0;
    outermost_ = held_;
  }
  if (held_) ++locksHeld;
}

OB_ConfigFileLock::~OB_ConfigFileLock() {
  if (!held_) return;
  --locksHeld;
  if (outermost_) lock_.unlock();
}

int OB_ConfigFile::replace(const std::string& path, Access access,
                           const std::function<bool(FILE*)>& write) {
  OB_ConfigFileLock lock;
  if (!lock.held()) {
    OB_Log::ret("can't write %s: %s is not to be had", path.c_str(), lock.path().c_str());
    return -1;
  }
  // Created by mkstemp: owner read/write only from the first byte, and a name no other writer
  // uses.
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    OB_Log::ret("can't write %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  int error = 0;
  if (access == Access::kKeepMode) {
    struct stat old;
    const mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (fchmod(fd, mode) != 0) error = errno;
  }
  FILE* out = error == 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    if (error == 0) error = errno;
    close(fd);
  } else {
    const bool whole = write(out);
    if (fflush(out) != 0 || ferror(out) != 0 || fsync(fd) != 0) error = errno != 0 ? errno : EIO;
    if (fclose(out) != 0 && error == 0) error = errno;
    if (!whole && error == 0) error = EIO;
  }
  if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return 0;
  unlink(temporary.c_str());
  OB_Log::ret("can't write %s: %s", path.c_str(), strerror(error));
  return -1;
}
