// A wake-up object: threads sleep on it between passes of their loops and another thread wakes
// exactly one of them with signal. A signal given while nobody waits is dropped, not kept.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "OB_Object.h"

class OB_Mutex;

class OB_Event : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Event, 0x2BE2BF7B, "OB_Event", OB_Object)
  OB_CLASS_CREATE(OB_Event)

 public:
  OB_Event() = default;
  OB_Event(const OB_Event&) = delete;
  OB_Event& operator=(const OB_Event&) = delete;
  ~OB_Event() override = default;

  // Sleeps until a signal or until ms milliseconds have passed (0: no limit). The mutex is not
  // used: a lock the caller holds stays held while it sleeps. 0 when signalled, -1 on time-out.
  virtual int wait(OB_Mutex* mutex, int ms);
  // Threads inside wait now.
  virtual int numWaiting();
  // Wakes one waiting thread; with none waiting does nothing. Always 0.
  virtual int signal();

 private:
  // Waiters, and the wake-ups given to them that none has taken yet (never more than waiters).
  // Both change only under lock_, so a waiter is counted before it can miss a signal.
  std::mutex lock_;
  std::condition_variable wake_;
  int32_t waiters_ = 0;
  int32_t pending_ = 0;
};
