// The capture engine's thirteen counters: frames and bytes seen per network-statistics interval
// and since start, the driver's drop count, and the start time. The packet manager derives from
// it (its statistics part is the one block of the process, published with
// setCaptureEngineStats); the network consumer takes the interval counters, the command server
// sends the totals to the console.
//
// The counters are relaxed atomics: the capture thread raises them without any lock, the
// statistics thread sets the drop counts, and the network consumer reads and zeroes each interval
// counter in one step with takeValue, so no frame counted at that moment is lost. The OB_Mutex
// base is the packet manager's lock; these counters do not need it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "OB_Mutex.h"
#include "OB_Object.h"

class OB_CaptureEngineStats : public virtual OB_Mutex, public virtual OB_Object {
 public:
  // Counter indexes.
  static constexpr int kCwBuffNo = 0;  // printed only; nothing raises it
  static constexpr int kCrBuffNo = 1;  // printed only; nothing raises it
  static constexpr int kStartTime = 2;  // seconds since 1970, set at construction
  static constexpr int kPacksSeen = 3;  // interval counters: 3 to 7
  static constexpr int kBytesSeen = 4;
  static constexpr int kPacksAccepted = 5;
  static constexpr int kBytesAccepted = 6;
  static constexpr int kReportedDropped = 7;  // driver's drop count at the last statistics pass
  static constexpr int kAllPacksSeen = 8;     // totals since start: 8 to 12
  static constexpr int kAllBytesSeen = 9;
  static constexpr int kAllPacksAccepted = 10;
  static constexpr int kAllBytesAccepted = 11;
  static constexpr int kAllReportedDropped = 12;  // driver's drop count, never reset
  static constexpr int kNumCounters = 13;

  // Start time now, every other counter 0.
  OB_CaptureEngineStats();
  OB_CaptureEngineStats(const OB_CaptureEngineStats&) = delete;
  OB_CaptureEngineStats& operator=(const OB_CaptureEngineStats&) = delete;

  // Each answers -1 and changes nothing for an index outside 0 to 12, else 0. Arithmetic is
  // modulo 2^32.
  virtual int setValue(int index, uint32_t value);
  virtual int incValue(int index, uint32_t value);
  virtual int decValue(int index, uint32_t value);
  // *out = the counter (out untouched on -1 or when null).
  virtual int getValue(int index, uint32_t* out);
  // *out = the counter, which is zeroed in the same step: the read of an interval counter.
  virtual int takeValue(int index, uint32_t* out);

  // Interval counters 3 to 7 = 0; the totals stay. 0.
  int reset() override;
  // The counters as text (no start time) through OB_Log::flog on the stream. 0.
  int print(FILE* stream) override;
  // Start time and the five totals (indexes 2, 8, 9, 10, 11, 12), each with writeJ_UInt32. The
  // first failing write ends it: an error record goes to standard output and its result is
  // returned; else the last write's result (0).
  int writeJ(int socket) override;

 private:
  bool validIndex(int index) const { return index >= 0 && index < kNumCounters; }

  std::array<std::atomic<uint32_t>, kNumCounters> counters_;
};

// The process's one capture statistics block (not owned); null until set. 0.
int setCaptureEngineStats(OB_CaptureEngineStats* stats);
OB_CaptureEngineStats* getCaptureEngineStats();
