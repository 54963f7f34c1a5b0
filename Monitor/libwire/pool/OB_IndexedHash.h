// A growing index of elements by key beside an OB_LinkedHash of fixed buckets. The chains keep
// their order, which files and replies walk (bucket by bucket, each chain from its newest), but a
// look-up no longer walks a chain that grows with everything the table holds: the index finds an
// element in a probe or two however many there are. The domain cache, the name tables and the
// network statistics' address pairs use it.
//
// Traits: `using Key = ...;` (copyable, comparable with ==), `static Key keyOf(E*)`,
// `static uint64_t hash(const Key&)`. An element's key must not change while it is in the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pool/OB_LinkedHash.h"

// Open addressing over pointers with linear probing; doubled when it is half full, so it takes
// 8 to 32 bytes an element. Not locked: its owner's lock guards it.
template <class T, class Traits>
class OB_PointerIndex {
 public:
  using Key = typename Traits::Key;

  // The element of key, or null.
  T* find(const Key& key) const {
    if (count_ == 0) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t at = slotOf(key, mask);; at = (at + 1) & mask) {
      T* element = slots_[at];
      if (element == nullptr) return nullptr;
      if (Traits::keyOf(element) == key) return element;
    }
  }
  // Adds element, or replaces the element of the same key (the newest wins, as a chain's head
  // is the first a walk finds).
  void insert(T* element) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    const Key key = Traits::keyOf(element);
    for (size_t at = slotOf(key, mask);; at = (at + 1) & mask) {
      if (slots_[at] == nullptr) {
        slots_[at] = element;
        ++count_;
        return;
      }
      if (Traits::keyOf(slots_[at]) == key) {
        slots_[at] = element;
        return;
      }
    }
  }
  // Takes element out when it is the one indexed under its key.
  void erase(T* element) {
    if (count_ == 0) return;
    const size_t mask = slots_.size() - 1;
    size_t at = slotOf(Traits::keyOf(element), mask);
    while (slots_[at] != element) {
      if (slots_[at] == nullptr) return;
      at = (at + 1) & mask;
    }
    // Backward shift: each later element of the run moves up when its home allows, so that no
    // look-up meets a hole before its element.
    size_t hole = at;
    for (size_t next = (hole + 1) & mask; slots_[next] != nullptr; next = (next + 1) & mask) {
      const size_t home = slotOf(Traits::keyOf(slots_[next]), mask);
      if (((next - home) & mask) >= ((next - hole) & mask)) {
        slots_[hole] = slots_[next];
        hole = next;
      }
    }
    slots_[hole] = nullptr;
    --count_;
  }
  void clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    count_ = 0;
  }
  size_t size() const { return count_; }
  // The index's own memory in bytes.
  size_t bytes() const { return slots_.capacity() * sizeof(T*); }

 private:
  static size_t slotOf(const Key& key, size_t mask) {
    // The multiplier spreads keys that differ only in their high or low bits (addresses of one
    // network, a hash's weak bits) over the whole table.
    const uint64_t mixed = Traits::hash(key) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(mixed >> 32 ^ mixed) & mask;
  }
  void grow() {
    std::vector<T*> old(slots_.empty() ? 16 : slots_.size() * 2, nullptr);
    old.swap(slots_);
    count_ = 0;
    for (T* element : old)
      if (element != nullptr) insert(element);
  }

  std::vector<T*> slots_;  // a power of two in size; the elements are not owned
  size_t count_ = 0;
};

// An OB_LinkedHash whose find, and its owner's look-ups by key (findKey), go through an
// OB_PointerIndex kept in step with every insert, remove and clear.
template <class E, class Traits, class L = OB_Link<E>>
class OB_IndexedHash : public OB_LinkedHash<E, L> {
 public:
  using Base = OB_LinkedHash<E, L>;
  using Key = typename Traits::Key;

  explicit OB_IndexedHash(int buckets = 0, int owner = 0) : Base(buckets, owner) {}

  // The element of key, or null; under the table's lock.
  E* findKey(const Key& key) {
    OB_MutexHold hold(this);
    return index_.find(key);
  }

  int insert(E* element, int bucket) override {
    OB_MutexHold hold(this);
    // An element may bring others chained behind it: all of them join.
    std::vector<E*> joining;
    for (L* at = obQuery<L>(element); at != nullptr; at = at->getNext())
      if (E* item = obQuery<E>(at); item != nullptr) joining.push_back(item);
    if (Base::insert(element, bucket) != 0) return -1;
    // The first of the chain is the one a walk meets first: it is indexed last.
    for (auto at = joining.rbegin(); at != joining.rend(); ++at) index_.insert(*at);
    return 0;
  }

  E* find(E* probe) override {
    if (probe == nullptr) return nullptr;
    OB_MutexHold hold(this);
    return index_.find(Traits::keyOf(probe));
  }

  int remove(E* element) override {
    OB_MutexHold hold(this);
    if (element == nullptr) return -1;
    // Out of the index first: an owning table releases the element.
    index_.erase(element);
    return Base::remove(element);
  }

  int clear() override {
    OB_MutexHold hold(this);
    index_.clear();
    return Base::clear();
  }

  // The index's own memory in bytes (the chains' links are the elements' own).
  size_t indexBytes() {
    OB_MutexHold hold(this);
    return index_.bytes();
  }

 private:
  OB_PointerIndex<E, Traits> index_;  // guarded by the table's lock
};
