#include "ssDomainsSeenData.h"

#include <cstdlib>
#include <initializer_list>

#include "OB_Log.h"

void ssDomainsSeenData_initAll(OB_IndexChanger* window, ssDomainsSeenData* module,
                               uint32_t numOfBins) {
  OB_Log::debug("ssDomainsSeenData_initAll()\n");
  constexpr const char* kNoMemory = "ssDomainsSeenData_initAll: not enough memory";
  module->window = window;
  module->numOfBins = numOfBins;
  module->resolved = stats_newCounts(numOfBins, 0, kNoMemory);
  module->unresolved = stats_newCounts(numOfBins, 0, kNoMemory);
  module->noDomain = stats_newCounts(numOfBins, 0, kNoMemory);
  statsList_init(&module->domains, numOfBins, 1, StatsNames::kOwnCopy);
}

void ssDomainsSeenData_freeAll(ssDomainsSeenData* module) {
  OB_Log::debug("ssDomainsSeenData_freeAll()\n");
  for (uint32_t** array : {&module->resolved, &module->unresolved, &module->noDomain}) {
    std::free(*array);
    *array = nullptr;
  }
  statsList_free(&module->domains);
}
