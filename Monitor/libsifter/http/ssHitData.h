// Every HTTP transaction of one server (or one transaction subset of it), per bin: all hits, by
// request method, by the content type of the response ("from server", with how many of those
// responses began a visit) and by the content type of the request body ("to server"). One
// module of OB_HTTPServerStatsModules. Names are shared through the MIME-type hash.
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

// Whether a response begins a visit: a content type and no referer, or a referer that does not
// name the request's host (letter case ignored). The transaction is only read: it may be the
// one the capture engine hands on to the archive writer and every other listener.
bool ssHitData_isEntryPoint(const OB_HTTPXact* xact);

// One transaction in bin info->windowIndex: a hit; its method; the response's content type
// (and whether it began a visit); the request body's content type. Empty texts count only as a
// hit. The transaction is not changed.
void ssHitData_procX(ssHitData* module, const httpNetInfo_t* info, OB_HTTPProtocol* protocol,
                     const OB_HTTPXact* xact);

// "All Hits" and every method with their totals, largest first.
statsBreakdown_t* ssHitData_getMethodBreakdownSummary(ssHitData* module);
// "All Hits", or the method of exactly that name; zeros under the name when there is none.
statsSeries_t* ssHitData_getMethodHitSeries(ssHitData* module, const char* name);
// The response and the request content types (their total entries included), each largest
// first.
void ssHitData_getMIMEBreakdownSummary(ssHitData* module, statsBreakdown_t** from,
                                       statsBreakdown_t** to);
// kind < 1: a response content type; else a request content type. Zeros for an unknown name.
statsSeries_t* ssHitData_getMIMEHitSeries(ssHitData* module, int32_t kind, const char* name);
// The visits begun by responses of that content type, under "Entry point counts for <name>".
statsSeries_t* ssHitData_getMIMEEntryPointSeries(ssHitData* module, const char* name);
// "text/html" responses per visit begun by one, rounded up; 0 where no visit began.
statsSeries_t* ssHitData_getPagesPerEntrySeries(ssHitData* module);

void ssHitData_printMethodBreakdown(FILE* stream, ssHitData* module);
void ssHitData_printMIMEBreakdown(FILE* stream, ssHitData* module);

// Console commands 1003, 1005, 1006, 1010, 1011, 1012 and 1060.
int hcommand_HTTPServerHitOverviewSeries(OB_HTTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request);
int hcommand_HTTPServerMethodBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request);
int hcommand_HTTPServerMethodSeries(OB_HTTPAnalysisStats* stats, int socket,
                                    OB_AEngineTCPRequest* request);
int hcommand_HTTPServerMIMEBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                     OB_AEngineTCPRequest* request);
int hcommand_HTTPServerMIMESeries(OB_HTTPAnalysisStats* stats, int socket,
                                  OB_AEngineTCPRequest* request);
int hcommand_HTTPServerMIMEEntryPointSeries(OB_HTTPAnalysisStats* stats, int socket,
                                            OB_AEngineTCPRequest* request);
int hcommand_HTTPServerPagesPerEntrySeries(OB_HTTPAnalysisStats* stats, int socket,
                                           OB_AEngineTCPRequest* request);
