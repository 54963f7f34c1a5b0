#include "ftp/FTPServerCommands.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "config/OB_User.h"
#include "console/OB_AEngineTCPRequest.h"
#include "ftp/OB_FTPAnalysisStats.h"
#include "stats/OB_IPTracker.h"
#include "stats/StatsReply.h"
#include "stats/dataStructs.h"

namespace {

// Owners for what the FTP modules hand out.
struct FTPFree {
  void operator()(FTPRespTimeData_t* p) const { FTPssNetworkData_freeResponseTimeData(p); }
  void operator()(FTPTransferBreakdown_t* p) const { FTPssTransfers_freeBreakdown(p); }
  void operator()(str2CntList_t* p) const { dataStructs_freeList(p); }
};
using RespTimeHold = std::unique_ptr<FTPRespTimeData_t, FTPFree>;
using TransfersHold = std::unique_ptr<FTPTransferBreakdown_t, FTPFree>;
using ClientListHold = std::unique_ptr<str2CntList_t, FTPFree>;

// The request's subset number: 0 for all connections, k for the k-th transaction subset.
uint16_t subsetOf(const OB_AEngineTCPRequest* request) {
  return static_cast<uint16_t>(request->subset & 0xFFFF);
}

FTPServerStatsModules_t* modulesOf(FTPServerSpace_t* space, uint16_t subset) {
  if (subset == 0) return &space->modules;
  if (subset > space->numXSubsets || space->xModules == nullptr) return nullptr;
  return &space->xModules[subset - 1];
}

int writeSeriesValues(int socket, statsSeries_t* series) {
  return stats_writeValues(socket, series->values, series->numOfBins);
}

// One kind of response time as 4013 sends it: the three figures, then (max, min, average) bin
// by bin.
int writeRun(int socket, const FTPRespTimeRun& run, uint32_t n) {
  for (uint32_t figure : {run.max, run.min, run.ave})
    if (writeJ_UInt32(socket, figure) != 0) return -1;
  for (uint32_t b = 0; b < n; ++b)
    for (const uint32_t* array : {run.maxs, run.mins, run.aves})
      if (writeJ_UInt32(socket, array[b]) != 0) return -1;
  return 0;
}

bool shownTo(OB_User* user, uint16_t server) {
  return user != nullptr && user->isAllowed(OB_User::kFTPServer, server) != 0;
}

uint32_t countShown(OB_FTPAnalysisStats* stats, OB_User* user) {
  uint32_t count = 0;
  for (uint16_t i = 0; i < stats->numServers; ++i)
    if (shownTo(user, i)) ++count;
  return count;
}

// 4010 and 4015: the FROM list of one transfer module, then (withTo) its TO list.
template <class Module>
int transferBreakdown(const char* handler, OB_FTPAnalysisStats* stats, int socket,
                      OB_AEngineTCPRequest* request, Module FTPServerStatsModules_t::*module,
                      FTPTransferBreakdown_t* (*get)(Module*), bool withTo) {
  FTPServerStatsModules_t* set = ftp_selectModules(stats, request);
  if (set == nullptr) return stats_fail(handler);
  TransfersHold lists(get(&(set->*module)));
  if (stats_writeEntries(socket, lists->from->entries, lists->from->count) != 0 ||
      (withTo && stats_writeEntries(socket, lists->to->entries, lists->to->count) != 0))
    return stats_fail(handler);
  return 0;
}

// 4011 and 4016: the series of the entry the request names (list kind, name of at most 511
// characters) in one transfer module; an unknown kind fails.
template <class Module>
int transferSeries(const char* handler, OB_FTPAnalysisStats* stats, int socket,
                   OB_AEngineTCPRequest* request, Module FTPServerStatsModules_t::*module,
                   statsSeries_t* (*get)(Module*, int32_t, const char*)) {
  FTPServerStatsModules_t* set = ftp_selectModules(stats, request);
  int32_t kind = 0;
  char name[512];
  if (set == nullptr || readJ_SInt32(socket, &kind) != 0 ||
      stats_readLine(socket, name, sizeof name) != 0)
    return stats_fail(handler);
  StatsSeriesHold series(get(&(set->*module), kind, name));
  if (series == nullptr || stats_writeSeries(socket, series.get()) != 0) return stats_fail(handler);
  return 0;
}

// One server's run in the comparison of 6000: the series of the type and its final figure.
struct ServerRun {
  StatsSeriesHold series;
  uint64_t figure;
};

ServerRun runOf(FTPServerStatsModules_t* set, int16_t type) {
  statsSeries_t* series = nullptr;
  switch (type) {
    case 0:
      series = FTPssTrnsfrData_getSeries(&set->trnsfrData, kFTPFromList, "All FROM Server");
      break;
    case 1:
      series = FTPssTrnsfrData_getSeries(&set->trnsfrData, kFTPToList, "All TO Server");
      break;
    case 2:
      series = FTPssAbortsData_getSeries(&set->abortsData, kFTPFromList, "All FROM Server");
      break;
    case 3:
      series = FTPssNetworkData_getUniqueIPSeries(&set->networkData);
      break;
    case 4:
      series = FTPssNetworkData_getRejectConnSeries(&set->networkData);
      break;
    case 5:
      series = FTPssNetworkData_getUnackConnSeries(&set->networkData);
      break;
    default: {
      // 6 and 7: the per-bin averages and the window's average of one kind of response time.
      RespTimeHold record(FTPssNetworkData_getResponseTimeData(&set->networkData));
      const FTPRespTimeRun& run = type == 6 ? record->server : record->network;
      series = stats_newSeries(set->networkData.window, "", record->numOfBins,
                               "hcommand_FTPXServerTransactionBreakdown: no memory");
      std::memcpy(series->values, run.aves, sizeof(uint32_t) * record->numOfBins);
      return ServerRun{StatsSeriesHold(series), run.ave};
    }
  }
  return ServerRun{StatsSeriesHold(series), stats_sum(series->values, series->numOfBins)};
}

}  // namespace

