#include "stats/OB_IPTracker.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfigRecords.h"
#include "stats/AnalysisHash.h"
#include "stats/RankedPicks.h"
#include "stats/TrackedNames.h"
#include "windows/OB_IndexChanger.h"

namespace {

// A record (one block), its place in the address index and its share of the table's chains.
constexpr size_t kRecordBytes = trackedNames_blocks(sizeof(OB_IPTrackerHash) + 64, 1);

size_t pathBytes(const OB_ClientPath* path) { return path != nullptr ? path->bytes() : 0; }

}  // namespace

size_t OB_ClientPath::bytes() const {
  const size_t block = nodes_.capacity() * sizeof(OB_PathNode);
  return trackedNames_blocks(sizeof(OB_ClientPath) + block, block > 0 ? 2 : 1);
}

OB_IPTrackerHash::OB_IPTrackerHash() {
  setItem(this);
  setKey(0xFFFFFFFFu);
  trackedNames_add(kRecordBytes);
}

OB_IPTrackerHash::~OB_IPTrackerHash() {
  trackedNames_release(kRecordBytes + pathBytes(resources));
  delete resources;
}

int OB_IPTrackerHash::init() {
  address = 0;
  count = 0;
  return 0;
}

int OB_IPTrackerHash::reset() {
  trackedNames_release(pathBytes(resources));
  delete resources;
  resources = nullptr;
  return 0;
}

int OB_IPTrackerHash::addResource(OB_Object* item, uint32_t time) {
  // Reckoned as the path is made and as its block grows.
  const size_t before = pathBytes(resources);
  if (resources == nullptr) {
    resources = new (std::nothrow) OB_ClientPath();
    if (resources == nullptr) OB_Log::quit("addResource: no memory");
  }
  if (resources->push(OB_PathNode(item, time), kMaxPathNodes) && tracker != nullptr)
    tracker->notePathCapReached(address);
  trackedNames_add(pathBytes(resources) - before);
  return 0;
}

OB_IPTracker::OB_IPTracker(OB_IndexChanger* window_)
    : OB_LinkedHash<OB_IPTrackerHash>(kBuckets, 1), window(window_) {
  domainCounters.setOwner(1);
}

OB_IPTracker::~OB_IPTracker() {
  OB_Log::debug("ipTracker_free()\n");
  clear();
  counterByKey.clear();
  domainCounters.clear();
}

void OB_IPTracker::domainKey(const char* name, char* key, size_t size) {
  const char* dot = name != nullptr ? strrchr(name, '.') : nullptr;
  if (dot == nullptr || dot[1] == '\0' || atoi(dot + 1) != 0) {
    snprintf(key, size, "%s", "Unresolved");
  } else {
    snprintf(key, size, "%s", dot);
  }
}

void OB_IPTracker::notePathCapReached(uint32_t address) {
  if (pathCapLogged) return;
  pathCapLogged = true;
  char text[16];
  OB_Log::log("ipTracker: the path of %s reached %zu pages; older pages are dropped\n",
              OB_Tools::IPAddressString(address, text), OB_IPTrackerHash::kMaxPathNodes);
}

int OB_IPTracker::remove(OB_IPTrackerHash* record) {
  OB_MutexHold hold(this);
  if (record == nullptr) return -1;
  // Out of the index first: the table releases the record.
  const bool indexed = byAddress.find(record->address) == record;
  if (indexed) byAddress.erase(record);
  if (OB_LinkedHash<OB_IPTrackerHash>::remove(record) != 0) {
    if (indexed) byAddress.insert(record);
    return -1;
  }
  return 0;
}

int OB_IPTracker::clear() {
  OB_MutexHold hold(this);
  byAddress.clear();
  return OB_LinkedHash<OB_IPTrackerHash>::clear();
}

OB_IPTrackerHash* OB_IPTracker::findRecord(uint32_t address) {
  return byAddress.find(address);
}

int OB_IPTracker::procAddress(uint32_t time, uint16_t amount, const uint32_t* address,
                              OB_IPTrackerHash** out) {
  if (address == nullptr) return 0;
  OB_IPTrackerHash* record = findRecord(*address);
  const int isNew = record == nullptr ? 1 : 0;
  if (record != nullptr) {
    record->count += amount;
  } else if (!trackedNames_admit()) {
    // Past the bound of tracked names: the client's work still counts in every total, but it
    // gets no record, so it is not ranked and not reported as a new client.
    if (out != nullptr) *out = nullptr;
    return 0;
  } else {
    record = new OB_IPTrackerHash();
    if (record == nullptr) OB_Log::quit("getName: no memory");
    ++addressCount;
    record->address = *address;
    record->count = amount;
    record->tracker = this;
    record->name = AnalysisHash_getDomainName(*address);
    char key[256];
    domainKey(record->name, key, sizeof key);
    OB_CountArray*& counter = counterByKey[key];
    if (counter == nullptr) {
      counter = new OB_CountArray(window->getNumOfBins(), 8);
      if (counter == nullptr || domainCounters.append(counter, key) != 0)
        OB_Log::quit("getName: no memory");
    }
    record->domainCounter = counter;
    insert(record, static_cast<int>(*address % kBuckets));
    byAddress.insert(record);
  }
  const int bin = window->calcIndex(&time);
  if (bin >= 0) record->domainCounter->addAt(static_cast<uint32_t>(bin), 1);
  if (out != nullptr) *out = record;
  return isNew;
}

