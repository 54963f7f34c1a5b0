// The FTP reader of one time window: takes each FTP control connection (replayed from the
// "ftp" archive or handed live by the capture engine's FTP consumer), finds its bin and counts
// it into the statistics of every watched FTP server whose address it has and of every network
// group that holds its client or server. Archive records are read into a new protocol object
// each, which the replay step releases.
#pragma once

#include <cstdint>

#include "ftp/OB_FTPAnalysisStats.h"
#include "windows/OB_ProtocolReader.h"

class OB_FTPReader : public OB_ProtocolReader, public OB_FTPAnalysisStats {
 public:
  static OB_ClassID getClassID() { return 0x2BE2BFB2; }
  const char* getClassName() override { return "OB_FTPReader"; }
  // Answers itself, then as an OB_ProtocolReader and as an OB_FTPAnalysisStats would.
  int queryInterface(OB_ClassID id, void** out) override;

  // config and window: not owned, outlive the reader. The statistics are built by init.
  OB_FTPReader(OB_AEngineConfig* config, OB_IndexChanger* window);
  OB_FTPReader(const OB_FTPReader&) = delete;
  OB_FTPReader& operator=(const OB_FTPReader&) = delete;
  ~OB_FTPReader() override = default;

  // The window's archive files, then the statistics from the configuration of the moment. 0.
  int init() override;
  // New bounds for the replay, then every statistic freed (init rebuilds them). 0.
  int reset() override;
  int stop() override { return OB_ProtocolReader::stop(); }
  int print(FILE* stream) override { return OB_FTPAnalysisStats::print(stream); }

  // A new, empty OB_FTPProtocol (one reference, for the caller), or null.
  OB_Data* createProtocol() override;
  // Counts one FTP connection whose time lies in [agoTime, nowTime), under the reader's lock,
  // or queues it when another thread holds the lock (handOver). A connection whose bin comes
  // out negative is counted as rejected by the servers and the groups, and as received by
  // neither. Anything else is passed over. 0.
  int processObject(OB_Object* object) override;
  // 1 when a watched FTP server's definition covers the address (host order) and port, else 0.
  // Without the reader's lock: the watched servers are the configuration's, which does not
  // change while the reader lives, where the statistics' own list is rebuilt by a window move.
  int isMatch(uint32_t serverIP, uint16_t serverPort) override;

 protected:
  int countObject(OB_Data* record) override;
};
