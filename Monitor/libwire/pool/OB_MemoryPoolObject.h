// The part of every pooled class that knows its queue and counts its users. A pooled class T that
// pools as B derives from B and from OB_MemoryPoolObject<T, B>; its last release resets it and
// puts it back into its queue instead of deleting it. T must be default-constructible, derive from
// this part non-virtually and override init to call this part's init as well as B's.
#pragma once

#include <atomic>
#include <cstdint>

#include "OB_Log.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "pool/OB_Index.h"
#include "pool/OB_MemoryQueue.h"

template <class T, class B>
class OB_MemoryPoolObject : public virtual OB_ReferenceCounter,
                            public virtual OB_Mutex,
                            public OB_Index<int32_t> {
  OB_CLASS_IDENTITY(OB_MemoryPoolObject, 0x2BE2BF77, "OB_MemoryPoolObject", OB_Mutex,
                    OB_ReferenceCounter)

 public:
  OB_MemoryPoolObject() = default;
  // A copy belongs to no queue and has no users.
  OB_MemoryPoolObject(const OB_MemoryPoolObject&) : OB_Object(), OB_ReferenceCounter(), OB_Mutex() {}
  OB_MemoryPoolObject& operator=(const OB_MemoryPoolObject&) { return *this; }

  // Not owned: the queue that holds this object's storage; null for an object made outside a pool.
  virtual int setQueue(OB_MemoryQueue<T>* queue) {
    queue_ = queue;
    return 0;
  }
  virtual int isUnused() { return users_.load(std::memory_order_acquire) == 0 ? 1 : 0; }

  int init() override {
    queue_ = nullptr;
    users_.store(0, std::memory_order_relaxed);
    return 0;
  }
  int addRef() override {
    users_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  // The last release runs preRelease, then resets the object and gives it back to its queue, or
  // deletes it when it has none. Once given back the object may be handed out again (or its whole
  // queue deleted) at once, so nothing touches it after put. An extra release is logged and ignored.
  void release() override {
    int32_t current = users_.load(std::memory_order_relaxed);
    do {
      if (current <= 0) {
        OB_Log::debug("OB_MemoryPoolObject::release() : Error extra release m_iRef=%d\n", current);
        return;
      }
    } while (!users_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
    if (current > 1) return;
    preRelease();
    OB_MemoryQueue<T>* queue = queue_;
    if (queue == nullptr) {
      delete this;
      return;
    }
    reset();
    queue->put(static_cast<T*>(this));
  }

  OB_MemoryQueue<T>* getQueue() { return queue_; }
  int32_t getUsers() { return users_.load(std::memory_order_relaxed); }
  // The pool's free list runs through its free objects: the next free one (the pool's only).
  T*& freeNext() { return freeNext_; }

 private:
  OB_MemoryQueue<T>* queue_ = nullptr;
  T* freeNext_ = nullptr;
  std::atomic<int32_t> users_{0};  // m_iRef: 0 while free in its queue
};
