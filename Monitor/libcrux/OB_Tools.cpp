#include "OB_Tools.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "OB_Log.h"
#include "OB_Object.h"

namespace {
constexpr size_t kInstallDirSize = 256;
char installDir[kInstallDirSize];

// Copies as much of source as fits into size bytes, always NUL-ended; true when all of it fit.
bool copyText(char* dest, size_t size, const char* source) {
  if (size == 0) return false;
  size_t length = strlen(source);
  bool whole = length < size;
  if (!whole) length = size - 1;
  memcpy(dest, source, length);
  dest[length] = '\0';
  return whole;
}

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

char* OB_Tools::getInstallDir() {
  std::string dir;
  const char* env = getenv("OB_INSTALLDIR");
  if (env != nullptr) {
    // The buffer is fixed; a longer text is refused rather than cut to another folder's name.
    if (strlen(env) >= kInstallDirSize)
      OB_Log::quit("the install directory %s (OB_INSTALLDIR) is too long a name\n", env);
    dir = env;
  } else {
    char program[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
    if (n < 0) n = 0;
    program[n] = '\0';
    std::string path(program);
    size_t slash = path.rfind('/');
    dir = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/../conf";
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    OB_Log::quit("the install directory %s%s does not exist or is no folder\n", dir.c_str(),
                 env != nullptr ? " (OB_INSTALLDIR)" : " (beside the program's folder)");
  if (env == nullptr) {
    // Named as the folder it is, not as "<prefix>/bin/../conf", in every path the log shows.
    char canonical[PATH_MAX];
    if (realpath(dir.c_str(), canonical) != nullptr) dir = canonical;
  }
  if (dir.size() >= kInstallDirSize)
    OB_Log::quit("the install directory %s is too long a name\n", dir.c_str());
  // Every thread asks; the buffer is written only when the folder changed, so callers reading
  // the text they were given do not meet a writer.
  static std::mutex writing;
  std::lock_guard<std::mutex> hold(writing);
  if (strcmp(installDir, dir.c_str()) != 0) memcpy(installDir, dir.c_str(), dir.size() + 1);
  return installDir;
}

std::mutex& OB_Tools::timeZoneLock() {
  static std::mutex lock;
  return lock;
}

bool OB_Tools::localTime(time_t when, struct tm* fields) {
  std::lock_guard<std::mutex> hold(timeZoneLock());
  return localtime_r(&when, fields) != nullptr;
}

bool OB_Tools::utcTime(time_t when, struct tm* fields) {
  std::lock_guard<std::mutex> hold(timeZoneLock());
  return gmtime_r(&when, fields) != nullptr;
}

time_t OB_Tools::makeLocalTime(struct tm* fields) {
  std::lock_guard<std::mutex> hold(timeZoneLock());
  return mktime(fields);
}

char* OB_Tools::getTimeString1(char* dest) {
  time_t now = time(nullptr);
  struct tm local = {};
  localTime(now, &local);
  // Built by hand so the month is English whatever the locale.
  snprintf(dest, 60, "%04d%s%02d-%02d:%02d", local.tm_year + 1900, kMonths[local.tm_mon % 12],
           local.tm_mday, local.tm_hour, local.tm_min);
  return dest;
}

void OB_Tools::setFileModeMask() { umask(kFileModeMask); }

uint64_t OB_Tools::memoryShare() {
  static const uint64_t share = [] {
    const uint64_t memory = machineMemory();
    return memory == UINT64_MAX ? UINT64_MAX : memory / kMemoryShareDivisor;
  }();
  return share;
}

uint64_t OB_Tools::machineMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  uint64_t memory = pages > 0 && pageSize > 0
                        ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
                        : UINT64_MAX;  // unknown: no bound from here
  uint64_t limit = UINT64_MAX;
  std::ifstream in("/sys/fs/cgroup/memory.max");
  std::string text;
  if (in >> text && !text.empty() && text != "max") {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (errno == 0 && end != text.c_str() && value > 0) limit = value;
  }
  return limit < memory ? limit : memory;
}

void OB_Tools::sleep(int seconds) {
  if (seconds <= 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

char* OB_Tools::squeeze(char* source, char* dest, int n, const char* set) {
  if (source == nullptr) return dest;
  if (set == nullptr) set = " \t\n";
  char* out = dest != nullptr ? dest : source;
  size_t w = 0;
  int runs = 0;
  bool inKept = false;
  // Writing never overtakes reading, so the same loop serves the in-place case.
  for (size_t r = 0; source[r] != '\0'; ++r) {
    char c = source[r];
    if (n > 0 && runs >= n) {
      out[w++] = c;
    } else if (strchr(set, c) != nullptr) {
      inKept = false;
    } else {
      if (!inKept) ++runs;
      inKept = true;
      out[w++] = c;
    }
  }
  out[w] = '\0';
  return out;
}

int OB_Tools::getline(FILE* stream, char* buf, int n) {
  if (buf == nullptr) return -1;
  buf[0] = '\0';
  if (stream == nullptr || n < 0) return -1;
  int length = 0;
  while (length < n) {
    int c = getc(stream);
    if (c == EOF) {
      buf[length] = '\0';
      return -1;
    }
    if (c == '\n') {
      // CR LF line ends (a file edited on Windows): the CR is no part of the line.
      if (length > 0 && buf[length - 1] == '\r') --length;
      break;
    }
    buf[length++] = static_cast<char>(c);
  }
  buf[length] = '\0';
  return length;
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const char* skipBlanks(const char* p) {
  while (isBlank(*p)) ++p;
  return p;
}

// The stored form of a value: a comment (a '#' at the value's start or after a blank) and the
// blanks that end the value are cut; blanks inside it stay.
void cutComment(char* value) {
  for (char* p = value; *p != '\0'; ++p) {
    if (*p == '#' && (p == value || *(p - 1) == ' ' || *(p - 1) == '\t')) {
      *p = '\0';
      break;
    }
  }
  size_t length = strlen(value);
  while (length > 0 && isBlank(value[length - 1])) value[--length] = '\0';
}

}  // namespace

// Lines: leading blanks dropped; empty and '#' lines skipped; the first row whose key is a
// prefix of the line takes it; the value follows after blanks, one optional ':' or '=' and
// blanks. A last line without a line feed counts; the tail of a line longer than 1024
// characters is dropped rather than read as a line of its own.
void OB_Tools::readConfig(FILE* stream, Configuration* table, void* context,
                          const char* fileName) {
  if (stream == nullptr || table == nullptr) return;
  constexpr int kLineMax = 1024;
  char line[kLineMax + 1];
  for (int number = 1;; ++number) {
    int length = getline(stream, line, kLineMax);
    bool atEnd = length < 0;
    if (length == kLineMax) {
      int c;
      while ((c = getc(stream)) != EOF && c != '\n') {
      }
      atEnd = c == EOF;
    }
    size_t size = strlen(line);
    if (size > 0 && line[size - 1] == '\r') line[size - 1] = '\0';
    squeeze(line, nullptr, 1, " \t\n");
    if (line[0] != '\0' && line[0] != '#') {
      bool known = false;
      for (Configuration* row = table; row->key != nullptr; ++row) {
        size_t keyLength = strlen(row->key);
        if (strncmp(line, row->key, keyLength) != 0) continue;
        const char* value = skipBlanks(line + keyLength);
        if (*value == ':' || *value == '=') value = skipBlanks(value + 1);
        char stored[kLineMax + 1];
        memcpy(stored, value, strlen(value) + 1);
        if (row->handler == nullptr) cutComment(stored);
        if (!copyText(row->value, sizeof row->value, stored) && row->handler == nullptr)
          OB_Log::ret("readConfig: value of %s cut to %zu characters", row->key,
                      sizeof row->value - 1);
        row->line = number;
        if (row->handler != nullptr) row->handler(value, context);
        // Taken as before, so a file that was accepted still is; but "portx" is likely a typo.
        const char after = line[keyLength];
        if (fileName != nullptr && after != '\0' && strchr(" \t:=", after) == nullptr) {
          const size_t key = strcspn(line, " \t:=");
          OB_Log::ret("%s line %d: key \"%.*s\" read as \"%s\"", fileName, number,
                      static_cast<int>(key < 64 ? key : 64), line, row->key);
        }
        known = true;
        break;
      }
      // A typo ("prot 8190") would leave its key at the default without a word.
      if (!known && fileName != nullptr) {
        const size_t key = strcspn(line, " \t:=");
        OB_Log::ret("%s line %d: unknown key \"%.*s\", ignored", fileName, number,
                    static_cast<int>(key < 64 ? key : 64), line);
      }
    }
    if (atEnd) return;
  }
}

char* OB_Tools::getConfigValue(FILE* /*stream*/, char* line) {
  if (line == nullptr) return nullptr;
  char* save = nullptr;
  if (strtok_r(line, "{}\n", &save) == nullptr) return nullptr;
  return strtok_r(nullptr, "{}\n", &save);
}

int OB_Tools::secretEquals(const char* given, const char* secret) {
  if (given == nullptr || secret == nullptr) return 0;
  const size_t n = strlen(given);
  const size_t m = strlen(secret);
  unsigned char differ = n != m ? 1 : 0;
  // Every byte of the given text is looked at, against the secret repeated to its length.
  for (size_t i = 0; i < n; ++i)
    differ |= static_cast<unsigned char>(given[i] ^ secret[m != 0 ? i % m : 0]);
  return differ == 0 ? 1 : 0;
}

int OB_Tools::writeWhole(int fd, off_t offset, const char* bytes, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t wrote = pwrite(fd, bytes + done, n - done, offset + static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      const int error = wrote < 0 ? errno : ENOSPC;
      const bool cut = done == 0 || ftruncate(fd, offset) == 0;
      errno = error;
      return cut ? -1 : -2;
    }
    done += static_cast<size_t>(wrote);
  }
  return 0;
}

size_t OB_Tools::escapeControls(const char* text, size_t maxLength, char* out, size_t room) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (text == nullptr || out == nullptr) return 0;
  size_t written = 0;
  for (size_t i = 0; i < maxLength && text[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F) {
      if (written + 1 > room) break;
      out[written++] = static_cast<char>(c);
    } else {
      if (written + 4 > room) break;
      out[written++] = '\\';
      out[written++] = 'x';
      out[written++] = kHex[c >> 4];
      out[written++] = kHex[c & 0x0F];
    }
  }
  return written;
}

char* OB_Tools::IPAddressString(uint32_t address, char* dest) {
  snprintf(dest, 16, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
           (address >> 8) & 0xFFu, address & 0xFFu);
  return dest;
}

static_assert(OB_Tools::kMaxHostSize == NI_MAXHOST, "the resolver's longest name");

std::string OB_Tools::IPAddressList(const uint32_t* addresses, int count) {
  std::string list;
  char quad[16];
  for (int i = 0; i < count; ++i) {
    if (i > 0) list += ' ';
    list += IPAddressString(addresses[i], quad);
  }
  return list;
}

namespace {

int systemReverseLookup(uint32_t address, char* name, size_t size) {
  struct sockaddr_in socketAddress;
  memset(&socketAddress, 0, sizeof socketAddress);
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr.s_addr = htonl(address);
  char host[OB_Tools::kMaxHostSize];
  if (getnameinfo(reinterpret_cast<struct sockaddr*>(&socketAddress), sizeof socketAddress, host,
                  sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
    return -1;
  copyText(name, size, host);
  return 0;
}

std::atomic<OB_Tools::ReverseLookup> reverseLookup{systemReverseLookup};

}  // namespace

char* OB_Tools::resolveIP(const uint32_t* address, char* dest, size_t size) {
  if (dest == nullptr || size == 0) return dest;
  dest[0] = '\0';
  if (address == nullptr) return dest;
  char name[kMaxHostSize] = "";
  if (reverseLookup.load()(*address, name, sizeof name) == 0 && name[0] != '\0') {
    copyText(dest, size, name);
    toLowerCase(dest);
  } else {
    char quad[16];
    copyText(dest, size, IPAddressString(*address, quad));
  }
  return dest;
}

OB_Tools::ReverseLookup OB_Tools::setReverseLookup(ReverseLookup lookup) {
  return reverseLookup.exchange(lookup != nullptr ? lookup : systemReverseLookup);
}

// ASCII letters only, as the C library does in the "C" locale the programs run in; a loop of
// its own because the analysis engine lowers several texts of every transaction.
void OB_Tools::toLowerCase(char* text) {
  if (text == nullptr) return;
  for (; *text != '\0'; ++text)
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
}

void OB_Tools::toUpperCase(char* text) {
  if (text == nullptr) return;
  for (; *text != '\0'; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
}

int64_t OB_Tools::timeSubtract(const struct timeval* a, const struct timeval* b) {
  int64_t seconds = static_cast<int64_t>(a->tv_sec) - static_cast<int64_t>(b->tv_sec);
  int64_t micros = static_cast<int64_t>(a->tv_usec) - static_cast<int64_t>(b->tv_usec);
  return seconds * 1000000 + micros;
}

int32_t OB_Tools::timeSubtract32(const struct timeval* a, const struct timeval* b) {
  int64_t difference = timeSubtract(a, b);
  if (difference > INT32_MAX) return INT32_MAX;
  if (difference < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(difference);
}

int OB_Tools::gettimeofday(struct timeval* tv, void* /*unused*/) {
  if (tv == nullptr) return -1;
  tv->tv_sec = time(nullptr);
  tv->tv_usec = 0;
  return 0;
}

int OB_Tools::isAllSpace(const char* text) {
  if (text == nullptr) return 1;
  for (; *text != '\0'; ++text)
    if (!isspace(static_cast<unsigned char>(*text))) return 0;
  return 1;
}

int OB_Tools::isContentMIME(const char* type) {
  if (type == nullptr) return 0;
  // Each word ends at a '/': one walk over the slashes in place of a search per word.
  auto before = [type](const char* slash, const char* word, size_t n) {
    return static_cast<size_t>(slash - type) >= n && memcmp(slash - n, word, n) == 0;
  };
  for (const char* slash = strchr(type, '/'); slash != nullptr; slash = strchr(slash + 1, '/'))
    if (before(slash, "text", 4) || before(slash, "audio", 5) || before(slash, "video", 5) ||
        before(slash, "application", 11))
      return 1;
  return 0;
}

int OB_Tools::isValidPage(const char* status) {
  if (status == nullptr) return 0;
  static const char* const kValid[] = {"200", "201", "202", "203", "304"};
  for (const char* valid : kValid)
    if (strncmp(status, valid, 3) == 0) return 1;
  return 0;
}

namespace {
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
// The part of a referer the entry-point rule searches.
constexpr size_t kEntryTextLimit = 1022;
}  // namespace

bool OB_Tools::containsIgnoringCase(const char* text, size_t limit, const char* pattern) {
  if (pattern == nullptr || pattern[0] == '\0') return true;
  if (text == nullptr) return false;
  const size_t n = strnlen(text, limit);
  const size_t m = strlen(pattern);
  const char first = lowerAscii(pattern[0]);
  for (size_t i = 0; i + m <= n; ++i) {
    if (lowerAscii(text[i]) != first) continue;
    size_t j = 1;
    while (j < m && lowerAscii(text[i + j]) == lowerAscii(pattern[j])) ++j;
    if (j == m) return true;
  }
  return false;
}

int OB_Tools::isEntryPointIgnoringCase(const char* pattern, const char* text, const char* type) {
  if (text == nullptr || text[0] == '\0') return isContentMIME(type);
  return containsIgnoringCase(text, kEntryTextLimit, pattern) ? 0 : isContentMIME(type);
}

int OB_Tools::isEntryPoint(char* pattern, const char* text, const char* type) {
  if (text != nullptr && text[0] != '\0') toLowerCase(pattern);
  return isEntryPointIgnoringCase(pattern, text, type);
}

namespace {

std::mutex portsLock;
// Ports this process listens on, with how many servers hold each (under portsLock).
std::map<int, int>& listeningPorts() {
  static auto* ports = new std::map<int, int>;
  return *ports;
}

}  // namespace

void OB_Tools::registerListeningPort(int port) {
  std::lock_guard<std::mutex> hold(portsLock);
  ++listeningPorts()[port];
}

void OB_Tools::unregisterListeningPort(int port) {
  std::lock_guard<std::mutex> hold(portsLock);
  auto found = listeningPorts().find(port);
  if (found == listeningPorts().end()) return;
  if (--found->second <= 0) listeningPorts().erase(found);
}

// Linux refuses a second bind of a port that this process itself listens on, which the peers'
// world allowed; a configuration re-read would then take its own server for a stranger.
int OB_Tools::testSocket(int port) {
  {
    std::lock_guard<std::mutex> hold(portsLock);
    if (listeningPorts().count(port) != 0) return 1;
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) {
    OB_Log::ret("socket: %s", socketErrorString(socketErrorFromErrno(errno)));
    return 0;
  }
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    OB_Log::ret("can't set SO_REUSEADDR: %s", socketErrorString(socketErrorFromErrno(errno)));
    close(s);
    return 0;
  }
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (port < 0 || port > 65535 ||
      bind(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    int error = port < 0 || port > 65535 ? EINVAL : errno;
    OB_Log::ret("bind: %s", socketErrorString(socketErrorFromErrno(error)));
    close(s);
    return 0;
  }
  close(s);
  return 1;
}

namespace {

// 16-bit lengths of texts in files are little-endian, whatever the machine.
bool readLength16(FILE* stream, uint32_t* length) {
  unsigned char bytes[2];
  if (fread(bytes, 1, 2, stream) != 2) return false;
  *length = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8);
  return true;
}

bool writeLength16(FILE* stream, uint32_t length) {
  unsigned char bytes[2] = {static_cast<unsigned char>(length & 0xFF),
                            static_cast<unsigned char>((length >> 8) & 0xFF)};
  return fwrite(bytes, 1, 2, stream) == 2;
}

}  // namespace

int OB_Tools::readStringNoMalloc(char* buffer, int max, FILE* stream) {
  if (buffer == nullptr || stream == nullptr || max < 0) return -1;
  buffer[0] = '\0';
  uint32_t length;
  if (!readLength16(stream, &length)) return -1;
  if (length > static_cast<uint32_t>(max)) {
    OB_Log::debug("archiving_readStringNoMalloc: no memory for string\n");
    return -1;
  }
  size_t got = fread(buffer, 1, length, stream);
  buffer[got] = '\0';
  return got == length ? 0 : -1;
}

int OB_Tools::readStringMalloc(char** out, FILE* stream) {
  if (out == nullptr) return -1;
  *out = nullptr;
  if (stream == nullptr) return -1;
  uint32_t length;
  if (!readLength16(stream, &length)) return -1;
  if (length > 2048) {
    OB_Log::debug("archiving_readStringMalloc: excesively long string (> 2048 bytes)\n");
    return -1;
  }
  if (length == 0) return 0;
  char* text = static_cast<char*>(malloc(length + 1));
  if (text == nullptr) {
    OB_Log::debug("archiving_readStringMalloc: no memory\n");
    return -1;
  }
  if (fread(text, 1, length, stream) != length) {
    free(text);
    return -1;
  }
  text[length] = '\0';
  *out = text;
  return 0;
}

int OB_Tools::writeString(const char* text, FILE* stream) {
  if (stream == nullptr) return -1;
  size_t length = text != nullptr ? strlen(text) : 0;
  if (length > 0xFFFF) length = 0xFFFF;
  if (!writeLength16(stream, static_cast<uint32_t>(length))) return -1;
  if (length > 0 && fwrite(text, 1, length, stream) != length) return -1;
  return 0;
}

namespace {
bool isLineEnd(char c) { return c == '\r' || c == '\n'; }
}  // namespace

void OB_Tools::LWS_r(const char** text) {
  if (text == nullptr || *text == nullptr) return;
  while (**text == ' ' || **text == '\t' || isLineEnd(**text)) ++*text;
}

void OB_Tools::LWS(const char** text, const char* end) {
  if (text == nullptr || *text == nullptr) return;
  while (*text < end && (**text == ' ' || **text == '\t' || isLineEnd(**text))) ++*text;
}

void OB_Tools::RmWhiteSpace_r(const char** text) {
  if (text == nullptr || *text == nullptr) return;
  while (**text == ' ' || **text == '\t') ++*text;
}

int OB_Tools::ScanLine_r(const char* start, const char* end) {
  if (start == nullptr || end == nullptr) return 0;
  for (const char* p = start; end - p >= 2; ++p)
    if (isLineEnd(p[0]) && isLineEnd(p[1])) return 1;
  return 0;
}

int OB_Tools::IgnoreLine_r(const char** text, const char* end) {
  if (text == nullptr || *text == nullptr || end == nullptr || *text >= end) return 0;
  for (const char* p = *text; end - p >= 2; ++p) {
    if (isLineEnd(p[0]) && isLineEnd(p[1])) {
      *text = p + 2;
      return 1;
    }
  }
  *text = end;
  return 0;
}

int OB_Tools::testPromiscEthernet(const char* /*device*/) { return 1; }

int OB_Tools::strioctl(int socket, int command, int /*timeout*/, char* /*text*/) {
  int argument = 0;
  ioctl(socket, static_cast<unsigned long>(command), &argument);
  return 0;
}

FILE* OB_Tools::openFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  return fopen(path, mode);
}

char* OB_Tools::strdup(const char* text) { return text != nullptr ? ::strdup(text) : nullptr; }

char* OB_Tools::strtok(char* text, const char* delimiters, char** save) {
  thread_local char* ownSave = nullptr;
  if (delimiters == nullptr) return nullptr;
  return strtok_r(text, delimiters, save != nullptr ? save : &ownSave);
}

namespace {

int defaultCompare(OB_Object* a, OB_Object* b) {
  OB_Compare* first = obQuery<OB_Compare>(a);
  OB_Compare* second = obQuery<OB_Compare>(b);
  if (first == nullptr || second == nullptr) return -1;
  return first->compare(second, 0);
}

// Merges the sorted runs [lo, mid) and [mid, hi) of from into to, taking from the right run
// only when the left element compares greater, which keeps equal elements in order.
void mergeRuns(OB_Object** from, OB_Object** to, int lo, int mid, int hi,
               OB_Tools::Comparison compare) {
  int left = lo;
  int right = mid;
  for (int k = lo; k < hi; ++k) {
    if (left < mid && (right >= hi || compare(from[left], from[right]) <= 0))
      to[k] = from[left++];
    else
      to[k] = from[right++];
  }
}

}  // namespace

// A comparison may be anything (callers hand in ones that only tell equal from unequal), so
// every index is bounded by the loops themselves, never by the comparison's answers.
void OB_Tools::sort(OB_Object** items, int n, Comparison compare) {
  if (items == nullptr || n < 2) return;
  if (compare == nullptr) compare = defaultCompare;
  OB_Object** spare = static_cast<OB_Object**>(malloc(sizeof(OB_Object*) * static_cast<size_t>(n)));
  if (spare == nullptr) {
    // No room for the merge: insertion sort in place, equally stable.
    for (int i = 1; i < n; ++i) {
      OB_Object* item = items[i];
      int j = i;
      while (j > 0 && compare(items[j - 1], item) > 0) {
        items[j] = items[j - 1];
        --j;
      }
      items[j] = item;
    }
    return;
  }
  OB_Object** from = items;
  OB_Object** to = spare;
  for (int width = 1; width < n; width *= 2) {
    for (int lo = 0; lo < n; lo += 2 * width) {
      int mid = lo + width < n ? lo + width : n;
      int hi = mid + width < n ? mid + width : n;
      mergeRuns(from, to, lo, mid, hi, compare);
    }
    OB_Object** swap = from;
    from = to;
    to = swap;
  }
  if (from != items) memcpy(items, from, sizeof(OB_Object*) * static_cast<size_t>(n));
  free(spare);
}

int OB_Tools::findPattern(const char* pattern, int patternLength, const char* buffer,
                          int bufferLength, int caseSensitive, int start) {
  if (pattern == nullptr || buffer == nullptr || patternLength < 1 || bufferLength < 1 ||
      start < 0 || start >= bufferLength || patternLength > bufferLength - start)
    return -1;
  auto same = [caseSensitive](char x, char y) {
    if (caseSensitive) return x == y;
    return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
  };
  for (int i = start; i <= bufferLength - patternLength; ++i) {
    int j = 0;
    while (j < patternLength && same(buffer[i + j], pattern[j])) ++j;
    if (j == patternLength) return i;
  }
  return -1;
}

namespace {

struct SocketError {
  int code;
  const char* text;
};

const SocketError kSocketErrors[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Access denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol is wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "ICMP network unreachable"},
    {10052, "Network was reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space is supported"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "Name too long"},
    {10064, "Host is down"},
    {10065, "Host is unreachable"},
    {10066, "Directory not empty"},
    {10067, "EPROCLIM returned"},
    {10068, "EUSERS returned"},
    {10069, "Disk quota exceeded"},
    {10070, "ESTALE returned"},
    {10071, "The object is remote"},
    {10091, "System not ready"},
    {10092, "Version is not supported"},
    {10093, "Not initialized"},
    {11001, "Host not found"},
    {11002, "Try again"},
    {11003, "Non-recoverable error"},
    {11004, "No data record available"},
};

struct ErrnoCode {
  int error;
  int code;
};

const ErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},
    {EWOULDBLOCK, 10035},  {EINPROGRESS, 10036},     {EALREADY, 10037},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},   {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053}, {ECONNRESET, 10054},      {ENOBUFS, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
    {ELOOP, 10062},        {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},       {ESTALE, 10070},          {EREMOTE, 10071},
};

}  // namespace

const char* socketErrorString(int code) {
  for (const SocketError& entry : kSocketErrors)
    if (entry.code == code) return entry.text;
  return "Unknown";
}

int socketErrorFromErrno(int error) {
  for (const ErrnoCode& entry : kErrnoCodes)
    if (entry.error == error) return entry.code;
  return 0;
}
