#include "http/ssErrorData.h"

#include <string_view>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "stats/StatsReply.h"

namespace {
constexpr const char* kAddCounter = "addErrorCounter: Not enough memory";
// What ends the path of a requested resource: query, parameters, fragment, blank.
constexpr const char* kPathEnd = "?;# ";
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

int ssErrorData_isError(const char* status) {
  if (status[0] == '4' || status[0] == '5') return 1;
  if (status[0] == '2' && status[1] == '0' && status[2] >= '0' && status[2] <= '3') return 0;
  if (status[0] == '3' && status[1] == '0' && status[2] == '4') return 0;
  return 1;
}

void ssErrorData_procX(ssErrorData* module, const httpNetInfo_t* info, OB_HTTPProtocol* /*protocol*/,
                       const OB_HTTPXact* xact) {
  const int b = info->windowIndex;
  if (b < 0 || static_cast<uint32_t>(b) >= module->numOfBins) return;
  const char* status = xact->res_status_code.c_str();
  if (status[0] == '\0' || ssErrorData_isError(status) == 0) return;
  stats_bump(&module->types.head->counts[b]);
  stats_bump(&statsList_findOrAppend(&module->types,
                                     std::string_view(status, xact->res_status_code.length()),
                                     kAddCounter)
                  ->counts[b]);
  const std::string_view path = stats_firstToken(
      std::string_view(xact->req_request_uri.c_str(), xact->req_request_uri.length()), kPathEnd);
  // Past the bound of tracked names a new failing resource counts in the error totals only.
  if (statsCounter_t* entry = statsList_findOrTrack(&module->resources, path, kAddCounter);
      entry != nullptr)
    stats_bump(&entry->counts[b]);
}

statsBreakdown_t* ssErrorData_getErrorBreakdownSummary(ssErrorData* module) {
  constexpr const char* kWho = "ssErrorData_getErrorBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  statsBreakdown_t* summary = stats_newBreakdown(module->types.count, kWho);
  stats_addList(summary, &module->types, kWho);
  stats_sortBreakdown(summary);
  return summary;
}

statsTopN_t* ssErrorData_getErrorResourceTopN(ssErrorData* module, int n, const char* filter) {
  StatsWindowHold hold(module->window);
  StatsTopN select(n, filter, module->numOfBins);
  select.offerList(&module->resources);
  return select.finish("ssErrorData_getErrorResourceTopN: no memory");
}

statsSeries_t* ssErrorData_getTypeSeries(ssErrorData* module, const char* name) {
  return stats_seriesOfName(module->window, &module->types, name,
                            "ssErrorData_getTypeSeries: no memory");
}

statsSeries_t* ssErrorData_getResourceSeries(ssErrorData* module, const char* name) {
  return stats_seriesOfName(module->window, &module->resources, name,
                            "ssErrorData_getResourceSeries: no memory");
}

void ssErrorData_printTypes(FILE* stream, ssErrorData* module) {
  StatsBreakdownHold summary(ssErrorData_getErrorBreakdownSummary(module));
  stats_printBreakdown(stream, "Error Breakdown Summary", nullptr, summary.get());
}

void ssErrorData_printResources(FILE* stream, ssErrorData* module) {
  StatsTopNHold top(ssErrorData_getErrorResourceTopN(module, 10, ""));
  fprintf(stream, "Error Resource Breakdown Summary\n--------------------------------\n");
  stats_printEntries(stream, top->entries, top->count);
}

int hcommand_HTTPServerErrorTypeBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                          OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerErrorTypeBreakdown";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kHandler);
  return stats_reply(socket, ssErrorData_getErrorBreakdownSummary(&set->errorData), kHandler);
}

int hcommand_HTTPServerErrorResourceBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                              OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerErrorResourceBreakdown";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int16_t n = 0;
  char filter[kStatsLineSize];
  if (set == nullptr || stats_readTopN(socket, &n, filter, sizeof filter) != 0)
    return stats_fail(kHandler);
  return stats_reply(socket, ssErrorData_getErrorResourceTopN(&set->errorData, n, filter),
                     kHandler);
}

int hcommand_HTTPServerErrorSeries(OB_HTTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerErrorSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int32_t kind = 0;
  char name[kStatsLineSize];
  if (set == nullptr || readJ_SInt32(socket, &kind) != 0 ||
      stats_readLine(socket, name, sizeof name) != 0)
    return stats_fail(kHandler);
  return stats_reply(socket,
                     kind != 0 ? ssErrorData_getResourceSeries(&set->errorData, name)
                               : ssErrorData_getTypeSeries(&set->errorData, name),
                     kHandler);
}
