#include "ssUserAgentData.h"

#include <cstdlib>

#include "OB_Log.h"

void ssUserAgentData_initAll(OB_IndexChanger* window, ssUserAgentData* module,
                             uint32_t numOfBins) {
  OB_Log::debug("ssUserAgentData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->transactions = stats_newCounts(numOfBins, 0, "ssUserAgentData_initAll: not enough memory");
  module->numOfUserAgents = 0;
  for (statsCounterList_t& bucket : module->agents)
    statsList_init(&bucket, numOfBins, 1, StatsNames::kOwnCopy);
}

void ssUserAgentData_freeAll(ssUserAgentData* module) {
  OB_Log::debug("ssUserAgentData_freeAll()\n");
  std::free(module->transactions);
  module->transactions = nullptr;
  for (statsCounterList_t& bucket : module->agents) statsList_free(&bucket);
  module->numOfUserAgents = 0;
}
