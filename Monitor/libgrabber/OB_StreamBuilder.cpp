#include "OB_StreamBuilder.h"

#include <chrono>
#include <new>

#include "OB_EngineMgr.h"
#include "OB_Exception.h"
#include "OB_Log.h"
#include "OB_PoolOption.h"
#include "UTimeStamp.h"
#include "records/OB_Consumer.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

using Stats = OB_TCPSessionStats;

constexpr uint16_t kFTPPort = 21;
constexpr uint16_t kHTTPPort = 80;

// Releases the object when the scope is left, also by an exception.
class ReleaseOnExit {
 public:
  explicit ReleaseOnExit(OB_Object* object) : object_(object) {}
  ~ReleaseOnExit() { obRelease(object_); }
  ReleaseOnExit(const ReleaseOnExit&) = delete;
  ReleaseOnExit& operator=(const ReleaseOnExit&) = delete;

 private:
  OB_Object* object_;
};

}  // namespace

int OB_SessionDebugListener::notify(OB_TCPSession* session) {
  if (session != nullptr) session->print(stderr);
  return 0;
}

OB_StreamBuilder::OB_StreamBuilder(OB_EngineMgr* manager) : engineMgr_(manager) {
  OB_Log::debug("Initializing stream builder thread...");
  tcpSessionStats_init();
  OB_Log::debug("...done initializing stream builder\n");

  const uint64_t sessionBytes = sizeof(OB_PooledTCPSession);
  const int perPool = poolOption_count("SessionsPerPool", kDefaultSessionsPerPool, sessionBytes);
  const int pools = poolOption_count("SessionPools", kDefaultSessionPools,
                                     static_cast<uint64_t>(perPool) * sessionBytes);
  try {
    m_pTCPSessionPool = new OB_MemoryPool<OB_PooledTCPSession>(pools, perPool);
  } catch (const std::bad_alloc&) {
    m_pTCPSessionPool = nullptr;
  }
  if (m_pTCPSessionPool == nullptr)
    OB_Log::quit("OB_StreamBuilder: no memory for a session pool of %d pools of %d sessions\n",
                 pools, perPool);
  // A SYN that finds the pool exhausted must not wait: the capture thread holds the hash lock,
  // and only the sweep, which needs that lock, could give a session back.
  m_pTCPSessionPool->setWait(0);
  finished_.reserve(4 * kHandOverBatch);
  batch_.reserve(4 * kHandOverBatch);
}

OB_StreamBuilder::~OB_StreamBuilder() {
  for (size_t i = batchNext_; i < batch_.size(); ++i) batch_[i]->release();
  for (OB_TCPSession* session : finished_) session->release();
  {
    OB_MutexHold hold(&sessions_);
    for (int bucket = 0; bucket < kBuckets; ++bucket) {
      while (SessionLink* link = sessions_.getChain(bucket)) {
        OB_TCPSession* session = obQuery<OB_TCPSession>(link);
        if (session == nullptr || sessions_.remove(session) != 0) break;  // cannot happen
        session->release();
      }
    }
  }
  delete m_pTCPSessionPool;
  m_pTCPSessionPool = nullptr;
}

OB_StreamBuilder* OB_StreamBuilder::create(OB_EngineMgr* manager) {
  OB_StreamBuilder* builder = new OB_StreamBuilder(manager);
  if (builder != nullptr) builder->init();
  return builder;
}

int OB_StreamBuilder::setSynchronous(int on) {
  synchronous_.store(on, std::memory_order_relaxed);
  return 0;
}

int OB_StreamBuilder::processObject(OB_Object* object) {
  OB_Packet* packet = obQuery<OB_Packet>(object);
  if (packet == nullptr) return -1;
  if (packet->isIP() == 0) return 0;
  if (packet->getIPType() != 6) return -1;
  return processTCPPacket(packet);
}

OB_TCPSession* OB_StreamBuilder::findSession(int bucket, OB_Packet* packet) {
  for (SessionLink* link = sessions_.getChain(bucket); link != nullptr; link = link->getNext()) {
    OB_TCPSession* session = obQuery<OB_TCPSession>(link);
    if (session == nullptr) continue;
    if (session->addressMatch(packet->srcIP, packet->srcPort, packet->dstIP, packet->dstPort) !=
            0 ||
        session->addressMatch(packet->dstIP, packet->dstPort, packet->srcIP, packet->srcPort) != 0)
      return session;
  }
  return nullptr;
}

