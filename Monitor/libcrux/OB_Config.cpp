#include "OB_Config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OB_ConfigFile.h"
#include "OB_ConfigText.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"

namespace {

constexpr const char* kDashes = "-------------------------------------------------------";
// Longest line kept of any line of the general file; the rest of a longer line is dropped so
// that it can never be taken for the next line.
constexpr int kFileLineMax = 2048;
// MIME lines are looked at over this many characters.
constexpr int kMimeLineMax = 1024;
// Longest line kept of a received address or MIME line.
constexpr int kWireLineMax = 2048;

// Copies at most size - 1 characters of source and the NUL.
void copyCut(char* dest, size_t size, const char* source) {
  size_t length = strnlen(source, size - 1);
  memcpy(dest, source, length);
  dest[length] = '\0';
}

// Reads one line of a file whole: the first n characters are kept in buf (n + 1 bytes), the rest
// up to the line feed is dropped, and one carriage return before the end is removed. Returns the
// kept length, or -1 when the file ended before any character.
int readFileLine(FILE* stream, char* buf, int n) {
  int length = OB_Tools::getline(stream, buf, n);
  if (length == n) {
    int c;
    while ((c = getc(stream)) != EOF && c != '\n') {
    }
  }
  size_t size = strlen(buf);
  if (size > 0 && buf[size - 1] == '\r') buf[--size] = '\0';
  if (length < 0 && size == 0) return -1;
  return static_cast<int>(size);
}


}  // namespace

bool OB_Config::parseAddress(const char* text, bool allowAllOnes, uint32_t* address) {
  struct in_addr converted;
  if (text == nullptr || inet_aton(text, &converted) == 0) return false;
  if (converted.s_addr == INADDR_NONE && !allowAllOnes) return false;
  *address = ntohl(converted.s_addr);
  return true;
}

OB_Config::~OB_Config() { free(mimeTypes_); }

void OB_Config::setMimeTable(OB_MimeType* table, uint16_t count) {
  free(mimeTypes_);
  mimeTypes_ = table;
  numMimeTypes_ = table != nullptr ? count : 0;
}

int OB_Config::reset() {
  setMimeTable(nullptr, 0);
  return 0;
}

int OB_Config::setName(const char* name) {
  copyCut(name_, sizeof name_, name != nullptr ? name : "");
  return 0;
}

const OB_MimeType* OB_Config::getMimeType(int index) const {
  if (index < 0 || index >= numMimeTypes_ || mimeTypes_ == nullptr) return nullptr;
  return &mimeTypes_[index];
}

int OB_Config::getIPRangeCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return numRanges_;
}

int OB_Config::getIPRange(int index, uint32_t* minimum, uint32_t* maximum) {
  std::lock_guard<std::mutex> hold(lock_);
  if (index < 0 || index >= numRanges_) return -1;
  if (minimum != nullptr) *minimum = ranges_[index].minimum;
  if (maximum != nullptr) *maximum = ranges_[index].maximum;
  return 0;
}

std::string OB_Config::getDatabaseDir() {
  std::lock_guard<std::mutex> hold(lock_);
  return databaseDir;
}

std::string OB_Config::getDevice() {
  std::lock_guard<std::mutex> hold(lock_);
  return device;
}

uint32_t OB_Config::getNetwork(int index) const {
  if (index < 0 || index >= numOfNets || index >= kMaxNets) return 0;
  return network_[index];
}

void OB_Config::publishInstall(const IPRange* ranges, int count, const char* dbDir,
                               const char* deviceName, uint32_t port) {
  std::lock_guard<std::mutex> hold(lock_);
  if (count > kMaxRanges) count = kMaxRanges;
  if (count < 0) count = 0;
  if (count > 0) memcpy(ranges_, ranges, sizeof(IPRange) * static_cast<size_t>(count));
  numRanges_ = static_cast<uint16_t>(count);
  copyCut(databaseDir, sizeof databaseDir, dbDir);
  copyCut(device, sizeof device, deviceName);
  connectionPort = port;
}

