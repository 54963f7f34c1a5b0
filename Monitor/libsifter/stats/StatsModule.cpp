#include "stats/StatsModule.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "OB_Log.h"
#include "pool/OB_IndexedHash.h"
#include "stats/AnalysisHash.h"
#include "stats/ListTail.h"
#include "stats/TrackedNames.h"
#include "windows/OB_IndexChanger.h"

namespace {
struct EntryName {
  using Key = std::string_view;
  static Key keyOf(statsCounter_t* entry) { return Key(entry->name, entry->length); }
  static uint64_t hash(const Key& key) { return std::hash<std::string_view>()(key); }
};
}  // namespace

// Name to entry, for the long lists: open addressing over the entries, whose own names are the
// keys. The first entry of a name stays the one found.
struct StatsNameIndex {
  OB_PointerIndex<statsCounter_t, EntryName> entries;

  statsCounter_t* find(std::string_view name) const { return entries.find(name); }
  void add(statsCounter_t* entry) {
    if (entries.find(EntryName::keyOf(entry)) == nullptr) entries.insert(entry);
  }
};

namespace {

// Below this many entries a walk is as quick as a hash and costs no memory.
constexpr size_t kIndexFrom = 8;

char* copyName(std::string_view name, const char* who) {
  char* copy = static_cast<char*>(stats_alloc(name.size() + 1, who));
  if (!name.empty()) std::memcpy(copy, name.data(), name.size());
  copy[name.size()] = '\0';
  return copy;
}

OB_LinkedHash<OB_String>* nameTable(StatsNames names) {
  switch (names) {
    case StatsNames::kResourceHash:
      return getResourceHash();
    case StatsNames::kMimeTypeHash:
      return getMimeTypeHash();
    case StatsNames::kOwnCopy:
      break;
  }
  return nullptr;
}

void indexEntry(statsCounterList_t* list, statsCounter_t* entry, const char* who) {
  if (!list->indexed) return;
  if (list->index == nullptr) {
    if (list->count < kIndexFrom) return;
    list->index = new StatsNameIndex;
    if (list->index == nullptr) OB_Log::quit("%s", who);
    for (statsCounter_t* e = list->head; e != nullptr; e = e->next)
      list->index->add(e);
    return;
  }
  list->index->add(entry);
}

}  // namespace

void* stats_alloc(size_t bytes, const char* who) {
  void* block = std::malloc(bytes > 0 ? bytes : 1);
  if (block == nullptr) OB_Log::quit("%s", who);
  return block;
}

uint32_t* stats_newCounts(uint32_t numOfBins, uint32_t initial, const char* who) {
  auto* counts = static_cast<uint32_t*>(stats_alloc(sizeof(uint32_t) * numOfBins, who));
  std::fill(counts, counts + numOfBins, initial);
  return counts;
}

void statsList_init(statsCounterList_t* list, uint32_t numOfBins, uint32_t arrays,
                    StatsNames names, bool indexed) {
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
  list->numOfBins = numOfBins;
  list->arrays = arrays > 0 ? arrays : 1;
  list->names = names;
  list->indexed = indexed;
  list->index = nullptr;
}

namespace {

// What an entry holds: its block (entry, counts, its own name when not shared) and its index slot.
size_t entryBytes(const statsCounterList_t* list, size_t nameLength) {
  const size_t counts = sizeof(uint32_t) * list->arrays * list->numOfBins;
  const size_t ownName = nameTable(list->names) == nullptr ? nameLength + 1 : 0;
  return trackedNames_blocks(sizeof(statsCounter_t) + counts + ownName + 48, 1);
}

}  // namespace

void statsList_free(statsCounterList_t* list) {
  statsCounter_t* entry = list->head;
  while (entry != nullptr) {
    statsCounter_t* next = entry->next;
    trackedNames_release(entryBytes(list, entry->length));
    if (entry->sub != nullptr) {
      statsList_free(entry->sub);
      std::free(entry->sub);
    }
    std::free(entry);  // name and counts share the entry's block, or belong to a hash
    entry = next;
  }
  delete list->index;
  list->index = nullptr;
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
}

statsCounter_t* statsList_find(statsCounterList_t* list, std::string_view name) {
  if (list->index != nullptr) {
    return list->index->find(name);
  }
  for (statsCounter_t* entry = list->head; entry != nullptr; entry = entry->next)
    if (std::string_view(entry->name, entry->length) == name) return entry;
  return nullptr;
}

