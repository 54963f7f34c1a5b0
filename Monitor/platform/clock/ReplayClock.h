// The clock of running replays, shared by the capture driver's contexts (which advance it) and
// UTimeStamp (which reads it). Only the capture driver uses it.
#pragma once

#include <cstdint>

namespace replay_clock {
// Sets the replay clock to a replayed frame's time stamp (µs since 1970).
void advance(uint64_t microseconds);
// A replay starts or stops holding the clock; while any holds it, GetTimeStamp reads it.
void hold();
void release();
}  // namespace replay_clock
