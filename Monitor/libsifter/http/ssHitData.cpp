#include "http/ssHitData.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "stats/StatsReply.h"

bool ssHitData_isEntryPoint(const OB_HTTPXact* xact) {
  return OB_Tools::isEntryPointIgnoringCase(xact->req_host.c_str(), xact->req_referer.c_str(),
                                            xact->res_content_type.c_str()) != 0;
}

namespace {

constexpr const char* kAddCounter = "addCounter: Not enough memory";
constexpr const char* kAllHits = "All Hits";
constexpr const char* kPage = "text/html";


// Counts a content type in bin b under the list's total entry and its own (null: the type was
// named like the total and counted once, under it).
statsCounter_t* countType(statsCounterList_t* list, const char* type, size_t length, int b) {
  return stats_countUnderTotal(list, std::string_view(type, length), static_cast<uint32_t>(b),
                               kAddCounter);
}

statsBreakdown_t* listBreakdown(const statsCounterList_t* list, const char* who) {
  statsBreakdown_t* summary = stats_newBreakdown(list->count, who);
  stats_addList(summary, list, who);
  stats_sortBreakdown(summary);
  return summary;
}

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

void ssHitData_procX(ssHitData* module, const httpNetInfo_t* info, OB_HTTPProtocol* /*protocol*/,
                     const OB_HTTPXact* xact) {
  const int b = info->windowIndex;
  const uint32_t n = module->numOfBins;
  if (b < 0 || static_cast<uint32_t>(b) >= n) return;
  stats_bump(&module->hits[b]);
  if (!xact->req_method.empty()) {
    statsCounter_t* method = statsList_findOrAppend(
        &module->methods, std::string_view(xact->req_method.c_str(), xact->req_method.length()),
        kAddCounter);
    stats_bump(&method->counts[b]);
  }
  if (!xact->res_content_type.empty()) {
    statsCounter_t* type = countType(&module->from, xact->res_content_type.c_str(),
                                     xact->res_content_type.length(), b);
    if (type != nullptr &&
        (info->facts != nullptr ? info->facts->entryPoint != 0 : ssHitData_isEntryPoint(xact)))
      stats_bump(&type->counts[n + b]);
  }
  if (!xact->req_content_type.empty())
    countType(&module->to, xact->req_content_type.c_str(), xact->req_content_type.length(), b);
}

statsBreakdown_t* ssHitData_getMethodBreakdownSummary(ssHitData* module) {
  constexpr const char* kWho = "ssHitData_getMethodBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  statsBreakdown_t* summary = stats_newBreakdown(module->methods.count + 1, kWho);
  stats_addEntry(summary, kAllHits, stats_sum(module->hits, module->numOfBins), kWho);
  stats_addList(summary, &module->methods, kWho);
  stats_sortBreakdown(summary);
  return summary;
}

statsSeries_t* ssHitData_getMethodHitSeries(ssHitData* module, const char* name) {
  constexpr const char* kWho = "ssHitData_getMethodHitSeries: No memory";
  StatsWindowHold hold(module->window);
  const uint32_t* counts = nullptr;
  if (std::strcmp(name, kAllHits) == 0) {
    counts = module->hits;
  } else if (statsCounter_t* method = statsList_find(&module->methods, name); method != nullptr) {
    counts = method->counts;
  }
  return stats_seriesOf(module->window, name, counts, module->numOfBins, kWho);
}

void ssHitData_getMIMEBreakdownSummary(ssHitData* module, statsBreakdown_t** from,
                                       statsBreakdown_t** to) {
  constexpr const char* kWho = "ssHitData_getMIMEBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  *from = listBreakdown(&module->from, kWho);
  *to = listBreakdown(&module->to, kWho);
}

statsSeries_t* ssHitData_getMIMEHitSeries(ssHitData* module, int32_t kind, const char* name) {
  return stats_seriesOfName(module->window, kind < 1 ? &module->from : &module->to, name,
                            "ssHitData_getMIMEHitSeries: Not enough memory");
}

statsSeries_t* ssHitData_getMIMEEntryPointSeries(ssHitData* module, const char* name) {
  StatsWindowHold hold(module->window);
  statsCounter_t* type = statsList_find(&module->from, name);
  return stats_seriesOf(module->window, std::string("Entry point counts for ") + name,
                        type != nullptr ? type->counts + module->numOfBins : nullptr,
                        module->numOfBins, "ssHitData_getMIMEEntryPointSeries: Not enough memory");
}

statsSeries_t* ssHitData_getPagesPerEntrySeries(ssHitData* module) {
  constexpr const char* kWho = "ssHitData_getPagesPerEntrySeries: Not enough memory";
  StatsWindowHold hold(module->window);
  const uint32_t n = module->numOfBins;
  uint32_t* ratio = stats_newCounts(n, 0, kWho);
  if (statsCounter_t* page = statsList_find(&module->from, kPage); page != nullptr) {
    for (uint32_t b = 0; b < n; ++b)
      ratio[b] = static_cast<uint32_t>(stats_ceilQuotient(page->counts[b], page->counts[n + b]));
  }
  statsSeries_t* series = stats_seriesOf(module->window, "Pages Per Entry", ratio, n, kWho);
  std::free(ratio);
  return series;
}

void ssHitData_printMethodBreakdown(FILE* stream, ssHitData* module) {
  StatsBreakdownHold summary(ssHitData_getMethodBreakdownSummary(module));
  stats_printBreakdown(stream, "Method Breakdown Summary", nullptr, summary.get());
}

void ssHitData_printMIMEBreakdown(FILE* stream, ssHitData* module) {
  statsBreakdown_t *from, *to;
  ssHitData_getMIMEBreakdownSummary(module, &from, &to);
  StatsBreakdownHold fromHold(from), toHold(to);
  fprintf(stream, "MIME Breakdown Summary\n----------------------\nFrom:\n-----\n");
  stats_printEntries(stream, from->entries, from->count);
  fprintf(stream, "To:\n---\n");
  stats_printEntries(stream, to->entries, to->count);
}

// ---- Console commands ----

namespace {
constexpr int kMIMENameSize = 512;
}  // namespace

int hcommand_HTTPServerHitOverviewSeries(OB_HTTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerHitOverviewSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kHandler);
  StatsWindowHold hold(set->window);
  StatsSeriesHold runs[] = {
      StatsSeriesHold(ssHitData_getMethodHitSeries(&set->hitData, kAllHits)),
      StatsSeriesHold(ssHitData_getMIMEHitSeries(&set->hitData, 0, kPage)),
      StatsSeriesHold(ssHitData_getMIMEEntryPointSeries(&set->hitData, kPage)),
      StatsSeriesHold(ssNetworkData_getUniqueIPSeries(&set->networkData))};
  const statsSeries_t* first = runs[0].get();
  if (writeJ_SInt32(socket, first->nowTime) != 0 || writeJ_SInt32(socket, first->agoTime) != 0 ||
      writeJ_UInt32(socket, first->numOfBins) != 0)
    return stats_fail(kHandler);
  for (const StatsSeriesHold& run : runs)
    if (stats_writeValues(socket, run->values, run->numOfBins) != 0) return stats_fail(kHandler);
  return 0;
}

