// The clients of one server in one time window: per IPv4 address how much it did and its host
// name (through the domain-name cache), per top-level domain of those names how many connections
// fell into each bin, and for HTTP the pages each client asked for in order. Each HTTP and FTP
// server statistics object owns one; the console's IP-tracking commands rank its addresses.
//
// Guarded by the statistics lock of the window's reader: the counting steps and the console
// queries all run under it, so neither the tracker nor its records take a lock of their own for
// counting (the table's own lock guards its chains).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_NamedList.h"
#include "pool/OB_IndexedHash.h"
#include "pool/OB_LinkedHash.h"
#include "stats/OB_Array.h"
#include "stats/dataStructs.h"

class OB_IndexChanger;
class OB_IPTracker;
struct XSubset_t;

// One page of a client's path: the resource asked for (not owned; it lives as long as the
// statistics that hold the tracker) and when, in seconds since 1970.
class OB_PathNode {
 public:
  OB_PathNode(OB_Object* item_, uint32_t time_) : item(item_), time(time_) {}
  OB_Object* getItem() const { return item; }
  uint32_t getTime() const { return time; }

 private:
  OB_Object* item;
  uint32_t time;
};

// A client's pages, oldest first, at most a cap of them. One block that doubles as pages come
// until the cap, then a ring in which the newest page takes the oldest one's place: a client of
// one page costs one small block, and a client at the cap drops its oldest page without moving
// the others.
class OB_ClientPath {
 public:
  class const_iterator {
   public:
    const_iterator(const OB_ClientPath* path, size_t at) : path_(path), at_(at) {}
    const OB_PathNode& operator*() const { return (*path_)[at_]; }
    const OB_PathNode* operator->() const { return &(*path_)[at_]; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }
    bool operator!=(const const_iterator& other) const { return at_ != other.at_; }

   private:
    const OB_ClientPath* path_;  // not owned
    size_t at_;                  // pages from the oldest
  };

  size_t size() const { return nodes_.size(); }
  // What the path holds: itself and its block, as the heap gives them.
  size_t bytes() const;
  // Page i from the oldest; i below size().
  const OB_PathNode& operator[](size_t i) const {
    const size_t at = head_ + i;
    return nodes_[at < nodes_.size() ? at : at - nodes_.size()];
  }
  const OB_PathNode& front() const { return (*this)[0]; }
  const OB_PathNode& back() const { return (*this)[nodes_.size() - 1]; }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, nodes_.size()); }

  // Appends node; with cap pages held (cap above 0) the oldest goes. True when one went.
  bool push(const OB_PathNode& node, size_t cap) {
    if (nodes_.size() < cap) {
      // Below the cap nothing was dropped yet, so the oldest is at 0 and the newest at the end.
      nodes_.push_back(node);
      return false;
    }
    nodes_[head_] = node;
    head_ = head_ + 1 < nodes_.size() ? head_ + 1 : 0;
    return true;
  }

 private:
  std::vector<OB_PathNode> nodes_;
  size_t head_ = 0;  // the oldest page's place once the ring turns; 0 before
};

class OB_IPTrackerHash : public virtual OB_Key<uint32_t>,
                         public virtual OB_Link<OB_IPTrackerHash>,
                         public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_IPTrackerHash, 0x2A5A5A01, "OB_IPTrackerHash", OB_Key<uint32_t>,
                    OB_Link<OB_IPTrackerHash>, OB_Object)
  OB_CLASS_CREATE(OB_IPTrackerHash)

 public:
  // A client's path keeps at most this many pages, the newest.
  static constexpr size_t kMaxPathNodes = 4096;

  OB_IPTrackerHash();
  OB_IPTrackerHash(const OB_IPTrackerHash&) = delete;
  OB_IPTrackerHash& operator=(const OB_IPTrackerHash&) = delete;
  ~OB_IPTrackerHash() override;

  // Address and count 0.
  int init() override;
  // Forgets the path.
  int reset() override;
  // Appends a page to the path (made on first use); past kMaxPathNodes the oldest page goes.
  // 0.
  virtual int addResource(OB_Object* item, uint32_t time);
  // Null until the first page.
  const OB_ClientPath* getPath() const { return resources; }

  uint32_t address = 0;    // host order
  uint32_t count = 0;      // what procAddress was given, plus one per HTTP transaction counted
  const char* name = nullptr;  // the domain-name cache's text; not owned; null without a cache
  uint32_t pageCount = 0;  // "text/html" responses; never above count
  OB_IPTracker* tracker = nullptr;       // not owned: the tracker that holds the record
  OB_CountArray* domainCounter = nullptr;  // not owned: the tracker's counter of its key

 private:
  OB_ClientPath* resources = nullptr;  // owned
};