int OB_StreamBuilder::setHandOverLimit(uint64_t bytes) {
  handOverLimit_.store(bytes, std::memory_order_relaxed);
  return 0;
}

int OB_StreamBuilder::processTCPPacket(OB_Packet* packet) {
  const int result = takePacket(packet);
  const uint64_t limit = handOverLimit_.load(std::memory_order_relaxed);
  if (limit != 0 && queuedBytes_.load(std::memory_order_relaxed) > limit &&
      synchronous_.load(std::memory_order_relaxed) == 0)
    awaitHandOver(limit);
  return result;
}

void OB_StreamBuilder::awaitHandOver(uint64_t limit) {
  std::unique_lock<std::mutex> hold(handOverLock_);
  const uint64_t stops = stops_;
  while (queuedBytes_.load(std::memory_order_relaxed) > limit && stops_ == stops &&
         batchesTaken_ != stalledAt_) {
    const uint64_t taken = batchesTaken_;
    roadWaiting_ = true;
    handOverReady_.notify_one();
    const bool moved =
        handOverTaken_.wait_for(hold, std::chrono::milliseconds(kStalledMs),
                                [&] { return batchesTaken_ != taken || stops_ != stops; });
    roadWaiting_ = false;
    // A thread that takes nothing may not run at all: the road goes on, and does not wait
    // again until the thread has taken a batch.
    if (!moved) stalledAt_ = taken;
  }
}

int OB_StreamBuilder::takePacket(OB_Packet* packet) {
  if (packet == nullptr) return -1;
  OB_MutexHold hold(&sessions_);
  try {
    Stats& stats = *getTCPSessionStats();
    const uint32_t size = packet->getPacketSize();
    Stats::count(stats.segmentsReceived);
    Stats::count(stats.bytesReceived, size);

    // Symmetric in the two ends, so both directions of a connection share a bucket.
    const uint32_t sum = (packet->srcIP | packet->dstIP) + static_cast<uint32_t>(packet->srcPort) +
                         static_cast<uint32_t>(packet->dstPort);
    const int bucket = static_cast<int>(sum % static_cast<uint32_t>(kBuckets));

    OB_TCPSession* session = findSession(bucket, packet);
    if (session != nullptr && session->isReopenedBy(packet) != 0) {
      // A new connection on the addresses of one still held: the old one is handed on as the
      // idle sweep would, and the SYN opens a session of its own.
      handOn(session);
      session = nullptr;
    }
    if (session == nullptr) {
      if ((packet->getCode() & OB_Packet::kSYN) == 0) {
        Stats::count(stats.segmentsExtraneous);
        Stats::count(stats.bytesExtraneous, size);
        return 0;
      }
      bool full = false;
      session = newSession(bucket, &full);
      if (session == nullptr) {
        if (!full) return -1;
        Stats::count(stats.segmentsNoMemory);
        Stats::count(stats.bytesNoMemory, size);
        return 0;
      }
    }

    const int result = session->processObject(packet);
    if (result == 0) {
      notifyListeners(session);
      if (session->isFinished() != 0) {
        // A long transfer cut off and handed on: the rest of the connection goes on in a
        // session of its own, which takes this one's place.
        bool continues = false;
        if (session->isCutOff() != 0) {
          bool full = false;
          if (OB_TCPSession* rest = newSession(bucket, &full); rest != nullptr) {
            rest->continueFrom(*session);
            // One connection in the session counts: the rest takes the piece's place.
            Stats::uncount(stats.sessionsRetrieved);
            continues = true;
          }
        }
        queueFinished(session, !continues);
      }
      return 0;
    }
    if (result == -1) {
      sessions_.remove(session);
      session->release();
      Stats::count(stats.sessionsReturned);
      return -1;
    }
    return result;
  } catch (OB_Exception& exception) {
    exception.print(stderr);
    return exception.err();
  }
}

