#include "OB_PacketManager.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "DriverControl.h"
#include "OB_Config.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_PoolOption.h"
#include "OB_StreamBuilder.h"
#include "OB_String.h"
#include "OB_Tools.h"
#include "UTimeStamp.h"
#include "registry.h"
#include "tcp/OB_Server.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

constexpr int kDefaultPools = 512;
constexpr int kDefaultPacketsPerPool = 32;

// The option's text, or null when there is no option list or no such option.
const char* optionText(const char* name) {
  OB_NamedStringList* options = getOptions();
  if (options == nullptr) return nullptr;
  OB_String* value = options->find(name);
  return value != nullptr ? static_cast<const char*>(*value) : nullptr;
}

// The bytes one buffer of every size class takes: a queue of each class per unit.
constexpr uint64_t kBufferSetBytes =
    sizeof(OB_PooledPacketBuffer1460) + sizeof(OB_PooledPacketBuffer1024) +
    sizeof(OB_PooledPacketBuffer512) + sizeof(OB_PooledPacketBuffer256) +
    sizeof(OB_PooledPacketBuffer128) + sizeof(OB_PooledPacketBuffer64) +
    sizeof(OB_PooledPacketBuffer32);

template <class T>
OB_MemoryPool<T>* makePool(int queues, int perQueue) {
  auto* pool = new OB_MemoryPool<T>(queues, perQueue);
  if (pool == nullptr) OB_Log::quit("OB_PacketManager::OB_PacketManager(): no memory");
  // The driver's thread must never wait for a free buffer: it goes on without a copy instead.
  pool->setWait(0);
  return pool;
}

// Bytes of the blocks a pool made past its cap, at their most.
template <class T>
uint64_t bytesBeyondCap(OB_MemoryPool<T>* pool) {
  return static_cast<uint64_t>(pool->getPeakQueuesBeyondCap()) *
         static_cast<uint64_t>(pool->getObjectsPerQueue()) * sizeof(T);
}

template <class T>
void releasePool(OB_MemoryPool<T>*& pool) {
  delete pool;
  pool = nullptr;
}

}  // namespace

OB_PacketManager::OB_PacketManager(OB_EngineMgr* manager) : manager_(manager) {
  UTimeStamp::InitTimeStamps();
  setSleepInterval(kStatisticsInterval);
  setCaptureEngineStats(this);
  const int perPool = poolOption_count("PacketsPerPool", kDefaultPacketsPerPool, kBufferSetBytes);
  const int pools = poolOption_count("PacketPools", kDefaultPools,
                                     static_cast<uint64_t>(perPool) * kBufferSetBytes);
  pool1460_ = makePool<OB_PooledPacketBuffer1460>(pools, perPool);
  pool1024_ = makePool<OB_PooledPacketBuffer1024>(pools, perPool);
  pool512_ = makePool<OB_PooledPacketBuffer512>(pools, perPool);
  pool256_ = makePool<OB_PooledPacketBuffer256>(pools, perPool);
  pool128_ = makePool<OB_PooledPacketBuffer128>(pools, perPool);
  pool64_ = makePool<OB_PooledPacketBuffer64>(pools, perPool);
  pool32_ = makePool<OB_PooledPacketBuffer32>(pools, perPool);
}

OB_PacketManager::~OB_PacketManager() {
  // What this manager opened is given back even when the driver was disabled after init; with
  // the driver disabled from the start there is nothing to give back.
  if (GLIM_CaptureContext context = context_.exchange(nullptr); context != nullptr) {
    GLIM_StopCapture(context);
    GLIM_DestroyCaptureContext(context);
  }
  if (GLIM_AdapterHandle adapter = adapter_.exchange(-1); adapter != -1) GLIM_CloseAdapter(adapter);
  if (libraryInitialised_) {
    libraryInitialised_ = false;
    if (GLIM_CleanupLibrary() == 0) OB_Log::quit("GLIM_CleanupLibrary() failed");
  }
  if (getCaptureEngineStats() == this) setCaptureEngineStats(nullptr);
  // The packet's buffer goes back to its pool before the pools go.
  packet_.reset();
  releasePool(pool1460_);
  releasePool(pool1024_);
  releasePool(pool512_);
  releasePool(pool256_);
  releasePool(pool128_);
  releasePool(pool64_);
  releasePool(pool32_);
}

OB_PacketManager* OB_PacketManager::create() {
  auto* manager = new OB_PacketManager(nullptr);
  if (manager != nullptr) manager->init();
  return manager;
}

