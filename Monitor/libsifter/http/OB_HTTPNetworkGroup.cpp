#include "http/OB_HTTPNetworkGroup.h"

#include <new>

#include "OB_Log.h"
#include "config/OB_AEngineConfig.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "stats/csXData.h"
#include "windows/OB_IndexChanger.h"

OB_HTTPNetworkGroup::OB_HTTPNetworkGroup(OB_IndexChanger* window_, OB_AEngineConfig* config_,
                                         int groupIndex)
    : config(config_), window(window_) {
  if (config != nullptr && groupIndex >= 0 && groupIndex < config->numOfNetworkGroups)
    netGroup = config->networkGroups[groupIndex];
  xData = new (std::nothrow) csXData();
  serversSeenData = new (std::nothrow) csServersSeenData();
  if (xData == nullptr || serversSeenData == nullptr)
    OB_Log::quit("initNetworkGroups: not enough memory");
  const uint32_t bins = window != nullptr ? window->getNumOfBins() : 0;
  csXData_initAll(window, xData, bins);
  csServersSeenData_initAll(window, serversSeenData, bins);
}

OB_HTTPNetworkGroup::~OB_HTTPNetworkGroup() {
  csXData_freeAll(xData);
  csServersSeenData_freeAll(serversSeenData);
  delete xData;
  delete serversSeenData;
}

int OB_HTTPNetworkGroup::processProtocol(httpNetInfo_t* info, OB_HTTPProtocol* protocol,
                                         int /*groupIndex*/) {
  if (netGroup == nullptr || protocol == nullptr) return 0;
  const int clientIn = networkGroup_isMatch(netGroup, &protocol->clientIP);
  const int serverIn = networkGroup_isMatch(netGroup, &protocol->serverIP);
  if (clientIn == 0 && serverIn == 0) return 0;
  for (OB_Xact* link = protocol->head; link != nullptr; link = link->nextItem()) {
    csXData_procX(xData, info, clientIn, serverIn);
    if (serverIn != 0) csServersSeenData_procX(serversSeenData, info, protocol);
  }
  return 1;
}
