// Traffic volume per bin of one scope of the network statistics (all traffic, a network group,
// an HTTP or FTP server, a transaction subset of one): packets and bytes seen, accepted and
// reported dropped. The all-traffic scope takes the capture totals of each network record; the
// other scopes take the address pairs they hold, which give accepted packets and bytes only.
// A plain record fed by the network reader under its lock; the queries take the window's lock.
#pragma once

#include <cstdint>
#include <cstdio>

class OB_AddrPair;
class OB_AllNetData;
class OB_IndexChanger;

struct netUtilData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  // One 64-bit total per bin each; owned, null before init and after free.
  int64_t* packsSeen;
  int64_t* bytesSeen;
  int64_t* packsAccepted;
  int64_t* bytesAccepted;
  int64_t* reportedDropped;
};

// Allocates the five zeroed arrays when they do not exist yet (a module already built keeps
// its counts). Out of memory ends the process.
void netUtilData_init(OB_IndexChanger* window, netUtilData* module, uint32_t numOfBins);
// Frees the arrays; the module can be built again by init.
void netUtilData_free(netUtilData* module);

// The record's capture totals added to bin `bin` of all five arrays.
void netUtilData_procAllTraffic(netUtilData* module, int bin, const OB_AllNetData* record);
// The pair's packets and bytes added to bin `bin` of the accepted arrays.
void netUtilData_procAddrPair(netUtilData* module, int bin, const OB_AddrPair* pair);
// Bin `bin` of all five arrays to 0, under the window's lock.
void netUtilData_resetBin(netUtilData* module, int bin);
// The accepted packets and bytes summed over all bins, under the window's lock.
void netUtilData_getAcceptedTotals(netUtilData* module, int64_t* packs, int64_t* bytes);

// The arrays of a window in time order (oldest bin first). The accepted breakdown fills
// packsAccepted and bytesAccepted only; the other arrays are null. Owned by the caller.
struct netUtilBreakdown_t {
  int32_t nowTime;
  int32_t agoTime;
  uint32_t numOfBins;
  int64_t* packsSeen;
  int64_t* bytesSeen;
  int64_t* packsAccepted;
  int64_t* bytesAccepted;
  int64_t* reportedDropped;
};
netUtilBreakdown_t* netUtilData_getBreakdown(netUtilData* module);
netUtilBreakdown_t* netUtilData_getAcceptedBreakdown(netUtilData* module);
void netUtilData_freeBreakdown(netUtilBreakdown_t* breakdown);

// The window-wide sums as text.
void netUtilData_print(FILE* stream, netUtilData* module);
