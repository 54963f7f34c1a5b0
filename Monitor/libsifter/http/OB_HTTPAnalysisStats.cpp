#include "http/OB_HTTPAnalysisStats.h"

#include <cstdlib>

#include "OB_Log.h"
#include "config/OB_AEngineConfig.h"
#include "http/OB_HTTPNetworkGroup.h"
#include "http/OB_HTTPServerStats.h"

OB_HTTPAnalysisStats::OB_HTTPAnalysisStats(OB_AEngineConfig* config_, OB_IndexChanger* window_)
    : OB_Stats(config_, window_) {
  OB_HTTPAnalysisStats::init();
}

OB_HTTPAnalysisStats::~OB_HTTPAnalysisStats() {
  OB_HTTPAnalysisStats::freeServerStats();
  OB_HTTPAnalysisStats::freeNetworkGroups();
}

int OB_HTTPAnalysisStats::init() {
  clearStreamCounts();
  initServerStats();
  initNetworkGroups();
  return 0;
}

int OB_HTTPAnalysisStats::reset() {
  freeServerStats();
  freeNetworkGroups();
  return 0;
}

int OB_HTTPAnalysisStats::initServerStats() {
  if (servers != nullptr || config == nullptr) return 0;
  numServers = config->numOfHTTPServers;
  if (numServers == 0) return 0;
  servers = static_cast<OB_HTTPServerStats**>(std::calloc(numServers, sizeof *servers));
  if (servers == nullptr) OB_Log::quit("initServerStats: not enough memory");
  for (uint16_t i = 0; i < numServers; ++i) {
    servers[i] = new OB_HTTPServerStats();
    if (servers[i] == nullptr) OB_Log::quit("initServerStats: not enough memory");
    servers[i]->init(window, config, i);
  }
  return 0;
}

int OB_HTTPAnalysisStats::initNetworkGroups() {
  if (netGroups != nullptr || config == nullptr) return 0;
  numNetGroups = config->numOfNetworkGroups;
  if (numNetGroups == 0) return 0;
  netGroups = static_cast<OB_HTTPNetworkGroup**>(std::calloc(numNetGroups, sizeof *netGroups));
  if (netGroups == nullptr) OB_Log::quit("initNetworkGroups: not enough memory");
  for (uint16_t i = 0; i < numNetGroups; ++i) {
    netGroups[i] = new OB_HTTPNetworkGroup(window, config, i);
    if (netGroups[i] == nullptr) OB_Log::quit("initNetworkGroups: not enough memory");
  }
  return 0;
}

int OB_HTTPAnalysisStats::procServerSpacePO(httpNetInfo_t* info, OB_HTTPProtocol* protocol) {
  int counted = 0;
  for (uint16_t i = 0; i < numServers; ++i)
    if (servers[i] != nullptr && servers[i]->processProtocol(info, protocol) != 0) counted = 1;
  return counted;
}

int OB_HTTPAnalysisStats::procNetworkGroupPO(httpNetInfo_t* info, OB_HTTPProtocol* protocol) {
  int counted = 0;
  for (uint16_t i = 0; i < numNetGroups; ++i)
    if (netGroups[i] != nullptr && netGroups[i]->processProtocol(info, protocol, i) != 0)
      counted = 1;
  return counted;
}

int OB_HTTPAnalysisStats::freeServerStats() {
  if (servers == nullptr) return 0;
  for (uint16_t i = 0; i < numServers; ++i) obRelease(servers[i]);
  std::free(servers);
  servers = nullptr;
  numServers = 0;
  return 0;
}

int OB_HTTPAnalysisStats::freeNetworkGroups() {
  if (netGroups == nullptr) return 0;
  for (uint16_t i = 0; i < numNetGroups; ++i) obRelease(netGroups[i]);
  std::free(netGroups);
  netGroups = nullptr;
  numNetGroups = 0;
  return 0;
}

void OB_HTTPAnalysisStats::printStats() {
  printStreamCounts("\nHTTP Consumer Stats:\n");
}
