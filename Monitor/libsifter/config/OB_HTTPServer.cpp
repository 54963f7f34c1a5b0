#include "config/OB_HTTPServer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "OB_Config.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_ConfigRecordIO.h"

namespace {

using IO = OB_ConfigRecordIO;
constexpr const char* kBlanks = " \t\n";

int clampCount(int count, int limit) { return std::clamp(count, 0, limit); }

const char* text(const char* owned) { return owned != nullptr ? owned : ""; }

void writeNames(FILE* f, char* const* names, int count) {
  for (int i = 0; i < count; ++i) fprintf(f, i > 0 ? " %s" : "%s", text(names[i]));
}

// A "key{" line, one entry per line, and a "}" line.
void writeBlock(FILE* f, const char* key, char* const* entries, int count) {
  fprintf(f, "%s{\n", key);
  for (int i = 0; i < count; ++i) fprintf(f, "%s\n", text(entries[i]));
  fprintf(f, "}\n");
}

// A count line of the file; outside 0 .. limit the process ends with message.
uint16_t readCount(FILE* f, int limit, const char* message) {
  int count = IO::toInt(IO::readValue(f));
  if (count >= 0 && count <= limit) return static_cast<uint16_t>(count);
  IO::refuse("%s", message);
  return 0;
}

// The names of a blank-separated list value; the count becomes the number actually listed when
// the list is shorter than it says.
void readNames(FILE* f, char** names, uint16_t* count) {
  std::string value = IO::readValue(f);
  char* save = nullptr;
  char* token = OB_Tools::strtok(value.data(), kBlanks, &save);
  int found = 0;
  for (; found < *count && token != nullptr; ++found) {
    IO::setOwned(&names[found], token);
    token = OB_Tools::strtok(nullptr, kBlanks, &save);
  }
  *count = static_cast<uint16_t>(found);
}

// The opener line, count whole lines each copied, and the closer line.
void readBlock(FILE* f, char** entries, int count) {
  IO::skipLines(f, 1);
  std::string line;
  for (int i = 0; i < count; ++i) {
    IO::readLine(f, &line);
    IO::setOwned(&entries[i], line.c_str());
  }
  IO::skipLines(f, 1);
}

uint32_t readServerAddress(const char* token) {
  uint32_t address = 0;
  if (!OB_Config::parseAddress(token, false, &address))
    IO::refuse("httpServer_readServer: Malformed IP Address: %s", text(token));
  return address;
}

int sendLines(int socket, char* const* entries, int count) {
  for (int i = 0; i < count; ++i)
    if (IO::sendLine(socket, text(entries[i])) != 0) return -1;
  return 0;
}

// A received count, refused above limit (logged).
int receiveCount(int socket, uint16_t* count, int limit, const char* what) {
  uint16_t received = 0;
  if (readJ_UInt16(socket, &received) != 0) return -1;
  if (received > limit) {
    OB_Log::ret("hcommand_SET_CONFIG: too many %s: %u", what, received);
    return -1;
  }
  *count = received;
  return 0;
}

// count received lines into owned strings; *stored follows what has arrived. field names an
// entry in the log.
int receiveLines(int socket, char** entries, uint16_t count, uint16_t* stored,
                 const char* field) {
  char line[IO::kWireLine];
  *stored = 0;
  for (int i = 0; i < count; ++i) {
    if (IO::receiveLine(socket, line, sizeof line, field) < 0) return -1;
    IO::setOwned(&entries[i], line);
    *stored = static_cast<uint16_t>(i + 1);
  }
  return 0;
}

int receiveAddress(int socket, uint32_t* address, bool allowAllOnes, const char* message) {
  char line[IO::kWireLine];
  if (IO::receiveLine(socket, line, sizeof line, "an HTTP server's address") < 0) return -1;
  if (!OB_Config::parseAddress(line, allowAllOnes, address)) {
    OB_Log::ret(message, line);
    return -1;
  }
  return 0;
}

int receiveFlag(int socket, int32_t* flag) {
  int value = 0;
  if (readJ_Boolean(socket, &value) != 0) return -1;
  *flag = value;
  return 0;
}

// The first occurrence of variable followed by "=" gets replacement as its value, up to the next
// '&' or the end. Works in place in url (size bytes); a longer result is cut. True when the text
// changed.
bool maskParamValue(const char* variable, const char* replacement, char* url, size_t size) {
  if (variable == nullptr || variable[0] == '\0') return false;
  size_t nameLength = strlen(variable);
  size_t length = strlen(url);
  const char* found = nullptr;
  for (const char* at = strstr(url, variable); at != nullptr; at = strstr(at + 1, variable)) {
    if (at[nameLength] == '=') {
      found = at;
      break;
    }
  }
  if (found == nullptr) return false;
  size_t head = static_cast<size_t>(found - url) + nameLength + 1;
  const char* amp = strchr(found, '&');
  size_t tail = amp != nullptr ? static_cast<size_t>(amp - url) : length;
  if (tail < head) tail = head;  // an '&' inside the name itself
  size_t replacementLength = strlen(replacement);
  if (tail - head == replacementLength && memcmp(url + head, replacement, replacementLength) == 0)
    return false;
  size_t limit = size - 1;
  size_t replacementKept = std::min(replacementLength, limit - head);
  size_t tailTo = head + replacementKept;
  size_t tailKept = std::min(length - tail, limit - tailTo);
  memmove(url + tailTo, url + tail, tailKept);
  memcpy(url + head, replacement, replacementKept);
  url[tailTo + tailKept] = '\0';
  return true;
}

int substringFilter(int32_t apply, int32_t discard, char* const* substrings, int count,
                    const char* probe) {
  if (apply == 0) return 1;
  const char* haystack = text(probe);
  for (int i = 0; i < count; ++i)
    if (strstr(haystack, text(substrings[i])) != nullptr) return discard == 0 ? 1 : 0;
  return discard != 0 ? 1 : 0;
}

}  // namespace