int OB_Config::isValidPassword(const char* user, const char* pass) {
  if (user == nullptr || pass == nullptr) return 0;
  const int root = OB_Tools::secretEquals(user, "root");
  const int same = OB_Tools::secretEquals(pass, password);
  return root != 0 && same != 0 && password[0] != '\0' ? 1 : 0;
}

int OB_Config::isValidSourceIP(uint32_t address) {
  std::lock_guard<std::mutex> hold(lock_);
  if (applyNetAddress == 0) return 1;
  for (int i = 0; i < numOfNets && i < kMaxNets; ++i) {
    if ((address & maskAddress[i]) == network_[i]) return 1;
  }
  return 0;
}

int OB_Config::isInIPRanges(uint32_t address) {
  std::lock_guard<std::mutex> hold(lock_);
  for (int i = 0; i < numRanges_; ++i) {
    if (ranges_[i].minimum <= address && address <= ranges_[i].maximum) return 1;
  }
  return 0;
}

FILE* OB_Config::openConfigFile(const char* folder, const char* file, const char* mode) {
  std::string path = std::string(OB_Tools::getInstallDir()) + (folder != nullptr ? folder : "");
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    OB_Log::quit("openConfigFile: %s can't open directory\n", path.c_str());
  path += "/";
  path += file != nullptr ? file : "";
  FILE* stream = fopen(path.c_str(), mode);
  int error = errno;
  if (stream != nullptr) {
    // Opening a folder for reading succeeds here; it is no configuration file.
    struct stat opened;
    if (fstat(fileno(stream), &opened) != 0 || !S_ISDIR(opened.st_mode)) return stream;
    fclose(stream);
    error = EISDIR;
  }
  switch (error) {
    case EACCES:
    case EISDIR:
      OB_Log::quit("%s: Permision denied\n", path.c_str());
    case EMFILE:
    case ENFILE:
      OB_Log::quit("%s: Too many files already open\n", path.c_str());
    case ENAMETOOLONG:
      OB_Log::quit("%s: Path too long\n", path.c_str());
    default:
      // The reason goes with the file's name, so that the log (and a terminal that sees the
      // log's lines) tells it; a program that does not see them gets it on standard error.
      if (OB_Log::getEcho() != stderr) fprintf(stderr, "%s\n", strerror(error));
      OB_Log::quit("%s: Problem opening file: %s\n", path.c_str(), strerror(error));
  }
}

int OB_Config::readGeneralConfigFile(FILE* stream) {
  return readGeneralConfigFile(stream, nullptr);
}

namespace {

// A decimal number and nothing else but blanks around it.
bool isNumberLine(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text == '-') ++text;
  if (!isdigit(static_cast<unsigned char>(*text))) return false;
  while (isdigit(static_cast<unsigned char>(*text))) ++text;
  while (*text == ' ' || *text == '\t') ++text;
  return *text == '\0';
}

// "<key>{...}" with both braces, as save writes the root user's lines.
bool isKeyLine(const char* text, const char* key) {
  const size_t length = strlen(key);
  return strncmp(text, key, length) == 0 && text[length] == '{' &&
         strchr(text + length + 1, '}') != nullptr;
}

}  // namespace

