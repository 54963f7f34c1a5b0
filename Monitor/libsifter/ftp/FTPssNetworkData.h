// What the control connections of one FTP server (or one transaction subset of it) looked like,
// per bin of the window: new client addresses, rejected and unacknowledged connections, and the
// server and network response times (largest, smallest, average). One module of an FTP server's
// module set (OB_FTPAnalysisStats); its step runs once per connection, under the FTP reader's
// lock.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/StatsModule.h"

class OB_FTPProtocol;
class OB_IndexChanger;
struct ftpNetInfo_t;

// One kind of response time, per bin, in µs.
struct FTPRespTimes {
  uint32_t* max;    // 0 in a bin without connections
  uint32_t* min;    // kNoMinimumTime in a bin without connections
  uint32_t* ave;    // sum / count
  uint64_t* sum;    // 64-bit: a busy bin's 32-bit sum would overflow
  uint32_t* count;  // times added
};

struct FTPssNetworkData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  // One value per bin each; owned.
  uint32_t* uniqueIPs;
  uint32_t* rejected;
  uint32_t* unacked;  // unacknowledged and not rejected
  FTPRespTimes server;
  FTPRespTimes network;
};

// Allocates the arrays with their initial values (0, minima kNoMinimumTime).
void FTPssNetworkData_initAll(OB_IndexChanger* window, FTPssNetworkData* module,
                              uint32_t numOfBins);
void FTPssNetworkData_freeAll(FTPssNetworkData* module);

// One connection in bin info->windowIndex: whether its client was new to the server, how it
// ended, and its two response times (added whatever the ending, zero included).
void FTPssNetworkData_procX(FTPssNetworkData* module, const ftpNetInfo_t* info,
                            const OB_FTPProtocol* protocol);

// "Unique IP Addresses", "Rejected TCP Connections", "Unacknoledged TCP Connections".
statsSeries_t* FTPssNetworkData_getUniqueIPSeries(FTPssNetworkData* module);
statsSeries_t* FTPssNetworkData_getRejectConnSeries(FTPssNetworkData* module);
statsSeries_t* FTPssNetworkData_getUnackConnSeries(FTPssNetworkData* module);

// One kind of response time over the window: three figures and the per-bin arrays in time
// order (owned). The figures are the largest time of the window (the largest bin maximum), its
// smallest (the smallest minimum of the bins that had connections) and its average (the sum of
// the times over the connection count); all three 0 without connections.
struct FTPRespTimeRun {
  uint32_t max, min, ave;
  uint32_t *maxs, *mins, *aves;
};

// The response-time record of a window.
struct FTPRespTimeData_t {
  int32_t nowTime;
  int32_t agoTime;
  uint32_t numOfBins;
  uint64_t totalCount;  // connections whose times were added
  uint32_t* counts;     // owned, per bin in time order
  FTPRespTimeRun server;
  FTPRespTimeRun network;
};
FTPRespTimeData_t* FTPssNetworkData_getResponseTimeData(FTPssNetworkData* module);
void FTPssNetworkData_freeResponseTimeData(FTPRespTimeData_t* data);

// The current bin's response times as text.
void FTPssNetworkData_print(FILE* stream, FTPssNetworkData* module);
