#include "windows/OB_ProtocolReader.h"

#include <ctime>

#include "archive/OB_ArchiveWriter.h"
#include "config/OB_AEngineConfig.h"
#include "records/OB_Data.h"
#include "windows/OB_IndexChanger.h"

namespace {
uint32_t presentTime() { return static_cast<uint32_t>(time(nullptr)); }
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
    cutPending = consumer != nullptr;
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

int OB_ProtocolReader::isMatch(uint32_t /*serverIP*/, uint16_t /*serverPort*/) { return 0; }

void OB_ProtocolReader::joinConsumer(OB_Consumer* joined) {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  consumer = joined;
  cutPending = joined != nullptr;
  cutKnown = false;
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
    if (cutPending && consumer == joined) takeCut();
  }
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
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

  const uint32_t when = record->xTime();
  int result = 0;
  if (cutKnown ? pastCut() : isOldData() == 0 && when >= startTime) {
    // What was written after the cut (or, with no cut, what finished after the reader started)
    // was handed to it live.
    stop();
    result = -1;
  } else if (when >= replayAgo && when < replayNow) {
    ++replayCount;
    replaying = true;
    processObject(record);
    replaying = false;
  }
  // The derived reader's factory may hand out one reused record.
  record->reset();
  record->release();
  return result;
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
