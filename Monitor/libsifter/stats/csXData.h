// The HTTP client-side modules of one network group in one time window: csXData counts the
// transactions of connections that touch the group by the direction in which they cross its
// boundary, csServersSeenData the transactions to each server address inside the group. Both are
// plain records owned by the group's OB_HTTPNetworkGroup and fed under the window's statistics
// lock; the console's 2005, 2006, 2010 and 2011 handlers read them under the same lock.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/StatsModule.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
class OB_HTTPProtocol;
class OB_IndexChanger;
struct httpNetInfo_t;
struct ServersSeenIndex;

struct csXData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* all;     // owned: every transaction whose client or server lies in the group
  uint32_t* out2in;  // owned: client outside, server inside
  uint32_t* in2in;   // owned: both inside
};

// The series kinds of csXData_getXHitSeries.
constexpr int32_t kXAll = 0;
constexpr int32_t kXOut2In = 1;
constexpr int32_t kXIn2In = 2;

struct csServerEntry {
  const char* name;  // the domain-name cache's text; not owned
  uint32_t address;  // host order; 0 for "All Server Hits"
  uint32_t* counts;  // owned, numOfBins
  csServerEntry* next;
};

struct csServersSeenData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint16_t count;
  csServerEntry* head;  // owned chain; "All Server Hits" first
  csServerEntry* tail;
  ServersSeenIndex* index;  // owned: entries by address
};

void csXData_initAll(OB_IndexChanger* window, csXData* module, uint32_t numOfBins);
// The steps the HTTP and FTP crossing records share. initCounts allocates the three zeroed
// arrays (who names the caller when memory runs out); count takes one hit at bin, which the
// caller has checked lies in the window.
void csXData_initCounts(OB_IndexChanger* window, csXData* module, uint32_t numOfBins,
                        const char* who);
void csXData_freeCounts(csXData* module);
void csXData_count(csXData* module, int32_t bin, int clientIn, int serverIn);
// The console's replies: the three sums, or the series of type (its number, both times, the
// bin count and the values). 0, or -1 when a write fails or the type is unknown.
int csXData_writeBreakdown(int socket, csXData* module);
int csXData_writeXSeries(int socket, csXData* module, int32_t type);
void csXData_freeAll(csXData* module);
// One transaction at the bin of info.
void csXData_procX(csXData* module, const httpNetInfo_t* info, int clientIn, int serverIn);
// The three sums over every bin: all, out2in, in2in.
void csXData_getBreakdown(uint64_t result[3], csXData* module);
// The series of kind (kXAll, kXOut2In, kXIn2In) named by its number; null for another kind.
statsSeries_t* csXData_getXHitSeries(csXData* module, int32_t type);

void csServersSeenData_initAll(OB_IndexChanger* window, csServersSeenData* module,
                               uint32_t numOfBins);
void csServersSeenData_freeAll(csServersSeenData* module);
// One transaction of protocol, whose server lies in the group, at the bin of info: counted under
// "All Server Hits" and under the server's address (a new address gets its entry, named from the
// domain-name cache, which resolves it only when it does not know it yet). A server named like
// the total (in any case) is counted once, under the total.
void csServersSeenData_procX(csServersSeenData* module, const httpNetInfo_t* info,
                             const OB_HTTPProtocol* protocol);
// Every entry's name and total, in list order, no header fields.
statsBreakdown_t* csServersSeenData_getServersSeenBreakdownSummary(csServersSeenData* module);
// The series of the first entry of that name; zeros when none has it.
statsSeries_t* csServersSeenData_getSeries(csServersSeenData* module, const char* name);
void csServersSeenData_print(FILE* stream, csServersSeenData* module);

// The console commands of a network group (the request's item index). 0, or -1 (logged) when
// the group index is out of range, a request field cannot be read, a series type is unknown, or
// a write fails.
int hcommand_HTTPClientXBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                  OB_AEngineTCPRequest* request);
int hcommand_HTTPClientXSeries(OB_HTTPAnalysisStats* stats, int socket,
                               OB_AEngineTCPRequest* request);
int hcommand_HTTPClientServersSeenBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                            OB_AEngineTCPRequest* request);
int hcommand_HTTPClientServersSeenSeries(OB_HTTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request);