FTPServerSpace_t* ftp_selectServer(OB_FTPAnalysisStats* stats,
                                   const OB_AEngineTCPRequest* request) {
  if (stats == nullptr || request == nullptr || stats->servers == nullptr) return nullptr;
  const int32_t server = request->itemIndex;
  if (server < 0 || server >= stats->numServers) return nullptr;
  return &stats->servers[server];
}

FTPServerStatsModules_t* ftp_selectModules(OB_FTPAnalysisStats* stats,
                                           const OB_AEngineTCPRequest* request) {
  FTPServerSpace_t* space = ftp_selectServer(stats, request);
  return space != nullptr ? modulesOf(space, subsetOf(request)) : nullptr;
}

int hcommand_FTPServerSpaceSummary(OB_FTPAnalysisStats* stats, int socket, OB_User* user) {
  auto failed = [] {
    stats_logLine("hcommand_FTPServerSpaceSummary: Problem sending stats info.");
    return -1;
  };
  if (stats == nullptr) return failed();
  // The count is that of the blocks that follow, so the console can read them all (root's
  // record included, which need not show every server).
  if (stats_writeCount(socket, countShown(stats, user)) != 0) return failed();
  for (uint16_t i = 0; i < stats->numServers; ++i) {
    if (!shownTo(user, i)) continue;
    FTPServerStatsModules_t* set = &stats->servers[i].modules;
    if (writeJ_SInt32(socket, i) != 0 ||
        stats_writeCount(socket, FTPssTransfers_getTotal(&set->abortsData)) != 0 ||
        stats_writeCount(socket, FTPssTransfers_getTotal(&set->trnsfrData)) != 0)
      return failed();
  }
  return 0;
}

