// The common base of a time window's analysis readers (HTTP, FTP, network). Objects of one
// protocol reach the reader's processObject by two roads: its own thread replays the window's
// archive files up to the present and then stops itself, and the capture engine's consumer of
// the same protocol name hands it live objects on the capture engine's threads. The reader is
// also the protocol factory its archive reader reads records into.
//
// Each finished connection is counted once: from the archive when it was there as the reader
// joined its consumer (or moved its window), live when it came after. The cut between the two
// is the archive writer's end of file, taken under the consumer's lock, which orders the
// writer's appends and the hand-over to the reader: the first replay step takes it, and live
// objects that come before it are left to the replay (they are in the file by then).
//
// Every base is virtual, so a reader holds exactly one OB_Mutex: the lock of the reader, of its
// statistics, of its archive reader, of its queue and of its thread. Replay steps, window moves
// (the index changer calls reset, init and start under it) and console queries all take it.
//
// The capture never waits for that lock while another thread computes under it (a console
// ranking over a million clients takes far longer than a capture thread may stand still): a live
// object that finds the lock taken is queued as its archive bytes, the form the replay counts
// too, and counted in arrival order by the next holder that counts, before anything newer: a
// live object that gets the lock, a console query as it takes and as it leaves the lock, a replay
// step, or the cut. So a query sees every object handed over before it, and each is counted as
// it would have been had the capture waited for the lock. Past kMostDeferred bytes queued the
// capture waits as it used to.
//
// OB_Stats is a virtual base shared with a reader's statistics, so a derived reader's constructor
// names OB_Stats(config, window) as well. The archive reader is an ordinary base: there is only
// ever one, and so derived readers need not construct it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "OB_Event.h"
#include "OB_Queue.h"
#include "OB_Thread.h"
#include "archive/OB_ArchiveReader.h"
#include "records/OB_Consumer.h"
#include "records/OB_ProtocolFactory.h"
#include "records/OB_ProtocolWriter.h"
#include "stats/OB_Stats.h"

