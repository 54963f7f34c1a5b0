#include "net/OB_ProtoCountList.h"

#include <new>

#include "OB_Log.h"
#include "coding/OB_ArchiveIO.h"
#include "tcp/protoSpec.h"

OB_ProtoCount* OB_ProtoCountList::find(uint16_t id) const {
  for (OB_ProtoCount* entry = head_; entry != nullptr; entry = entry->next)
    if (entry->psid == id) return entry;
  return nullptr;
}

OB_ProtoCount* OB_ProtoCountList::append(uint16_t id, uint16_t parent) {
  if (size_ >= kMaxEntries) return nullptr;
  OB_ProtoCount* entry = new (std::nothrow) OB_ProtoCount;
  if (entry == nullptr) return nullptr;
  entry->psid = id;
  entry->ppsid = parent;
  if (tail_ != nullptr)
    tail_->next = entry;
  else
    head_ = entry;
  tail_ = entry;
  ++size_;
  return entry;
}

void OB_ProtoCountList::count(uint16_t id, uint32_t size) {
  // The tree loader cuts parent loops, but a list read back from a file may hold one; a climb
  // without a loop visits each of at most kMaxEntries ids once, so this bound never cuts it short.
  for (size_t step = 0; step <= kMaxEntries; ++step) {
    OB_ProtoCount* entry = find(id);
    if (entry == nullptr) entry = append(id, protoSpec_GetParentID(id));
    if (entry == nullptr) return;
    entry->packs += 1;
    entry->bytes += size;
    if (entry->ppsid == 0) return;
    id = entry->ppsid;
  }
}

void OB_ProtoCountList::clear() {
  while (head_ != nullptr) {
    OB_ProtoCount* entry = head_;
    head_ = entry->next;
    delete entry;
  }
  tail_ = nullptr;
  size_ = 0;
}

int OB_ProtoCountList::write(FILE* stream) const {
  if (OB_ArchiveIO::writeU16(stream, static_cast<uint16_t>(size_)) != 0) return -1;
  for (const OB_ProtoCount* entry = head_; entry != nullptr; entry = entry->next) {
    if (OB_ArchiveIO::writeU16(stream, entry->psid) != 0 ||
        OB_ArchiveIO::writeU16(stream, entry->ppsid) != 0 ||
        OB_ArchiveIO::writeU32(stream, entry->packs) != 0 ||
        OB_ArchiveIO::writeU32(stream, entry->bytes) != 0)
      return -1;
  }
  return 0;
}

int OB_ProtoCountList::read(FILE* stream) {
  clear();
  uint16_t count = 0;
  if (OB_ArchiveIO::readU16(stream, &count) != 0) return -1;
  for (uint16_t n = 0; n < count; ++n) {
    OB_ProtoCount in;
    if (OB_ArchiveIO::readU16(stream, &in.psid) != 0 ||
        OB_ArchiveIO::readU16(stream, &in.ppsid) != 0 ||
        OB_ArchiveIO::readU32(stream, &in.packs) != 0 ||
        OB_ArchiveIO::readU32(stream, &in.bytes) != 0) {
      clear();
      return -1;
    }
    OB_ProtoCount* entry = append(in.psid, in.ppsid);
    if (entry == nullptr) OB_Log::quit("readProtoCountList: no memory");
    entry->packs = in.packs;
    entry->bytes = in.bytes;
  }
  return 0;
}

void OB_ProtoCountList::print(FILE* stream) const {
  for (const OB_ProtoCount* entry = head_; entry != nullptr; entry = entry->next)
    OB_Log::flog(stream, "(psid, ppsid, packs, bytes) = %d %d %d %d\n", entry->psid, entry->ppsid,
                 static_cast<int32_t>(entry->packs), static_cast<int32_t>(entry->bytes));
}
