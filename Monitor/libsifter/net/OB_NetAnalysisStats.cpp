#include "net/OB_NetAnalysisStats.h"

#include <cstdlib>

#include "OB_Log.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "net/OB_AddrPair.h"
#include "net/OB_AllNetData.h"
#include "stats/StatsModule.h"
#include "windows/OB_IndexChanger.h"

namespace {

uint32_t binsOf(OB_IndexChanger* window) { return window != nullptr ? window->getNumOfBins() : 0; }

void initModules(OB_IndexChanger* window, NetServerStatsModules_t* set) {
  netUtilData_init(window, &set->util, binsOf(window));
  netProtoData_init(window, &set->proto, binsOf(window));
}

// The definitions of one kind of server and the subsets of the configuration, copied into
// `count` zeroed elements; each element's module sets built over the window.
template <class Server>
NetServerStats_t<Server>* newServerSpace(OB_AEngineConfig* config, Server** definitions,
                                         uint16_t count, OB_IndexChanger* window,
                                         const char* who) {
  auto* space = static_cast<NetServerStats_t<Server>*>(std::calloc(count, sizeof(NetServerStats_t<Server>)));
  if (space == nullptr) OB_Log::quit("%s", who);
  for (uint16_t i = 0; i < count; ++i) {
    NetServerStats_t<Server>& element = space[i];
    element.server = definitions != nullptr ? definitions[i] : nullptr;
    initModules(window, &element.modules);
    element.numXSubsets = config->xSubSets != nullptr ? config->numOfXSubSets : 0;
    if (element.numXSubsets == 0) continue;
    element.xSubsets = static_cast<XSubset_t*>(std::calloc(element.numXSubsets, sizeof(XSubset_t)));
    element.xModules = static_cast<NetServerStatsModules_t*>(
        std::calloc(element.numXSubsets, sizeof(NetServerStatsModules_t)));
    if (element.xSubsets == nullptr || element.xModules == nullptr) OB_Log::quit("%s", who);
    for (uint16_t k = 0; k < element.numXSubsets; ++k) {
      if (config->xSubSets[k] != nullptr) XSubset_copy(&element.xSubsets[k], config->xSubSets[k]);
      initModules(window, &element.xModules[k]);
    }
  }
  return space;
}

void freeModules(NetServerStatsModules_t* set) {
  netUtilData_free(&set->util);
  netProtoData_free(&set->proto);
}

template <class Server>
void freeServerSpace(NetServerStats_t<Server>* space, uint16_t count) {
  if (space == nullptr) return;
  for (uint16_t i = 0; i < count; ++i) {
    freeModules(&space[i].modules);
    for (uint16_t k = 0; space[i].xModules != nullptr && k < space[i].numXSubsets; ++k)
      freeModules(&space[i].xModules[k]);
    std::free(space[i].xModules);
    std::free(space[i].xSubsets);
  }
  std::free(space);
}

}  // namespace

OB_NetAnalysisStats::OB_NetAnalysisStats(OB_AEngineConfig* config_, OB_IndexChanger* window_)
    : OB_Stats(config_, window_) {
  OB_NetAnalysisStats::init();
}

OB_NetAnalysisStats::~OB_NetAnalysisStats() { OB_NetAnalysisStats::reset(); }

int OB_NetAnalysisStats::init() {
  binsAttempted = 0;
  binsReceived = 0;
  binsProcessed = 0;
  binsRejected = 0;
  if (allTraffic.util.packsSeen == nullptr) initServerStatsModules(window, &allTraffic);
  initNetworkGroups();
  initHTTPServerSpace();
  initFTPServerSpace();
  return 0;
}

int OB_NetAnalysisStats::reset() {
  StatsWindowHold hold(window);
  freeServerStatsModules(&allTraffic);
  freeNetworkGroups();
  freeHTTPServerSpace();
  freeFTPServerSpace();
  netStatsOn = 1;
  return 0;
}

