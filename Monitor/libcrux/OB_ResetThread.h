// A thread that sleeps until the next local midnight and then resets every object registered
// with it, once a day. The capture engine registers its archive writers so that each day's
// archive starts in a new file; what a reset means is each object's own business.
#pragma once

#include <ctime>

#include "OB_List.h"
#include "OB_Object.h"
#include "OB_Thread.h"

class OB_ResetThread : public OB_Thread, public OB_List<OB_Object> {
  OB_CLASS_IDENTITY(OB_ResetThread, 0x2BE2BF84, "OB_ResetThread", OB_Thread, OB_Runnable,
                    OB_ReferenceCounter, OB_List<OB_Object>, OB_Object)
  OB_CLASS_CREATE(OB_ResetThread)

 public:
  // Registered objects (append, remove, clear) are not owned: they must stay alive while
  // listed. The list's lock is the thread's lock.
  OB_ResetThread() = default;
  OB_ResetThread(const OB_ResetThread&) = delete;
  OB_ResetThread& operator=(const OB_ResetThread&) = delete;

  // One pass, on the thread: sleeps until the midnight after the pass began, then, unless it was
  // stopped meanwhile, resets every registered object. A wake-up without a stop (a join) resets
  // at once. Always 0.
  int doTask() override;

  // Seconds from t to the next local midnight: 86400 on an ordinary day at 00:00:00, and 23 or
  // 25 hours' worth across a daylight-saving change. At least 1.
  static int secondsToMidnight(time_t t);

 protected:
  // The calendar time a pass starts from; tests put the clock where they need it.
  virtual time_t now();
};
