// The HTTP statistics of one network group of the configuration in one time window. Owned by the
// window's OB_HTTPAnalysisStats.
//
#pragma once

#include <cstdint>

#include "OB_Object.h"
#include "config/OB_AEngineConfigRecords.h"

class OB_AEngineConfig;
class OB_HTTPProtocol;
class OB_IndexChanger;
struct csXData;
struct csServersSeenData;
struct httpNetInfo_t;

class OB_HTTPNetworkGroup : public virtual OB_Object {
 public:
  const char* getClassName() override { return "OB_HTTPNetworkGroup"; }

  // The group at groupIndex of the configuration (not owned, outlives this); window not owned.
  // Builds the client-side modules over the window's bins.
  OB_HTTPNetworkGroup(OB_IndexChanger* window, OB_AEngineConfig* config, int groupIndex);
  OB_HTTPNetworkGroup(const OB_HTTPNetworkGroup&) = delete;
  OB_HTTPNetworkGroup& operator=(const OB_HTTPNetworkGroup&) = delete;
  // Frees the client-side modules.
  ~OB_HTTPNetworkGroup() override;

  // Counts every transaction of protocol when the group holds its client or its server: in
  // csXData by direction, and, when it holds the server, in csServersSeenData. 1 when the group
  // holds either (also for a connection without transactions), else 0.
  virtual int processProtocol(httpNetInfo_t* info, OB_HTTPProtocol* protocol, int groupIndex);

  OB_AEngineConfig* config = nullptr;    // not owned
  networkGroup_t* netGroup = nullptr;    // the configuration's record; null for a bad index
  OB_IndexChanger* window = nullptr;     // not owned
  csXData* xData = nullptr;                      // owned
  csServersSeenData* serversSeenData = nullptr;  // owned
};