int OB_NetAnalysisStats::initNetworkGroups() {
  if (netGroups != nullptr || config == nullptr) return 0;
  netStatsOn = 1;
  numNetGroups = config->networkGroups != nullptr ? config->numOfNetworkGroups : 0;
  if (numNetGroups == 0) return 0;
  netGroups = static_cast<NetGroupStats_t*>(std::calloc(numNetGroups, sizeof(NetGroupStats_t)));
  if (netGroups == nullptr) OB_Log::quit("NetAnalysis_init: not enough memory");
  for (uint16_t i = 0; i < numNetGroups; ++i) {
    netGroups[i].group = config->networkGroups[i];
    initServerStatsModules(window, &netGroups[i].modules);
  }
  return 0;
}

int OB_NetAnalysisStats::freeNetworkGroups() {
  if (netGroups != nullptr) {
    for (uint16_t i = 0; i < numNetGroups; ++i) freeServerStatsModules(&netGroups[i].modules);
    std::free(netGroups);
  }
  netGroups = nullptr;
  numNetGroups = 0;
  return 0;
}

int OB_NetAnalysisStats::initHTTPServerSpace() {
  if (httpServers != nullptr || config == nullptr) return 0;
  numHTTPServers = config->httpServers != nullptr ? config->numOfHTTPServers : 0;
  if (numHTTPServers == 0) return 0;
  httpServers = newServerSpace(config, config->httpServers, numHTTPServers, window,
                               "initHTTPServerSpace: no memory");
  return 0;
}

int OB_NetAnalysisStats::freeHTTPServerSpace() {
  freeServerSpace(httpServers, numHTTPServers);
  httpServers = nullptr;
  numHTTPServers = 0;
  return 0;
}

int OB_NetAnalysisStats::initFTPServerSpace() {
  if (ftpServers != nullptr || config == nullptr) return 0;
  numFTPServers = config->ftpServers != nullptr ? config->numOfFTPServers : 0;
  if (numFTPServers == 0) return 0;
  ftpServers = newServerSpace(config, config->ftpServers, numFTPServers, window,
                              "initFTPServerSpace: no memory");
  return 0;
}

int OB_NetAnalysisStats::freeFTPServerSpace() {
  freeServerSpace(ftpServers, numFTPServers);
  ftpServers = nullptr;
  numFTPServers = 0;
  return 0;
}

int OB_NetAnalysisStats::initServerStatsModules(OB_IndexChanger* window_,
                                                NetServerStatsModules_t* set) {
  initModules(window_, set);
  return 0;
}

int OB_NetAnalysisStats::freeServerStatsModules(NetServerStatsModules_t* set) {
  freeModules(set);
  return 0;
}

int OB_NetAnalysisStats::procServerStatsModules(NetServerStatsModules_t* set, int bin,
                                                OB_AddrPair* pair) {
  netUtilData_procAddrPair(&set->util, bin, pair);
  netProtoData_proc(&set->proto, bin, &pair->protocols);
  return 0;
}

int OB_NetAnalysisStats::procStruct(int bin, OB_AllNetData* record) {
  StatsWindowHold hold(window);
  // The record's lock: a live record is also being written to the archive on this thread's
  // caller, and the pair table is walked under its own lock as the record does.
  OB_MutexHold recordHold(record);
  netUtilData_procAllTraffic(&allTraffic.util, bin, record);
  netProtoData_proc(&allTraffic.proto, bin, &record->getProtoCounts());
  if (record->getPathTracking() == 0) netStatsOn = 0;

  OB_AllNetData::PairTable* table = record->getPairTable();
  if (table == nullptr) return 0;
  if (numNetGroups == 0 && numHTTPServers == 0 && numFTPServers == 0) return 0;
  OB_MutexHold tableHold(table);
  // One walk over the table, each pair offered to every scope: the same sums, in the same
  // order of first appearance, as a walk per scope.
  for (int index = 0; index < table->getNumBuckets(); ++index) {
    for (OB_Link<OB_AddrPair>* link = table->getChain(index); link != nullptr;
         link = link->getNext()) {
      OB_AddrPair* pair = obQuery<OB_AddrPair>(link);
      if (pair == nullptr) continue;
      procNetworkGroups(bin, pair);
      procHTTPServerSpace(bin, pair);
      procFTPServerSpace(bin, pair);
    }
  }
  return 0;
}

