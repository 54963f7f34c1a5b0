#include "driver.h"

#include <net/if.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DriverControl.h"
#include "OB_Log.h"
#include "ReplayClock.h"
#include "registry.h"

namespace {

constexpr const char* kDevicePrefix = "\\Device\\";
constexpr const char* kFilePrefix = "file:";
constexpr int kSnapLength = 65535;
// How long a live read may wait for a frame before it looks at the stop request again; a stop
// normally wakes it at once through pcap_breakloop.
constexpr int kReadTimeoutMs = 100;
constexpr uint32_t kEthernetMaxFrame = 1514;
constexpr uint32_t kEthernetHeader = 14;
constexpr uint16_t kTypeIPv4 = 0x0800;
constexpr uint16_t kTypeIPv6 = 0x86DD;
// Cap on one paced wait, so that a hostile time stamp can't overflow the steady clock.
constexpr uint64_t kMaxPacedGapUs = 1000000ull * 3600 * 24 * 7;

thread_local int lastError = GLIM_ERROR_NONE;
thread_local char errorText[PCAP_ERRBUF_SIZE + 256] = "";

int fail(int error, const char* format, ...) __attribute__((format(printf, 2, 3)));
int fail(int error, const char* format, ...) {
  lastError = error;
  va_list args;
  va_start(args, format);
  vsnprintf(errorText, sizeof errorText, format, args);
  va_end(args);
  OB_Log::log("driver: %s\n", errorText);
  return -1;
}

void succeed() {
  lastError = GLIM_ERROR_NONE;
  errorText[0] = '\0';
}

std::atomic<bool> replayPaced{false};

// The link types a capture comes in that the road is shown as Ethernet frames. The road decodes
// Ethernet; for the others the driver writes an Ethernet header in place of the link's own.
bool isSupportedLink(int link) {
  switch (link) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_NULL:
    case DLT_LOOP:
      return true;
    default:
      return false;
  }
}

uint16_t load16(const u_char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The link header's length and the Ethernet type of what follows it; type 0 when the frame
// carries nothing the road knows (or is shorter than its link header).
struct LinkHeader {
  uint32_t length;
  uint16_t type;
};

uint16_t ipTypeOfVersion(const u_char* p, uint32_t available) {
  if (available == 0) return 0;
  switch (p[0] >> 4) {
    case 4: return kTypeIPv4;
    case 6: return kTypeIPv6;
    default: return 0;
  }
}

LinkHeader linkHeader(int link, const u_char* data, uint32_t caplen) {
  switch (link) {
    case DLT_LINUX_SLL:  // 16 bytes, the protocol last
      return caplen >= 16 ? LinkHeader{16, load16(data + 14)} : LinkHeader{caplen, 0};
    case DLT_LINUX_SLL2:  // 20 bytes, the protocol first
      return caplen >= 20 ? LinkHeader{20, load16(data)} : LinkHeader{caplen, 0};
    case DLT_RAW:
    case DLT_IPV4:
      return LinkHeader{0, ipTypeOfVersion(data, caplen)};
    case DLT_NULL:
    case DLT_LOOP: {
      // The address family, in the byte order of the host that captured (NULL) or big-endian
      // (LOOP): 2 is IPv4 everywhere, 10, 24, 28 and 30 IPv6 on the systems that write these.
      if (caplen < 4) return LinkHeader{caplen, 0};
      const uint32_t big = static_cast<uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 |
                           data[3];
      const uint32_t little = static_cast<uint32_t>(data[3]) << 24 | data[2] << 16 |
                              data[1] << 8 | data[0];
      const uint32_t family = link == DLT_LOOP || big < 256 ? big : little;
      return LinkHeader{4, family == 2 ? kTypeIPv4 : ipTypeOfVersion(data + 4, caplen - 4)};
    }
    default:
      return LinkHeader{0, 0};
  }
}

}  // namespace

