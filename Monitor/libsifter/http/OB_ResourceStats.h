// The resources served by one HTTP server (or one of its transaction subsets) in one time window:
// per (URI, response MIME type) pair the hits per bin and the clients that asked, the entry points
// of visits with their clients, and the referring pages of entry points that met an error status.
// The server's main module set also feeds its IP tracker: each transaction raises the client's
// count, each "text/html" response its page count and, unless "PathTracking" is 0, its path.
//
// One per module set (OB_HTTPServerStatsModules), which makes it in its init and deletes it in its
// reset. Its steps run on the reader's threads under the window's statistics lock; the console's
// resources-served commands read it under the same lock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "OB_List.h"
#include "http/OB_ResourceCounterLink.h"
#include "http/OB_ResourceSeries.h"
#include "pool/OB_LinkedHash.h"

class OB_HTTPProtocol;
class OB_HTTPXact;
class OB_IndexChanger;
class OB_IPTrackerHash;
struct httpNetInfo_t;

class OB_ResourceStats : public OB_LinkedHash<OB_ResourceCounterLink>,
                         public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ResourceStats, 0xC1F160D1, "OB_ResourceStats", OB_Mutex, OB_Object)

 public:
  static constexpr int kBuckets = 2039;
  // What a breakdown or series counts.
  static constexpr int kHits = 0;
  static constexpr int kEntryPoints = 1;

  // window: not owned, outlives this; its bin count sizes every array. tracksClients: this is the
  // server's main module set, which raises the clients' counts, page counts and paths (a subset's
  // set only lists its clients). Reads "PathTracking" from the process options.
  OB_ResourceStats(OB_IndexChanger* window, int tracksClients);
  OB_ResourceStats(const OB_ResourceStats&) = delete;
  OB_ResourceStats& operator=(const OB_ResourceStats&) = delete;
  // Deletes every counter with its lists and arrays.
  ~OB_ResourceStats() override;

  // Counts one transaction of protocol at the bin of info, for client (its tracker record; null
  // only in tests that count no clients).
  virtual void processTransaction(httpNetInfo_t* info, OB_HTTPProtocol* protocol,
                                  OB_HTTPXact* xact, OB_IPTrackerHash* client);
  // "Referrer Errors Summary": the 20 resources with most referer errors.
  virtual void printRefererErrors(FILE* stream);
  // The kind's N largest counters (N 0: none), largest total first, among those whose MIME type
  // is mimeFilter ("All": any) and whose URI contains substring (empty: any); entry points count
  // only "text/html". A new list that does not own its counters (valid until the table changes).
  virtual OB_List<OB_ResourceCounterLink>* getHitBreakdown(uint16_t n, const char* mimeFilter,
                                                           const char* substring);
  virtual OB_List<OB_ResourceCounterLink>* getEntryPointBreakdown(uint16_t n,
                                                                  const char* substring);
  virtual OB_List<OB_ResourceCounterLink>* getBreakdown(int kind, uint16_t n,
                                                        const char* mimeFilter,
                                                        const char* substring);
  // The N resources whose entry points met most errors, largest sum first.
  virtual OB_List<OB_ResourceCounterLink>* getRefererErrorBreakdown(uint16_t n,
                                                                    const char* substring);
  // The pair's counts in time order, oldest bin first; zeros for a pair never seen (or never an
  // entry point). A new series owned by the caller; its names are uri and mime, which must
  // outlive it.
  virtual OB_ResourceSeries* getResourceHitSeries(const char* uri, const char* mime);
  virtual OB_ResourceSeries* getEntryPointSeries(const char* uri, const char* mime);
  virtual OB_ResourceSeries* getHitSeries(const char* uri, const char* mime, int kind);
  // Makes the counter of (uri, mime) in bucket, its names interned in the engine's tables.
  virtual OB_ResourceCounterLink* addCounter(uint16_t bucket, const char* uri, const char* mime);
  // The counter of exactly (uri, mime), or null.
  OB_ResourceCounterLink* findCounter(const char* uri, const char* mime);

  // The table's own removals, keeping the look-up index in step.
  int remove(OB_ResourceCounterLink* counter) override;
  int clear() override;

  int print(FILE* stream) override;
  int getPathTracking() const { return pathTracking; }
  void setTracksClients(int on) { tracksClients = on; }

  // The look-up index's hash of a (URI, MIME type) pair of those lengths.
  static uint64_t pairHash(const char* uri, size_t uriLength, const char* mime,
                           size_t mimeLength);

 private:
  // One counter of the look-up index: the hash of its (URI, MIME type) and the counter.
  struct Slot {
    uint64_t hash;
    OB_ResourceCounterLink* counter;  // null: free; owned by the table
  };
  void index(uint64_t hash, OB_ResourceCounterLink* counter);
  // The same with the pair's hash already taken.
  OB_ResourceCounterLink* findCounter(uint64_t hash, const char* uri, const char* mime);
  OB_ResourceCounterLink* addCounter(uint16_t bucket, const char* uri, const char* mime,
                                     uint64_t hash);

  OB_IndexChanger* window;  // not owned
  // The counters by pair hash (open addressing, at most half full), so a transaction costs one
  // hash of its URI and one probe; the table's chains keep the order the breakdowns walk.
  std::vector<Slot> slots;
  size_t indexed = 0;
  uint32_t numOfBins;
  int pathTracking = 1;
  int tracksClients;
};
