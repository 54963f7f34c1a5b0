// The shape every analysis statistics module shares (the HTTP server-side modules and the
// client-side and FTP modules built on it): named-counter lists with one count per bin of
// the module's time window, and the freshly allocated breakdown summaries, top-N lists and series
// that the console handlers build from them and send with the writers of StatsReply.h.
//
// Modules are plain records fed by their reader under the reader's lock; the query routines here
// take the window's (OB_IndexChanger's) lock as well, which is re-entrant, so a handler may hold
// it around several of them. Counts are 32-bit per bin and saturate instead of wrapping; totals
// over bins are 64-bit and are clamped only where a wire field is narrower. Out of memory ends the
// process through OB_Log::quit with the caller's message ("who").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "stats/RankedPicks.h"

class OB_IndexChanger;
struct StatsNameIndex;

// The stream counts of a protocol's analysis statistics: the streams its reader offered to the
// server definitions and to the network groups, and how each fared.
struct StatsStreamCounts {
  uint32_t serverStreamsReceived = 0;
  uint32_t serverStreamsProcessed = 0;
  uint32_t serverStreamsRejected = 0;
  uint32_t netgrpStreamsReceived = 0;
  uint32_t netgrpStreamsProcessed = 0;
  uint32_t netgrpStreamsRejected = 0;

  void clearStreamCounts();
  // The counts on standard output under "title" and its rule.
  void printStreamCounts(const char* title) const;
};

// Buckets of the modules that keep names in the analysis name hash (hashName).
constexpr int kNameBuckets = 251;

// The smallest response time of a bin without connections (the HTTP and FTP network modules).
constexpr uint32_t kNoMinimumTime = 1000000000;

// Where a list keeps the names of its new entries. The analysis hashes share one copy of a name
// among all modules, servers and windows; without the hash (not made yet) an entry owns a copy.
enum class StatsNames : uint8_t { kOwnCopy, kResourceHash, kMimeTypeHash };

// One named counter: `arrays` per-bin arrays of the list's numOfBins counts, end to end (array k
// of entry e is e->counts + k * numOfBins), allocated with the entry.
struct statsCounter_t {
  const char* name;     // NUL-ended; the entry's own copy or an analysis hash's text
  size_t length;        // strlen(name)
  uint32_t* counts;     // not separately owned
  struct statsCounterList_t* sub;  // a list below this entry (a referring host's paths); owned
  statsCounter_t* next;
};

// Entries in order of first appearance, appended at the tail. Lookups go through an index once
// the list is long, so a list of many thousand names still costs one hash per lookup.
struct statsCounterList_t {
  statsCounter_t* head;
  statsCounter_t* tail;
  size_t count;
  uint32_t numOfBins;
  uint32_t arrays;     // per-bin arrays of each entry, at least 1
  StatsNames names;
  bool indexed;           // false: a bucket of a statsBucketList_t, whose index serves it
  StatsNameIndex* index;  // owned; null while the list is short
};

// Empty list for entries of `arrays` arrays of numOfBins counts.
void statsList_init(statsCounterList_t* list, uint32_t numOfBins, uint32_t arrays,
                    StatsNames names, bool indexed = true);
// Frees every entry, its own name and its sub-list; the list is empty afterwards.
void statsList_free(statsCounterList_t* list);
// The entry of exactly that name (case-sensitive), or null.
statsCounter_t* statsList_find(statsCounterList_t* list, std::string_view name);
// Appends an entry with zero counts; a name shared through a hash is interned there.
statsCounter_t* statsList_append(statsCounterList_t* list, std::string_view name, const char* who);
statsCounter_t* statsList_findOrAppend(statsCounterList_t* list, std::string_view name,
                                       const char* who);
// As statsList_findOrAppend, but a new name past the bound of tracked names gets no entry: null.
statsCounter_t* statsList_findOrTrack(statsCounterList_t* list, std::string_view name,
                                      const char* who);