struct GLIM_CaptureContextData {
  std::string name;  // the adapter's name, for log lines
  bool replay = false;
  pcap_t* pcap = nullptr;  // owned; closed under statsLock when the context is destroyed
  GLIM_PacketCallback callback = nullptr;
  void* user = nullptr;  // not owned
  GLIM_AdapterHandle adapter = -1;

  // Serialises start, stop and destroy, which start and join the thread.
  std::mutex control;
  std::thread thread;
  std::atomic<std::thread::id> driverThread{};

  // Guards running and finished; stateChanged wakes waiters and paced replays.
  std::mutex stateLock;
  std::condition_variable stateChanged;
  std::atomic<bool> stopRequested{false};
  bool running = false;
  bool finished = false;
  std::string readError;  // why a replay ended before its file's end; "" at the end

  // Replay state, touched only by the driver's thread (and by start while it does not run).
  bool paced = false;
  bool anchored = false;
  uint64_t anchorStamp = 0;
  std::chrono::steady_clock::time_point anchorTime;
  pcap_pkthdr* pendingHeader = nullptr;  // a frame read but not yet delivered when stopped
  const u_char* pendingData = nullptr;
  std::atomic<bool> holdsClock{false};

  int link = DLT_EN10MB;
  // Frames of other link types rebuilt as Ethernet; driver's thread only.
  std::vector<u_char> rebuilt;

  std::atomic<uint32_t> delivered{0};
  std::atomic<uint32_t> oversize{0};
  bool oversizeLogged = false;  // driver's thread only

  std::mutex statsLock;
  GLIM_PacketBuffer record{};
  // Under statsLock: libpcap's drop counts at the last good read, and those DriverControl::addDrops
  // added.
  uint32_t pcapKernelDrops = 0;
  uint32_t pcapInterfaceDrops = 0;
  uint32_t addedKernelDrops = 0;
  uint32_t addedInterfaceDrops = 0;

  void holdClock() {
    if (!holdsClock.exchange(true)) replay_clock::hold();
  }
  void releaseClock() {
    if (holdsClock.exchange(false)) replay_clock::release();
  }
};

