#include "stats/AnalysisHash.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"
#include "pool/OB_IndexedHash.h"
#include "stats/TrackedNames.h"

namespace {

// A name by its text (byte for byte, as the chains' compare finds it in the C locale).
struct NameKey {
  using Key = std::string_view;
  static Key keyOf(OB_String* name) {
    return Key(static_cast<const char*>(*name), name->getLength());
  }
  static uint64_t hash(const Key& key) { return std::hash<std::string_view>()(key); }
};
// A domain entry by its address.
struct DomainKey {
  using Key = uint32_t;
  static Key keyOf(OB_Domain* domain) { return domain->m_IP; }
  static uint64_t hash(const Key& key) { return key; }
};
using NameHash = OB_IndexedHash<OB_String, NameKey>;

// What an interned name holds: the string object and its text, two blocks, and its places in
// the table's chain and index.
size_t internedBytes(const char* name) {
  return trackedNames_blocks(sizeof(OB_String) + strlen(name) + 1 + 24, 2);
}
using DomainHash = OB_IndexedHash<OB_Domain, DomainKey>;

// Set and cleared only by init and free, which run alone; read from any thread.
std::atomic<NameHash*> resourceHash{nullptr};
std::atomic<NameHash*> mimeTypeHash{nullptr};
std::atomic<DomainHash*> domainHash{nullptr};

std::atomic<OB_NameLookups> nameLookups{OB_NameLookups::kInline};

// The domain cache's resolver: addresses the cache lacks wait in a queue; one thread looks them
// up one at a time, with no lock held, and gives the waiting entries their names. The thread
// is never joined, so that a resolver that does not answer holds no stop: it shares this record
// with the cache, and once the cache is gone (table null) it drops what it found and ends.
struct Resolver {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<uint32_t> queue;
  DomainHash* table = nullptr;  // null: the cache is gone
  bool naming = false;          // the thread is writing into table
};
// Set and cleared only by init and free.
std::shared_ptr<Resolver> resolver;

std::atomic<uint32_t> retryAfter{600};

// Seconds of the steady clock, from 1 on (0 marks "no failure" in OB_Domain::retryAt).
uint32_t clockSeconds() {
  return 1 + static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
}

// A failed look-up of domain: its quad stays, pending, until the negative entry expires.
void noteFailure(OB_Domain* domain) {
  domain->pending = true;
  domain->retryAt = clockSeconds() + retryAfter.load();
}

// Addresses waiting at most; beyond them an unknown address keeps its dotted quad this run.
constexpr size_t kMostWaiting = 4096;

// The reverse look-up's name, or the dotted quad when it gives none (then false; a name that
// reads as the quad is none either).
bool lookUp(uint32_t address, char* name, size_t size) {
  char quad[16];
  OB_Tools::IPAddressString(address, quad);
  OB_Tools::resolveIP(&address, name, size);
  if (name[0] != '\0' && strcmp(name, quad) != 0) return true;
  snprintf(name, size, "%s", quad);
  return false;
}

OB_Domain* findDomain(DomainHash* table, uint32_t address) { return table->findKey(address); }

// A new entry of address under name, added to its bucket; the caller (who) holds the table's
// lock.
OB_Domain* addDomain(DomainHash* table, uint32_t address, const char* name, bool pending,
                     const char* who) {
  auto* domain = new OB_Domain(address, name);
  if (domain == nullptr || domain->m_pDNS == nullptr) OB_Log::quit("%s: no memory", who);
  domain->pending = pending;
  table->insert(domain, static_cast<int>(address % kDomainHashBuckets));
  return domain;
}

void resolveWaiting(std::shared_ptr<Resolver> self) {
  for (;;) {
    uint32_t address = 0;
    {
      std::unique_lock<std::mutex> hold(self->lock);
      self->wake.wait(hold, [&] { return self->table == nullptr || !self->queue.empty(); });
      if (self->table == nullptr) return;
      address = self->queue.front();
      self->queue.pop_front();
    }
    char name[OB_Tools::kMaxHostSize] = "";
    const bool found = lookUp(address, name, sizeof name);
    DomainHash* table = nullptr;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      if (self->table == nullptr) return;
      table = self->table;
      self->naming = true;
    }
    {
      OB_MutexHold hold(table);
      if (OB_Domain* domain = findDomain(table, address); domain != nullptr && domain->pending) {
        if (found)
          domain->settle(name);
        else
          noteFailure(domain);
      }
    }
    {
      std::lock_guard<std::mutex> hold(self->lock);
      self->naming = false;
    }
    self->wake.notify_all();
  }
}

