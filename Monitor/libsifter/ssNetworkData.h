// What the TCP connections of one HTTP server (or one transaction subset of it) looked like, per
// bin of the window: new client addresses, rejected, unacknowledged and empty connections, and
// the server and network response times (largest, smallest, average). One module of
// OB_HTTPServerStatsModules; its step runs once per connection.
#pragma once

#include <cstdint>

class OB_IndexChanger;

// The smallest time of a bin without connections.
constexpr uint32_t kNoMinimumTime = 1000000000;

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
