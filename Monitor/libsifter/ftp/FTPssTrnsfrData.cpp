#include "ftp/FTPssTrnsfrData.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>

#include "OB_Log.h"
#include "ftp/OB_FTPProtocol.h"
#include "ftp/OB_FTPftranLink.h"
#include "windows/OB_IndexChanger.h"

namespace {

constexpr const char* kAllFrom = "All FROM Server";
constexpr const char* kAllTo = "All TO Server";
constexpr const char* kAddNoMemory = "addCounter: Not enough memory";

void initLists(OB_IndexChanger* window, FTPssTransfers* module, uint32_t numOfBins,
               StatsNames names) {
  module->window = window;
  statsList_init(&module->from, numOfBins, 1, names);
  statsList_init(&module->to, numOfBins, 1, names);
  statsList_append(&module->from, kAllFrom, kAddNoMemory);
  statsList_append(&module->to, kAllTo, kAddNoMemory);
}

void freeLists(FTPssTransfers* module) {
  statsList_free(&module->from);
  statsList_free(&module->to);
}

// A file named like the list's total ("All FROM Server") is counted once, under the total.
void countIn(statsCounterList_t* list, uint32_t bin, const char* file) {
  stats_countUnderTotal(list, file, bin, kAddNoMemory);
}

void count(FTPssTransfers* module, int32_t bin, const OB_FTPProtocol* protocol,
           const OB_FTPftranLink* transfer) {
  if (bin < 0 || static_cast<uint32_t>(bin) >= module->from.numOfBins ||
      module->from.head == nullptr)
    return;
  const uint32_t b = static_cast<uint32_t>(bin);
  if (transfer->source == protocol->serverIP) countIn(&module->from, b, transfer->file.c_str());
  if (transfer->destination == protocol->serverIP) countIn(&module->to, b, transfer->file.c_str());
}

// One list's entries; the fixed total entry stays first, the others sorted when asked.
statsBreakdown_t* listBreakdown(const statsCounterList_t* list, bool sorted, const char* who) {
  statsBreakdown_t* summary = stats_newBreakdown(list->count, who);
  stats_addList(summary, list, who);
  if (sorted && summary->count > 1) {
    std::stable_sort(summary->entries + 1, summary->entries + summary->count,
                     [](const statsNameTotal_t& a, const statsNameTotal_t& b) {
                       return a.total > b.total;
                     });
  }
  return summary;
}

FTPTransferBreakdown_t* breakdown(FTPssTransfers* module, bool sortTo, const char* who) {
  StatsWindowHold hold(module->window);
  auto* result =
      static_cast<FTPTransferBreakdown_t*>(stats_alloc(sizeof(FTPTransferBreakdown_t), who));
  result->from = listBreakdown(&module->from, true, who);
  result->to = listBreakdown(&module->to, sortTo, who);
  result->fromTotal = result->from->count > 0 ? result->from->entries[0].total : 0;
  result->toTotal = result->to->count > 0 ? result->to->entries[0].total : 0;
  return result;
}

statsSeries_t* series(FTPssTransfers* module, int32_t kind, const char* name, const char* who) {
  statsCounterList_t* list = kind == kFTPFromList ? &module->from
                             : kind == kFTPToList ? &module->to
                                                  : nullptr;
  if (list == nullptr) return nullptr;
  const char* wanted = name != nullptr ? name : "";
  StatsWindowHold hold(module->window);
  const statsCounter_t* entry = statsList_find(list, wanted);
  return stats_seriesOf(module->window, wanted, entry != nullptr ? entry->counts : nullptr,
                        list->numOfBins, who);
}

}  // namespace

void FTPssTrnsfrData_initAll(OB_IndexChanger* window, FTPssTrnsfrData* module,
                             uint32_t numOfBins) {
  OB_Log::debug("FTPssTrnsfrData_initAll()\n");
  // A file name counted for many servers and windows is kept once.
  initLists(window, module, numOfBins, StatsNames::kResourceHash);
}

