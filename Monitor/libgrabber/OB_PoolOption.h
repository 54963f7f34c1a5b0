// The process options that size the capture engine's pools ("PacketPools", "PacketsPerPool",
// "SessionPools", "SessionsPerPool"), read by one rule: the packet manager and the stream builder
// both read theirs through it, so a count that the machine's memory cannot hold never reaches a
// pool.
#pragma once

#include <cstdint>

// The machine's physical memory in bytes.
uint64_t poolOption_machineMemory();

// The count option `name` of the process option list, read as atoi reads it. A missing entry,
// no list, 0 or text that is no number keep fallback. A negative count, or one whose units of
// unitBytes each would take more than the machine's memory (or that passes 2^31 - 1), also
// keeps fallback, and the log says so. fallback itself is cut to what the memory holds.
int poolOption_count(const char* name, int fallback, uint64_t unitBytes);
