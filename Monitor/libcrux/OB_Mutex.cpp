#include "OB_Mutex.h"

// Only the holder changes the depth, so a plain load and store do: no locked instruction beyond
// the lock's own.
void OB_Mutex::lock() {
  mutex_.lock();
  depth_.store(depth_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void OB_Mutex::unlock() {
  depth_.store(depth_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  mutex_.unlock();
}

bool OB_Mutex::tryLock() {
  if (!mutex_.try_lock()) return false;
  depth_.store(depth_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return true;
}

int OB_Mutex::isLocked() { return depth_.load(std::memory_order_relaxed) != 0 ? 1 : 0; }

std::recursive_mutex* OB_Mutex::mutex() { return &mutex_; }