// Queues address for the resolver thread; false (dropped) when there is none or its queue is
// full.
bool queueLookUp(uint32_t address) {
  std::shared_ptr<Resolver> self = resolver;
  if (self == nullptr) return false;
  {
    std::lock_guard<std::mutex> hold(self->lock);
    if (self->table == nullptr || self->queue.size() >= kMostWaiting) return false;
    self->queue.push_back(address);
  }
  self->wake.notify_one();
  return true;
}

// Ends the resolver: it drops its queue and whatever it is looking up; waits only while it is
// writing a name into the table.
void stopResolver() {
  std::shared_ptr<Resolver> self = std::move(resolver);
  resolver.reset();
  if (self == nullptr) return;
  std::unique_lock<std::mutex> hold(self->lock);
  self->table = nullptr;
  self->queue.clear();
  self->wake.notify_all();
  self->wake.wait(hold, [&] { return !self->naming; });
}

std::string domainFilePath() { return std::string(OB_Tools::getInstallDir()) + "/db/domains.db"; }

// Reads every record of the file, or none: the file comes from disk and may be truncated or
// damaged, and a half-trusted cache would give wrong names. A record is sound when its bucket
// is the one its address belongs in (look-ups search only there) and its address is new. The
// count must match the records exactly. On success the entries move to table (which is empty).
int loadDomains(DomainHash* table, FILE* stream) {
  std::vector<OB_Domain*> loaded;
  std::unordered_set<uint32_t> seen;
  auto refuse = [&loaded]() {
    for (OB_Domain* domain : loaded) domain->release();
    return -1;
  };
  uint32_t count = 0;
  if (OB_ArchiveIO::readU32(stream, &count) != 0) return refuse();
  // The count is not trusted for a reservation: each record is read before it is kept.
  for (uint32_t n = 0; n < count; ++n) {
    uint32_t bucket = 0;
    if (OB_ArchiveIO::readU32(stream, &bucket) != 0) return refuse();
    OB_Domain* domain = OB_Domain::create();
    if (domain == nullptr) OB_Log::quit("Out of memory");
    if (domain->read(stream) != 0 || bucket != domain->m_IP % kDomainHashBuckets ||
        !seen.insert(domain->m_IP).second) {
      domain->release();
      return refuse();
    }
    loaded.push_back(domain);
  }
  if (fgetc(stream) != EOF) return refuse();

  OB_MutexHold hold(table);
  if (table->getCount() != 0) OB_Log::quit("Error reading OB_LinkedHash");
  for (OB_Domain* domain : loaded)
    table->insert(domain, static_cast<int>(domain->m_IP % kDomainHashBuckets));
  return 0;
}

// The table's file form with the entries that have their name: the count, then per entry its
// bucket and its own write, bucket by bucket.
int writeSettled(DomainHash* table, FILE* stream) {
  OB_MutexHold hold(table);
  uint32_t count = 0;
  for (int bucket = 0; bucket < kDomainHashBuckets; ++bucket)
    for (OB_Link<OB_Domain>* at = table->getChain(bucket); at != nullptr; at = at->getNext())
      if (at->getItem() != nullptr && !at->getItem()->pending) ++count;
  if (OB_ArchiveIO::writeU32(stream, count) != 0) return -1;
  for (int bucket = 0; bucket < kDomainHashBuckets; ++bucket) {
    for (OB_Link<OB_Domain>* at = table->getChain(bucket); at != nullptr; at = at->getNext()) {
      OB_Domain* domain = at->getItem();
      if (domain == nullptr || domain->pending) continue;
      if (OB_ArchiveIO::writeU32(stream, static_cast<uint32_t>(bucket)) != 0 ||
          domain->write(stream) != 0)
        return -1;
    }
  }
  return 0;
}

// Writes the table beside the file and renames it over the file only when every byte is on
// disk, so a failed save never leaves a damaged cache behind.
int saveDomains(DomainHash* table, const std::string& path) {
  const std::string temporary = path + ".tmp." + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    close(fd);
    unlink(temporary.c_str());
    return -1;
  }
  int result = writeSettled(table, stream);
  if (fflush(stream) != 0 || fsync(fileno(stream)) != 0) result = -1;
  if (fclose(stream) != 0) result = -1;
  if (result == 0 && rename(temporary.c_str(), path.c_str()) != 0) result = -1;
  if (result != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
  }
  return result;
}

}  // namespace