statsCounter_t* statsList_append(statsCounterList_t* list, std::string_view name,
                                 const char* who) {
  OB_LinkedHash<OB_String>* table = nameTable(list->names);
  const size_t countBytes = sizeof(uint32_t) * list->arrays * list->numOfBins;
  // Entry, counts and (when not shared) the name in one block: one allocation per new name.
  const size_t nameBytes = table == nullptr ? name.size() + 1 : 0;
  auto* block = static_cast<char*>(stats_alloc(sizeof(statsCounter_t) + countBytes + nameBytes, who));
  auto* entry = reinterpret_cast<statsCounter_t*>(block);
  entry->counts = reinterpret_cast<uint32_t*>(block + sizeof(statsCounter_t));
  std::memset(entry->counts, 0, countBytes);
  if (table == nullptr) {
    char* text = block + sizeof(statsCounter_t) + countBytes;
    if (!name.empty()) std::memcpy(text, name.data(), name.size());
    text[name.size()] = '\0';
    entry->name = text;
  } else {
    // The hash wants a NUL-ended text; a name is a view into a longer field.
    std::string text(name);
    entry->name = AnalysisHash_internName(table, text.c_str());
  }
  entry->length = name.size();
  entry->sub = nullptr;
  entry->next = nullptr;
  stats_linkAtTail(&list->head, &list->tail, entry);
  ++list->count;
  indexEntry(list, entry, who);
  trackedNames_add(entryBytes(list, name.size()));
  return entry;
}

statsCounter_t* statsList_findOrAppend(statsCounterList_t* list, std::string_view name,
                                       const char* who) {
  statsCounter_t* entry = statsList_find(list, name);
  return entry != nullptr ? entry : statsList_append(list, name, who);
}

statsCounter_t* statsList_findOrTrack(statsCounterList_t* list, std::string_view name,
                                      const char* who) {
  statsCounter_t* entry = statsList_find(list, name);
  if (entry != nullptr || !trackedNames_admit()) return entry;
  return statsList_append(list, name, who);
}

statsCounter_t* stats_countUnderTotal(statsCounterList_t* list, std::string_view name,
                                      uint32_t bin, const char* who) {
  stats_bump(&list->head->counts[bin]);
  statsCounter_t* entry = statsList_findOrTrack(list, name, who);
  if (entry == nullptr || entry == list->head) return nullptr;
  stats_bump(&entry->counts[bin]);
  return entry;
}

void statsBuckets_init(statsBucketList_t* list, uint32_t numOfBins) {
  for (statsCounterList_t& bucket : list->buckets)
    statsList_init(&bucket, numOfBins, 1, StatsNames::kOwnCopy, false);
  list->count = 0;
  list->index = nullptr;
}

void statsBuckets_free(statsBucketList_t* list) {
  for (statsCounterList_t& bucket : list->buckets) statsList_free(&bucket);
  list->count = 0;
  delete list->index;
  list->index = nullptr;
}

statsCounter_t* statsBuckets_find(statsBucketList_t* list, std::string_view name) {
  if (list->index == nullptr) return nullptr;
  return list->index->find(name);
}

statsCounter_t* statsBuckets_append(statsBucketList_t* list, std::string_view name,
                                    const char* who) {
  if (list->index == nullptr) {
    list->index = new StatsNameIndex;
    if (list->index == nullptr) OB_Log::quit("%s", who);
  }
  const std::string text(name);  // the name hash reads a NUL-ended text
  statsCounter_t* entry =
      statsList_append(&list->buckets[hashName(text.c_str(), kNameBuckets, nullptr)], name, who);
  list->index->add(entry);
  ++list->count;
  return entry;
}

uint64_t stats_sum(const uint32_t* counts, uint32_t n) {
  uint64_t sum = 0;
  for (uint32_t i = 0; i < n; ++i) sum += counts[i];
  return sum;
}

std::string_view stats_firstToken(std::string_view text, const char* delimiters) {
  auto isDelimiter = [delimiters](char c) { return c != '\0' && strchr(delimiters, c) != nullptr; };
  size_t begin = 0;
  while (begin < text.size() && isDelimiter(text[begin])) ++begin;
  // The token ends at the nearest delimiter: one library search per delimiter, each over what
  // is left before the nearest found so far, beats a test per character for the few
  // delimiters callers pass.
  size_t end = text.size();
  for (const char* d = delimiters; *d != '\0'; ++d)
    if (const void* hit = std::memchr(text.data() + begin, *d, end - begin); hit != nullptr)
      end = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
  return text.substr(begin, end - begin);
}

StatsWindowHold::StatsWindowHold(OB_IndexChanger* window) : window_(window) {
  if (window_ != nullptr) window_->lock();
}

StatsWindowHold::~StatsWindowHold() {
  if (window_ != nullptr) window_->unlock();
}

