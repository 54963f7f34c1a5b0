#include "windows/OB_ProtocolReader.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "OB_Log.h"
#include "archive/OB_ArchiveWriter.h"
#include "config/OB_AEngineConfig.h"
#include "records/OB_Data.h"
#include "windows/OB_IndexChanger.h"

namespace {
uint32_t presentTime() { return static_cast<uint32_t>(time(nullptr)); }

// The record's archive bytes, as the archive writer appends them.
bool archiveBytes(OB_Data* record, std::string* out) {
  char* bytes = nullptr;
  size_t size = 0;
  FILE* memory = open_memstream(&bytes, &size);
  if (memory == nullptr) return false;
  const bool written = record->write(memory) == 0;
  const bool made = fclose(memory) == 0 && written;
  if (made) out->assign(bytes, size);
  free(bytes);
  return made;
}

// Reads bytes into record as the archive reader reads a record from its file.
bool readArchiveBytes(const std::string& bytes, OB_Data* record) {
  if (bytes.empty()) return false;
  FILE* memory = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
  if (memory == nullptr) return false;
  const bool read = record->read(memory) == 0;
  fclose(memory);
  return read;
}
}  // namespace

OB_ProtocolReader::OB_ProtocolReader(OB_AEngineConfig* config_, OB_IndexChanger* window_,
                                     const char* protocolName_)
    : OB_Stats(config_, window_),
      OB_Thread(nullptr, nullptr),
      OB_ArchiveReader(nullptr, config_->databaseDir, protocolName_, window_->getWindowType(),
                       window_->getNowTime(), window_->getAgoTime()),
      protocolName(protocolName_),
      replayAgo(window_->getAgoTime()),
      replayNow(window_->getNowTime()) {
  setProtocolFactory(static_cast<OB_ProtocolFactory*>(this));
  startTime = presentTime();
}

// Nothing of reset is needed by an object that goes, and its window may be gone already: the
// replay thread gives up the last reference after its joiner has returned.
OB_ProtocolReader::~OB_ProtocolReader() = default;

int OB_ProtocolReader::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == getClassID()) {
    *out = this;
  } else if (id == OB_ProtocolWriter::getClassID()) {
    *out = static_cast<OB_ProtocolWriter*>(this);
  } else if (id == OB_Processor::getClassID()) {
    *out = static_cast<OB_Processor*>(this);
  } else if (id == OB_ArchiveReader::getClassID()) {
    *out = static_cast<OB_ArchiveReader*>(this);
  } else if (id == OB_Mutex::getClassID()) {
    *out = static_cast<OB_Mutex*>(this);
  } else if (id == OB_Thread::getClassID()) {
    *out = static_cast<OB_Thread*>(this);
  } else if (id == OB_Runnable::getClassID()) {
    *out = static_cast<OB_Runnable*>(this);
  } else if (id == OB_Object::getClassID()) {
    *out = static_cast<OB_Object*>(this);
  } else {
    *out = nullptr;
    return -1;
  }
  return 0;
}

int OB_ProtocolReader::init() {
  // The replay step reads the archive under this lock; init closes and reopens its files.
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  OB_ArchiveReader::init();
  return 0;
}

int OB_ProtocolReader::reset() {
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    replayAgo = window->getAgoTime();
    replayNow = window->getNowTime();
    setAgoTime(replayAgo);
    setNowTime(replayNow);
    startTime = presentTime();
    replayCount = 0;
    // The new window's statistics are counted afresh: a new cut, from the next replay step.
    cutPending = consumer != nullptr && consumerArchives;
    cutKnown = false;
  }
  signal();
  getEvent()->signal();
  return 0;
}

int OB_ProtocolReader::stop() {
  OB_Thread::stop();
  // The queue's event and the archive reader's wake-up for a wait on files to come.
  signal();
  getEvent()->signal();
  return 0;
}

