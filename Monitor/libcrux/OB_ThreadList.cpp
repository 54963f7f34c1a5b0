#include "OB_ThreadList.h"

#include <thread>

#include "OB_Log.h"
#include "OB_Tools.h"

OB_ThreadList::OB_ThreadList() { setOwner(1); }

OB_ThreadList::~OB_ThreadList() {
  std::vector<OB_Thread*> threads = snapshot();
  for (OB_Thread* thread : threads) {
    thread->setFunction(nullptr);
    thread->setArg(nullptr);
    thread->setContinue(0);
  }
  OB_Tools::sleep(0);
  stop();
  releaseAll(threads);
}

std::vector<OB_Thread*> OB_ThreadList::snapshot() {
  std::vector<OB_Thread*> threads;
  OB_MutexHold hold(this);
  threads.reserve(static_cast<size_t>(count_));
  for (Link* link = head_; link != nullptr; link = link->getNext()) {
    OB_Thread* thread = link->getItem();
    if (thread == nullptr) continue;
    thread->addRef();
    threads.push_back(thread);
  }
  return threads;
}

void OB_ThreadList::releaseAll(std::vector<OB_Thread*>& threads) {
  for (OB_Thread* thread : threads) thread->OB_ReferenceCounter::release();
  threads.clear();
}

// The members are taken (under the list's own lock) before the run lock: an owner that starts
// the list under its lock, which is the list's too, then takes the locks in the same order as
// a join or stop from any other thread.
int OB_ThreadList::start() {
  std::vector<OB_Thread*> threads = snapshot();
  OB_MutexHold hold(&runLock_);
  if (running_.load() != 0) {
    releaseAll(threads);
    return 0;
  }
  for (OB_Thread* thread : threads) {
    if (thread->start() != 0) OB_Log::quit("OB_ThreadList::start: Error starting a thread");
  }
  releaseAll(threads);
  running_.store(1);
  return 0;
}

int OB_ThreadList::stop() {
  std::vector<OB_Thread*> threads = snapshot();
  OB_MutexHold hold(&runLock_);
  if (running_.load() == 0) {
    releaseAll(threads);
    return 0;
  }
  running_.store(0);
  for (OB_Thread* thread : threads) {
    if (thread->stop() != 0) OB_Log::quit("OB_ThreadList::stop: Error stopping a thread");
  }
  releaseAll(threads);
  return 0;
}

int OB_ThreadList::join(OB_Mutex* mutex, int ms) {
  std::vector<OB_Thread*> threads = snapshot();
  OB_MutexHold hold(&runLock_);
  for (OB_Thread* thread : threads) {
    if (thread->join(mutex, ms) != 0)
      OB_Log::flog(OB_Log::getFD(), "OB_ThreadList::wait(): Error waiting on a thread");
  }
  releaseAll(threads);
  return 0;
}

int OB_ThreadList::restart() {
  stop();
  start();
  return 0;
}

int OB_ThreadList::isRunning() { return running_.load(); }
