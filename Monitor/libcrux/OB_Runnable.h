// The start/stop/join interface that a single thread, a thread list and an engine manager share,
// so that their owners drive all of them the same way. The base does nothing.
#pragma once

#include "OB_Object.h"

class OB_Mutex;

class OB_Runnable : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Runnable, 0x2BE2BFA3, "OB_Runnable", OB_Object)

 public:
  virtual int start() { return 0; }
  virtual int stop() { return 0; }
  // Waits until the work has ended. `ms` is a hint that implementations may ignore.
  virtual int join(OB_Mutex* /*mutex*/, int /*ms*/) { return 0; }
  virtual int isRunning() { return 0; }
};
