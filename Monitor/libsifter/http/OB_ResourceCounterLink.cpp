#include "http/OB_ResourceCounterLink.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "stats/OB_IPTracker.h"
#include "stats/TrackedNames.h"

OB_Referer::OB_Referer(const char* text) : referer(OB_Tools::strdup(text != nullptr ? text : "")) {
  if (referer == nullptr) OB_Log::quit("processRefererError: No memory");
}

OB_Referer::~OB_Referer() { free(referer); }

OB_RefererErrCounterLink::OB_RefererErrCounterLink(const char* referer, uint32_t maxLength)
    : OB_CountArray(maxLength, 8), OB_Referer(referer) {
  setItem(this);
}

int OB_RefererErrCounterLink::compare(OB_Compare* other, int /*how*/) {
  auto* counter = obQuery<OB_RefererErrCounterLink>(other);
  if (counter == nullptr) return 0;
  const uint64_t mine = getTotal(), theirs = counter->getTotal();
  if (mine > theirs) return 1;
  if (mine < theirs) return -1;
  return 0;
}

namespace {

// A resource (one block), its place in the index and the chains, and the first block of its
// per-bin counts, which its first hit makes.
constexpr size_t kCounterBytes =
    trackedNames_blocks(sizeof(OB_ResourceCounterLink) + 64 + 8 * sizeof(uint32_t), 2);
// Its entry-point parts, made with its first entry: their counts (with a first block) and their
// client list.
constexpr size_t kEntryPointBytes =
    trackedNames_blocks(sizeof(OB_CountArray) + 8 * sizeof(uint32_t) + sizeof(OB_ClientList), 3);

}  // namespace

OB_ResourceCounterLink::OB_ResourceCounterLink() {
  setItem(this);
  setKey(0xFFFFFFFFu);
  trackedNames_add(kCounterBytes);
}

OB_ResourceCounterLink::~OB_ResourceCounterLink() {
  trackedNames_release(kCounterBytes + (entryPointCounts != nullptr ? kEntryPointBytes : 0));
  obRelease(refererErrors);
  obRelease(entryPointCounts);
  delete entryPointClients;
  free(ownNames[0]);
  free(ownNames[1]);
}

void OB_ResourceCounterLink::setOwnNames(const char* uri, const char* mime) {
  free(ownNames[0]);
  free(ownNames[1]);
  ownNames[0] = OB_Tools::strdup(uri != nullptr ? uri : "");
  ownNames[1] = OB_Tools::strdup(mime != nullptr ? mime : "");
  if (ownNames[0] == nullptr || ownNames[1] == nullptr) OB_Log::quit("addCounter: Not enough memory");
  setResource(ownNames[0]);
  setMimeType(ownNames[1]);
}

int OB_ResourceCounterLink::processRefererError(const char* referer, uint32_t bin,
                                                uint32_t numOfBins) {
  if (referer == nullptr) referer = "";
  if (refererErrors == nullptr) {
    refererErrors = new OB_List<OB_RefererErrCounterLink>();
    if (refererErrors == nullptr) OB_Log::quit("processRefererError: No memory");
    refererErrors->setOwner(1);
    refererErrors->setIntrusive(1);
    refererIndex = std::make_unique<RefererIndex>();
  }
  OB_MutexHold hold(refererErrors);
  auto known = refererIndex->find(referer);
  OB_RefererErrCounterLink* found = known != refererIndex->end() ? known->second : nullptr;
  if (found == nullptr) {
    found = new OB_RefererErrCounterLink(referer, numOfBins);
    if (found == nullptr || refererErrors->append(found) != 0)
      OB_Log::quit("processRefererError: No memory");
    // The key views the counter's own copy, which lives as long as the list holds it.
    refererIndex->emplace(found->getReferer(), found);
  }
  found->addAt(bin, 1);
  return 0;
}

int OB_ResourceCounterLink::recordEntryPoint(uint32_t bin, OB_IPTrackerHash* client) {
  if (entryPointCounts == nullptr) {
    entryPointCounts = new OB_CountArray(getMaxLength(), 8);
    entryPointClients = new (std::nothrow) OB_ClientList();
    if (entryPointCounts == nullptr || entryPointClients == nullptr)
      OB_Log::quit("addCounter: Not enough memory");
    trackedNames_add(kEntryPointBytes);
  }
  entryPointCounts->addAt(bin, 1);
  if (client != nullptr) entryPointClients->append(client);
  return 0;
}

uint64_t OB_ResourceCounterLink::refererErrorTotal() {
  if (refererErrors == nullptr) return 0;
  uint64_t sum = 0;
  OB_MutexHold hold(refererErrors);
  refererErrors->first();
  for (auto* at = refererErrors->getCurrentLink(); at != nullptr; at = at->getNext())
    if (OB_RefererErrCounterLink* entry = at->getItem(); entry != nullptr) sum += entry->getTotal();
  return sum;
}

int OB_ResourceCounterLink::compare(OB_Compare* other, int /*how*/) {
  auto* counter = obQuery<OB_ResourceCounterLink>(other);
  if (counter == nullptr) return -1;
  const uint64_t mine = refererErrorTotal(), theirs = counter->refererErrorTotal();
  if (theirs > mine) return 1;
  if (theirs < mine) return -1;
  return 0;
}
