// The domains of the clients of one HTTP server (or one transaction subset of it), per bin:
// transactions from clients whose name resolved (by domain), did not resolve, or has no domain.
// One module of OB_HTTPServerStatsModules; domain names are own copies.
#pragma once

#include <cstdint>

#include <cstdio>

#include "stats/StatsModule.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
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

// One transaction in bin b from a client named host: a name without letters (an address) is
// unresolved, one without '.' has no domain, any other counts under its domain, the text after
// its last '.' in lower case.
void ssDomainsSeenData_procX(ssDomainsSeenData* module, int b, const char* host);

// Header: resolved, unresolved and no-domain totals; entries: the domains in order of first
// appearance.
statsBreakdown_t* ssDomainsSeenData_getBreakdownSummary(ssDomainsSeenData* module);
// The series of exactly that domain; zeros under the name when unknown.
statsSeries_t* ssDomainsSeenData_getSeries(ssDomainsSeenData* module, const char* name);

void ssDomainsSeenData_print(FILE* stream, ssDomainsSeenData* module);

// Console commands 1050 and 1051.
int hcommand_HTTPServerDomainBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request);
int hcommand_HTTPServerDomainSeries(OB_HTTPAnalysisStats* stats, int socket,
                                    OB_AEngineTCPRequest* request);
