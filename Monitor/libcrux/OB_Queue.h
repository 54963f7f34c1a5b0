// First-in first-out hand-over of objects from producing threads to a consuming thread. The
// capture engine's stream builder keeps its finished sessions in one, and the analysis engine's
// readers are queues themselves; that is why these templates live here, in the base library that
// both engines link, and wholly in this header.
#pragma once

#include <chrono>
#include <condition_variable>

#include "OB_Event.h"
#include "OB_List.h"
#include "OB_Log.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "OB_Runnable.h"

// The interface: put an item, get the next one. The base does nothing.
template <class T>
class OB_Queueable : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Queueable, 0xB68A6C72, "OB_Queueable", OB_Object)

 public:
  virtual T* get(OB_Runnable* /*runner*/) { return nullptr; }
  virtual int put(T* /*item*/) { return 0; }
};

// The queue over its list's lock (OB_Mutex is a virtual base, so a class that is also a thread or
// a statistics block shares this one lock with them). The list owns nothing: an item belongs to
// its producer until put, to nobody while queued, and to the thread that got it; items still
// queued at destruction are dropped without release.
//
// A consumer waits on a condition tied to the queue's lock, so a put can never fall between its
// check and its wait: it wakes as soon as the producer lets go of the lock. The OB_Event part
// stays for owners that stop a consumer: stop its thread (isRunning turns 0), then signal.
template <class T>
class OB_Queue : public virtual OB_Queueable<T>, public virtual OB_List<T>, public virtual OB_Event {
 public:
  static OB_ClassID getClassID() { return 0x2BE2BF82; }
  const char* getClassName() override { return "OB_Queue"; }
  // Answers itself, its OB_Event, OB_Object and OB_List faces, in that order; not OB_Queueable's
  // or OB_Mutex's identifier.
  int queryInterface(OB_ClassID id, void** out) override {
    if (out == nullptr) return -1;
    if (id == getClassID()) {
      *out = this;
    } else if (id == OB_Event::getClassID()) {
      *out = static_cast<OB_Event*>(this);
    } else if (id == OB_Object::getClassID()) {
      *out = static_cast<OB_Object*>(this);
    } else if (id == OB_List<T>::getClassID()) {
      *out = static_cast<OB_List<T>*>(this);
    } else {
      *out = nullptr;
      return -1;
    }
    return 0;
  }

  OB_Queue() = default;
  OB_Queue(const OB_Queue&) = delete;
  OB_Queue& operator=(const OB_Queue&) = delete;

  // The head item, taken out of the queue. While the queue is empty it waits; it gives up and
  // returns null only when a runner is given and its isRunning answers 0. With a null runner only
  // an item ends the wait. The caller must not hold the queue's lock: a lock held from outside
  // stays held while it waits, and no producer could get in.
  T* get(OB_Runnable* runner) override {
    OB_Mutex& lock = *static_cast<OB_Mutex*>(this);
    OB_MutexHold hold(&lock);
    while (this->getCount() <= 0) {
      if (runner != nullptr && runner->isRunning() == 0) break;
      // The re-check bounds the wait of a consumer whose thread was stopped without a signal.
      ++waiting_;
      ready_.wait_for(lock, std::chrono::milliseconds(kRecheckMs));
      --waiting_;
    }
    T* item = this->first();
    if (item != nullptr) this->remove(item);
    return item;
  }

  // Appends the item and wakes one waiting consumer. A null item is refused with -1 (it could
  // not be told from an empty queue and would block the head); 0 otherwise. No memory for the
  // list's link ends the process, since the item would be lost.
  int put(T* item) override {
    if (item == nullptr) return -1;
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    if (this->append(item) != 0) OB_Log::quit("OB_Queue::put: no memory for a queue link");
    ready_.notify_one();
    OB_Event::signal();
    return 0;
  }

  // Wakes the consumers waiting in get (each finds its answer: an item, or its runner stopped)
  // and, as the event itself does, one thread waiting on the event.
  int signal() override {
    {
      OB_MutexHold hold(static_cast<OB_Mutex*>(this));
      ready_.notify_all();
    }
    return OB_Event::signal();
  }

  // Consumers waiting in get plus threads waiting on the event itself.
  int numWaiting() override {
    int inGet = 0;
    {
      OB_MutexHold hold(static_cast<OB_Mutex*>(this));
      inGet = waiting_;
    }
    return inGet + OB_Event::numWaiting();
  }

 private:
  static constexpr int kRecheckMs = 10000;

  std::condition_variable_any ready_;  // waited on with the queue's OB_Mutex
  int waiting_ = 0;                    // consumers inside get's wait; under the queue's lock
};
