// A pool of reusable T objects, where T derives from OB_MemoryPoolObject<T, B>: up to maxQueues
// blocks (queues) of objectsPerQueue objects each, made on demand and deleted again by pack when
// all their objects are free; a growing pool (setGrow) makes blocks past that cap, as long as
// memory lasts. The capture engine pools packet buffers and sessions in these; the HTTP analyser
// pools its transactions.
//
// Lock order: pool, then queue (getObject, pack). An object's last release takes the queue's lock
// and then, only while a thread waits for room, the pool's (to wake it), never while holding the
// object's own lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "OB_Event.h"
#include "OB_Log.h"
#include "OB_MemoryPoolObject.h"
#include "OB_MemoryQueue.h"
#include "OB_Mutex.h"
#include "OB_Object.h"

template <class T>
class OB_MemoryPool : public OB_Mutex, public OB_Event, public virtual OB_Object {
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
    const int32_t existing = numQueues_;
    int32_t visited = 0;
    for (int32_t i = 0; i < slots() && visited < existing; ++i) {
      OB_MemoryQueue<T>* queue = queues_[i];
      if (queue == nullptr) continue;
      ++visited;
      if (queue->getNumFree() != objectsPerQueue_) continue;
      if (queue == current_) current_ = nullptr;
      delete queue;
      queues_[i] = nullptr;
      --numQueues_;
      ++blocksFreed_;
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
  // (a replay, which must lose nothing and whose memory is the only limit); 0: the cap holds.
  virtual int setGrow(int grow) {
    std::lock_guard<OB_Mutex> hold(*this);
    grow_ = grow;
    available_.notify_all();
    return 0;
  }
  int isGrowing() {
    std::lock_guard<OB_Mutex> hold(*this);
    return grow_;
  }

  // Called by a queue after every object it takes back: wakes the threads waiting for room.
  // Returns at once when none waits, so giving back costs no pool lock on the packet road.
  int signal() override {
    returned_.fetch_add(1);
    if (waiters_.load() == 0) return 0;
    std::lock_guard<OB_Mutex> hold(*this);
    available_.notify_all();
    return 0;
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
  bool mayMakeQueue() const { return numQueues_ < maxQueues_ || grow_ != 0; }

  // Under the pool's lock: an object from the current queue, else from another queue with one
  // free, else from a new queue (in the first empty slot) while there is room; null when none.
  // The object's index is the serving queue's slot (0 when the current queue served it).
  T* take() {
    // peekFree passes over empty queues without locking them; a stale hint only costs a get
    // that finds nothing, or a queue passed over that has just had an object back.
    if (current_ != nullptr && current_->peekFree() > 0) {
      if (T* object = current_->get(); object != nullptr) {
        object->setIndex(0);
        return object;
      }
    }
    // A scan that found every queue empty need not be repeated until an object comes back: only
    // a put makes a queue's count grow. Exchanged before the scan, so a put that the scan
    // misses is counted for the next take.
    if (scannedDry_ && returned_.load() == 0 && !mayMakeQueue()) return nullptr;
    returned_.exchange(0);
    scannedDry_ = true;
    // The scan starts at the queue that served the last one: objects come back in bursts (a
    // whole session's at a time), so that queue likely holds more.
    int32_t visited = 0;
    const int32_t count = slots();
    for (int32_t k = 0; k < count && visited < numQueues_; ++k) {
      int32_t i = scanFrom_ + k;
      if (i >= count) i -= count;
      OB_MemoryQueue<T>* queue = queues_[i];
      if (queue == nullptr) continue;
      ++visited;
      if (queue->peekFree() <= 0) continue;
      if (T* object = queue->get(); object != nullptr) {
        scannedDry_ = false;  // the scan stopped early: other queues may hold more
        scanFrom_ = i;
        object->setIndex(i);
        return object;
      }
    }
    if (!mayMakeQueue()) return nullptr;
    int32_t firstEmpty = 0;
    while (firstEmpty < count && queues_[firstEmpty] != nullptr) ++firstEmpty;
    if (firstEmpty == count && count == INT32_MAX) return nullptr;
    auto* queue = new OB_MemoryQueue<T>(objectsPerQueue_);
    if (queue == nullptr) OB_Log::quit("OB_MemoryQueue<T>::OB_MemoryQueue(): no memory");
    try {
      if (firstEmpty == count) queues_.push_back(nullptr);
    } catch (const std::bad_alloc&) {
      OB_Log::quit("OB_MemoryPool: no memory for another queue");
    }
    queues_[firstEmpty] = queue;
    ++numQueues_;
    ++blocksMalloced_;
    if (numQueues_ - maxQueues_ > peakBeyondCap_) peakBeyondCap_ = numQueues_ - maxQueues_;
    queue->setOwner(this);
    current_ = queue;
    T* object = queue->get();
    if (object != nullptr) object->setIndex(firstEmpty);
    return object;
  }

  // Under the pool's lock: whether take would find an object or make a queue.
  bool hasRoom() { return mayMakeQueue() || anyFree(); }

  // Under the pool's lock: waits until there is room, setWait(0) is called (for an unbounded
  // wait) or the deadline passes (when given); false when it returns without room. The waiter
  // is counted before room is checked, with the same ordering as a queue's free count, so a
  // put either sees the waiter and wakes it under this lock, or is seen by the check.
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

  // Reads the queues' counts without their locks (a hint, see peekFree).
  bool anyFree() {
    for (OB_MemoryQueue<T>* queue : queues_)
      if (queue != nullptr && queue->peekFree() > 0) return true;
    return false;
  }

  std::vector<OB_MemoryQueue<T>*> queues_;  // owned; null slots are empty; grows as queues are made
  OB_MemoryQueue<T>* current_ = nullptr;    // asked first: the queue made last
  int32_t numQueues_ = 0;
  uint32_t blocksMalloced_ = 0;
  uint32_t blocksFreed_ = 0;
  const int32_t maxQueues_;
  const int32_t objectsPerQueue_;
  int wait_ = 1;
  int grow_ = 0;
  int32_t peakBeyondCap_ = 0;
  std::atomic<int32_t> waiters_{0};        // threads in awaitRoom
  std::atomic<uint32_t> returned_{0};      // objects given back since the last scan began
  bool scannedDry_ = false;                // the last scan found no queue with a free object
  int32_t scanFrom_ = 0;                   // the slot where the next scan starts
  std::condition_variable_any available_;  // waits with the pool's own lock
};
