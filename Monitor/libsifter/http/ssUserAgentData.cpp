#include "http/ssUserAgentData.h"

#include <cstdlib>
#include <string_view>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "stats/StatsReply.h"
#include "stats/TrackedNames.h"

namespace {
constexpr const char* kAddCounter = "addCounter: Not enough memory";
}  // namespace

void ssUserAgentData_initAll(OB_IndexChanger* window, ssUserAgentData* module,
                             uint32_t numOfBins) {
  OB_Log::debug("ssUserAgentData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->transactions = stats_newCounts(numOfBins, 0, "ssUserAgentData_initAll: not enough memory");
  statsBuckets_init(&module->agents, numOfBins);
}

void ssUserAgentData_freeAll(ssUserAgentData* module) {
  OB_Log::debug("ssUserAgentData_freeAll()\n");
  std::free(module->transactions);
  module->transactions = nullptr;
  statsBuckets_free(&module->agents);
}

void ssUserAgentData_procX(ssUserAgentData* module, const httpNetInfo_t* info,
                           OB_HTTPProtocol* /*protocol*/, const OB_HTTPXact* xact) {
  const int b = info->windowIndex;
  if (b < 0 || static_cast<uint32_t>(b) >= module->numOfBins) return;
  stats_bump(&module->transactions[b]);
  const std::string_view name(xact->req_user_agent.c_str(), xact->req_user_agent.length());
  statsCounter_t* entry = statsBuckets_find(&module->agents, name);
  if (entry == nullptr) {
    // Past the bound of tracked names a new agent counts in the transactions only.
    if (!trackedNames_admit()) return;
    entry = statsBuckets_append(&module->agents, name, kAddCounter);
  }
  stats_bump(&entry->counts[b]);
}

statsBreakdown_t* ssUserAgentData_getBreakdownSummary(ssUserAgentData* module, int n,
                                                      const char* filter) {
  constexpr const char* kWho = "ssUserAgentData_getBreakdownSummary: not enough memory";
  StatsWindowHold hold(module->window);
  StatsTopN select(n, filter, module->numOfBins);
  select.offerList(&module->agents);
  statsBreakdown_t* summary = stats_breakdownOfTopN(select.finish(kWho), kWho);
  summary->numHeader = 1;
  summary->header[0] = stats_sum(module->transactions, module->numOfBins);
  return summary;
}

statsSeries_t* ssUserAgentData_getSeries(ssUserAgentData* module, const char* name) {
  return stats_seriesOfName(module->window, &module->agents, name,
                            "ssUserAgentData_getSeries: Not enough memory");
}

void ssUserAgentData_print(FILE* stream, ssUserAgentData* module) {
  StatsBreakdownHold summary(ssUserAgentData_getBreakdownSummary(module, 10, ""));
  fprintf(stream, "User Agent Breakdown Summary\n----------------------------\n");
  fprintf(stream, "allXCount = %llu\n", static_cast<unsigned long long>(summary->header[0]));
  fprintf(stream, "numOfUserAgents = %zu\n", module->agents.count);
  stats_printEntries(stream, summary->entries, summary->count);
}

int hcommand_HTTPServerUserAgentBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                          OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerUserAgentBreakdown";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int16_t n = 0;
  char filter[kStatsLineSize];
  if (set == nullptr || stats_readTopN(socket, &n, filter, sizeof filter) != 0)
    return stats_fail(kHandler);
  StatsBreakdownHold summary(ssUserAgentData_getBreakdownSummary(&set->userAgentData, n, filter));
  if (writeJ_UInt32(socket, static_cast<uint32_t>(static_cast<int32_t>(n))) != 0 ||
      stats_writeName(socket, filter) != 0 || stats_writeBreakdown(socket, summary.get()) != 0)
    return stats_fail(kHandler);
  return 0;
}

int hcommand_HTTPServerUserAgentSeries(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerUserAgentSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  char name[kStatsLineSize];
  if (set == nullptr || stats_readLine(socket, name, sizeof name) != 0)
    return stats_fail(kHandler);
  return stats_reply(socket, ssUserAgentData_getSeries(&set->userAgentData, name), kHandler);
}
