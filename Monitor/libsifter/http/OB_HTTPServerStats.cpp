#include "http/OB_HTTPServerStats.h"

#include <cstdlib>

#include "OB_Log.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "http/OB_ResourceStats.h"
#include "http/ssHitData.h"
#include "http/ssReferersSeenData.h"
#include "stats/OB_IPTracker.h"

OB_HTTPServerStats::~OB_HTTPServerStats() { OB_HTTPServerStats::reset(); }

int OB_HTTPServerStats::init(OB_IndexChanger* window, OB_AEngineConfig* config, int serverIndex) {
  if (config == nullptr || serverIndex < 0 || serverIndex >= config->numOfHTTPServers) {
    OB_Log::ret("OB_HTTPServerStats::init: no HTTP server %d", serverIndex);
    return -1;
  }
  ipTracker = new OB_IPTracker(window);
  modules = new OB_HTTPServerStatsModules();
  if (ipTracker == nullptr || modules == nullptr) OB_Log::quit("initServerSpace: not enough memory");
  modules->init(window);
  // Only the set of all transactions raises the clients' counts and paths in the tracker, so a
  // client in two subsets is not counted three times.
  modules->resourceStats->setTracksClients(1);
  server = config->httpServers[serverIndex];
  numXSubsets = config->numOfXSubSets;
  if (numXSubsets == 0) return 0;
  xSubsets = static_cast<XSubset_t*>(std::calloc(numXSubsets, sizeof *xSubsets));
  xModules = static_cast<OB_HTTPServerStatsModules**>(std::calloc(numXSubsets, sizeof *xModules));
  subsetHolds = static_cast<bool*>(std::calloc(numXSubsets, sizeof *subsetHolds));
  if (xSubsets == nullptr || xModules == nullptr || subsetHolds == nullptr)
    OB_Log::quit("initServerSpace: not enough memory");
  for (uint16_t i = 0; i < numXSubsets; ++i) {
    xModules[i] = new OB_HTTPServerStatsModules();
    if (xModules[i] == nullptr) OB_Log::quit("initServerSpace: not enough memory");
    xModules[i]->init(window);
    XSubset_copy(&xSubsets[i], config->xSubSets[i]);
  }
  return 0;
}

int OB_HTTPServerStats::reset() {
  obRelease(modules);
  modules = nullptr;
  if (xModules != nullptr)
    for (uint16_t i = 0; i < numXSubsets; ++i) obRelease(xModules[i]);
  std::free(xModules);
  xModules = nullptr;
  std::free(xSubsets);
  xSubsets = nullptr;
  std::free(subsetHolds);
  subsetHolds = nullptr;
  numXSubsets = 0;
  obRelease(ipTracker);
  ipTracker = nullptr;
  obRelease(scratch);
  scratch = nullptr;
  server = nullptr;
  return 0;
}

int OB_HTTPServerStats::processProtocol(httpNetInfo_t* info, OB_HTTPProtocol* protocol) {
  if (server == nullptr || modules == nullptr || protocol == nullptr) return 0;
  if (server->isServerPortMatch(&protocol->serverPort) == 0 ||
      server->isServerIPMatch(&protocol->serverIP) == 0 ||
      server->isClientIPMatch(&protocol->clientIP) == 0)
    return 0;
  if (server->isContentFiltered() != 0) {
    procContentFiltered(info, protocol);
  } else {
    procNotContentFiltered(info, protocol);
  }
  return 1;
}

OB_HTTPXact* OB_HTTPServerStats::masked(OB_HTTPXact* xact) {
  if (server->paramMaskApply == 0) return xact;
  if (scratch == nullptr) {
    scratch = new OB_HTTPXact();
    if (scratch == nullptr) OB_Log::quit("initServerSpace: not enough memory");
  }
  xact->copy(scratch);
  server->maskParamValues(scratch->req_request_uri.data(), scratch->req_request_uri.width);
  server->maskParamValues(scratch->req_referer.data(), scratch->req_referer.width);
  return scratch;
}