void AnalysisHash_init(OB_NameLookups lookups) {
  if (resourceHash.load() != nullptr || domainHash.load() != nullptr ||
      mimeTypeHash.load() != nullptr)
    return;
  auto* resources = new NameHash(kResourceHashBuckets, 1);
  auto* domains = new DomainHash(kDomainHashBuckets, 1);
  auto* mimeTypes = new NameHash(kMimeTypeHashBuckets, 1);
  if (resources == nullptr || domains == nullptr || mimeTypes == nullptr)
    OB_Log::quit("AnalysisHash_init: Out of memory");

  const std::string path = domainFilePath();
  // No file yet is the first start: an empty cache, nothing to report.
  if (FILE* stream = fopen(path.c_str(), "rb"); stream != nullptr) {
    if (loadDomains(domains, stream) != 0)
      OB_Log::log("AnalysisHash_init: %s is damaged; the domain cache starts empty\n",
                  path.c_str());
    fclose(stream);
  }
  nameLookups.store(lookups);
  if (lookups == OB_NameLookups::kBackground) {
    resolver = std::make_shared<Resolver>();
    resolver->table = domains;
    std::thread(resolveWaiting, resolver).detach();
  }
  resourceHash.store(resources);
  domainHash.store(domains);
  mimeTypeHash.store(mimeTypes);
}

void AnalysisHash_free() {
  AnalysisHash_clearNames(resourceHash.load());
  AnalysisHash_clearNames(mimeTypeHash.load());
  obRelease(resourceHash.exchange(nullptr));
  stopResolver();
  if (DomainHash* domains = domainHash.exchange(nullptr); domains != nullptr) {
    const std::string path = domainFilePath();
    if (saveDomains(domains, path) != 0)
      OB_Log::log("AnalysisHash_free: could not write %s %s\n", path.c_str(),
                  OB_Log::sys_err_str());
    domains->release();
  }
  obRelease(mimeTypeHash.exchange(nullptr));
}

OB_LinkedHash<OB_String>* getResourceHash() { return resourceHash.load(); }
OB_LinkedHash<OB_String>* getMimeTypeHash() { return mimeTypeHash.load(); }
OB_LinkedHash<OB_Domain>* getDomainNameHash() { return domainHash.load(); }

const char* AnalysisHash_internName(OB_LinkedHash<OB_String>* table, const char* name) {
  if (table == nullptr || name == nullptr) return nullptr;
  OB_MutexHold hold(table);
  OB_String probe(name, OB_String::kBorrow);
  OB_String* found = table->find(&probe);
  if (found == nullptr) {
    found = new OB_String(name);
    if (found == nullptr) OB_Log::quit("AnalysisHash_internName: no memory");
    if (table->add(found) != 0) OB_Log::quit("AnalysisHash_internName: cannot add %s", name);
    trackedNames_add(internedBytes(name));
  }
  return *found;
}

void AnalysisHash_clearNames(OB_LinkedHash<OB_String>* table) {
  if (table == nullptr) return;
  OB_MutexHold hold(table);
  size_t bytes = 0;
  for (int bucket = 0; bucket < table->getNumBuckets(); ++bucket)
    for (auto* link = table->getChain(bucket); link != nullptr; link = link->getNext())
      if (OB_String* name = link->getItem(); name != nullptr) bytes += internedBytes(*name);
  table->clear();
  trackedNames_release(bytes);
}

