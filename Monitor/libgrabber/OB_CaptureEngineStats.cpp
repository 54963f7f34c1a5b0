#include "OB_CaptureEngineStats.h"

#include <sys/time.h>

#include "OB_Exception.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"

namespace {
std::atomic<OB_CaptureEngineStats*> processStats{nullptr};
}  // namespace

OB_CaptureEngineStats::OB_CaptureEngineStats() {
  for (std::atomic<uint32_t>& counter : counters_) counter.store(0, std::memory_order_relaxed);
  struct timeval now {};
  OB_Tools::gettimeofday(&now, nullptr);
  counters_[kStartTime].store(static_cast<uint32_t>(now.tv_sec), std::memory_order_relaxed);
}

uint32_t OB_CaptureEngineStats::replace(int index, uint32_t value) {
  std::atomic<uint32_t>& base = counters_[static_cast<size_t>(index)];
  uint32_t before = base.load(std::memory_order_relaxed);
  uint32_t read = 0;
  // Retried when another setter moved the base meanwhile; frames counted meanwhile stay counted.
  do {
    const uint32_t added = added_.sum(index);
    read = before + added;
  } while (!base.compare_exchange_weak(before, before - read + value, std::memory_order_relaxed));
  return read;
}

int OB_CaptureEngineStats::setValue(int index, uint32_t value) {
  if (!validIndex(index)) return -1;
  replace(index, value);
  return 0;
}

int OB_CaptureEngineStats::incValue(int index, uint32_t value) {
  if (!validIndex(index)) return -1;
  added_.add(index, value);
  return 0;
}

int OB_CaptureEngineStats::decValue(int index, uint32_t value) {
  if (!validIndex(index)) return -1;
  added_.add(index, 0u - value);
  return 0;
}

int OB_CaptureEngineStats::getValue(int index, uint32_t* out) {
  if (!validIndex(index) || out == nullptr) return -1;
  *out = value(index);
  return 0;
}

int OB_CaptureEngineStats::takeValue(int index, uint32_t* out) {
  if (!validIndex(index) || out == nullptr) return -1;
  *out = replace(index, 0);
  return 0;
}

int OB_CaptureEngineStats::reset() {
  for (int index = kPacksSeen; index <= kReportedDropped; ++index) replace(index, 0);
  return 0;
}

int OB_CaptureEngineStats::print(FILE* stream) {
  auto asInt = [this](int index) { return static_cast<int32_t>(value(index)); };
  OB_Log::flog(stream, "\nCapture Engine Stats:\n");
  OB_Log::flog(stream, "--------------------------\n");
  OB_Log::flog(stream, "    cwBuffNo             =  %10d\n", asInt(kCwBuffNo));
  OB_Log::flog(stream, "    crBuffNo             =  %10d\n\n", asInt(kCrBuffNo));
  OB_Log::flog(stream, "    packsSeen            =  %10d\n", asInt(kPacksSeen));
  OB_Log::flog(stream, "    bytesSeen            =  %10u\n", value(kBytesSeen));
  OB_Log::flog(stream, "    packsAccepted        =  %10d\n", asInt(kPacksAccepted));
  OB_Log::flog(stream, "    bytesAccepted        =  %10u\n", value(kBytesAccepted));
  OB_Log::flog(stream, "    reportedDropped      =  %10d\n\n", asInt(kReportedDropped));
  OB_Log::flog(stream, "    allPacksSeen         =  %10d\n", asInt(kAllPacksSeen));
  OB_Log::flog(stream, "    allBytesSeen         =  %10u\n", value(kAllBytesSeen));
  OB_Log::flog(stream, "    allPacksAccepted     =  %10d\n", asInt(kAllPacksAccepted));
  OB_Log::flog(stream, "    allBytesAccepted     =  %10u\n", value(kAllBytesAccepted));
  OB_Log::flog(stream, "    reportedDropped      =  %10d\n\n", asInt(kAllReportedDropped));
  return 0;
}

int OB_CaptureEngineStats::writeJ(int socket) {
  static constexpr int kSent[] = {kStartTime,        kAllPacksSeen,     kAllBytesSeen,
                                  kAllPacksAccepted, kAllBytesAccepted, kAllReportedDropped};
  int result = 0;
  for (int index : kSent) {
    result = writeJ_UInt32(socket, value(index));
    if (result < 0) {
      OB_Exception failure(result, nullptr, __FILE__, __LINE__);
      failure.print(stdout);
      return result;
    }
  }
  return result;
}

int setCaptureEngineStats(OB_CaptureEngineStats* stats) {
  processStats.store(stats, std::memory_order_release);
  return 0;
}

OB_CaptureEngineStats* getCaptureEngineStats() {
  return processStats.load(std::memory_order_acquire);
}
