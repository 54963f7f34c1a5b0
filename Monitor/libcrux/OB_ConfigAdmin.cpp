#include "OB_ConfigAdmin.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "OB_ConfigFile.h"
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
  // The first bad value: where it stands (the file, and the line the value came from), a line
  // for the log before the message, and the message. Later lines are not looked at once there
  // is one.
  std::string where;
  std::string logLine;
  std::string problem;
  std::string fileName;
  const OB_Tools::Configuration* rangeRow = nullptr;  // not owned; its line is the one being read

  void refuse(const std::string& message, const std::string& before = "", int line = 0) {
    if (!problem.empty()) return;
    where = line > 0 ? fileName + " line " + std::to_string(line) : fileName;
    logLine = before;
    problem = message;
  }
  void refuseRange(const std::string& message, const std::string& before = "") {
    refuse(message, before, rangeRow != nullptr ? rangeRow->line : 0);
  }
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
  if (!read->problem.empty()) return;
  const char* text = skipBlanks(value);
  if (isDefault(text))
    return read->refuseRange("Run configure script.", "IP address ranges not defined.");
  const char* blank = strpbrk(text, " \t");
  if (blank == nullptr)
    return read->refuseRange(std::string("Invalid syntax in Install.cfg: ") + value);
  std::string low(text, static_cast<size_t>(blank - text));
  const char* high = skipBlanks(blank);
  uint32_t minimum = 0;
  uint32_t maximum = 0;
  if (!OB_Config::parseAddress(low.c_str(), true, &minimum))
    return read->refuseRange("Invalid address in Install.cfg: " + low);
  if (!OB_Config::parseAddress(high, true, &maximum))
    return read->refuseRange(std::string("Invalid address in Install.cfg: ") + high);
  if (minimum > maximum)
    return read->refuseRange(
        std::string("Minimum address is greater than maximum address: ") + value,
        "Error in Install.cfg");
  if (read->numRanges >= OB_Config::kMaxRanges) {
    OB_Log::ret("Install.cfg: more than %d address ranges, range skipped: %s",
                OB_Config::kMaxRanges, value);
    return;
  }
  read->ranges[read->numRanges++] = {minimum, maximum};
}

}  // namespace

int OB_ConfigAdmin::init() {
  // Held from before the first file is opened: a file opened first may be one that a writer
  // (the console's SET_CONFIG, the analysis engine's range entries) replaces meanwhile.
  OB_ConfigFileLock lock;
  if (!lock.held()) OB_Log::ret("init: can't lock %s, reading without it", lock.path().c_str());
  OB_Config::reset();
  std::string name(getName());
  FILE* stream = openConfigFile("/admin", (name + "_prvt.cfg").c_str(), "r");
  std::string problem;
  const int whole = readGeneralConfigFile(stream, &problem);
  fclose(stream);
  if (whole != 0) {
    // A damaged private file (cut short by a full disk, say) would give root an empty
    // password and the rest at random: the engine starts from the defaults instead.
    const std::string folder = std::string(OB_Tools::getInstallDir()) + "/admin/";
    char text[2600];
    snprintf(text, sizeof text,
             "init: %s%s_prvt.cfg can't be read whole (%s); using %s%s_prvtDef.cfg", folder.c_str(),
             name.c_str(), problem.c_str(), folder.c_str(), name.c_str());
    OB_Log::ret("%s", text);
    if (OB_Log::getEcho() != stderr) fprintf(stderr, "%s\n", text);
    OB_Config::reset();
    stream = openConfigFile("/admin", (name + "_prvtDef.cfg").c_str(), "r");
    readGeneralConfigFile(stream);
    fclose(stream);
  }
  stream = openConfigFile("/admin", (name + "Install.cfg").c_str(), "r");
  readAdminConfigFile(stream);
  fclose(stream);
  return 0;
}

int OB_ConfigAdmin::readAdminConfigFile(FILE* stream) {
  std::string where;
  std::string logLine;
  std::string problem;
  if (readInstall(stream, &where, &logLine, &problem) != 0) {
    if (!logLine.empty()) OB_Log::ret("%s: %s", where.c_str(), logLine.c_str());
    OB_Log::quit("%s: %s\n", where.c_str(), problem.c_str());
  }
  return 0;
}

int OB_ConfigAdmin::rereadAdminConfigFile(FILE* stream, std::string* problem) {
  std::string where;
  std::string logLine;
  std::string text;
  if (readInstall(stream, &where, &logLine, &text) == 0) return 0;
  if (problem != nullptr) *problem = where + ": " + (logLine.empty() ? text : logLine + " " + text);
  return -1;
}