int hcommand_FTPServerSummary(OB_FTPAnalysisStats* stats, int socket,
                              OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPServerSummary";
  FTPServerStatsModules_t* set = ftp_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kName);
  StatsWindowHold hold(set->networkData.window);
  RespTimeHold record(FTPssNetworkData_getResponseTimeData(&set->networkData));
  StatsSeriesHold runs[] = {
      StatsSeriesHold(FTPssTrnsfrData_getAllTransfers(&set->trnsfrData)),
      StatsSeriesHold(FTPssTrnsfrData_getSeries(&set->trnsfrData, kFTPFromList, "All FROM Server")),
      StatsSeriesHold(FTPssTrnsfrData_getSeries(&set->trnsfrData, kFTPToList, "All TO Server")),
      StatsSeriesHold(FTPssAbortsData_getSeries(&set->abortsData, kFTPFromList, "All FROM Server")),
      StatsSeriesHold(FTPssNetworkData_getUniqueIPSeries(&set->networkData)),
      StatsSeriesHold(FTPssNetworkData_getRejectConnSeries(&set->networkData)),
      StatsSeriesHold(FTPssNetworkData_getUnackConnSeries(&set->networkData)),
  };
  const uint32_t n = record->numOfBins;
  if (writeJ_UInt32(socket, record->server.ave) != 0 ||
      writeJ_UInt32(socket, record->network.ave) != 0 ||
      writeJ_SInt32(socket, record->nowTime) != 0 || writeJ_SInt32(socket, record->agoTime) != 0 ||
      writeJ_UInt32(socket, n) != 0)
    return stats_fail(kName);
  for (StatsSeriesHold& run : runs)
    if (writeSeriesValues(socket, run.get()) != 0) return stats_fail(kName);
  if (stats_writeValues(socket, record->server.aves, n) != 0 ||
      stats_writeValues(socket, record->network.aves, n) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_FTPServerTrnsfrBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request) {
  return transferBreakdown("hcommand_FTPServerTrnsfrBreakdown", stats, socket, request,
                           &FTPServerStatsModules_t::trnsfrData, FTPssTrnsfrData_getBreakdown,
                           true);
}

int hcommand_FTPServerTrnsfrSeries(OB_FTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request) {
  return transferSeries("hcommand_FTPServerTrnsfrSeries", stats, socket, request,
                        &FTPServerStatsModules_t::trnsfrData, FTPssTrnsfrData_getSeries);
}

int hcommand_FTPServerResponseTimeSeries(OB_FTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPServerResponseTimeSeries";
  FTPServerStatsModules_t* set = ftp_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kName);
  RespTimeHold record(FTPssNetworkData_getResponseTimeData(&set->networkData));
  const uint32_t n = record->numOfBins;
  if (writeJ_SInt32(socket, record->nowTime) != 0 || writeJ_SInt32(socket, record->agoTime) != 0 ||
      writeJ_UInt32(socket, n) != 0 || stats_writeCount(socket, record->totalCount) != 0 ||
      stats_writeValues(socket, record->counts, n) != 0 ||
      writeRun(socket, record->server, n) != 0 || writeRun(socket, record->network, n) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_FTPServerAbortsBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request) {
  return transferBreakdown("hcommand_FTPServerAbortsBreakdown", stats, socket, request,
                           &FTPServerStatsModules_t::abortsData, FTPssAbortsData_getBreakdown,
                           false);
}

int hcommand_FTPServerAbortsSeries(OB_FTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request) {
  return transferSeries("hcommand_FTPServerAbortsSeries", stats, socket, request,
                        &FTPServerStatsModules_t::abortsData, FTPssAbortsData_getSeries);
}

int hcommand_FTPServerDomainBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPServerDomainBreakdown";
  FTPServerStatsModules_t* set = ftp_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kName);
  StatsBreakdownHold summary(FTPssDomainsSeenData_getBreakdownSummary(&set->domainsSeenData));
  if (stats_writeBreakdown(socket, summary.get()) != 0) return stats_fail(kName);
  return 0;
}

int hcommand_FTPServerDomainSeries(OB_FTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPServerDomainSeries";
  FTPServerStatsModules_t* set = ftp_selectModules(stats, request);
  char name[256];
  if (set == nullptr || stats_readLine(socket, name, sizeof name) != 0) return stats_fail(kName);
  StatsSeriesHold series(FTPssDomainsSeenData_getSeries(&set->domainsSeenData, name));
  if (stats_writeSeries(socket, series.get()) != 0) return stats_fail(kName);
  return 0;
}

