#include "tcp/OB_Server.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "OB_Log.h"
#include "tcp/OB_Packet.h"

namespace {

// What the filter needs of one definition, copied when the definition is published.
struct FilterEntry {
  const OB_Server* owner;  // identity only, compared under the list's lock; never called
  uint8_t type;
  uint32_t ip;
  uint16_t count;  // already cut to the array's 32 entries
  uint32_t addresses[OB_Server::kMaxAddresses];
  uint16_t port;
  bool needed;
  const char* protocol;  // the definition's getProtocolName(), a literal or null
};
using Snapshot = std::vector<FilterEntry>;

// The list and the filter's snapshot. A snapshot is replaced whole, under the list's lock, and
// the one it replaces is retired; readers announce themselves in `readers` before they load the
// current snapshot. Both sides use sequentially consistent order, so a writer that finds no
// reader after its swap knows that nobody can still hold a retired snapshot, and frees them.
struct ServerRegistry {
  OB_List<OB_Server> list;
  std::atomic<const Snapshot*> current{new Snapshot()};  // owned
  std::atomic<int32_t> readers{0};
  std::vector<const Snapshot*> retired;  // owned; under the list's lock

  // Called under the list's lock.
  void replace(const Snapshot* next) {
    retired.push_back(current.exchange(next));
    if (readers.load() != 0) return;  // freed by a later replacement
    for (const Snapshot* old : retired) delete old;
    retired.clear();
  }
};

// Made on first use and never destroyed, so a definition that outlives static destruction
// (one held by another library's static object) still finds its list.
ServerRegistry& registry() {
  static ServerRegistry* const instance = new ServerRegistry();
  return *instance;
}

int rangeHas(uint8_t type, uint32_t ip, const uint32_t* addresses, int count, uint32_t probe) {
  switch (type) {
    case 0:
      return probe == ip ? 1 : 0;
    case 1:
      for (int i = 0; i < count; ++i)
        if (addresses[i] == probe) return 1;
      return 0;
    default:
      OB_Log::quit("httpServer_isExactMatch: invalid type");
  }
}

int usedAddresses(uint16_t numAddresses) {
  return std::min<int>(numAddresses, OB_Server::kMaxAddresses);
}

bool entryMatches(const FilterEntry& entry, uint32_t ip, uint16_t port) {
  return entry.port == port && rangeHas(entry.type, entry.ip, entry.addresses, entry.count, ip) != 0;
}

}  // namespace

OB_Server::OB_Server() {
  {
    ServerRegistry& r = registry();
    OB_MutexHold hold(&r.list);
    if (r.list.append(this) != 0) OB_Log::quit("OB_Server: no memory for the server list");
    listed_ = true;
  }
  publish();
}

OB_Server::OB_Server(const OB_Server& other) : OB_Object(other) {
  serverType = other.serverType;
  ipAddress = other.ipAddress;
  std::memcpy(name, other.name, sizeof name);
  numAddresses = other.numAddresses;
  std::memcpy(addresses, other.addresses, sizeof addresses);
  port = other.port;
  std::memcpy(filterName, other.filterName, sizeof filterName);
}

OB_Server& OB_Server::operator=(const OB_Server& other) {
  if (this == &other) return *this;
  serverType = other.serverType;
  ipAddress = other.ipAddress;
  std::memcpy(name, other.name, sizeof name);
  numAddresses = other.numAddresses;
  std::memcpy(addresses, other.addresses, sizeof addresses);
  port = other.port;
  std::memcpy(filterName, other.filterName, sizeof filterName);
  publish();
  return *this;
}

OB_Server::~OB_Server() {
  ServerRegistry& r = registry();
  OB_MutexHold hold(&r.list);
  if (!listed_) return;
  r.list.remove(this);
  listed_ = false;
  auto* next = new Snapshot(*r.current.load());
  std::erase_if(*next, [this](const FilterEntry& entry) { return entry.owner == this; });
  r.replace(next);
}

