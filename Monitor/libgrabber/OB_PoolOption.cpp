#include "OB_PoolOption.h"

#include <cerrno>
#include <cstdlib>

#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"
#include "OB_Tools.h"

uint64_t poolOption_budget() { return OB_Tools::memoryShare(); }

int32_t poolOption_mostQueues(uint64_t queueBytes) {
  uint64_t most = queueBytes == 0 ? INT32_MAX : poolOption_budget() / queueBytes;
  if (most > INT32_MAX) most = INT32_MAX;
  return most < 1 ? 1 : static_cast<int32_t>(most);
}

int poolOption_count(const char* name, int fallback, uint64_t unitBytes) {
  // The most units the budget holds; the default too is kept within it, since the unit may have
  // grown with another option.
  const uint64_t most = static_cast<uint64_t>(poolOption_mostQueues(unitBytes));
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
  OB_Log::log(
      "Option %s: %s is out of bounds (1 to %llu: units of %llu bytes within %llu MB, an eighth "
      "of the %llu MB this machine gives the process); %d is used\n",
      name, text, static_cast<unsigned long long>(most), static_cast<unsigned long long>(unitBytes),
      static_cast<unsigned long long>(poolOption_budget() >> 20),
      static_cast<unsigned long long>(OB_Tools::machineMemory() >> 20), fallback);
  return fallback;
}
