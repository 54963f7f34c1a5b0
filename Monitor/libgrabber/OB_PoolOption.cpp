#include "OB_PoolOption.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"

uint64_t poolOption_machineMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;  // unknown: no bound
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

int poolOption_count(const char* name, int fallback, uint64_t unitBytes) {
  // The most units the machine's memory holds; the default too is kept within it, since the
  // unit may have grown with another option.
  const uint64_t memory = poolOption_machineMemory();
  uint64_t most = unitBytes == 0 ? INT_MAX : memory / unitBytes;
  if (most > INT_MAX) most = INT_MAX;
  if (most < 1) most = 1;
  if (static_cast<uint64_t>(fallback) > most) fallback = static_cast<int>(most);

  OB_NamedStringList* options = getOptions();
  if (options == nullptr || name == nullptr) return fallback;
  OB_String* value = options->find(name);
  if (value == nullptr) return fallback;
  const char* text = static_cast<const char*>(*value);
  if (text == nullptr) return fallback;
  errno = 0;
  const long long parsed = strtoll(text, nullptr, 10);
  if (parsed == 0 && errno != ERANGE) return fallback;
  if (errno != ERANGE && parsed > 0 && static_cast<uint64_t>(parsed) <= most)
    return static_cast<int>(parsed);
  OB_Log::log("Option %s: %s is out of bounds (1 to %llu on this machine); %d is used\n", name,
              text, static_cast<unsigned long long>(most), fallback);
  return fallback;
}
