// A pool of reusable T objects, where T derives from OB_MemoryPoolObject<T, B>: up to maxQueues
// blocks (queues) of objectsPerQueue objects each, made on demand and deleted again by pack when
// all their objects are free. The capture engine pools packet buffers and sessions in these; the
// HTTP analyser pools its transactions.
//
// Lock order: pool, then queue (getObject, pack). An object's last release takes the queue's lock
// and then the pool's (to wake waiters), never while holding the object's own lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
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
  // No queue is made yet; a count below 1 is taken as 1.
  OB_MemoryPool(int maxQueues, int objectsPerQueue)
      : queues_(maxQueues > 0 ? maxQueues : 1, nullptr),
        maxQueues_(maxQueues > 0 ? maxQueues : 1),
        objectsPerQueue_(objectsPerQueue > 0 ? objectsPerQueue : 1) {}
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
      // The condition is checked under the pool's lock and every return wakes waiters under it,
      // so a return between the check and the wait is never missed.
      while (object == nullptr && wait_ != 0) {
        available_.wait(hold,
                        [this] { return wait_ == 0 || numQueues_ < maxQueues_ || anyFree(); });
        object = take();
      }
    }
    if (object != nullptr) object->reset();
    return object;
  }

  // Deletes every queue whose objects are all free; 0.
  virtual int pack() {
    std::lock_guard<OB_Mutex> hold(*this);
    const int32_t existing = numQueues_;
    int32_t visited = 0;
    for (int32_t i = 0; i < maxQueues_ && visited < existing; ++i) {
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

  // Called by a queue after every object it takes back: wakes the threads waiting in getObject.
  int signal() override {
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
    for (int32_t i = 0; i < maxQueues_; ++i) {
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

 private:
  // Under the pool's lock: an object from the current queue, else from the first queue with one
  // free, else from a new queue while there is room; null when none. The object's index is the
  // serving queue's slot (0 when the current queue served it).
  T* take() {
    if (current_ != nullptr) {
      if (T* object = current_->get(); object != nullptr) {
        object->setIndex(0);
        return object;
      }
    }
    int32_t firstEmpty = -1;
    int32_t visited = 0;
    int32_t i = 0;
    for (; i < maxQueues_ && visited < numQueues_; ++i) {
      OB_MemoryQueue<T>* queue = queues_[i];
      if (queue == nullptr) {
        if (firstEmpty == -1) firstEmpty = i;
        continue;
      }
      ++visited;
      if (T* object = queue->get(); object != nullptr) {
        object->setIndex(i);
        return object;
      }
    }
    if (numQueues_ >= maxQueues_) return nullptr;
    if (firstEmpty == -1) {
      for (firstEmpty = i; firstEmpty < maxQueues_ && queues_[firstEmpty] != nullptr; ++firstEmpty) {
      }
    }
    auto* queue = new OB_MemoryQueue<T>(objectsPerQueue_);
    if (queue == nullptr) OB_Log::quit("OB_MemoryQueue<T>::OB_MemoryQueue(): no memory");
    queues_[firstEmpty] = queue;
    ++numQueues_;
    ++blocksMalloced_;
    queue->setOwner(this);
    current_ = queue;
    T* object = queue->get();
    if (object != nullptr) object->setIndex(firstEmpty);
    return object;
  }

  bool anyFree() {
    for (OB_MemoryQueue<T>* queue : queues_)
      if (queue != nullptr && queue->getNumFree() > 0) return true;
    return false;
  }

  std::vector<OB_MemoryQueue<T>*> queues_;  // owned; null slots are empty
  OB_MemoryQueue<T>* current_ = nullptr;    // asked first: the queue made last
  int32_t numQueues_ = 0;
  uint32_t blocksMalloced_ = 0;
  uint32_t blocksFreed_ = 0;
  const int32_t maxQueues_;
  const int32_t objectsPerQueue_;
  int wait_ = 1;
  std::condition_variable_any available_;  // waits with the pool's own lock
};
