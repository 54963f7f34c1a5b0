// The capture engine's stream builder: turns the captured TCP packets that the packet manager
// accepted into TCP sessions kept in one hash, queues every finished session and, on its own
// thread, offers it to the consumers; the same thread drops sessions that stay idle too long.
// Finished sessions go over in batches: the packet road wakes the thread only once
// kHandOverBatch of them, or kHandOverBytes of their payloads, wait (or when the thread is
// stopped); otherwise the thread looks every kHandOverWaitMs. Each pass hands on everything
// queued when it began. So a busy road pays one wake-up per batch, not one per session, and on
// one core the thread works through a whole batch in its turn instead of one session per turn.
// The capture engine manager creates one, makes it a processor of the packet manager and a member
// of its thread list, and appends the consumers to its list.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "OB_List.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "OB_Thread.h"
#include "pool/OB_LinkedHash.h"
#include "pool/OB_MemoryPool.h"
#include "tcp/OB_PooledTCPSession.h"
#include "tcp/OB_TCPSession.h"

class OB_EngineMgr;
class OB_Packet;

// Told about a subject each time its manager notifies. The interfaces below have no identifier
// of their own: they are reached through the typed pointers handed to addListener.
template <class T>
class OB_Listener : public virtual OB_Object {
 public:
  virtual int notify(T* /*subject*/) { return 0; }
};

// An optional list of listeners (not owned) that are told about a subject in the order they were
// added. The list's own lock guards it, so listeners may come and go while subjects are notified;
// a listener may add or remove listeners from its notify.
template <class T>
class OB_ListenerManager : public virtual OB_Object {
 public:
  OB_ListenerManager() = default;
  OB_ListenerManager(const OB_ListenerManager&) = delete;
  OB_ListenerManager& operator=(const OB_ListenerManager&) = delete;