int OB_ProtocolReader::processObject(OB_Object* /*object*/) { return 0; }

int OB_ProtocolReader::countObject(OB_Data* /*record*/) { return 0; }

int OB_ProtocolReader::handOver(OB_Data* record) {
  if (tryLock()) {
    // Free, or this thread's own: a replay step counts its record within the step.
    if (replaying) {
      const int result = countObject(record);
      unlock();
      return result;
    }
    countDeferred();
    const int result = countObject(record);
    releaseCounting();
    return result;
  }
  std::string bytes;
  bool queued = false;
  if (archiveBytes(record, &bytes)) {
    std::lock_guard<std::mutex> guard(deferLock);
    if (deferredBytes + bytes.size() <= kMostDeferred) {
      deferredBytes += bytes.size();
      deferred.push_back(std::move(bytes));
      deferredWaiting.store(deferred.size());
      queued = true;
    }
  }
  if (!queued) {
    // Too much queued already (or no memory for the bytes): wait, as every object once did.
    lock();
    countDeferred();
    const int result = countObject(record);
    releaseCounting();
    return result;
  }
  deferredCount.fetch_add(1, std::memory_order_relaxed);
  // The holder may have let go between the first try and the queueing; then nobody else counts.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (tryLock()) {
    if (!replaying) countDeferred();
    releaseCounting();
  }
  return 0;
}

void OB_ProtocolReader::countDeferred() {
  if (replaying) return;
  for (;;) {
    std::string bytes;
    {
      std::lock_guard<std::mutex> guard(deferLock);
      if (deferred.empty()) return;
      bytes = std::move(deferred.front());
      deferred.pop_front();
      deferredBytes -= bytes.size();
      deferredWaiting.store(deferred.size());
    }
    OB_Data* record = createProtocol();
    if (record == nullptr) OB_Log::quit("%s reader: no memory for a queued record", protocolName);
    if (readArchiveBytes(bytes, record)) {
      countObject(record);
    } else {
      OB_Log::ret("%s reader: a queued record could not be read back; it is not counted",
                  protocolName);
    }
    record->reset();
    record->release();
  }
}

void OB_ProtocolReader::releaseCounting() {
  unlock();
  // A record queued while this thread held the lock: the thread that queued it found the lock
  // taken, and may have tried again before the unlock.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  while (deferredWaiting.load() > 0 && tryLock()) {
    countDeferred();
    unlock();
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
}

void OB_ProtocolReader::lockForQuery() {
  lock();
  countDeferred();
}

void OB_ProtocolReader::unlockAfterQuery() {
  countDeferred();
  releaseCounting();
}

int OB_ProtocolReader::isMatch(uint32_t /*serverIP*/, uint16_t /*serverPort*/) { return 0; }

void OB_ProtocolReader::joinConsumer(OB_Consumer* joined) {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  // What the old consumer handed over is decided by the cut it came under.
  countDeferred();
  consumer = joined;
  // Without an archive writer nothing the consumer hands over reaches a file the replay could
  // read: everything from the join on is counted live.
  consumerArchives = false;
  if (joined != nullptr) {
    joined->first();
    for (OB_Consumer::Link* link = joined->getCurrentLink(); link != nullptr && !consumerArchives;
         link = link->getNext())
      consumerArchives = obQuery<OB_ArchiveWriter>(link->getItemObject()) != nullptr;
  }
  cutPending = consumerArchives;
  cutKnown = false;
}

void OB_ProtocolReader::takeGap(const std::deque<std::string>& records) {
  if (records.empty()) return;
  {
    std::lock_guard<std::mutex> guard(deferLock);
    // Older than anything queued so far: they were handed over before this reader listened.
    size_t bytes = 0;
    for (const std::string& record : records) bytes += record.size();
    deferred.insert(deferred.begin(), records.begin(), records.end());
    deferredBytes += bytes;
    deferredWaiting.store(deferred.size());
  }
  if (tryLock()) {
    if (!replaying) countDeferred();
    releaseCounting();
  }
}