OB_TCPSession* OB_StreamBuilder::newSession(int bucket, bool* full) {
  OB_PooledTCPSession* fresh = m_pTCPSessionPool->getObject();
  if (fresh == nullptr) {
    *full = true;
    return nullptr;
  }
  fresh->reset();
  Stats::count(getTCPSessionStats()->sessionsRetrieved);
  if (sessions_.insert(fresh, bucket) != 0) {
    // Only a session still chained somewhere is refused; it cannot come from the pool.
    OB_Log::log("OB_StreamBuilder: a session from the pool could not enter the hash\n");
    fresh->release();
    Stats::count(getTCPSessionStats()->sessionsReturned);
    return nullptr;
  }
  return fresh;
}

void OB_StreamBuilder::queueFinished(OB_TCPSession* session, bool ends) {
  sessions_.remove(session);
  if (ends) Stats::count(getTCPSessionStats()->sessionsReturned);
  {
    std::lock_guard<std::mutex> hold(handOverLock_);
    try {
      finished_.push_back(session);
    } catch (const std::bad_alloc&) {
      OB_Log::quit("OB_StreamBuilder: no memory to queue a finished session\n");
    }
    queued_.fetch_add(1, std::memory_order_release);
    queuedBytes_.store(queuedBytes_.load(std::memory_order_relaxed) + session->client.xBytXfer +
                           session->server.xBytXfer,
                       std::memory_order_relaxed);
    if (handOverWaiting_ && isBatchReady()) handOverReady_.notify_one();
  }
  if (synchronous_.load(std::memory_order_relaxed) != 0) pass();
}

bool OB_StreamBuilder::handOn(OB_TCPSession* session) {
  if (session->timeout() == 0) {
    queueFinished(session);
    return true;
  }
  sessions_.remove(session);
  session->release();
  Stats::count(getTCPSessionStats()->sessionsReturned);
  return false;
}

int OB_StreamBuilder::doTask() {
  try {
    return pass();
  } catch (OB_Exception& exception) {
    OB_Log::log("OB_StreamBuilder: Error=%d Text=%s File=%s Line=%d\n", exception.err(),
                exception.getText() != nullptr ? exception.getText() : "",
                exception.getFile() != nullptr ? exception.getFile() : "", exception.getLine());
    stopEngine();
    return exception.err();
  }
}

void OB_StreamBuilder::stopEngine() {
  OB_Log::log("OB_StreamBuilder: stopping the capture engine\n");
  // The manager's thread list stops every capture thread, this one included; the stop does not
  // wait, so it may be called from this thread's own pass.
  if (engineMgr_ != nullptr) engineMgr_->stop();
  stop();
}

int OB_StreamBuilder::stop() {
  const int result = OB_Thread::stop();
  // The thread may be waiting for a batch: let it see that it was stopped.
  {
    std::lock_guard<std::mutex> hold(handOverLock_);
    ++stops_;
  }
  handOverReady_.notify_all();
  handOverTaken_.notify_all();
  return result;
}

void OB_StreamBuilder::takeBatch(bool wait) {
  std::unique_lock<std::mutex> hold(handOverLock_);
  if (wait && !isBatchReady()) {
    const uint64_t stops = stops_;
    handOverWaiting_ = true;
    handOverReady_.wait_for(hold, std::chrono::milliseconds(kHandOverWaitMs),
                            [&] { return isBatchReady() || roadWaiting_ || stops_ != stops; });
    handOverWaiting_ = false;
  }
  queuedBytes_.store(0, std::memory_order_relaxed);
  ++batchesTaken_;
  if (roadWaiting_) handOverTaken_.notify_one();
  if (batchNext_ == batch_.size()) {
    batch_.clear();
    batchNext_ = 0;
    batch_.swap(finished_);
    return;
  }
  try {
    batch_.insert(batch_.end(), finished_.begin(), finished_.end());
  } catch (const std::bad_alloc&) {
    OB_Log::quit("OB_StreamBuilder: no memory to hand finished sessions on\n");
  }
  finished_.clear();
}

int OB_StreamBuilder::processBatch() {
  int handed = 0;
  while (batchNext_ < batch_.size()) {
    OB_TCPSession* session = batch_[batchNext_++];
    queued_.fetch_sub(1, std::memory_order_release);
    ReleaseOnExit releaseSession(session);
    ++handed;
    processSession(session);
  }
  return handed;
}

