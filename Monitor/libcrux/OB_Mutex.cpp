#include "OB_Mutex.h"

void OB_Mutex::lock() {
  mutex_.lock();
  depth_.fetch_add(1, std::memory_order_relaxed);
}

void OB_Mutex::unlock() {
  depth_.fetch_sub(1, std::memory_order_relaxed);
  mutex_.unlock();
}

int OB_Mutex::isLocked() { return depth_.load(std::memory_order_relaxed) != 0 ? 1 : 0; }

std::recursive_mutex* OB_Mutex::mutex() { return &mutex_; }
