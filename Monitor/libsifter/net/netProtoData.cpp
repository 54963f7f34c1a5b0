#include "net/netProtoData.h"

#include <cinttypes>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "OB_Log.h"
#include "net/OB_ProtoCountList.h"
#include "net/netstats.h"
#include "stats/ListTail.h"
#include "stats/StatsModule.h"

struct netProtoIndex {
  std::unordered_map<uint16_t, netProtoEntry_t*> map;
};

namespace {

constexpr const char* kEntryNoMemory = "createProtoCountSeries: no memory";
constexpr const char* kBreakdownNoMemory = "netProtoData_getBreakdown: not enough memory";
constexpr const char* kSeriesNoMemory = "netProtoData_getSeries: not enough memory";
constexpr uint16_t kMaxProtos = 0xFFFF;
// Below this many entries a walk is as quick as a hash and costs no memory.
constexpr uint16_t kIndexFrom = 16;

netProtoEntry_t* append(netProtoData* module, uint16_t psid, uint16_t ppsid) {
  auto* entry = static_cast<netProtoEntry_t*>(stats_alloc(sizeof(netProtoEntry_t), kEntryNoMemory));
  entry->psid = psid;
  entry->ppsid = ppsid;
  entry->packs = netstats_newCounts(module->numOfBins, kEntryNoMemory);
  entry->bytes = netstats_newCounts(module->numOfBins, kEntryNoMemory);
  entry->next = nullptr;
  stats_linkAtTail(&module->head, &module->tail, entry);
  ++module->numOfProtos;

  if (module->index == nullptr && module->numOfProtos >= kIndexFrom) {
    module->index = new netProtoIndex;
    for (netProtoEntry_t* e = module->head; e != nullptr; e = e->next)
      module->index->map.emplace(e->psid, e);
  } else if (module->index != nullptr) {
    module->index->map.emplace(psid, entry);
  }
  return entry;
}

}  // namespace

void netProtoData_init(OB_IndexChanger* window, netProtoData* module, uint32_t numOfBins) {
  OB_Log::debug("netProtoData_init()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->numOfProtos = 0;
  module->head = nullptr;
  module->tail = nullptr;
  module->index = nullptr;
}

void netProtoData_free(netProtoData* module) {
  OB_Log::debug("netProtoData_free()\n");
  while (module->head != nullptr) {
    netProtoEntry_t* entry = module->head;
    module->head = entry->next;
    std::free(entry->packs);
    std::free(entry->bytes);
    std::free(entry);
  }
  delete module->index;
  module->index = nullptr;
  module->tail = nullptr;
  module->numOfProtos = 0;
}

netProtoEntry_t* netProtoData_find(netProtoData* module, uint16_t psid) {
  if (module->index != nullptr) {
    auto found = module->index->map.find(psid);
    return found != module->index->map.end() ? found->second : nullptr;
  }
  for (netProtoEntry_t* entry = module->head; entry != nullptr; entry = entry->next)
    if (entry->psid == psid) return entry;
  return nullptr;
}

void netProtoData_proc(netProtoData* module, int bin, const OB_ProtoCountList* counts) {
  if (counts == nullptr || bin < 0 || static_cast<uint32_t>(bin) >= module->numOfBins) return;
  for (const OB_ProtoCount* count = counts->first(); count != nullptr; count = count->next) {
    netProtoEntry_t* entry = netProtoData_find(module, count->psid);
    if (entry == nullptr) {
      if (module->numOfProtos >= kMaxProtos) continue;
      entry = append(module, count->psid, count->ppsid);
    }
    entry->packs[bin] += count->packs;
    entry->bytes[bin] += count->bytes;
  }
}

netProtoBreakdown_t* netProtoData_getBreakdown(netProtoData* module) {
  StatsWindowHold hold(module->window);
  auto* breakdown = static_cast<netProtoBreakdown_t*>(
      stats_alloc(sizeof(netProtoBreakdown_t), kBreakdownNoMemory));
  breakdown->count = module->numOfProtos;
  breakdown->entries = static_cast<netProtoCount_t*>(
      stats_alloc(sizeof(netProtoCount_t) * module->numOfProtos, kBreakdownNoMemory));
  uint16_t i = 0;
  for (netProtoEntry_t* entry = module->head; entry != nullptr && i < breakdown->count;
       entry = entry->next, ++i) {
    breakdown->entries[i] = netProtoCount_t{entry->psid, entry->ppsid,
                                            netstats_sum(entry->packs, module->numOfBins),
                                            netstats_sum(entry->bytes, module->numOfBins)};
  }
  return breakdown;
}

void netProtoData_freeBreakdown(netProtoBreakdown_t* breakdown) {
  if (breakdown == nullptr) return;
  std::free(breakdown->entries);
  std::free(breakdown);
}

netProtoSeries_t* netProtoData_getSeries(netProtoData* module, uint16_t psid) {
  StatsWindowHold hold(module->window);
  auto* series =
      static_cast<netProtoSeries_t*>(stats_alloc(sizeof(netProtoSeries_t), kSeriesNoMemory));
  netstats_bounds(module->window, &series->nowTime, &series->agoTime);
  series->numOfBins = module->numOfBins;
  const netProtoEntry_t* entry = netProtoData_find(module, psid);
  const uint32_t n = module->numOfBins;
  series->packs = netstats_timeOrder(module->window, entry != nullptr ? entry->packs : nullptr, n,
                                     kSeriesNoMemory);
  series->bytes = netstats_timeOrder(module->window, entry != nullptr ? entry->bytes : nullptr, n,
                                     kSeriesNoMemory);
  return series;
}

void netProtoData_freeSeries(netProtoSeries_t* series) {
  if (series == nullptr) return;
  std::free(series->packs);
  std::free(series->bytes);
  std::free(series);
}

void netProtoData_print(FILE* stream, netProtoData* module) {
  StatsWindowHold hold(module->window);
  fprintf(stream, "  Protocol Breakdown Summary\n");
  fprintf(stream, "  -----------------------------\n");
  fprintf(stream, "   numOfProtos = %d\n", module->numOfProtos);

  // Children of each id in list order, then a depth-first walk on an explicit stack: a file's
  // parent ids may chain deeper than the call stack could follow.
  std::unordered_map<uint16_t, std::vector<netProtoEntry_t*>> children;
  for (netProtoEntry_t* entry = module->head; entry != nullptr; entry = entry->next)
    children[entry->ppsid].push_back(entry);
  std::unordered_set<const netProtoEntry_t*> printed;
  std::vector<std::pair<netProtoEntry_t*, size_t>> stack;  // entry, depth
  const uint32_t n = module->numOfBins;
  for (netProtoEntry_t* root = module->head; root != nullptr; root = root->next) {
    if (root->psid != 1 && root->psid != 2) continue;
    stack.emplace_back(root, 0);
    while (!stack.empty()) {
      auto [entry, depth] = stack.back();
      stack.pop_back();
      if (!printed.insert(entry).second) continue;
      fprintf(stream, "%d\t%s>  %" PRId64 "  %" PRId64 "\n", entry->psid,
              std::string(depth, '-').c_str(), netstats_sum(entry->packs, n),
              netstats_sum(entry->bytes, n));
      auto below = children.find(entry->psid);
      if (below == children.end()) continue;
      for (auto child = below->second.rbegin(); child != below->second.rend(); ++child)
        if (printed.count(*child) == 0) stack.emplace_back(*child, depth + 1);
    }
  }
}
