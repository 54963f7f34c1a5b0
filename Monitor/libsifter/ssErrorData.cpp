#include "ssErrorData.h"

#include "OB_Log.h"

namespace {
constexpr const char* kAddCounter = "addErrorCounter: Not enough memory";
}  // namespace

void ssErrorData_initAll(OB_IndexChanger* window, ssErrorData* module, uint32_t numOfBins) {
  OB_Log::debug("ssErrorData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  statsList_init(&module->types, numOfBins, 1, StatsNames::kResourceHash);
  statsList_init(&module->resources, numOfBins, 1, StatsNames::kResourceHash);
  statsList_append(&module->types, "All Errors", kAddCounter);
}

void ssErrorData_freeAll(ssErrorData* module) {
  OB_Log::debug("ssErrorData_freeAll()\n");
  statsList_free(&module->types);
  statsList_free(&module->resources);
}
