#include "ftp/OB_FTPAnalysisStats.h"

#include <cstdio>
#include <cstdlib>

#include "OB_Log.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_FTPServer.h"
#include "ftp/OB_FTPProtocol.h"
#include "ftp/OB_FTPftranLink.h"
#include "stats/OB_IPTracker.h"
#include "windows/OB_IndexChanger.h"

namespace {

constexpr const char* kSpaceNoMemory = "initServerSpace: not enough memory";

// step on the set of all the server's connections, then on that of every subset holding the
// client.
template <class Step>
void eachSet(FTPServerSpace_t* space, uint32_t client, Step step) {
  step(&space->modules);
  for (uint16_t i = 0; i < space->numXSubsets; ++i)
    if (XSubset_isMatch(&space->xSubsets[i], &client) != 0) step(&space->xModules[i]);
}

}  // namespace

OB_FTPAnalysisStats::OB_FTPAnalysisStats(OB_AEngineConfig* config_, OB_IndexChanger* window_)
    : OB_Stats(config_, window_) {}

OB_FTPAnalysisStats::~OB_FTPAnalysisStats() { OB_FTPAnalysisStats::reset(); }

int OB_FTPAnalysisStats::init() {
  clearStreamCounts();
  initServerSpace();
  initNetworkGroups();
  return 0;
}

int OB_FTPAnalysisStats::reset() {
  freeServerSpace();
  freeNetworkGroups();
  return 0;
}

int OB_FTPAnalysisStats::print(FILE* /*stream*/) {
  printStreamCounts("\nFTP Consumer Stats:\n");
  return 0;
}

int OB_FTPAnalysisStats::initFTPServerStatsModules(FTPServerStatsModules_t* set) {
  const uint32_t bins = window != nullptr ? window->getNumOfBins() : 0;
  FTPssNetworkData_initAll(window, &set->networkData, bins);
  FTPssTrnsfrData_initAll(window, &set->trnsfrData, bins);
  FTPssAbortsData_initAll(window, &set->abortsData, bins);
  FTPssDomainsSeenData_initAll(window, &set->domainsSeenData, bins);
  return 0;
}

int OB_FTPAnalysisStats::freeFTPServerStatsModules(FTPServerStatsModules_t* set) {
  FTPssNetworkData_freeAll(&set->networkData);
  FTPssTrnsfrData_freeAll(&set->trnsfrData);
  FTPssAbortsData_freeAll(&set->abortsData);
  FTPssDomainsSeenData_freeAll(&set->domainsSeenData);
  return 0;
}

int OB_FTPAnalysisStats::initServerSpace() {
  if (servers != nullptr || config == nullptr || config->numOfFTPServers == 0) return 0;
  numServers = config->numOfFTPServers;
  servers = static_cast<FTPServerSpace_t*>(std::calloc(numServers, sizeof *servers));
  if (servers == nullptr) OB_Log::quit("%s", kSpaceNoMemory);
  for (uint16_t i = 0; i < numServers; ++i) {
    FTPServerSpace_t& space = servers[i];
    space.server = config->ftpServers[i];
    space.ipTracker = new OB_IPTracker(window);
    if (space.ipTracker == nullptr) OB_Log::quit("%s", kSpaceNoMemory);
    initFTPServerStatsModules(&space.modules);
    space.numXSubsets = config->numOfXSubSets;
    if (space.numXSubsets == 0) continue;
    space.xSubsets = static_cast<XSubset_t*>(std::calloc(space.numXSubsets, sizeof(XSubset_t)));
    space.xModules = static_cast<FTPServerStatsModules_t*>(
        std::calloc(space.numXSubsets, sizeof(FTPServerStatsModules_t)));
    if (space.xSubsets == nullptr || space.xModules == nullptr) OB_Log::quit("%s", kSpaceNoMemory);
    for (uint16_t k = 0; k < space.numXSubsets; ++k) {
      XSubset_copy(&space.xSubsets[k], config->xSubSets[k]);
      initFTPServerStatsModules(&space.xModules[k]);
    }
  }
  return 0;
}

int OB_FTPAnalysisStats::freeServerSpace() {
  if (servers == nullptr) return 0;
  for (uint16_t i = 0; i < numServers; ++i) {
    FTPServerSpace_t& space = servers[i];
    obRelease(space.ipTracker);
    freeFTPServerStatsModules(&space.modules);
    for (uint16_t k = 0; k < space.numXSubsets; ++k) freeFTPServerStatsModules(&space.xModules[k]);
    std::free(space.xSubsets);
    std::free(space.xModules);
  }
  std::free(servers);
  servers = nullptr;
  numServers = 0;
  return 0;
}

