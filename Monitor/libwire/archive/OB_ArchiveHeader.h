// The fixed header that opens every archive file: the kind of records, the time span the file
// covers and the capture settings it was recorded with. The archive writer writes one per file;
// the file list and the reader read them back, and the console's database list sends them.
//
// File layout (little-endian): 16-bit length 10 and "ambervolte"; type (32 bits); start and
// stop time (32 bits each, seconds since 1970; stop 0 while the file is written, always at
// offset 20); prefix, device and filter as counted strings; a 16-bit count and that many 16-bit
// values; then the records.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Object.h"
#include "OB_String.h"
#include "coding/OB_TextField.h"

class OB_ArchiveHeader : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ArchiveHeader, 0x88AF04C1, "OB_ArchiveHeader", OB_Object)

 public:
  static constexpr const char* kMagic = "ambervolte";
  // Where the stop time lies in every file; closing and repairing patch 4 bytes here.
  static constexpr long kStopTimeOffset = 20;
  // The longest magic word read tries; anything longer is refused without reading it.
  static constexpr int kMaxMagic = 15;
  static constexpr int kMaxPrefix = 8;
  static constexpr int kMaxValues = 256;
  // The type the writer gives every file.
  static constexpr int32_t kWriterType = 3;

  OB_ArchiveHeader();
  // A copy of other (texts duplicated); other may be null (an empty header).
  explicit OB_ArchiveHeader(const OB_ArchiveHeader* other);
  // Every field given. Null device or filter: empty. A prefix longer than kMaxPrefix is cut to
  // it; the values are copied when count is above 0, at most kMaxValues of them.
  OB_ArchiveHeader(const char* name, int32_t type, uint32_t start, uint32_t stop,
                   const char* prefix, const char* device, const char* filter, int16_t count,
                   const int16_t* values);
  // Only the path; read fills the rest.
  explicit OB_ArchiveHeader(const char* name);
  OB_ArchiveHeader(const OB_ArchiveHeader&) = delete;
  OB_ArchiveHeader& operator=(const OB_ArchiveHeader&) = delete;
  ~OB_ArchiveHeader() override;

  // The file at the name opened "rb" and placed at the data offset (the first record once read
  // has run); owned by the caller. Null when it cannot be opened or placed.
  virtual FILE* open();
  virtual const char* getName() { return name_; }
  virtual uint32_t openTime() { return start_; }
  virtual uint32_t closeTime() { return stop_; }

  // The header at the stream's position, flushed. A short write ends the process: a file
  // without a whole header is never left behind. 0.
  int write(FILE* stream) override;
  // The header from the stream's position; the data offset becomes the position after it. -1
  // for a wrong or over-long magic word, an over-long prefix, device or filter, a value count
  // outside 0 .. kMaxValues, or a file that ends inside the header; the header is then left as
  // it was.
  int read(FILE* stream) override;
  // The console's database-list entry: name, type (16 bits), start, stop, prefix, device and
  // filter, each text as a line. -1 at the first failed write.
  int writeJ(int socket) override;

  int32_t getType() const { return type_; }
  const char* getPrefix() const { return prefix_.c_str(); }
  const char* getDevice() const { return device_ != nullptr ? device_ : ""; }
  const char* getFilter() const { return filter_ != nullptr ? filter_ : ""; }
  int16_t getValueCount() const { return count_; }
  // Value i (0-based), or 0 outside the list.
  int16_t getValue(int i) const { return i >= 0 && i < count_ ? values_[i] : 0; }
  // File position of the first record; 0 until read has run.
  int32_t getDataOffset() const { return dataOffset_; }
  // What made the last read refuse the header ("the file ends inside the header", "the magic
  // word is not ..."); empty after a read that succeeded. A fixed text.
  const char* getReadProblem() const { return problem_; }

 private:
  void setTexts(const char* device, const char* filter);

  int32_t type_ = 0;
  uint32_t start_ = 0;  // seconds since 1970
  uint32_t stop_ = 0;   // seconds since 1970; 0 while the file is open
  OB_TextField<kMaxPrefix + 1> prefix_;
  char* device_ = nullptr;  // owned, malloc'd; null reads as ""
  char* filter_ = nullptr;  // owned, malloc'd; null reads as ""
  int16_t count_ = 0;       // 0 .. kMaxValues
  int16_t values_[kMaxValues] = {};
  OB_String name_{32};
  int32_t dataOffset_ = 0;
  const char* problem_ = "";
};