bool OB_ProtocolReader::recordBytes(OB_Data* record, std::string* out) {
  return archiveBytes(record, out);
}

uint32_t OB_ProtocolReader::getStartTime() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  return startTime;
}

uint32_t OB_ProtocolReader::getReplayCount() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  return replayCount;
}

int OB_ProtocolReader::doTask() {
  OB_Consumer* joined = nullptr;
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    if (cutPending) joined = consumer;
  }
  if (joined != nullptr) {
    // The consumer's lock first, as its hand-over takes them.
    OB_MutexHold consumerHold(joined);
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    // Queued objects came before the cut, under the consumer's lock held now: they are the
    // replay's, as they would have been had they waited for the lock.
    countDeferred();
    if (cutPending && consumer == joined) takeCut();
  }
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  countDeferred();
  // A window move or a new consumer in between: the next step takes the cut.
  if (cutPending) return 0;
  // A few records a step: the thread yields the processor between steps, which would otherwise
  // cost more than the record, and live objects still wait for at most one short step.
  for (int record = 0; record < kRecordsPerStep; ++record)
    if (replayOne() != 0) break;
  return 0;
}

int OB_ProtocolReader::replayOne() {
  // A stop that came between records: reading now would consume a record nobody analyses.
  if (isRunning() == 0) return -1;
  if (OB_List<OB_Object>::getCount() > 0 || isDone() != 0) {
    stop();
    return -1;
  }

  OB_ArchiveHeader* before = getCurrentHeader();
  OB_Data* record = OB_ArchiveReader::read();
  if (record == nullptr) {
    // Past the window's end, or at the end of what the writer has put in the file it is still
    // writing: what comes later arrives live. A null that only moved on to the next file (the
    // open one included) goes on reading.
    if (isDone() != 0 || (isOldData() == 0 && getCurrentHeader() == before)) stop();
    return -1;
  }

  // The derived reader's factory may hand out one reused record: given back however the step
  // ends.
  struct Given {
    OB_Data* record;
    ~Given() {
      record->reset();
      record->release();
    }
  } given{record};
  const uint32_t when = record->xTime();
  if (cutKnown ? pastCut() : isOldData() == 0 && when >= startTime) {
    // What was written after the cut (or, with no cut, what finished after the reader started)
    // was handed to it live.
    stop();
    return -1;
  }
  if (when >= replayAgo && when < replayNow) {
    ++replayCount;
    // Cleared however processObject ends: left set, every live object would be counted as the
    // replay's own and nothing queued would ever be counted again.
    struct Mark {
      bool& flag;
      explicit Mark(bool& replayFlag) : flag(replayFlag) { flag = true; }
      ~Mark() { flag = false; }
    } mark(replaying);
    processObject(record);
  }
  return 0;
}

void OB_ProtocolReader::takeCut() {
  cutPending = false;
  cutKnown = false;
  // Links are walked directly, as the consumer does: a member's item face may be null.
  consumer->first();
  for (OB_Consumer::Link* link = consumer->getCurrentLink(); link != nullptr;
       link = link->getNext()) {
    OB_ArchiveWriter* writer = obQuery<OB_ArchiveWriter>(link->getItemObject());
    if (writer == nullptr) continue;
    cutKnown = true;
    if (!writer->getEnd(&cutOpenTime, &cutLength)) {
      // No file now: every file there is was finished before the cut, one begun later is not.
      cutOpenTime = presentTime();
      cutLength = 0;
    }
    return;
  }
}

bool OB_ProtocolReader::pastCut() {
  OB_ArchiveHeader* header = getCurrentHeader();
  if (header == nullptr) return false;
  const uint32_t opened = header->openTime();
  return opened > cutOpenTime || (opened == cutOpenTime && getRecordEnd() > cutLength);
}
