// The per-protocol packet and byte counts of one network statistics record (and of each of its
// address pairs): one entry per protocol-spec id, in order of first appearance, each frame
// counting once for its own node and once for every ancestor node. Not locked: the record that
// owns a list holds its own lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One protocol's counts. Owned by the list it is in.
struct OB_ProtoCount {
  uint16_t psid = 0;   // protocol-spec id
  uint16_t ppsid = 0;  // its parent's id, 0 for a root
  uint32_t packs = 0;
  uint32_t bytes = 0;
  OB_ProtoCount* next = nullptr;
};

class OB_ProtoCountList {
 public:
  // The stored entry count is 16 bits, so a list never holds more entries than this.
  static constexpr size_t kMaxEntries = 0xFFFF;
  // Stored form of one entry: psid (2), ppsid (2), packets (4), bytes (4), little-endian.
  static constexpr size_t kEntrySize = 12;

  OB_ProtoCountList() = default;
  OB_ProtoCountList(const OB_ProtoCountList&) = delete;
  OB_ProtoCountList& operator=(const OB_ProtoCountList&) = delete;
  ~OB_ProtoCountList() { clear(); }

  // Counts one frame of `size` bytes for id, then for its parent and so on up to a root. An id
  // seen for the first time gets a new entry at the end, its parent from the loaded
  // protocol-spec tree; once every id on the way up has an entry nothing is allocated. When the
  // list is full or the heap is exhausted the new id (and what lies above it) is not counted.
  void count(uint16_t id, uint32_t size);

  // The entry with that id, or null.
  OB_ProtoCount* find(uint16_t id) const;
  const OB_ProtoCount* first() const { return head_; }
  size_t size() const { return size_; }
  void clear();

  // The entry count (16 bits) and the entries in list order. 0, or -1 when a write fails.
  int write(FILE* stream) const;
  // Replaces the list by the stored form. -1 with an empty list when the count or an entry is cut
  // short; an entry that cannot be allocated ends the process.
  int read(FILE* stream);
  // One "(psid, ppsid, packs, bytes) = ..." line per entry; a null stream means the log.
  void print(FILE* stream) const;

 private:
  OB_ProtoCount* append(uint16_t id, uint16_t parent);

  OB_ProtoCount* head_ = nullptr;  // owned, with every entry after it
  OB_ProtoCount* tail_ = nullptr;
  size_t size_ = 0;
};