OB_HTTPServer::OB_HTTPServer() {
  reportLists.setOwner(1);
  setPort(kDefaultPort);
}

OB_HTTPServer::~OB_HTTPServer() { freeStrings(); }

void OB_HTTPServer::freeStrings() {
  for (char*& s : sAltDNSes) IO::freeOwned(&s);
  for (char*& s : mAltDNSes) IO::freeOwned(&s);
  for (char*& s : paramMaskVariables) IO::freeOwned(&s);
  for (char*& s : paramMaskReplacements) IO::freeOwned(&s);
  for (char*& s : urlSubstrs) IO::freeOwned(&s);
  for (char*& s : usrAgntSubstrs) IO::freeOwned(&s);
}

int OB_HTTPServer::init() {
  uint16_t keep = port;  // OB_Server::init clears the port; a definition keeps its own
  OB_Server::init();
  freeStrings();
  sNumOfAltDNSes = 0;
  mNumOfAltDNSes = 0;
  paramMaskApply = 0;
  paramMaskCount = 0;
  clientIPApply = 0;
  clientIPDiscard = 0;
  clientIPCount = 0;
  memset(clientIPRanges, 0, sizeof clientIPRanges);
  urlSubstrApply = 0;
  urlSubstrDiscard = 0;
  urlSubstrCount = 0;
  usrAgntSubstrApply = 0;
  usrAgntSubstrDiscard = 0;
  usrAgntSubstrCount = 0;
  setPort(keep);
  return 0;
}

int OB_HTTPServer::isNeeded(OB_Packet* /*packet*/) { return 1; }

int OB_HTTPServer::isContentFiltered() {
  return urlSubstrApply != 0 || usrAgntSubstrApply != 0 ? 1 : 0;
}

int OB_HTTPServer::maskParamValues(char* url, size_t size) {
  if (paramMaskApply == 0 || url == nullptr || size == 0) return 0;
  if (strnlen(url, size) == size) url[size - 1] = '\0';
  int changed = 0;
  int count = clampCount(paramMaskCount, kMaxListEntries);
  for (int i = 0; i < count; ++i)
    if (maskParamValue(paramMaskVariables[i], text(paramMaskReplacements[i]), url, size))
      changed = 1;
  return changed;
}

