// The client programs (user-agent texts, exactly as sent) of one HTTP server's transactions (or
// of one transaction subset), per bin, in 251 buckets by the analysis name hash, each bucket in
// order of first appearance. One module of OB_HTTPServerStatsModules; names are own copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "StatsModule.h"

class OB_IndexChanger;

struct ssUserAgentData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* transactions;  // every transaction taken in; owned
  size_t numOfUserAgents;
  statsCounterList_t agents[kNameBuckets];
};

void ssUserAgentData_initAll(OB_IndexChanger* window, ssUserAgentData* module, uint32_t numOfBins);
void ssUserAgentData_freeAll(ssUserAgentData* module);
