#include "OB_CEngineTCPConnection.h"

#include <string>
#include "OB_CaptureEngineStats.h"
#include "OB_Config.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "archive/OB_ArchiveFileList.h"
#include "tcp/OB_TCPSessionStats.h"

OB_CEngineTCPConnection::OB_CEngineTCPConnection() {
  serverLine = "Server: Ambervolte Capture Engine\r\n";
  requiredClientVersion = kClientVersion;
}

int OB_CEngineTCPConnection::hcommand_GET_DATABASE_LIST(int socket) {
  OB_Config* config = manager != nullptr ? manager->getConfigAdmin() : nullptr;
  bool good = config != nullptr;
  // A copy: an analysis SET_CONFIG may have the installation file read again meanwhile.
  const std::string folder = good ? config->getDatabaseDir() : std::string();
  for (const char* prefix : {kNetPrefix, kHTTPPrefix, kFTPPrefix}) {
    if (!good) break;
    OB_ArchiveFileList list(folder.c_str(), prefix);
    good = list.writeJ(socket) >= 0;
  }
  if (good) return 0;
  OB_Log::ret("hcommand_GET_DATABASE_LIST: IO problem.");
  return -1;
}

int OB_CEngineTCPConnection::hcommand_GET_MONITOR_STATS(int socket) {
  // Read without the owners' locks: one reply may mix slightly different moments.
  OB_CaptureEngineStats* capture = getCaptureEngineStats();
  if (capture != nullptr) capture->refreshDrops();
  const OB_TCPSessionStats& s = *getTCPSessionStats();
  // The two last words, which older clients read and drop, carry the capture's drops since start
  // by where they happened (their sum is the capture block's drop count).
  const uint32_t kernelDrops = capture != nullptr ? capture->getKernelDrops() : 0;
  const uint32_t interfaceDrops = capture != nullptr ? capture->getInterfaceDrops() : 0;
  using Stats = OB_TCPSessionStats;
  const uint32_t values[] = {
      Stats::value(s.segmentsReceived),    Stats::value(s.bytesReceived),
      Stats::value(s.segmentsUsed),        Stats::value(s.bytesUsed),
      Stats::value(s.segmentsExtraneous),  Stats::value(s.bytesExtraneous),
      Stats::value(s.segmentsClosed),      Stats::value(s.bytesClosed),
      Stats::value(s.segmentsNoMemory),    Stats::value(s.bytesNoMemory),
      Stats::value(s.bytesCompleted),      Stats::value(s.sessionsRetrieved),
      Stats::value(s.sessionsReturned),    Stats::value(s.connectionsBuilt),
      Stats::value(s.httpStarted),         Stats::value(s.httpParsed),
      Stats::value(s.httpFinished),        Stats::value(s.ftpStarted),
      Stats::value(s.ftpParsed),           Stats::value(s.ftpFinished),
      Stats::value(s.timedOutRejected),    Stats::value(s.timedOutUnacked),
      Stats::value(s.timedOutComplete),    Stats::value(s.timedOutOddSequence),
      Stats::value(s.timedOutNoSyn),       Stats::value(s.timedOutGaps),
      Stats::value(s.payloadBytes),        Stats::value(s.effectiveBytes),
      kernelDrops,                         interfaceDrops,
  };
  static_assert(sizeof values / sizeof values[0] == 30, "the console reads 30 session values");
  bool good = capture != nullptr && capture->writeJ(socket) >= 0;
  for (uint32_t value : values) {
    if (!good) break;
    good = writeJ_UInt32(socket, value) == 0;
  }
  if (good) return 0;
  OB_Log::ret("hcommand_GET_MONITOR_STATS: Problem getting or sending info.");
  return -1;
}