class OB_IPTracker : public OB_LinkedHash<OB_IPTrackerHash>, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_IPTracker, 0x2A5A59FF, "OB_IPTracker", OB_Object)

 public:
  static constexpr int kBuckets = 251;

  // window: not owned, outlives the tracker; it gives the bins of the domain counters.
  explicit OB_IPTracker(OB_IndexChanger* window);
  OB_IPTracker(const OB_IPTracker&) = delete;
  OB_IPTracker& operator=(const OB_IPTracker&) = delete;
  // Deletes every record and domain counter.
  ~OB_IPTracker() override;

  // Records one use by *address at time: adds amount to its count (a new address gets its name
  // from the domain-name cache, resolved only when the cache lacks it) and one at time's bin to
  // the counter of its top-level domain. *record (when not null) receives its record. 1 when the
  // address was new, else 0.
  virtual int procAddress(uint32_t time, uint16_t amount, const uint32_t* address,
                          OB_IPTrackerHash** record);
  virtual int printData(FILE* stream);
  // The busiest addresses (optionally only those subset accepts), at most limit of them (below
  // 1: one), ranked by page count (a), then walk order; b is the count.
  virtual str2CntList_t* getTopN(XSubset_t* subset, int limit);
  // Every address grouped under the dotted quad of (address AND mask), ranked by count.
  virtual str2CntList_t* getTopNByMask(XSubset_t* subset, int n, uint32_t mask);
  // The addresses of one network, ranked by count.
  virtual str2CntList_t* getTopNByNetwork(XSubset_t* subset, int n, uint32_t network,
                                          uint32_t mask);
  // The addresses from low to high inclusive (either order), ranked by count.
  virtual str2CntList_t* getTopNByRange(XSubset_t* subset, int n, uint32_t low, uint32_t high);

  uint32_t getAddressCount() const { return addressCount; }
  // The per-domain counters, named by their keys (".com", ".0", "Unresolved"), in order of first
  // use; owned by the tracker.
  OB_NamedList<OB_CountArray>* getDomainCounters() { return &domainCounters; }
  // The record of address, or null.
  OB_IPTrackerHash* findRecord(uint32_t address);
  // The table's own removals, keeping the address index in step.
  int remove(OB_IPTrackerHash* record) override;
  int clear() override;
  // A path reached its cap: logged once per tracker.
  void notePathCapReached(uint32_t address);

  // The key of a host name: from its last '.' on; "Unresolved" for a name without one, one
  // ending in '.', or one whose last label reads as a non-zero number (a dotted quad).
  static void domainKey(const char* name, char* key, size_t size);

 private:
  enum class Filter { kMask, kNetwork, kRange };
  str2CntList_t* filtered(XSubset_t* subset, int n, Filter filter, uint32_t first,
                          uint32_t second);

  OB_IndexChanger* window;  // not owned
  uint32_t addressCount = 0;
  OB_NamedList<OB_CountArray> domainCounters;  // owning
  struct AddressKey {
    using Key = uint32_t;
    static Key keyOf(OB_IPTrackerHash* record) { return record->address; }
    static uint64_t hash(const Key& key) { return key; }
  };
  // The records by address, beside the table's chains (which keep the walk order of the
  // queries), so a connection finds its client in one probe; open addressing over the records
  // themselves, as a node per record would cost each client a block of its own.
  OB_PointerIndex<OB_IPTrackerHash, AddressKey> byAddress;
  // The domain counters by key, beside the named list (which keeps their order), so a new
  // address finds its counter in one probe however many keys its names brought.
  std::unordered_map<std::string, OB_CountArray*> counterByKey;
  bool pathCapLogged = false;
};