// Counts one in bin under the list's fixed total entry (its head) and under name's own entry. A
// name that is the total's (a peer may send any text) is counted once, under the total, and a new
// name past the bound of tracked names only there: null then, else the name's entry.
statsCounter_t* stats_countUnderTotal(statsCounterList_t* list, std::string_view name,
                                      uint32_t bin, const char* who);

// Names (own copies, one array each) in kNameBuckets lists by the analysis name hash, each in
// order of first appearance: the order in which lists walk them. One index finds a name without
// hashing it that way.
struct statsBucketList_t {
  statsCounterList_t buckets[kNameBuckets];
  size_t count;
  StatsNameIndex* index;  // owned
};

void statsBuckets_init(statsBucketList_t* list, uint32_t numOfBins);
void statsBuckets_free(statsBucketList_t* list);
statsCounter_t* statsBuckets_find(statsBucketList_t* list, std::string_view name);
// Appends to the name's bucket an entry with zero counts.
statsCounter_t* statsBuckets_append(statsBucketList_t* list, std::string_view name,
                                    const char* who);

// Adds 1 to a count, staying at the maximum instead of wrapping.
inline void stats_bump(uint32_t* count) { *count += *count != UINT32_MAX ? 1u : 0u; }
inline void stats_bump(uint32_t* counts, uint32_t numOfBins, int bin) {
  if (bin >= 0 && static_cast<uint32_t>(bin) < numOfBins) stats_bump(&counts[bin]);
}
// The sum of n counts.
uint64_t stats_sum(const uint32_t* counts, uint32_t n);
// A ratio of two counts rounded up to a whole number (7 pages over 2 visits: 4); 0 when there is
// nothing to divide by.
inline uint64_t stats_ceilQuotient(uint64_t numerator, uint64_t divisor) {
  return divisor > 0 ? numerator / divisor + (numerator % divisor != 0 ? 1 : 0) : 0;
}

// The text before the first of the delimiters, after skipping leading delimiters; "" when the
// text holds nothing else. A view into text.
std::string_view stats_firstToken(std::string_view text, const char* delimiters);

// Holds the window's lock for a scope (nothing for a null window).
class StatsWindowHold {
 public:
  explicit StatsWindowHold(OB_IndexChanger* window);
  ~StatsWindowHold();
  StatsWindowHold(const StatsWindowHold&) = delete;
  StatsWindowHold& operator=(const StatsWindowHold&) = delete;

 private:
  OB_IndexChanger* window_;  // not owned
};

// ---- Summaries: freshly allocated, owned by the caller, freed with their free routine. ----

struct statsNameTotal_t {
  char* name;      // own copy
  uint64_t total;  // over all bins
};

// Module header totals, then entries (list order unless the module sorts them).
struct statsBreakdown_t {
  static constexpr int kMaxHeader = 4;
  int numHeader;
  uint64_t header[kMaxHeader];
  size_t count;
  statsNameTotal_t* entries;  // count used of capacity places
  size_t capacity;
};

// At most N entries by total, largest first; equal totals in list order.
struct statsTopN_t {
  size_t count;
  statsNameTotal_t* entries;
};

// numOfBins values oldest first, the current bin last.
struct statsSeries_t {
  char* name;  // own copy
  int32_t nowTime;
  int32_t agoTime;
  uint32_t numOfBins;
  uint32_t* values;
};

// A breakdown with room for `capacity` entries (it grows as needed) and no entry yet.
statsBreakdown_t* stats_newBreakdown(size_t capacity, const char* who);
// Appends (a copy of name, total).
void stats_addEntry(statsBreakdown_t* summary, std::string_view name, uint64_t total,
                    const char* who);
