// One block of a memory pool: `count` objects of T allocated together, constructed and initialised
// once, and a count of those that are free. The pool keeps the free objects of all its blocks in
// one list, so that the object freed last is taken first wherever it lives; an object's last
// release gives it back (put) to that list from whatever thread released it, without a lock. The
// free count can be read at any time (peekFree); the pool deletes a block whose objects are all
// free only then.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>

#include "OB_Log.h"
#include "OB_Object.h"

// Where a block's objects go back: the free list of the pool that made the block.
template <class T>
class OB_MemoryReturn {
 public:
  // Takes a free object back; any thread, no lock held, never blocks.
  virtual void takeBack(T* object) = 0;

 protected:
  ~OB_MemoryReturn() = default;
};

template <class T>
class OB_MemoryQueue : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_MemoryQueue, 0x2BE2BF9F, "OB_MemoryQueue", OB_Object)

 public:
  // Builds the block; every object is init'ed, knows this queue and carries the slot as its
  // index. All are free, and the pool lists them itself (objectAt). owner: not owned, outlives
  // the block. Ends the process when the block can't be allocated.
  OB_MemoryQueue(int count, OB_MemoryReturn<T>* owner, int32_t slot)
      : count_(count > 0 ? count : 0), owner_(owner) {
    objects_ = new (std::nothrow) T[count_];
    if (objects_ == nullptr) OB_Log::quit("OB_MemoryQueue<T>::OB_MemoryQueue(): no memory");
    for (int32_t i = 0; i < count_; ++i) {
      objects_[i].init();
      objects_[i].setQueue(this);
      objects_[i].setIndex(slot);
    }
    unused_.store(count_);
  }
  OB_MemoryQueue(const OB_MemoryQueue&) = delete;
  OB_MemoryQueue& operator=(const OB_MemoryQueue&) = delete;
  // Destroys the whole block, objects in use included.
  ~OB_MemoryQueue() override { delete[] objects_; }

  T* objectAt(int32_t i) { return i >= 0 && i < count_ ? &objects_[i] : nullptr; }
  int32_t getCount() const { return count_; }

  // The pool hands one of this block's objects out (with one user); its own list said it was
  // free.
  void taken(T* object) {
    unused_.fetch_sub(1, std::memory_order_relaxed);
    object->addRef();
  }

  // Takes back an object of this block whose last user has released it: into the owner's free
  // list, then counted free. After the count neither the object nor this queue is touched
  // again: the pool may delete the queue as soon as all its objects are counted free. -1 for an
  // object of another block, or when every object is free already.
  virtual int put(T* item) {
    if (item < objects_ || item >= objects_ + count_ ||
        unused_.load(std::memory_order_relaxed) >= count_) {
      OB_Log::debug("OB_MemoryQueue::put(): object not of this queue or already free\n");
      return -1;
    }
    owner_->takeBack(item);
    // Release: whoever reads a count of all free also sees every object in the owner's list.
    unused_.fetch_add(1, std::memory_order_release);
    return 0;
  }

  // Marked by the pool's pack, under its lock, for a block it is about to delete.
  void setRetiring() { retiring_ = true; }
  bool isRetiring() const { return retiring_; }

  virtual int getNumFree() { return unused_.load(std::memory_order_acquire); }
  virtual int isAllFree() { return getNumFree() == count_ ? 1 : 0; }
  // May be stale at once: objects come back from any thread.
  int32_t peekFree() const { return unused_.load(std::memory_order_acquire); }

  int print(FILE* stream) override {
    fprintf(stream, "m_iUnused[%3d]", peekFree());
    return 0;
  }

 private:
  T* objects_ = nullptr;  // owned
  int32_t count_;
  OB_MemoryReturn<T>* owner_;
  std::atomic<int32_t> unused_{0};
  bool retiring_ = false;
};