int OB_Config::readGeneralConfigFile(FILE* stream, std::string* problem) {
  char line[kFileLineMax + 1];
  int number = 0;                    // of the line in line
  int endedAt = 0;                   // the first line the file did not hold; 0 while it holds them
  char why[kFileLineMax + 96] = "";  // the first flaw a whole read would refuse
  auto take = [&]() {
    ++number;
    if (readFileLine(stream, line, kFileLineMax) < 0 && endedAt == 0) endedAt = number;
  };
  auto skip = [&](int count) {
    for (int i = 0; i < count; ++i) take();
  };
  // A line that must hold a number for the file to be whole.
  auto takeNumber = [&]() {
    take();
    if (endedAt == 0 && why[0] == '\0' && !isNumberLine(line))
      snprintf(why, sizeof why, "line %d is not a number: %s", number, line);
  };
  // A malformed value: the process ends, or in a whole read the file is refused.
  auto fail = [&](const char* format, const char* value) {
    char text[kFileLineMax + 96];
    snprintf(text, sizeof text, format, value);
    if (problem == nullptr) OB_Log::quit("%s\n", text);
    // A flaw of the lines before it is what went wrong first.
    if (endedAt != 0) snprintf(why, sizeof why, "it ends before line %d", endedAt);
    *problem = why[0] != '\0' ? why : text;
    return -1;
  };

  skip(5);
  configVersion = 1;
  take();  // the file's version: always 1, not looked at
  skip(2);
  takeNumber();
  netStatsEnabled = strtol(line, nullptr, 10) != 0 ? 1 : 0;
  skip(2);
  take();
  copyCut(filterProgram, sizeof filterProgram, line);
  skip(2);
  takeNumber();
  daysOfDataToKeep = static_cast<uint32_t>(strtoul(line, nullptr, 10));
  skip(2);
  takeNumber();
  long count = strtol(line, nullptr, 10);
  if (count < 0 || count > UINT16_MAX)
    return fail("readGeneralConfigFile: Malformed MIME type count: %s", line);
  skip(2);

  OB_MimeType* table = nullptr;
  if (count > 0) {
    table = static_cast<OB_MimeType*>(calloc(static_cast<size_t>(count), sizeof(OB_MimeType)));
    if (table == nullptr) OB_Log::quit("readGeneralConfigFile: no memory\n");
  }
  setMimeTable(table, static_cast<uint16_t>(count));
  for (long i = 0; i < count; ++i) {
    take();
    line[kMimeLineMax] = '\0';
    OB_MimeType& row = table[i];
    char* save = nullptr;
    char* token = strtok_r(line, " \t", &save);
    if (token == nullptr) continue;
    copyCut(row.type, sizeof row.type, token);
    while ((token = strtok_r(nullptr, " \t", &save)) != nullptr) {
      if (row.numExtensions >= OB_MimeType::kMaxExtensions)
        return fail("readGeneralConfigFile: Maximum # of postfixes/type = %s", "16");
      char* extension = row.extensions[row.numExtensions++];
      copyCut(extension, sizeof row.extensions[0], token);
      OB_Tools::toLowerCase(extension);
    }
  }

  skip(2);
  // The root user's lines, each "<key>{<value>}".
  auto takeUser = [&](const char* key) {
    take();
    if (endedAt == 0 && why[0] == '\0' && !isKeyLine(line, key))
      snprintf(why, sizeof why, "line %d is not %s{...}: %s", number, key, line);
    return OB_Tools::getConfigValue(stream, line);
  };
  char* value = takeUser("password");
  copyCut(password, sizeof password, value != nullptr ? value : "");
  // The command server's accept thread checks client addresses against these while a
  // configuration is read again.
  std::lock_guard<std::mutex> nets(lock_);
  value = takeUser("applyNetAddress");
  applyNetAddress = value != nullptr ? static_cast<int>(strtol(value, nullptr, 10)) : 0;
  value = takeUser("numOfNets");
  long netCount = value != nullptr ? strtol(value, nullptr, 10) : 0;
  if (netCount < 0 || netCount > kMaxNets)
    return fail("readGeneralConfigFile: too many networks%s", "");
  numOfNets = static_cast<uint16_t>(netCount);

  for (int pass = 0; pass < 2; ++pass) {
    bool masks = pass == 1;
    uint32_t* target = masks ? maskAddress : exampleAddress;
    value = takeUser(masks ? "maskAddress" : "exampleAddress");
    char* save = nullptr;
    char* token = value != nullptr ? strtok_r(value, " \t", &save) : nullptr;
    for (int i = 0; i < numOfNets; ++i) {
      if (!parseAddress(token, masks, &target[i]))
        return fail("readGeneralConfigFile: Malformed IP Address: %s",
                    token != nullptr ? token : "");
      token = strtok_r(nullptr, " \t", &save);
    }
  }
  for (int i = 0; i < numOfNets; ++i) network_[i] = exampleAddress[i] & maskAddress[i];

  // A file cut short or garbled gives nothing here that can be trusted, least of all the
  // password; only a whole read says so.
  if (problem != nullptr && (endedAt != 0 || why[0] != '\0')) {
    if (endedAt != 0) snprintf(why, sizeof why, "it ends before line %d", endedAt);
    *problem = why;
    return -1;
  }
  return 0;
}