int OB_PacketManager::disablePacketDriver(int /*unused*/) {
  driverEnabled_.store(0);
  return 0;
}

int OB_PacketManager::setAllProcessor(OB_Processor* processor) {
  allProcessor_.store(processor, std::memory_order_release);
  return 0;
}

int OB_PacketManager::packetCallback(const unsigned char* frame, uint32_t length,
                                     uint64_t rawTimeStamp, uint32_t wireLength, void* context) {
  static_cast<OB_PacketManager*>(context)->acceptPacketProc(frame, length, rawTimeStamp,
                                                             wireLength);
  return 1;
}

int OB_PacketManager::init() {
  if (driverEnabled_.load() == 0 || context_.load() != nullptr) return 0;
  if (!libraryInitialised_) {
    if (GLIM_InitializeLibrary() == 0) OB_Log::quit("GLIM_InitializeLibrary() failed");
    libraryInitialised_ = true;
  }
  // A retry after a failed context binds afresh; the adapter of the failed try is closed first.
  if (GLIM_AdapterHandle earlier = adapter_.exchange(-1); earlier != -1) GLIM_CloseAdapter(earlier);

  const char* keyPath = nullptr;
  if (GLIM_IsWindowsNT() != 0) {
    int version = GLIM_GetOSPlatformVersion();
    if (version == 4) keyPath = REG_NETWORK_CARDS_NT4;
    if (version == 5) keyPath = REG_NETWORK_CARDS_NT5;
  } else {
    keyPath = REG_NETWORK_CARDS_CLASS;
  }
  REG_Key cards = nullptr;
  if (keyPath != nullptr && REG_OpenKey(keyPath, &cards) != 0) cards = nullptr;

  int wanted = 0;
  if (manager_ != nullptr && manager_->getConfigAdmin() != nullptr)
    wanted = atoi(manager_->getConfigAdmin()->getDevice().c_str());

  // The adapter number wanted. A number past the list is refused: capturing on another
  // adapter than the one named would count the wrong segment without a word.
  GLIM_AdapterInfo found;
  GLIM_AdapterInfo candidate;
  bool haveRecord = false;
  int listed = 0;
  if (cards != nullptr) {
    for (uint32_t index = 0;; ++index) {
      char name[17];
      if (REG_EnumKey(cards, index, name, sizeof name) != 0) break;
      if (GLIM_GetAdapterRegistryInfo(&candidate, name) != 0) break;
      listed = static_cast<int>(index) + 1;
      if (static_cast<int64_t>(index) == wanted) {
        found = candidate;
        haveRecord = true;
        break;
      }
    }
    REG_CloseKey(cards);
  }
  if (!haveRecord && listed > 0) {
    OB_Log::log("%s/admin/cengineInstall.cfg: device %d is past the adapters listed (%d in "
                "%s%s; 0 is the first)\n",
                OB_Tools::getInstallDir(), wanted, listed, OB_Tools::getInstallDir(),
                REG_ADAPTERS_FILE);
    return -1;
  }

  GLIM_AdapterHandle adapter = -1;
  if (haveRecord && GLIM_IsWindowsNT() != 0) {
    char device[sizeof "\\Device\\" + sizeof found.deviceName];
    snprintf(device, sizeof device, "\\Device\\%s", found.deviceName);
    adapter = GLIM_OpenAdapter(device);
  }
  if (adapter == -1) {
    if (!haveRecord)
      OB_Log::log("no capture adapter is listed (%s%s names none, and without it no network "
                  "interface was found)\n",
                  OB_Tools::getInstallDir(), REG_ADAPTERS_FILE);
    // The driver has logged the reason.
    OB_Log::debug("no adapter opened, driver error %d\n", GLIM_GetLastError());
    return -1;
  }
  adapter_.store(adapter);

  int64_t bufferSize = 0;
  if (const char* text = optionText("PacketBufferSize"); text != nullptr) bufferSize = atoll(text);
  if (bufferSize <= 0 || bufferSize > INT32_MAX) bufferSize = kDefaultCaptureBuffer;
  GLIM_CaptureContext context = GLIM_CreateCaptureContext(
      adapter, &OB_PacketManager::packetCallback, static_cast<int32_t>(bufferSize), this);
  if (context == nullptr) {
    OB_Log::log("the capture can't be set up: %s\n", DriverControl::lastErrorText());
    return 0;
  }
  const bool replay = DriverControl::isReplay(context);
  replay_.store(replay, std::memory_order_relaxed);
  // A replay loses nothing: its pools grow past their caps rather than drop payloads, as far as
  // the pools' share of the memory budget holds (a queue of every size class per unit, as their
  // options count).
  const int grow = replay ? 1 : 0;
  const int32_t most = poolOption_mostQueues(
      static_cast<uint64_t>(pool1460_->getObjectsPerQueue()) * kBufferSetBytes);
  if (replay)
    OB_Log::debug("replay: the payload pools may grow to %d queues of each size (%llu MB at most)\n",
                most, static_cast<unsigned long long>(poolOption_budget() >> 20));
  pool1460_->setGrow(grow, most);
  pool1024_->setGrow(grow, most);
  pool512_->setGrow(grow, most);
  pool256_->setGrow(grow, most);
  pool128_->setGrow(grow, most);
  pool64_->setGrow(grow, most);
  pool32_->setGrow(grow, most);
  context_.store(context, std::memory_order_release);
  return 0;
}

