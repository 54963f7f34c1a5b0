#include "OB_Event.h"

#include <chrono>

int OB_Event::wait(OB_Mutex* /*mutex*/, int ms) {
  std::unique_lock<std::mutex> hold(lock_);
  ++waiters_;
  auto woken = [this] { return pending_ > 0; };
  bool signalled = true;
  if (ms <= 0)
    wake_.wait(hold, woken);
  else
    signalled = wake_.wait_for(hold, std::chrono::milliseconds(ms), woken);
  if (signalled) --pending_;
  --waiters_;
  return signalled ? 0 : -1;
}

int OB_Event::numWaiting() {
  std::lock_guard<std::mutex> hold(lock_);
  return waiters_;
}

int OB_Event::signal() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (pending_ >= waiters_) return 0;
    ++pending_;
  }
  wake_.notify_one();
  return 0;
}
