// The capture engine's thirteen counters: frames and bytes seen per network-statistics interval
// and since start, the driver's drop count, and the start time. The packet manager derives from
// it (its statistics part is the one block of the process, published with
// setCaptureEngineStats); the network consumer takes the interval counters, the command server
// sends the totals to the console.
//
// A counter is a base (a relaxed atomic) plus what every thread has added to it in a block of its
// own (OB_ThreadCounters): the capture thread raises the frame counters for every frame without
// a locked instruction, and reads add the blocks up. setValue moves the base so that the sum is
// the value set; takeValue, with which the network consumer reads and zeroes each interval
// counter, takes off the base exactly what it answered, so a frame counted at that moment lands
// in the next interval, never nowhere. The OB_Mutex base is the packet manager's lock; these
// counters do not need it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "OB_Mutex.h"
#include "OB_Object.h"
#include "OB_ThreadCounters.h"

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
  // One frame of `bytes` bytes seen and accepted: the four frame and four byte counters, interval
  // and total, in the calling thread's block. For the packet road.
  void countFrame(uint32_t bytes) {
    std::atomic<uint32_t>* block = added_.block();
    for (int index : {kPacksSeen, kAllPacksSeen, kPacksAccepted, kAllPacksAccepted})
      block[index].store(block[index].load(std::memory_order_relaxed) + 1,
                         std::memory_order_relaxed);
    for (int index : {kBytesSeen, kAllBytesSeen, kBytesAccepted, kAllBytesAccepted})
      block[index].store(block[index].load(std::memory_order_relaxed) + bytes,
                         std::memory_order_relaxed);
  }

  // The driver's drops since start split by where they happened: no room in the capture buffer
  // (the kernel) and dropped by the interface. Their sum is counter 12. Not among the thirteen
  // counters: the console gets them as the two last words of the monitor-statistics reply.
  void setDriverDrops(uint32_t kernel, uint32_t interface) {
    kernelDrops_.store(kernel, std::memory_order_relaxed);
    interfaceDrops_.store(interface, std::memory_order_relaxed);
  }
  uint32_t getKernelDrops() const { return kernelDrops_.load(std::memory_order_relaxed); }
  uint32_t getInterfaceDrops() const { return interfaceDrops_.load(std::memory_order_relaxed); }
  // Brings the drop counters up to the driver's counts now, for a reader that wants them fresh
  // (the console); the block alone has no driver: nothing.
  virtual void refreshDrops() {}

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
  uint32_t value(int index) const {
    return counters_[static_cast<size_t>(index)].load(std::memory_order_relaxed) +
           added_.sum(index);
  }
  // Makes the counter read `value` (modulo 2^32) and answers what it read before.
  uint32_t replace(int index, uint32_t value);

  std::array<std::atomic<uint32_t>, kNumCounters> counters_;  // the bases
  OB_ThreadCounters added_{kNumCounters};
  std::atomic<uint32_t> kernelDrops_{0};
  std::atomic<uint32_t> interfaceDrops_{0};
};

// The process's one capture statistics block (not owned); null until set. 0.
int setCaptureEngineStats(OB_CaptureEngineStats* stats);
OB_CaptureEngineStats* getCaptureEngineStats();