int OB_IPTracker::printData(FILE* stream) {
  fprintf(stream, "IP Tracker Hash Table\n");
  fprintf(stream, "---------------------\n");
  fprintf(stream, "addressCount = %u\n", addressCount);
  print(stream);
  fprintf(stream, "\n");
  return 0;
}

namespace {

bool inSubset(XSubset_t* subset, uint32_t address) {
  return subset == nullptr || XSubset_isMatch(subset, &address) != 0;
}

// Every record in walk order: bucket 0 first, each chain from its head.
template <class Visit>
void walk(OB_LinkedHash<OB_IPTrackerHash>* table, Visit visit) {
  OB_MutexHold hold(table);
  for (int bucket = 0; bucket < OB_IPTracker::kBuckets; ++bucket)
    for (OB_Link<OB_IPTrackerHash>* at = table->getChain(bucket); at != nullptr; at = at->getNext())
      if (OB_IPTrackerHash* record = at->getItem(); record != nullptr) visit(record);
}

// Appends the entry of an address shown: its dotted quad, the name and both counts.
void appendShown(str2CntList_t* list, uint32_t shown, const char* name, uint32_t a, uint32_t b) {
  char text[16];
  dataStructs_append(list, OB_Tools::IPAddressString(shown, text), name, a, b);
}

}  // namespace

str2CntList_t* OB_IPTracker::getTopN(XSubset_t* subset, int limit) {
  RankedPicks<const OB_IPTrackerHash*> picks(limit);
  walk(this, [&](const OB_IPTrackerHash* record) {
    if (inSubset(subset, record->address)) picks.offer(record->pageCount, record);
  });
  str2CntList_t* ranked = dataStructs_newList();
  for (const OB_IPTrackerHash* record : picks.finish())
    appendShown(ranked, record->address, record->name, record->pageCount, record->count);
  return ranked;
}

str2CntList_t* OB_IPTracker::filtered(XSubset_t* subset, int n, Filter filter, uint32_t first,
                                      uint32_t second) {
  if (filter == Filter::kRange && second < first) std::swap(first, second);
  // One group per address shown, in order of first appearance; only the kept ones are copied.
  struct Group {
    uint32_t shown;
    const char* name;  // the first record's
    uint32_t a, b;
  };
  std::vector<Group> groups;
  std::unordered_map<uint32_t, size_t> byShown;
  walk(this, [&](const OB_IPTrackerHash* record) {
    const uint32_t address = record->address;
    if (!inSubset(subset, address)) return;
    if (filter == Filter::kMask) {
      // One entry per masked address: the folded record's counts join the entry's.
      auto [known, added] = byShown.emplace(address & first, groups.size());
      if (!added) {
        groups[known->second].a += record->pageCount;
        groups[known->second].b += record->count;
        return;
      }
      groups.push_back(Group{address & first, record->name, record->pageCount, record->count});
      return;
    }
    if (filter == Filter::kNetwork ? (address & second) != (first & second)
                                   : address < first || address > second)
      return;
    // A record's own address is shown: one record, one entry.
    groups.push_back(Group{address, record->name, record->pageCount, record->count});
  });
  RankedPicks<const Group*> picks(n);
  for (const Group& group : groups) picks.offer(group.b, &group);
  str2CntList_t* ranked = dataStructs_newList();
  for (const Group* group : picks.finish())
    appendShown(ranked, group->shown, group->name, group->a, group->b);
  return ranked;
}

str2CntList_t* OB_IPTracker::getTopNByMask(XSubset_t* subset, int n, uint32_t mask) {
  return filtered(subset, n, Filter::kMask, mask, 0);
}

str2CntList_t* OB_IPTracker::getTopNByNetwork(XSubset_t* subset, int n, uint32_t network,
                                              uint32_t mask) {
  return filtered(subset, n, Filter::kNetwork, network, mask);
}

str2CntList_t* OB_IPTracker::getTopNByRange(XSubset_t* subset, int n, uint32_t low,
                                            uint32_t high) {
  return filtered(subset, n, Filter::kRange, low, high);
}
