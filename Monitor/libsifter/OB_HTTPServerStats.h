// The statistics of one HTTP server definition in one time window: a module set for all of the
// server's transactions and one for each transaction subset of the configuration, with the
// subset records copied so a configuration change cannot pull them away. Owned by the window's
// OB_HTTPAnalysisStats; the console handlers reach the module sets through it.
//
// Owners: this frame builds the module sets and subsets; the IP tracker of the server and the
// routing of connections (processProtocol, content filter, masking) are added with the
// client-side modules, in the places marked below.
#pragma once

#include <cstdint>

#include "OB_AEngineConfigRecords.h"
#include "OB_Object.h"

class OB_AEngineConfig;
class OB_HTTPServer;
class OB_HTTPServerStatsModules;
class OB_IndexChanger;
class OB_IPTracker;

class OB_HTTPServerStats : public virtual OB_Object {
 public:
  const char* getClassName() override { return "OB_HTTPServerStats"; }

  OB_HTTPServerStats() = default;
  OB_HTTPServerStats(const OB_HTTPServerStats&) = delete;
  OB_HTTPServerStats& operator=(const OB_HTTPServerStats&) = delete;
  // Runs reset().
  ~OB_HTTPServerStats() override;

  // The module sets over the window (not owned, outlives this) for the server at serverIndex of
  // the configuration (not owned), and a copy of each transaction subset. 0; -1 (logged) for an
  // index the configuration does not have.
  virtual int init(OB_IndexChanger* window, OB_AEngineConfig* config, int serverIndex);
  using OB_Object::init;
  // Deletes the module sets and subset copies; every pointer null. 0.
  int reset() override;

  OB_HTTPServer* server = nullptr;     // the configuration's definition; not owned
  OB_IPTracker* ipTracker = nullptr;   // owned; made with the IP tracker
  OB_HTTPServerStatsModules* modules = nullptr;  // owned: all transactions
  uint16_t numXSubsets = 0;
  XSubset_t* xSubsets = nullptr;                   // owned copies, numXSubsets places
  OB_HTTPServerStatsModules** xModules = nullptr;  // owned, with its elements
};
