#include "stats/TrackedNames.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "OB_Log.h"

namespace {

std::atomic<uint64_t> held{0};
std::atomic<uint64_t> setBound{0};
std::atomic<bool> refusalLogged{false};

// The memory limit of the process's control group (version 2), or UINT64_MAX when it has none.
uint64_t groupLimit() {
  std::ifstream in("/sys/fs/cgroup/memory.max");
  std::string text;
  if (!(in >> text) || text.empty() || text == "max") return UINT64_MAX;
  errno = 0;
  char* end = nullptr;
  const unsigned long long limit = strtoull(text.c_str(), &end, 10);
  return errno == 0 && end != text.c_str() && limit > 0 ? limit : UINT64_MAX;
}

uint64_t machineBound() {
  static const uint64_t bound = [] {
    const uint64_t memory = trackedNames_machineMemory();
    return memory == UINT64_MAX ? UINT64_MAX : memory / kTrackedMemoryShare;
  }();
  return bound;
}

}  // namespace

uint64_t trackedNames_machineMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  const uint64_t memory = pages > 0 && pageSize > 0
                              ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
                              : UINT64_MAX;  // unknown: no bound from here
  const uint64_t limit = groupLimit();
  return limit < memory ? limit : memory;
}

uint64_t trackedNames_bound() {
  const uint64_t bound = setBound.load(std::memory_order_relaxed);
  return bound != 0 ? bound : machineBound();
}

void trackedNames_setBound(uint64_t bytes) {
  setBound.store(bytes, std::memory_order_relaxed);
  refusalLogged.store(false, std::memory_order_relaxed);
}

uint64_t trackedNames_held() { return held.load(std::memory_order_relaxed); }

bool trackedNames_admit() {
  const uint64_t bound = trackedNames_bound();
  if (held.load(std::memory_order_relaxed) < bound) return true;
  if (!refusalLogged.exchange(true, std::memory_order_relaxed))
    OB_Log::log(
        "Tracked names hold %llu MB, their bound: new clients, resources and referers are "
        "counted in the totals only, without a record of their own\n",
        static_cast<unsigned long long>(bound >> 20));
  return false;
}

void trackedNames_add(size_t bytes) { held.fetch_add(bytes, std::memory_order_relaxed); }

void trackedNames_release(size_t bytes) {
  // Never below zero, should a release outrun its add.
  uint64_t now = held.load(std::memory_order_relaxed);
  while (!held.compare_exchange_weak(now, now > bytes ? now - bytes : 0,
                                     std::memory_order_relaxed)) {
  }
}