const char* AnalysisHash_getDomainName(uint32_t address, const char* nameWhenAbsent) {
  DomainHash* table = domainHash.load();
  if (table == nullptr) return nullptr;
  // Held across the look-up and the add so that two threads never add one address twice.
  OB_MutexHold hold(table);
  OB_Domain* domain = findDomain(table, address);
  if (domain != nullptr) {
    // A negative entry past its time is asked again, as a new address would be.
    if (!domain->pending || domain->retryAt == 0 || clockSeconds() < domain->retryAt)
      return domain->m_pDNS;
    domain->retryAt = 0;
    char name[OB_Tools::kMaxHostSize] = "";
    switch (nameLookups.load()) {
      case OB_NameLookups::kInline:
        if (lookUp(address, name, sizeof name))
          domain->settle(name);
        else
          noteFailure(domain);
        break;
      case OB_NameLookups::kBackground:
        if (!queueLookUp(address)) noteFailure(domain);
        break;
      case OB_NameLookups::kNone:
        break;
    }
    return domain->m_pDNS;
  }
  // As long as the resolver's longest name, so no name is cut.
  char name[OB_Tools::kMaxHostSize] = "";
  bool pending = false;
  bool failed = false;
  if (nameWhenAbsent != nullptr) {
    snprintf(name, sizeof name, "%s", nameWhenAbsent);
  } else {
    switch (nameLookups.load()) {
      case OB_NameLookups::kInline:
        failed = !lookUp(address, name, sizeof name);
        break;
      case OB_NameLookups::kBackground:
        // The asking thread may be the capture's: it never waits on the resolver. Dropped
        // from a full queue, the address keeps its quad until its retry, and the file does not
        // keep it.
        OB_Tools::IPAddressString(address, name);
        pending = true;
        failed = !queueLookUp(address);
        break;
      case OB_NameLookups::kNone:
        OB_Tools::IPAddressString(address, name);
        pending = true;  // not kept in the file: a run that resolves will ask
        break;
    }
  }
  domain = addDomain(table, address, name, pending, "AnalysisHash_getDomainName");
  if (failed) noteFailure(domain);
  return domain->m_pDNS;
}

const char* AnalysisHash_cachedDomainName(uint32_t address) {
  DomainHash* table = domainHash.load();
  if (table == nullptr) return nullptr;
  OB_MutexHold hold(table);
  if (OB_Domain* domain = findDomain(table, address); domain != nullptr) return domain->m_pDNS;
  if (nameLookups.load() != OB_NameLookups::kBackground) return nullptr;
  return AnalysisHash_getDomainName(address);
}

void AnalysisHash_setRetryAfter(uint32_t seconds) { retryAfter.store(seconds); }

const char* AnalysisHash_resolveDomainName(uint32_t address) {
  DomainHash* table = domainHash.load();
  if (table == nullptr) return nullptr;
  {
    OB_MutexHold hold(table);
    // A settled name, or a failure not yet expired: nothing to ask.
    if (OB_Domain* domain = findDomain(table, address);
        domain != nullptr && (!domain->pending || (domain->retryAt != 0 &&
                                                   clockSeconds() < domain->retryAt)))
      return domain->m_pDNS;
  }
  // Looked up with the cache free, so its other users do not wait on the resolver.
  char name[OB_Tools::kMaxHostSize] = "";
  const bool found = lookUp(address, name, sizeof name);
  OB_MutexHold hold(table);
  OB_Domain* domain = findDomain(table, address);
  if (domain == nullptr) {
    domain = addDomain(table, address, name, !found, "AnalysisHash_resolveDomainName");
    if (!found) noteFailure(domain);
    return domain->m_pDNS;
  }
  if (domain->pending) {
    if (found)
      domain->settle(name);
    else
      noteFailure(domain);
  }
  return domain->m_pDNS;
}

uint16_t hashName(const char* text, int n, uint16_t* length) {
  size_t size = text != nullptr ? strlen(text) : 0;
  if (length != nullptr) *length = static_cast<uint16_t>(size < 0xFFFF ? size : 0xFFFF);
  if (n <= 0 || n > 65536) return 0;
  // h stays within (-n, n), so h * 127 + c stays below 2^23 in size; its remainder (C's, with the
  // sign of the dividend) comes from a multiplication by a reciprocal scaled by 2^40, which is
  // exact for such dividends and much cheaper than a division per character.
  const uint64_t divisor = static_cast<uint64_t>(n);
  const uint64_t reciprocal = (uint64_t{1} << 40) / divisor + 1;
  int32_t h = 0;
  for (size_t i = 0; i < size; ++i) {
    const int32_t x = h * 127 + static_cast<int8_t>(text[i]);
    const uint64_t magnitude = static_cast<uint64_t>(x < 0 ? -static_cast<int64_t>(x) : x);
    const uint64_t quotient = (magnitude * reciprocal) >> 40;
    const int32_t remainder = static_cast<int32_t>(magnitude - quotient * divisor);
    h = x < 0 ? -remainder : remainder;
  }
  if (h < 0) h = -h % n;
  return static_cast<uint16_t>(h);
}