int OB_HTTPServer::isServerPortMatch(const uint16_t* candidate) {
  return candidate != nullptr && *candidate == port ? 1 : 0;
}

int OB_HTTPServer::isServerIPMatch(const uint32_t* address) {
  if (address == nullptr) return 0;
  return isInRange(*address) != 0 ? 1 : 0;
}

int OB_HTTPServer::isClientIPMatch(const uint32_t* address) {
  if (clientIPApply == 0) return 1;
  bool inside = false;
  int count = clampCount(clientIPCount, kMaxListEntries);
  for (int i = 0; address != nullptr && i < count && !inside; ++i)
    inside = clientIPRanges[i][0] <= *address && *address <= clientIPRanges[i][1];
  if (clientIPDiscard != 0) return inside ? 0 : 1;
  return inside ? 1 : 0;
}

int OB_HTTPServer::isURLMatch(const char* url) {
  return substringFilter(urlSubstrApply, urlSubstrDiscard, urlSubstrs,
                         clampCount(urlSubstrCount, kMaxListEntries), url);
}

int OB_HTTPServer::isUserAgentMatch(const char* agent) {
  return substringFilter(usrAgntSubstrApply, usrAgntSubstrDiscard, usrAgntSubstrs,
                         clampCount(usrAgntSubstrCount, kMaxListEntries), agent);
}

int OB_HTTPServer::isAltDNS(const char* host) {
  char* const* names = nullptr;
  int count = 0;
  switch (serverType) {
    case 0:
      names = sAltDNSes;
      count = clampCount(sNumOfAltDNSes, kMaxAltDNSes);
      break;
    case 1:
      names = mAltDNSes;
      count = clampCount(mNumOfAltDNSes, kMaxAltDNSes);
      break;
    default:
      OB_Log::quit("httpServer_isAltDNS: invalid server type for this function\n");
  }
  if (host == nullptr) return 0;
  for (int i = 0; i < count; ++i)
    if (names[i] != nullptr && strcmp(host, names[i]) == 0) return 1;
  return 0;
}

