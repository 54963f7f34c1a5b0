#include "ssHitData.h"

#include <cstdlib>

#include "OB_Log.h"

namespace {
constexpr const char* kAddCounter = "addCounter: Not enough memory";
}  // namespace

void ssHitData_initAll(OB_IndexChanger* window, ssHitData* module, uint32_t numOfBins) {
  OB_Log::debug("ssHitData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->hits = stats_newCounts(numOfBins, 0, "ssHitData_initAll: not enough memory");
  statsList_init(&module->methods, numOfBins, 1, StatsNames::kMimeTypeHash);
  statsList_init(&module->from, numOfBins, 2, StatsNames::kMimeTypeHash);
  statsList_init(&module->to, numOfBins, 1, StatsNames::kMimeTypeHash);
  statsList_append(&module->methods, "GET", kAddCounter);
  statsList_append(&module->from, "All FROM Server", kAddCounter);
  statsList_append(&module->to, "All TO Server", kAddCounter);
}

void ssHitData_freeAll(ssHitData* module) {
  OB_Log::debug("ssHitData_freeAll()\n");
  std::free(module->hits);
  module->hits = nullptr;
  statsList_free(&module->methods);
  statsList_free(&module->from);
  statsList_free(&module->to);
}