namespace {

using ContextPtr = std::shared_ptr<GLIM_CaptureContextData>;

struct Adapter {
  std::string name;
  bool replay = false;
  pcap_t* pending = nullptr;  // opened, not yet given to a context; owned
  ContextPtr context;
};

// The library's tables. Contexts are shared so that a call that found one can finish with it
// while another thread destroys it.
struct Library {
  std::mutex lock;
  int initCount = 0;
  int32_t nextHandle = 1;
  std::map<int32_t, Adapter> adapters;
  std::map<GLIM_CaptureContextData*, ContextPtr> contexts;
};

Library& library() {
  static Library* l = new Library;  // never destroyed: driver threads may outlive static teardown
  return *l;
}

ContextPtr findContext(GLIM_CaptureContext capture) {
  Library& l = library();
  std::lock_guard<std::mutex> hold(l.lock);
  auto it = l.contexts.find(capture);
  return it == l.contexts.end() ? nullptr : it->second;
}

bool onDriverThread(const GLIM_CaptureContextData& c) {
  return c.driverThread.load() == std::this_thread::get_id();
}

void deliver(GLIM_CaptureContextData& c, const pcap_pkthdr* header, const u_char* data) {
  uint64_t stamp = static_cast<uint64_t>(header->ts.tv_sec) * 1000000u +
                   static_cast<uint64_t>(header->ts.tv_usec);
  if (c.replay) {
    replay_clock::advance(stamp);
    c.holdClock();
  }
  uint32_t caplen = header->caplen;
  uint32_t len = header->len;
  if (c.link != DLT_EN10MB) {
    // An Ethernet header with zero addresses in place of the link's own.
    const LinkHeader link = linkHeader(c.link, data, caplen);
    const uint32_t rest = caplen - link.length;
    if (c.rebuilt.size() < kEthernetHeader + rest) c.rebuilt.resize(kEthernetHeader + rest);
    memset(c.rebuilt.data(), 0, 12);
    c.rebuilt[12] = static_cast<u_char>(link.type >> 8);
    c.rebuilt[13] = static_cast<u_char>(link.type);
    if (rest > 0) memcpy(c.rebuilt.data() + kEthernetHeader, data + link.length, rest);
    data = c.rebuilt.data();
    caplen = kEthernetHeader + rest;
    len = len >= link.length ? len - link.length + kEthernetHeader : caplen;
  }
  uint32_t largest = kEthernetMaxFrame;
  if (caplen >= kEthernetHeader) {
    uint16_t type = load16(data + 12);
    if (type == 0x8100 || type == 0x88A8) largest += 4;
  }
  if (len > largest) {
    c.oversize.fetch_add(1, std::memory_order_relaxed);
    if (!c.oversizeLogged) {
      c.oversizeLogged = true;
      OB_Log::log(
          "driver: %s delivers frames longer than Ethernet allows (segment offload); their "
          "payloads are cut into pieces of at most 1460 bytes. To see the frames as they went on "
          "the wire: ethtool -K %s gro off lro off (for traffic this host sends: tso off gso "
          "off)\n",
          c.name.c_str(), c.name.c_str());
    }
  }
  c.delivered.fetch_add(1, std::memory_order_relaxed);
  c.callback(data, caplen, stamp, len, c.user);
}

void liveHandler(u_char* user, const pcap_pkthdr* header, const u_char* data) {
  auto* c = reinterpret_cast<GLIM_CaptureContextData*>(user);
  if (c->stopRequested.load()) {
    pcap_breakloop(c->pcap);
    return;
  }
  deliver(*c, header, data);
}

void runLive(GLIM_CaptureContextData& c) {
  while (!c.stopRequested.load()) {
    int result = pcap_dispatch(c.pcap, -1, liveHandler, reinterpret_cast<u_char*>(&c));
    if (result == PCAP_ERROR_BREAK || result >= 0) continue;
    OB_Log::log("driver: capture on %s failed: %s\n", c.name.c_str(), pcap_geterr(c.pcap));
    break;
  }
}

// Waits until the frame's time has come; false when a stop came first.
bool waitForTurn(GLIM_CaptureContextData& c, uint64_t stamp) {
  if (!c.anchored) {
    c.anchored = true;
    c.anchorStamp = stamp;
    c.anchorTime = std::chrono::steady_clock::now();
    return true;
  }
  if (stamp <= c.anchorStamp) return true;
  uint64_t gap = stamp - c.anchorStamp;
  if (gap > kMaxPacedGapUs) gap = kMaxPacedGapUs;
  auto due = c.anchorTime + std::chrono::microseconds(gap);
  std::unique_lock<std::mutex> hold(c.stateLock);
  return !c.stateChanged.wait_until(hold, due, [&] { return c.stopRequested.load(); });
}

void runReplay(GLIM_CaptureContextData& c) {
  while (!c.stopRequested.load()) {
    if (c.pendingHeader == nullptr) {
      int result = pcap_next_ex(c.pcap, &c.pendingHeader, &c.pendingData);
      if (result != 1) {
        c.pendingHeader = nullptr;
        std::string error;
        if (result != PCAP_ERROR_BREAK) {
          error = pcap_geterr(c.pcap);
          OB_Log::log("driver: replay of %s stopped: %s\n", c.name.c_str(), error.c_str());
        }
        {
          std::lock_guard<std::mutex> hold(c.stateLock);
          c.finished = true;
          c.readError = error;
        }
        c.releaseClock();
        return;
      }
    }
    uint64_t stamp = static_cast<uint64_t>(c.pendingHeader->ts.tv_sec) * 1000000u +
                     static_cast<uint64_t>(c.pendingHeader->ts.tv_usec);
    if (c.paced && !waitForTurn(c, stamp)) return;  // the frame stays pending
    const pcap_pkthdr* header = c.pendingHeader;
    c.pendingHeader = nullptr;
    deliver(c, header, c.pendingData);
  }
}

void runCapture(GLIM_CaptureContextData* c) {
  c->driverThread.store(std::this_thread::get_id());
  if (c->replay)
    runReplay(*c);
  else
    runLive(*c);
  c->driverThread.store(std::thread::id());
  std::lock_guard<std::mutex> hold(c->stateLock);
  c->running = false;
  c->stateChanged.notify_all();
}

// Stops the driver's thread and joins it; the caller holds c.control and is not that thread.
void stopAndJoin(GLIM_CaptureContextData& c) {
  {
    std::lock_guard<std::mutex> hold(c.stateLock);
    c.stopRequested.store(true);
    c.stateChanged.notify_all();
  }
  if (!c.replay && c.pcap != nullptr) pcap_breakloop(c.pcap);
  if (c.thread.joinable()) c.thread.join();
}

// Stops, joins and closes a context that is no longer in the tables.
void closeContext(GLIM_CaptureContextData& c) {
  {
    std::lock_guard<std::mutex> hold(c.control);
    stopAndJoin(c);
  }
  c.releaseClock();
  std::lock_guard<std::mutex> hold(c.statsLock);
  if (c.pcap != nullptr) pcap_close(c.pcap);
  c.pcap = nullptr;
}

// Opens the adapter's libpcap handle, not yet activated for an interface. Null on failure, with
// the error set.
pcap_t* openHandle(const Adapter& adapter) {
  char error[PCAP_ERRBUF_SIZE] = "";
  if (adapter.replay) {
    const char* path = adapter.name.c_str() + strlen(kFilePrefix);
    pcap_t* p = pcap_open_offline_with_tstamp_precision(path, PCAP_TSTAMP_PRECISION_MICRO, error);
    if (p == nullptr) fail(GLIM_ERROR_NO_SUCH_ADAPTER, "can't replay %s: %s", path, error);
    return p;
  }
  pcap_t* p = pcap_create(adapter.name.c_str(), error);
  if (p == nullptr) {
    fail(GLIM_ERROR_OPEN_FAILED, "can't open %s: %s", adapter.name.c_str(), error);
    return nullptr;
  }
  if (pcap_set_promisc(p, 1) != 0 || pcap_set_snaplen(p, kSnapLength) != 0 ||
      pcap_set_timeout(p, kReadTimeoutMs) != 0 ||
      pcap_set_tstamp_precision(p, PCAP_TSTAMP_PRECISION_MICRO) != 0) {
    fail(GLIM_ERROR_OPEN_FAILED, "can't set up %s: %s", adapter.name.c_str(), pcap_geterr(p));
    pcap_close(p);
    return nullptr;
  }
  return p;
}

// libpcap's devices that are network interfaces (not "any", nor USB, bus or netfilter taps),
// in libpcap's order: interfaces that are up and connected come first.
std::vector<REG_Interface> listInterfaces() {
  std::vector<REG_Interface> interfaces;
  char error[PCAP_ERRBUF_SIZE] = "";
  pcap_if_t* devices = nullptr;
  if (pcap_findalldevs(&devices, error) != 0) {
    OB_Log::log("driver: can't list the network interfaces: %s\n", error);
    return interfaces;
  }
  for (pcap_if_t* device = devices; device != nullptr; device = device->next) {
    if (device->name == nullptr || if_nametoindex(device->name) == 0) continue;
    interfaces.push_back({device->name, device->description != nullptr ? device->description
                                                                        : device->name});
  }
  pcap_freealldevs(devices);
  return interfaces;
}

}  // namespace

