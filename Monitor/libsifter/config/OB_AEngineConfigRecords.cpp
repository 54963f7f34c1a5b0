#include "config/OB_AEngineConfigRecords.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "OB_Config.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_ConfigRecordIO.h"

namespace {

using IO = OB_ConfigRecordIO;

constexpr int kNameLine = sizeof timeWindow_t::name;
static_assert(sizeof networkGroup_t::name == kNameLine && sizeof XSubset_t::name == kNameLine);
constexpr int kAddressLine = 2048;

template <class T>
T* allocate(const char* function) {
  T* record = new (std::nothrow) T{};
  if (record == nullptr) OB_Log::quit("%s: not enough memory\n", function);
  return record;
}

// A 32-bit unsigned file value; the whole range round-trips (times past 2038 included).
uint32_t toU32(const std::string& text) {
  return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

int netCount(uint16_t numOfNets, int limit) { return numOfNets < limit ? numOfNets : limit; }

// The nets of a group or subset: their count line and the two address lines. A count outside
// 0 .. kMaxNets ends the process with tooMany, a bad address with "<function>: Malformed IP
// Address: <text>". Both address lines are consumed even without nets.
template <class R>
void readNets(FILE* stream, R* record, const char* tooMany, const char* function) {
  int count = IO::toInt(IO::readValue(stream));
  if (count < 0 || count > R::kMaxNets) {
    IO::refuse("%s", tooMany);
    count = 0;
  }
  record->numOfNets = static_cast<uint16_t>(count);
  std::string lists[2] = {IO::readValue(stream), IO::readValue(stream)};
  if (count == 0) return;
  for (int pass = 0; pass < 2; ++pass) {
    bool masks = pass == 1;
    uint32_t* target = masks ? record->maskAddress : record->exampleAddress;
    char* save = nullptr;
    char* token = OB_Tools::strtok(lists[pass].data(), " \t\n", &save);
    for (int i = 0; i < count; ++i) {
      if (!OB_Config::parseAddress(token, masks, &target[i])) {
        IO::refuse("%s: Malformed IP Address: %s", function, token != nullptr ? token : "");
        record->numOfNets = 0;
        return;
      }
      token = OB_Tools::strtok(nullptr, " \t\n", &save);
    }
  }
  for (int i = 0; i < count; ++i)
    record->network[i] = record->exampleAddress[i] & record->maskAddress[i];
}

template <class R>
void writeNets(FILE* stream, const R* record) {
  int nets = netCount(record->numOfNets, R::kMaxNets);
  fprintf(stream, "numOfNets{%d}\n", nets);
  fprintf(stream, "exampleAddress{%s}\n", IO::quadList(record->exampleAddress, nets).c_str());
  fprintf(stream, "maskAddress{%s}\n", IO::quadList(record->maskAddress, nets).c_str());
}

template <class R>
void copyNets(R* dst, const R* src) {
  int nets = netCount(src->numOfNets, R::kMaxNets);
  dst->numOfNets = static_cast<uint16_t>(nets);
  for (int i = 0; i < R::kMaxNets; ++i) {
    bool used = i < nets;
    dst->exampleAddress[i] = used ? src->exampleAddress[i] : 0;
    dst->maskAddress[i] = used ? src->maskAddress[i] : 0;
    dst->network[i] = used ? src->network[i] : 0;
  }
}

template <class R>
bool insideNets(const R* record, uint32_t address) {
  int nets = netCount(record->numOfNets, R::kMaxNets);
  for (int i = 0; i < nets; ++i)
    if ((address & record->maskAddress[i]) == record->network[i]) return true;
  return false;
}

template <class R>
int sendNets(int socket, const R* record) {
  int nets = netCount(record->numOfNets, R::kMaxNets);
  if (writeJ_UInt16(socket, static_cast<uint16_t>(nets)) != 0) return -1;
  char quad[16];
  for (int i = 0; i < nets; ++i) {
    if (IO::sendLine(socket, OB_Tools::IPAddressString(record->exampleAddress[i], quad)) != 0)
      return -1;
    if (IO::sendLine(socket, OB_Tools::IPAddressString(record->maskAddress[i], quad)) != 0)
      return -1;
  }
  return 0;
}

// exampleCode / exampleCode + 1 number the malformed-address messages of examples and masks.
template <class R>
int receiveNets(int socket, R* record, const char* who, int exampleCode) {
  uint16_t nets = 0;
  if (readJ_UInt16(socket, &nets) != 0) return -1;
  if (nets > R::kMaxNets) {
    OB_Log::ret("%s: too many networks: %u", who, nets);
    return -1;
  }
  record->numOfNets = nets;
  char line[kAddressLine];
  for (int i = 0; i < nets; ++i) {
    if (IO::receiveLine(socket, line, sizeof line, "a network address") < 0) return -1;
    if (!OB_Config::parseAddress(line, false, &record->exampleAddress[i])) {
      OB_Log::ret("%s: Malformed IP Address(%d): %s", who, exampleCode, line);
      return -1;
    }
    if (IO::receiveLine(socket, line, sizeof line, "a network mask") < 0) return -1;
    if (!OB_Config::parseAddress(line, true, &record->maskAddress[i])) {
      OB_Log::ret("%s: Malformed IP Address(%d): %s", who, exampleCode + 1, line);
      return -1;
    }
    record->network[i] = record->exampleAddress[i] & record->maskAddress[i];
  }
  return 0;
}

// name: a record's field of kNameLine bytes.
int receiveName(int socket, char* name, const char* field) {
  return IO::receiveLine(socket, name, kNameLine, field) < 0 ? -1 : 0;
}

}  // namespace

timeWindow_t* timeWindow_read(FILE* stream) {
  timeWindow_t* window = allocate<timeWindow_t>("timeWindow_read");
  IO::skipLines(stream, 1);
  IO::copyCut(window->name, sizeof window->name, IO::readValue(stream).c_str());
  window->windowType = static_cast<uint16_t>(IO::toInt(IO::readValue(stream)));
  window->alignRTType = static_cast<uint16_t>(IO::toInt(IO::readValue(stream)));
  window->alignRTOffset = static_cast<uint16_t>(IO::toInt(IO::readValue(stream)));
  window->staticNowTime = toU32(IO::readValue(stream));
  window->staticAgoTime = toU32(IO::readValue(stream));
  window->staticNumOfBins = toU32(IO::readValue(stream));
  IO::skipLines(stream, 1);
  return window;
}

int timeWindow_write(FILE* stream, const timeWindow_t* window) {
  fprintf(stream, "# Time Window\n");
  fprintf(stream, "name{%s}\n", window->name);
  fprintf(stream, "windowType{%d}\n", window->windowType);
  fprintf(stream, "alignRTType{%d}\n", window->alignRTType);
  fprintf(stream, "alignRTOffset{%d}\n", window->alignRTOffset);
  fprintf(stream, "staticNowTime{%u}\n", window->staticNowTime);
  fprintf(stream, "staticAgoTime{%u}\n", window->staticAgoTime);
  fprintf(stream, "staticNumOfBins{%u}\n", window->staticNumOfBins);
  fprintf(stream, "\n");
  return ferror(stream) != 0 ? -1 : 0;
}

networkGroup_t* networkGroup_readGroup(FILE* stream) {
  networkGroup_t* group = allocate<networkGroup_t>("networkGroup_readGroup");
  IO::skipLines(stream, 1);
  IO::copyCut(group->name, sizeof group->name, IO::readValue(stream).c_str());
  readNets(stream, group, "networkGroup_readGroup: too many network groups",
           "networkGroup_readGroup");
  IO::skipLines(stream, 1);
  return group;
}

int networkGroup_write(FILE* stream, const networkGroup_t* group) {
  fprintf(stream, "# Network Group\n");
  fprintf(stream, "name{%s}\n", group->name);
  writeNets(stream, group);
  fprintf(stream, "\n");
  return ferror(stream) != 0 ? -1 : 0;
}

XSubset_t* XSubset_readFilter(FILE* stream) {
  XSubset_t* subset = allocate<XSubset_t>("XSubset_readFilter");
  IO::skipLines(stream, 1);
  IO::copyCut(subset->name, sizeof subset->name, IO::readValue(stream).c_str());
  subset->acceptMatching = IO::toInt(IO::readValue(stream));
  readNets(stream, subset, "XSubset_readFilter: too many network filters", "XSubset_readFilter");
  IO::skipLines(stream, 1);
  return subset;
}

int XSubset_write(FILE* stream, const XSubset_t* subset) {
  fprintf(stream, "# X Subset\n");
  fprintf(stream, "name{%s}\n", subset->name);
  fprintf(stream, "acceptMatching{%d}\n", subset->acceptMatching);
  writeNets(stream, subset);
  fprintf(stream, "\n");
  return ferror(stream) != 0 ? -1 : 0;
}

int timeWindow_copy(timeWindow_t* dst, const timeWindow_t* src) {
  IO::copyCut(dst->name, sizeof dst->name, src->name);
  dst->windowType = src->windowType;
  dst->alignRTType = src->alignRTType;
  dst->alignRTOffset = src->alignRTOffset;
  dst->staticNowTime = src->staticNowTime;
  dst->staticAgoTime = src->staticAgoTime;
  dst->staticNumOfBins = src->staticNumOfBins;
  return 0;
}

int networkGroup_copy(networkGroup_t* dst, const networkGroup_t* src) {
  IO::copyCut(dst->name, sizeof dst->name, src->name);
  copyNets(dst, src);
  return 0;
}

int XSubset_copy(XSubset_t* dst, const XSubset_t* src) {
  IO::copyCut(dst->name, sizeof dst->name, src->name);
  dst->acceptMatching = src->acceptMatching;
  copyNets(dst, src);
  return 0;
}

int networkGroup_isMatch(const networkGroup_t* group, const uint32_t* address) {
  return insideNets(group, *address) ? 1 : 0;
}

int XSubset_isMatch(const XSubset_t* subset, const uint32_t* address) {
  bool accept = subset->acceptMatching != 0;
  return insideNets(subset, *address) == accept ? 1 : 0;
}

const char* timeWindow_problem(const timeWindow_t* window) {
  constexpr uint32_t kMaxBins = 32767;
  constexpr uint32_t kDay = 86400;
  const uint32_t bins = window->staticNumOfBins;
  switch (window->windowType) {
    case 0:  // aligned
      switch (window->alignRTType) {
        case 0:
        case 1:
          if (bins < 1 || bins > kMaxBins) return "bins not within 1 to 32767";
          if (bins > (window->alignRTType == 0 ? kDay : 7 * kDay)) return "more bins than seconds";
          return nullptr;
        case 2:
          return bins > kMaxBins ? "more than 32767 bins" : nullptr;
        default:
          return "alignment is neither day, week nor month";
      }
    case 1:  // static
      if (bins < 1 || bins > kMaxBins) return "bins not within 1 to 32767";
      if (window->staticNowTime <= window->staticAgoTime) return "ends before it begins";
      if (window->staticNowTime - window->staticAgoTime < bins) return "more bins than seconds";
      return nullptr;
    default:
      return "type is neither aligned nor static";
  }
}

int timeWindow_writeJ(int socket, const timeWindow_t* window) {
  if (IO::sendLine(socket, window->name) != 0) return -1;
  if (writeJ_UInt16(socket, window->windowType) != 0) return -1;
  if (writeJ_UInt16(socket, window->alignRTType) != 0) return -1;
  if (writeJ_UInt16(socket, window->alignRTOffset) != 0) return -1;
  if (writeJ_UInt32(socket, window->staticNowTime) != 0) return -1;
  if (writeJ_UInt32(socket, window->staticAgoTime) != 0) return -1;
  return writeJ_UInt32(socket, window->staticNumOfBins) != 0 ? -1 : 0;
}

int timeWindow_readJ(int socket, timeWindow_t* window) {
  if (receiveName(socket, window->name, "a time window's name") != 0) return -1;
  if (readJ_UInt16(socket, &window->windowType) != 0) return -1;
  if (readJ_UInt16(socket, &window->alignRTType) != 0) return -1;
  if (readJ_UInt16(socket, &window->alignRTOffset) != 0) return -1;
  if (readJ_UInt32(socket, &window->staticNowTime) != 0) return -1;
  if (readJ_UInt32(socket, &window->staticAgoTime) != 0) return -1;
  return readJ_UInt32(socket, &window->staticNumOfBins) != 0 ? -1 : 0;
}

int networkGroup_writeJ(int socket, const networkGroup_t* group) {
  if (IO::sendLine(socket, group->name) != 0) return -1;
  return sendNets(socket, group);
}

int networkGroup_readJ(int socket, networkGroup_t* group, const char* who) {
  if (receiveName(socket, group->name, "a network group's name") != 0) return -1;
  return receiveNets(socket, group, who, 1);
}

int XSubset_writeJ(int socket, const XSubset_t* subset) {
  if (IO::sendLine(socket, subset->name) != 0) return -1;
  if (IO::sendFlag(socket, subset->acceptMatching) != 0) return -1;
  return sendNets(socket, subset);
}

int XSubset_readJ(int socket, XSubset_t* subset, const char* who) {
  if (receiveName(socket, subset->name, "a transaction subset's name") != 0) return -1;
  int accept = 0;
  if (readJ_Boolean(socket, &accept) != 0) return -1;
  subset->acceptMatching = accept;
  return receiveNets(socket, subset, who, 3);
}
