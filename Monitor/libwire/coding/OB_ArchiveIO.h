// The little-endian encoder of the archive files: every integer of an archive record goes through
// these, at the width the record states, whatever the host's own integer sizes or byte order.
// Texts go through OB_Tools::writeString / readStringNoMalloc (see OB_TextField.h).
// OB_ArchiveBytes decodes the same forms from bytes already in memory: the archive reader's
// buffered road parses whole records with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

class OB_ArchiveIO {
 public:
  OB_ArchiveIO() = delete;

  // Each writer returns 0 when every byte reached the stream, else -1.
  static int writeU16(FILE* stream, uint16_t value) {
    unsigned char bytes[2] = {static_cast<unsigned char>(value),
                              static_cast<unsigned char>(value >> 8)};
    return put(stream, bytes, sizeof bytes);
  }
  static int writeU32(FILE* stream, uint32_t value) {
    unsigned char bytes[4];
    putU32(bytes, value);
    return put(stream, bytes, sizeof bytes);
  }
  // The four bytes of value, for writers that patch a file in place.
  static void putU32(unsigned char* bytes, uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
  }
  static int writeI32(FILE* stream, int32_t value) {
    return writeU32(stream, static_cast<uint32_t>(value));
  }

  // Each reader returns 0 and stores the value only when all its bytes were read, else -1 with
  // *value untouched.
  static int readU16(FILE* stream, uint16_t* value) {
    unsigned char bytes[2];
    if (get(stream, bytes, sizeof bytes) != 0) return -1;
    *value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return 0;
  }
  static int readU32(FILE* stream, uint32_t* value) {
    unsigned char bytes[4];
    if (get(stream, bytes, sizeof bytes) != 0) return -1;
    *value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
             (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return 0;
  }
  static int readI32(FILE* stream, int32_t* value) {
    uint32_t raw;
    if (readU32(stream, &raw) != 0) return -1;
    *value = static_cast<int32_t>(raw);
    return 0;
  }

 private:
  static int put(FILE* stream, const unsigned char* bytes, size_t n) {
    if (stream == nullptr) return -1;
    return std::fwrite(bytes, 1, n, stream) == n ? 0 : -1;
  }
  static int get(FILE* stream, unsigned char* bytes, size_t n) {
    if (stream == nullptr) return -1;
    return std::fread(bytes, 1, n, stream) == n ? 0 : -1;
  }
};

// Archive bytes in memory, decoded front to back. Each getter returns false and moves nothing
// when fewer bytes remain than the item needs; the caller then knows the record runs past them.
class OB_ArchiveBytes {
 public:
  // What a record's readBytes returns besides 0 (a whole record read) and -1 (a record its
  // stream read would refuse too: a bad tag, an over-long text, a count out of range).
  static constexpr int kShort = 1;    // the record runs past the bytes given
  static constexpr int kNoRoad = -2;  // the record kind is read from streams only

  OB_ArchiveBytes(const unsigned char* begin, const unsigned char* end) : at_(begin), end_(end) {}

  bool getBytes(const unsigned char** bytes, size_t n) {
    if (static_cast<size_t>(end_ - at_) < n) return false;
    *bytes = at_;
    at_ += n;
    return true;
  }
  bool getU16(uint16_t* value) {
    const unsigned char* b;
    if (!getBytes(&b, 2)) return false;
    *value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
  }
  bool getU32(uint32_t* value) {
    const unsigned char* b;
    if (!getBytes(&b, 4)) return false;
    *value = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
             (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
  }
  bool getI32(int32_t* value) {
    uint32_t raw;
    if (!getU32(&raw)) return false;
    *value = static_cast<int32_t>(raw);
    return true;
  }
  // A text in the archive form (16-bit length, then the bytes): *text views the bytes in place.
  bool getText(const char** text, size_t* length) {
    const unsigned char* start = at_;
    uint16_t n;
    const unsigned char* bytes;
    if (!getU16(&n) || !getBytes(&bytes, n)) {
      at_ = start;
      return false;
    }
    *text = reinterpret_cast<const char*>(bytes);
    *length = n;
    return true;
  }
  const unsigned char* position() const { return at_; }

 private:
  const unsigned char* at_;
  const unsigned char* end_;
};

