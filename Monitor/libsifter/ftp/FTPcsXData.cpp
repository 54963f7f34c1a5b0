#include "ftp/FTPcsXData.h"

#include <strings.h>

#include <cstring>
#include <unordered_map>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "console/OB_AEngineTCPRequest.h"
#include "ftp/OB_FTPAnalysisStats.h"
#include "ftp/OB_FTPProtocol.h"
#include "stats/AnalysisHash.h"
#include "stats/StatsReply.h"

struct FTPServersSeenIndex {
  std::unordered_map<uint32_t, statsCounter_t*> byAddress;
};

namespace {

constexpr const char* kAddNoMemory = "addServersSeenCounter: Not enough memory";

bool inRange(int32_t bin, uint32_t numOfBins) {
  return bin >= 0 && static_cast<uint32_t>(bin) < numOfBins;
}

// The group the request names, or null.
FTPNetworkGroup_t* selectGroup(OB_FTPAnalysisStats* stats, const OB_AEngineTCPRequest* request) {
  if (stats == nullptr || request == nullptr || request->itemIndex < 0 ||
      request->itemIndex >= stats->numNetGroups || stats->netGroups == nullptr)
    return nullptr;
  return &stats->netGroups[request->itemIndex];
}

}  // namespace

void FTPcsXData_initAll(OB_IndexChanger* window, FTPcsXData* module, uint32_t numOfBins) {
  OB_Log::debug("FTPcsXData_initAll()\n");
  csXData_initCounts(window, module, numOfBins, "FTPcsXData_initAll: not enough memory");
}

void FTPcsXData_freeAll(FTPcsXData* module) {
  OB_Log::debug("FTPcsXData_freeAll()\n");
  csXData_freeCounts(module);
}

void FTPcsXData_procX(FTPcsXData* module, int32_t bin, int clientIn, int serverIn) {
  if (inRange(bin, module->numOfBins)) csXData_count(module, bin, clientIn, serverIn);
}

void FTPcsXData_print(FILE* stream, FTPcsXData* module) {
  uint64_t sums[3];
  FTPcsXData_getBreakdown(sums, module);
  fprintf(stream, "FTP X Breakdown Summary\n-----------------------\n");
  fprintf(stream, "all      = %llu\nout2in   = %llu\nin2in    = %llu\n",
          static_cast<unsigned long long>(sums[0]), static_cast<unsigned long long>(sums[1]),
          static_cast<unsigned long long>(sums[2]));
}

void FTPcsServersSeenData_initAll(OB_IndexChanger* window, FTPcsServersSeenData* module,
                                  uint32_t numOfBins) {
  OB_Log::debug("FTPcsServersSeenData_initAll()\n");
  module->window = window;
  statsList_init(&module->servers, numOfBins, 1, StatsNames::kOwnCopy);
  module->index = new FTPServersSeenIndex();
  if (module->index == nullptr) OB_Log::quit("%s", kAddNoMemory);
  statsList_append(&module->servers, "All Server Hits", kAddNoMemory);
}

void FTPcsServersSeenData_freeAll(FTPcsServersSeenData* module) {
  OB_Log::debug("FTPcsServersSeenData_freeAll()\n");
  statsList_free(&module->servers);
  delete module->index;
  module->index = nullptr;
}

void FTPcsServersSeenData_procX(FTPcsServersSeenData* module, int32_t bin,
                                const OB_FTPProtocol* protocol,
                                const OB_FTPftranLink* /*transfer*/) {
  if (!inRange(bin, module->servers.numOfBins) || module->servers.head == nullptr) return;
  stats_bump(&module->servers.head->counts[bin]);
  const uint32_t address = protocol->serverIP;
  statsCounter_t*& entry = module->index->byAddress[address];
  if (entry == nullptr) {
    // Named once, by the first look-up; the cache spares a reverse look-up that would stall
    // the capture engine's consumer for every new group and window.
    char dotted[16];
    const char* name = AnalysisHash_getDomainName(address);
    const char* text = name != nullptr ? name : OB_Tools::IPAddressString(address, dotted);
    // A server named like the total, in any case, is counted once, under the total, as the
    // HTTP list does.
    entry = strcasecmp(text, module->servers.head->name) == 0
                ? module->servers.head
                : statsList_append(&module->servers, text, kAddNoMemory);
  }
  if (entry != module->servers.head) stats_bump(&entry->counts[bin]);
}

statsBreakdown_t* FTPcsServersSeenData_getServersSeenBreakdownSummary(
    FTPcsServersSeenData* module) {
  constexpr const char* kWho = "FTPcsServersSeenData_getServersSeenBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  statsBreakdown_t* summary = stats_newBreakdown(module->servers.count, kWho);
  stats_addList(summary, &module->servers, kWho);
  return summary;
}

statsSeries_t* FTPcsServersSeenData_getSeries(FTPcsServersSeenData* module, const char* name) {
  const char* wanted = name != nullptr ? name : "";
  StatsWindowHold hold(module->window);
  const statsCounter_t* entry = statsList_find(&module->servers, wanted);
  return stats_seriesOf(module->window, wanted, entry != nullptr ? entry->counts : nullptr,
                        module->servers.numOfBins, "FTPcsServersSeenData_getSeries: no memory");
}

void FTPcsServersSeenData_print(FILE* stream, FTPcsServersSeenData* module) {
  StatsBreakdownHold summary(FTPcsServersSeenData_getServersSeenBreakdownSummary(module));
  stats_printBreakdown(stream, "Servers Seen Breakdown Summary", nullptr, summary.get());
}

int hcommand_FTPClientXBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                 OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPClientXBreakdown";
  FTPNetworkGroup_t* group = selectGroup(stats, request);
  if (group == nullptr || csXData_writeBreakdown(socket, &group->xData) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_FTPClientXSeries(OB_FTPAnalysisStats* stats, int socket,
                              OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPClientXSeries";
  FTPNetworkGroup_t* group = selectGroup(stats, request);
  int32_t type = 0;
  if (group == nullptr || readJ_SInt32(socket, &type) != 0 ||
      csXData_writeXSeries(socket, &group->xData, type) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_FTPClientServersSeenBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                           OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPClientServersSeenBreakdown";
  FTPNetworkGroup_t* group = selectGroup(stats, request);
  if (group == nullptr) return stats_fail(kName);
  StatsBreakdownHold summary(
      FTPcsServersSeenData_getServersSeenBreakdownSummary(&group->serversSeenData));
  if (stats_writeBreakdown(socket, summary.get()) != 0) return stats_fail(kName);
  return 0;
}

int hcommand_FTPClientServersSeenSeries(OB_FTPAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPClientServersSeenSeries";
  FTPNetworkGroup_t* group = selectGroup(stats, request);
  char name[kStatsLineSize];
  if (group == nullptr || stats_readLine(socket, name, sizeof name) != 0) return stats_fail(kName);
  StatsSeriesHold series(FTPcsServersSeenData_getSeries(&group->serversSeenData, name));
  if (stats_writeSeries(socket, series.get()) != 0) return stats_fail(kName);
  return 0;
}
