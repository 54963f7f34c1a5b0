#include "OB_ThreadCounters.h"

#include "OB_Log.h"

namespace ob_thread_counters {
constinit thread_local CacheEntry cache[kCacheEntries]
    __attribute__((tls_model("initial-exec"))) = {};
}  // namespace ob_thread_counters

namespace {
std::atomic<uint64_t> lastId{0};
thread_local int nextVictim = 0;  // the cache entry a new block replaces, round robin
}  // namespace

OB_ThreadCounters::OB_ThreadCounters(int count)
    : id_(lastId.fetch_add(1) + 1), count_(count > 0 ? count : 1) {}

OB_ThreadCounters::~OB_ThreadCounters() {
  // This thread's cache may name the set; its id is never used again, so other threads' entries
  // can only go stale, never match.
  for (ob_thread_counters::CacheEntry& entry : ob_thread_counters::cache)
    if (entry.owner == id_) entry = {0, nullptr};
}

std::atomic<uint32_t>* OB_ThreadCounters::attach() {
  const std::thread::id self = std::this_thread::get_id();
  std::atomic<uint32_t>* counts = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // A thread that ended leaves its block, with its counts; a new thread of the same identity
    // goes on counting in it.
    for (const Block& block : blocks_)
      if (block.thread == self) counts = block.counts.get();
    if (counts == nullptr) {
      try {
        Block block{self, std::make_unique<std::atomic<uint32_t>[]>(static_cast<size_t>(count_))};
        for (int i = 0; i < count_; ++i) block.counts[i].store(0, std::memory_order_relaxed);
        counts = block.counts.get();
        blocks_.push_back(std::move(block));
      } catch (const std::bad_alloc&) {
        OB_Log::quit("OB_ThreadCounters: no memory for a thread's counters\n");
      }
    }
  }
  ob_thread_counters::cache[nextVictim] = {id_, counts};
  nextVictim = (nextVictim + 1) % ob_thread_counters::kCacheEntries;
  return counts;
}

uint32_t OB_ThreadCounters::sum(int index) const {
  if (index < 0 || index >= count_) return 0;
  std::lock_guard<std::mutex> hold(lock_);
  uint32_t total = 0;
  for (const Block& block : blocks_) total += block.counts[index].load(std::memory_order_relaxed);
  return total;
}