int OB_HTTPServer::write(FILE* f) {
  char quad[16];
  fprintf(f, "# HTTP Server\n");
  fprintf(f, "serverType{%d}\n", serverType);
  if (serverType == 0) {
    int names = clampCount(sNumOfAltDNSes, kMaxAltDNSes);
    fprintf(f, "sIPAddress{%s}\n", OB_Tools::IPAddressString(ipAddress, quad));
    fprintf(f, "sNumOfAltDNSes{%d}\n", names);
    fprintf(f, "sAltDNSes{");
    writeNames(f, sAltDNSes, names);
    fprintf(f, "}\n");
  } else {
    fprintf(f, "sIPAddress{}\nsNumOfAltDNSes{}\nsAltDNSes{}\n");
  }
  if (serverType == 1) {
    int count = clampCount(numAddresses, kMaxAddresses);
    int names = clampCount(mNumOfAltDNSes, kMaxAltDNSes);
    fprintf(f, "mName{%s}\n", name);
    fprintf(f, "mNumOfIPAddresses{%d}\n", count);
    fprintf(f, "mIPAddresses{%s}\n", IO::quadList(addresses, count).c_str());
    fprintf(f, "mNumOfAltDNSes{%d}\n", names);
    fprintf(f, "mAltDNSes{");
    writeNames(f, mAltDNSes, names);
    fprintf(f, "}\n");
  } else {
    fprintf(f, "mName{}\nmNumOfIPAddresses{}\nmIPAddresses{}\nmNumOfAltDNSes{}\nmAltDNSes{}\n");
  }
  fprintf(f, "filterName{%s}\n", filterName);

  int masks = clampCount(paramMaskCount, kMaxListEntries);
  fprintf(f, "paramMaskApply{%d}\n", paramMaskApply);
  fprintf(f, "paramMaskCount{%d}\n", masks);
  writeBlock(f, "paramMaskVariables", paramMaskVariables, masks);
  writeBlock(f, "paramMaskReplacements", paramMaskReplacements, masks);

  int ranges = clampCount(clientIPCount, kMaxListEntries);
  fprintf(f, "clientIPApply{%d}\n", clientIPApply);
  fprintf(f, "clientIPDiscard{%d}\n", clientIPDiscard);
  fprintf(f, "clientIPCount{%d}\n", ranges);
  fprintf(f, "clientIPRanges{\n");
  char high[16];
  for (int i = 0; i < ranges; ++i)
    fprintf(f, "%s %s\n", OB_Tools::IPAddressString(clientIPRanges[i][0], quad),
            OB_Tools::IPAddressString(clientIPRanges[i][1], high));
  fprintf(f, "}\n");

  int urls = clampCount(urlSubstrCount, kMaxListEntries);
  fprintf(f, "urlSubstrApply{%d}\n", urlSubstrApply);
  fprintf(f, "urlSubstrDiscard{%d}\n", urlSubstrDiscard);
  fprintf(f, "urlSubstrCount{%d}\n", urls);
  writeBlock(f, "urlSubstrs", urlSubstrs, urls);

  int agents = clampCount(usrAgntSubstrCount, kMaxListEntries);
  fprintf(f, "usrAgntSubstrApply{%d}\n", usrAgntSubstrApply);
  fprintf(f, "usrAgntSubstrDiscard{%d}\n", usrAgntSubstrDiscard);
  fprintf(f, "usrAgntSubstrCount{%d}\n", agents);
  writeBlock(f, "usrAgntSubstrs", usrAgntSubstrs, agents);

  fprintf(f, "name{%s}\n", name);
  fprintf(f, "port{%d}\n", port);
  OB_MutexHold hold(&reportLists);
  fprintf(f, "numOfReports{%d}\n", reportLists.getCount());
  for (OB_ConfigReportList* list = reportLists.first(); list != nullptr; list = reportLists.next())
    if (list->write(f) != 0) return -1;
  fprintf(f, "\n");
  return ferror(f) != 0 ? -1 : 0;
}

