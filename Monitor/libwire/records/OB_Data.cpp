#include "records/OB_Data.h"

#include <cstring>

#include "coding/OB_ArchiveIO.h"

namespace {
const unsigned char recordTag[OB_Data::tagSize] = {'q', 'v', 'x', '\0'};
}

OB_Data::OB_Data() { std::memcpy(tag, recordTag, tagSize); }

int OB_Data::print(FILE* /*stream*/) { return 0; }

int OB_Data::write(FILE* stream) {
  if (stream == nullptr) return -1;
  return std::fwrite(tag, 1, tagSize, stream) == tagSize ? 0 : -1;
}

int OB_Data::read(FILE* stream) {
  if (stream == nullptr) return -1;
  unsigned char bytes[tagSize];
  if (std::fread(bytes, 1, tagSize, stream) != tagSize) return -1;
  if (std::memcmp(bytes, recordTag, tagSize) != 0) return -1;
  std::memcpy(tag, bytes, tagSize);
  return 0;
}

int OB_Data::readBytes(OB_ArchiveBytes& /*bytes*/) { return OB_ArchiveBytes::kNoRoad; }

int OB_Data::readTag(OB_ArchiveBytes& bytes) {
  const unsigned char* read;
  if (!bytes.getBytes(&read, tagSize)) return OB_ArchiveBytes::kShort;
  if (std::memcmp(read, recordTag, tagSize) != 0) return -1;
  std::memcpy(tag, read, tagSize);
  return 0;
}
