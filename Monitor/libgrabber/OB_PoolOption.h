// The process options that size the capture engine's pools ("PacketPools", "PacketsPerPool",
// "SessionPools", "SessionsPerPool"), read by one rule: the packet manager and the stream builder
// both read theirs through it, so a count that the machine's memory cannot hold never reaches a
// pool. The payload pools together, and the session pool, may each take at most one share of
// the memory budget (OB_Tools::memoryShare, an eighth), as the statistics and their tracked names
// do: all of them at their fullest leave half of the memory to the rest.
#pragma once

#include <cstdint>

// What one kind of pool may take at its fullest: OB_Tools::memoryShare().
uint64_t poolOption_budget();

// The count option `name` of the process option list, read as atoi reads it. A missing entry,
// no list, 0 or text that is no number keep fallback. A negative count, or one whose units of
// unitBytes each would take more than poolOption_budget() (or that passes 2^31 - 1), also keeps
// fallback, and the log says so and gives the bound. fallback itself is cut to the bound.
int poolOption_count(const char* name, int fallback, uint64_t unitBytes);
// The most units of queueBytes each that poolOption_budget() holds (at least 1, at most 2^31 -
// 1): the bound of a count option, and how far a replay's growing pool may go past its cap.
int32_t poolOption_mostQueues(uint64_t queueBytes);
