#include "archive/OB_ArchiveHeader.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"

namespace {
// The console reads each text of a list entry into a buffer of this size, line end included.
constexpr size_t kListLine = 2048;

// One text of a list entry as a line; a text too long for the console's buffer is cut.
int writeLine(int socket, const char* text) {
  std::string line(text != nullptr ? text : "");
  if (line.size() > kListLine - 1) line.resize(kListLine - 1);
  line += '\n';
  const int n = static_cast<int>(line.size());
  return writeJ_n_chars(socket, line.data(), n) == n ? 0 : -1;
}
}  // namespace

OB_ArchiveHeader::OB_ArchiveHeader() = default;

OB_ArchiveHeader::OB_ArchiveHeader(const OB_ArchiveHeader* other) {
  if (other == nullptr) return;
  type_ = other->type_;
  start_ = other->start_;
  stop_ = other->stop_;
  prefix_ = other->prefix_;
  setTexts(other->device_, other->filter_);
  count_ = other->count_;
  std::memcpy(values_, other->values_, sizeof values_);
  name_ = other->name_;
  dataOffset_ = other->dataOffset_;
}

OB_ArchiveHeader::OB_ArchiveHeader(const char* name, int32_t type, uint32_t start, uint32_t stop,
                                   const char* prefix, const char* device, const char* filter,
                                   int16_t count, const int16_t* values)
    : type_(type), start_(start), stop_(stop) {
  name_ = name;
  prefix_ = prefix;
  setTexts(device != nullptr ? device : "", filter != nullptr ? filter : "");
  // The list has room for kMaxValues; a longer one would run past it.
  if (count > 0 && values != nullptr) {
    count_ = count > kMaxValues ? static_cast<int16_t>(kMaxValues) : count;
    std::memcpy(values_, values, sizeof(int16_t) * static_cast<size_t>(count_));
  }
}

OB_ArchiveHeader::OB_ArchiveHeader(const char* name) { name_ = name; }

OB_ArchiveHeader::~OB_ArchiveHeader() {
  free(device_);
  free(filter_);
}

void OB_ArchiveHeader::setTexts(const char* device, const char* filter) {
  free(device_);
  free(filter_);
  device_ = OB_Tools::strdup(device);
  filter_ = OB_Tools::strdup(filter);
}

FILE* OB_ArchiveHeader::open() {
  FILE* file = fopen(name_, "rb");
  if (file == nullptr) return nullptr;
  if (fseek(file, dataOffset_, SEEK_SET) != 0) {
    fclose(file);
    return nullptr;
  }
  return file;
}

int OB_ArchiveHeader::write(FILE* stream) {
  bool good = OB_Tools::writeString(kMagic, stream) == 0 &&
              OB_ArchiveIO::writeI32(stream, type_) == 0 &&
              OB_ArchiveIO::writeU32(stream, start_) == 0 &&
              OB_ArchiveIO::writeU32(stream, stop_) == 0 &&
              OB_Tools::writeString(prefix_.c_str(), stream) == 0 &&
              OB_Tools::writeString(getDevice(), stream) == 0 &&
              OB_Tools::writeString(getFilter(), stream) == 0 &&
              OB_ArchiveIO::writeU16(stream, static_cast<uint16_t>(count_)) == 0;
  for (int i = 0; good && i < count_; ++i)
    good = OB_ArchiveIO::writeU16(stream, static_cast<uint16_t>(values_[i])) == 0;
  if (stream != nullptr && fflush(stream) != 0) good = false;
  if (!good) OB_Log::quit("archivingFiles_fwriteHeader: failed writing to disk");
  return 0;
}

int OB_ArchiveHeader::read(FILE* stream) {
  problem_ = "no file";
  if (stream == nullptr) return -1;
  // Why read refused the header: the file ended inside it, or what it held was wrong.
  auto refuse = [&](const char* wrong) {
    problem_ = feof(stream) != 0 ? "the file ends inside the header" : wrong;
    return -1;
  };
  char magic[kMaxMagic + 1];
  if (OB_Tools::readStringNoMalloc(magic, kMaxMagic, stream) != 0)
    return refuse("the magic word's length is wrong");
  if (std::strcmp(magic, kMagic) != 0) return refuse("the magic word is not \"ambervolte\"");

  int32_t type;
  uint32_t start, stop;
  if (OB_ArchiveIO::readI32(stream, &type) != 0 || OB_ArchiveIO::readU32(stream, &start) != 0 ||
      OB_ArchiveIO::readU32(stream, &stop) != 0)
    return refuse("the times can't be read");
  OB_TextField<kMaxPrefix + 1> prefix;
  if (prefix.read(stream) != 0) return refuse("the prefix is longer than 8 characters");

  char* device = nullptr;
  char* filter = nullptr;
  auto fail = [&](const char* wrong) {
    free(device);
    free(filter);
    return refuse(wrong);
  };
  if (OB_Tools::readStringMalloc(&device, stream) != 0)
    return fail("the device text is longer than 2048 bytes");
  if (OB_Tools::readStringMalloc(&filter, stream) != 0)
    return fail("the filter text is longer than 2048 bytes");

  uint16_t rawCount;
  if (OB_ArchiveIO::readU16(stream, &rawCount) != 0) return fail("the value count can't be read");
  const int16_t count = static_cast<int16_t>(rawCount);
  if (count < 0 || count > kMaxValues) return fail("the value count is outside 0 to 256");
  int16_t values[kMaxValues] = {};
  for (int i = 0; i < count; ++i) {
    uint16_t value;
    if (OB_ArchiveIO::readU16(stream, &value) != 0) return fail("the values can't be read");
    values[i] = static_cast<int16_t>(value);
  }
  const long offset = ftell(stream);
  if (offset < 0 || offset > INT32_MAX) return fail("the file can't be placed after the header");

  type_ = type;
  start_ = start;
  stop_ = stop;
  prefix_ = prefix;
  free(device_);
  free(filter_);
  device_ = device;
  filter_ = filter;
  count_ = count;
  std::memcpy(values_, values, sizeof values_);
  dataOffset_ = static_cast<int32_t>(offset);
  problem_ = "";
  return 0;
}

int OB_ArchiveHeader::writeJ(int socket) {
  if (writeLine(socket, name_) != 0) return -1;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(type_)) != 0) return -1;
  if (writeJ_UInt32(socket, start_) != 0) return -1;
  if (writeJ_UInt32(socket, stop_) != 0) return -1;
  if (writeLine(socket, prefix_.c_str()) != 0) return -1;
  if (writeLine(socket, getDevice()) != 0) return -1;
  if (writeLine(socket, getFilter()) != 0) return -1;
  return 0;
}
