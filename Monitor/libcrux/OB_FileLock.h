// An advisory lock between processes on a lock file (the archive files' ".lock" companions, and
// the archive file a writer has open), taken on the file's first byte. It also excludes other
// descriptors of the same process, but not threads that share one OB_FileLock.
#pragma once

#include <cstdio>

#include "OB_Object.h"

class OB_FileLock : public virtual OB_Object {
 public:
  OB_FileLock() = default;
  OB_FileLock(const OB_FileLock&) = delete;
  OB_FileLock& operator=(const OB_FileLock&) = delete;
  // Closes the descriptor when the lock opened it itself.
  ~OB_FileLock() override;

  // Opens (creating it, owner read/write) the lock file and keeps the descriptor as its own.
  // 0, or -1 when the file cannot be opened.
  virtual int open(const char* path);
  // Borrows the stream's descriptor; it is not closed by this lock. -1 for a null stream.
  virtual int setFD(FILE* stream);
  // Borrows the descriptor; it is not closed by this lock.
  virtual int setFD(int descriptor);
  // Takes byte 0 without blocking; while another holder has it, tries again once a second, up to
  // ten tries. 0 when taken, -1 when not (logged at debug level).
  virtual int lock();
  // Gives byte 0 back; 0, or -1 when that failed (logged at debug level).
  virtual int unlock();
  // Whether another holder (another process, or another open file of this one) has byte 0: 1
  // when it has, 0 when nobody has, -1 when that cannot be told (no descriptor, a file system
  // without locks). Takes nothing itself.
  virtual int isLockedElsewhere();

 private:
  void closeOwn();
  int setByteZero(short type);

  int descriptor_ = -1;  // -1: none
  int ownsDescriptor_ = 1;
};
