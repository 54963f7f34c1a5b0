#include "OB_FileLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "OB_Log.h"
#include "OB_Tools.h"

namespace {
constexpr int kLockTries = 10;

int openRetryingEintr(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
}  // namespace

OB_FileLock::~OB_FileLock() { closeOwn(); }

void OB_FileLock::closeOwn() {
  if (descriptor_ >= 0 && ownsDescriptor_ != 0) ::close(descriptor_);
  descriptor_ = -1;
}

int OB_FileLock::open(const char* path) {
  closeOwn();
  ownsDescriptor_ = 1;
  if (path == nullptr) return -1;
  int fd = openRetryingEintr(path);
  if (fd < 0 && errno == EAGAIN) {
    OB_Tools::sleep(1);
    fd = openRetryingEintr(path);
  }
  if (fd < 0) {
    perror("archiving_openReader");
    OB_Log::ret("archiving_openReader: error opening %s", path);
    return -1;
  }
  descriptor_ = fd;
  // A lock file made by another user cannot take our mode; the descriptor is open read/write
  // already, which is all the lock needs.
  if (fchmod(fd, S_IRUSR | S_IWUSR) != 0)
    OB_Log::debug("OB_FileLock: couldn't chmod() lock %s %s", path, OB_Log::sys_err_str());
  return 0;
}

int OB_FileLock::setFD(FILE* stream) {
  if (stream == nullptr) return -1;
  return setFD(fileno(stream));
}

int OB_FileLock::setFD(int descriptor) {
  closeOwn();
  descriptor_ = descriptor;
  ownsDescriptor_ = 0;
  return 0;
}

// Open-file-description locks: unlike POSIX record locks they belong to the open file, so two
// locks in one process exclude each other and closing another descriptor of the file does not
// drop them.
int OB_FileLock::setByteZero(short type) {
  struct flock region = {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  region.l_start = 0;
  region.l_len = 1;
  int result;
  do {
    result = fcntl(descriptor_, F_OFD_SETLK, &region);
  } while (result != 0 && errno == EINTR);
  return result;
}

int OB_FileLock::lock() {
  for (int attempt = 1;; ++attempt) {
    if (setByteZero(F_WRLCK) == 0) return 0;
    bool heldElsewhere = errno == EAGAIN || errno == EACCES;
    if (!heldElsewhere || attempt == kLockTries) break;
    OB_Tools::sleep(1);
  }
  OB_Log::debug("my_lockf: can't F_LOCK, %s", OB_Log::sys_err_str());
  return -1;
}

int OB_FileLock::unlock() {
  if (setByteZero(F_UNLCK) == 0) return 0;
  OB_Log::debug("my_unlockf: can't F_LOCK, %s", OB_Log::sys_err_str());
  return -1;
}

int OB_FileLock::isLockedElsewhere() {
  if (descriptor_ < 0) return -1;
  struct flock region = {};
  region.l_type = F_RDLCK;  // met by any write lock of another holder
  region.l_whence = SEEK_SET;
  region.l_start = 0;
  region.l_len = 1;
  if (fcntl(descriptor_, F_OFD_GETLK, &region) != 0) return -1;
  return region.l_type == F_UNLCK ? 0 : 1;
}
