// The monitor's clock: microseconds since 1970. A target of its own, so that what reads the time
// (sessions, statistics, the stream builder) needs no capture driver; the driver only advances
// the replay clock behind it (ReplayClock.h).
#pragma once

#include <cstdint>

class UTimeStamp {
 public:
  UTimeStamp() = delete;

  // Nothing to prepare: the driver's raw stamps are already microseconds since 1970. 0.
  static int InitTimeStamps();
  // A raw stamp of the capture driver, unchanged.
  static uint64_t ConvertRawTimeStamp(uint64_t rawTimeStamp);
  // Now: the wall clock, except while a replay runs (the time stamp of the latest frame
  // replayed, so that idle time-outs follow the trace) or while a test has set the clock.
  static uint64_t GetTimeStamp();

  // Makes GetTimeStamp return microseconds until clearClock, whatever replays run (tests and
  // tools).
  static void setClock(uint64_t microseconds);
  static void clearClock();
};