int OB_Config::writeUser(FILE* stream) {
  OB_Log::flog(stream, "# Root user\n");
  OB_Log::flog(stream, "password{%s}\n", password);
  OB_Log::flog(stream, "applyNetAddress{%d}\n", applyNetAddress);
  OB_Log::flog(stream, "numOfNets{%d}\n", numOfNets);
  int nets = numOfNets < kMaxNets ? numOfNets : kMaxNets;
  OB_Log::flog(stream, "exampleAddress{%s}\n",
               OB_Tools::IPAddressList(exampleAddress, nets).c_str());
  OB_Log::flog(stream, "maskAddress{%s}\n", OB_Tools::IPAddressList(maskAddress, nets).c_str());
  OB_Log::flog(stream, "\n");
  return 0;
}

int OB_Config::isStorablePassword(const char* text) {
  return text != nullptr && OB_ConfigText::keepsWhole(text, OB_ConfigText::Kept::kInBraces) ? 1
                                                                                            : 0;
}

const char* OB_Config::storageProblem() const {
  using Kept = OB_ConfigText::Kept;
  if (!OB_ConfigText::keepsWhole(filterProgram, Kept::kLine))
    return "the filter holds a line end";
  // A MIME line is its type and extensions separated by blanks: a blank inside one, or an empty
  // one before others, would read back as other words. A row without type or extensions reads
  // back as it is.
  for (int i = 0; i < numMimeTypes_; ++i) {
    const OB_MimeType& row = mimeTypes_[i];
    if (row.type[0] == '\0' && row.numExtensions == 0) continue;
    if (!OB_ConfigText::keepsWhole(row.type, Kept::kListEntry))
      return "a MIME type is empty or holds a blank, a brace or a line end";
    for (int k = 0; k < row.numExtensions && k < OB_MimeType::kMaxExtensions; ++k)
      if (!OB_ConfigText::keepsWhole(row.extensions[k], Kept::kListEntry))
        return "a MIME extension is empty or holds a blank, a brace or a line end";
  }
  return OB_ConfigText::rootPasswordProblem(password);
}

int OB_Config::save() {
  // What the file would give back otherwise (a password that reads back as another one, a
  // filter or a MIME row split) or an empty root password would lock root out.
  if (const char* problem = storageProblem(); problem != nullptr) {
    OB_Log::ret("save: %s; %s_prvt.cfg not written", problem, name_);
    return -1;
  }
  const std::string path = std::string(OB_Tools::getInstallDir()) + "/admin/" + name_ + "_prvt.cfg";
  // Owner only: the file holds the root password.
  return OB_ConfigFile::replace(path, OB_ConfigFile::Access::kPrivate, [this](FILE* out) {
    fprintf(out, "%s\n", kDashes);
    fprintf(out, "WARNING! This is a machine generated file. DO NOT EDIT.\n");
    fprintf(out, "%s\n\n", kDashes);
    fprintf(out, "# Config version\n1\n\n");
    fprintf(out, "# Net 1=On 0=Off\n%d\n\n", netStatsEnabled != 0 ? 1 : 0);
    fprintf(out, "# BPF filter string\n%s\n\n", filterProgram);
    fprintf(out, "# Days of data to keep\n%u\n\n", daysOfDataToKeep);
    fprintf(out, "# HTTP RealTime: Number of MIME type file extension mappings\n%u\n\n",
            numMimeTypes_);
    fprintf(out, "# HTTP RealTime: MIME type file extension mappings\n");
    for (int i = 0; i < numMimeTypes_; ++i) {
      OB_MimeType& row = mimeTypes_[i];
      fprintf(out, "%s\t\t\t", row.type);
      for (int k = 0; k < row.numExtensions && k < OB_MimeType::kMaxExtensions; ++k) {
        OB_Tools::toLowerCase(row.extensions[k]);
        fprintf(out, "%s ", row.extensions[k]);
      }
      fprintf(out, "\n");
    }
    fprintf(out, "\n");
    writeUser(out);
    return true;
  });
}

