#include "stats/csXData.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPNetworkGroup.h"
#include "http/OB_HTTPProtocol.h"
#include "stats/AnalysisHash.h"
#include "stats/StatsReply.h"

struct ServersSeenIndex {
  std::unordered_map<uint32_t, csServerEntry*> byAddress;
};

namespace {

constexpr const char* kAllServers = "All Server Hits";

bool inWindow(const httpNetInfo_t* info, uint32_t numOfBins) {
  return info != nullptr && info->windowIndex >= 0 &&
         static_cast<uint32_t>(info->windowIndex) < numOfBins;
}

csServerEntry* addServer(csServersSeenData* module, uint32_t address, const char* name) {
  auto* entry = static_cast<csServerEntry*>(
      stats_alloc(sizeof(csServerEntry), "addServersSeenCounter: Not enough memory"));
  entry->name = name != nullptr ? name : "";
  entry->address = address;
  entry->counts = stats_newCounts(module->numOfBins, 0, "addServersSeenCounter: Not enough memory");
  entry->next = nullptr;
  if (module->tail != nullptr) {
    module->tail->next = entry;
  } else {
    module->head = entry;
  }
  module->tail = entry;
  ++module->count;
  return entry;
}

// The group the request names, or null.
OB_HTTPNetworkGroup* selectGroup(OB_HTTPAnalysisStats* stats, const OB_AEngineTCPRequest* request) {
  if (stats == nullptr || request == nullptr || request->itemIndex < 0 ||
      request->itemIndex >= stats->numNetGroups || stats->netGroups == nullptr)
    return nullptr;
  OB_HTTPNetworkGroup* group = stats->netGroups[request->itemIndex];
  return group != nullptr && group->xData != nullptr && group->serversSeenData != nullptr ? group
                                                                                          : nullptr;
}

}  // namespace

void csXData_initCounts(OB_IndexChanger* window, csXData* module, uint32_t numOfBins,
                        const char* who) {
  module->window = window;
  module->numOfBins = numOfBins;
  module->all = stats_newCounts(numOfBins, 0, who);
  module->out2in = stats_newCounts(numOfBins, 0, who);
  module->in2in = stats_newCounts(numOfBins, 0, who);
}

void csXData_freeCounts(csXData* module) {
  free(module->all);
  free(module->out2in);
  free(module->in2in);
  module->all = module->out2in = module->in2in = nullptr;
}

void csXData_count(csXData* module, int32_t bin, int clientIn, int serverIn) {
  stats_bump(&module->all[bin]);
  if (serverIn != 0) stats_bump(clientIn != 0 ? &module->in2in[bin] : &module->out2in[bin]);
}

int csXData_writeBreakdown(int socket, csXData* module) {
  uint64_t sums[3];
  csXData_getBreakdown(sums, module);
  for (uint64_t sum : sums)
    if (stats_writeCount(socket, sum) != 0) return -1;
  return 0;
}

int csXData_writeXSeries(int socket, csXData* module, int32_t type) {
  StatsSeriesHold series(csXData_getXHitSeries(module, type));
  // An unknown kind is the console's mistake: the request fails, the engine goes on.
  if (series == nullptr) return -1;
  if (writeJ_SInt32(socket, type) != 0 || writeJ_SInt32(socket, series->nowTime) != 0 ||
      writeJ_SInt32(socket, series->agoTime) != 0 ||
      writeJ_UInt32(socket, series->numOfBins) != 0 ||
      stats_writeValues(socket, series->values, series->numOfBins) != 0)
    return -1;
  return 0;
}

void csXData_initAll(OB_IndexChanger* window, csXData* module, uint32_t numOfBins) {
  OB_Log::debug("csXData_initAll()\n");
  csXData_initCounts(window, module, numOfBins, "csXData_initAll: not enough memory");
}

void csXData_freeAll(csXData* module) {
  OB_Log::debug("csXData_freeAll()\n");
  csXData_freeCounts(module);
}

void csXData_procX(csXData* module, const httpNetInfo_t* info, int clientIn, int serverIn) {
  if (inWindow(info, module->numOfBins))
    csXData_count(module, info->windowIndex, clientIn, serverIn);
}

void csXData_getBreakdown(uint64_t result[3], csXData* module) {
  StatsWindowHold hold(module->window);
  result[0] = stats_sum(module->all, module->numOfBins);
  result[1] = stats_sum(module->out2in, module->numOfBins);
  result[2] = stats_sum(module->in2in, module->numOfBins);
}

statsSeries_t* csXData_getXHitSeries(csXData* module, int32_t type) {
  const uint32_t* counts = type == kXAll      ? module->all
                           : type == kXOut2In ? module->out2in
                           : type == kXIn2In  ? module->in2in
                                              : nullptr;
  if (counts == nullptr) return nullptr;
  return stats_seriesOf(module->window, std::to_string(type), counts, module->numOfBins,
                        "csXData_getXHitSeries: no memory");
}

