#include "stats/TrackedNames.h"

#include <atomic>

#include "OB_Log.h"
#include "OB_Tools.h"

namespace {

std::atomic<uint64_t> held{0};
std::atomic<uint64_t> setBound{0};
std::atomic<bool> refusalLogged{false};

uint64_t machineBound() {
  static const uint64_t bound = OB_Tools::memoryShare();
  return bound;
}

}  // namespace

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
