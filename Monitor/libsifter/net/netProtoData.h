// Traffic per protocol per bin of one scope of the network statistics: one entry per protocol-spec
// id (with the id of its parent), in order of first appearance, each with packets and bytes per
// bin. Fed with the protocol counts of network records or of their address pairs by the network
// reader under its lock; the queries take the window's lock.
#pragma once

#include <cstdint>
#include <cstdio>

class OB_IndexChanger;
class OB_ProtoCountList;
struct netProtoIndex;

struct netProtoEntry_t {
  uint16_t psid;   // protocol-spec id
  uint16_t ppsid;  // its parent's, as the first count of the id gave it
  int64_t* packs;  // numOfBins each; owned
  int64_t* bytes;
  netProtoEntry_t* next;
};

struct netProtoData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint16_t numOfProtos;
  netProtoEntry_t* head;  // owned, with every entry after it
  netProtoEntry_t* tail;
  netProtoIndex* index;   // owned; psid to entry once the list is long, else null
};

// An empty list over the window's numOfBins bins.
void netProtoData_init(OB_IndexChanger* window, netProtoData* module, uint32_t numOfBins);
// Frees every entry; the list is empty afterwards.
void netProtoData_free(netProtoData* module);

// Adds each count of the list to bin `bin` of the entry of its psid, appending an entry (with
// the count's ppsid) for a psid not seen yet. Out of memory ends the process. A psid beyond the
// 65535 entries a list can count is passed over.
void netProtoData_proc(netProtoData* module, int bin, const OB_ProtoCountList* counts);
// The entry of psid, or null.
netProtoEntry_t* netProtoData_find(netProtoData* module, uint16_t psid);

// One protocol's totals over the whole window.
struct netProtoCount_t {
  uint16_t psid;
  uint16_t ppsid;
  int64_t packs;
  int64_t bytes;
};
// Every entry's totals in list order. Owned by the caller.
struct netProtoBreakdown_t {
  uint16_t count;
  netProtoCount_t* entries;
};
netProtoBreakdown_t* netProtoData_getBreakdown(netProtoData* module);
void netProtoData_freeBreakdown(netProtoBreakdown_t* breakdown);

// One protocol's packets and bytes in time order (oldest bin first); zeros for a protocol the
// list does not hold. Owned by the caller.
struct netProtoSeries_t {
  int32_t nowTime;
  int32_t agoTime;
  uint32_t numOfBins;
  int64_t* packs;
  int64_t* bytes;
};
netProtoSeries_t* netProtoData_getSeries(netProtoData* module, uint16_t psid);
void netProtoData_freeSeries(netProtoSeries_t* series);

// The entry count, then the protocol tree: each root (psid 1 or 2) and below it, depth first,
// the entries whose ppsid is its psid, one '-' deeper, with their window totals. Each entry is
// printed at most once, so parent ids that form a loop cannot make the tree endless.
void netProtoData_print(FILE* stream, netProtoData* module);
