// The base of every record that an archive file stores and gives back: the record tag that opens
// each record, and the record's time by which readers pick records of a time window.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Object.h"

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

 protected:
  unsigned char tag[tagSize];
};