void csServersSeenData_initAll(OB_IndexChanger* window, csServersSeenData* module,
                               uint32_t numOfBins) {
  OB_Log::debug("csServersSeenData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->count = 0;
  module->head = module->tail = nullptr;
  module->index = new ServersSeenIndex();
  if (module->index == nullptr) OB_Log::quit("addServersSeenCounter: Not enough memory");
  // Address 0 stands for every server: the cache keeps that name for it (or its own, when it
  // already had an entry for 0).
  const char* name = AnalysisHash_getDomainName(0, kAllServers);
  addServer(module, 0, name != nullptr ? name : kAllServers);
}

void csServersSeenData_freeAll(csServersSeenData* module) {
  OB_Log::debug("csServersSeenData_freeAll()\n");
  for (csServerEntry* entry = module->head; entry != nullptr;) {
    csServerEntry* next = entry->next;
    free(entry->counts);
    free(entry);
    entry = next;
  }
  delete module->index;
  module->index = nullptr;
  module->head = module->tail = nullptr;
  module->count = 0;
}

void csServersSeenData_procX(csServersSeenData* module, const httpNetInfo_t* info,
                             const OB_HTTPProtocol* protocol) {
  if (!inWindow(info, module->numOfBins) || protocol == nullptr || module->head == nullptr) return;
  const int bin = info->windowIndex;
  stats_bump(&module->head->counts[bin]);
  const uint32_t address = protocol->serverIP;
  csServerEntry*& entry = module->index->byAddress[address];
  if (entry == nullptr) {
    // Only an address the cache does not know is resolved: a reverse look-up stalls the reader
    // and the capture engine's consumer waiting on it.
    char dotted[16];
    const char* name = AnalysisHash_getDomainName(address);
    if (name != nullptr && strcasecmp(name, module->head->name) == 0) {
      // A server whose name is the total's (a reverse zone may answer any text; a host name's
      // case carries no meaning) is counted once, under the total, not in a second row.
      entry = module->head;
    } else {
      entry = addServer(module, address,
                        name != nullptr ? name : OB_Tools::IPAddressString(address, dotted));
      if (name == nullptr) {
        // No cache: the entry needs a text that outlives this call.
        entry->name = AnalysisHash_internName(getResourceHash(), dotted);
        if (entry->name == nullptr) entry->name = "";
      }
    }
  }
  if (entry != module->head) stats_bump(&entry->counts[bin]);
}

statsBreakdown_t* csServersSeenData_getServersSeenBreakdownSummary(csServersSeenData* module) {
  constexpr const char* kWho = "csServersSeenData_getServersSeenBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  statsBreakdown_t* summary = stats_newBreakdown(module->count, kWho);
  for (csServerEntry* entry = module->head; entry != nullptr; entry = entry->next)
    stats_addEntry(summary, entry->name, stats_sum(entry->counts, module->numOfBins), kWho);
  return summary;
}

statsSeries_t* csServersSeenData_getSeries(csServersSeenData* module, const char* name) {
  const char* wanted = name != nullptr ? name : "";
  const uint32_t* counts = nullptr;
  for (csServerEntry* entry = module->head; entry != nullptr && counts == nullptr; entry = entry->next)
    if (strcmp(entry->name, wanted) == 0) counts = entry->counts;
  return stats_seriesOf(module->window, wanted, counts, module->numOfBins,
                        "csServersSeenData_getSeries: no memory");
}

void csServersSeenData_print(FILE* stream, csServersSeenData* module) {
  StatsBreakdownHold summary(csServersSeenData_getServersSeenBreakdownSummary(module));
  stats_printBreakdown(stream, "Servers Seen Breakdown Summary", nullptr, summary.get());
}

int hcommand_HTTPClientXBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                  OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_HTTPClientXBreakdown";
  OB_HTTPNetworkGroup* group = selectGroup(stats, request);
  if (group == nullptr || csXData_writeBreakdown(socket, group->xData) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_HTTPClientXSeries(OB_HTTPAnalysisStats* stats, int socket,
                               OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_HTTPClientXSeries";
  OB_HTTPNetworkGroup* group = selectGroup(stats, request);
  int32_t type = 0;
  if (group == nullptr || readJ_SInt32(socket, &type) != 0 ||
      csXData_writeXSeries(socket, group->xData, type) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_HTTPClientServersSeenBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                            OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_HTTPClientServersSeenBreakdown";
  OB_HTTPNetworkGroup* group = selectGroup(stats, request);
  if (group == nullptr) return stats_fail(kName);
  StatsBreakdownHold summary(csServersSeenData_getServersSeenBreakdownSummary(group->serversSeenData));
  if (stats_writeBreakdown(socket, summary.get()) != 0) return stats_fail(kName);
  return 0;
}

int hcommand_HTTPClientServersSeenSeries(OB_HTTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_HTTPClientServersSeenSeries";
  OB_HTTPNetworkGroup* group = selectGroup(stats, request);
  char name[kStatsLineSize];
  if (group == nullptr || stats_readLine(socket, name, sizeof name) != 0) return stats_fail(kName);
  StatsSeriesHold series(csServersSeenData_getSeries(group->serversSeenData, name));
  if (stats_writeSeries(socket, series.get()) != 0) return stats_fail(kName);
  return 0;
}