int OB_HTTPServer::read(FILE* f) {
  IO::skipLines(f, 1);
  int type = IO::toInt(IO::readValue(f));
  if (type != 0 && type != 1) {
    IO::refuse("httpServer_readServer: invalid server type");
    type = 0;
  }
  serverType = static_cast<uint8_t>(type);

  if (type == 0) {
    std::string value = IO::readValue(f);
    char* save = nullptr;
    ipAddress = readServerAddress(OB_Tools::strtok(value.data(), kBlanks, &save));
    sNumOfAltDNSes = readCount(f, kMaxAltDNSes, "httpServer_readServer: too many DNS addresses");
    readNames(f, sAltDNSes, &sNumOfAltDNSes);
  } else {
    IO::skipLines(f, 3);
  }
  if (type == 1) {
    setName(IO::readValue(f).c_str());
    numAddresses =
        readCount(f, kMaxAddresses, "httpServer_readServer: too many server addresses");
    std::string value = IO::readValue(f);
    char* save = nullptr;
    char* token = OB_Tools::strtok(value.data(), kBlanks, &save);
    for (int i = 0; i < numAddresses; ++i) {
      addresses[i] = readServerAddress(token);
      token = OB_Tools::strtok(nullptr, kBlanks, &save);
    }
    mNumOfAltDNSes = readCount(f, kMaxAltDNSes, "httpServer_readServer: too many DNS addresses");
    readNames(f, mAltDNSes, &mNumOfAltDNSes);
  } else {
    IO::skipLines(f, 5);
  }
  IO::copyCut(filterName, sizeof filterName, IO::readValue(f).c_str());

  paramMaskApply = IO::toInt(IO::readValue(f));
  paramMaskCount =
      readCount(f, kMaxListEntries, "httpServer_readServer: too many parameter masks");
  readBlock(f, paramMaskVariables, paramMaskCount);
  readBlock(f, paramMaskReplacements, paramMaskCount);

  clientIPApply = IO::toInt(IO::readValue(f));
  clientIPDiscard = IO::toInt(IO::readValue(f));
  clientIPCount =
      readCount(f, kMaxListEntries, "httpServer_readServer: too many client address ranges");
  IO::skipLines(f, 1);
  std::string line;
  for (int i = 0; i < clientIPCount; ++i) {
    IO::readLine(f, &line);
    std::string split = line;
    char* save = nullptr;
    char* lowText = OB_Tools::strtok(split.data(), kBlanks, &save);
    char* highText = OB_Tools::strtok(nullptr, kBlanks, &save);
    uint32_t low = 0;
    uint32_t high = 0;
    if (!OB_Config::parseAddress(lowText, true, &low) ||
        !OB_Config::parseAddress(highText, true, &high))
      IO::refuse("readServer_1_2: Invalid address range. %s", line.c_str());
    clientIPRanges[i][0] = std::min(low, high);
    clientIPRanges[i][1] = std::max(low, high);
  }
  IO::skipLines(f, 1);

  urlSubstrApply = IO::toInt(IO::readValue(f));
  urlSubstrDiscard = IO::toInt(IO::readValue(f));
  urlSubstrCount =
      readCount(f, kMaxListEntries, "httpServer_readServer: too many URL substrings");
  readBlock(f, urlSubstrs, urlSubstrCount);

  usrAgntSubstrApply = IO::toInt(IO::readValue(f));
  usrAgntSubstrDiscard = IO::toInt(IO::readValue(f));
  usrAgntSubstrCount =
      readCount(f, kMaxListEntries, "httpServer_readServer: too many user-agent substrings");
  readBlock(f, usrAgntSubstrs, usrAgntSubstrCount);

  setName(IO::readValue(f).c_str());
  port = static_cast<uint16_t>(IO::toInt(IO::readValue(f)));
  publish();

  reportLists.clear();
  int lists = IO::toInt(IO::readValue(f));
  for (int i = 0; i < lists; ++i) {
    OB_ConfigReportList* list = OB_ConfigReportList::create();
    if (list == nullptr) OB_Log::quit("httpServer_readServer: not enough memory\n");
    if (list->read(f) != 0 || reportLists.append(list) != 0) {
      list->release();
      return -1;
    }
  }
  IO::skipLines(f, 1);
  return 0;
}

int OB_HTTPServer::writeJ(int socket) {
  char quad[16];
  if (writeJ_UInt8(socket, serverType) != 0) return -1;
  if (IO::sendLine(socket, OB_Tools::IPAddressString(serverType == 0 ? ipAddress : 0, quad)) != 0)
    return -1;
  int names = serverType == 0 ? clampCount(sNumOfAltDNSes, kMaxAltDNSes) : 0;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(names)) != 0) return -1;
  if (sendLines(socket, sAltDNSes, names) != 0) return -1;
  if (IO::sendLine(socket, serverType == 1 ? name : "") != 0) return -1;
  int count = serverType == 1 ? clampCount(numAddresses, kMaxAddresses) : 0;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(count)) != 0) return -1;
  for (int i = 0; i < count; ++i)
    if (IO::sendLine(socket, OB_Tools::IPAddressString(addresses[i], quad)) != 0) return -1;
  names = serverType == 1 ? clampCount(mNumOfAltDNSes, kMaxAltDNSes) : 0;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(names)) != 0) return -1;
  if (sendLines(socket, mAltDNSes, names) != 0) return -1;
  if (IO::sendLine(socket, filterName) != 0) return -1;

  int masks = clampCount(paramMaskCount, kMaxListEntries);
  if (IO::sendFlag(socket, paramMaskApply) != 0) return -1;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(masks)) != 0) return -1;
  if (sendLines(socket, paramMaskVariables, masks) != 0) return -1;
  if (sendLines(socket, paramMaskReplacements, masks) != 0) return -1;

  int ranges = clampCount(clientIPCount, kMaxListEntries);
  if (IO::sendFlag(socket, clientIPApply) != 0) return -1;
  if (IO::sendFlag(socket, clientIPDiscard) != 0) return -1;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(ranges)) != 0) return -1;
  for (int i = 0; i < ranges; ++i) {
    if (IO::sendLine(socket, OB_Tools::IPAddressString(clientIPRanges[i][0], quad)) != 0)
      return -1;
    if (IO::sendLine(socket, OB_Tools::IPAddressString(clientIPRanges[i][1], quad)) != 0)
      return -1;
  }

  int urls = clampCount(urlSubstrCount, kMaxListEntries);
  if (IO::sendFlag(socket, urlSubstrApply) != 0) return -1;
  if (IO::sendFlag(socket, urlSubstrDiscard) != 0) return -1;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(urls)) != 0) return -1;
  if (sendLines(socket, urlSubstrs, urls) != 0) return -1;

  int agents = clampCount(usrAgntSubstrCount, kMaxListEntries);
  if (IO::sendFlag(socket, usrAgntSubstrApply) != 0) return -1;
  if (IO::sendFlag(socket, usrAgntSubstrDiscard) != 0) return -1;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(agents)) != 0) return -1;
  if (sendLines(socket, usrAgntSubstrs, agents) != 0) return -1;

  if (IO::sendLine(socket, name) != 0) return -1;
  if (writeJ_UInt16(socket, port) != 0) return -1;
  OB_MutexHold hold(&reportLists);
  int lists = reportLists.getCount();
  if (lists > UINT16_MAX) return -1;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(lists)) != 0) return -1;
  for (OB_ConfigReportList* list = reportLists.first(); list != nullptr; list = reportLists.next())
    if (list->writeJ(socket) != 0) return -1;
  return 0;
}

