// The domains of the clients of one HTTP server (or one transaction subset of it), per bin:
// transactions from clients whose name resolved (by domain), did not resolve, or has no domain.
// One module of OB_HTTPServerStatsModules; domain names are own copies.
#pragma once

#include <cstdint>

#include "StatsModule.h"

class OB_IndexChanger;

struct ssDomainsSeenData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* resolved;    // owned, each
  uint32_t* unresolved;
  uint32_t* noDomain;
  statsCounterList_t domains;
};

void ssDomainsSeenData_initAll(OB_IndexChanger* window, ssDomainsSeenData* module,
                               uint32_t numOfBins);
void ssDomainsSeenData_freeAll(ssDomainsSeenData* module);
