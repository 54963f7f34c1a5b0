#include "OB_HTTPServerStatsModules.h"

#include "OB_IndexChanger.h"
#include "OB_Log.h"
#include "OB_ResourceStats.h"

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

void OB_HTTPServerStatsModules::procX4allHTTPServerStatsModules(OB_HTTPServer* /*server*/,
                                                                httpNetInfo_t* info,
                                                                OB_HTTPProtocol* protocol,
                                                                OB_HTTPXact* xact,
                                                                OB_IPTrackerHash* trackerEntry) {
  if (!built_ || info == nullptr || protocol == nullptr || xact == nullptr) return;
  ssHitData_procX(&hitData, info, protocol, xact);
  ssErrorData_procX(&errorData, info, protocol, xact);
  resourceStats->processTransaction(info, protocol, xact, trackerEntry);
}
