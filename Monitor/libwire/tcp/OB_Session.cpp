#include "tcp/OB_Session.h"

#include "UTimeStamp.h"

int OB_Session::needToPack(int seconds) {
  const uint32_t now = static_cast<uint32_t>(UTimeStamp::GetTimeStamp() / 1000000u);
  return now - lastTime > static_cast<uint32_t>(seconds) ? 1 : 0;
}

int OB_Session::init() {
  lastTime = 0;
  finished = 0;
  protocol = nullptr;
  return 0;
}

int OB_Session::reset() { return OB_Session::init(); }