void OB_StreamBuilder::handOnAll(int* open, int* queued) {
  *open = 0;
  *queued = getQueuedCount();
  for (int bucket = 0; bucket < kBuckets; ++bucket) {
    OB_MutexHold hold(&sessions_);
    while (SessionLink* link = sessions_.getChain(bucket)) {
      OB_TCPSession* session = obQuery<OB_TCPSession>(link);
      if (session == nullptr) break;  // cannot happen: only sessions enter the hash
      if (handOn(session)) ++*open;
    }
  }
  // What finished before, then what was just handed on (in synchronous mode queueFinished has
  // handed each on already).
  while (getQueuedCount() > 0) {
    takeBatch(false);
    if (processBatch() == 0) break;
  }
}

int OB_StreamBuilder::pass() {
  // A synchronous pass runs on the packet road under the hash lock: it takes only what is
  // queued and never waits.
  takeBatch(synchronous_.load(std::memory_order_relaxed) == 0);
  processBatch();

  const uint64_t now = UTimeStamp::ConvertRawTimeStamp(UTimeStamp::GetTimeStamp()) / 1000000u;
  // Unsigned: a clock that went back also makes the sweep due.
  if (now - lastSweep_.load(std::memory_order_relaxed) <= kSweepSeconds) return 0;
  lastSweep_.store(now, std::memory_order_relaxed);
  const int packed = pack();
  if (packed < 0) throw OB_Exception(packed, "OB_StreamBuilder::pack()", __FILE__, __LINE__);
  const int poolPacked = m_pTCPSessionPool->pack();
  if (poolPacked < 0)
    throw OB_Exception(poolPacked, "m_pTCPSessionPool->pack()", __FILE__, __LINE__);
  return poolPacked;
}

int OB_StreamBuilder::processSession(OB_TCPSession* session) {
  session->finish();
  // Walked by links under the list's lock rather than with the list's shared cursor, which
  // other users of the list may move.
  OB_MutexHold hold(static_cast<OB_List<OB_Object>*>(this));
  for (OB_Link<OB_Object>* link = head_; link != nullptr; link = link->getNext()) {
    if (OB_Consumer* consumer = obQuery<OB_Consumer>(link->getItemObject()); consumer != nullptr)
      consumer->processObject(session);
  }
  return 0;
}

bool OB_StreamBuilder::isIdle(OB_TCPSession* session) {
  const uint16_t clientPort = session->client.xPort;
  const uint16_t serverPort = session->server.xPort;
  const bool ftp = clientPort == kFTPPort || serverPort == kFTPPort;
  const bool http = clientPort == kHTTPPort || serverPort == kHTTPPort;
  // A session between ports 21 and 80 is dropped by whichever limit it passes first.
  if (ftp && session->needToPack(kFTPIdleSeconds) != 0) return true;
  if (http && session->needToPack(kHTTPIdleSeconds) != 0) return true;
  return !ftp && !http && session->needToPack(kOtherIdleSeconds) != 0;
}

void OB_StreamBuilder::drop(OB_TCPSession* session) {
  sessions_.remove(session);
  ReleaseOnExit releaseSession(session);
  Stats::count(getTCPSessionStats()->sessionsReturned);
  if (session->timeout() != 0) {
    OB_Log::debug("Warning: Dropping timedout session!\n");
    return;
  }
  processSession(session);
}

int OB_StreamBuilder::pack() {
  for (int bucket = 0; bucket < kBuckets; ++bucket) {
    // One bucket at a time, so that the packet road waits at most for one bucket's sessions.
    OB_MutexHold hold(&sessions_);
    SessionLink* link = sessions_.getChain(bucket);
    while (link != nullptr) {
      SessionLink* following = link->getNext();
      OB_TCPSession* session = obQuery<OB_TCPSession>(link);
      if (session != nullptr && isIdle(session)) drop(session);
      link = following;
    }
  }
  return 0;
}

int OB_StreamBuilder::print(FILE* stream) {
  OB_MutexHold hold(&sessions_);
  for (int bucket = 0; bucket < kBuckets; ++bucket) {
    for (SessionLink* link = sessions_.getChain(bucket); link != nullptr; link = link->getNext()) {
      if (OB_TCPSession* session = obQuery<OB_TCPSession>(link); session != nullptr)
        session->print(stream);
    }
  }
  return 0;
}
