#include "OB_HTTPServerStats.h"

#include <cstdlib>

#include "OB_AEngineConfig.h"
#include "OB_HTTPServer.h"
#include "OB_HTTPServerStatsModules.h"
#include "OB_Log.h"

OB_HTTPServerStats::~OB_HTTPServerStats() { OB_HTTPServerStats::reset(); }

int OB_HTTPServerStats::init(OB_IndexChanger* window, OB_AEngineConfig* config, int serverIndex) {
  if (config == nullptr || serverIndex < 0 || serverIndex >= config->numOfHTTPServers) {
    OB_Log::ret("OB_HTTPServerStats::init: no HTTP server %d", serverIndex);
    return -1;
  }
  modules = new OB_HTTPServerStatsModules();
  if (modules == nullptr) OB_Log::quit("initServerSpace: not enough memory");
  modules->init(window);
  server = config->httpServers[serverIndex];
  numXSubsets = config->numOfXSubSets;
  if (numXSubsets == 0) return 0;
  xSubsets = static_cast<XSubset_t*>(std::calloc(numXSubsets, sizeof *xSubsets));
  xModules = static_cast<OB_HTTPServerStatsModules**>(std::calloc(numXSubsets, sizeof *xModules));
  if (xSubsets == nullptr || xModules == nullptr) OB_Log::quit("initServerSpace: not enough memory");
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
  numXSubsets = 0;
  // The IP tracker goes here, last, once it exists.
  server = nullptr;
  return 0;
}