void OB_Server::clearFields() {
  serverType = 0;
  ipAddress = 0;
  std::memset(name, 0, sizeof name);
  numAddresses = 0;
  std::memset(addresses, 0, sizeof addresses);
  port = 0;
  std::memset(filterName, 0, sizeof filterName);
}

int OB_Server::init() {
  clearFields();
  publish();
  return 0;
}

int OB_Server::setName(const char* s) {
  std::memset(name, 0, sizeof name);
  if (s != nullptr) std::strncpy(name, s, sizeof name - 1);
  return 0;
}

int OB_Server::setServerType(uint8_t type) {
  serverType = type;
  return publish();
}

int OB_Server::setIPAddress(uint32_t ip) {
  ipAddress = ip;
  return publish();
}

int OB_Server::setPort(uint16_t serverPort) {
  port = serverPort;
  return publish();
}

int OB_Server::setAddresses(const uint32_t* list, int count) {
  if (count < 0 || list == nullptr) count = 0;
  if (count > kMaxAddresses) count = kMaxAddresses;
  for (int i = 0; i < count; ++i) addresses[i] = list[i];
  numAddresses = static_cast<uint16_t>(count);
  return publish();
}

int OB_Server::isInRange(uint32_t ip) {
  return rangeHas(serverType, ipAddress, addresses, usedAddresses(numAddresses), ip);
}

int OB_Server::isMatch(uint32_t ip, uint16_t serverPort) {
  if (serverPort != port) return 0;
  return isInRange(ip) != 0 ? 1 : 0;
}

int OB_Server::isNeeded(OB_Packet* /*packet*/) { return 1; }

int OB_Server::publish() {
  // Built before the list's lock is taken: it reads only this definition (on the thread that
  // fills it in) and asks its isNeeded, which must not run under a lock it does not know.
  FilterEntry entry{};
  entry.owner = this;
  entry.type = serverType;
  entry.ip = ipAddress;
  entry.count = static_cast<uint16_t>(usedAddresses(numAddresses));
  std::memcpy(entry.addresses, addresses, sizeof entry.addresses);
  entry.port = port;
  entry.needed = isNeeded(nullptr) != 0;
  entry.protocol = getProtocolName();

  ServerRegistry& r = registry();
  OB_MutexHold hold(&r.list);
  if (!listed_) return 0;
  auto* next = new Snapshot(*r.current.load());
  auto mine = std::find_if(next->begin(), next->end(),
                           [this](const FilterEntry& e) { return e.owner == this; });
  if (mine != next->end())
    *mine = entry;
  else
    next->push_back(entry);
  r.replace(next);
  return 0;
}

OB_List<OB_Server>* getServerList() { return &registry().list; }

namespace {

// Whether some entry of the current snapshot answers match, read as the filter reads it.
template <class Match>
int anyEntry(Match match) {
  ServerRegistry& r = registry();
  r.readers.fetch_add(1);
  int taken = 0;
  for (const FilterEntry& entry : *r.current.load()) {
    if (match(entry)) {
      taken = 1;
      break;
    }
  }
  r.readers.fetch_sub(1);
  return taken;
}

}  // namespace

int isWatchedPacket(OB_Packet* packet) {
  if (packet == nullptr) return 0;
  return anyEntry([packet](const FilterEntry& entry) {
    return entry.needed && (entryMatches(entry, packet->srcIP, packet->srcPort) ||
                            entryMatches(entry, packet->dstIP, packet->dstPort));
  });
}

int isWatchedServer(const char* protocol, uint32_t ip, uint16_t port) {
  if (protocol == nullptr) return 0;
  return anyEntry([=](const FilterEntry& entry) {
    return entry.needed && entry.protocol != nullptr && strcmp(entry.protocol, protocol) == 0 &&
           entryMatches(entry, ip, port);
  });
}
