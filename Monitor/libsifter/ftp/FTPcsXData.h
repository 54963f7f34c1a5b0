// The FTP client-side modules of one network group in one time window: FTPcsXData counts the
// file transfers of connections that touch the group by the direction in which the connection
// crosses its boundary, FTPcsServersSeenData the transfers of each FTP server address inside
// the group. Both are plain records held by the group's element of OB_FTPAnalysisStats and fed
// under the FTP reader's lock; the console's 5005, 5006, 5010 and 5011 handlers read them under
// the same lock.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/StatsModule.h"
#include "stats/csXData.h"

class OB_AEngineTCPRequest;
class OB_FTPAnalysisStats;
class OB_FTPProtocol;
class OB_FTPftranLink;
class OB_IndexChanger;
struct FTPServersSeenIndex;

// The HTTP groups' record (csXData) counting file transfers: all, out2in (client outside,
// server inside) and in2in (both inside); its queries are the HTTP module's.
struct FTPcsXData : csXData {};

struct FTPcsServersSeenData {
  OB_IndexChanger* window;  // not owned
  statsCounterList_t servers;  // "All Server Hits" first, then one entry per server address
  FTPServersSeenIndex* index;  // owned: the entries by server address
};

void FTPcsXData_initAll(OB_IndexChanger* window, FTPcsXData* module, uint32_t numOfBins);
void FTPcsXData_freeAll(FTPcsXData* module);
// One transfer in bin, with whether the group holds the client and the server.
void FTPcsXData_procX(FTPcsXData* module, int32_t bin, int clientIn, int serverIn);
// The three sums over every bin: all, out2in, in2in.
inline void FTPcsXData_getBreakdown(uint64_t result[3], FTPcsXData* module) {
  csXData_getBreakdown(result, module);
}
// The series of type 0 (all), 1 (out2in) or 2 (in2in), named by its number; null for another
// type.
inline statsSeries_t* FTPcsXData_getXHitSeries(FTPcsXData* module, int32_t type) {
  return csXData_getXHitSeries(module, type);
}
void FTPcsXData_print(FILE* stream, FTPcsXData* module);

void FTPcsServersSeenData_initAll(OB_IndexChanger* window, FTPcsServersSeenData* module,
                                  uint32_t numOfBins);
void FTPcsServersSeenData_freeAll(FTPcsServersSeenData* module);
// One transfer of protocol, whose server lies in the group, in bin: counted under
// "All Server Hits" and under the server's address. A new address gets an entry named by the
// domain-name cache, which resolves it only when it does not know it yet. A server named like
// the total (in any case) is counted once, under the total.
void FTPcsServersSeenData_procX(FTPcsServersSeenData* module, int32_t bin,
                                const OB_FTPProtocol* protocol, const OB_FTPftranLink* transfer);
// Every entry's name and total, in list order, no header fields.
statsBreakdown_t* FTPcsServersSeenData_getServersSeenBreakdownSummary(
    FTPcsServersSeenData* module);
// The series of the first entry of that name; zeros when none has it.
statsSeries_t* FTPcsServersSeenData_getSeries(FTPcsServersSeenData* module, const char* name);
void FTPcsServersSeenData_print(FILE* stream, FTPcsServersSeenData* module);

// The console commands of a network group (the request's item index). 0, or -1 (logged) when
// the group index is out of range, a request field cannot be read, a series type is unknown, or
// a write fails.
int hcommand_FTPClientXBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                 OB_AEngineTCPRequest* request);
int hcommand_FTPClientXSeries(OB_FTPAnalysisStats* stats, int socket,
                              OB_AEngineTCPRequest* request);
int hcommand_FTPClientServersSeenBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                           OB_AEngineTCPRequest* request);
int hcommand_FTPClientServersSeenSeries(OB_FTPAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request);
