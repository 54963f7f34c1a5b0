// The HTTP transactions of one server (or one transaction subset of it) whose response status is
// an error, per bin, by status code and by requested resource (the path without query,
// parameters or fragment). One module of OB_HTTPServerStatsModules. Names are shared through the
// resource hash.
#pragma once

#include <cstdint>

#include "StatsModule.h"

class OB_IndexChanger;

struct ssErrorData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  statsCounterList_t types;      // first entry "All Errors"
  statsCounterList_t resources;
};

void ssErrorData_initAll(OB_IndexChanger* window, ssErrorData* module, uint32_t numOfBins);
void ssErrorData_freeAll(ssErrorData* module);