extern "C" {

int GLIM_InitializeLibrary(void) {
  Library& l = library();
  std::lock_guard<std::mutex> hold(l.lock);
  ++l.initCount;
  // Without an adapters file the network cards are the interfaces libpcap lists.
  REG_SetInterfaceLister(listInterfaces);
  succeed();
  return 1;
}

int GLIM_IsWindowsNT(void) { return 1; }

int GLIM_GetOSPlatformVersion(void) { return 5; }

int GLIM_GetAdapterRegistryInfo(GLIM_AdapterInfo* info, const char* keyName) {
  if (info == nullptr || keyName == nullptr)
    return fail(GLIM_ERROR_BAD_ARGUMENT, "adapter info: no record or key name");
  memset(info, 0, sizeof *info);
  REG_Key cards = nullptr;
  REG_Key card = nullptr;
  if (REG_OpenKey(REG_NETWORK_CARDS_NT5, &cards) != 0 ||
      REG_OpenSubKey(cards, keyName, &card) != 0) {
    REG_CloseKey(cards);
    lastError = GLIM_ERROR_NO_SUCH_ADAPTER;
    snprintf(errorText, sizeof errorText, "no network card %.32s", keyName);
    return -1;
  }
  REG_CloseKey(cards);
  int result = REG_QueryValue(card, REG_VALUE_DEVICE_NAME, info->deviceName,
                              sizeof info->deviceName);
  if (result == 0 &&
      REG_QueryValue(card, REG_VALUE_DESCRIPTION, info->description,
                     sizeof info->description) != 0) {
    // The description is only shown to people; a long device name is cut to fit.
    size_t length = std::min(strlen(info->deviceName), sizeof info->description - 1);
    memcpy(info->description, info->deviceName, length);
    info->description[length] = '\0';
  }
  REG_CloseKey(card);
  if (result != 0) {
    memset(info, 0, sizeof *info);
    return fail(GLIM_ERROR_BAD_ARGUMENT, "network card %.32s: device name missing or too long",
                keyName);
  }
  succeed();
  return 0;
}

GLIM_AdapterHandle GLIM_OpenAdapter(const char* name) {
  if (name == nullptr) return fail(GLIM_ERROR_BAD_ARGUMENT, "open adapter: no name");
  if (strncmp(name, kDevicePrefix, strlen(kDevicePrefix)) == 0) name += strlen(kDevicePrefix);
  Adapter adapter;
  adapter.name = name;
  adapter.replay = strncmp(name, kFilePrefix, strlen(kFilePrefix)) == 0;
  // "file: /path" names the same file as "file:/path".
  if (adapter.replay) {
    const size_t path = adapter.name.find_first_not_of(" \t", strlen(kFilePrefix));
    adapter.name.erase(strlen(kFilePrefix),
                       (path == std::string::npos ? adapter.name.size() : path) - strlen(kFilePrefix));
  }
  {
    Library& l = library();
    std::lock_guard<std::mutex> hold(l.lock);
    if (l.initCount == 0) return fail(GLIM_ERROR_NOT_INITIALIZED, "open adapter: not initialised");
  }
  if (!adapter.replay && (adapter.name.empty() || if_nametoindex(name) == 0))
    return fail(GLIM_ERROR_NO_SUCH_ADAPTER, "no network interface \"%.64s\"", name);
  adapter.pending = openHandle(adapter);
  if (adapter.pending == nullptr) return -1;
  Library& l = library();
  std::lock_guard<std::mutex> hold(l.lock);
  int32_t handle = l.nextHandle++;
  l.adapters.emplace(handle, std::move(adapter));
  succeed();
  return handle;
}

int GLIM_GetLastError(void) { return lastError; }

GLIM_CaptureContext GLIM_CreateCaptureContext(GLIM_AdapterHandle handle,
                                              GLIM_PacketCallback callback, int32_t bufferSize,
                                              void* context) {
  if (callback == nullptr) {
    fail(GLIM_ERROR_BAD_ARGUMENT, "capture context: no callback");
    return nullptr;
  }
  Library& l = library();
  std::unique_lock<std::mutex> hold(l.lock);
  if (l.initCount == 0) {
    fail(GLIM_ERROR_NOT_INITIALIZED, "capture context: not initialised");
    return nullptr;
  }
  auto it = l.adapters.find(handle);
  if (it == l.adapters.end()) {
    fail(GLIM_ERROR_BAD_ARGUMENT, "capture context: no adapter %d", handle);
    return nullptr;
  }
  Adapter& adapter = it->second;
  if (adapter.context != nullptr) {
    fail(GLIM_ERROR_BUSY, "%s already has a capture context", adapter.name.c_str());
    return nullptr;
  }
  pcap_t* p = adapter.pending != nullptr ? adapter.pending : openHandle(adapter);
  adapter.pending = nullptr;
  if (p == nullptr) return nullptr;
  if (!adapter.replay) {
    if (bufferSize > 0) pcap_set_buffer_size(p, bufferSize);
    int status = pcap_activate(p);
    if (status < 0) {
      fail(GLIM_ERROR_OPEN_FAILED, "can't capture on %s: %s (%s)", adapter.name.c_str(),
           pcap_statustostr(status), pcap_geterr(p));
      pcap_close(p);
      return nullptr;
    }
    if (status > 0)
      OB_Log::log("driver: %s: %s\n", adapter.name.c_str(), pcap_statustostr(status));
  }
  const int link = pcap_datalink(p);
  if (!isSupportedLink(link)) {
    const char* linkName = pcap_datalink_val_to_name(link);
    fail(GLIM_ERROR_NOT_ETHERNET,
         "%s: link type %s (%d) is not supported (Ethernet, Linux cooked, raw IP and BSD "
         "loopback are)",
         adapter.replay ? adapter.name.c_str() + strlen(kFilePrefix) : adapter.name.c_str(),
         linkName != nullptr ? linkName : "unknown", link);
    pcap_close(p);
    return nullptr;
  }
  auto c = std::make_shared<GLIM_CaptureContextData>();
  c->name = adapter.name;
  c->replay = adapter.replay;
  c->link = link;
  c->pcap = p;
  c->callback = callback;
  c->user = context;
  c->adapter = handle;
  adapter.context = c;
  l.contexts.emplace(c.get(), c);
  succeed();
  return c.get();
}

int GLIM_StartCapture(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  if (c == nullptr) return fail(GLIM_ERROR_BAD_ARGUMENT, "start: no such capture context");
  if (onDriverThread(*c)) return 0;
  std::lock_guard<std::mutex> control(c->control);
  {
    std::lock_guard<std::mutex> hold(c->stateLock);
    if (c->running && !c->stopRequested.load()) return 0;
  }
  if (c->thread.joinable()) c->thread.join();
  std::lock_guard<std::mutex> hold(c->stateLock);
  if (c->finished || c->pcap == nullptr) return 0;
  c->stopRequested.store(false);
  c->running = true;
  c->paced = replayPaced.load();
  c->anchored = false;
  c->thread = std::thread(runCapture, c.get());
  succeed();
  return 0;
}

int GLIM_StopCapture(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  if (c == nullptr) return fail(GLIM_ERROR_BAD_ARGUMENT, "stop: no such capture context");
  if (onDriverThread(*c)) {
    // The callback asks for the stop; its own thread can't wait for itself.
    c->stopRequested.store(true);
    if (!c->replay) pcap_breakloop(c->pcap);
    return 0;
  }
  std::lock_guard<std::mutex> control(c->control);
  stopAndJoin(*c);
  return 0;
}

int GLIM_DestroyCaptureContext(GLIM_CaptureContext capture) {
  ContextPtr c;
  {
    Library& l = library();
    std::lock_guard<std::mutex> hold(l.lock);
    auto it = l.contexts.find(capture);
    if (it == l.contexts.end()) return 0;
    c = it->second;
    if (onDriverThread(*c))
      return fail(GLIM_ERROR_BAD_ARGUMENT, "a capture context can't be destroyed by its callback");
    l.contexts.erase(it);
    auto adapter = l.adapters.find(c->adapter);
    if (adapter != l.adapters.end() && adapter->second.context == c) adapter->second.context.reset();
  }
  closeContext(*c);
  return 0;
}

int GLIM_CloseAdapter(GLIM_AdapterHandle handle) {
  Adapter adapter;
  {
    Library& l = library();
    std::lock_guard<std::mutex> hold(l.lock);
    auto it = l.adapters.find(handle);
    if (it == l.adapters.end()) return fail(GLIM_ERROR_BAD_ARGUMENT, "no adapter %d", handle);
    if (it->second.context != nullptr && onDriverThread(*it->second.context))
      return fail(GLIM_ERROR_BAD_ARGUMENT, "an adapter can't be closed by its callback");
    adapter = std::move(it->second);
    l.adapters.erase(it);
    if (adapter.context != nullptr) l.contexts.erase(adapter.context.get());
  }
  if (adapter.context != nullptr) closeContext(*adapter.context);
  if (adapter.pending != nullptr) pcap_close(adapter.pending);
  return 0;
}

const GLIM_PacketBuffer* GLIM_GetPacketBuffer(GLIM_CaptureContext capture) {
  static const GLIM_PacketBuffer none{};
  ContextPtr c = findContext(capture);
  if (c == nullptr) return &none;
  std::lock_guard<std::mutex> hold(c->statsLock);
  GLIM_PacketBuffer& r = c->record;
  r.framesDelivered = c->delivered.load(std::memory_order_relaxed);
  r.oversizeFrames = c->oversize.load(std::memory_order_relaxed);
  pcap_stat stats{};
  // A failed read keeps the counts of the last good one.
  if (!c->replay && c->pcap != nullptr && pcap_stats(c->pcap, &stats) == 0) {
    r.framesReceived = stats.ps_recv;
    c->pcapKernelDrops = stats.ps_drop;
    c->pcapInterfaceDrops = stats.ps_ifdrop;
  }
  r.kernelDrops = c->pcapKernelDrops + c->addedKernelDrops;
  r.interfaceDrops = c->pcapInterfaceDrops + c->addedInterfaceDrops;
  r.framesDropped = r.kernelDrops + r.interfaceDrops;
  return &r;
}

int GLIM_CleanupLibrary(void) {
  std::map<int32_t, Adapter> left;
  {
    Library& l = library();
    std::lock_guard<std::mutex> hold(l.lock);
    if (l.initCount > 0 && --l.initCount == 0) {
      left.swap(l.adapters);
      l.contexts.clear();
    }
  }
  for (auto& [handle, adapter] : left) {
    if (adapter.context != nullptr) closeContext(*adapter.context);
    if (adapter.pending != nullptr) pcap_close(adapter.pending);
  }
  return 1;
}

}  // extern "C"

