// The outside sites (and their pages) that referred visitors to one HTTP server (or one
// transaction subset of it), per bin. Hosts sit in 251 buckets by the analysis name hash, each
// bucket in order of first appearance, and every host keeps its own list of paths. One module
// of OB_HTTPServerStatsModules; names are the module's own copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "stats/StatsModule.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
class OB_HTTPProtocol;
class OB_HTTPServer;
class OB_HTTPXact;
class OB_IndexChanger;
struct httpNetInfo_t;

struct ssReferersSeenData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* referrals;  // every counted referral; owned
  statsBucketList_t hosts;  // a host's paths are its sub-list; its count: distinct hosts
};

void ssReferersSeenData_initAll(OB_IndexChanger* window, ssReferersSeenData* module,
                                uint32_t numOfBins);
void ssReferersSeenData_freeAll(ssReferersSeenData* module);

// One transaction in bin info->windowIndex: its referer, when it names another site than the
// server (by its host, addresses or alternate names), counts for that site (lower case, without
// "http://") and the page on it (the path up to the first of "?;# "). server may be null (no
// address or name tests).
void ssReferersSeenData_procX(ssReferersSeenData* module, const httpNetInfo_t* info,
                              OB_HTTPProtocol* protocol, const OB_HTTPXact* xact,
                              OB_HTTPServer* server);
// The rule above without the counting: true when the transaction's (non-empty) referer names
// another site, with *site its name in lower case (written to text, which holds the referer's
// width) and *page a view into the referer.
bool ssReferersSeenData_otherSite(const OB_HTTPXact* xact, OB_HTTPServer* server, char* text,
                                  std::string_view* site, std::string_view* page);

// The n referring hosts with most referrals.
statsTopN_t* ssReferersSeenData_getHostBreakdownSummary(ssReferersSeenData* module, int n);
// The paths of one host in order of first appearance; no entries for an unknown host.
statsBreakdown_t* ssReferersSeenData_getSpecificBreakdownSummary(ssReferersSeenData* module,
                                                                 const char* host);
// type 0: every referral, under "All hosts"; 1: one host; 2: one path of one host. An unknown
// host or path gives zeros under an empty name; another type gives null.
statsSeries_t* ssReferersSeenData_getHitSeries(ssReferersSeenData* module, int32_t type,
                                               const char* host, const char* path);

void ssReferersSeenData_print(FILE* stream, ssReferersSeenData* module);

// Console commands 1033, 1035, 1040 and 1045.
int hcommand_HTTPServerRefererHostsBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request);
int hcommand_HTTPServerRefererTopHosts(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request);
int hcommand_HTTPServerRefererPathsBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request);
int hcommand_HTTPServerRefererSeries(OB_HTTPAnalysisStats* stats, int socket,
                                     OB_AEngineTCPRequest* request);
