// A manual-reset event in place of the platform's: set, it stays set (every wait returns at once)
// until reset. The monitor service's stop, pause and continue requests travel from the control
// thread to the service's own thread through three of them.
#pragma once

#include <condition_variable>
#include <mutex>

class CManualEvent {
 public:
  CManualEvent() = default;
  CManualEvent(const CManualEvent&) = delete;
  CManualEvent& operator=(const CManualEvent&) = delete;

  // Any thread.
  void set();
  void reset();
  // True when the event is set or becomes set within ms milliseconds; it stays set.
  bool wait(int ms);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool set_ = false;
};
