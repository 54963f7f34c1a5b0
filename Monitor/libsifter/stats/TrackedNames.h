// The memory that names tracked one by one hold, across every statistic of the process: clients,
// resources, referers' hosts and pages, and the other named rows of the modules. Past a bound
// derived from the machine's memory a new name is still counted in its totals but gets no record
// of its own, so that a flood of distinct names cannot exhaust the memory; the log says so once.
#pragma once

#include <cstddef>
#include <cstdint>

// What the tracked names may hold together: a quarter of the machine's memory (or of the process's
// control-group limit, when lower), as much as one kind of capture pool at its fullest.
inline constexpr uint64_t kTrackedMemoryShare = 4;

// The physical memory, or the control group's limit when lower; UINT64_MAX when neither is known.
uint64_t trackedNames_machineMemory();
// The bound in bytes: trackedNames_machineMemory() / kTrackedMemoryShare unless set.
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
