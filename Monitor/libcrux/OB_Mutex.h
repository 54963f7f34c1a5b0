// The system's one mutual-exclusion lock, re-entrant for the thread that holds it. Lists, threads,
// thread lists, the option list, statistics blocks and engine managers have it as a base.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "OB_Object.h"

class OB_Mutex : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Mutex, 0x2BE2BF7A, "OB_Mutex", OB_Object)
  OB_CLASS_CREATE(OB_Mutex)

 public:
  OB_Mutex() = default;
  // A copy of an object that has this lock as a base gets a fresh, unlocked lock of its own.
  OB_Mutex(const OB_Mutex&) : OB_Object() {}
  OB_Mutex& operator=(const OB_Mutex&) { return *this; }
  ~OB_Mutex() override = default;

  // Blocks until free; the holder may lock again and must unlock as often as it locked.
  virtual void lock();
  virtual void unlock();
  // Takes the lock when it is free or already this thread's, without waiting: true when taken
  // (unlock it as after lock), false when another thread holds it.
  virtual bool tryLock();
  // 1 while some thread holds the lock, else 0; a snapshot only, for diagnostics.
  virtual int isLocked();
  // The platform lock itself, for code that must hand it to a std facility.
  virtual std::recursive_mutex* mutex();

 private:
  std::recursive_mutex mutex_;
  // Hold depth of the owning thread; changed only while the lock is held.
  std::atomic<int32_t> depth_{0};
};

// Holds an OB_Mutex for a scope.
class OB_MutexHold {
 public:
  explicit OB_MutexHold(OB_Mutex* mutex) : mutex_(mutex) { mutex_->lock(); }
  ~OB_MutexHold() { mutex_->unlock(); }
  OB_MutexHold(const OB_MutexHold&) = delete;
  OB_MutexHold& operator=(const OB_MutexHold&) = delete;

 private:
  OB_Mutex* mutex_;  // not owned, outlives this
};
