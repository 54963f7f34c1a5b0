// A list that counts repeated appends of one object instead of holding it twice: the clients of
// a resource, each with the number of its requests, first seen first. One exists per resource
// and per entry point of every module set, and each entry is a (resource, client) pair, so it
// is kept compact: 16 bytes an entry in one block, plus an index of 8 bytes a slot once the list
// is long, so an append costs one probe for the thousandth client as for the first. Items are
// not owned; they are told apart by identity. Its blocks are reckoned among the tracked names'
// bytes as they grow (each entry is a pair of two tracked names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stats/TrackedNames.h"

template <class T>
class OB_CountedList {
 public:
  OB_CountedList() = default;
  OB_CountedList(const OB_CountedList&) = delete;
  OB_CountedList& operator=(const OB_CountedList&) = delete;
  ~OB_CountedList() { trackedNames_release(reckoned_); }

  struct Entry {
    T* item;         // not owned
    uint32_t count;  // appends of item
  };

  // Lists up to this long are searched entry by entry; longer ones through the index.
  static constexpr size_t kLinearLimit = 8;

  // When item is already listed its count rises by 1, else it is appended with count 1.
  // 0.
  int append(T* item) {
    if (Entry* known = lookUp(item); known != nullptr) {
      ++known->count;
      return 0;
    }
    entries_.push_back(Entry{item, 1});
    if (entries_.size() > kLinearLimit) {
      if (slots_.size() < entries_.size() * 2) {
        rebuild(entries_.size() * 4);
      } else {
        place(entries_.size() - 1);
      }
    }
    reckon();
    return 0;
  }
  // The count of item, 0 when it is not listed.
  uint32_t countOf(T* item) {
    Entry* known = lookUp(item);
    return known != nullptr ? known->count : 0;
  }
  int getCount() const { return static_cast<int>(entries_.size()); }
  // The entries, first seen first.
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  size_t slotOf(const T* item) const {
    const auto bits = reinterpret_cast<uintptr_t>(item);
    return static_cast<size_t>((bits >> 4) * 0x9E3779B97F4A7C15ull) & (slots_.size() - 1);
  }
  Entry* lookUp(T* item) {
    if (slots_.empty()) {
      // The newest client is the likeliest to come again.
      for (size_t i = entries_.size(); i-- > 0;)
        if (entries_[i].item == item) return &entries_[i];
      return nullptr;
    }
    for (size_t slot = slotOf(item);; slot = (slot + 1) & (slots_.size() - 1)) {
      const uint32_t at = slots_[slot];
      if (at == 0) return nullptr;
      if (entries_[at - 1].item == item) return &entries_[at - 1];
    }
  }
  // Puts entry index into the index (open addressing; slot value index + 1, 0 free).
  void place(size_t index) {
    size_t slot = slotOf(entries_[index].item);
    while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
    slots_[slot] = static_cast<uint32_t>(index + 1);
  }
  void rebuild(size_t atLeast) {
    size_t size = 16;
    while (size < atLeast) size *= 2;
    slots_.assign(size, 0);
    for (size_t i = 0; i < entries_.size(); ++i) place(i);
  }

  // Brings the reckoned bytes to what the two blocks hold now.
  void reckon() {
    const size_t entries = entries_.capacity() * sizeof(Entry);
    const size_t slots = slots_.capacity() * sizeof(uint32_t);
    const size_t now = trackedNames_blocks(entries + slots, (entries > 0) + (slots > 0));
    if (now > reckoned_) trackedNames_add(now - reckoned_);
    reckoned_ = now;
  }

  std::vector<Entry> entries_;
  std::vector<uint32_t> slots_;  // empty while the list is short; a power of two in size
  size_t reckoned_ = 0;          // what trackedNames holds for the blocks
};
