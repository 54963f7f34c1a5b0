#include "ssReferersSeenData.h"

#include <cstdlib>

#include "OB_Log.h"

void ssReferersSeenData_initAll(OB_IndexChanger* window, ssReferersSeenData* module,
                                uint32_t numOfBins) {
  OB_Log::debug("ssReferersSeenData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->referrals = stats_newCounts(numOfBins, 0, "ssReferersSeenData_initAll: Not enough memory");
  module->numOfHosts = 0;
  for (statsCounterList_t& bucket : module->hosts)
    statsList_init(&bucket, numOfBins, 1, StatsNames::kOwnCopy);
}

void ssReferersSeenData_freeAll(ssReferersSeenData* module) {
  OB_Log::debug("ssReferersSeenData_freeAll()\n");
  std::free(module->referrals);
  module->referrals = nullptr;
  for (statsCounterList_t& bucket : module->hosts) statsList_free(&bucket);
  module->numOfHosts = 0;
}
