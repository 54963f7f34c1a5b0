#include <atomic>
#include <ctime>

#include "UTimeStamp.h"

#include "ReplayClock.h"

namespace {
std::atomic<uint64_t> replayNow{0};
std::atomic<int> replayHolders{0};
std::atomic<bool> clockSet{false};
std::atomic<uint64_t> clockValue{0};
}  // namespace

void replay_clock::advance(uint64_t microseconds) {
  replayNow.store(microseconds, std::memory_order_relaxed);
}

void replay_clock::hold() { replayHolders.fetch_add(1); }

void replay_clock::release() { replayHolders.fetch_sub(1); }

int UTimeStamp::InitTimeStamps() { return 0; }

uint64_t UTimeStamp::ConvertRawTimeStamp(uint64_t rawTimeStamp) { return rawTimeStamp; }

uint64_t UTimeStamp::GetTimeStamp() {
  if (clockSet.load()) return clockValue.load();
  if (replayHolders.load() > 0) return replayNow.load(std::memory_order_relaxed);
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void UTimeStamp::setClock(uint64_t microseconds) {
  clockValue.store(microseconds);
  clockSet.store(true);
}

void UTimeStamp::clearClock() { clockSet.store(false); }
