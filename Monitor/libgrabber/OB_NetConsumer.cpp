#include "OB_NetConsumer.h"

#include <sys/time.h>

#include <climits>
#include <cstdlib>

#include "OB_CaptureEngineStats.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_Tools.h"
#include "net/OB_AllNetData.h"
#include "records/OB_ProtocolWriter.h"

OB_NetConsumer::OB_NetConsumer() {
  name = "net";
  if (OB_NamedStringList* options = getOptions(); options != nullptr) {
    if (OB_String* value = options->find("NetUpdateInterval"); value != nullptr) {
      // strtol rather than atoi: a value past the int range must not be undefined. Zero,
      // negative and unreadable values keep the default.
      long seconds = strtol(static_cast<const char*>(*value), nullptr, 10);
      if (seconds > 0 && seconds <= INT_MAX) updateInterval_ = static_cast<int>(seconds);
    }
  }
  setSleepInterval(updateInterval_);
}

OB_NetConsumer::~OB_NetConsumer() {
  std::lock_guard<std::mutex> hold(recordLock_);
  obRelease(current_);
  current_ = nullptr;
}

uint32_t OB_NetConsumer::now() {
  struct timeval time {};
  OB_Tools::gettimeofday(&time, nullptr);
  return static_cast<uint32_t>(time.tv_sec);
}

OB_AllNetData* OB_NetConsumer::newRecord(uint32_t start) {
  OB_AllNetData* record = OB_AllNetData::create();
  if (record == nullptr) return nullptr;
  record->setConfig(manager != nullptr ? manager->getConfigAdmin() : nullptr);
  record->startTime = start;
  return record;
}

int OB_NetConsumer::processObject(OB_Object* object) {
  std::lock_guard<std::mutex> hold(recordLock_);
  if (current_ == nullptr) current_ = newRecord(now());
  if (current_ != nullptr) current_->processObject(object);
  return 0;
}

int OB_NetConsumer::doTask() {
  const uint32_t at = now();
  OB_AllNetData* fresh = newRecord(at);
  OB_AllNetData* closed = nullptr;
  {
    std::lock_guard<std::mutex> hold(recordLock_);
    closed = current_;
    current_ = fresh;
  }
  // No frame since construction: the interval still gets its record, so the capture counters
  // taken below reach the writers.
  if (closed == nullptr) closed = newRecord(at);
  if (closed == nullptr) OB_Log::quit("OB_NetConsumer::doTask: no memory");

  closed->stopTime = at;
  // Each counter is read and zeroed in one step, so a frame counted meanwhile on the capture
  // thread lands in this interval or the next, never in neither.
  if (OB_CaptureEngineStats* stats = getCaptureEngineStats(); stats != nullptr) {
    stats->takeValue(OB_CaptureEngineStats::kPacksSeen, &closed->packsSeen);
    stats->takeValue(OB_CaptureEngineStats::kBytesSeen, &closed->bytesSeen);
    stats->takeValue(OB_CaptureEngineStats::kReportedDropped, &closed->reportedDropped);
    stats->takeValue(OB_CaptureEngineStats::kPacksAccepted, &closed->packsAccepted);
    stats->takeValue(OB_CaptureEngineStats::kBytesAccepted, &closed->bytesAccepted);
  }

  {
    OB_MutexHold hold(this);
    // Links are walked directly: a writer need not answer OB_Object's identifier, which would
    // end a walk by the list's cursor early.
    first();
    for (Link* link = getCurrentLink(); link != nullptr; link = link->getNext()) {
      OB_ProtocolWriter* writer = obQuery<OB_ProtocolWriter>(link->getItemObject());
      if (writer != nullptr) writer->processObject(closed);
    }
  }
  closed->release();
  return 0;
}

OB_AllNetData* OB_NetConsumer::peekRecord() {
  std::lock_guard<std::mutex> hold(recordLock_);
  return current_;
}

int OB_NetConsumer::print(FILE* stream) {
  std::lock_guard<std::mutex> hold(recordLock_);
  if (current_ != nullptr) current_->print(stream);
  return 0;
}