const char* OB_HTTPServer::storageProblem() {
  using Kept = IO::Kept;
  auto all = [](char* const* texts, int count, Kept as) {
    for (int i = 0; i < count; ++i)
      if (!IO::keepsWhole(texts[i], as)) return false;
    return true;
  };
  if (!IO::keepsWhole(name, Kept::kInBraces) || !IO::keepsWhole(filterName, Kept::kInBraces))
    return "an HTTP server's name or filter name holds a brace or a line end";
  // Only the alternate names of the server's type are kept, as one blank-separated value.
  const bool several = serverType == 1;
  if (!all(several ? mAltDNSes : sAltDNSes,
           clampCount(several ? mNumOfAltDNSes : sNumOfAltDNSes, kMaxAltDNSes), Kept::kListEntry))
    return "an alternate name is empty or holds a blank, a brace or a line end";
  const int masks = clampCount(paramMaskCount, kMaxListEntries);
  if (!all(paramMaskVariables, masks, Kept::kLine) ||
      !all(paramMaskReplacements, masks, Kept::kLine) ||
      !all(urlSubstrs, clampCount(urlSubstrCount, kMaxListEntries), Kept::kLine) ||
      !all(usrAgntSubstrs, clampCount(usrAgntSubstrCount, kMaxListEntries), Kept::kLine))
    return "a mask or substring holds a line end";
  // The file keeps a range low to high; one received the other way round would hold no address
  // now and every address between after the next rebuild.
  for (int i = 0; i < clampCount(clientIPCount, kMaxListEntries); ++i)
    if (clientIPRanges[i][0] > clientIPRanges[i][1]) return "a client range ends below its start";
  OB_MutexHold hold(&reportLists);
  for (OB_ConfigReportList* list = reportLists.first(); list != nullptr; list = reportLists.next())
    if (const char* problem = list->storageProblem(); problem != nullptr) return problem;
  return nullptr;
}

