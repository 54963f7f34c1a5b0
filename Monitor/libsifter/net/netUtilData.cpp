#include "net/netUtilData.h"

#include <cinttypes>
#include <cstdlib>

#include "OB_Log.h"
#include "net/OB_AddrPair.h"
#include "net/OB_AllNetData.h"
#include "net/netstats.h"
#include "stats/StatsModule.h"

namespace {

constexpr const char* kInitNoMemory = "netUtilData_initAll: not enough memory";
constexpr const char* kBreakdownNoMemory = "netUtilData_getBreakdown: not enough memory";

bool inModule(const netUtilData* module, int bin) {
  return module->packsSeen != nullptr && bin >= 0 && static_cast<uint32_t>(bin) < module->numOfBins;
}

netUtilBreakdown_t* newBreakdown(netUtilData* module) {
  auto* breakdown = static_cast<netUtilBreakdown_t*>(
      stats_alloc(sizeof(netUtilBreakdown_t), kBreakdownNoMemory));
  *breakdown = netUtilBreakdown_t{};
  netstats_bounds(module->window, &breakdown->nowTime, &breakdown->agoTime);
  breakdown->numOfBins = module->numOfBins;
  return breakdown;
}

int64_t* ringCopy(netUtilData* module, const int64_t* counts) {
  return netstats_timeOrder(module->window, counts, module->numOfBins, kBreakdownNoMemory);
}

}  // namespace

void netUtilData_init(OB_IndexChanger* window, netUtilData* module, uint32_t numOfBins) {
  OB_Log::debug("netUtilData_init()\n");
  module->window = window;
  if (module->packsSeen != nullptr) return;
  module->numOfBins = numOfBins;
  module->packsSeen = netstats_newCounts(numOfBins, kInitNoMemory);
  module->bytesSeen = netstats_newCounts(numOfBins, kInitNoMemory);
  module->packsAccepted = netstats_newCounts(numOfBins, kInitNoMemory);
  module->bytesAccepted = netstats_newCounts(numOfBins, kInitNoMemory);
  module->reportedDropped = netstats_newCounts(numOfBins, kInitNoMemory);
}

void netUtilData_free(netUtilData* module) {
  OB_Log::debug("netUtilData_free()\n");
  for (int64_t** array : {&module->packsSeen, &module->bytesSeen, &module->packsAccepted,
                          &module->bytesAccepted, &module->reportedDropped}) {
    std::free(*array);
    *array = nullptr;
  }
}

void netUtilData_procAllTraffic(netUtilData* module, int bin, const OB_AllNetData* record) {
  if (!inModule(module, bin) || record == nullptr) return;
  module->packsSeen[bin] += record->packsSeen;
  module->bytesSeen[bin] += record->bytesSeen;
  module->packsAccepted[bin] += record->packsAccepted;
  module->bytesAccepted[bin] += record->bytesAccepted;
  module->reportedDropped[bin] += record->reportedDropped;
}

void netUtilData_procAddrPair(netUtilData* module, int bin, const OB_AddrPair* pair) {
  if (!inModule(module, bin) || pair == nullptr) return;
  module->packsAccepted[bin] += pair->packs;
  module->bytesAccepted[bin] += pair->bytes;
}

void netUtilData_resetBin(netUtilData* module, int bin) {
  StatsWindowHold hold(module->window);
  if (!inModule(module, bin)) return;
  for (int64_t* array : {module->packsSeen, module->bytesSeen, module->packsAccepted,
                         module->bytesAccepted, module->reportedDropped})
    array[bin] = 0;
}

void netUtilData_getAcceptedTotals(netUtilData* module, int64_t* packs, int64_t* bytes) {
  StatsWindowHold hold(module->window);
  if (packs != nullptr) *packs = netstats_sum(module->packsAccepted, module->numOfBins);
  if (bytes != nullptr) *bytes = netstats_sum(module->bytesAccepted, module->numOfBins);
}

netUtilBreakdown_t* netUtilData_getBreakdown(netUtilData* module) {
  StatsWindowHold hold(module->window);
  netUtilBreakdown_t* breakdown = newBreakdown(module);
  breakdown->packsSeen = ringCopy(module, module->packsSeen);
  breakdown->bytesSeen = ringCopy(module, module->bytesSeen);
  breakdown->packsAccepted = ringCopy(module, module->packsAccepted);
  breakdown->bytesAccepted = ringCopy(module, module->bytesAccepted);
  breakdown->reportedDropped = ringCopy(module, module->reportedDropped);
  return breakdown;
}

netUtilBreakdown_t* netUtilData_getAcceptedBreakdown(netUtilData* module) {
  StatsWindowHold hold(module->window);
  netUtilBreakdown_t* breakdown = newBreakdown(module);
  breakdown->packsAccepted = ringCopy(module, module->packsAccepted);
  breakdown->bytesAccepted = ringCopy(module, module->bytesAccepted);
  return breakdown;
}

void netUtilData_freeBreakdown(netUtilBreakdown_t* breakdown) {
  if (breakdown == nullptr) return;
  for (int64_t* array : {breakdown->packsSeen, breakdown->bytesSeen, breakdown->packsAccepted,
                         breakdown->bytesAccepted, breakdown->reportedDropped})
    std::free(array);
  std::free(breakdown);
}

void netUtilData_print(FILE* stream, netUtilData* module) {
  StatsWindowHold hold(module->window);
  const uint32_t n = module->numOfBins;
  fprintf(stream, "  Utilization Breakdown Summary\n");
  fprintf(stream, "  -----------------------------\n");
  fprintf(stream, "   packsSeenCount = %" PRId64 "\n", netstats_sum(module->packsSeen, n));
  fprintf(stream, "   bytesSeenCount = %" PRId64 "\n", netstats_sum(module->bytesSeen, n));
  fprintf(stream, "   packsAcceptedCount = %" PRId64 "\n", netstats_sum(module->packsAccepted, n));
  fprintf(stream, "   bytesAcceptedCount = %" PRId64 "\n", netstats_sum(module->bytesAccepted, n));
  fprintf(stream, "   reportedDroppedCount = %" PRId64 "\n",
          netstats_sum(module->reportedDropped, n));
}