int OB_PacketManager::start() {
  if (driverEnabled_.load() != 0) {
    if (context_.load() == nullptr) init();
    if (GLIM_CaptureContext context = context_.load(); context != nullptr) GLIM_StartCapture(context);
  }
  OB_Thread::start();
  return 0;
}

int OB_PacketManager::stop() {
  if (driverEnabled_.load() != 0) {
    if (GLIM_CaptureContext context = context_.load(); context != nullptr) {
      GLIM_StopCapture(context);
      reportDrops();
    }
  }
  OB_Thread::stop();
  return 0;
}

int OB_PacketManager::doTask() {
  UTimeStamp::InitTimeStamps();
  pool1460_->pack();
  pool1024_->pack();
  pool512_->pack();
  pool256_->pack();
  pool128_->pack();
  pool64_->pack();
  pool32_->pack();
  if (driverEnabled_.load() != 0 && isRunning() != 0) reportDrops();
  return 0;
}

void OB_PacketManager::readDrops() {
  const GLIM_CaptureContext context = context_.load();
  const GLIM_PacketBuffer* record = GLIM_GetPacketBuffer(context);
  if (record == nullptr) return;
  // The driver counts from the context's creation: a new context, or counts that went back
  // (a context made anew at the same address), start from 0 again.
  if (context != dropsContext_ || record->kernelDrops < lastKernelDrops_ ||
      record->interfaceDrops < lastInterfaceDrops_) {
    dropsContext_ = context;
    lastKernelDrops_ = 0;
    lastInterfaceDrops_ = 0;
  }
  const uint32_t kernel = record->kernelDrops - lastKernelDrops_;
  const uint32_t interface = record->interfaceDrops - lastInterfaceDrops_;
  lastKernelDrops_ = record->kernelDrops;
  lastInterfaceDrops_ = record->interfaceDrops;
  kernelDrops_ += kernel;
  interfaceDrops_ += interface;
  if (kernel + interface > 0) incValue(kReportedDropped, kernel + interface);
  setValue(kAllReportedDropped, static_cast<uint32_t>(kernelDrops_ + interfaceDrops_));
  setDriverDrops(static_cast<uint32_t>(kernelDrops_), static_cast<uint32_t>(interfaceDrops_));
}

void OB_PacketManager::refreshDrops() {
  if (driverEnabled_.load() == 0 || context_.load() == nullptr) return;
  std::lock_guard<std::mutex> hold(dropsLock_);
  readDrops();
}

void OB_PacketManager::reportDrops() {
  std::lock_guard<std::mutex> hold(dropsLock_);
  const uint64_t keptKernel = reportedKernelDrops_;
  const uint64_t keptInterface = reportedInterfaceDrops_;
  readDrops();
  const uint64_t kernel = kernelDrops_ - keptKernel;
  const uint64_t interface = interfaceDrops_ - keptInterface;
  reportedKernelDrops_ = kernelDrops_;
  reportedInterfaceDrops_ = interfaceDrops_;
  const uint32_t gaps = OB_TCPSessionStats::value(getTCPSessionStats()->timedOutGaps);
  // Counts cleared meanwhile (a stream builder made anew clears them) start from 0 again.
  const uint32_t newGaps = gaps >= reportedGapConnections_ ? gaps - reportedGapConnections_ : gaps;
  reportedGapConnections_ = gaps;
  if (kernel + interface == 0 && newGaps == 0) return;
  const GLIM_CaptureContext context = context_.load();
  const std::string adapter = context != nullptr ? DriverControl::adapterName(context) : "";
  const char* name = adapter.empty() ? "no adapter" : adapter.c_str();
  if (kernel + interface > 0) {
    OB_Log::ret(
        "capture on %s: %llu frames dropped (%llu with the capture buffer full, %llu by the "
        "interface), %llu since the capture began; transactions of this time may be missing or "
        "logged without their responses",
        name, static_cast<unsigned long long>(kernel + interface),
        static_cast<unsigned long long>(kernel), static_cast<unsigned long long>(interface),
        static_cast<unsigned long long>(kernelDrops_ + interfaceDrops_));
  }
  if (newGaps > 0) {
    OB_Log::ret(
        "capture on %s: %u connections with missing segments (%u since start); their "
        "transactions may be logged without their responses",
        name, newGaps, gaps);
  }
}

