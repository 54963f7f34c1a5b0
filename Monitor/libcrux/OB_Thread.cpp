#include "OB_Thread.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <system_error>
#include <thread>

#include "OB_Log.h"
#include "OB_Tools.h"

namespace {
std::atomic<uint64_t> lastRun{0};
// The run number of the loop on this platform thread; it travels here so that the virtual run()
// keeps its plain form.
thread_local uint64_t currentRun = 0;
}  // namespace

OB_Thread::OB_Thread(OB_ThreadFunction function, void* argument)
    : function_(function), argument_(argument) {}

OB_Thread::~OB_Thread() { stop(); }

int OB_Thread::setFunction(OB_ThreadFunction function) {
  function_.store(function);
  return 0;
}

int OB_Thread::setArg(void* argument) {
  argument_.store(argument);
  return 0;
}

int OB_Thread::setArg2(void* argument) {
  argument2_.store(argument);
  return 0;
}

void* OB_Thread::getArg2() { return argument2_.load(); }

int OB_Thread::setSleepInterval(int seconds) {
  sleepInterval_.store(seconds);
  return 0;
}

int OB_Thread::setHardStop(int on) {
  hardStop_.store(on);
  return 0;
}

int OB_Thread::setContinue(int on) {
  continue_.store(on);
  return 0;
}

int OB_Thread::doTask() {
  OB_ThreadFunction function = function_.load();
  if (function != nullptr) function(argument_.load());
  return 0;
}

int OB_Thread::start() {
  OB_MutexHold hold(this);
  // Set even when a loop still runs: a loop that was told to stop but has not yet decided to end
  // (it decides under this lock) then keeps going, so a restart never leaves the thread stopped.
  continue_.store(1);
  if (handle_.load() != 0) return 0;
  uint64_t run = lastRun.fetch_add(1) + 1;
  handle_.store(run);
  // The loop's own reference, taken before the thread exists so that no release by an owner can
  // free the object between creation and the loop's first step.
  addRef();
  loops_->add(run);
  try {
    std::thread(&OB_Thread::asyncCallback, this, run).detach();
  } catch (const std::system_error&) {
    handle_.store(0);
    loops_->finish(run);
    OB_ReferenceCounter::release();
    return -1;
  }
  return 0;
}

int OB_Thread::start(OB_ThreadFunction function, void* argument) {
  if (function != nullptr) function_.store(function);
  if (argument != nullptr) argument_.store(argument);
  return start();
}

void OB_Thread::asyncCallback(OB_Thread* self, uint64_t run) {
  currentRun = run;
  self->run();
}

int OB_Thread::run() {
  const uint64_t run = currentRun;
  for (;;) {
    bool more;
    {
      // Decided under the lock together with clearing the handle, so that a start() racing with
      // the end either finds the handle set and keeps this loop going, or finds it clear and
      // creates a new thread.
      OB_MutexHold hold(this);
      bool current = handle_.load() == run;
      bool wanted = maxPasses_ == 0 ? continue_.load() != 0 : passesDone_.load() < maxPasses_;
      more = current && wanted;
      if (!more && current) handle_.store(0);
    }
    if (!more) break;
    int32_t interval = sleepInterval_.load();
    if (interval > 0) sleep(interval);
    int result = doTask();
    OB_Tools::sleep(0);
    if (result != 0) OB_Log::debug("Error in: OB_Consumer::run()\n");
    passesDone_.fetch_add(1);
  }
  // Joiners are told only after the last release: that may run the destructor, and a joiner
  // that returned earlier could free what the destructor still reads.
  std::shared_ptr<Loops> loops = loops_;
  joinSignal();
  OB_ReferenceCounter::release();
  loops->finish(run);
  return 0;
}

void OB_Thread::Loops::add(uint64_t run) {
  std::lock_guard<std::mutex> hold(lock);
  live.push_back(run);
}

void OB_Thread::Loops::finish(uint64_t run) {
  {
    std::lock_guard<std::mutex> hold(lock);
    live.erase(std::remove(live.begin(), live.end(), run), live.end());
  }
  ended.notify_all();
}

int OB_Thread::joinSignal() { return wakeup_.signal(); }

int OB_Thread::sleep(int seconds) {
  sleeping_.store(1);
  // A stop that came just before the pause ends it before it begins.
  if (maxPasses_ != 0 || continue_.load() != 0) {
    int ms = seconds >= INT_MAX / 1000 ? INT_MAX : seconds * 1000;
    wakeup_.wait(nullptr, ms);
  }
  sleeping_.store(0);
  return 0;
}

void OB_Thread::abandon(const char* where) {
  const uint64_t run = handle_.load();
  if (run == 0) return;
  handle_.store(0);
  OB_Log::log("%s: abandoning a thread that has not ended; it ends after its current pass\n", where);
  // Nobody waits for it any more; its own finish later finds nothing to take out.
  loops_->finish(run);
}

int OB_Thread::stop() {
  if (handle_.load() == 0) return 0;
  continue_.store(0);
  joinSignal();
  if (hardStop_.load() != 0) {
    OB_MutexHold hold(this);
    abandon("OB_Thread::stop");
  }
  return 0;
}

int OB_Thread::join(OB_Mutex* /*mutex*/, int /*ms*/) {
  std::shared_ptr<Loops> loops = loops_;
  for (;;) {
    const uint64_t awaited = handle_.load();
    if (sleeping_.load() != 0) wakeup_.signal();
    bool ended;
    {
      std::unique_lock<std::mutex> wait(loops->lock);
      ended = loops->ended.wait_for(wait, std::chrono::milliseconds(1000),
                                    [&] { return loops->live.empty(); });
    }
    if (ended) return 0;
    OB_Tools::sleep(0);
    if (hardStop_.load() == 0) continue;
    OB_MutexHold hold(this);
    if (awaited != 0 && handle_.load() == awaited) {
      abandon("OB_Thread::join");
      return -1;
    }
  }
}

int OB_Thread::isRunning() {
  OB_MutexHold hold(this);
  return continue_.load();
}
