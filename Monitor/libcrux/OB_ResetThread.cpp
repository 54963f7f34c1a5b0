#include "OB_ResetThread.h"

#include <vector>

#include "OB_Log.h"
#include "OB_Tools.h"

time_t OB_ResetThread::now() { return time(nullptr); }

int OB_ResetThread::secondsToMidnight(time_t t) {
  struct tm local;
  if (!OB_Tools::localTime(t, &local)) return 86400;
  const int wallClock = ((24 - local.tm_hour) * 60 - local.tm_min) * 60 - local.tm_sec;
  // The next day at 00:00:00 as the system reckons it, so a day of a daylight-saving change is
  // neither an hour short nor long; the wall-clock reckoning stands in if that fails.
  local.tm_mday += 1;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  time_t midnight = OB_Tools::makeLocalTime(&local);
  double seconds = midnight != static_cast<time_t>(-1) ? difftime(midnight, t) : wallClock;
  if (seconds < 1 || seconds > 2 * 86400) seconds = wallClock;
  return seconds < 1 ? 1 : static_cast<int>(seconds);
}

int OB_ResetThread::doTask() {
  const time_t started = now();
  sleep(secondsToMidnight(started));
  if (isRunning() == 0) return 0;

  char when[64];
  struct tm local;
  if (!OB_Tools::localTime(started, &local) || asctime_r(&local, when) == nullptr)
    snprintf(when, sizeof when, "%lld\n", static_cast<long long>(started));
  OB_Log::debug("Reseting archive files at %s...", when);
  {
    // Held for the whole walk, so an owner that empties the list before releasing the objects
    // waits until no reset runs; the walk goes over a copy, so a reset may touch the list.
    OB_MutexHold hold(this);
    std::vector<OB_Object*> objects;
    objects.reserve(static_cast<size_t>(OB_List<OB_Object>::count_));
    for (Link* link = head_; link != nullptr; link = link->getNext())
      if (link->getItemObject() != nullptr) objects.push_back(link->getItemObject());
    for (OB_Object* object : objects) object->reset();
  }
  OB_Log::debug("...done reseting archive files at %s.\n", when);
  return 0;
}
