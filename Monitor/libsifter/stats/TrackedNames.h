// The memory that names tracked one by one hold, across every statistic of the process: clients,
// resources, referers' hosts and pages, and the other named rows of the modules. Past a bound
// derived from the machine's memory a new name is still counted in its totals but gets no record
// of its own, so that a flood of distinct names cannot exhaust the memory; the log says so once.
#pragma once

#include <cstddef>
#include <cstdint>

// What a block costs beyond its bytes: the allocator's header. Every block a name makes is
// reckoned with it, as the heap gives it.
inline constexpr size_t kBlockOverhead = 16;
// bytes in blocks blocks, as the heap reckons them.
constexpr size_t trackedNames_blocks(size_t bytes, size_t blocks) {
  return bytes + blocks * kBlockOverhead;
}

// The bound in bytes: the names' share of the memory budget (OB_Tools::memoryShare) unless set.
uint64_t trackedNames_bound();
// Sets the bound (0: back to the machine's); for tests. The next refusal is logged again.
void trackedNames_setBound(uint64_t bytes);
// The bytes held now.
uint64_t trackedNames_held();

// Whether a new name may be tracked: false once the held bytes have reached the bound, and the
// first refusal is logged. Callers that create a name then add its bytes.
bool trackedNames_admit();
void trackedNames_add(size_t bytes);
void trackedNames_release(size_t bytes);
