// Counters that several threads raise without a locked instruction: each thread that counts
// writes a block of its own, which only it changes, and a read adds up every block. The capture
// statistics and the TCP session statistics, raised for every frame on the packet road and for
// every session on the stream builder's thread, keep their counts in these. Counts wrap modulo
// 2^32, as the statistics they stand for do.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ob_thread_counters {
// The blocks a thread used last, by the identity of their counter sets (0: empty entry).
struct CacheEntry {
  uint64_t owner;
  std::atomic<uint32_t>* block;
};
constexpr int kCacheEntries = 4;
// Initial-exec: a fixed offset from the thread pointer, with no call on every look-up (the
// libraries are linked with the programs, never opened later).
extern constinit thread_local CacheEntry cache[kCacheEntries]
    __attribute__((tls_model("initial-exec")));
}  // namespace ob_thread_counters

class OB_ThreadCounters {
 public:
  // `count` counters, all 0 (a count below 1 is taken as 1).
  explicit OB_ThreadCounters(int count);
  OB_ThreadCounters(const OB_ThreadCounters&) = delete;
  OB_ThreadCounters& operator=(const OB_ThreadCounters&) = delete;
  // Frees every block; no thread may count in this set any more.
  ~OB_ThreadCounters();

  int getCount() const { return count_; }

  // Adds n to counter `index` (0 <= index < getCount(), not checked) in the calling thread's
  // block: a plain load and store, since only this thread writes there.
  void add(int index, uint32_t n) {
    std::atomic<uint32_t>& counter = block()[index];
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  // The calling thread's block, for a caller that adds to several counters at once.
  std::atomic<uint32_t>* block() {
    for (const ob_thread_counters::CacheEntry& entry : ob_thread_counters::cache)
      if (entry.owner == id_) return entry.block;
    return attach();
  }
  // The counter summed over every thread's block; any thread. Counts being added meanwhile may
  // or may not be in it.
  uint32_t sum(int index) const;

 private:
  // Finds or makes the calling thread's block and puts it in the thread's cache.
  std::atomic<uint32_t>* attach();

  struct Block {
    std::thread::id thread;
    std::unique_ptr<std::atomic<uint32_t>[]> counts;  // owned
  };

  const uint64_t id_;  // unique in the process's life, so a stale cache entry never matches
  const int count_;
  mutable std::mutex lock_;  // guards blocks_ (the vector; the counts are atomics)
  std::vector<Block> blocks_;
};