statsBreakdown_t* stats_newBreakdown(size_t capacity, const char* who) {
  auto* summary = static_cast<statsBreakdown_t*>(stats_alloc(sizeof(statsBreakdown_t), who));
  summary->numHeader = 0;
  std::fill(summary->header, summary->header + statsBreakdown_t::kMaxHeader, 0);
  summary->count = 0;
  summary->capacity = capacity;
  summary->entries =
      static_cast<statsNameTotal_t*>(stats_alloc(sizeof(statsNameTotal_t) * capacity, who));
  return summary;
}

namespace {
void reserveEntries(statsBreakdown_t* summary, size_t needed, const char* who) {
  if (needed <= summary->capacity) return;
  auto* grown = static_cast<statsNameTotal_t*>(
      std::realloc(summary->entries, sizeof(statsNameTotal_t) * needed));
  if (grown == nullptr) OB_Log::quit("%s", who);
  summary->entries = grown;
  summary->capacity = needed;
}
}  // namespace

void stats_addEntry(statsBreakdown_t* summary, std::string_view name, uint64_t total,
                    const char* who) {
  if (summary->count == summary->capacity)
    reserveEntries(summary, summary->count < 4 ? 4 : summary->count * 2, who);
  statsNameTotal_t& entry = summary->entries[summary->count++];
  entry.name = copyName(name, who);
  entry.total = total;
}

void stats_addList(statsBreakdown_t* summary, const statsCounterList_t* list, const char* who) {
  reserveEntries(summary, summary->count + list->count, who);
  for (const statsCounter_t* e = list->head; e != nullptr; e = e->next)
    stats_addEntry(summary, std::string_view(e->name, e->length),
                   stats_sum(e->counts, list->numOfBins), who);
}

void stats_sortBreakdown(statsBreakdown_t* summary) {
  std::stable_sort(summary->entries, summary->entries + summary->count,
                   [](const statsNameTotal_t& a, const statsNameTotal_t& b) {
                     return a.total > b.total;
                   });
}

statsBreakdown_t* stats_breakdownOfTopN(statsTopN_t* list, const char* who) {
  auto* summary = static_cast<statsBreakdown_t*>(stats_alloc(sizeof(statsBreakdown_t), who));
  summary->numHeader = 0;
  std::fill(summary->header, summary->header + statsBreakdown_t::kMaxHeader, 0);
  summary->count = list->count;
  summary->capacity = list->count;
  summary->entries = list->entries;
  std::free(list);
  return summary;
}

namespace {
void freeEntries(statsNameTotal_t* entries, size_t count) {
  for (size_t i = 0; i < count; ++i) std::free(entries[i].name);
  std::free(entries);
}
}  // namespace

void stats_freeBreakdown(statsBreakdown_t* summary) {
  if (summary == nullptr) return;
  freeEntries(summary->entries, summary->count);
  std::free(summary);
}

void stats_freeTopN(statsTopN_t* list) {
  if (list == nullptr) return;
  freeEntries(list->entries, list->count);
  std::free(list);
}

StatsTopN::StatsTopN(int n, const char* filter, uint32_t numOfBins)
    : filter_(filter != nullptr ? filter : ""),
      numOfBins_(numOfBins),
      picks_(n) {}

StatsTopN::~StatsTopN() = default;

void StatsTopN::offer(const statsCounter_t* entry) {
  if (!filter_.empty() &&
      std::string_view(entry->name, entry->length).find(filter_) == std::string_view::npos)
    return;
  const uint64_t total = stats_sum(entry->counts, numOfBins_);
  picks_.offer(total, Pick{entry, total});
}

void StatsTopN::offerList(const statsCounterList_t* list) {
  for (const statsCounter_t* e = list->head; e != nullptr; e = e->next) offer(e);
}

void StatsTopN::offerList(const statsBucketList_t* list) {
  for (const statsCounterList_t& bucket : list->buckets) offerList(&bucket);
}

statsTopN_t* StatsTopN::finish(const char* who) {
  const std::vector<Pick> kept = picks_.finish();
  auto* list = static_cast<statsTopN_t*>(stats_alloc(sizeof(statsTopN_t), who));
  list->entries =
      static_cast<statsNameTotal_t*>(stats_alloc(sizeof(statsNameTotal_t) * kept.size(), who));
  for (size_t i = 0; i < kept.size(); ++i) {
    list->entries[i].name = copyName(std::string_view(kept[i].entry->name, kept[i].entry->length), who);
    list->entries[i].total = kept[i].total;
  }
  list->count = kept.size();
  return list;
}

