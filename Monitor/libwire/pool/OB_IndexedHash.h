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
#include <cstdlib>
#include <new>
#include <vector>

#include "pool/OB_LinkedHash.h"

// Open addressing over pointers with linear probing; doubled when it is half full, so it takes
// 8 to 32 bytes an element. The doubling is spread over the inserts that follow it: each moves a
// few entries of the old block into the new one, and a look-up meanwhile reads both, so no single
// insert on the capture's path moves a million entries (a whole rehash of that many stalls its
// caller for a tenth of a second). Not locked: its owner's lock guards it.
template <class T, class Traits>
class OB_PointerIndex {
 public:
  using Key = typename Traits::Key;

  OB_PointerIndex() = default;
  OB_PointerIndex(const OB_PointerIndex&) = delete;
  OB_PointerIndex& operator=(const OB_PointerIndex&) = delete;
  ~OB_PointerIndex() { clear(); }

  // The element of key, or null.
  T* find(const Key& key) const {
    if (count_ == 0) return nullptr;
    T** slot = slotIn(slots_, size_, key);
    if (slot == nullptr) slot = slotIn(old_, oldSize_, key);
    return slot != nullptr ? *slot : nullptr;
  }
  // Adds element, or replaces the element of the same key (the newest wins, as a chain's head
  // is the first a walk finds).
  void insert(T* element) {
    moveOld(kMovesPerInsert);
    if ((count_ + 1) * 2 > size_) grow();
    const size_t mask = size_ - 1;
    const Key key = Traits::keyOf(element);
    size_t at = slotOf(key, mask);
    for (; slots_[at] != nullptr; at = (at + 1) & mask) {
      if (Traits::keyOf(slots_[at]) == key) {
        slots_[at] = element;
        return;
      }
    }
    // A key not moved yet lives in the old block: the newer element takes its place.
    if (T** old = slotIn(old_, oldSize_, key); old != nullptr) {
      *old = moved();
      --count_;
    }
    slots_[at] = element;
    ++count_;
  }
  // Takes element out when it is the one indexed under its key.
  void erase(T* element) {
    if (count_ == 0) return;
    const Key key = Traits::keyOf(element);
    const size_t mask = size_ - 1;
    size_t at = slotOf(key, mask);
    while (slots_[at] != element) {
      if (slots_[at] == nullptr) {
        // Not in the new block: in the old one, if it has not moved yet.
        if (T** old = slotIn(old_, oldSize_, key); old != nullptr && *old == element) {
          *old = moved();
          --count_;
        }
        return;
      }
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
    free(slots_);
    free(old_);
    slots_ = old_ = nullptr;
    size_ = oldSize_ = movedUpTo_ = count_ = 0;
  }
  size_t size() const { return count_; }
  // The index's own memory in bytes.
  size_t bytes() const { return (size_ + (old_ != nullptr ? oldSize_ : 0)) * sizeof(T*); }

 private:
  // Old slots moved per insert: at least two, so that the old block is empty before the new one
  // (twice its size, half full) fills to its own doubling.
  static constexpr size_t kMovesPerInsert = 8;

  // Marks an old slot whose element has moved or gone: a look-up in the old block goes on past
  // it, as the element it passed over may lie further along the run.
  static T* moved() {
    static char mark;
    return reinterpret_cast<T*>(&mark);
  }
  static size_t slotOf(const Key& key, size_t mask) {
    // The multiplier spreads keys that differ only in their high or low bits (addresses of one
    // network, a hash's weak bits) over the whole table.
    const uint64_t mixed = Traits::hash(key) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(mixed >> 32 ^ mixed) & mask;
  }
  // The slot of slots (size of them, possibly none) that holds key's element, or null.
  static T** slotIn(T** slots, size_t size, const Key& key) {
    if (size == 0) return nullptr;
    const size_t mask = size - 1;
    for (size_t at = slotOf(key, mask);; at = (at + 1) & mask) {
      T* element = slots[at];
      if (element == nullptr) return nullptr;
      if (element != moved() && Traits::keyOf(element) == key) return &slots[at];
    }
  }
  // Moves up to n slots of the old block into the new one; frees it once all have moved.
  void moveOld(size_t n) {
    if (old_ == nullptr) return;
    const size_t mask = size_ - 1;
    for (; n > 0 && movedUpTo_ < oldSize_; --n, ++movedUpTo_) {
      T* element = old_[movedUpTo_];
      if (element == nullptr || element == moved()) continue;
      // Keys are unique across both blocks: the first empty slot of its run is its place.
      size_t at = slotOf(Traits::keyOf(element), mask);
      while (slots_[at] != nullptr) at = (at + 1) & mask;
      slots_[at] = element;
      old_[movedUpTo_] = moved();
    }
    if (movedUpTo_ == oldSize_) {
      free(old_);
      old_ = nullptr;
      oldSize_ = movedUpTo_ = 0;
    }
  }
  void grow() {
    moveOld(oldSize_);  // a doubling left unfinished by removals ends first
    const size_t size = size_ == 0 ? 16 : size_ * 2;
    // Zeroed pages from the allocator, touched as the slots fill, not all at once here.
    T** slots = static_cast<T**>(calloc(size, sizeof(T*)));
    if (slots == nullptr) throw std::bad_alloc();
    old_ = slots_;
    oldSize_ = old_ != nullptr ? size_ : 0;
    movedUpTo_ = 0;
    slots_ = slots;
    size_ = size;
  }

  T** slots_ = nullptr;  // a power of two in size; the elements are not owned
  size_t size_ = 0;
  T** old_ = nullptr;  // the block before the last doubling, while its entries move
  size_t oldSize_ = 0;
  size_t movedUpTo_ = 0;  // the old slots before it have moved
  size_t count_ = 0;      // in both blocks
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
