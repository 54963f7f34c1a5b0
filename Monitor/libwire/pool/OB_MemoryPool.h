// A pool of reusable T objects, where T derives from OB_MemoryPoolObject<T, B>: up to maxQueues
// blocks (queues) of objectsPerQueue objects each, made on demand and deleted again by pack when
// all their objects are free; a growing pool (setGrow) makes blocks past that cap, up to the
// bound it is given. The capture engine pools packet buffers and sessions in these; the HTTP
// analyser pools its transactions.
//
// The free objects of all blocks form one list, last freed first taken, so a pool that has made
// enough blocks works on the same warm objects and never looks for a block with room. Objects
// come back from any thread without a lock (a chain that takers adopt whole); takers are
// serialised by the pool's lock. A block is made only when no object at all is free.
//
// Lock order: the pool's lock is taken by takers and pack, and by a give-back only while a thread
// waits for room (to wake it), never while holding the object's own lock.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "OB_Event.h"
#include "OB_Log.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "pool/OB_MemoryPoolObject.h"
#include "pool/OB_MemoryQueue.h"

template <class T>
class OB_MemoryPool : public OB_Mutex,
                      public OB_Event,
                      public OB_MemoryReturn<T>,
                      public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_MemoryPool, 0x2BE2BFA1, "OB_MemoryPool", OB_Object)

 public:
  // No queue is made yet, and no room for the queues' slots is taken beyond a few: a cap costs
  // nothing until its blocks are made. A count below 1 is taken as 1.
  OB_MemoryPool(int maxQueues, int objectsPerQueue)
      : maxQueues_(maxQueues > 0 ? maxQueues : 1),
        objectsPerQueue_(objectsPerQueue > 0 ? objectsPerQueue : 1) {
    queues_.reserve(maxQueues_ < kInitialSlots ? maxQueues_ : kInitialSlots);
  }
  OB_MemoryPool(const OB_MemoryPool&) = delete;
  OB_MemoryPool& operator=(const OB_MemoryPool&) = delete;
  // Deletes every queue with its objects: every object must have been given back before.
  ~OB_MemoryPool() override {
    for (OB_MemoryQueue<T>*& queue : queues_) {
      delete queue;
      queue = nullptr;
    }
  }

  // A reset object with one user. When the pool is exhausted: null when wait is 0, else blocks
  // until an object comes back or pack makes room. Must not be called with the pool's lock held.
  virtual T* getObject() {
    T* object = nullptr;
    {
      std::unique_lock<OB_Mutex> hold(*this);
      object = take();
      while (object == nullptr && wait_ != 0) {
        awaitRoom(hold, nullptr);
        object = take();
      }
    }
    if (object != nullptr) object->reset();
    return object;
  }

  // As getObject, but when the pool is exhausted it waits at most `milliseconds` for an object
  // to come back (or for pack to make room), whatever setWait said; null when none came. For a
  // caller that may wait a little but must never wait for ever.
  T* getObjectWithin(int32_t milliseconds) {
    T* object = nullptr;
    {
      std::unique_lock<OB_Mutex> hold(*this);
      object = take();
      if (object == nullptr && milliseconds > 0) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (object == nullptr && awaitRoom(hold, &deadline)) object = take();
      }
    }
    if (object != nullptr) object->reset();
    return object;
  }

  // Waits at most `milliseconds` until an object is free or a queue can be made, without taking
  // one; 1 when there is room (another thread may still take it first), 0 when the time ran out.
  int waitForRoom(int32_t milliseconds) {
    std::unique_lock<OB_Mutex> hold(*this);
    if (hasRoom()) return 1;
    if (milliseconds <= 0) return 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return awaitRoom(hold, &deadline) ? 1 : 0;
  }

  // Deletes every queue whose objects are all free; 0.
  virtual int pack() {
    std::lock_guard<OB_Mutex> hold(*this);
    // Counted all free first, then adopted: every object of such a block is in the list by then.
    int32_t retiring = 0;
    for (OB_MemoryQueue<T>* queue : queues_) {
      if (queue == nullptr || queue->peekFree() != objectsPerQueue_) continue;
      queue->setRetiring();
      ++retiring;
    }
    adoptReturned();
    if (retiring > 0) {
      // Their objects leave the free list, which keeps its order otherwise.
      T** link = &free_;
      while (*link != nullptr) {
        T* object = *link;
        if (object->getQueue()->isRetiring()) {
          *link = object->freeNext();
        } else {
          link = &object->freeNext();
        }
      }
      for (OB_MemoryQueue<T>*& queue : queues_) {
        if (queue == nullptr || !queue->isRetiring()) continue;
        delete queue;
        queue = nullptr;
      }
      numQueues_ -= retiring;
      blocksFreed_ += static_cast<uint32_t>(retiring);
    }
    available_.notify_all();
    return 0;
  }

  // 1: getObject waits when the pool is exhausted; 0: it returns null (waiters give up too).
  virtual int setWait(int wait) {
    std::lock_guard<OB_Mutex> hold(*this);
    wait_ = wait;
    available_.notify_all();
    return 0;
  }

  // 1: an exhausted pool makes another block past its cap instead of answering null or waiting
  // (a replay, which must lose nothing), up to mostQueues blocks in all, past which the cap of a
  // growing pool holds; 0: the cap holds.
  virtual int setGrow(int grow, int32_t mostQueues = INT32_MAX) {
    std::lock_guard<OB_Mutex> hold(*this);
    grow_ = grow;
    growLimit_ = mostQueues;
    available_.notify_all();
    return 0;
  }
  int isGrowing() {
    std::lock_guard<OB_Mutex> hold(*this);
    return grow_;
  }

  // A queue gives back an object whose last user released it: pushed onto the chain of returned
  // objects, which the next taker adopts whole. Wakes the threads waiting for room; returns at
  // once when none waits, so giving back costs no lock on the packet road.
  void takeBack(T* object) override {
    T* head = returned_.load(std::memory_order_relaxed);
    do {
      object->freeNext() = head;
    } while (!returned_.compare_exchange_weak(head, object, std::memory_order_seq_cst,
                                              std::memory_order_relaxed));
    if (waiters_.load() == 0) return;
    std::lock_guard<OB_Mutex> hold(*this);
    available_.notify_all();
  }

  int print(FILE* stream) override {
    fprintf(stream, "memory queues\n");
    fprintf(stream, "-----------------\n");
    fprintf(stream, "max_mem_queues        = %d\n", maxQueues_);
    fprintf(stream, "num of mem queues     = %d\n", getNumQueues());
    fprintf(stream, "objects_per_mem_queue = %d\n", objectsPerQueue_);
    fprintf(stream, "Blocks malloced       = %u\n", getBlocksMalloced());
    fprintf(stream, "Blocks freed          = %u\n", getBlocksFreed());
    std::lock_guard<OB_Mutex> hold(*this);
    for (int32_t i = 0; i < slots(); ++i) {
      if (queues_[i] == nullptr) continue;
      fprintf(stream, "%3d ", i);
      queues_[i]->print(stream);
      fprintf(stream, "\n");
    }
    return 0;
  }

  int32_t getNumQueues() {
    std::lock_guard<OB_Mutex> hold(*this);
    return numQueues_;
  }
  uint32_t getBlocksMalloced() {
    std::lock_guard<OB_Mutex> hold(*this);
    return blocksMalloced_;
  }
  uint32_t getBlocksFreed() {
    std::lock_guard<OB_Mutex> hold(*this);
    return blocksFreed_;
  }
  int32_t getMaxQueues() const { return maxQueues_; }
  int32_t getObjectsPerQueue() const { return objectsPerQueue_; }
  // The most queues that stood at one time past the cap (0 while the cap held).
  int32_t getPeakQueuesBeyondCap() {
    std::lock_guard<OB_Mutex> hold(*this);
    return peakBeyondCap_;
  }

 private:
  static constexpr int32_t kInitialSlots = 64;

  int32_t slots() const { return static_cast<int32_t>(queues_.size()); }
  // Under the pool's lock: whether another queue may be made.
  bool mayMakeQueue() const {
    return numQueues_ < maxQueues_ || (grow_ != 0 && numQueues_ < growLimit_);
  }

  // Under the pool's lock: the most recently freed object, else one of a new queue (in the
  // first empty slot) while there is room; null when none.
  T* take() {
    if (returned_.load(std::memory_order_relaxed) != nullptr) adoptReturned();
    if (free_ == nullptr && !makeQueue()) return nullptr;
    T* object = free_;
    free_ = object->freeNext();
    object->freeNext() = nullptr;
    object->getQueue()->taken(object);
    return object;
  }

  // Under the pool's lock: the returned chain goes in front of the free list (the chain's head,
  // freed last, first).
  void adoptReturned() {
    T* chain = returned_.exchange(nullptr, std::memory_order_acquire);
    if (chain == nullptr) return;
    T* tail = chain;
    while (tail->freeNext() != nullptr) tail = tail->freeNext();
    tail->freeNext() = free_;
    free_ = chain;
  }

  // Under the pool's lock: makes a queue and lists its objects, the first on top; false when
  // the cap holds or no slot is left.
  bool makeQueue() {
    if (!mayMakeQueue()) return false;
    const int32_t count = slots();
    int32_t slot = 0;
    while (slot < count && queues_[slot] != nullptr) ++slot;
    if (slot == count && count == INT32_MAX) return false;
    try {
      if (slot == count) queues_.push_back(nullptr);
    } catch (const std::bad_alloc&) {
      OB_Log::quit("OB_MemoryPool: no memory for another queue");
    }
    auto* queue = new OB_MemoryQueue<T>(objectsPerQueue_, this, slot);
    if (queue == nullptr) OB_Log::quit("OB_MemoryQueue<T>::OB_MemoryQueue(): no memory");
    queues_[slot] = queue;
    ++numQueues_;
    ++blocksMalloced_;
    if (numQueues_ - maxQueues_ > peakBeyondCap_) peakBeyondCap_ = numQueues_ - maxQueues_;
    for (int32_t i = queue->getCount() - 1; i >= 0; --i) {
      T* object = queue->objectAt(i);
      object->freeNext() = free_;
      free_ = object;
    }
    return true;
  }

  // Under the pool's lock: whether take would find an object or make a queue.
  bool hasRoom() {
    return mayMakeQueue() || free_ != nullptr || returned_.load() != nullptr;
  }

  // Under the pool's lock: waits until there is room, setWait(0) is called (for an unbounded
  // wait) or the deadline passes (when given); false when it returns without room. The waiter
  // is counted before room is checked, in the same single order as the push of a returned
  // object, so a give-back either sees the waiter and wakes it under this lock, or is seen by
  // the check.
  bool awaitRoom(std::unique_lock<OB_Mutex>& hold,
                 const std::chrono::steady_clock::time_point* deadline) {
    waiters_.fetch_add(1);
    bool room = false;
    if (deadline == nullptr) {
      available_.wait(hold, [this] { return wait_ == 0 || hasRoom(); });
      room = hasRoom();
    } else {
      room = available_.wait_until(hold, *deadline, [this] { return hasRoom(); });
    }
    waiters_.fetch_sub(1);
    return room;
  }

  std::vector<OB_MemoryQueue<T>*> queues_;  // owned; null slots are empty; grows as queues are made
  T* free_ = nullptr;                       // under the pool's lock; the head was freed last
  std::atomic<T*> returned_{nullptr};       // given back since the last adoption, newest first
  int32_t numQueues_ = 0;
  uint32_t blocksMalloced_ = 0;
  uint32_t blocksFreed_ = 0;
  const int32_t maxQueues_;
  const int32_t objectsPerQueue_;
  int wait_ = 1;
  int grow_ = 0;
  int32_t growLimit_ = INT32_MAX;
  int32_t peakBeyondCap_ = 0;
  std::atomic<int32_t> waiters_{0};        // threads in awaitRoom
  std::condition_variable_any available_;  // waits with the pool's own lock
};
