// The client programs (user-agent texts, exactly as sent) of one HTTP server's transactions (or
// of one transaction subset), per bin, in 251 buckets by the analysis name hash, each bucket in
// order of first appearance. One module of OB_HTTPServerStatsModules; names are own copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cstdio>

#include "stats/StatsModule.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
class OB_HTTPProtocol;
class OB_HTTPXact;
class OB_IndexChanger;
struct httpNetInfo_t;

struct ssUserAgentData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* transactions;  // every transaction taken in; owned
  statsBucketList_t agents;  // its count: the distinct user agents
};

void ssUserAgentData_initAll(OB_IndexChanger* window, ssUserAgentData* module, uint32_t numOfBins);
void ssUserAgentData_freeAll(ssUserAgentData* module);

// One transaction in bin info->windowIndex, under its user-agent text (the empty text too).
void ssUserAgentData_procX(ssUserAgentData* module, const httpNetInfo_t* info,
                           OB_HTTPProtocol* protocol, const OB_HTTPXact* xact);

// Header: every transaction (allXCount); entries: the n user agents with most transactions
// among those that contain filter.
statsBreakdown_t* ssUserAgentData_getBreakdownSummary(ssUserAgentData* module, int n,
                                                      const char* filter);
// The series of exactly that user agent; zeros under the name when unknown.
statsSeries_t* ssUserAgentData_getSeries(ssUserAgentData* module, const char* name);

void ssUserAgentData_print(FILE* stream, ssUserAgentData* module);

// Console commands 1055 and 1056.
int hcommand_HTTPServerUserAgentBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                          OB_AEngineTCPRequest* request);
int hcommand_HTTPServerUserAgentSeries(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request);
