// Every HTTP transaction of one server (or one transaction subset of it), per bin: all hits, by
// request method, by the content type of the response ("from server", with how many of those
// responses began a visit) and by the content type of the request body ("to server"). One
// module of OB_HTTPServerStatsModules. Names are shared through the MIME-type hash.
#pragma once

#include <cstdint>

#include "StatsModule.h"

class OB_IndexChanger;

struct ssHitData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* hits;               // owned
  statsCounterList_t methods;   // first entry "GET"
  statsCounterList_t from;      // first "All FROM Server"; arrays: hits, entry points
  statsCounterList_t to;        // first "All TO Server"
};

void ssHitData_initAll(OB_IndexChanger* window, ssHitData* module, uint32_t numOfBins);
void ssHitData_freeAll(ssHitData* module);
