// What the TCP connections of one HTTP server (or one transaction subset of it) looked like, per
// bin of the window: new client addresses, rejected, unacknowledged and empty connections, and
// the server and network response times (largest, smallest, average). One module of
// OB_HTTPServerStatsModules; its step runs once per connection.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/StatsModule.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
class OB_HTTPProtocol;
class OB_IndexChanger;
struct httpNetInfo_t;

struct ssNetworkData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  // One value per bin each; owned.
  uint32_t* uniqueIPs;
  uint32_t* rejected;
  uint32_t* unacked;
  uint32_t* empty;
  // Response times in µs. Sums are 64-bit: a busy bin's 32-bit sum would overflow.
  uint32_t* srvMax;
  uint32_t* srvMin;
  uint32_t* srvAve;
  uint64_t* srvSum;
  uint32_t* srvCount;
  uint32_t* netMax;
  uint32_t* netMin;
  uint32_t* netAve;
  uint64_t* netSum;
  uint32_t* netCount;
};

// Allocates the arrays with their initial values (0, minima kNoMinimumTime).
void ssNetworkData_initAll(OB_IndexChanger* window, ssNetworkData* module, uint32_t numOfBins);
void ssNetworkData_freeAll(ssNetworkData* module);

// One connection in bin info->windowIndex: whether its client was new, how it ended, and its two
// response times. Rejected, unacknowledged and empty connections add their times too.
void ssNetworkData_procPO(ssNetworkData* module, const httpNetInfo_t* info,
                          const OB_HTTPProtocol* protocol);

// Series of the connection counts under "Unique IP Addresses", "Rejected TCP Connections",
// "Unacknoledged TCP Connections" and "Empty TCP Connections".
statsSeries_t* ssNetworkData_getUniqueIPSeries(ssNetworkData* module);
statsSeries_t* ssNetworkData_getRejectConnSeries(ssNetworkData* module);
statsSeries_t* ssNetworkData_getUnackConnSeries(ssNetworkData* module);
statsSeries_t* ssNetworkData_getEmptyConnSeries(ssNetworkData* module);

// The response times of a window, per-bin arrays in time order (all owned).
struct ssRespTimeData_t {
  int32_t nowTime;
  int32_t agoTime;
  uint32_t numOfBins;
  uint64_t totalCount;  // connections whose times were added
  uint32_t* counts;
  // Window-wide: the largest bin maximum, the smallest minimum of a bin with connections
  // (kNoMinimumTime when none has), the sum over all bins divided by the total count (0 without).
  uint32_t srvMax, srvMin, srvAve;
  uint32_t *srvMaxs, *srvMins, *srvAves;
  uint32_t netMax, netMin, netAve;
  uint32_t *netMaxs, *netMins, *netAves;
};
ssRespTimeData_t* ssNetworkData_getResponseTimeData(ssNetworkData* module);
void ssNetworkData_freeResponseTimeData(ssRespTimeData_t* data);

// The current bin's response times as text.
void ssNetworkData_print(FILE* stream, ssNetworkData* module);

// Console command 1015: the response-time record of the request's server and subset.
int hcommand_HTTPServerResponseTimeSeries(OB_HTTPAnalysisStats* stats, int socket,
                                          OB_AEngineTCPRequest* request);
