// The HTTP statistics of one network group of the configuration in one time window. Owned by the
// window's OB_HTTPAnalysisStats.
//
// Owners: this frame gives the group its configuration; its client-side modules (csXData,
// csServersSeenData) and processProtocol are added with the client-side modules, in the places
// marked below.
#pragma once

#include <cstdint>

#include "OB_AEngineConfigRecords.h"
#include "OB_Object.h"

class OB_AEngineConfig;
class OB_IndexChanger;
struct csXData;
struct csServersSeenData;

class OB_HTTPNetworkGroup : public virtual OB_Object {
 public:
  const char* getClassName() override { return "OB_HTTPNetworkGroup"; }

  // The group at groupIndex of the configuration (not owned, outlives this); window not owned.
  OB_HTTPNetworkGroup(OB_IndexChanger* window, OB_AEngineConfig* config, int groupIndex);
  OB_HTTPNetworkGroup(const OB_HTTPNetworkGroup&) = delete;
  OB_HTTPNetworkGroup& operator=(const OB_HTTPNetworkGroup&) = delete;
  ~OB_HTTPNetworkGroup() override = default;

  OB_AEngineConfig* config = nullptr;    // not owned
  networkGroup_t* netGroup = nullptr;    // the configuration's record; null for a bad index
  OB_IndexChanger* window = nullptr;     // not owned
  csXData* xData = nullptr;                     // made and freed with the client-side modules
  csServersSeenData* serversSeenData = nullptr;
};