int OB_NetAnalysisStats::procNetworkGroups(int bin, OB_AddrPair* pair) {
  for (uint16_t i = 0; i < numNetGroups; ++i) {
    NetGroupStats_t& element = netGroups[i];
    if (element.group == nullptr) continue;
    if (networkGroup_isMatch(element.group, &pair->srcIP) == 0 &&
        networkGroup_isMatch(element.group, &pair->dstIP) == 0)
      continue;
    procServerStatsModules(&element.modules, bin, pair);
  }
  return 0;
}

template <class Server>
void OB_NetAnalysisStats::countForServer(NetServerStats_t<Server>* element, int bin,
                                         OB_AddrPair* pair) {
  procServerStatsModules(&element->modules, bin, pair);
  for (uint16_t k = 0; element->xModules != nullptr && k < element->numXSubsets; ++k) {
    if (XSubset_isMatch(&element->xSubsets[k], &pair->srcIP) != 0 ||
        XSubset_isMatch(&element->xSubsets[k], &pair->dstIP) != 0)
      procServerStatsModules(&element->xModules[k], bin, pair);
  }
}

int OB_NetAnalysisStats::procHTTPServerSpace(int bin, OB_AddrPair* pair) {
  for (uint16_t i = 0; i < numHTTPServers; ++i) {
    NetHTTPServerStats_t& element = httpServers[i];
    OB_HTTPServer* server = element.server;
    if (server == nullptr) continue;
    const bool counts = (server->isServerIPMatch(&pair->srcIP) != 0 &&
                         server->isClientIPMatch(&pair->dstIP) != 0) ||
                        (server->isServerIPMatch(&pair->dstIP) != 0 &&
                         server->isClientIPMatch(&pair->srcIP) != 0);
    if (counts) countForServer(&element, bin, pair);
  }
  return 0;
}

int OB_NetAnalysisStats::procFTPServerSpace(int bin, OB_AddrPair* pair) {
  for (uint16_t i = 0; i < numFTPServers; ++i) {
    NetFTPServerStats_t& element = ftpServers[i];
    OB_FTPServer* server = element.server;
    if (server == nullptr) continue;
    if (server->isMatch(&pair->srcIP) != 0 || server->isMatch(&pair->dstIP) != 0)
      countForServer(&element, bin, pair);
  }
  return 0;
}

int OB_NetAnalysisStats::print(FILE* stream) {
  StatsWindowHold hold(window);
  fprintf(stream, "\nNetAnalysisStats\n");
  fprintf(stream, "----------------\n");
  fprintf(stream, "  binsAttempted = %u\n", binsAttempted);
  fprintf(stream, "  binsReceived  = %u\n", binsReceived);
  fprintf(stream, "  binsProcessed = %u\n", binsProcessed);
  fprintf(stream, "  binsRejected  = %u\n", binsRejected);
  fprintf(stream, "\n  All Traffic Stats\n");
  fprintf(stream, "  -----------------\n");
  fprintf(stream, "\n  All Traffic Stats\n");
  fprintf(stream, "  -----------------\n");
  netUtilData_print(stream, &allTraffic.util);
  fprintf(stream, "\n");
  netProtoData_print(stream, &allTraffic.proto);
  fprintf(stream, "\n  Network Group Stats\n");
  fprintf(stream, "  -------------------\n");
  fprintf(stream, "\n  Network Group Stats\n");
  fprintf(stream, "  -------------------\n");
  for (uint16_t i = 0; i < numNetGroups; ++i) {
    netUtilData_print(stream, &netGroups[i].modules.util);
    fprintf(stream, "\n");
    netProtoData_print(stream, &netGroups[i].modules.proto);
  }
  return 0;
}