int OB_ConfigAdmin::readInstall(FILE* stream, std::string* where, std::string* logLine,
                                std::string* problem) {
  OB_ConfigAdminRead read;
  OB_Tools::Configuration table[] = {
      {"port", "default", nullptr},
      {"device", "default", keepDevice},
      {"dbpath", "default", keepDatabaseDir},
      {"range", "default", parseRange},
      {nullptr, "", nullptr},
  };
  read.fileName = std::string(OB_Tools::getInstallDir()) + "/admin/" + getName() + "Install.cfg";
  read.rangeRow = &table[3];
  OB_Tools::readConfig(stream, table, &read, read.fileName.c_str());
  auto refused = [&]() {
    *where = read.where;
    *logLine = read.logLine;
    *problem = read.problem;
    return -1;
  };
  if (!read.problem.empty()) return refused();

  std::string databasePath = read.databaseDir;
  if (databasePath == "default") databasePath = std::string(OB_Tools::getInstallDir()) + "/db";
  struct stat info;
  if (databasePath.size() >= sizeof databaseDir || stat(databasePath.c_str(), &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    read.refuse("the archive folder (dbpath) " + databasePath + " is not a folder that can be opened",
                "", table[2].line);
    return refused();
  }

  std::string deviceName = read.device == "default" ? "" : read.device;
  if (deviceName.size() >= sizeof device) deviceName.resize(sizeof device - 1);
  if (OB_Tools::testPromiscEthernet(deviceName.c_str()) == 0) {
    read.refuse("Couldn't open Ethernet device in promiscuous mode.", "", table[1].line);
    return refused();
  }

  const char* portText = table[0].value;
  uint32_t port = kDefaultPort;
  if (strcmp(portText, "default") != 0) {
    for (const char* p = portText; *p != '\0'; ++p) {
      if (!isdigit(static_cast<unsigned char>(*p))) {
        read.refuse(std::string("Capture engine port not a number: ") + portText, "",
                    table[0].line);
        return refused();
      }
    }
    unsigned long number = strtoul(portText, nullptr, 10);
    if (strlen(portText) > 5 || number < 255 || number > 65535) {
      read.refuse(std::string("Capture engine port out of range: ") + portText +
                      " (255 to 65535)",
                  "", table[0].line);
      return refused();
    }
    port = static_cast<uint32_t>(number);
  }
  if (OB_Tools::testSocket(static_cast<int>(port)) == 0) {
    read.refuse("Capture engine port already in use: " + std::to_string(port), "", table[0].line);
    return refused();
  }

  publishInstall(read.ranges, read.numRanges, databasePath.c_str(), deviceName.c_str(), port);
  return 0;
}

namespace {

bool isKeyLine(const std::string& line, const char* key) {
  const size_t start = line.find_first_not_of(" \t");
  const size_t length = strlen(key);
  if (start == std::string::npos || line.compare(start, length, key) != 0) return false;
  const size_t after = start + length;
  return after == line.size() || strchr(" \t:=\r", line[after]) != nullptr;
}

}  // namespace

int OB_ConfigAdmin::replaceInstallEntries(const std::string& path, const char* key,
                                          const std::vector<std::string>& values) {
  return editInstallEntries(path, key, values, true);
}

int OB_ConfigAdmin::addInstallEntries(const std::string& path, const char* key,
                                      const std::vector<std::string>& values) {
  return editInstallEntries(path, key, values, false);
}

int OB_ConfigAdmin::editInstallEntries(const std::string& path, const char* key,
                                       const std::vector<std::string>& values, bool replace) {
  // Read, edited and written back under one hold, so no other writer's change is lost between.
  OB_ConfigFileLock lock;
  if (!lock.held()) {
    OB_Log::ret("can't edit %s: %s is not to be had", path.c_str(), lock.path().c_str());
    return -1;
  }
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    if (!in) return 1;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  std::vector<std::string> kept;
  size_t place = std::string::npos;
  for (const std::string& line : lines) {
    if (!isKeyLine(line, key)) {
      kept.push_back(line);
    } else if (!replace) {
      kept.push_back(line);
      place = kept.size();
    } else if (place == std::string::npos) {
      place = kept.size();
    }
  }
  if (place == std::string::npos) place = kept.size();
  std::vector<std::string> entries;
  for (const std::string& value : values) entries.push_back(std::string(key) + ": " + value);
  kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(place), entries.begin(), entries.end());

  const int written =
      OB_ConfigFile::replace(path, OB_ConfigFile::Access::kKeepMode, [&](FILE* out) {
        for (const std::string& line : kept)
          if (fputs(line.c_str(), out) < 0 || fputc('\n', out) == EOF) return false;
        return true;
      });
  return written == 0 ? 0 : -1;
}