void OB_PacketManager::acceptPacketProc(const unsigned char* frame, uint32_t length,
                                        uint64_t rawTimeStamp, uint32_t /*unused*/) {
  packet_.reset();
  packet_.setPacketInfo(frame, length > INT32_MAX ? INT32_MAX : static_cast<int>(length));
  uint64_t t = UTimeStamp::ConvertRawTimeStamp(rawTimeStamp);
  packet_.tv_sec = static_cast<uint32_t>(t / 1000000u);
  packet_.tv_usec = static_cast<uint32_t>(t % 1000000u);
  processObject(&packet_);
}

int OB_PacketManager::processObject(OB_Object* object) {
  OB_Packet* packet = obQuery<OB_Packet>(object);
  if (packet == nullptr) return -1;

  // Every packet counts as seen and as accepted, before the filter.
  countFrame(packet->getPacketSize());

  if (OB_Processor* all = allProcessor_.load(std::memory_order_acquire); all != nullptr)
    all->processObject(packet);

  if (isWatchedPacket(packet) == 0) return 0;

  const bool replay = replay_.load(std::memory_order_relaxed);
  const uint32_t payload = packet->getContentSize();
  if (payload > kMaxPooledPayload && packet->getBuffer() == nullptr &&
      (packet->getCode() & OB_Packet::kSYN) == 0 && packet->isPayloadCaptured()) {
    // A frame longer than Ethernet allows (segment offload): its payload goes on in pieces that
    // fit the largest buffer, each a segment of its own with its own sequence number.
    for (uint32_t offset = 0; offset < payload; offset += kMaxPooledPayload) {
      const uint32_t piece =
          payload - offset < kMaxPooledPayload ? payload - offset : kMaxPooledPayload;
      packet->selectPayload(offset, piece);
      copyPayload(packet);
      handOn(packet, false);
      if (OB_Buffer* buffer = packet->getBuffer(); buffer != nullptr) {
        packet->setBuffer(nullptr);
        buffer->release();
      }
    }
    packet->selectPayload(0, payload);
    return 0;
  }

  copyPayload(packet);
  // Only an opening SYN takes a session from a stream builder's pool.
  const bool opening =
      replay && (packet->getCode() & (OB_Packet::kSYN | OB_Packet::kACK)) == OB_Packet::kSYN;
  handOn(packet, opening);
  return 0;
}

void OB_PacketManager::handOn(OB_Packet* packet, bool openingReplay) {
  const std::thread::id self = std::this_thread::get_id();
  if (roadThread_.load(std::memory_order_relaxed) != self)
    roadThread_.store(self, std::memory_order_relaxed);
  // Counted before the snapshot is read, in one order with a removal's publish and its look at
  // the count: either the removal waits for this frame, or this frame walks the new snapshot.
  framesEntered_.fetch_add(1, std::memory_order_seq_cst);
  if (const Processors* list = processors_.load(std::memory_order_seq_cst); list != nullptr) {
    for (OB_Processor* processor : list->items) {
      if (openingReplay) prepareReplay(processor);
      processor->processObject(packet);
    }
  }
  framesLeft_.fetch_add(1, std::memory_order_release);
}

int OB_PacketManager::append(OB_Processor* item) {
  OB_MutexHold hold(this);
  const int result = OB_List<OB_Processor>::append(item);
  publishProcessors(false);
  return result;
}

int OB_PacketManager::insert(OB_Processor* item) {
  OB_MutexHold hold(this);
  const int result = OB_List<OB_Processor>::insert(item);
  publishProcessors(false);
  return result;
}

int OB_PacketManager::removeCurrent() {
  OB_MutexHold hold(this);
  const int result = OB_List<OB_Processor>::removeCurrent();
  publishProcessors(true);
  return result;
}

