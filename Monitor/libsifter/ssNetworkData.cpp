#include "ssNetworkData.h"

#include <cstdlib>
#include <initializer_list>

#include "OB_Log.h"
#include "StatsModule.h"

namespace {
constexpr const char* kNoMemory = "ssNetworkData_initAll: not enough memory";

uint64_t* newSums(uint32_t numOfBins) {
  return static_cast<uint64_t*>(std::calloc(numOfBins > 0 ? numOfBins : 1, sizeof(uint64_t)));
}
}  // namespace

void ssNetworkData_initAll(OB_IndexChanger* window, ssNetworkData* module, uint32_t numOfBins) {
  OB_Log::debug("ssNetworkData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->uniqueIPs = stats_newCounts(numOfBins, 0, kNoMemory);
  module->rejected = stats_newCounts(numOfBins, 0, kNoMemory);
  module->unacked = stats_newCounts(numOfBins, 0, kNoMemory);
  module->empty = stats_newCounts(numOfBins, 0, kNoMemory);
  module->srvMax = stats_newCounts(numOfBins, 0, kNoMemory);
  module->srvMin = stats_newCounts(numOfBins, kNoMinimumTime, kNoMemory);
  module->srvAve = stats_newCounts(numOfBins, 0, kNoMemory);
  module->srvSum = newSums(numOfBins);
  module->srvCount = stats_newCounts(numOfBins, 0, kNoMemory);
  module->netMax = stats_newCounts(numOfBins, 0, kNoMemory);
  module->netMin = stats_newCounts(numOfBins, kNoMinimumTime, kNoMemory);
  module->netAve = stats_newCounts(numOfBins, 0, kNoMemory);
  module->netSum = newSums(numOfBins);
  module->netCount = stats_newCounts(numOfBins, 0, kNoMemory);
  if (module->srvSum == nullptr || module->netSum == nullptr) OB_Log::quit("%s", kNoMemory);
}

void ssNetworkData_freeAll(ssNetworkData* module) {
  OB_Log::debug("ssNetworkData_freeAll()\n");
  for (uint32_t** array : {&module->uniqueIPs, &module->rejected, &module->unacked, &module->empty,
                           &module->srvMax, &module->srvMin, &module->srvAve, &module->srvCount,
                           &module->netMax, &module->netMin, &module->netAve, &module->netCount}) {
    std::free(*array);
    *array = nullptr;
  }
  std::free(module->srvSum);
  std::free(module->netSum);
  module->srvSum = nullptr;
  module->netSum = nullptr;
}