class OB_ProtocolReader : public virtual OB_Stats,
                          public OB_ArchiveReader,
                          public virtual OB_Processor,
                          public virtual OB_ProtocolWriter,
                          public virtual OB_Queue<OB_Object>,
                          public virtual OB_Event,
                          public virtual OB_ProtocolFactory,
                          public virtual OB_Thread,
                          public virtual OB_Mutex,
                          public virtual OB_Object {
 public:
  static OB_ClassID getClassID() { return 0x2A5A59F1; }
  const char* getClassName() override { return "OB_ProtocolReader"; }
  // Answers itself, OB_ProtocolWriter, OB_Processor, OB_ArchiveReader, OB_Mutex (so the index
  // changer moves it), OB_Thread, OB_Runnable and OB_Object.
  int queryInterface(OB_ClassID id, void** out) override;

  // config and window are not owned and outlive the reader; neither may be null. protocolName
  // is the archive prefix and the protocol's name; the pointer is kept, not copied (a literal).
  // The archive reader takes the configuration's database directory and the window's type and
  // bounds as they are now.
  OB_ProtocolReader(OB_AEngineConfig* config, OB_IndexChanger* window, const char* protocolName);
  OB_ProtocolReader(const OB_ProtocolReader&) = delete;
  OB_ProtocolReader& operator=(const OB_ProtocolReader&) = delete;
  // Touches neither the configuration nor the window, which may be gone by then. Never runs
  // while the replay thread lives: its loop holds a reference.
  ~OB_ProtocolReader() override;

  // Under the reader's lock: finds and opens the archive files of the window. 0.
  int init() override;
  // Under the reader's lock: the window's present bounds into the archive reader, startTime the
  // present, the replay count 0, and the event signalled so a waiting thread wakes. Derived
  // readers rebuild their statistics in their own reset/init. 0.
  int reset() override;
  // Stops the replay thread (it does not wait for it) and wakes anything waiting on the event.
  // 0.
  int stop() override;

  // Analyses one object. Derived readers take the reader's lock themselves, since the capture
  // engine calls them without it. 0 in this base.
  int processObject(OB_Object* object) override;
  // Non-zero when the reader wants the sessions of that server (host order). 0 in this base.
  int isMatch(uint32_t serverIP, uint16_t serverPort) override;
  const char* getProtocolName() override { return protocolName; }
  // The empty record the archive reader reads into (one reference for the caller), or null.
  // Each derived reader supplies its own.
  OB_Data* createProtocol() override = 0;

  // The reader has been appended to consumer's writers; called under the consumer's lock.
  // Null: the reader was taken off it. When the consumer has an archive writer, live objects
  // are left to the replay until the next replay step takes the cut; without one they are
  // counted from here on.
  void joinConsumer(OB_Consumer* consumer);
  // Under the lock of the consumer the reader has joined: the archive bytes (recordBytes) of
  // records that consumer handed over while no reader of this protocol listened, oldest first.
  // They are counted before anything handed over since, as queued live objects are (and, like
  // them, left to the replay while a cut is pending).
  void takeGap(const std::deque<std::string>& records);
  // A record's archive bytes, the form queued records and the replay share. False when they
  // could not be made (no memory).
  static bool recordBytes(OB_Data* record, std::string* out);

  // A console query's hold of the reader: its lock, with what the capture queued meanwhile
  // counted first; unlockAfterQuery counts what came during the query and lets the lock go.
  // They pair as lock and unlock do (OB_ReaderQueryHold holds them for a scope).
  void lockForQuery();
  void unlockAfterQuery();
  // Live objects queued because the lock was taken, since construction; read at any time.
  uint64_t getDeferredCount() const { return deferredCount.load(std::memory_order_relaxed); }

  // Seconds since 1970: construction or the last reset.
  uint32_t getStartTime();
  // Replayed records handed to processObject since construction or the last reset.
  uint32_t getReplayCount();
  // The window the reader counts, [getReplayAgo(), getReplayNow()) in seconds, as the last
  // construction or reset took it; read under the reader's lock.
  uint32_t getReplayAgo() const { return replayAgo; }
  uint32_t getReplayNow() const { return replayNow; }

 protected:
  // One replay step (a few records) on the reader's own thread, wholly under the reader's lock,
  // so a window move never changes the files or bounds in the middle of a step. Records in
  // [agoTime, nowTime) are analysed, up to the cut (see the class comment). The replay ends
  // past the window's end, at the cut, or at the end of what the file being written holds. 0.
  int doTask() override;
  // Under the reader's lock, for a derived processObject: false for a live object that the
  // replay will count from the archive (one that came before the cut was taken).
  bool takesObject() const { return replaying || !cutPending; }
  // For a derived processObject, on any thread, the reader's lock not needed: counts record by
  // countObject under the lock, or, when another thread holds it, queues record's bytes to be
  // counted later (see the class comment). record is not kept. 0.
  int handOver(OB_Data* record);
  // Under the reader's lock: counts one replayed or live record. 0 in this base.
  virtual int countObject(OB_Data* record);

 private:
  // Records replayed in one step at most.
  static constexpr int kRecordsPerStep = 64;
  // Bytes of live records queued at most while the lock is taken (a few seconds of a busy
  // segment's connections).
  static constexpr size_t kMostDeferred = size_t{32} << 20;
  // Under the lock, not in a replay step: counts the queued records, oldest first.
  void countDeferred();
  // Lets the lock go, then counts what was queued while it was held, unless another thread
  // holds it by then (that one counts it).
  void releaseCounting();
  // Replays the next record; -1 when the step should end (stopped, caught up, or no record now).
  int replayOne();
  // Under the consumer's lock and then the reader's: the archive writer's end of file as the
  // cut, or none when the consumer has no archive writer.
  void takeCut();
  // Whether the record just read lies past the cut (it came live).
  bool pastCut();

  const char* protocolName;  // not owned
  uint32_t startTime = 0;    // under the lock
  uint32_t replayCount = 0;  // under the lock
  // The window replayed, [replayAgo, replayNow) in seconds; under the lock.
  uint32_t replayAgo = 0;
  uint32_t replayNow = 0;
  // Under the lock. Without a consumer, or without an archive writer on it, the file still
  // being written is replayed up to the reader's start time.
  OB_Consumer* consumer = nullptr;  // not owned
  bool consumerArchives = false;  // the consumer has an archive writer: its objects are cut
  bool cutPending = false;
  bool cutKnown = false;
  uint32_t cutOpenTime = 0;  // the open time of the file the writer had at the cut
  int64_t cutLength = 0;     // that file's length then
  bool replaying = false;    // processObject is called by the replay
  std::mutex deferLock;              // guards deferred and deferredBytes
  std::deque<std::string> deferred;  // archive bytes of live records, oldest first
  size_t deferredBytes = 0;
  std::atomic<size_t> deferredWaiting{0};  // deferred.size(), for a look without deferLock
  std::atomic<uint64_t> deferredCount{0};
};

// Holds a reader for a console query (lockForQuery to unlockAfterQuery); null holds nothing.
class OB_ReaderQueryHold {
 public:
  explicit OB_ReaderQueryHold(OB_ProtocolReader* reader) : reader_(reader) {
    if (reader_ != nullptr) reader_->lockForQuery();
  }
  ~OB_ReaderQueryHold() {
    if (reader_ != nullptr) reader_->unlockAfterQuery();
  }
  OB_ReaderQueryHold(const OB_ReaderQueryHold&) = delete;
  OB_ReaderQueryHold& operator=(const OB_ReaderQueryHold&) = delete;

 private:
  OB_ProtocolReader* reader_;  // not owned
};