int OB_Config::print(FILE* stream) {
  uint32_t port = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    port = connectionPort;
  }
  OB_Log::flog(stream, "General Configuration\n");
  OB_Log::flog(stream, "---------------------\n");
  OB_Log::flog(stream, "databaseDir          = '%s'\n", getDatabaseDir().c_str());
  OB_Log::flog(stream, "device               = '%s'\n", getDevice().c_str());
  OB_Log::flog(stream, "filterProgram        = '%s'\n", filterProgram);
  OB_Log::flog(stream, "netStatsEnabled      = '%d'\n", netStatsEnabled != 0 ? 1 : 0);
  OB_Log::flog(stream, "connectionPort       = %u\n", port);
  OB_Log::flog(stream, "daysOfDataToKeep     = %u\n", daysOfDataToKeep);
  OB_Log::flog(stream, "\n");
  {
    std::lock_guard<std::mutex> hold(lock_);
    OB_Log::flog(stream, "  IP Ranges: # = %d\n", numRanges_);
    char low[16];
    char high[16];
    for (int i = 0; i < numRanges_; ++i)
      OB_Log::flog(stream, "    %s  %s\n", OB_Tools::IPAddressString(ranges_[i].minimum, low),
                   OB_Tools::IPAddressString(ranges_[i].maximum, high));
  }
  OB_Log::flog(stream, "\n");
  OB_Log::flog(stream, "  MIME types: # = %d\n", numMimeTypes_);
  for (int i = 0; i < numMimeTypes_; ++i) {
    const OB_MimeType& row = mimeTypes_[i];
    OB_Log::flog(stream, "      %s ( ", row.type);
    for (int k = 0; k < row.numExtensions && k < OB_MimeType::kMaxExtensions; ++k)
      OB_Log::flog(stream, "%s ", row.extensions[k]);
    OB_Log::flog(stream, ")\n");
  }
  OB_Log::flog(stream, "\n");
  writeUser(stream);
  return 0;
}

int OB_Config::writeJ(int socket) {
  std::string deviceName;
  uint32_t port = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    deviceName = device;
    port = connectionPort;
  }
  if (writeJ_UInt32(socket, configVersion) != 0) return -1;
  if (writeJ_line(socket, deviceName.c_str()) != 0) return -1;
  if (writeJ_UInt32(socket, port) != 0) return -1;
  if (writeJ_line(socket, filterProgram) != 0) return -1;
  if (writeJ_UInt32(socket, daysOfDataToKeep) != 0) return -1;
  if (writeJ_UInt16(socket, numMimeTypes_) != 0) return -1;
  for (int i = 0; i < numMimeTypes_; ++i) {
    const OB_MimeType& row = mimeTypes_[i];
    int extensions = row.numExtensions < OB_MimeType::kMaxExtensions
                         ? row.numExtensions
                         : OB_MimeType::kMaxExtensions;
    if (writeJ_line(socket, row.type) != 0) return -1;
    if (writeJ_UInt8(socket, static_cast<uint8_t>(extensions)) != 0) return -1;
    for (int k = 0; k < extensions; ++k)
      if (writeJ_line(socket, row.extensions[k]) != 0) return -1;
  }
  if (writeJ_line(socket, password) != 0) return -1;
  if (writeJ_UInt8(socket, static_cast<uint8_t>(applyNetAddress)) != 0) return -1;
  int nets = numOfNets < kMaxNets ? numOfNets : kMaxNets;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(nets)) != 0) return -1;
  char quad[16];
  for (int i = 0; i < nets; ++i) {
    if (writeJ_line(socket, OB_Tools::IPAddressString(exampleAddress[i], quad)) != 0) return -1;
    if (writeJ_line(socket, OB_Tools::IPAddressString(maskAddress[i], quad)) != 0) return -1;
  }
  return 0;
}

