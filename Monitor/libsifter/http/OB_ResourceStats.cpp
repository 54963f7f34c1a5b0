#include "http/OB_ResourceStats.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_Tools.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "http/ssHitData.h"
#include "stats/AnalysisHash.h"
#include "stats/OB_IPTracker.h"
#include "stats/TrackedNames.h"
#include "windows/OB_IndexChanger.h"

namespace {

bool hasText(const char* text, const char* substring) {
  return substring == nullptr || substring[0] == '\0' || strstr(text, substring) != nullptr;
}

// Every counter of the table, bucket by bucket and along each chain.
template <class Visit>
void eachCounter(OB_LinkedHash<OB_ResourceCounterLink>* table, Visit visit) {
  OB_MutexHold hold(table);
  for (int bucket = 0; bucket < OB_ResourceStats::kBuckets; ++bucket)
    for (auto* at = table->getChain(bucket); at != nullptr; at = at->getNext())
      if (OB_ResourceCounterLink* counter = at->getItem(); counter != nullptr) visit(counter);
}

OB_List<OB_ResourceCounterLink>* listOf(const std::vector<OB_ResourceCounterLink*>& counters) {
  auto* list = new OB_List<OB_ResourceCounterLink>();
  if (list == nullptr) OB_Log::quit("ssResourcesServedData_getBreakdown: no memory");
  for (OB_ResourceCounterLink* counter : counters)
    if (list->append(counter) != 0) OB_Log::quit("ssResourcesServedData_getBreakdown: no memory");
  return list;
}

}  // namespace

OB_ResourceStats::OB_ResourceStats(OB_IndexChanger* window_, int tracksClients_)
    : OB_LinkedHash<OB_ResourceCounterLink>(kBuckets, 1),
      window(window_),
      numOfBins(window_->getNumOfBins()),
      tracksClients(tracksClients_) {
  OB_Log::debug("ssResourcesServedData_initAll()\n");
  if (OB_NamedStringList* options = getOptions(); options != nullptr) {
    if (OB_String* value = options->find("PathTracking"); value != nullptr && atoi(*value) == 0)
      pathTracking = 0;
  }
}

OB_ResourceStats::~OB_ResourceStats() {
  OB_Log::debug("ssResourcesServedData_freeAll()\n");
  clear();
}

namespace {

// A 64-bit hash of n bytes, taken eight at a time: the look-up index's, never stored.
uint64_t hashBytes(const char* text, size_t n, uint64_t h) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  h ^= n * kMultiplier;
  for (; n >= 8; text += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, text, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 29;
  }
  uint64_t rest = 0;
  std::memcpy(&rest, text, n);
  h = (h ^ rest) * kMultiplier;
  return h ^ (h >> 32);
}

}  // namespace

uint64_t OB_ResourceStats::pairHash(const char* uri, size_t uriLength, const char* mime,
                                    size_t mimeLength) {
  // The lengths are part of the hash, so "a" + "b/c" differs from "ab" + "/c".
  return hashBytes(mime, mimeLength, hashBytes(uri, uriLength, 0xCBF29CE484222325ull));
}

void OB_ResourceStats::index(uint64_t hash, OB_ResourceCounterLink* counter) {
  if ((indexed + 1) * 2 > slots.size()) {
    std::vector<Slot> old(slots.size() < 64 ? 64 : slots.size() * 2, Slot{0, nullptr});
    old.swap(slots);
    indexed = 0;
    for (const Slot& slot : old)
      if (slot.counter != nullptr) index(slot.hash, slot.counter);
  }
  size_t at = static_cast<size_t>(hash) & (slots.size() - 1);
  while (slots[at].counter != nullptr) at = (at + 1) & (slots.size() - 1);
  slots[at] = Slot{hash, counter};
  ++indexed;
}

int OB_ResourceStats::remove(OB_ResourceCounterLink* counter) {
  OB_MutexHold hold(this);
  if (OB_LinkedHash<OB_ResourceCounterLink>::remove(counter) != 0) return -1;
  slots.clear();
  indexed = 0;
  eachCounter(this, [this](OB_ResourceCounterLink* kept) {
    index(pairHash(kept->getResource(), strlen(kept->getResource()), kept->getMimeType(),
                   strlen(kept->getMimeType())),
          kept);
  });
  return 0;
}

int OB_ResourceStats::clear() {
  OB_MutexHold hold(this);
  slots.clear();
  indexed = 0;
  return OB_LinkedHash<OB_ResourceCounterLink>::clear();
}

OB_ResourceCounterLink* OB_ResourceStats::findCounter(const char* uri, const char* mime) {
  if (uri == nullptr || mime == nullptr) return nullptr;
  return findCounter(pairHash(uri, strlen(uri), mime, strlen(mime)), uri, mime);
}

OB_ResourceCounterLink* OB_ResourceStats::findCounter(uint64_t hash, const char* uri,
                                                      const char* mime) {
  if (slots.empty()) return nullptr;
  for (size_t at = static_cast<size_t>(hash) & (slots.size() - 1); slots[at].counter != nullptr;
       at = (at + 1) & (slots.size() - 1)) {
    OB_ResourceCounterLink* counter = slots[at].counter;
    if (slots[at].hash == hash && strcmp(counter->getResource(), uri) == 0 &&
        strcmp(counter->getMimeType(), mime) == 0)
      return counter;
  }
  return nullptr;
}

