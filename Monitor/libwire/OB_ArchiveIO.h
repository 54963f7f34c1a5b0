// The little-endian encoder of the archive files: every integer of an archive record goes through
// these, at the width the record states, whatever the host's own integer sizes or byte order.
// Texts go through OB_Tools::writeString / readStringNoMalloc (see OB_TextField.h).
#pragma once

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
