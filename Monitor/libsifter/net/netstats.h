// Helpers the network statistics share: the 64-bit per-bin arrays of their modules in ring order,
// and the rate and link-utilisation figures with their text forms, offered beside the modules
// for callers that show rates (no console command sends them).
#pragma once

#include <cstddef>
#include <cstdint>

class OB_IndexChanger;

// numOfBins zeroed 64-bit counts; out of memory ends the process with `who`.
int64_t* netstats_newCounts(uint32_t numOfBins, const char* who);
// The sum of n counts.
int64_t netstats_sum(const int64_t* counts, uint32_t n);
// Ring order: the array's newest bin is `current`; out receives bins current+1 .. n-1, then
// 0 .. current (oldest first, the current bin last). A null `in` gives zeros.
void netstats_copyRing64(int64_t* out, const int64_t* in, uint32_t n, uint32_t current);
// A new array of the n counts (null: zeros) in ring order for the window's current bin. Owned by
// the caller (free); out of memory ends the process with `who`.
int64_t* netstats_timeOrder(OB_IndexChanger* window, const int64_t* counts, uint32_t n,
                            const char* who);
// The window's end and start as the replies send them; 0 without a window.
void netstats_bounds(OB_IndexChanger* window, int32_t* nowTime, int32_t* agoTime);

// value × 8000 / interval, worked out in floating point and truncated: bytes over milliseconds
// give bits per second. 0 when either is 0.
uint64_t netstats_Rate(uint32_t value, uint32_t interval);
// The rate's share of a link of megabitsRate Mbit/s (10 or 100) in thousandths of a percent,
// truncated. Another link speed ends the process.
uint64_t netstats_PercentUtil(uint64_t rate, uint16_t megabitsRate);

// The text formatters take a decimal digit string held as a length byte followed by that many
// digits, and write it NUL-ended into out (size bytes) with a point three digits from the right:
// "\x05" "12345" → "12.345", "\x02" "42" → "0.042". FormatRate appends " Kbits/s" when withUnit
// is not 0; FormatPercent always appends "%". 0, or -1 (out holds "") when the digits are not all
// decimal digits or the text does not fit.
int netstats_FormatRate(const unsigned char* digits, char* out, size_t size, int withUnit);
int netstats_FormatPercent(const unsigned char* digits, char* out, size_t size);