OB_ResourceCounterLink* OB_ResourceStats::addCounter(uint16_t bucket, const char* uri,
                                                     const char* mime) {
  return addCounter(bucket, uri, mime, pairHash(uri, strlen(uri), mime, strlen(mime)));
}

OB_ResourceCounterLink* OB_ResourceStats::addCounter(uint16_t bucket, const char* uri,
                                                     const char* mime, uint64_t hash) {
  auto* counter = new OB_ResourceCounterLink();
  if (counter == nullptr) OB_Log::quit("addCounter: Not enough memory");
  counter->setMaxLength(numOfBins);
  const char* resource = AnalysisHash_internName(getResourceHash(), uri);
  const char* type = AnalysisHash_internName(getMimeTypeHash(), mime);
  if (resource != nullptr && type != nullptr) {
    counter->setResource(resource);
    counter->setMimeType(type);
  } else {
    // No name tables (a tool or test that made none): the counter keeps copies of its own.
    counter->setOwnNames(uri, mime);
  }
  if (insert(counter, bucket) != 0) OB_Log::quit("addCounter: Not enough memory");
  index(hash, counter);
  return counter;
}

void OB_ResourceStats::processTransaction(httpNetInfo_t* info, OB_HTTPProtocol* protocol,
                                          OB_HTTPXact* xact, OB_IPTrackerHash* client) {
  if (info == nullptr || xact == nullptr || info->windowIndex < 0) return;
  const uint32_t bin = static_cast<uint32_t>(info->windowIndex);
  const char* uri = xact->req_request_uri.c_str();
  const char* mime = xact->res_content_type.c_str();
  const httpXactFacts_t* facts = info->facts;
  const uint64_t hash =
      facts != nullptr
          ? facts->resourceHash
          : pairHash(uri, xact->req_request_uri.length(), mime, xact->res_content_type.length());
  OB_ResourceCounterLink* counter = findCounter(hash, uri, mime);
  const bool owner = tracksClients != 0 && client != nullptr;
  if (counter == nullptr) {
    // Past the bound of tracked names a new resource counts only in the other modules' totals.
    if (!trackedNames_admit()) {
      if (owner) ++client->count;
      return;
    }
    counter = addCounter(hashName(uri, kBuckets, nullptr), uri, mime, hash);
  }

  if (owner) ++client->count;
  counter->addAt(bin, 1);
  if (client != nullptr) counter->getClients()->append(client);

  const bool entryPoint =
      facts != nullptr ? facts->entryPoint != 0 : ssHitData_isEntryPoint(xact);
  if (entryPoint) counter->recordEntryPoint(bin, client);

  if (owner && strcmp(counter->getMimeType(), "text/html") == 0) {
    if (pathTracking == 1) client->addResource(counter, protocol != nullptr ? protocol->xTime() : 0);
    ++client->pageCount;
  }
  if (entryPoint && OB_Tools::isValidPage(xact->res_status_code.c_str()) == 0)
    counter->processRefererError(xact->req_referer.c_str(), bin, numOfBins);
}

