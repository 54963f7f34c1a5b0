#include "http/HTTPSummaryCommands.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "config/OB_User.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "stats/StatsReply.h"
#include "windows/OB_IndexChanger.h"

namespace {

constexpr const char* kSummary = "hcommand_HTTPServerSummary";
constexpr const char* kTransactions = "hcommand_HTTPXServerTransactionBreakdown";
constexpr const char* kReferrers = "hcommand_HTTPXServerReferrerBreakdown";
constexpr const char* kPage = "text/html";

struct TimesFree {
  void operator()(ssRespTimeData_t* p) const { ssNetworkData_freeResponseTimeData(p); }
};
using TimesHold = std::unique_ptr<ssRespTimeData_t, TimesFree>;

// The per-bin runs the dashboard and the comparison send.
enum class Run {
  kAllHits,
  kFromServer,
  kPageHits,
  kPageEntries,
  kPagesPerEntry,
  kPagesPerClient,
  kReferrals,
  kErrors,
  kClients,
  kRejected,
  kUnacked,
  kEmpty,
  kServerTime,
  kNetworkTime,
};

// The comparison's types 0 to 12, in order.
constexpr Run kTypes[] = {Run::kFromServer,    Run::kPageHits,       Run::kPageEntries,
                          Run::kPagesPerEntry, Run::kPagesPerClient, Run::kReferrals,
                          Run::kErrors,        Run::kClients,        Run::kRejected,
                          Run::kUnacked,       Run::kEmpty,          Run::kServerTime,
                          Run::kNetworkTime};

// A series of values already in time order (the response-time record's).
statsSeries_t* seriesOfValues(OB_HTTPServerStatsModules* set, const uint32_t* values, uint32_t n) {
  statsSeries_t* series = stats_newSeries(set->window, "", n, "seriesOfValues: no memory");
  if (n > 0) std::memcpy(series->values, values, sizeof(uint32_t) * n);
  return series;
}

// "text/html" hits per new client, rounded up, per bin.
statsSeries_t* pagesPerClient(OB_HTTPServerStatsModules* set) {
  StatsSeriesHold pages(ssHitData_getMIMEHitSeries(&set->hitData, 0, kPage));
  StatsSeriesHold clients(ssNetworkData_getUniqueIPSeries(&set->networkData));
  for (uint32_t b = 0; b < pages->numOfBins; ++b)
    pages->values[b] =
        static_cast<uint32_t>(stats_ceilQuotient(pages->values[b], clients->values[b]));
  return pages.release();
}

// The run of one module set; times is the set's response-time record (needed only for the
// response-time runs).
statsSeries_t* runOf(OB_HTTPServerStatsModules* set, Run run, const ssRespTimeData_t* times) {
  switch (run) {
    case Run::kAllHits:
      return ssHitData_getMethodHitSeries(&set->hitData, "All Hits");
    case Run::kFromServer:
      return ssHitData_getMIMEHitSeries(&set->hitData, 0, "All FROM Server");
    case Run::kPageHits:
      return ssHitData_getMIMEHitSeries(&set->hitData, 0, kPage);
    case Run::kPageEntries:
      return ssHitData_getMIMEEntryPointSeries(&set->hitData, kPage);
    case Run::kPagesPerEntry:
      return ssHitData_getPagesPerEntrySeries(&set->hitData);
    case Run::kPagesPerClient:
      return pagesPerClient(set);
    case Run::kReferrals:
      return ssReferersSeenData_getHitSeries(&set->referersSeenData, 0, "", "");
    case Run::kErrors:
      return ssErrorData_getTypeSeries(&set->errorData, "All Errors");
    case Run::kClients:
      return ssNetworkData_getUniqueIPSeries(&set->networkData);
    case Run::kRejected:
      return ssNetworkData_getRejectConnSeries(&set->networkData);
    case Run::kUnacked:
      return ssNetworkData_getUnackConnSeries(&set->networkData);
    case Run::kEmpty:
      return ssNetworkData_getEmptyConnSeries(&set->networkData);
    case Run::kServerTime:
      return seriesOfValues(set, times->srvAves, times->numOfBins);
    case Run::kNetworkTime:
      return seriesOfValues(set, times->netAves, times->numOfBins);
  }
  return nullptr;
}

// The figure of a run over the window: the sum of its values, the ratio of the window's sums,
// or the overall response time.
uint64_t figureOf(OB_HTTPServerStatsModules* set, Run run, const statsSeries_t* series,
                  const ssRespTimeData_t* times) {
  auto sumOf = [set](Run wanted) {
    StatsSeriesHold counts(runOf(set, wanted, nullptr));
    return stats_sum(counts->values, counts->numOfBins);
  };
  switch (run) {
    case Run::kPagesPerEntry:
      return stats_ceilQuotient(sumOf(Run::kPageHits), sumOf(Run::kPageEntries));
    case Run::kPagesPerClient:
      return stats_ceilQuotient(sumOf(Run::kPageHits), sumOf(Run::kClients));
    case Run::kServerTime:
      return times->srvAve;
    case Run::kNetworkTime:
      return times->netAve;
    default:
      return stats_sum(series->values, series->numOfBins);
  }
}

// The text a failed block of the comparison logs.
const char* blockName(Run run) {
  if (run == Run::kPagesPerEntry) return "html_pages_per_entry";
  if (run == Run::kPagesPerClient) return "html_pages_per_unique_ip";
  return "all";
}

// The servers a comparison reports to user, in server order.
std::vector<uint16_t> shownServers(OB_HTTPAnalysisStats* stats, OB_User* user) {
  std::vector<uint16_t> shown;
  if (user == nullptr) return shown;
  const bool root = std::strcmp(user->login, "root") == 0;
  for (uint16_t i = 0; i < stats->numServers; ++i)
    if (root || user->isAllowed(OB_User::kHTTPServer, i) != 0) shown.push_back(i);
  return shown;
}

// Every server's module set of the request's subset exists: all servers have the window's
// subsets, so one beyond them fails before a byte is sent.
bool subsetExists(OB_HTTPAnalysisStats* stats, const OB_AEngineTCPRequest* request) {
  for (uint16_t i = 0; i < stats->numServers; ++i)
    if (stats_selectModules(stats->servers[i], request) == nullptr) return false;
  return true;
}

int writeLabel(int socket, const char* format, uint16_t index) {
  char label[32];
  const int length = std::snprintf(label, sizeof label, format, index);
  return writeJ_n_chars(socket, label, length) < 0 ? -1 : 0;
}

}  // namespace

