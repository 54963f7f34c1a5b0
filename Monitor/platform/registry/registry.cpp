#include "registry.h"

#include <strings.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "OB_Log.h"
#include "OB_Tools.h"

struct REG_KeyData {
  std::vector<std::string> subKeys;
  std::vector<std::pair<std::string, std::string>> values;
  // Kept so that a sub-key can be opened from its parent.
  std::string path;
};

namespace {

using Adapter = REG_Interface;

std::atomic<REG_InterfaceLister> interfaceLister{nullptr};

// Lower-cased names of the path, empty names (doubled or edge separators) dropped.
std::vector<std::string> splitPath(const char* path) {
  std::vector<std::string> names;
  std::string name;
  for (const char* c = path;; ++c) {
    if (*c == '\0' || *c == '\\' || *c == '/') {
      if (!name.empty()) names.push_back(name);
      name.clear();
      if (*c == '\0') break;
    } else {
      name.push_back(static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c));
    }
  }
  return names;
}

bool isNetworkCardsPath(const std::vector<std::string>& names) {
  for (const char* cards : {REG_NETWORK_CARDS_NT4, REG_NETWORK_CARDS_NT5, REG_NETWORK_CARDS_CLASS})
    if (splitPath(cards) == names) return true;
  return false;
}

std::string trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Logs a line of what the adapters file holds once per process: the file is read again each
// time a key is opened, and its typo is the same typo.
void sayOnce(const std::string& text) {
  static std::mutex lock;
  static std::set<std::string> said;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!said.insert(text).second) return;
  }
  OB_Log::log("%s\n", text.c_str());
}

// Reads the "adapter" lines of the adapters file. False when the file does not exist (the
// caller then lists the interfaces); a file that exists but can't be read gives an empty list, so that
// the monitor never binds an interface the operator did not name.
bool readAdaptersFile(const std::string& file, std::vector<Adapter>& adapters) {
  FILE* stream = fopen(file.c_str(), "r");
  if (stream == nullptr) {
    if (errno == ENOENT) return false;
    sayOnce("can't read " + file + " " + OB_Log::sys_err_str());
    return true;
  }
  char line[8192];
  bool continued = false;  // the rest of a line too long for the buffer
  int number = 0;
  while (fgets(line, sizeof line, stream) != nullptr) {
    if (!continued) ++number;
    size_t length = strlen(line);
    bool complete = length > 0 && line[length - 1] == '\n';
    bool skip = continued;
    continued = !complete && !feof(stream);
    if (skip) continue;
    if (continued) {
      sayOnce(file + " line " + std::to_string(number) + ": too long, ignored");
      continue;
    }
    std::string text(line, complete ? length - 1 : length);
    size_t comment = text.find('#');
    if (comment != std::string::npos) text.resize(comment);
    size_t colon = text.find(':');
    // A typo is named: its adapter would be missing from the list without a word.
    if (colon == std::string::npos) {
      if (!trimmed(text).empty())
        sayOnce(file + " line " + std::to_string(number) + ": \"" + trimmed(text) +
                "\" is no \"adapter: NAME\" line, ignored");
      continue;
    }
    if (const std::string key = trimmed(text.substr(0, colon)); key != "adapter") {
      sayOnce(file + " line " + std::to_string(number) + ": unknown key \"" + key +
              "\" (adapters are \"adapter: NAME\" lines), ignored");
      continue;
    }
    std::string device = trimmed(text.substr(colon + 1));
    if (device.empty()) continue;
    adapters.push_back({device, device});
  }
  fclose(stream);
  return true;
}

std::vector<Adapter> listAdapters() {
  std::vector<Adapter> adapters;
  if (!readAdaptersFile(std::string(OB_Tools::getInstallDir()) + REG_ADAPTERS_FILE, adapters)) {
    if (REG_InterfaceLister lister = interfaceLister.load(); lister != nullptr) adapters = lister();
  }
  return adapters;
}

std::string subKeyName(size_t index) {
  char name[24];
  snprintf(name, sizeof name, "%04zu", index);
  return name;
}

int copyOut(const std::string& text, char* out, size_t size) {
  if (out == nullptr || size == 0) return -1;
  if (text.size() >= size) {
    out[0] = '\0';
    return -1;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  return 0;
}

}  // namespace

int REG_OpenKey(const char* path, REG_Key* key) {
  if (key == nullptr) return -1;
  *key = nullptr;
  if (path == nullptr) return -1;
  std::vector<std::string> names = splitPath(path);
  bool isCard = false;
  if (!isNetworkCardsPath(names)) {
    if (names.empty()) return -1;
    std::vector<std::string> parent(names.begin(), names.end() - 1);
    if (!isNetworkCardsPath(parent)) return -1;
    isCard = true;
  }
  std::vector<Adapter> adapters = listAdapters();
  REG_KeyData* data = new REG_KeyData;
  data->path = path;
  if (!isCard) {
    for (size_t i = 0; i < adapters.size(); ++i) data->subKeys.push_back(subKeyName(i));
  } else {
    size_t i = 0;
    while (i < adapters.size() && subKeyName(i) != names.back()) ++i;
    if (i == adapters.size()) {
      delete data;
      return -1;
    }
    data->values.emplace_back(REG_VALUE_DEVICE_NAME, adapters[i].device);
    data->values.emplace_back(REG_VALUE_DESCRIPTION, adapters[i].description);
  }
  *key = data;
  return 0;
}

int REG_OpenSubKey(REG_Key parent, const char* name, REG_Key* key) {
  if (key != nullptr) *key = nullptr;
  if (parent == nullptr || name == nullptr) return -1;
  return REG_OpenKey((parent->path + "\\" + name).c_str(), key);
}

int REG_EnumKey(REG_Key key, uint32_t index, char* name, size_t size) {
  if (key == nullptr || index >= key->subKeys.size()) return -1;
  return copyOut(key->subKeys[index], name, size);
}

int REG_QueryValue(REG_Key key, const char* valueName, char* data, size_t size) {
  if (key != nullptr && valueName != nullptr) {
    for (const auto& [name, value] : key->values)
      if (strcasecmp(name.c_str(), valueName) == 0) return copyOut(value, data, size);
  }
  if (data != nullptr && size > 0) data[0] = '\0';
  return -1;
}

int REG_CloseKey(REG_Key key) {
  delete key;
  return 0;
}

void REG_SetInterfaceLister(REG_InterfaceLister lister) { interfaceLister.store(lister); }