void FTPssAbortsData_initAll(OB_IndexChanger* window, FTPssAbortsData* module,
                             uint32_t numOfBins) {
  OB_Log::debug("FTPssAbortsData_initAll()\n");
  initLists(window, module, numOfBins, StatsNames::kOwnCopy);
}

void FTPssTrnsfrData_freeAll(FTPssTrnsfrData* module) {
  OB_Log::debug("FTPssTrnsfrData_freeAll()\n");
  freeLists(module);
}

void FTPssAbortsData_freeAll(FTPssAbortsData* module) {
  OB_Log::debug("FTPssAbortsData_freeAll()\n");
  freeLists(module);
}

void FTPssTrnsfrData_procX(FTPssTrnsfrData* module, int32_t bin, const OB_FTPProtocol* protocol,
                           const OB_FTPftranLink* transfer) {
  if (transfer->completed != 0) count(module, bin, protocol, transfer);
}

void FTPssAbortsData_procX(FTPssAbortsData* module, int32_t bin, const OB_FTPProtocol* protocol,
                           const OB_FTPftranLink* transfer) {
  if (transfer->completed != 1) count(module, bin, protocol, transfer);
}

FTPTransferBreakdown_t* FTPssTrnsfrData_getBreakdown(FTPssTrnsfrData* module) {
  return breakdown(module, true, "FTPssTrnsfrData_getBreakdown: no memory");
}

FTPTransferBreakdown_t* FTPssAbortsData_getBreakdown(FTPssAbortsData* module) {
  return breakdown(module, false, "FTPssAbortsData_getBreakdown: no memory");
}

void FTPssTransfers_freeBreakdown(FTPTransferBreakdown_t* breakdown) {
  if (breakdown == nullptr) return;
  stats_freeBreakdown(breakdown->from);
  stats_freeBreakdown(breakdown->to);
  std::free(breakdown);
}

uint64_t FTPssTransfers_getTotal(FTPssTransfers* module) {
  StatsWindowHold hold(module->window);
  uint64_t total = 0;
  for (const statsCounterList_t* list : {&module->from, &module->to})
    if (list->head != nullptr) total += stats_sum(list->head->counts, list->numOfBins);
  return total;
}

statsSeries_t* FTPssTrnsfrData_getSeries(FTPssTrnsfrData* module, int32_t kind, const char* name) {
  return series(module, kind, name, "FTPssTrnsfrData_getSeries: Not enough memory");
}

statsSeries_t* FTPssAbortsData_getSeries(FTPssAbortsData* module, int32_t kind, const char* name) {
  return series(module, kind, name, "FTPssAbortsData_getSeries: Not enough memory");
}

statsSeries_t* FTPssTrnsfrData_getAllTransfers(FTPssTrnsfrData* module) {
  constexpr const char* kWho = "FTPssTrnsfrData_getAllTransfers: Not enough memory";
  StatsWindowHold hold(module->window);
  const uint32_t n = module->from.numOfBins;
  statsSeries_t* all = stats_newSeries(module->window, "All file transfers", n, kWho);
  if (module->from.head == nullptr || module->to.head == nullptr) return all;
  const uint32_t current = stats_currentBin(module->window, n);
  uint32_t* to = stats_newCounts(n, 0, kWho);
  stats_copyRing32(all->values, module->from.head->counts, n, current, 0);
  stats_copyRing32(to, module->to.head->counts, n, current, 0);
  for (uint32_t i = 0; i < n; ++i)
    all->values[i] = to[i] > UINT32_MAX - all->values[i] ? UINT32_MAX : all->values[i] + to[i];
  std::free(to);
  return all;
}

void FTPssTransfers_print(FILE* stream, FTPssTransfers* module) {
  FTPTransferBreakdown_t* lists = breakdown(module, false, "FTPssTransfers_print: no memory");
  fprintf(stream, "Transfer Breakdown\n------------------\nFrom:\n-----\n");
  stats_printEntries(stream, lists->from->entries, lists->from->count);
  fprintf(stream, "To:\n---\n");
  stats_printEntries(stream, lists->to->entries, lists->to->count);
  FTPssTransfers_freeBreakdown(lists);
}
