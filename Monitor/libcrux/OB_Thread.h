// The only way the system creates threads: a loop on its own platform thread that calls doTask
// once per pass until told to stop. Workers derive from it and override doTask; simple ones hand
// it a function and an argument instead. Reference counted: the loop holds a reference of its
// own while it runs, so an owner may release a running thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "OB_Event.h"
#include "OB_Mutex.h"
#include "OB_Runnable.h"

using OB_ThreadFunction = void (*)(void*);

class OB_Thread : public virtual OB_Runnable,
                  public virtual OB_ReferenceCounter,
                  public virtual OB_Mutex,
                  public virtual OB_Object {
  // Deliberately not answering OB_Mutex's identifier: the lock is the thread's own business.
  OB_CLASS_IDENTITY(OB_Thread, 0x2BE2BFA4, "OB_Thread", OB_Runnable, OB_Object,
                    OB_ReferenceCounter)

 public:
  explicit OB_Thread(OB_ThreadFunction function = nullptr, void* argument = nullptr);
  OB_Thread(const OB_Thread&) = delete;
  OB_Thread& operator=(const OB_Thread&) = delete;
  // Calls stop(). Never runs while a loop is alive: each loop holds a reference.
  ~OB_Thread() override;

  // The loop, on the platform thread that start() created. Not to be called directly.
  virtual int run();
  // One pass of work. Default: the function with its argument, when set; always 0.
  virtual int doTask();
  // Replaces function and argument when they are not null, then start().
  virtual int start(OB_ThreadFunction function, void* argument);
  // Wakes the thread from its pause between passes (and anyone else waiting on its event).
  virtual int joinSignal();
  virtual int setFunction(OB_ThreadFunction function);
  virtual int setArg(void* argument);
  // A free slot for subclasses and pools; the thread itself never reads it.
  virtual int setArg2(void* argument);
  virtual void* getArg2();
  // Pause before each pass, in seconds; 0 = none.
  virtual int setSleepInterval(int seconds);
  // When set, stop() and a join step that times out abandon the platform thread (see stop).
  virtual int setHardStop(int on);
  virtual int setContinue(int on);

  // Sets the continue flag and, unless a platform thread already runs this loop, creates one.
  // A loop that is still finishing its last pass keeps going instead. 0, or -1 when the platform
  // refuses a thread.
  int start() override;
  // Clears the continue flag and wakes the thread; does not wait. With hard stop set the running
  // platform thread is abandoned: this object no longer counts it as its thread (start makes a
  // new one), and it leaves its loop by itself once its current pass returns.
  int stop() override;
  // Waits in steps of 1000 ms until the loop has ended; the arguments are not used. A loop has
  // ended once it has given up its own reference: after join the platform thread touches this
  // object no more, so an owner may free what the object uses. 0 when it ended (or there was
  // none); -1 when hard stop abandoned a thread that did not end in a step.
  int join(OB_Mutex* mutex, int ms) override;
  // The continue flag, under the thread's lock: 0 right after stop(), even during a last pass.
  int isRunning() override;

  // The wake-up event that ends a pause early; a pool's worker waits on it for new tasks.
  OB_Event* getWakeupEvent() { return &wakeup_; }
  // Passes run since construction (never reset).
  int64_t getPassesDone() const { return passesDone_.load(std::memory_order_relaxed); }

 protected:
  // Waits on the wake-up event for up to `seconds` (no lock held); returns 0.
  virtual int sleep(int seconds);

  // 0 = no limit: the continue flag alone decides; otherwise the loop runs until that many passes
  // have been done since construction. Subclasses set it directly; it is read under the lock.
  int32_t maxPasses_ = 0;

 private:
  // The loops joiners wait for, by run number. Shared with each loop, which leaves it only after
  // its last touch of the object (its final release), so it outlives the object when need be.
  struct Loops {
    std::mutex lock;
    std::condition_variable ended;
    std::vector<uint64_t> live;
    void add(uint64_t run);
    // Takes run out (whether or not it is there) and wakes the joiners.
    void finish(uint64_t run);
  };

  static void asyncCallback(OB_Thread* self, uint64_t run);
  // Forgets the current platform thread; called under the thread's lock.
  void abandon(const char* where);

  // Identifies the platform thread that runs the loop now; 0 = none. Each start draws a new
  // value, so a loop that was abandoned can tell it is no longer this object's thread.
  std::atomic<uint64_t> handle_{0};
  std::atomic<OB_ThreadFunction> function_;
  std::atomic<void*> argument_;
  std::atomic<void*> argument2_{nullptr};
  std::atomic<int64_t> passesDone_{0};
  std::atomic<int32_t> sleepInterval_{0};
  std::atomic<int32_t> continue_{1};
  std::atomic<int32_t> hardStop_{0};
  std::atomic<int32_t> sleeping_{0};
  OB_Event wakeup_;
  std::shared_ptr<Loops> loops_ = std::make_shared<Loops>();
};
