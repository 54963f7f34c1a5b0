#include "CManualEvent.h"

#include <chrono>

void CManualEvent::set() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    set_ = true;
  }
  changed_.notify_all();
}

void CManualEvent::reset() {
  std::lock_guard<std::mutex> hold(lock_);
  set_ = false;
}

bool CManualEvent::wait(int ms) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return set_; });
}
