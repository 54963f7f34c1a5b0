#include "windows/OB_FTPReader.h"

#include "OB_Log.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_FTPServer.h"
#include "ftp/OB_FTPProtocol.h"
#include "windows/OB_IndexChanger.h"

OB_FTPReader::OB_FTPReader(OB_AEngineConfig* config_, OB_IndexChanger* window_)
    : OB_Stats(config_, window_),
      OB_ProtocolReader(config_, window_, "ftp"),
      OB_FTPAnalysisStats(config_, window_) {}

int OB_FTPReader::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == getClassID()) {
    *out = this;
    return 0;
  }
  if (OB_ProtocolReader::queryInterface(id, out) == 0) return 0;
  if (id == OB_FTPAnalysisStats::getClassID()) {
    *out = static_cast<OB_FTPAnalysisStats*>(this);
    return 0;
  }
  *out = nullptr;
  return -1;
}

int OB_FTPReader::init() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  OB_ProtocolReader::init();
  OB_FTPAnalysisStats::init();
  return 0;
}

int OB_FTPReader::reset() {
  OB_MutexHold hold(static_cast<OB_Mutex*>(this));
  OB_ProtocolReader::reset();
  OB_FTPAnalysisStats::reset();
  return 0;
}

OB_Data* OB_FTPReader::createProtocol() { return OB_FTPProtocol::create(); }

int OB_FTPReader::isMatch(uint32_t serverIP, uint16_t serverPort) {
  OB_AEngineConfig* configuration = OB_Stats::getConfig();
  for (uint16_t i = 0; i < configuration->numOfFTPServers; ++i) {
    OB_FTPServer* server = configuration->ftpServers[i];
    if (server != nullptr && server->isMatch(serverIP, serverPort) != 0) return 1;
  }
  return 0;
}

int OB_FTPReader::processObject(OB_Object* object) {
  OB_FTPProtocol* connection = obQuery<OB_FTPProtocol>(object);
  return connection != nullptr ? handOver(connection) : 0;
}

int OB_FTPReader::countObject(OB_Data* record) {
  OB_FTPProtocol* connection = obQuery<OB_FTPProtocol>(record);
  if (connection == nullptr || !takesObject()) return 0;
  uint32_t when = connection->xTime();
  // The rest of a connection cut off at the byte limit is no stream of its own.
  auto countStream = [piece = connection->continued != 0](uint32_t& counter) {
    if (!piece) ++counter;
  };
  if (when < getReplayAgo() || when >= getReplayNow()) return 0;
  ftpNetInfo_t info = {OB_Stats::getTimeWindow()->calcIndex(&when), 0, 0};
  if (info.windowIndex < 0) {
    countStream(serverStreamsRejected);
    countStream(netgrpStreamsRejected);
    return 0;
  }
  countStream(serverStreamsReceived);
  countStream(netgrpStreamsReceived);
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