int OB_FTPAnalysisStats::initNetworkGroups() {
  if (netGroups != nullptr || config == nullptr || config->numOfNetworkGroups == 0) return 0;
  numNetGroups = config->numOfNetworkGroups;
  netGroups = static_cast<FTPNetworkGroup_t*>(std::calloc(numNetGroups, sizeof *netGroups));
  if (netGroups == nullptr) OB_Log::quit("initNetworkGroups: not enough memory");
  const uint32_t bins = window != nullptr ? window->getNumOfBins() : 0;
  for (uint16_t i = 0; i < numNetGroups; ++i) {
    netGroups[i].group = config->networkGroups[i];
    FTPcsXData_initAll(window, &netGroups[i].xData, bins);
    FTPcsServersSeenData_initAll(window, &netGroups[i].serversSeenData, bins);
  }
  return 0;
}

int OB_FTPAnalysisStats::freeNetworkGroups() {
  if (netGroups == nullptr) return 0;
  for (uint16_t i = 0; i < numNetGroups; ++i) {
    FTPcsXData_freeAll(&netGroups[i].xData);
    FTPcsServersSeenData_freeAll(&netGroups[i].serversSeenData);
  }
  std::free(netGroups);
  netGroups = nullptr;
  numNetGroups = 0;
  return 0;
}

int OB_FTPAnalysisStats::procX4allFTPServerStatsModules(FTPServerStatsModules_t* set,
                                                        ftpNetInfo_t* info,
                                                        OB_FTPProtocol* protocol,
                                                        OB_FTPftranLink* transfer) {
  FTPssTrnsfrData_procX(&set->trnsfrData, info->windowIndex, protocol, transfer);
  FTPssAbortsData_procX(&set->abortsData, info->windowIndex, protocol, transfer);
  return 0;
}

int OB_FTPAnalysisStats::procServerSpacePO(ftpNetInfo_t* info, OB_FTPProtocol* protocol) {
  int matched = 0;
  const uint32_t client = protocol->clientIP;
  for (uint16_t i = 0; i < numServers; ++i) {
    FTPServerSpace_t* space = &servers[i];
    if (space->server == nullptr || space->server->isMatch(&protocol->serverIP) == 0) continue;
    matched = 1;
    // Each connection counts once for its client, so the console's client counts are
    // connections.
    // The rest of a connection cut off at the byte limit was counted with its first piece:
    // only its transfers count.
    if (protocol->continued == 0) {
      OB_IPTrackerHash* record = nullptr;
      info->isNewClientIP = space->ipTracker->procAddress(protocol->xTime(), 1, &client, &record);
      const char* host = record != nullptr ? record->name : nullptr;
      eachSet(space, client, [&](FTPServerStatsModules_t* set) {
        FTPssNetworkData_procX(&set->networkData, info, protocol);
        FTPssDomainsSeenData_procX(&set->domainsSeenData, info->windowIndex, host);
      });
    }
    for (OB_FTPftranLink* transfer = protocol->getFirstTransfer(); transfer != nullptr;
         transfer = transfer->nextItem()) {
      eachSet(space, client, [&](FTPServerStatsModules_t* set) {
        procX4allFTPServerStatsModules(set, info, protocol, transfer);
      });
    }
  }
  return matched;
}

int OB_FTPAnalysisStats::procNetworkGroupPO(ftpNetInfo_t* info, OB_FTPProtocol* protocol) {
  int held = 0;
  for (uint16_t i = 0; i < numNetGroups; ++i) {
    FTPNetworkGroup_t* group = &netGroups[i];
    if (group->group == nullptr) continue;
    const int clientIn = networkGroup_isMatch(group->group, &protocol->clientIP);
    const int serverIn = networkGroup_isMatch(group->group, &protocol->serverIP);
    if (clientIn == 0 && serverIn == 0) continue;
    held = 1;
    for (OB_FTPftranLink* transfer = protocol->getFirstTransfer(); transfer != nullptr;
         transfer = transfer->nextItem()) {
      FTPcsXData_procX(&group->xData, info->windowIndex, clientIn, serverIn);
      if (serverIn != 0)
        FTPcsServersSeenData_procX(&group->serversSeenData, info->windowIndex, protocol, transfer);
    }
  }
  return held;
}