namespace {
template <class Source>
void copyRing(uint32_t* out, const Source* in, uint32_t n, uint32_t current, uint32_t firstValid) {
  if (n == 0) return;
  if (current >= n) current = n - 1;
  uint32_t k = 0;
  for (uint32_t i = current + 1; i < n; ++i) out[k++] = i < firstValid ? 0 : in[i];
  for (uint32_t i = 0; i <= current; ++i) out[k++] = i < firstValid ? 0 : in[i];
}
}  // namespace

void stats_copyRing32(uint32_t* out, const uint32_t* in, uint32_t n, uint32_t current,
                      uint32_t firstValid) {
  copyRing(out, in, n, current, firstValid);
}

void stats_copyRing16(uint32_t* out, const uint16_t* in, uint32_t n, uint32_t current,
                      uint32_t firstValid) {
  copyRing(out, in, n, current, firstValid);
}

uint32_t stats_currentBin(OB_IndexChanger* window, uint32_t numOfBins) {
  if (numOfBins == 0) return 0;
  const uint32_t current = window != nullptr ? window->getTimeIndex() : numOfBins - 1;
  return current < numOfBins ? current : numOfBins - 1;
}

statsSeries_t* stats_newSeries(OB_IndexChanger* window, std::string_view name, uint32_t numOfBins,
                               const char* who) {
  auto* series = static_cast<statsSeries_t*>(stats_alloc(sizeof(statsSeries_t), who));
  series->name = copyName(name, who);
  series->nowTime = window != nullptr ? static_cast<int32_t>(window->getNowTime()) : 0;
  series->agoTime = window != nullptr ? static_cast<int32_t>(window->getAgoTime()) : 0;
  series->numOfBins = numOfBins;
  series->values = stats_newCounts(numOfBins, 0, who);
  return series;
}

statsSeries_t* stats_seriesOf(OB_IndexChanger* window, std::string_view name,
                              const uint32_t* counts, uint32_t numOfBins, const char* who) {
  StatsWindowHold hold(window);
  statsSeries_t* series = stats_newSeries(window, name, numOfBins, who);
  if (counts != nullptr)
    stats_copyRing32(series->values, counts, numOfBins, stats_currentBin(window, numOfBins), 0);
  return series;
}

statsSeries_t* stats_seriesOfName(OB_IndexChanger* window, statsCounterList_t* list,
                                  const char* name, const char* who) {
  StatsWindowHold hold(window);
  const statsCounter_t* entry = statsList_find(list, name);
  return stats_seriesOf(window, name, entry != nullptr ? entry->counts : nullptr, list->numOfBins,
                        who);
}

statsSeries_t* stats_seriesOfName(OB_IndexChanger* window, statsBucketList_t* list,
                                  const char* name, const char* who) {
  StatsWindowHold hold(window);
  const statsCounter_t* entry = statsBuckets_find(list, name);
  return stats_seriesOf(window, name, entry != nullptr ? entry->counts : nullptr,
                        list->buckets[0].numOfBins, who);
}

void stats_freeSeries(statsSeries_t* series) {
  if (series == nullptr) return;
  std::free(series->name);
  std::free(series->values);
  std::free(series);
}

void stats_printEntries(FILE* stream, const statsNameTotal_t* entries, size_t count) {
  for (size_t i = 0; i < count; ++i)
    fprintf(stream, "%s = %" PRIu64 "\n", entries[i].name, entries[i].total);
}

void stats_printBreakdown(FILE* stream, const char* title, const char* const* headerNames,
                          const statsBreakdown_t* summary) {
  fprintf(stream, "%s\n%s\n", title, std::string(std::strlen(title), '-').c_str());
  for (int i = 0; headerNames != nullptr && i < summary->numHeader; ++i)
    fprintf(stream, "%s = %" PRIu64 "\n", headerNames[i], summary->header[i]);
  stats_printEntries(stream, summary->entries, summary->count);
}

void StatsStreamCounts::clearStreamCounts() {
  serverStreamsReceived = 0;
  serverStreamsProcessed = 0;
  serverStreamsRejected = 0;
  netgrpStreamsReceived = 0;
  netgrpStreamsProcessed = 0;
  netgrpStreamsRejected = 0;
}

void StatsStreamCounts::printStreamCounts(const char* title) const {
  printf("%s", title);
  printf("--------------------\n\n");
  printf("    serverStreamsReceived  =  %10u\n", serverStreamsReceived);
  printf("    serverStreamsProcessed =  %10u\n", serverStreamsProcessed);
  printf("    serverStreamsRejected  =  %10u\n", serverStreamsRejected);
  printf("    netgrpStreamsReceived  =  %10u\n", netgrpStreamsReceived);
  printf("    netgrpStreamsProcessed =  %10u\n", netgrpStreamsProcessed);
  printf("    netgrpStreamsRejected  =  %10u\n", netgrpStreamsRejected);
}