int hcommand_HTTPServerMethodBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerMethodBreakdown";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kHandler);
  return stats_reply(socket, ssHitData_getMethodBreakdownSummary(&set->hitData), kHandler);
}

int hcommand_HTTPServerMethodSeries(OB_HTTPAnalysisStats* stats, int socket,
                                    OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerMethodSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  char name[kStatsLineSize];
  if (set == nullptr || stats_readLine(socket, name, sizeof name) != 0) return stats_fail(kHandler);
  return stats_reply(socket, ssHitData_getMethodHitSeries(&set->hitData, name), kHandler);
}

int hcommand_HTTPServerMIMEBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                     OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerMIMEBreakdown";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kHandler);
  statsBreakdown_t *from, *to;
  ssHitData_getMIMEBreakdownSummary(&set->hitData, &from, &to);
  StatsBreakdownHold fromHold(from), toHold(to);
  if (stats_writeBreakdown(socket, from) != 0 || stats_writeBreakdown(socket, to) != 0)
    return stats_fail(kHandler);
  return 0;
}

int hcommand_HTTPServerMIMESeries(OB_HTTPAnalysisStats* stats, int socket,
                                  OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerMIMESeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int32_t kind = 0;
  char name[kMIMENameSize];
  if (set == nullptr || readJ_SInt32(socket, &kind) != 0 ||
      stats_readLine(socket, name, sizeof name) != 0)
    return stats_fail(kHandler);
  return stats_reply(socket, ssHitData_getMIMEHitSeries(&set->hitData, kind, name), kHandler);
}

int hcommand_HTTPServerMIMEEntryPointSeries(OB_HTTPAnalysisStats* stats, int socket,
                                            OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerMIMEEntryPointSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  char name[kMIMENameSize];
  if (set == nullptr || stats_readLine(socket, name, sizeof name) != 0)
    return stats_fail(kHandler);
  return stats_reply(socket, ssHitData_getMIMEEntryPointSeries(&set->hitData, name), kHandler);
}

int hcommand_HTTPServerPagesPerEntrySeries(OB_HTTPAnalysisStats* stats, int socket,
                                           OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerPagesPerEntrySeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kHandler);
  return stats_reply(socket, ssHitData_getPagesPerEntrySeries(&set->hitData), kHandler);
}
