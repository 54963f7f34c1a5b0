// The outside sites (and their pages) that referred visitors to one HTTP server (or one
// transaction subset of it), per bin. Hosts sit in 251 buckets by the analysis name hash, each
// bucket in order of first appearance, and every host keeps its own list of paths. One module
// of OB_HTTPServerStatsModules; names are the module's own copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "StatsModule.h"

class OB_IndexChanger;

struct ssReferersSeenData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* referrals;  // every counted referral; owned
  size_t numOfHosts;
  statsCounterList_t hosts[kNameBuckets];  // a host's paths are its sub-list
};

void ssReferersSeenData_initAll(OB_IndexChanger* window, ssReferersSeenData* module,
                                uint32_t numOfBins);
void ssReferersSeenData_freeAll(ssReferersSeenData* module);
