#include "OB_ConfigAdmin.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OB_Log.h"
#include "OB_Tools.h"

namespace {

constexpr uint32_t kDefaultPort = 8189;

bool isBlankChar(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const char* skipBlanks(const char* text) {
  while (isBlankChar(*text)) ++text;
  return text;
}

// The value as a key without a handler stores it: a comment ('#' at the start or after a blank)
// and the blanks that end the value are cut. Used for the values that may be longer than the
// table's 127-character field.
std::string storedValue(const char* value) {
  std::string text(value);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '#' && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t')) {
      text.erase(i);
      break;
    }
  }
  while (!text.empty() && isBlankChar(text.back())) text.pop_back();
  return text;
}

bool isDefault(const char* text) {
  return strncmp(text, "default", 7) == 0 && (text[7] == '\0' || isBlankChar(text[7]));
}

}  // namespace

// What one pass over an installation file gathers before it is published.
struct OB_ConfigAdminRead {
  OB_Config::IPRange ranges[OB_Config::kMaxRanges];
  int numRanges = 0;
  std::string device = "default";
  std::string databaseDir = "default";
};

namespace {

void keepDevice(const char* value, void* context) {
  static_cast<OB_ConfigAdminRead*>(context)->device = storedValue(value);
}

void keepDatabaseDir(const char* value, void* context) {
  static_cast<OB_ConfigAdminRead*>(context)->databaseDir = storedValue(value);
}

}  // namespace

namespace {

// The range parser: one "range" line's value, "<minimum> <maximum>" as dotted quads.
void parseRange(const char* value, void* context) {
  auto* read = static_cast<OB_ConfigAdminRead*>(context);
  const char* text = skipBlanks(value);
  if (isDefault(text)) {
    OB_Log::ret("IP address ranges not defined.");
    OB_Log::quit("Run configure script.\n");
  }
  const char* blank = strpbrk(text, " \t");
  if (blank == nullptr) OB_Log::quit("Invalid syntax in Install.cfg: %s\n", value);
  std::string low(text, static_cast<size_t>(blank - text));
  const char* high = skipBlanks(blank);
  uint32_t minimum = 0;
  uint32_t maximum = 0;
  if (!OB_Config::parseAddress(low.c_str(), true, &minimum))
    OB_Log::quit("Invalid address in Install.cfg: %s\n", low.c_str());
  if (!OB_Config::parseAddress(high, true, &maximum))
    OB_Log::quit("Invalid address in Install.cfg: %s\n", high);
  if (minimum > maximum) {
    OB_Log::ret("Error in Install.cfg");
    OB_Log::quit("Minimum address is greater than maximum address: %s\n", value);
  }
  if (read->numRanges >= OB_Config::kMaxRanges) {
    OB_Log::ret("Install.cfg: more than %d address ranges, range skipped: %s",
                OB_Config::kMaxRanges, value);
    return;
  }
  read->ranges[read->numRanges++] = {minimum, maximum};
}

}  // namespace

int OB_ConfigAdmin::init() {
  OB_Config::reset();
  std::string name(getName());
  FILE* stream = openConfigFile("/admin", (name + "_prvt.cfg").c_str(), "r");
  readGeneralConfigFile(stream);
  fclose(stream);
  stream = openConfigFile("/admin", (name + "Install.cfg").c_str(), "r");
  readAdminConfigFile(stream);
  fclose(stream);
  return 0;
}

int OB_ConfigAdmin::readAdminConfigFile(FILE* stream) {
  OB_ConfigAdminRead read;
  OB_Tools::Configuration table[] = {
      {"port", "default", nullptr},
      {"device", "default", keepDevice},
      {"dbpath", "default", keepDatabaseDir},
      {"range", "default", parseRange},
      {nullptr, "", nullptr},
  };
  OB_Tools::readConfig(stream, table, &read);

  std::string databasePath = read.databaseDir;
  if (databasePath == "default") databasePath = std::string(OB_Tools::getInstallDir()) + "/db";
  struct stat info;
  if (databasePath.size() >= sizeof databaseDir || stat(databasePath.c_str(), &info) != 0 ||
      !S_ISDIR(info.st_mode))
    OB_Log::quit("readAdminConfigFile: can't open database directory\n %s\n",
                 databasePath.c_str());

  std::string deviceName = read.device == "default" ? "" : read.device;
  if (deviceName.size() >= sizeof device) deviceName.resize(sizeof device - 1);
  if (OB_Tools::testPromiscEthernet(deviceName.c_str()) == 0)
    OB_Log::quit("Couldn't open Ethernet device in promiscuous mode.\n");

  const char* portText = table[0].value;
  uint32_t port = kDefaultPort;
  if (strcmp(portText, "default") != 0) {
    for (const char* p = portText; *p != '\0'; ++p) {
      if (!isdigit(static_cast<unsigned char>(*p)))
        OB_Log::quit("Capture engine port not a number\n");
    }
    unsigned long number = strtoul(portText, nullptr, 10);
    if (number < 255 || number > 65535) OB_Log::quit("Capture engine port out of range.\n");
    port = static_cast<uint32_t>(number);
  }
  if (OB_Tools::testSocket(static_cast<int>(port)) == 0)
    OB_Log::quit("Capture engine port already in use.\n");

  publishInstall(read.ranges, read.numRanges, databasePath.c_str(), deviceName.c_str(), port);
  return 0;
}
