#include "config/OB_AEngineConfig.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "OB_ConfigFile.h"
#include "OB_ConfigText.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_ConfigRecordIO.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "config/OB_User.h"

namespace {

using IO = OB_ConfigRecordIO;

constexpr const char* kDashes = "-------------------------------------------------------";
constexpr const char* kConfigFile = "aengine_prvt.cfg";
constexpr const char* kDefaultsFile = "aengine_prvtDef.cfg";
constexpr const char* kMemoryMessage = "readGeneralConfigFile: not enough memory";

OB_AEngineConfig* currentConfig = nullptr;
OB_AEngineConfig* defaultConfig = nullptr;

std::atomic<OB_AEngineConfig::HostLookup> hostLookup{OB_InstallHosts::systemLookup};

// A section head: its comment line, the count line and the empty line. A count that cannot be
// read, is negative or is above limit ends the process with message.
int readCount(FILE* stream, int limit, const char* message) {
  IO::skipLines(stream, 1);
  std::string line;
  bool read = IO::readLine(stream, &line) >= 0;
  char* end = nullptr;
  long count = strtol(line.c_str(), &end, 10);
  if (!read || end == line.c_str() || count < 0 || count > limit) {
    IO::refuse("%s", message);
    count = 0;
  }
  IO::skipLines(stream, 1);
  return static_cast<int>(count);
}

template <class T>
T** allocateArray(int places) {
  if (places == 0) return nullptr;
  T** array = new (std::nothrow) T*[static_cast<size_t>(places)]();
  if (array == nullptr) OB_Log::quit("%s\n", kMemoryMessage);
  return array;
}

template <class T>
T* created(T* object) {
  if (object == nullptr) OB_Log::quit("%s\n", kMemoryMessage);
  return object;
}

// The values of every entry of the additions list with this name, in list order.
std::vector<std::string> additionsNamed(OB_NamedStringList* list, const char* name) {
  std::vector<std::string> values;
  for (OB_String* value = list->find(name); value != nullptr; value = list->findNext(name))
    values.emplace_back(static_cast<const char*>(*value));
  return values;
}

// A host name of an addition, without the blanks the list keeps at the end of a value.
std::string hostPart(std::string text) {
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// The lines of an additions file that are not applied, with why, kept for the operator.
struct RejectedAdditions {
  std::string path;  // the additions file
  std::vector<std::string> lines;

  void reject(const std::string& line, const std::string& why) {
    OB_Log::ret("readConfigFile: %s: %s; kept in %s.rejected", path.c_str(), why.c_str(),
                path.c_str());
    lines.push_back(line);
  }
  // Appends the lines to "<path>.rejected" (owner only: a mistyped password line is one), so an
  // earlier start's are kept too. 0, or -1 (logged).
  int keep() const {
    if (lines.empty()) return 0;
    const std::string kept = path + ".rejected";
    const int fd = open(kept.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    FILE* out = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (out == nullptr) {
      OB_Log::ret("readConfigFile: can't write %s (%s)", kept.c_str(), strerror(errno));
      if (fd >= 0) close(fd);
      return -1;
    }
    for (const std::string& line : lines) fprintf(out, "%s\n", line.c_str());
    const bool failed = ferror(out) != 0;
    if (fclose(out) != 0 || failed) {
      OB_Log::ret("readConfigFile: can't write %s (%s)", kept.c_str(), strerror(errno));
      return -1;
    }
    OB_Log::ret("readConfigFile: %zu line(s) of %s not applied, kept in %s", lines.size(),
                path.c_str(), kept.c_str());
    return 0;
  }
};

// The lines of an additions file whose key is none of http, ftp and password (a typo such as
// "htp: ..." or a line without ':'), each named with its number and rejected. The rules are
// those of the list reader: a '#' starts a comment, the key ends at the first ':'.
void rejectUnknownAdditions(RejectedAdditions* rejected) {
  FILE* stream = fopen(rejected->path.c_str(), "r");
  if (stream == nullptr) return;
  char* raw = nullptr;
  size_t size = 0;
  for (int number = 1; ::getline(&raw, &size, stream) >= 0; ++number) {
    std::string line(raw);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::string text = line.substr(0, line.find('#'));
    if (text.find_first_not_of(" \t") == std::string::npos) continue;
    const size_t colon = text.find(':');
    std::string key = colon == std::string::npos ? text : text.substr(0, colon);
    key.erase(std::remove_if(key.begin(), key.end(), [](char c) { return c == ' ' || c == '\t'; }),
              key.end());
    if (colon != std::string::npos && (key == "http" || key == "ftp" || key == "password"))
      continue;
    const std::string shown = key.substr(0, 64);
    rejected->reject(line, "line " + std::to_string(number) +
                               (colon == std::string::npos
                                    ? ": no \"key: value\""
                                    : ": unknown key \"" + shown + "\" (http, ftp or password)"));
  }
  free(raw);
  fclose(stream);
}

// The room the hard limit leaves beside the file's servers for the additions.
size_t additionsRoom(int fileCount) {
  return static_cast<size_t>(OB_AEngineConfig::kMaxServers - fileCount);
}

// Only as many additions as fit beside the file's servers under the hard limit are kept.
std::vector<std::string> boundedAdditions(std::vector<std::string> values, int fileCount,
                                          const char* kind) {
  const size_t room = additionsRoom(fileCount);
  if (values.size() > room) {
    OB_Log::ret(
        "readGeneralConfigFile: more than %d %s servers, %zu installation additions "
        "dropped",
        OB_AEngineConfig::kMaxServers, kind, values.size() - room);
    values.resize(room);
  }
  return values;
}

// An "http" addition's host and port (the default one when it names none); false when the port
// is not one.
bool httpAddition(const std::string& value, std::string* host, long* port) {
  const size_t colon = value.find(':');
  *host = hostPart(value.substr(0, colon));
  *port = OB_HTTPServer::kDefaultPort;
  if (colon == std::string::npos) return true;
  const std::string portText = hostPart(value.substr(colon + 1));
  const bool digits = !portText.empty() && portText.size() <= 5 &&
                      portText.find_first_not_of("0123456789") == std::string::npos;
  *port = digits ? strtol(portText.c_str(), nullptr, 10) : 0;
  return *port >= 1 && *port <= 65535;
}

// The hosts of the additions that are looked up: those of the http entries with a good port and
// of the ftp entries, as many of each as fit beside the file's servers.
std::vector<std::string> additionHosts(OB_NamedStringList* additions, int httpCount,
                                       int ftpCount) {
  std::vector<std::string> hosts;
  std::vector<std::string> values = additionsNamed(additions, "http");
  values.resize(std::min(values.size(), additionsRoom(httpCount)));
  for (const std::string& value : values) {
    std::string host;
    long port = 0;
    if (httpAddition(value, &host, &port)) hosts.push_back(host);
  }
  values = additionsNamed(additions, "ftp");
  values.resize(std::min(values.size(), additionsRoom(ftpCount)));
  for (const std::string& value : values) hosts.push_back(hostPart(value));
  return hosts;
}

// The visibility flags of an added server at index: set, and the list grown to reach it (the
// places between stay 0, as the flags beyond a user's count are).
void showServer(uint16_t* count, int32_t* flags, int index) {
  flags[index] = 1;
  if (*count < index + 1) *count = static_cast<uint16_t>(index + 1);
}

template <class T>
void releaseArray(T*** array, uint16_t* count) {
  if (*array != nullptr)
    for (int i = 0; i < *count; ++i) obRelease((*array)[i]);
  delete[] *array;
  *array = nullptr;
  *count = 0;
}

template <class T>
void freeRecords(T*** array, uint16_t* count) {
  if (*array != nullptr)
    for (int i = 0; i < *count; ++i) delete (*array)[i];
  delete[] *array;
  *array = nullptr;
  *count = 0;
}

}  // namespace

OB_AEngineConfig* getCurrentConfig() { return currentConfig; }

int setCurrentConfig(OB_AEngineConfig* config) {
  currentConfig = config;
  return 0;
}

OB_AEngineConfig* getDefaultConfig() { return defaultConfig; }

int setDefaultConfig(OB_AEngineConfig* config) {
  defaultConfig = config;
  return 0;
}

OB_AEngineConfig::HostLookup OB_AEngineConfig::setHostLookup(HostLookup lookup) {
  return hostLookup.exchange(lookup != nullptr ? lookup : OB_InstallHosts::systemLookup);
}

OB_AEngineConfig::~OB_AEngineConfig() { OB_AEngineConfig::reset(); }

int OB_AEngineConfig::reset() {
  freeRecords(&timeWindows, &numOfTimeWindows);
  freeRecords(&networkGroups, &numOfNetworkGroups);
  freeRecords(&xSubSets, &numOfXSubSets);
  releaseArray(&httpServers, &numOfHTTPServers);
  releaseArray(&ftpServers, &numOfFTPServers);
  releaseArray(&users, &numOfUsers);
  return 0;
}

namespace {

constexpr const char* kSetConfig = "hcommand_SET_CONFIG";

// A list's count from the console; -1 (logged) above its limit.
int receiveCount(int socket, int limit, const char* what, uint16_t* count) {
  if (readJ_UInt16(socket, count) != 0) return -1;
  if (*count > limit) {
    OB_Log::ret("%s: %u %s, at most %d", kSetConfig, *count, what, limit);
    return -1;
  }
  return 0;
}

// Room for count records; -1 (logged) when memory runs out.
template <class T>
int receiveArray(T*** array, uint16_t count) {
  if (count == 0) return 0;
  *array = new (std::nothrow) T*[count]();
  if (*array != nullptr) return 0;
  OB_Log::ret("%s: not enough memory", kSetConfig);
  return -1;
}

// count records, each new and read by read(socket, record); *stored follows what is held.
template <class T, class Make, class Read>
int receiveRecords(int socket, uint16_t count, T*** array, uint16_t* stored, Make make,
                   Read read) {
  if (receiveArray(array, count) != 0) return -1;
  for (uint16_t i = 0; i < count; ++i) {
    T* record = make();
    if (record == nullptr) {
      OB_Log::ret("%s: not enough memory", kSetConfig);
      return -1;
    }
    (*array)[i] = record;
    *stored = static_cast<uint16_t>(i + 1);
    if (read(socket, record) != 0) return -1;
  }
  return 0;
}

}  // namespace

int OB_AEngineConfig::readJ(int socket) {
  reset();
  uint16_t count = 0;
  if (readJ_UInt32(socket, &configVersion) != 0 || readJ_UInt32(socket, &portRangeStart) != 0)
    return -1;

  if (receiveCount(socket, kMaxTimeWindows, "time windows", &count) != 0) return -1;
  if (count == 0) {
    OB_Log::ret("%s: no time window", kSetConfig);
    return -1;
  }
  if (receiveRecords(
          socket, count, &timeWindows, &numOfTimeWindows,
          [] { return new (std::nothrow) timeWindow_t{}; },
          [this](int s, timeWindow_t* window) {
            if (timeWindow_readJ(s, window) != 0) return -1;
            const char* problem = timeWindow_problem(window);
            if (problem == nullptr) return 0;
            OB_Log::ret("%s: time window %d: %s", kSetConfig, numOfTimeWindows - 1, problem);
            return -1;
          }) != 0)
    return -1;

  if (receiveCount(socket, kMaxNetworkGroups, "network groups", &count) != 0 ||
      receiveRecords(
          socket, count, &networkGroups, &numOfNetworkGroups,
          [] { return new (std::nothrow) networkGroup_t{}; },
          [](int s, networkGroup_t* group) { return networkGroup_readJ(s, group, kSetConfig); }) !=
          0)
    return -1;

  if (receiveCount(socket, kMaxXSubsets, "transaction subsets", &count) != 0 ||
      receiveRecords(
          socket, count, &xSubSets, &numOfXSubSets, [] { return new (std::nothrow) XSubset_t{}; },
          [](int s, XSubset_t* subset) { return XSubset_readJ(s, subset, kSetConfig); }) != 0)
    return -1;

  auto readObject = [](int s, auto* record) { return record->readJ(s); };
  if (receiveCount(socket, kMaxServers, "HTTP servers", &count) != 0 ||
      receiveRecords(socket, count, &httpServers, &numOfHTTPServers, OB_HTTPServer::create,
                     readObject) != 0)
    return -1;
  if (receiveCount(socket, kMaxServers, "FTP servers", &count) != 0 ||
      receiveRecords(socket, count, &ftpServers, &numOfFTPServers, OB_FTPServer::create,
                     readObject) != 0)
    return -1;
  if (receiveCount(socket, kMaxUsers, "users", &count) != 0 ||
      receiveRecords(socket, count, &users, &numOfUsers, OB_User::create, readObject) != 0)
    return -1;

  if (const char* problem = receivedProblem(); problem != nullptr) {
    OB_Log::ret("%s: %s", kSetConfig, problem);
    return -1;
  }
  return 0;
}

const char* OB_AEngineConfig::receivedProblem() {
  // What is acknowledged must come back from the file as it was sent.
  using IO = OB_ConfigRecordIO;
  for (int i = 0; i < numOfTimeWindows; ++i)
    if (!IO::keepsWhole(timeWindows[i]->name, IO::Kept::kInBraces))
      return "a time window name holds a brace or a line end";
  for (int i = 0; i < numOfNetworkGroups; ++i)
    if (!IO::keepsWhole(networkGroups[i]->name, IO::Kept::kInBraces))
      return "a network group name holds a brace or a line end";
  for (int i = 0; i < numOfXSubSets; ++i)
    if (!IO::keepsWhole(xSubSets[i]->name, IO::Kept::kInBraces))
      return "a transaction subset name holds a brace or a line end";
  for (int i = 0; i < numOfHTTPServers; ++i)
    if (const char* problem = httpServers[i]->storageProblem(); problem != nullptr) return problem;
  for (int i = 0; i < numOfFTPServers; ++i)
    if (const char* problem = ftpServers[i]->storageProblem(); problem != nullptr) return problem;
  for (int i = 0; i < numOfUsers; ++i)
    if (const char* problem = users[i]->storageProblem(); problem != nullptr) return problem;

  // A server watched twice would count each of its transactions twice in every total across
  // servers: the same rule as the installation additions.
  if (const char* problem = twiceWatched(); problem != nullptr) return problem;

  // Only root may change the configuration again: a configuration without a root who can log
  // in could only be mended by editing the file by hand.
  OB_User* root = nullptr;
  for (int i = 0; i < numOfUsers && root == nullptr; ++i)
    if (users[i]->isRoot()) root = users[i];
  if (numOfUsers == 0) return "no user";
  if (root == nullptr) return "no root user";
  if (root->allowConsoleAccess == 0) return "root may not use the console";
  if (const char* problem = OB_ConfigText::rootPasswordProblem(root->password); problem != nullptr)
    return problem;

  // Each window, server and subset is within its limit, but together they can ask for more
  // than the machine has: the engine would fail allocating at the rebuild.
  const uint64_t asked = statsMemory();
  const uint64_t memory = OB_Tools::machineMemory();
  const uint64_t bound = OB_Tools::memoryShare();
  if (asked <= bound) return nullptr;
  char text[256];
  snprintf(text, sizeof text,
           "the statistics would take %llu MB at the least (%u windows, %u servers, %u subsets), "
           "more than %llu MB, an eighth of the %llu MB this machine gives the process",
           static_cast<unsigned long long>(asked >> 20), numOfTimeWindows,
           numOfHTTPServers + numOfFTPServers, numOfXSubSets,
           static_cast<unsigned long long>(bound >> 20),
           static_cast<unsigned long long>(memory >> 20));
  problem_ = text;
  return problem_.c_str();
}

namespace {

// The addresses a definition covers: type 0 its address, type 1 its list.
std::vector<uint32_t> coveredAddresses(OB_Server* server) {
  if (server->getServerType() == 0) return {server->getIPAddress()};
  std::vector<uint32_t> covered;
  for (int i = 0; i < server->getAddressCount(); ++i) covered.push_back(server->getAddress(i));
  return covered;
}

// The first address and port both definitions cover, if they share one.
bool shared(OB_Server* first, OB_Server* second, uint32_t* address) {
  if (first->getPort() != second->getPort()) return false;
  for (uint32_t candidate : coveredAddresses(first))
    if (second->isInRange(candidate) != 0) {
      *address = candidate;
      return true;
    }
  return false;
}

}  // namespace

const char* OB_AEngineConfig::twiceWatched() {
  auto check = [this](const char* kind, OB_Server** servers, int count) -> const char* {
    for (int i = 0; i < count; ++i)
      for (int k = i + 1; k < count; ++k) {
        uint32_t address = 0;
        if (!shared(servers[i], servers[k], &address)) continue;
        char quad[16];
        char text[1300];
        snprintf(text, sizeof text,
                 "the %s server %s:%u is watched twice (servers %d \"%s\" and %d \"%s\")", kind,
                 OB_Tools::IPAddressString(address, quad), servers[i]->getPort(), i,
                 servers[i]->getName(), k, servers[k]->getName());
        problem_ = text;
        return problem_.c_str();
      }
    return nullptr;
  };
  std::vector<OB_Server*> http(httpServers, httpServers + numOfHTTPServers);
  std::vector<OB_Server*> ftp(ftpServers, ftpServers + numOfFTPServers);
  if (const char* problem = check("HTTP", http.data(), numOfHTTPServers); problem != nullptr)
    return problem;
  return check("FTP", ftp.data(), numOfFTPServers);
}

uint64_t OB_AEngineConfig::statsMemory() const {
  constexpr uint64_t kMonthBins = 31;  // a month window without bins counts by day
  uint64_t bins = 0;
  for (int i = 0; i < numOfTimeWindows; ++i) {
    const timeWindow_t* window = timeWindows[i];
    if (window == nullptr) continue;
    bins += window->staticNumOfBins != 0 ? window->staticNumOfBins : kMonthBins;
  }
  const uint64_t sets = (static_cast<uint64_t>(numOfHTTPServers) + numOfFTPServers + 1) *
                        (static_cast<uint64_t>(numOfXSubSets) + 1);
  return bins * sets * kBytesPerBin;
}

int OB_AEngineConfig::setStatEngineParams(timeWindow_t* window, uint32_t port) {
  timeWindowPtr = window;
  connectionPort = port;
  return 0;
}

int OB_AEngineConfig::check() {
  if (numOfTimeWindows == 0)
    OB_Log::quit("checkGeneralConfig: error: invalid number of time windows\n");
  if (numOfTimeWindows > kMaxTimeWindows)
    OB_Log::ret("checkGeneralConfig: warning: too many time windows may overload system");
  return 0;
}

int OB_AEngineConfig::readConfig() {
  // Before the file is opened, so that it is the one the last writer left.
  OB_ConfigFileLock lock;
  if (!lock.held())
    OB_Log::ret("readConfig: can't lock %s, reading without it", lock.path().c_str());
  readConfigFile(OB_Config::openConfigFile("/admin", kDefaultsFile, "r"));
  check();
  return 0;
}

int OB_AEngineConfig::readConfigFile(FILE* f) {
  readConfigFile(f, kDefaultsFile, nullptr);
  return 0;
}

int OB_AEngineConfig::readConfigFile(FILE* f, const char* name, std::string* problem) {
  // Held until the file is parsed and, with additions, rewritten, so that another process
  // (the export tool, the service) never applies installa.cfg a second time.
  // In the admin folder, where every process that reads the configuration finds the same one,
  // never in whatever directory the process happens to run in.
  const std::string admin = std::string(OB_Tools::getInstallDir()) + "/admin/";
  OB_ConfigFileLock lock;
  if (!lock.held())
    OB_Log::ret("readConfigFile: can't lock %s, reading without it", lock.path().c_str());
  IO::FileRead reading(problem);

  IO::skipLines(f, 5);
  configVersion = 2;
  IO::skipLines(f, 2);  // the stored version, which is not used, and the empty line

  int count =
      readCount(f, kMaxTimeWindows, "readGeneralConfigFile: invalid number of time windows");
  timeWindows = allocateArray<timeWindow_t>(count);
  for (int i = 0; i < count; ++i) {
    const int line = reading.line() + 1;
    timeWindow_t* window = timeWindow_read(f);
    // The checks SET_CONFIG makes: a window the engine cannot count with stays out.
    if (const char* why = timeWindow_problem(window); why != nullptr) {
      OB_Log::ret("readConfigFile: %s%s line %d: time window \"%s\" left out: %s", admin.c_str(),
                  name, line, window->name, why);
      delete window;
      continue;
    }
    timeWindows[numOfTimeWindows++] = window;
  }

  count =
      readCount(f, kMaxNetworkGroups, "readGeneralConfigFile: invalid number of network groups");
  networkGroups = allocateArray<networkGroup_t>(count);
  for (; numOfNetworkGroups < count; ++numOfNetworkGroups)
    networkGroups[numOfNetworkGroups] = networkGroup_readGroup(f);

  count = readCount(f, kMaxXSubsets, "readGeneralConfigFile: invalid number of X subsets");
  xSubSets = allocateArray<XSubset_t>(count);
  for (; numOfXSubSets < count; ++numOfXSubSets) xSubSets[numOfXSubSets] = XSubset_readFilter(f);

  // Room for the installation additions (kept within the hard limit) after the file's servers.
  const int httpCount =
      readCount(f, kMaxServers, "readGeneralConfigFile: invalid number of http servers");
  httpServers = allocateArray<OB_HTTPServer>(kMaxServers);
  for (; numOfHTTPServers < httpCount; ++numOfHTTPServers) {
    OB_HTTPServer* server = created(OB_HTTPServer::create());
    httpServers[numOfHTTPServers] = server;
    if (server->read(f) != 0) IO::refuse("readGeneralConfigFile: bad http server record");
  }

  const int ftpCount =
      readCount(f, kMaxServers, "readGeneralConfigFile: invalid number of ftp servers");
  ftpServers = allocateArray<OB_FTPServer>(kMaxServers);
  for (; numOfFTPServers < ftpCount; ++numOfFTPServers) {
    OB_FTPServer* server = created(OB_FTPServer::create());
    ftpServers[numOfFTPServers] = server;
    server->read(f);
  }

  count = readCount(f, kMaxUsers, "readGeneralConfigFile: invalid number of users");
  users = allocateArray<OB_User>(count);
  for (; numOfUsers < count; ++numOfUsers) {
    OB_User* user = created(OB_User::create());
    users[numOfUsers] = user;
    user->read(f);
  }
  fclose(f);

  if (problem != nullptr) {
    // Only the empty line that closes the last record may be missing.
    if (reading.endedAt() != 0 && reading.endedAt() < reading.line())
      reading.note("the file ends before line " + std::to_string(reading.endedAt()));
    if (numOfTimeWindows == 0) reading.note("no time window the engine can count with");
    if (!problem->empty()) return -1;
  }
  if (takesAdditions_ && round_ != nullptr) applyAdditions(admin + "installa.cfg");
  // The lock file stays: deleting it would let a process that already opened it and one that
  // creates it anew hold "the" lock at the same time.
  return 0;
}

void OB_AEngineConfig::readUnderLock(const std::function<void(const OB_ConfigFileLock&)>& read) {
  const std::string path = std::string(OB_Tools::getInstallDir()) + "/admin/installa.cfg";
  OB_InstallHosts hosts(hostLookup.load());
  AdditionsRound round{&hosts};
  struct Ending {
    AdditionsRound** round;
    ~Ending() { *round = nullptr; }
  } ending{&round_};
  round_ = &round;
  hosts.run(
      [&](std::vector<std::string>* named) {
        OB_NamedStringList additions;
        additions.setOwner(1);
        if (takesAdditions_ && additions.readFile(path.c_str(), ':', "\n\t ") == 0)
          *named = additionHosts(&additions, 0, 0);
        return true;
      },
      [&](const OB_ConfigFileLock& lock, bool last) {
        round.last = last;
        round.unresolved = false;
        read(lock);
        if (!round.unresolved) return true;
        reset();
        return false;
      });
}

void OB_AEngineConfig::applyAdditions(const std::string& path) {
  OB_NamedStringList additions;
  additions.setOwner(1);
  if (additions.readFile(path.c_str(), ':', "\n\t ") != 0) return;
  // Rewritten since its hosts were looked up: looked up again, the lock let go first.
  if (!round_->hosts->knowsAll(additionHosts(&additions, numOfHTTPServers, numOfFTPServers))) {
    if (!round_->last) {
      round_->unresolved = true;
      return;
    }
    OB_Log::ret("readConfigFile: %s changed while its hosts were looked up; left for the next "
                "start",
                path.c_str());
    return;
  }
  RejectedAdditions rejected{path, {}};
  rejectUnknownAdditions(&rejected);

  bool changed = false;
  std::vector<int> addedHTTP;
  std::vector<int> addedFTP;
  for (const std::string& value :
       boundedAdditions(additionsNamed(&additions, "http"), numOfHTTPServers, "http")) {
    std::string host;
    long port = 0;
    if (!httpAddition(value, &host, &port)) {
      rejected.reject("http: " + value, "bad port in \"http: " + value + "\"");
      continue;
    }
    uint32_t address = 0;
    if (!round_->hosts->addressOf(host, &address)) {
      OB_Log::flog(nullptr, "gethostbyname() failed on %s\n", host.c_str());
      rejected.reject("http: " + value, "no address for the host of \"http: " + value + "\"");
      continue;
    }
    // A second definition of a watched server would count each of its transactions twice in
    // every total across servers.
    const uint16_t wanted = static_cast<uint16_t>(port);
    if (watchedHTTPServer(address, wanted) >= 0) {
      OB_Log::ret("readConfigFile: http:%s in installa.cfg is watched already, nothing added",
                  value.c_str());
      continue;
    }
    OB_HTTPServer* server = created(OB_HTTPServer::create());
    server->setServerType(0);
    server->setPort(static_cast<uint16_t>(port));
    server->setIPAddress(address);
    server->setName(host.c_str());
    addedHTTP.push_back(numOfHTTPServers);
    httpServers[numOfHTTPServers++] = server;
    changed = true;
  }
  for (const std::string& value :
       boundedAdditions(additionsNamed(&additions, "ftp"), numOfFTPServers, "ftp")) {
    std::string host = hostPart(value);
    uint32_t address = 0;
    if (!round_->hosts->addressOf(host, &address)) {
      OB_Log::flog(nullptr, "gethostbyname() failed on %s\n", host.c_str());
      rejected.reject("ftp: " + value, "no address for the host of \"ftp: " + value + "\"");
      continue;
    }
    if (watchedFTPServer(address) >= 0) {
      OB_Log::ret("readConfigFile: ftp:%s in installa.cfg is watched already, nothing added",
                  value.c_str());
      continue;
    }
    OB_FTPServer* server = created(OB_FTPServer::create());
    server->setServerType(0);
    server->setIPAddress(address);
    server->setName(host.c_str());
    addedFTP.push_back(numOfFTPServers);
    ftpServers[numOfFTPServers++] = server;
    changed = true;
  }

  if (numOfUsers > 0) {
    OB_User* first = users[0];
    if (additions.find("password") != nullptr) {
      IO::copyCut(first->password, sizeof first->password,
                  static_cast<const char*>(*additions.find("password")));
      changed = true;
    }
    // The added servers' own positions: the file's servers come before them.
    for (int index : addedHTTP)
      showServer(&first->numOfHTTPServers, first->httpServersShowing, index);
    for (int index : addedFTP) showServer(&first->numOfFTPServers, first->ftpServersShowing, index);
  }

  // Kept when the rewrite failed, so the additions are not lost with it; the lines not applied
  // are kept beside it in any case.
  rejected.keep();
  if (!changed || writeConfigFile() == 0)
    unlink(path.c_str());
  else
    OB_Log::ret("readConfigFile: %s kept, the configuration could not be rewritten", path.c_str());
}

int OB_AEngineConfig::watchedHTTPServer(uint32_t address, uint16_t port) {
  for (int i = 0; i < numOfHTTPServers; ++i)
    if (httpServers[i]->isServerIPMatch(&address) != 0 && httpServers[i]->isServerPortMatch(&port))
      return i;
  return -1;
}

int OB_AEngineConfig::watchedFTPServer(uint32_t address) {
  for (int i = 0; i < numOfFTPServers; ++i)
    if (ftpServers[i]->isMatch(&address) != 0) return i;
  return -1;
}

int OB_AEngineConfig::writeConfigFile() {
  const std::string path = std::string(OB_Tools::getInstallDir()) + "/admin/" + kConfigFile;
  // Owner only: the file holds every console user's password.
  const int result =
      OB_ConfigFile::replace(path, OB_ConfigFile::Access::kPrivate, [this](FILE* out) {
        fprintf(out, "%s\n", kDashes);
        fprintf(out, "WARNING! This is a machine generated file. DO NOT EDIT.\n");
        fprintf(out, "%s\n\n", kDashes);
        fprintf(out, "# Config version\n");
        fprintf(out, "%u\n\n", 2u);
        fprintf(out, "# Number of time windows.\n%d\n\n", numOfTimeWindows);
        for (int i = 0; i < numOfTimeWindows; ++i) timeWindow_write(out, timeWindows[i]);
        fprintf(out, "# Number of network groups.\n%d\n\n", numOfNetworkGroups);
        for (int i = 0; i < numOfNetworkGroups; ++i) networkGroup_write(out, networkGroups[i]);
        fprintf(out, "# Number of transaction subsets.\n%d\n\n", numOfXSubSets);
        for (int i = 0; i < numOfXSubSets; ++i) XSubset_write(out, xSubSets[i]);
        fprintf(out, "# Number of HTTP servers.\n%d\n\n", numOfHTTPServers);
        bool written = true;
        for (int i = 0; i < numOfHTTPServers; ++i)
          written = httpServers[i]->write(out) == 0 && written;
        fprintf(out, "# Number of FTP servers.\n%d\n\n", numOfFTPServers);
        for (int i = 0; i < numOfFTPServers; ++i)
          written = ftpServers[i]->write(out) == 0 && written;
        fprintf(out, "# Number of users.\n%d\n\n", numOfUsers);
        for (int i = 0; i < numOfUsers; ++i) written = users[i]->write(out) == 0 && written;
        return written;
      });
  if (result != 0) OB_Log::ret("writeConfigFile: %s not written", path.c_str());
  return result;
}

int OB_AEngineConfig::print(FILE* f) {
  if (f == nullptr) f = OB_Log::getFD();
  fprintf(f, "General Configuration\n");
  fprintf(f, "---------------------\n");
  fprintf(f, "databaseDir       = %s\n", databaseDir);
  fprintf(f, "portRangeStart    = %u\n", portRangeStart);
  fprintf(f, "connectionPort    = %u\n", connectionPort);
  if (timeWindowPtr != nullptr) fprintf(f, "timeWindowPtr->name = '%s'\n", timeWindowPtr->name);
  fprintf(f, "configVersion     = %u\n", configVersion);
  fprintf(f, "numOfTimeWindows  = %d\n", numOfTimeWindows);
  for (int i = 0; i < numOfTimeWindows; ++i) timeWindow_write(f, timeWindows[i]);
  fprintf(f, "\n");
  fprintf(f, "numOfNetworkGroups  = %d\n", numOfNetworkGroups);
  for (int i = 0; i < numOfNetworkGroups; ++i) networkGroup_write(f, networkGroups[i]);
  fprintf(f, "\n");
  fprintf(f, "numOfXSubSets     = %d\n", numOfXSubSets);
  for (int i = 0; i < numOfXSubSets; ++i) XSubset_write(f, xSubSets[i]);
  fprintf(f, "\n");
  fprintf(f, "numOfHTTPServers  = %d\n", numOfHTTPServers);
  for (int i = 0; i < numOfHTTPServers; ++i) httpServers[i]->write(f);
  fprintf(f, "\n");
  fprintf(f, "numOfFTPServers  = %d\n", numOfFTPServers);
  for (int i = 0; i < numOfFTPServers; ++i) ftpServers[i]->write(f);
  fprintf(f, "\n");
  fprintf(f, "numOfUsers = %d\n", numOfUsers);
  for (int i = 0; i < numOfUsers; ++i) users[i]->write(f);
  fprintf(f, "\n");
  return 0;
}
