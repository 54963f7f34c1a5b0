// The capture engine's network statistics consumer, named "net": the packet manager's
// all-packets processor, so it counts every captured frame (before the server filter) into one
// OB_AllNetData record. Its own thread wakes every update interval (option "NetUpdateInterval",
// seconds, default 300), starts a fresh record, stamps the closed one with its end time and the
// capture engine's five interval counters, and hands it to every OB_ProtocolWriter in its list
// (the network archive writer, the analysis engine's network readers). It never parses sessions.
//
// Locks: the record lock (a plain mutex of its own) guards only which record is current; the
// capture thread holds it while it counts a frame, the update only while it swaps records. The
// consumer's OB_Mutex guards the writer list and is held while the writers run, so the capture
// thread never waits for a writer's disk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "records/OB_Consumer.h"

class OB_AllNetData;

class OB_NetConsumer : public OB_Consumer {
  OB_CLASS_IDENTITY(OB_NetConsumer, 0x2BE2BFAA, "OB_NetConsumer", OB_Consumer)
  OB_CLASS_CREATE(OB_NetConsumer)

 public:
  static constexpr int kDefaultUpdateInterval = 300;  // seconds

  // Name "net", no record yet; the update interval from the option "NetUpdateInterval" when it
  // is a positive number, else 300.
  OB_NetConsumer();
  OB_NetConsumer(const OB_NetConsumer&) = delete;
  OB_NetConsumer& operator=(const OB_NetConsumer&) = delete;
  // Releases the current record.
  ~OB_NetConsumer() override;

  // One frame, on the capture driver's thread: makes the record when there is none yet (the first
  // frame after construction), then counts the frame in it. Always 0.
  int processObject(OB_Object* object) override;
  // One update, on the consumer's thread (see the class comment). Every update hands exactly one
  // record to the writers, also when no frame came since the last one. 0.
  int doTask() override;
  // Start and stop the consumer's own thread.
  int start() override { return OB_Thread::start(); }
  int stop() override { return OB_Thread::stop(); }
  // The current record's print; nothing when there is none. 0.
  int print(FILE* stream) override;

  // Seconds between updates.
  int getUpdateInterval() const { return updateInterval_; }

 protected:
  // No session parsing: null.
  OB_Data* createProtocol() override { return nullptr; }
  // Calendar time, whole seconds; tests put the clock where they need it.
  virtual uint32_t now();
  // The record frames are counted into now (null before the first); for tests that check which
  // objects the packet road touches. Not to be dereferenced while frames may arrive.
  OB_AllNetData* peekRecord();

 private:
  // A new record for the period that starts at `start`, with the administration configuration;
  // null when the heap is exhausted.
  OB_AllNetData* newRecord(uint32_t start);

  int updateInterval_ = kDefaultUpdateInterval;
  std::mutex recordLock_;
  OB_AllNetData* current_ = nullptr;  // owned; guarded by recordLock_
};
