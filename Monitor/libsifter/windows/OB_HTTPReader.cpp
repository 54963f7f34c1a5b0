#include "windows/OB_HTTPReader.h"

#include "OB_Log.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "http/OB_HTTPProtocol.h"
#include "windows/OB_IndexChanger.h"

OB_HTTPReader::OB_HTTPReader(OB_AEngineConfig* config_, OB_IndexChanger* window_)
    : OB_Stats(config_, window_),
      OB_ProtocolReader(config_, window_, "http"),
      OB_HTTPAnalysisStats(config_, window_) {}

OB_HTTPReader::~OB_HTTPReader() {
  // The replay step may still hold the record: reset first, so its chain goes back to its pool.
  if (protocol != nullptr) protocol->reset();
  obRelease(protocol);
}

int OB_HTTPReader::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == getClassID()) {
    *out = this;
    return 0;
  }
  if (OB_ProtocolReader::queryInterface(id, out) == 0) return 0;
  if (id == OB_HTTPAnalysisStats::getClassID()) {
    *out = static_cast<OB_HTTPAnalysisStats*>(this);
    return 0;
  }
  *out = nullptr;
  return -1;
}

int OB_HTTPReader::init() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  OB_ProtocolReader::init();
  OB_HTTPAnalysisStats::init();
  return 0;
}

int OB_HTTPReader::reset() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  OB_ProtocolReader::reset();
  OB_HTTPAnalysisStats::reset();
  return 0;
}

OB_Data* OB_HTTPReader::createProtocol() {
  if (protocol == nullptr) {
    protocol = new OB_HTTPProtocol();
    if (protocol == nullptr) return nullptr;
  } else {
    // A record given back without its reset (a read that failed, one past the window's end)
    // would otherwise carry its transactions into the next.
    protocol->reset();
  }
  protocol->addRef();
  return protocol;
}

int OB_HTTPReader::isMatch(uint32_t serverIP, uint16_t serverPort) {
  OB_AEngineConfig* configuration = OB_Stats::getConfig();
  for (uint16_t i = 0; i < configuration->numOfHTTPServers; ++i) {
    OB_HTTPServer* server = configuration->httpServers[i];
    if (server != nullptr && server->isMatch(serverIP, serverPort) != 0) return 1;
  }
  return 0;
}

int OB_HTTPReader::processObject(OB_Object* object) {
  OB_HTTPProtocol* connection = obQuery<OB_HTTPProtocol>(object);
  return connection != nullptr ? handOver(connection) : 0;
}

int OB_HTTPReader::countObject(OB_Data* record) {
  OB_HTTPProtocol* connection = obQuery<OB_HTTPProtocol>(record);
  if (connection == nullptr || !takesObject()) return 0;
  uint32_t when = connection->xTime();
  // The rest of a connection cut off at the byte limit is no stream of its own.
  auto countStream = [piece = connection->continued != 0](uint32_t& counter) {
    if (!piece) ++counter;
  };
  if (when < getReplayAgo() || when >= getReplayNow()) return 0;
  countStream(serverStreamsReceived);
  countStream(netgrpStreamsReceived);
  httpNetInfo_t info = {OB_Stats::getTimeWindow()->calcIndex(&when), 0, 0};
  if (info.windowIndex < 0) {
    countStream(serverStreamsRejected);
    countStream(netgrpStreamsRejected);
    return 0;
  }
  if (procServerSpacePO(&info, connection) != 0) {
    countStream(serverStreamsProcessed);
  } else {
    countStream(serverStreamsRejected);
  }
  if (procNetworkGroupPO(&info, connection) != 0) {
    countStream(netgrpStreamsProcessed);
  } else {
    countStream(netgrpStreamsRejected);
  }
  return 0;
}