int OB_HTTPServer::readJ(int socket) {
  int result = -1;
  reportLists.clear();
  // Every path republishes, so the capture filter sees whatever the definition holds.
  struct Republish {
    OB_Server* server;
    ~Republish() { server->publish(); }
  } republish{this};

  uint8_t type = 0;
  if (readJ_UInt8(socket, &type) != 0) return result;
  // Only types 0 and 1 exist; another one would end the process at its first match.
  if (type > 1) {
    OB_Log::ret("hcommand_SET_CONFIG: invalid server type: %u", type);
    return result;
  }
  serverType = type;
  if (receiveAddress(socket, &ipAddress, false, "hcommand_SET_CONFIG: Malformed IP Address(5): %s") !=
      0)
    return result;
  uint16_t count = 0;
  if (receiveCount(socket, &count, kMaxAltDNSes, "alternate names") != 0) return result;
  if (receiveLines(socket, sAltDNSes, count, &sNumOfAltDNSes, "an alternate name") != 0)
    return result;
  if (IO::receiveLine(socket, name, sizeof name, "the name of a server of several addresses") < 0)
    return result;
  if (receiveCount(socket, &count, kMaxAddresses, "server addresses") != 0) return result;
  numAddresses = 0;
  for (int i = 0; i < count; ++i) {
    if (receiveAddress(socket, &addresses[i], false,
                       "hcommand_SET_CONFIG: Malformed IP Address(6): %s") != 0)
      return result;
    numAddresses = static_cast<uint16_t>(i + 1);
  }
  if (receiveCount(socket, &count, kMaxAltDNSes, "alternate names") != 0) return result;
  if (receiveLines(socket, mAltDNSes, count, &mNumOfAltDNSes, "an alternate name") != 0)
    return result;
  if (IO::receiveLine(socket, filterName, sizeof filterName, "an HTTP server's filter name") < 0)
    return result;

  if (receiveFlag(socket, &paramMaskApply) != 0) return result;
  if (receiveCount(socket, &count, kMaxListEntries, "parameter masks") != 0) return result;
  uint16_t replacements = 0;
  if (receiveLines(socket, paramMaskVariables, count, &paramMaskCount, "a masked parameter") != 0 ||
      receiveLines(socket, paramMaskReplacements, count, &replacements,
                   "a parameter's replacement") != 0) {
    paramMaskCount = std::min(paramMaskCount, replacements);
    return result;
  }

  if (receiveFlag(socket, &clientIPApply) != 0) return result;
  if (receiveFlag(socket, &clientIPDiscard) != 0) return result;
  if (receiveCount(socket, &count, kMaxListEntries, "client address ranges") != 0) return result;
  clientIPCount = 0;
  for (int i = 0; i < count; ++i) {
    if (receiveAddress(socket, &clientIPRanges[i][0], true,
                       "hcommand_SET_CONFIG: Malformed IP Address(7): %s") != 0)
      return result;
    if (receiveAddress(socket, &clientIPRanges[i][1], true,
                       "hcommand_SET_CONFIG: Malformed IP Address(8): %s") != 0)
      return result;
    clientIPCount = static_cast<uint16_t>(i + 1);
  }

  if (receiveFlag(socket, &urlSubstrApply) != 0) return result;
  if (receiveFlag(socket, &urlSubstrDiscard) != 0) return result;
  if (receiveCount(socket, &count, kMaxListEntries, "URL substrings") != 0) return result;
  if (receiveLines(socket, urlSubstrs, count, &urlSubstrCount, "a URL substring") != 0)
    return result;

  if (receiveFlag(socket, &usrAgntSubstrApply) != 0) return result;
  if (receiveFlag(socket, &usrAgntSubstrDiscard) != 0) return result;
  if (receiveCount(socket, &count, kMaxListEntries, "user-agent substrings") != 0) return result;
  if (receiveLines(socket, usrAgntSubstrs, count, &usrAgntSubstrCount,
                   "a user-agent substring") != 0) return result;

  if (IO::receiveLine(socket, name, sizeof name, "an HTTP server's name") < 0) return result;
  if (readJ_UInt16(socket, &port) != 0) return result;
  uint16_t lists = 0;
  if (readJ_UInt16(socket, &lists) != 0) return result;
  for (int i = 0; i < lists; ++i) {
    OB_ConfigReportList* list = OB_ConfigReportList::create();
    if (list == nullptr) OB_Log::quit("hcommand_SET_CONFIG: not enough memory\n");
    if (list->readJ(socket) != 0 || reportLists.append(list) != 0) {
      list->release();
      return result;
    }
  }
  return 0;
}