void DriverControl::setReplayPaced(bool paced) { replayPaced.store(paced); }

bool DriverControl::isCapturing(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  if (c == nullptr) return false;
  std::lock_guard<std::mutex> hold(c->stateLock);
  return c->running;
}

bool DriverControl::isReplay(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  return c != nullptr && c->replay;
}

int DriverControl::addDrops(GLIM_CaptureContext capture, uint32_t kernel, uint32_t interface) {
  ContextPtr c = findContext(capture);
  if (c == nullptr) return -1;
  std::lock_guard<std::mutex> hold(c->statsLock);
  c->addedKernelDrops += kernel;
  c->addedInterfaceDrops += interface;
  return 0;
}

std::string DriverControl::adapterName(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  return c != nullptr ? c->name : std::string();
}

bool DriverControl::isReplayFinished(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  if (c == nullptr) return false;
  std::lock_guard<std::mutex> hold(c->stateLock);
  return c->finished;
}

std::string DriverControl::replayError(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  if (c == nullptr) return std::string();
  std::lock_guard<std::mutex> hold(c->stateLock);
  return c->readError;
}

int DriverControl::waitForEnd(GLIM_CaptureContext capture) {
  ContextPtr c = findContext(capture);
  if (c == nullptr || onDriverThread(*c)) return -1;
  std::unique_lock<std::mutex> hold(c->stateLock);
  c->stateChanged.wait(hold, [&] { return !c->running; });
  return 0;
}

const char* DriverControl::lastErrorText() { return errorText; }