int hcommand_FTPIPTracking(OB_FTPAnalysisStats* stats, int socket,
                           OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPIPTracking";
  FTPServerSpace_t* space = ftp_selectServer(stats, request);
  int16_t type = 0;
  int16_t n = 0;
  char firstText[32];
  char secondText[32];
  if (space == nullptr || readJ_SInt16(socket, &type) != 0 || readJ_SInt16(socket, &n) != 0 ||
      stats_readLine(socket, firstText, sizeof firstText) != 0 ||
      stats_readLine(socket, secondText, sizeof secondText) != 0)
    return stats_fail(kName);
  uint32_t first = 0;
  uint32_t second = 0;
  if (!stats_parseAddress(firstText, false, &first) ||
      !stats_parseAddress(secondText, true, &second))
    return stats_fail(kName);
  const uint16_t subset = subsetOf(request);
  if (subset > space->numXSubsets) return stats_fail(kName);
  XSubset_t* filter = subset == 0 ? nullptr : &space->xSubsets[subset - 1];
  OB_IPTracker* tracker = space->ipTracker;
  ClientListHold clients;
  switch (type) {
    case 0: {
      // The 500 busiest by count. The tracker's own top list ranks by page count, which no FTP
      // step raises, so it would keep the first 500 in table order; a range over every address
      // ranks by count.
      ClientListHold busiest(tracker->getTopNByRange(filter, 500, 0, 0xFFFFFFFFu));
      clients.reset(dataStructs_getTopN(busiest.get(), n, 1));
      break;
    }
    case 2:
      clients.reset(tracker->getTopNByNetwork(filter, n, first, second));
      break;
    case 3:
      clients.reset(tracker->getTopNByRange(filter, n, first, second));
      break;
    default:
      return stats_fail(kName);
  }
  if (writeJ_UInt32(socket, clients->count) != 0) return stats_fail(kName);
  for (const str2CntEntry_t* entry = clients->head; entry != nullptr; entry = entry->next)
    if (stats_writeName(socket, entry->name) != 0 || stats_writeName(socket, entry->name2) != 0 ||
        writeJ_UInt32(socket, entry->b) != 0)
      return stats_fail(kName);
  return 0;
}

int hcommand_FTPXServerTransactionBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                            OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_FTPXServerTransactionBreakdown";
  int16_t type = 0;
  if (stats == nullptr || request == nullptr || readJ_SInt16(socket, &type) != 0)
    return stats_fail(kName);
  if (type < 0 || type > 7) {
    stats_logLine("%s: bad type", kName);
    return -1;
  }
  OB_User* user = request->userRecord;
  const uint16_t subset = subsetOf(request);
  // Every server has the configuration's subsets; one the window does not have fails before a
  // byte is sent.
  for (uint16_t i = 0; i < stats->numServers; ++i)
    if (shownTo(user, i) && modulesOf(&stats->servers[i], subset) == nullptr)
      return stats_fail(kName);
  // The count is that of the blocks sent, so the console can read them all.
  const uint32_t count = countShown(stats, user);
  if (writeJ_UInt32(socket, count) != 0) return stats_fail(kName);
  bool first = true;
  for (uint16_t i = 0; i < stats->numServers; ++i) {
    if (!shownTo(user, i)) continue;
    FTPServerStatsModules_t* set = modulesOf(&stats->servers[i], subset);
    ServerRun run = runOf(set, type);
    if (first) {
      first = false;
      if (writeJ_SInt32(socket, run.series->nowTime) != 0 ||
          writeJ_SInt32(socket, run.series->agoTime) != 0 ||
          writeJ_UInt32(socket, run.series->numOfBins) != 0)
        return stats_fail(kName);
    }
    if (writeSeriesValues(socket, run.series.get()) != 0) return stats_fail(kName);
    char label[16];
    const int length = std::snprintf(label, sizeof label, "i = %d", i);
    if (writeJ_n_chars(socket, label, length) < 0 || stats_writeCount(socket, run.figure) != 0) {
      stats_logLine("all: Problem getting or sending info.");
      return -1;
    }
  }
  return 0;
}
