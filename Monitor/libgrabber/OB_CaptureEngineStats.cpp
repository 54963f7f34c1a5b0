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

int OB_CaptureEngineStats::setValue(int index, uint32_t value) {
  if (!validIndex(index)) return -1;
  counters_[static_cast<size_t>(index)].store(value, std::memory_order_relaxed);
  return 0;
}

int OB_CaptureEngineStats::incValue(int index, uint32_t value) {
  if (!validIndex(index)) return -1;
  counters_[static_cast<size_t>(index)].fetch_add(value, std::memory_order_relaxed);
  return 0;
}

int OB_CaptureEngineStats::decValue(int index, uint32_t value) {
  if (!validIndex(index)) return -1;
  counters_[static_cast<size_t>(index)].fetch_sub(value, std::memory_order_relaxed);
  return 0;
}

int OB_CaptureEngineStats::getValue(int index, uint32_t* out) {
  if (!validIndex(index) || out == nullptr) return -1;
  *out = counters_[static_cast<size_t>(index)].load(std::memory_order_relaxed);
  return 0;
}

int OB_CaptureEngineStats::takeValue(int index, uint32_t* out) {
  if (!validIndex(index) || out == nullptr) return -1;
  *out = counters_[static_cast<size_t>(index)].exchange(0, std::memory_order_relaxed);
  return 0;
}

int OB_CaptureEngineStats::reset() {
  for (int index = kPacksSeen; index <= kReportedDropped; ++index)
    counters_[static_cast<size_t>(index)].store(0, std::memory_order_relaxed);
  return 0;
}

int OB_CaptureEngineStats::print(FILE* stream) {
  auto value = [this](int index) {
    return counters_[static_cast<size_t>(index)].load(std::memory_order_relaxed);
  };
  auto asInt = [&value](int index) { return static_cast<int32_t>(value(index)); };
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
    uint32_t value = counters_[static_cast<size_t>(index)].load(std::memory_order_relaxed);
    result = writeJ_UInt32(socket, value);
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
