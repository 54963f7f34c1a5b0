#include "eventlog.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

struct EVL_SourceData {
  std::string name;
};

namespace {

std::mutex registryLock;  // guards the registration files and the directory setting
std::string directorySet;
EVL_Sink currentSink = nullptr;
void* sinkContext = nullptr;

std::string directory() {
  if (!directorySet.empty()) return directorySet;
  const char* env = getenv("OB_EVENTLOG_DIR");
  return env != nullptr && env[0] != '\0' ? env : "/etc/corrana/eventlog";
}

bool hasControl(const char* text) {
  for (; *text != '\0'; ++text)
    if (static_cast<unsigned char>(*text) < 0x20 || *text == 0x7f) return true;
  return false;
}

bool readSources(const std::string& path, std::vector<std::string>* names) {
  std::ifstream in(path);
  if (!in) return errno == ENOENT;  // no list yet is an empty list
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) names->push_back(line);
  return true;
}

// Replaces path as a whole, so a reader never sees half a list.
bool writeFile(const std::string& path, const std::string& text) {
  std::string temp = path + ".new";
  FILE* f = fopen(temp.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (fclose(f) == 0) && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  int saved = errno;
  remove(temp.c_str());
  errno = saved;
  return false;
}

int priorityOf(uint16_t type) {
  if (type & EVL_ERROR_TYPE) return LOG_ERR;
  if (type & EVL_WARNING_TYPE) return LOG_WARNING;
  return LOG_INFO;
}

}  // namespace

EVL_Source EVL_RegisterEventSource(const char* server, const char* sourceName) {
  if (server != nullptr || sourceName == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return new EVL_SourceData{sourceName};
}

int EVL_ReportEvent(EVL_Source source, uint16_t type, uint16_t category, uint32_t eventId,
                    int64_t userId, int numStrings, const char* const* strings) {
  if (source == nullptr) return -1;
  // Every message of the table is "%1" and a line end: the text is the first insertion.
  std::string text = numStrings > 0 && strings != nullptr && strings[0] != nullptr ? strings[0] : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (currentSink != nullptr) {
    EVL_Record record{source->name.c_str(), type, category, eventId, userId, text.c_str()};
    currentSink(&record, sinkContext);
    return 0;
  }
  // openlog keeps the identity pointer; one string per process that outlives the calls.
  static std::mutex syslogLock;
  static std::string identity;
  std::lock_guard<std::mutex> guard(syslogLock);
  if (identity != source->name) {
    closelog();
    identity = source->name;
    openlog(identity.c_str(), LOG_PID, LOG_DAEMON);
  }
  syslog(priorityOf(type), "%s", text.c_str());
  return 0;
}

int EVL_DeregisterEventSource(EVL_Source source) {
  delete source;
  return 0;
}

EVL_Sink EVL_SetSink(EVL_Sink sink, void* context) {
  EVL_Sink previous = currentSink;
  currentSink = sink;
  sinkContext = context;
  return previous;
}

void EVL_SetDirectory(const char* dir) {
  std::lock_guard<std::mutex> guard(registryLock);
  directorySet = dir != nullptr ? dir : "";
}

int EVL_InstallSource(const char* name, const char* messageFile, uint32_t typesSupported) {
  if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr || hasControl(name) ||
      messageFile == nullptr || hasControl(messageFile)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(registryLock);
  std::string dir = directory();
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  std::string entry = std::string("EventMessageFile: ") + messageFile +
                      "\nTypesSupported: " + std::to_string(typesSupported) + "\n";
  if (!writeFile(dir + "/" + name + ".source", entry)) return -1;
  std::vector<std::string> names;
  if (!readSources(dir + "/Sources", &names)) return -1;
  for (const std::string& known : names)
    if (known == name) return 0;
  std::string list;
  for (const std::string& known : names) list += known + "\n";
  list += std::string(name) + "\n";
  return writeFile(dir + "/Sources", list) ? 0 : -1;
}

int EVL_RemoveSource(const char* name) {
  if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(registryLock);
  std::string dir = directory();
  if (remove((dir + "/" + name + ".source").c_str()) != 0 && errno != ENOENT) return -1;
  std::vector<std::string> names;
  if (!readSources(dir + "/Sources", &names)) return -1;
  std::string list;
  bool found = false;
  for (const std::string& known : names) {
    if (known == name)
      found = true;
    else
      list += known + "\n";
  }
  if (!found) return 0;
  return writeFile(dir + "/Sources", list) ? 0 : -1;
}

int EVL_ListSources(char* list, int size) {
  if (list == nullptr || size <= 0) return -1;
  list[0] = '\0';
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> guard(registryLock);
    if (!readSources(directory() + "/Sources", &names)) return -1;
  }
  std::string text;
  for (const std::string& known : names) text += known + "\n";
  if (text.size() >= static_cast<size_t>(size)) return -1;
  memcpy(list, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}
