#include "OB_ReaderWriterMutex.h"

int OB_ReaderWriterMutex::rLock() {
  std::unique_lock<std::mutex> hold(guard_);
  wake_.wait(hold, [this] { return writers_ == 0; });
  ++readers_;
  return 0;
}

int OB_ReaderWriterMutex::rUnlock() {
  std::lock_guard<std::mutex> hold(guard_);
  if (readers_ > 0 && --readers_ == 0) wake_.notify_all();
  return 0;
}

int OB_ReaderWriterMutex::wLock() {
  std::unique_lock<std::mutex> hold(guard_);
  wake_.wait(hold, [this] { return writers_ == 0 && readers_ == 0; });
  ++writers_;
  return 0;
}

// Every waiting reader may enter once the writer leaves, so all waiters are woken; those that
// still find the lock taken sleep again.
int OB_ReaderWriterMutex::wUnlock() {
  std::lock_guard<std::mutex> hold(guard_);
  if (writers_ > 0 && --writers_ == 0) wake_.notify_all();
  return 0;
}
