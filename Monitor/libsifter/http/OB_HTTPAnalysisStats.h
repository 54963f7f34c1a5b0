// The HTTP statistics of one time window: one OB_HTTPServerStats per HTTP server definition and
// one OB_HTTPNetworkGroup per network group of the configuration, rebuilt from the configuration
// of the moment at every init, and the window's stream counters. The window's HTTP reader is
// one; the console's HTTP handlers receive it, locked, and reach a server's modules through it.
//
// Owners: this frame (the server-side modules, the console reply forms) builds the arrays and
// counters; the routing of protocol objects to servers and groups (procServerSpacePO,
// procNetworkGroupPO and the HTTP reader) is added with the client-side modules.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "OB_Mutex.h"
#include "OB_Object.h"
#include "http/OB_HTTPXact.h"
#include "stats/OB_Stats.h"
#include "stats/StatsModule.h"

class OB_HTTPNetworkGroup;
class OB_HTTPProtocol;
class OB_HTTPServerStats;

// What the modules of one server read from the transaction being counted, worked out once by
// the server statistics (OB_HTTPServerStats) for all the server's module sets (the set of all
// transactions and each subset's) instead of once in every set.
struct httpXactFacts_t {
  int entryPoint;         // ssHitData_isEntryPoint's answer
  uint64_t resourceHash;  // OB_ResourceStats::pairHash of the URI and the response MIME type
  bool refererCounted;    // the referer names another site: its site and page are counted
  std::string_view refererHost;  // lower case, in refererHostText
  std::string_view refererPath;  // within the transaction's referer
  char refererHostText[decltype(OB_HTTPXact::req_referer)::width];
};

// The reader's note on one protocol object, built on the stack and handed to every module.
struct httpNetInfo_t {
  int32_t windowIndex;    // the bin of the object's time
  int32_t isNewClientIP;  // set per server from its IP tracker before its modules run
  int32_t isNewServerIP;
  // While a server's module sets count one transaction: its facts (not owned). Null otherwise;
  // a module then works them out itself.
  const httpXactFacts_t* facts = nullptr;
};

class OB_HTTPAnalysisStats : public virtual OB_Stats,
                             public virtual OB_Mutex,
                             public virtual OB_Object,
                             public StatsStreamCounts {
  OB_CLASS_IDENTITY(OB_HTTPAnalysisStats, 0x2A5A59F2, "OB_HTTPAnalysisStats", OB_Stats,
                    OB_Mutex, OB_Object)

 public:
  // Both not owned; they outlive this. Builds the arrays from the configuration (init).
  OB_HTTPAnalysisStats(OB_AEngineConfig* config, OB_IndexChanger* window);
  OB_HTTPAnalysisStats(const OB_HTTPAnalysisStats&) = delete;
  OB_HTTPAnalysisStats& operator=(const OB_HTTPAnalysisStats&) = delete;
  // Frees both arrays.
  ~OB_HTTPAnalysisStats() override;

  // Counters to 0, then the server and group arrays when they are empty. 0.
  int init() override;
  // Frees both arrays (the counters are cleared by the init that follows). 0.
  int reset() override;

  // Only when empty: one server statistics per HTTP server definition, in configuration order.
  virtual int initServerStats();
  // Only when empty: one network group statistics per group of the configuration.
  virtual int initNetworkGroups();
  // Delete every element; count 0. 0.
  virtual int freeServerStats();
  virtual int freeNetworkGroups();
  // The six stream counters on standard output.
  virtual void printStats();
  // Offers one connection at the bin of info to every server statistics, in order (all of
  // them, whatever each answers). 1 when any server counted it, else 0.
  virtual int procServerSpacePO(httpNetInfo_t* info, OB_HTTPProtocol* protocol);
  // Offers it to every network group, in order. 1 when any group holds its client or server.
  virtual int procNetworkGroupPO(httpNetInfo_t* info, OB_HTTPProtocol* protocol);

  uint16_t numServers = 0;
  OB_HTTPServerStats** servers = nullptr;  // owned, with its elements
  uint16_t numNetGroups = 0;
  OB_HTTPNetworkGroup** netGroups = nullptr;  // owned, with its elements
};
