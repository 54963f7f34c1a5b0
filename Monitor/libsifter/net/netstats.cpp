#include "net/netstats.h"

#include <cstdlib>
#include <cstring>

#include "OB_Log.h"
#include "stats/StatsModule.h"
#include "windows/OB_IndexChanger.h"

int64_t* netstats_newCounts(uint32_t numOfBins, const char* who) {
  auto* counts = static_cast<int64_t*>(std::calloc(numOfBins > 0 ? numOfBins : 1, sizeof(int64_t)));
  if (counts == nullptr) OB_Log::quit("%s", who);
  return counts;
}

int64_t netstats_sum(const int64_t* counts, uint32_t n) {
  int64_t sum = 0;
  for (uint32_t i = 0; counts != nullptr && i < n; ++i) sum += counts[i];
  return sum;
}

void netstats_copyRing64(int64_t* out, const int64_t* in, uint32_t n, uint32_t current) {
  if (n == 0) return;
  if (current >= n) current = n - 1;
  for (uint32_t k = 0; k < n; ++k) out[k] = in != nullptr ? in[(current + 1 + k) % n] : 0;
}

int64_t* netstats_timeOrder(OB_IndexChanger* window, const int64_t* counts, uint32_t n,
                            const char* who) {
  int64_t* out = netstats_newCounts(n, who);
  netstats_copyRing64(out, counts, n, stats_currentBin(window, n));
  return out;
}

void netstats_bounds(OB_IndexChanger* window, int32_t* nowTime, int32_t* agoTime) {
  *nowTime = window != nullptr ? static_cast<int32_t>(window->getNowTime()) : 0;
  *agoTime = window != nullptr ? static_cast<int32_t>(window->getAgoTime()) : 0;
}

uint64_t netstats_Rate(uint32_t value, uint32_t interval) {
  if (value == 0 || interval == 0) return 0;
  return static_cast<uint64_t>(static_cast<double>(value) * 8000.0 / interval);
}

uint64_t netstats_PercentUtil(uint64_t rate, uint16_t megabitsRate) {
  switch (megabitsRate) {
    case 10:
      return static_cast<uint64_t>(static_cast<double>(rate) * 0.01);
    case 100:
      return static_cast<uint64_t>(static_cast<double>(rate) * 0.001);
    default:
      OB_Log::quit("netstats_PercentUtil: Invalid megabitsRate.");
  }
}

namespace {

// The digits with a point three from the right, then suffix.
int formatThousandths(const unsigned char* digits, char* out, size_t size, const char* suffix) {
  if (out == nullptr || size == 0) return -1;
  out[0] = '\0';
  if (digits == nullptr) return -1;
  const size_t length = digits[0];
  const char* text = reinterpret_cast<const char*>(digits + 1);
  for (size_t i = 0; i < length; ++i)
    if (text[i] < '0' || text[i] > '9') return -1;

  // Fewer than four digits: a leading 0 and the fraction filled with zeros from the left.
  const size_t whole = length > 3 ? length - 3 : 0;
  const size_t padding = length < 3 ? 3 - length : 0;
  const size_t needed = (whole > 0 ? whole : 1) + 1 + 3 + std::strlen(suffix) + 1;
  if (needed > size) return -1;
  char* at = out;
  if (whole > 0) {
    std::memcpy(at, text, whole);
    at += whole;
  } else {
    *at++ = '0';
  }
  *at++ = '.';
  for (size_t i = 0; i < padding; ++i) *at++ = '0';
  std::memcpy(at, text + whole, length - whole);
  at += length - whole;
  std::strcpy(at, suffix);
  return 0;
}

}  // namespace

int netstats_FormatRate(const unsigned char* digits, char* out, size_t size, int withUnit) {
  return formatThousandths(digits, out, size, withUnit != 0 ? " Kbits/s" : "");
}

int netstats_FormatPercent(const unsigned char* digits, char* out, size_t size) {
  return formatThousandths(digits, out, size, "%");
}
