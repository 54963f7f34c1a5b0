#include "http/OB_HTTPServerStatsModules.h"

#include <cstring>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_ResourceStats.h"
#include "stats/AnalysisHash.h"
#include "stats/OB_IPTracker.h"
#include "windows/OB_IndexChanger.h"

OB_HTTPServerStatsModules::~OB_HTTPServerStatsModules() { OB_HTTPServerStatsModules::reset(); }

int OB_HTTPServerStatsModules::init(OB_IndexChanger* window_) {
  if (built_) reset();
  window = window_;
  const uint32_t bins = window != nullptr ? window->getNumOfBins() : 0;
  resourceStats = new OB_ResourceStats(window, 0);
  if (resourceStats == nullptr) OB_Log::quit("initServerSpace: not enough memory");
  ssNetworkData_initAll(window, &networkData, bins);
  ssHitData_initAll(window, &hitData, bins);
  ssErrorData_initAll(window, &errorData, bins);
  ssReferersSeenData_initAll(window, &referersSeenData, bins);
  ssDomainsSeenData_initAll(window, &domainsSeenData, bins);
  ssUserAgentData_initAll(window, &userAgentData, bins);
  built_ = true;
  return 0;
}

int OB_HTTPServerStatsModules::reset() {
  if (!built_) return 0;
  obRelease(resourceStats);
  resourceStats = nullptr;
  ssNetworkData_freeAll(&networkData);
  ssHitData_freeAll(&hitData);
  ssErrorData_freeAll(&errorData);
  ssReferersSeenData_freeAll(&referersSeenData);
  ssDomainsSeenData_freeAll(&domainsSeenData);
  ssUserAgentData_freeAll(&userAgentData);
  built_ = false;
  return 0;
}

void OB_HTTPServerStatsModules::procX4allHTTPServerStatsModules(OB_HTTPServer* server,
                                                                httpNetInfo_t* info,
                                                                OB_HTTPProtocol* protocol,
                                                                OB_HTTPXact* xact,
                                                                OB_IPTrackerHash* trackerEntry) {
  if (!built_ || info == nullptr || protocol == nullptr || xact == nullptr) return;
  ssHitData_procX(&hitData, info, protocol, xact);
  ssErrorData_procX(&errorData, info, protocol, xact);
  resourceStats->processTransaction(info, protocol, xact, trackerEntry);
  ssReferersSeenData_procX(&referersSeenData, info, protocol, xact, server);
  ssUserAgentData_procX(&userAgentData, info, protocol, xact);
  ssDomainsSeenData_procX(&domainsSeenData, info->windowIndex,
                          clientName(protocol->clientIP, trackerEntry));
}

const char* OB_HTTPServerStatsModules::clientName(uint32_t address,
                                                  const OB_IPTrackerHash* trackerEntry) {
  // The tracker took the client's name from the cache when it first saw the client, and the
  // cache keeps its names while it exists.
  if (trackerEntry != nullptr && trackerEntry->address == address &&
      trackerEntry->name != nullptr && getDomainNameHash() != nullptr)
    return trackerEntry->name;
  if (nameKnown_ && address == lastClient_) return lastName_;
  const char* name = AnalysisHash_getDomainName(address);
  if (name != nullptr) {
    std::strncpy(lastName_, name, sizeof lastName_ - 1);
    lastName_[sizeof lastName_ - 1] = '\0';
  } else {
    OB_Tools::IPAddressString(address, lastName_);
  }
  lastClient_ = address;
  nameKnown_ = true;
  return lastName_;
}