OB_IPTrackerHash* OB_HTTPServerStats::countConnection(httpNetInfo_t* info,
                                                      OB_HTTPProtocol* protocol) {
  OB_IPTrackerHash* client = nullptr;
  // The rest of a connection cut off at the byte limit: its connection (client, kind,
  // handshake times) was counted with the first piece; only its transactions count.
  const bool counted = protocol->continued != 0;
  if (counted) client = ipTracker->findRecord(protocol->clientIP);
  // The resources step adds one per transaction, so the connection itself adds nothing.
  if (client == nullptr)
    info->isNewClientIP =
        ipTracker->procAddress(protocol->xTime(), 0, &protocol->clientIP, &client);
  if (!counted) ssNetworkData_procPO(&modules->networkData, info, protocol);
  for (uint16_t i = 0; i < numXSubsets; ++i) {
    subsetHolds[i] = XSubset_isMatch(&xSubsets[i], &protocol->clientIP) != 0;
    if (subsetHolds[i] && !counted)
      ssNetworkData_procPO(&xModules[i]->networkData, info, protocol);
  }
  return client;
}

void OB_HTTPServerStats::countTransaction(httpNetInfo_t* info, OB_HTTPProtocol* protocol,
                                          OB_HTTPXact* xact, OB_IPTrackerHash* client) {
  // Every set of this server sees the same transaction: what its modules read from it is
  // worked out here once. Nothing is written to it: it is the capture consumer's own object,
  // handed on to every later listener.
  httpXactFacts_t facts;
  facts.entryPoint = ssHitData_isEntryPoint(xact) ? 1 : 0;
  facts.resourceHash =
      OB_ResourceStats::pairHash(xact->req_request_uri.c_str(), xact->req_request_uri.length(),
                                 xact->res_content_type.c_str(), xact->res_content_type.length());
  facts.refererCounted =
      !xact->req_referer.empty() &&
      ssReferersSeenData_otherSite(xact, server, facts.refererHostText, &facts.refererHost,
                                   &facts.refererPath);
  info->facts = &facts;
  modules->procX4allHTTPServerStatsModules(server, info, protocol, xact, client);
  for (uint16_t i = 0; i < numXSubsets; ++i)
    if (subsetHolds[i])
      xModules[i]->procX4allHTTPServerStatsModules(server, info, protocol, xact, client);
  info->facts = nullptr;
}

void OB_HTTPServerStats::procNotContentFiltered(httpNetInfo_t* info, OB_HTTPProtocol* protocol) {
  OB_IPTrackerHash* client = countConnection(info, protocol);
  for (OB_Xact* link = protocol->head; link != nullptr; link = link->nextItem())
    if (OB_HTTPXact* xact = obQuery<OB_HTTPXact>(link); xact != nullptr)
      countTransaction(info, protocol, masked(xact), client);
}

void OB_HTTPServerStats::procContentFiltered(httpNetInfo_t* info, OB_HTTPProtocol* protocol) {
  // The filter judges the URL as the modules would see it, masked.
  auto passes = [this](OB_HTTPXact* seen) {
    return server->isURLMatch(seen->req_request_uri.c_str()) != 0 &&
           server->isUserAgentMatch(seen->req_user_agent.c_str()) != 0;
  };
  bool any = false;
  for (OB_Xact* link = protocol->head; link != nullptr && !any; link = link->nextItem())
    if (OB_HTTPXact* xact = obQuery<OB_HTTPXact>(link); xact != nullptr) any = passes(masked(xact));
  if (!any) return;
  OB_IPTrackerHash* client = countConnection(info, protocol);
  for (OB_Xact* link = protocol->head; link != nullptr; link = link->nextItem()) {
    OB_HTTPXact* xact = obQuery<OB_HTTPXact>(link);
    if (xact == nullptr) continue;
    OB_HTTPXact* seen = masked(xact);
    if (passes(seen)) countTransaction(info, protocol, seen, client);
  }
}
