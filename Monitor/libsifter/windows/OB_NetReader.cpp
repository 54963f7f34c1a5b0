#include "windows/OB_NetReader.h"

#include "OB_Log.h"
#include "net/OB_AllNetData.h"
#include "windows/OB_IndexChanger.h"

OB_NetReader::OB_NetReader(OB_AEngineConfig* config_, OB_IndexChanger* window_)
    : OB_Stats(config_, window_),
      OB_ProtocolReader(config_, window_, "net"),
      OB_NetAnalysisStats(config_, window_) {}

int OB_NetReader::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == getClassID()) {
    *out = this;
    return 0;
  }
  if (OB_ProtocolReader::queryInterface(id, out) == 0) return 0;
  if (id == OB_NetAnalysisStats::getClassID()) {
    *out = static_cast<OB_NetAnalysisStats*>(this);
    return 0;
  }
  *out = nullptr;
  return -1;
}

int OB_NetReader::init() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  OB_ProtocolReader::init();
  OB_NetAnalysisStats::init();
  return 0;
}

int OB_NetReader::reset() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  OB_ProtocolReader::reset();
  OB_NetAnalysisStats::reset();
  return 0;
}

OB_Data* OB_NetReader::createProtocol() {
  OB_AllNetData* record = OB_AllNetData::create();
  return record;
}

int OB_NetReader::processObject(OB_Object* object) {
  OB_Data* record = obQuery<OB_AllNetData>(object);
  if (record == nullptr) return 0;
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  return countObject(record);
}

int OB_NetReader::countObject(OB_Data* data) {
  OB_AllNetData* record = obQuery<OB_AllNetData>(data);
  if (record == nullptr || !takesObject()) return 0;
  ++binsReceived;
  // A live record of an interval that ended after a static window closed, or a window some
  // periods back, would otherwise land in bin 0, which calcIndex gives for any time outside.
  uint32_t middle = record->xTime();
  if (middle < getReplayAgo() || middle >= getReplayNow()) {
    ++binsRejected;
    return 0;
  }
  const int bin = OB_Stats::getTimeWindow()->calcIndex(&middle);
  if (bin < 0) {
    ++binsRejected;
    return 0;
  }
  procStruct(bin, record);
  ++binsProcessed;
  return 0;
}