// Appends every entry of the list (array 0 summed) in list order.
void stats_addList(statsBreakdown_t* summary, const statsCounterList_t* list, const char* who);
// Orders the entries by total, largest first; equal totals keep their order.
void stats_sortBreakdown(statsBreakdown_t* summary);
// A breakdown whose entries are the list's (taken over; the list is freed).
statsBreakdown_t* stats_breakdownOfTopN(statsTopN_t* list, const char* who);
void stats_freeBreakdown(statsBreakdown_t* summary);
void stats_freeTopN(statsTopN_t* list);

// Top-N selection over entries offered in list order: an entry whose name does not contain the
// filter (plain substring; empty keeps all) is passed over, and at most max(N, 1) entries are
// kept, by total, largest first, equal totals in the order offered.
class StatsTopN {
 public:
  StatsTopN(int n, const char* filter, uint32_t numOfBins);
  ~StatsTopN();
  StatsTopN(const StatsTopN&) = delete;
  StatsTopN& operator=(const StatsTopN&) = delete;

  // Array 0 of the entry, summed. The entry must stay unchanged until finish.
  void offer(const statsCounter_t* entry);
  void offerList(const statsCounterList_t* list);
  // Bucket by bucket.
  void offerList(const statsBucketList_t* list);
  // The result, copies made (owned by the caller).
  statsTopN_t* finish(const char* who);

 private:
  struct Pick {
    const statsCounter_t* entry;
    uint64_t total;
  };
  std::string_view filter_;
  uint32_t numOfBins_;
  RankedPicks<Pick> picks_;
};

// Ring order: the per-bin array's newest bin is `current`; out receives bins current+1 .. n-1,
// then 0 .. current, widened to 32 bits, with 0 for every source bin below firstValid.
void stats_copyRing32(uint32_t* out, const uint32_t* in, uint32_t n, uint32_t current,
                      uint32_t firstValid);
void stats_copyRing16(uint32_t* out, const uint16_t* in, uint32_t n, uint32_t current,
                      uint32_t firstValid);
// The window's current bin, within a module of numOfBins bins.
uint32_t stats_currentBin(OB_IndexChanger* window, uint32_t numOfBins);

// A zero series under name, with the window's bounds.
statsSeries_t* stats_newSeries(OB_IndexChanger* window, std::string_view name, uint32_t numOfBins,
                               const char* who);
// The series of a per-bin array (null: zeros) in ring order, under the window's lock.
statsSeries_t* stats_seriesOf(OB_IndexChanger* window, std::string_view name,
                              const uint32_t* counts, uint32_t numOfBins, const char* who);
// The series of the list's entry of exactly that name (array 0), under the window's lock; zeros
// under the name when there is none.
statsSeries_t* stats_seriesOfName(OB_IndexChanger* window, statsCounterList_t* list,
                                  const char* name, const char* who);
statsSeries_t* stats_seriesOfName(OB_IndexChanger* window, statsBucketList_t* list,
                                  const char* name, const char* who);
void stats_freeSeries(statsSeries_t* series);

// Owners for the summaries.
struct StatsFree {
  void operator()(statsBreakdown_t* p) const { stats_freeBreakdown(p); }
  void operator()(statsTopN_t* p) const { stats_freeTopN(p); }
  void operator()(statsSeries_t* p) const { stats_freeSeries(p); }
};
using StatsBreakdownHold = std::unique_ptr<statsBreakdown_t, StatsFree>;
using StatsTopNHold = std::unique_ptr<statsTopN_t, StatsFree>;
using StatsSeriesHold = std::unique_ptr<statsSeries_t, StatsFree>;

// The text form: title line, a line of dashes as long as the title, "name = value" per header
// field (names given by the caller, null for none), then "%s = %d" per entry.
void stats_printBreakdown(FILE* stream, const char* title, const char* const* headerNames,
                          const statsBreakdown_t* summary);
void stats_printEntries(FILE* stream, const statsNameTotal_t* entries, size_t count);
// Allocations that end the process when memory runs out.
void* stats_alloc(size_t bytes, const char* who);
uint32_t* stats_newCounts(uint32_t numOfBins, uint32_t initial, const char* who);
