// The HTTP reader of one time window: takes each HTTP connection (replayed from the "http"
// archive or handed live by the capture engine's HTTP consumer), finds its bin and counts it
// into the statistics of every watched HTTP server it matches and of every network group that
// holds its client or server. Its one reusable protocol object is what archive records are read
// into.
#pragma once

#include <cstdint>

#include "http/OB_HTTPAnalysisStats.h"
#include "windows/OB_ProtocolReader.h"

class OB_HTTPProtocol;

class OB_HTTPReader : public OB_ProtocolReader, public OB_HTTPAnalysisStats {
 public:
  static OB_ClassID getClassID() { return 0x2BE2BFAF; }
  const char* getClassName() override { return "OB_HTTPReader"; }
  // Answers itself, then as an OB_ProtocolReader and as an OB_HTTPAnalysisStats would.
  int queryInterface(OB_ClassID id, void** out) override;

  // config and window: not owned, outlive the reader.
  OB_HTTPReader(OB_AEngineConfig* config, OB_IndexChanger* window);
  OB_HTTPReader(const OB_HTTPReader&) = delete;
  OB_HTTPReader& operator=(const OB_HTTPReader&) = delete;
  // Releases the protocol object; the statistics go with their base.
  ~OB_HTTPReader() override;

  // The window's archive files, then the statistics from the configuration of the moment. 0.
  int init() override;
  // New bounds for the replay, then every statistic freed (init rebuilds them). 0.
  int reset() override;
  int stop() override { return OB_ProtocolReader::stop(); }

  // The reused protocol object (made on first use) with one reference for the caller, which
  // resets and releases it after each record.
  OB_Data* createProtocol() override;
  // Counts one HTTP connection whose time lies in [agoTime, nowTime), under the reader's lock,
  // or queues it when another thread holds the lock (handOver). Anything else is passed over.
  // 0.
  int processObject(OB_Object* object) override;
  // 1 when a configured HTTP server definition covers the address (host order) and port, else
  // 0. Without the reader's lock: the configuration does not change while the reader lives.
  int isMatch(uint32_t serverIP, uint16_t serverPort) override;

 protected:
  int countObject(OB_Data* record) override;

 private:
  OB_HTTPProtocol* protocol = nullptr;  // owned; made on first use
};
