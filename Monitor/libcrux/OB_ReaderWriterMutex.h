// A shared/exclusive lock: many readers together or one writer (the analysis engine's time-window
// index). No preference for writers: a reader gets in whenever no writer holds the lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "OB_Object.h"

class OB_ReaderWriterMutex : public virtual OB_Object {
 public:
  OB_ReaderWriterMutex() = default;
  OB_ReaderWriterMutex(const OB_ReaderWriterMutex&) = delete;
  OB_ReaderWriterMutex& operator=(const OB_ReaderWriterMutex&) = delete;

  // Each returns 0. Not re-entrant: a thread that holds the lock must not ask for it again.
  int rLock();
  int rUnlock();
  int wLock();
  int wUnlock();

 private:
  // Both counts change only under guard_; a waiter sleeps on wake_ with guard_ handed to the
  // wait itself, so a release between its test and its sleep cannot be missed.
  std::mutex guard_;
  std::condition_variable wake_;
  int32_t readers_ = 0;
  int32_t writers_ = 0;
};