OB_List<OB_ResourceCounterLink>* OB_ResourceStats::getBreakdown(int kind, uint16_t n,
                                                                const char* mimeFilter,
                                                                const char* substring) {
  OB_MutexHold windowHold(static_cast<OB_Mutex*>(window));
  std::vector<std::pair<uint64_t, OB_ResourceCounterLink*>> picked;
  picked.reserve(static_cast<size_t>(getCount()));
  const bool anyType = mimeFilter == nullptr || strcmp(mimeFilter, "All") == 0;
  eachCounter(this, [&](OB_ResourceCounterLink* counter) {
    if (!anyType && strcmp(mimeFilter, counter->getMimeType()) != 0) return;
    if (!hasText(counter->getResource(), substring)) return;
    if (kind == kEntryPoints && counter->getEntryPointClients() == nullptr) return;
    const uint64_t total = kind == kEntryPoints ? counter->getEntryPointCounts()->getTotal()
                                                : counter->getTotal();
    picked.emplace_back(total, counter);
  });
  const size_t keep = std::min<size_t>(n, picked.size());
  std::partial_sort(picked.begin(), picked.begin() + static_cast<std::ptrdiff_t>(keep),
                    picked.end(),
                    [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<OB_ResourceCounterLink*> counters;
  for (size_t i = 0; i < keep; ++i) counters.push_back(picked[i].second);
  return listOf(counters);
}

OB_List<OB_ResourceCounterLink>* OB_ResourceStats::getHitBreakdown(uint16_t n,
                                                                   const char* mimeFilter,
                                                                   const char* substring) {
  return getBreakdown(kHits, n, mimeFilter, substring);
}

OB_List<OB_ResourceCounterLink>* OB_ResourceStats::getEntryPointBreakdown(uint16_t n,
                                                                          const char* substring) {
  return getBreakdown(kEntryPoints, n, "text/html", substring);
}

OB_List<OB_ResourceCounterLink>* OB_ResourceStats::getRefererErrorBreakdown(
    uint16_t n, const char* substring) {
  OB_MutexHold windowHold(static_cast<OB_Mutex*>(window));
  std::vector<std::pair<uint64_t, OB_ResourceCounterLink*>> picked;
  eachCounter(this, [&](OB_ResourceCounterLink* counter) {
    if (counter->getRefererErrors() == nullptr || !hasText(counter->getResource(), substring))
      return;
    picked.emplace_back(counter->refererErrorTotal(), counter);
  });
  std::stable_sort(picked.begin(), picked.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<OB_ResourceCounterLink*> counters;
  for (size_t i = 0; i < picked.size() && i < n; ++i) counters.push_back(picked[i].second);
  return listOf(counters);
}

OB_ResourceSeries* OB_ResourceStats::getHitSeries(const char* uri, const char* mime, int kind) {
  if (kind != kHits && kind != kEntryPoints)
    OB_Log::quit("ssResourcesServedData_getHitSeries: shouldn't be here");
  OB_MutexHold windowHold(static_cast<OB_Mutex*>(window));
  auto* series = new OB_ResourceSeries(uri, mime, window->getNowTime(), window->getAgoTime(),
                                       numOfBins);
  if (series == nullptr) OB_Log::quit("ssResourcesServedData_getHitSeries: no memory");
  OB_ResourceCounterLink* counter =
      uri != nullptr && mime != nullptr ? findCounter(uri, mime) : nullptr;
  OB_Array* counts = counter == nullptr       ? nullptr
                     : kind == kHits          ? static_cast<OB_Array*>(counter)
                                              : counter->getEntryPointCounts();
  if (counts != nullptr && numOfBins > 0)
    counts->copyRing(std::min(window->getTimeIndex(), numOfBins - 1), numOfBins, series);
  return series;
}

OB_ResourceSeries* OB_ResourceStats::getResourceHitSeries(const char* uri, const char* mime) {
  return getHitSeries(uri, mime, kHits);
}

OB_ResourceSeries* OB_ResourceStats::getEntryPointSeries(const char* uri, const char* mime) {
  return getHitSeries(uri, mime, kEntryPoints);
}

int OB_ResourceStats::print(FILE* stream) {
  OB_List<OB_ResourceCounterLink>* list = getHitBreakdown(200, "All", "");
  fprintf(stream, "Resources Served Breakdown Summary\n");
  fprintf(stream, "----------------------------------\n");
  fprintf(stream, "numOfResources = %d\n", list->getCount());
  for (OB_ResourceCounterLink* counter = list->first(); counter != nullptr;
       counter = list->next()) {
    OB_ClientList* clients = counter->getClients();
    OB_ClientList* entries = counter->getEntryPointClients();
    fprintf(stream, "Hits %s (%s) = %llu\n", counter->getResource(), counter->getMimeType(),
            static_cast<unsigned long long>(counter->getTotal()));
    fprintf(stream, " ipList entry: %d entryPointList entry: %d\n", clients->getCount(),
            entries != nullptr ? entries->getCount() : 0);
    uint64_t clientSum = 0, entrySum = 0;
    auto printClients = [stream](OB_ClientList* from, uint64_t* sum) {
      for (const auto& entry : from->entries()) {
        char text[16];
        OB_IPTrackerHash* client = entry.item;
        fprintf(stream, "%u %s counter:%u %u\n", entry.count,
                OB_Tools::IPAddressString(client != nullptr ? client->address : 0, text),
                entry.count, client != nullptr ? client->count : 0);
        *sum += entry.count;
      }
    };
    printClients(clients, &clientSum);
    fprintf(stream, "IPEntryPoitList:\n");
    if (entries != nullptr) printClients(entries, &entrySum);
    const uint64_t entryTotal =
        counter->getEntryPointCounts() != nullptr ? counter->getEntryPointCounts()->getTotal() : 0;
    fprintf(stream,
            "\nCalculate total: %llu countArray: %llu, Calculate entry point total:%llu, "
            "entryPointCountArray: %llu\n\n\n",
            static_cast<unsigned long long>(clientSum),
            static_cast<unsigned long long>(counter->getTotal()),
            static_cast<unsigned long long>(entrySum),
            static_cast<unsigned long long>(entryTotal));
  }
  list->release();
  return 0;
}

void OB_ResourceStats::printRefererErrors(FILE* stream) {
  OB_List<OB_ResourceCounterLink>* list = getRefererErrorBreakdown(20, "");
  fprintf(stream, "Referrer Errors Summary\n");
  fprintf(stream, "-----------------------\n");
  fprintf(stream, "numOfResources = %d\n", list->getCount());
  for (OB_ResourceCounterLink* counter = list->first(); counter != nullptr;
       counter = list->next())
    fprintf(stream, "Errors %s (%s) = %d\n", counter->getResource(), counter->getMimeType(),
            counter->getRefererErrors()->getCount());
  list->release();
}
