#include "tcp/OB_Session.h"

#include "UTimeStamp.h"

int OB_Session::needToPack(int seconds) {
  const uint32_t now = static_cast<uint32_t>(UTimeStamp::GetTimeStamp() / 1000000u);
  // The distance either way: a last packet stamped a little after the clock's now (a clock
  // stepped back, or a replay's frames stamped ahead of the wall clock it hands over to at its
  // end) is no idle time, and dropping its session would cut a live connection in two.
  const uint32_t distance = now >= lastTime ? now - lastTime : lastTime - now;
  return distance > static_cast<uint32_t>(seconds) ? 1 : 0;
}

int OB_Session::init() {
  lastTime = 0;
  finished = 0;
  protocol = nullptr;
  return 0;
}

int OB_Session::reset() { return OB_Session::init(); }