int OB_PacketManager::sort() {
  OB_MutexHold hold(this);
  const int result = OB_List<OB_Processor>::sort();
  publishProcessors(false);
  return result;
}

void OB_PacketManager::publishProcessors(bool removal) {
  auto list = std::make_unique<Processors>();
  for (Link* link = head_; link != nullptr; link = link->getNext())
    if (OB_Processor* processor = link->getItem(); processor != nullptr)
      list->items.push_back(processor);
  processors_.store(list.get(), std::memory_order_seq_cst);
  published_.push_back(std::move(list));
  if (!removal || roadThread_.load(std::memory_order_relaxed) == std::this_thread::get_id())
    return;
  const uint64_t entered = framesEntered_.load(std::memory_order_seq_cst);
  while (framesLeft_.load(std::memory_order_acquire) < entered) std::this_thread::yield();
}

void OB_PacketManager::prepareReplay(OB_Processor* processor) {
  OB_StreamBuilder* builder = obQuery<OB_StreamBuilder>(processor);
  if (builder == nullptr) return;
  OB_MemoryPool<OB_PooledTCPSession>* sessions = builder->getSessionPool();
  if (sessions != nullptr && sessions->isGrowing() == 0) {
    const int32_t most = poolOption_mostQueues(
        static_cast<uint64_t>(sessions->getObjectsPerQueue()) * sizeof(OB_PooledTCPSession));
    OB_Log::debug("replay: the session pool may grow to %d queues (%llu MB at most)\n", most,
                static_cast<unsigned long long>(poolOption_budget() >> 20));
    sessions->setGrow(1, most);
  }
  builder->setHandOverLimit(kReplayHandOverBytes);
}

OB_Buffer* OB_PacketManager::takeBuffer(uint32_t payloadSize) {
  if (payloadSize <= 32) return pool32_->getObject();
  if (payloadSize <= 64) return pool64_->getObject();
  if (payloadSize <= 128) return pool128_->getObject();
  if (payloadSize <= 256) return pool256_->getObject();
  if (payloadSize <= 512) return pool512_->getObject();
  if (payloadSize <= 1024) return pool1024_->getObject();
  return pool1460_->getObject();
}

void OB_PacketManager::copyPayload(OB_Packet* packet) {
  const uint32_t payloadSize = packet->getContentSize();
  // A packet that already carries a copy keeps it: attaching another would lose the first.
  if (payloadSize == 0 || packet->getBuffer() != nullptr) return;
  OB_Buffer* buffer = payloadSize <= kMaxPooledPayload ? takeBuffer(payloadSize) : nullptr;
  if (buffer == nullptr) {
    // The payload is lost to the stream: say so where the viewer looks.
    OB_TCPSessionStats* stats = getTCPSessionStats();
    OB_TCPSessionStats::count(stats->segmentsNoMemory);
    OB_TCPSessionStats::count(stats->bytesNoMemory, packet->getPacketSize());
    return;
  }
  packet->setBuffer(buffer);
  packet->copyBuffer();
  if (buffer->getLength() != payloadSize) {
    // The payload was not wholly captured (a short snap length): an empty buffer would stand
    // for bytes that are not there, so the packet goes on without one.
    packet->setBuffer(nullptr);
    buffer->release();
  }
}

uint64_t OB_PacketManager::getPoolBytesBeyondCaps() {
  return bytesBeyondCap(pool1460_) + bytesBeyondCap(pool1024_) + bytesBeyondCap(pool512_) +
         bytesBeyondCap(pool256_) + bytesBeyondCap(pool128_) + bytesBeyondCap(pool64_) +
         bytesBeyondCap(pool32_);
}

int OB_PacketManager::print(FILE* stream) {
  OB_CaptureEngineStats::print(stream);
  if (const uint64_t beyond = getPoolBytesBeyondCaps(); beyond > 0) {
    OB_Log::flog(stream, "replay: payload pools grew %llu bytes past their caps\n",
                 static_cast<unsigned long long>(beyond));
  }
  return 0;
}

int32_t OB_PacketManager::getPoolQueueCount(uint32_t sizeClass) {
  switch (sizeClass) {
    case 32: return pool32_->getNumQueues();
    case 64: return pool64_->getNumQueues();
    case 128: return pool128_->getNumQueues();
    case 256: return pool256_->getNumQueues();
    case 512: return pool512_->getNumQueues();
    case 1024: return pool1024_->getNumQueues();
    case 1460: return pool1460_->getNumQueues();
    default: return -1;
  }
}
