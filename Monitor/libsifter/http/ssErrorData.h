// The HTTP transactions of one server (or one transaction subset of it) whose response status is
// an error, per bin, by status code and by requested resource (the path without query,
// parameters or fragment). One module of OB_HTTPServerStatsModules. Names are shared through the
// resource hash.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/StatsModule.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
class OB_HTTPProtocol;
class OB_HTTPXact;
class OB_IndexChanger;
struct httpNetInfo_t;

struct ssErrorData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  statsCounterList_t types;      // first entry "All Errors"
  statsCounterList_t resources;
};

void ssErrorData_initAll(OB_IndexChanger* window, ssErrorData* module, uint32_t numOfBins);
void ssErrorData_freeAll(ssErrorData* module);

// 1 when a status text is an error: 4xx and 5xx, and everything but 200-203 and 304 (other 2xx,
// 1xx, 3xx, text that is not a number). Only the first three characters count.
int ssErrorData_isError(const char* status);

// One transaction in bin info->windowIndex: an error response counts under "All Errors", its
// status text and its resource. A transaction without a status is not counted.
void ssErrorData_procX(ssErrorData* module, const httpNetInfo_t* info, OB_HTTPProtocol* protocol,
                       const OB_HTTPXact* xact);

// Every status entry ("All Errors" included) with its total, largest first.
statsBreakdown_t* ssErrorData_getErrorBreakdownSummary(ssErrorData* module);
// The n resources with most errors whose path contains filter.
statsTopN_t* ssErrorData_getErrorResourceTopN(ssErrorData* module, int n, const char* filter);
// The series of a status (or "All Errors") or of a resource; zeros under the name when unknown.
statsSeries_t* ssErrorData_getTypeSeries(ssErrorData* module, const char* name);
statsSeries_t* ssErrorData_getResourceSeries(ssErrorData* module, const char* name);

void ssErrorData_printTypes(FILE* stream, ssErrorData* module);
void ssErrorData_printResources(FILE* stream, ssErrorData* module);

// Console commands 1020, 1021 and 1022.
int hcommand_HTTPServerErrorTypeBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                          OB_AEngineTCPRequest* request);
int hcommand_HTTPServerErrorResourceBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                              OB_AEngineTCPRequest* request);
int hcommand_HTTPServerErrorSeries(OB_HTTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request);