int hcommand_HTTPServerSummary(OB_HTTPAnalysisStats* stats, int socket,
                               OB_AEngineTCPRequest* request) {
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kSummary);
  StatsWindowHold hold(set->window);
  TimesHold times(ssNetworkData_getResponseTimeData(&set->networkData));
  const Run order[] = {Run::kAllHits, Run::kPageHits,   Run::kPageEntries, Run::kReferrals,
                       Run::kErrors,  Run::kClients,    Run::kRejected,    Run::kUnacked,
                       Run::kEmpty,   Run::kServerTime, Run::kNetworkTime};
  std::vector<StatsSeriesHold> runs;
  for (Run run : order) runs.emplace_back(runOf(set, run, times.get()));
  const statsSeries_t* hits = runs.front().get();
  if (writeJ_UInt32(socket, times->srvAve) != 0 || writeJ_UInt32(socket, times->netAve) != 0 ||
      writeJ_SInt32(socket, hits->nowTime) != 0 || writeJ_SInt32(socket, hits->agoTime) != 0 ||
      writeJ_UInt32(socket, hits->numOfBins) != 0)
    return stats_fail(kSummary);
  for (const StatsSeriesHold& run : runs)
    if (stats_writeValues(socket, run->values, run->numOfBins) != 0) return stats_fail(kSummary);
  return 0;
}

int hcommand_HTTPXServerTransactionBreakdown(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                                             OB_AEngineTCPRequest* request) {
  int16_t type = 0;
  if (stats == nullptr || request == nullptr || readJ_SInt16(socket, &type) != 0)
    return stats_fail(kTransactions);
  if (type < 0 || static_cast<size_t>(type) >= std::size(kTypes)) {
    stats_logLine("%s: bad type", kTransactions);
    return stats_fail(kTransactions);
  }
  if (!subsetExists(stats, request)) return stats_fail(kTransactions);
  const Run run = kTypes[type];
  StatsWindowHold hold(stats->getTimeWindow());
  const std::vector<uint16_t> shown = shownServers(stats, user);
  if (stats_writeCount(socket, shown.size()) != 0) return stats_fail(kTransactions);
  // The bounds are every series' alike; without a server they are the window's own.
  int32_t nowTime = 0, agoTime = 0;
  uint32_t n = 0;
  if (stats->numServers > 0) {
    StatsSeriesHold first(
        runOf(stats_selectModules(stats->servers[0], request), Run::kFromServer, nullptr));
    nowTime = first->nowTime;
    agoTime = first->agoTime;
    n = first->numOfBins;
  } else if (OB_IndexChanger* window = stats->getTimeWindow(); window != nullptr) {
    nowTime = static_cast<int32_t>(window->getNowTime());
    agoTime = static_cast<int32_t>(window->getAgoTime());
    n = window->getNumOfBins();
  }
  if (writeJ_SInt32(socket, nowTime) != 0 || writeJ_SInt32(socket, agoTime) != 0 ||
      writeJ_UInt32(socket, n) != 0)
    return stats_fail(kTransactions);
  for (uint16_t i : shown) {
    OB_HTTPServerStatsModules* set = stats_selectModules(stats->servers[i], request);
    const bool timed = run == Run::kServerTime || run == Run::kNetworkTime;
    TimesHold times(timed ? ssNetworkData_getResponseTimeData(&set->networkData) : nullptr);
    StatsSeriesHold series(runOf(set, run, times.get()));
    if (stats_writeValues(socket, series->values, series->numOfBins) != 0 ||
        writeLabel(socket, "i = %d\n", i) != 0 ||
        stats_writeCount(socket, figureOf(set, run, series.get(), times.get())) != 0) {
      stats_logLine("%s: Problem getting or sending info.", blockName(run));
      return -1;
    }
  }
  return 0;
}

int hcommand_HTTPXServerReferrerBreakdown(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                                          OB_AEngineTCPRequest* request) {
  uint32_t wanted = 0;
  if (stats == nullptr || request == nullptr || readJ_UInt32(socket, &wanted) != 0 ||
      !subsetExists(stats, request))
    return stats_fail(kReferrers);
  const int n = static_cast<int>(wanted & 0xFFFF);
  StatsWindowHold hold(stats->getTimeWindow());
  const std::vector<uint16_t> shown = shownServers(stats, user);
  if (stats_writeCount(socket, shown.size()) != 0) return stats_fail(kReferrers);
  for (uint16_t i : shown) {
    OB_HTTPServerStatsModules* set = stats_selectModules(stats->servers[i], request);
    StatsTopNHold hosts(ssReferersSeenData_getHostBreakdownSummary(&set->referersSeenData, n));
    uint64_t referrals = 0;
    for (size_t k = 0; k < hosts->count; ++k) referrals += hosts->entries[k].total;
    if (writeLabel(socket, "index = %d\n", i) != 0 || stats_writeCount(socket, referrals) != 0)
      return stats_fail(kReferrers);
  }
  return 0;
}
