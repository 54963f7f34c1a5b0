#include "http/HTTPServerCommands.h"

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "config/OB_User.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "stats/StatsReply.h"

namespace {

bool shownTo(OB_User* user, uint16_t server) {
  return user != nullptr && user->isAllowed(OB_User::kHTTPServer, server) != 0;
}

}  // namespace

int hcommand_HTTPServerSpaceSummary(OB_HTTPAnalysisStats* stats, int socket, OB_User* user) {
  auto failed = [] {
    stats_logLine("hcommand_HTTPServerSpaceSummary: Problem sending stats info.");
    return -1;
  };
  if (stats == nullptr) return failed();
  // The count is that of the blocks that follow, so the console can read them all.
  uint32_t shown = 0;
  for (uint16_t i = 0; i < stats->numServers; ++i)
    if (shownTo(user, i)) ++shown;
  if (stats_writeCount(socket, shown) != 0) return failed();
  for (uint16_t i = 0; i < stats->numServers; ++i) {
    if (!shownTo(user, i)) continue;
    OB_HTTPServerStatsModules* set =
        stats->servers != nullptr && stats->servers[i] != nullptr ? stats->servers[i]->modules
                                                                 : nullptr;
    uint64_t errors = 0;
    uint64_t hits = 0;
    if (set != nullptr) {
      StatsWindowHold hold(set->window);
      // The breakdown is sorted largest first, and "All Errors" counts every error.
      StatsBreakdownHold breakdown(ssErrorData_getErrorBreakdownSummary(&set->errorData));
      if (breakdown != nullptr && breakdown->count > 0) errors = breakdown->entries[0].total;
      StatsSeriesHold series(ssHitData_getMethodHitSeries(&set->hitData, "All Hits"));
      if (series != nullptr) hits = stats_sum(series->values, series->numOfBins);
    }
    if (writeJ_SInt32(socket, i) != 0 || stats_writeCount(socket, errors) != 0 ||
        stats_writeCount(socket, hits) != 0)
      return failed();
  }
  return 0;
}