int OB_Config::readJ(int socket) {
  if (readJ_UInt32(socket, &configVersion) != 0) return -1;
  if (OB_ConfigText::receiveLine(socket, device, sizeof device, "the capture device") < 0)
    return -1;
  if (readJ_UInt32(socket, &connectionPort) != 0) return -1;
  if (OB_ConfigText::receiveLine(socket, filterProgram, sizeof filterProgram,
                                   "the filter program") < 0) return -1;
  if (readJ_UInt32(socket, &daysOfDataToKeep) != 0) return -1;
  uint16_t count = 0;
  if (readJ_UInt16(socket, &count) != 0) return -1;

  OB_MimeType* table = nullptr;
  if (count > 0) {
    table = static_cast<OB_MimeType*>(calloc(count, sizeof(OB_MimeType)));
    if (table == nullptr) {
      OB_Log::ret("hcommand_SET_CONFIG: Not enough memory.");
      return -1;
    }
  }
  setMimeTable(table, count);
  char line[kWireLineMax];
  for (int i = 0; i < count; ++i) {
    OB_MimeType& row = table[i];
    if (OB_ConfigText::receiveLine(socket, row.type, sizeof row.type, "a MIME type") < 0)
      return -1;
    uint8_t extensions = 0;
    if (readJ_UInt8(socket, &extensions) != 0) return -1;
    if (extensions > OB_MimeType::kMaxExtensions) {
      OB_Log::ret("hcommand_SET_CONFIG: Maximum # of postfixes/type = %d",
                  OB_MimeType::kMaxExtensions);
      return -1;
    }
    for (int k = 0; k < extensions; ++k) {
      if (OB_ConfigText::receiveLine(socket, row.extensions[k], sizeof row.extensions[k],
                                     "a MIME type's extension") < 0)
        return -1;
      row.numExtensions = static_cast<uint8_t>(k + 1);
    }
  }

  if (OB_ConfigText::receiveLine(socket, password, sizeof password, "the root password") < 0)
    return -1;
  int apply = 0;
  if (readJ_Boolean(socket, &apply) != 0) return -1;
  uint16_t nets = 0;
  if (readJ_UInt16(socket, &nets) != 0) return -1;
  if (nets > kMaxNets) {
    OB_Log::ret("hcommand_SET_CONFIG: too many networks: %u", nets);
    return -1;
  }
  // Read whole first, then published at once.
  uint32_t examples[kMaxNets] = {};
  uint32_t masks[kMaxNets] = {};
  for (int i = 0; i < nets; ++i) {
    if (OB_ConfigText::receiveLine(socket, line, sizeof line, "a network address") < 0) return -1;
    if (!parseAddress(line, false, &examples[i])) {
      OB_Log::ret("hcommand_SET_CONFIG: Malformed IP Address(1): %s", line);
      return -1;
    }
    if (OB_ConfigText::receiveLine(socket, line, sizeof line, "a network mask") < 0) return -1;
    if (!parseAddress(line, true, &masks[i])) {
      OB_Log::ret("hcommand_SET_CONFIG: Malformed IP Address(2): %s", line);
      return -1;
    }
  }
  setNetworks(apply, nets, examples, masks);
  return 0;
}

void OB_Config::setNetworks(int apply, uint16_t count, const uint32_t* examples,
                            const uint32_t* masks) {
  if (count > kMaxNets) count = kMaxNets;
  std::lock_guard<std::mutex> hold(lock_);
  applyNetAddress = apply;
  numOfNets = count;
  std::copy(examples, examples + count, exampleAddress);
  std::copy(masks, masks + count, maskAddress);
  // What client addresses are checked against.
  for (int i = 0; i < count; ++i) network_[i] = exampleAddress[i] & maskAddress[i];
}
