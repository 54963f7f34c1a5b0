// One block of a memory pool: `count` objects of T allocated together, constructed and initialised
// once, and a free list of those not in use. Only its pool takes objects (get, under the pool's
// lock); an object's last release gives it back (put) from whatever thread released it. The free
// count can also be read without the lock (peekFree), so that the pool passes over empty blocks
// without locking them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "OB_Event.h"
#include "OB_Log.h"
#include "OB_Mutex.h"
#include "OB_Object.h"

template <class T>
class OB_MemoryQueue : public OB_Mutex, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_MemoryQueue, 0x2BE2BF9F, "OB_MemoryQueue", OB_Object)

 public:
  // Builds the block; every object is init'ed and knows this queue. The first object is handed
  // out first. Ends the process when the block can't be allocated.
  explicit OB_MemoryQueue(int count) : count_(count > 0 ? count : 0) {
    objects_ = new (std::nothrow) T[count_];
    if (objects_ == nullptr) OB_Log::quit("OB_MemoryQueue<T>::OB_MemoryQueue(): no memory");
    try {
      free_.reserve(count_);  // put never allocates
    } catch (const std::bad_alloc&) {
      OB_Log::quit("OB_MemoryQueue<T>::OB_MemoryQueue(): no memory");
    }
    for (int32_t i = 0; i < count_; ++i) {
      objects_[i].init();
      objects_[i].setQueue(this);
    }
    for (int32_t i = count_ - 1; i >= 0; --i) free_.push_back(&objects_[i]);
    unused_.store(count_);
  }
  OB_MemoryQueue(const OB_MemoryQueue&) = delete;
  OB_MemoryQueue& operator=(const OB_MemoryQueue&) = delete;
  // Destroys the whole block, objects in use included.
  ~OB_MemoryQueue() override { delete[] objects_; }

  // A free object with one user (its count taken from 0 to 1), or null when none is free.
  virtual T* get() {
    OB_MutexHold hold(this);
    if (unused_.load(std::memory_order_relaxed) <= 0 || free_.empty()) return nullptr;
    T* object = free_.back();
    free_.pop_back();
    unused_.fetch_sub(1);
    object->addRef();
    return object;
  }

  // Takes back an object of this block whose last user has released it, then wakes the owner.
  // After the free list holds the object, neither it nor this queue is touched again: the pool
  // may delete the queue as soon as all its objects are back. -1 for an object of another block
  // or one that is already free.
  virtual int put(T* item) {
    OB_Event* owner;
    {
      OB_MutexHold hold(this);
      if (item < objects_ || item >= objects_ + count_ ||
          static_cast<int32_t>(free_.size()) >= count_) {
        OB_Log::debug("OB_MemoryQueue::put(): object not of this queue or already free\n");
        return -1;
      }
      owner = owner_;
      free_.push_back(item);
      // Sequentially consistent, as is the owner's look for waiters in signal: either the
      // owner sees a waiter and wakes it, or the waiter sees this count (no lost wake-up).
      unused_.fetch_add(1);
    }
    if (owner != nullptr) owner->signal();
    return 0;
  }

  // Under the queue's lock: when this says all are free, no put is still inside this queue, so
  // the pool may delete it.
  virtual int getNumFree() {
    OB_MutexHold hold(this);
    return unused_.load(std::memory_order_relaxed);
  }
  virtual int isAllFree() {
    OB_MutexHold hold(this);
    return unused_.load(std::memory_order_relaxed) == count_ ? 1 : 0;
  }
  // Without the lock: a hint that may be stale at once (a get can still find nothing, or an
  // object may come back just after). Never a reason to delete the queue.
  int32_t peekFree() const { return unused_.load(); }
  // The event signalled after every put; not owned (the pool, which outlives its queues).
  virtual int setOwner(OB_Event* owner) {
    OB_MutexHold hold(this);
    owner_ = owner;
    return 0;
  }

  int print(FILE* stream) override {
    OB_MutexHold hold(this);
    fprintf(stream, "m_iUnused[%3d]", unused_.load(std::memory_order_relaxed));
    return 0;
  }

 private:
  T* objects_ = nullptr;  // owned
  int32_t count_;
  std::vector<T*> free_;  // the free list; its last element is the head, handed out next
  std::atomic<int32_t> unused_{0};  // changed under the lock only
  OB_Event* owner_ = nullptr;
};
