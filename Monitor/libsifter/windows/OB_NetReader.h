// The network reader of one time window: takes each network statistics record of the capture
// engine (replayed from the "net" archive, or handed live by the capture engine's network
// consumer at the end of each of its intervals), finds the bin of the interval's middle and adds
// the record to the window's network statistics. Records whose middle lies outside the window
// are dropped. It asks for no sessions: its isMatch answers 0.
#pragma once

#include "net/OB_NetAnalysisStats.h"
#include "windows/OB_ProtocolReader.h"

class OB_NetReader : public OB_ProtocolReader, public OB_NetAnalysisStats {
 public:
  static OB_ClassID getClassID() { return 0x2BE2BFAB; }
  const char* getClassName() override { return "OB_NetReader"; }
  // Answers itself, then as an OB_ProtocolReader and as an OB_NetAnalysisStats would.
  int queryInterface(OB_ClassID id, void** out) override;

  // config and window: not owned, outlive the reader.
  OB_NetReader(OB_AEngineConfig* config, OB_IndexChanger* window);
  OB_NetReader(const OB_NetReader&) = delete;
  OB_NetReader& operator=(const OB_NetReader&) = delete;
  ~OB_NetReader() override = default;

  // The window's archive files, then the statistics from the configuration of the moment. 0.
  int init() override;
  // New bounds for the replay, then every statistic freed (init rebuilds them). 0.
  int reset() override;
  int stop() override { return OB_ProtocolReader::stop(); }
  int print(FILE* stream) override { return OB_NetAnalysisStats::print(stream); }

  // A new empty record for every archive record (one reference for the caller).
  OB_Data* createProtocol() override;
  // Counts one OB_AllNetData record under the reader's lock: received, then rejected when the
  // middle of its interval lies outside [agoTime, nowTime), else added at that bin and
  // processed. Anything else is passed over without a count. 0.
  int processObject(OB_Object* object) override;

 protected:
  // The count of processObject, under the reader's lock; also for records queued while no
  // reader listened (takeGap).
  int countObject(OB_Data* record) override;
};
