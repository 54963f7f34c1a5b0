// A hash table of a fixed number of buckets whose chains run through the elements' own OB_Link
// parts, so an element sits in the table without a node of its own. The network statistics keep
// their address pairs in one, the stream builder its TCP sessions.
//
// E: the element class; L: the link face its chains use (OB_Link<E> unless the element links as
// another type). Every element has L and OB_Key<uint32_t> faces (the key holds its bucket index
// while it is in the table); add and find also need OB_CalcHash and OB_Compare, read needs a
// static E::create. Every operation takes the table's re-entrant lock; an owner that walks a chain
// across several calls holds it (lock/unlock) for the whole walk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_Log.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "coding/OB_ArchiveIO.h"

template <class E, class L = OB_Link<E>>
class OB_LinkedHash : public OB_Mutex, public virtual OB_Object {
 public:
  using Key = OB_Key<uint32_t>;

  // buckets 0 gives 1024. An owning table releases every element that leaves it.
  explicit OB_LinkedHash(int buckets = 0, int owner = 0)
      : buckets_(buckets > 0 ? buckets : 1024, nullptr), owner_(owner != 0) {}
  OB_LinkedHash(const OB_LinkedHash&) = delete;
  OB_LinkedHash& operator=(const OB_LinkedHash&) = delete;
  ~OB_LinkedHash() override { clear(); }

  // The first link of the chain at index; null when the bucket is empty or index is out of range.
  virtual L* getChain(int index) {
    OB_MutexHold hold(this);
    if (!inRange(index)) return nullptr;
    return buckets_[index];
  }

  // Puts the element (and any elements already chained behind it) at the head of the chain at
  // index, ahead of those already there. -1 for an index out of range, an element without link or
  // key face, or one that is already in a chain.
  virtual int insert(E* element, int index) {
    OB_MutexHold hold(this);
    if (!inRange(index)) return -1;
    L* link = obQuery<L>(element);
    Key* own = obQuery<Key>(element);
    if (link == nullptr || own == nullptr || link->getPrev() != nullptr || isHead(link, own))
      return -1;
    L* last = link;
    for (L* at = link; at != nullptr; at = at->getNext()) {
      if (Key* key = obQuery<Key>(at); key != nullptr) key->setKey(static_cast<uint32_t>(index));
      ++count_;
      last = at;
    }
    if (buckets_[index] != nullptr) last->insertAfter(buckets_[index]);
    buckets_[index] = link;
    return 0;
  }

  // Inserts at the element's calcHash of the bucket count; -1 without an OB_CalcHash face.
  virtual int add(E* element) {
    OB_CalcHash* hash = obQuery<OB_CalcHash>(element);
    if (hash == nullptr) return -1;
    OB_MutexHold hold(this);
    return insert(element, hash->calcHash(getNumBuckets()));
  }

  // The first element of the probe's chain whose compare with the probe gives 0; null when none.
  virtual E* find(E* probe) {
    OB_CalcHash* hash = obQuery<OB_CalcHash>(probe);
    OB_Compare* wanted = obQuery<OB_Compare>(probe);
    if (hash == nullptr || wanted == nullptr) return nullptr;
    OB_MutexHold hold(this);
    const int index = hash->calcHash(getNumBuckets());
    if (!inRange(index)) return nullptr;
    for (L* at = buckets_[index]; at != nullptr; at = at->getNext()) {
      OB_Compare* candidate = obQuery<OB_Compare>(at);
      if (candidate != nullptr && candidate->compare(wanted, 0) == 0) return obQuery<E>(at);
    }
    return nullptr;
  }

  // Takes the element out of its chain; an owning table releases it. -1 when it is not in this
  // table.
  virtual int remove(E* element) {
    OB_MutexHold hold(this);
    L* link = obQuery<L>(element);
    Key* key = obQuery<Key>(element);
    if (link == nullptr || key == nullptr) return -1;
    const uint32_t index = key->getKey();
    if (index >= buckets_.size()) return -1;
    if (buckets_[index] == link) {
      buckets_[index] = link->getNext();
    } else if (link->getPrev() == nullptr) {
      return -1;
    }
    link->removeSelf();
    --count_;
    if (owner_) element->release();
    return 0;
  }

  // Removes every element, bucket by bucket.
  virtual int clear() {
    OB_MutexHold hold(this);
    for (L*& head : buckets_) {
      while (head != nullptr) {
        L* link = head;
        head = link->getNext();
        link->removeSelf();
        --count_;
        if (owner_) obRelease(obQuery<E>(link));
      }
    }
    return 0;
  }

  virtual int getNumBuckets() {
    OB_MutexHold hold(this);
    return static_cast<int>(buckets_.size());
  }
  virtual int getCount() {
    OB_MutexHold hold(this);
    return count_;
  }

  // The element count (32 bits), then per element, bucket by bucket and along each chain from its
  // head, its bucket index (32 bits) and its own write. 0, or -1 when a write fails.
  int write(FILE* stream) override {
    OB_MutexHold hold(this);
    if (OB_ArchiveIO::writeU32(stream, static_cast<uint32_t>(count_)) != 0) return -1;
    for (size_t i = 0; i < buckets_.size(); ++i) {
      for (L* at = buckets_[i]; at != nullptr; at = at->getNext()) {
        E* element = obQuery<E>(at);
        if (element == nullptr) continue;
        if (OB_ArchiveIO::writeU32(stream, static_cast<uint32_t>(i)) != 0) return -1;
        if (element->write(stream) != 0) return -1;
      }
    }
    return 0;
  }

  // Reads the write form into an empty table (a table holding elements ends the process). Every
  // element read is made with E::create and inserted at its stored index; a non-owning table
  // leaves releasing them to its owner. -1 at the first short read, failed element or bucket index
  // out of range (that element is released), else 0.
  int read(FILE* stream) override {
    OB_MutexHold hold(this);
    if (count_ != 0) OB_Log::quit("Error reading OB_LinkedHash");
    uint32_t count = 0;
    if (OB_ArchiveIO::readU32(stream, &count) != 0) return -1;
    for (uint32_t n = 0; n < count; ++n) {
      uint32_t index = 0;
      if (OB_ArchiveIO::readU32(stream, &index) != 0) return -1;
      E* element = E::create();
      if (element == nullptr) OB_Log::quit("Out of memory");
      if (element->read(stream) != 0 || index >= buckets_.size() ||
          insert(element, static_cast<int>(index)) != 0) {
        element->release();
        return -1;
      }
    }
    return 0;
  }

  int print(FILE* stream) override {
    OB_MutexHold hold(this);
    fprintf(stream, "Number of hash entries: %d\n", count_);
    int entry = 0;
    for (L* head : buckets_) {
      for (L* at = head; at != nullptr; at = at->getNext()) {
        Key* key = obQuery<Key>(at);
        fprintf(stream, "hash key\t: %d\n", key != nullptr ? static_cast<int>(key->getKey()) : -1);
        fprintf(stream, "hash entry\t: %d\n", entry++);
      }
    }
    return 0;
  }

 private:
  bool inRange(int index) const {
    return index >= 0 && static_cast<size_t>(index) < buckets_.size();
  }
  // A chain's head always carries its bucket index as key.
  bool isHead(L* link, Key* key) const {
    const uint32_t index = key->getKey();
    return index < buckets_.size() && buckets_[index] == link;
  }

  std::vector<L*> buckets_;  // chain heads; the elements are owned only when owner_ is set
  int count_ = 0;
  const bool owner_;
};