  // Appends the listener (null refused with -1); 0.
  virtual int addListener(OB_Listener<T>* listener) {
    if (listener == nullptr) return -1;
    OB_MutexHold hold(&listenerLock_);
    listeners_.push_back(listener);
    hasListeners_.store(1, std::memory_order_release);
    return 0;
  }
  // Takes the listener out when it is there; 0 either way.
  virtual int removeListener(OB_Listener<T>* listener) {
    OB_MutexHold hold(&listenerLock_);
    for (size_t i = 0; i < listeners_.size(); ++i) {
      if (listeners_[i] == listener) {
        listeners_.erase(listeners_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    hasListeners_.store(listeners_.empty() ? 0 : 1, std::memory_order_release);
    return 0;
  }
  // Calls every listener's notify in list order; the last one's result (0 with none). Runs on
  // the packet road, so without listeners it takes no lock.
  virtual int notifyListeners(T* subject) {
    if (hasListeners_.load(std::memory_order_acquire) == 0) return 0;
    OB_MutexHold hold(&listenerLock_);
    int result = 0;
    // By index, re-checked each step: a listener may change the list from its notify.
    for (size_t i = 0; i < listeners_.size(); ++i) result = listeners_[i]->notify(subject);
    return result;
  }

 private:
  OB_Mutex listenerLock_;
  std::vector<OB_Listener<T>*> listeners_;  // not owned
  std::atomic<int> hasListeners_{0};
};

// A diagnostic listener: prints every session it is told about to the standard error stream.
class OB_SessionDebugListener : public OB_Listener<OB_TCPSession>, public virtual OB_Object {
 public:
  OB_SessionDebugListener() = default;
  int notify(OB_TCPSession* session) override;
};

class OB_StreamBuilder : public virtual OB_Thread,
                         public virtual OB_List<OB_Object>,
                         public OB_ListenerManager<OB_TCPSession>,
                         public virtual OB_Processor,
                         public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_StreamBuilder, 0x2BE2BFA8, "OB_StreamBuilder", OB_Thread,
                    OB_List<OB_Object>, OB_Processor)

 public:
  static constexpr int kBuckets = 4093;
  static constexpr int kDefaultSessionPools = 4096;
  static constexpr int kDefaultSessionsPerPool = 64;
  // Idle limits of the sweep, in seconds: FTP control connections may rest long between
  // commands; HTTP connections may not. Sessions on other ports get the longer limit, so a
  // session whose end was never seen cannot hold its pool slot for ever.
  static constexpr int kFTPIdleSeconds = 3600;
  static constexpr int kHTTPIdleSeconds = 60;
  static constexpr int kOtherIdleSeconds = 3600;
  // The sweep runs when more than this many seconds of the driver clock have passed since the
  // last one.
  static constexpr uint64_t kSweepSeconds = 60;
  // Finished sessions, or payload bytes held by them, that wake the stream builder's thread;
  // fewer wait at most kHandOverWaitMs.
  static constexpr size_t kHandOverBatch = 16;
  static constexpr uint64_t kHandOverBytes = 64 << 10;
  static constexpr int kHandOverWaitMs = 50;
  // How long the packet road waits for a thread that takes nothing before it goes on.
  static constexpr int kStalledMs = 1000;

  // Reads "SessionPools" and "SessionsPerPool" from the process option list (poolOption_count:
  // a missing, zero or non-numeric value keeps the default, one out of the machine's bounds too,
  // logged) and makes the session pool; the process ends with a message when it cannot.
  // manager: not owned, may be null (tests).
  explicit OB_StreamBuilder(OB_EngineMgr* manager = nullptr);
  OB_StreamBuilder(const OB_StreamBuilder&) = delete;
  OB_StreamBuilder& operator=(const OB_StreamBuilder&) = delete;
  // Releases the queued sessions and those still in the hash, then deletes the pool.
  ~OB_StreamBuilder() override;

  // Allocates, constructs with the manager and calls init; null when the heap is exhausted.
  static OB_StreamBuilder* create(OB_EngineMgr* manager);

  // Non-zero: every finished session is handed to the consumers at once, on the packet's thread
  // and under the hash lock, instead of by the stream builder's thread. For tests and tools.
  virtual int setSynchronous(int on);
  // For a replay, which must lose nothing and may wait where a live capture may not: while more
  // than `bytes` of payload are held by finished sessions that this thread has not yet taken,
  // the packet road waits for it (outside the hash lock), so that on one core the road cannot
  // run ahead of the consumers and fill the memory. A thread that takes nothing for
  // kStalledMs is not waited for again until it takes a batch. 0 (the default): the road never
  // waits. 0.
  virtual int setHandOverLimit(uint64_t bytes);
  uint64_t getHandOverLimit() const { return handOverLimit_.load(std::memory_order_relaxed); }
  // One TCP packet, under the hash lock: finds its session in either direction, or makes one for
  // a SYN (handing on a held session whose addresses a new connection reuses). A session cut
  // off at the byte limit is handed on and a session that continues it takes its place. 0 for a
  // packet taken, counted as extraneous (no session and no SYN) or counted as without memory
  // (no free session: the packet road never waits for one); -1 when its session refused it (the
  // session is dropped unseen by the consumers); any other result of the session is passed on.
  // In synchronous mode, the code of an OB_Exception raised while the finished session was
  // handed on (it is printed to the standard error stream). Then, with a hand-over limit, waits
  // as setHandOverLimit says.
  virtual int processTCPPacket(OB_Packet* packet);

  // The packet entry (capture driver's thread): -1 for an object that is no packet or an IP
  // packet that is not TCP, 0 for a packet that is not IP, else processTCPPacket's result.
  int processObject(OB_Object* object) override;
  // One pass of the stream builder's thread: waits (up to kHandOverWaitMs) for a batch of
  // finished sessions, hands on every one queued, and sweeps when due. An OB_Exception raised
  // in the pass is logged and stops the capture engine (the engine manager's thread list, or
  // this thread alone without a manager); its code is returned.
  int doTask() override;
  // Stops the thread and wakes it from its wait for a batch.
  int stop() override;
  // Every session of every bucket, bucket 0 first, under the hash lock. 0.
  int print(FILE* stream) override;

  // At a stop, once this thread's loop has ended (join) and the packet road is stopped: hands
  // every session still in the hash on as the idle sweep would (one that cannot be completed,
  // without a client SYN, is released), then every finished session not yet handed on, to the
  // consumers on the calling thread, so that nothing captured before the stop is lost. *open:
  // the sessions taken from the hash and handed on; *queued: those that had finished before.
  // Raises what a consumer raises (the sessions not yet handed on wait for the destructor).
  virtual void handOnAll(int* open, int* queued);

  // Sessions in the hash now.
  int getSessionCount() { return sessions_.getCount(); }
  // Finished sessions not yet handed on (queued, or taken by a pass that has not reached them).
  int getQueuedCount() { return queued_.load(std::memory_order_acquire); }
  OB_MemoryPool<OB_PooledTCPSession>* getSessionPool() { return m_pTCPSessionPool; }

 protected:
  // The idle sweep: every bucket in turn under the hash lock, dropping the sessions idle past
  // their limit (a dropped session that could be completed goes to the consumers). 0.
  virtual int pack();
  // Finishes the session and offers it to every consumer of the list, in list order. 0.
  virtual int processSession(OB_TCPSession* session);

 private:
  using SessionLink = OB_Link<OB_Object>;

  // processTCPPacket's work under the hash lock.
  int takePacket(OB_Packet* packet);
  // Outside the hash lock: waits while the finished sessions not yet taken hold more than the
  // hand-over limit, the thread is not stopped and it takes batches (see setHandOverLimit).
  void awaitHandOver(uint64_t limit);
  // doTask's work; raises OB_Exception when a sweep fails or a consumer raised one (the
  // sessions of the batch not yet handed on then wait for the next pass).
  int pass();
  // Hands on every session of the batch (after those an interrupted pass left there); the
  // sessions handed on.
  int processBatch();
  // Under handOverLock_: whether the queued sessions make a batch.
  bool isBatchReady() const {
    return finished_.size() >= kHandOverBatch ||
           queuedBytes_.load(std::memory_order_relaxed) >= kHandOverBytes;
  }
  // Takes what is queued into batch_ (behind what an interrupted pass left there); waits first
  // when wait is set and fewer than a batch are queued.
  void takeBatch(bool wait);
  // The session of the packet's connection in the bucket, either direction; null when none.
  OB_TCPSession* findSession(int bucket, OB_Packet* packet);
  // Whether the sweep drops this session now.
  static bool isIdle(OB_TCPSession* session);
  // Takes the session out of the hash, times it out, hands a completed one on, releases it.
  void drop(OB_TCPSession* session);
  // A reset session from the pool, entered into the bucket; null when the pool is exhausted
  // (*full set) or the hash refused it.
  OB_TCPSession* newSession(int bucket, bool* full);
  // On the packet road: takes a finished session out of the hash and queues it for the
  // consumers (handing it on at once in synchronous mode). ends: the connection ends with it
  // (not a piece cut off at the byte limit whose rest goes on), counted as returned.
  void queueFinished(OB_TCPSession* session, bool ends = true);
  // Under the hash lock: gives up a session still in the hash as the idle sweep would, queueing
  // it when it can be completed (true) and releasing it otherwise.
  bool handOn(OB_TCPSession* session);
  // After an exception in a pass: stops the manager's threads (or this one alone).
  void stopEngine();

  // The open sessions, chained through their own links; not owning (the hash lock, taken for a
  // whole packet on the packet road and for one bucket at a time by the sweep, is its base).
  OB_LinkedHash<OB_TCPSession, SessionLink> sessions_{kBuckets, 0};
  OB_MemoryPool<OB_PooledTCPSession>* m_pTCPSessionPool = nullptr;  // owned
  OB_EngineMgr* engineMgr_ = nullptr;                                // not owned
  // Finished sessions on their way from the packet road to this thread, oldest first; each holds
  // the one reference that its session had in the hash. finished_ and handOverWaiting_ are
  // guarded by handOverLock_; batch_ and batchNext_ belong to whichever pass runs (the thread's,
  // or a synchronous one on the packet road under the hash lock). The two vectors swap, so
  // their room is made once and reused.
  std::mutex handOverLock_;
  std::condition_variable handOverReady_;  // wakes the thread for a batch
  std::condition_variable handOverTaken_;  // wakes the packet road waiting for the thread
  std::vector<OB_TCPSession*> finished_;
  bool handOverWaiting_ = false;
  bool roadWaiting_ = false;
  // Payload bytes of the sessions in finished_: written under handOverLock_, read without it
  // by the packet road to see whether it must wait.
  std::atomic<uint64_t> queuedBytes_{0};
  std::atomic<uint64_t> handOverLimit_{0};
  uint64_t batchesTaken_ = 0;  // under handOverLock_
  // Under handOverLock_: batchesTaken_ when the road last gave up waiting for a thread that took
  // nothing; the road does not wait while it stays so.
  uint64_t stalledAt_ = UINT64_MAX;
  std::vector<OB_TCPSession*> batch_;
  size_t batchNext_ = 0;
  uint64_t stops_ = 0;  // stop() calls, under handOverLock_: a waiting pass returns at once
  std::atomic<int> queued_{0};
  std::atomic<uint64_t> lastSweep_{0};  // driver clock, whole seconds
  std::atomic<int> synchronous_{0};
};
