// The base of every record that an archive file stores and gives back: the record tag that opens
// each record, and the record's time by which readers pick records of a time window.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Object.h"

class OB_ArchiveBytes;

class OB_Data : public virtual OB_ReferenceCounter, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Data, 0x2A5A59F7, "OB_Data", OB_Object)

 public:
  static constexpr size_t tagSize = 4;

  OB_Data();
  ~OB_Data() override = default;

  // The record's time, seconds since 1970.
  virtual uint32_t xTime() = 0;

  int print(FILE* stream) override;
  // The 4 tag bytes "qvx\0"; -1 on a short write.
  int write(FILE* stream) override;
  // -1 on a short read or when the bytes are not "qvx\0".
  int read(FILE* stream) override;
  // The record from bytes in memory, as read(FILE*) would take it from a stream holding them:
  // 0 with the bytes consumed; -1 where read would fail on those bytes; OB_ArchiveBytes::kShort
  // when the record runs past them. The object is then left part-filled: the caller starts
  // again on an empty one. OB_ArchiveBytes::kNoRoad in this base: kinds that have no such
  // road are read from streams only.
  virtual int readBytes(OB_ArchiveBytes& bytes);

 protected:
  // The tag, as read(FILE*) takes it: 0, -1 for other bytes, OB_ArchiveBytes::kShort.
  int readTag(OB_ArchiveBytes& bytes);

  unsigned char tag[tagSize];
};
