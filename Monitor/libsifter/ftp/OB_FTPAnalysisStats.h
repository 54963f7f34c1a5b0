// The FTP statistics of one time window: for every FTP server definition of the configuration
// an IP tracker and a module set for all its connections plus one per transaction subset, and
// for every network group the two client-side modules; rebuilt from the configuration of the
// moment at every init, with the window's stream counters. The window's FTP reader is one; the
// console's FTP handlers receive it, locked by the command layer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Mutex.h"
#include "OB_Object.h"
#include "config/OB_AEngineConfigRecords.h"
#include "ftp/FTPcsXData.h"
#include "ftp/FTPssDomainsSeenData.h"
#include "ftp/FTPssNetworkData.h"
#include "ftp/FTPssTrnsfrData.h"
#include "stats/OB_Stats.h"

class OB_FTPProtocol;
class OB_FTPServer;
class OB_FTPftranLink;
class OB_IPTracker;

// The reader's note on one FTP connection, built on the stack and handed to every module.
struct ftpNetInfo_t {
  int32_t windowIndex;    // the bin of the connection's time
  int32_t isNewClientIP;  // set per server from its IP tracker before its modules run
  int32_t isNewServerIP;
};

// The modules of one FTP server's connections (all of them, or one transaction subset's).
struct FTPServerStatsModules_t {
  FTPssNetworkData networkData;
  FTPssTrnsfrData trnsfrData;
  FTPssAbortsData abortsData;
  FTPssDomainsSeenData domainsSeenData;
};

// The statistics of one FTP server definition.
struct FTPServerSpace_t {
  OB_FTPServer* server;     // the configuration's definition; not owned
  OB_IPTracker* ipTracker;  // owned
  FTPServerStatsModules_t modules;    // every connection of the server
  uint16_t numXSubsets;
  XSubset_t* xSubsets;                // owned copies, numXSubsets places
  FTPServerStatsModules_t* xModules;  // owned, numXSubsets places
};

// The statistics of one network group.
struct FTPNetworkGroup_t {
  networkGroup_t* group;  // the configuration's record; not owned
  FTPcsXData xData;
  FTPcsServersSeenData serversSeenData;
};

class OB_FTPAnalysisStats : public virtual OB_Stats,
                            public virtual OB_Mutex,
                            public virtual OB_Object,
                            public StatsStreamCounts {
  OB_CLASS_IDENTITY(OB_FTPAnalysisStats, 0x2A5A59F3, "OB_FTPAnalysisStats", OB_Stats, OB_Mutex,
                    OB_Object)

 public:
  // Both not owned; they outlive this. Builds nothing: init does (the FTP reader's init).
  OB_FTPAnalysisStats(OB_AEngineConfig* config, OB_IndexChanger* window);
  OB_FTPAnalysisStats(const OB_FTPAnalysisStats&) = delete;
  OB_FTPAnalysisStats& operator=(const OB_FTPAnalysisStats&) = delete;
  // Runs reset().
  ~OB_FTPAnalysisStats() override;

  // Counters to 0, then the server space and the groups from the configuration, each only when
  // it is empty. 0.
  int init() override;
  // Frees the server space and the groups. 0.
  int reset() override;
  // The six stream counters on standard output. 0.
  int print(FILE* stream) override;

  // Offers one connection at the bin of info to every server definition, in order: a server
  // whose address it is records the client in its tracker, counts the connection in its
  // network and domain modules and each transfer in its transfer modules, in the set of all
  // connections and in that of every subset holding the client. 1 when any server matched.
  virtual int procServerSpacePO(ftpNetInfo_t* info, OB_FTPProtocol* protocol);
  // Offers each transfer of the connection to every network group that holds its client or
  // its server. 1 when any group holds either.
  virtual int procNetworkGroupPO(ftpNetInfo_t* info, OB_FTPProtocol* protocol);
  virtual int initServerSpace();
  virtual int freeServerSpace();
  virtual int initFTPServerStatsModules(FTPServerStatsModules_t* set);
  virtual int freeFTPServerStatsModules(FTPServerStatsModules_t* set);
  // One transfer through the transfers and then the aborts step.
  virtual int procX4allFTPServerStatsModules(FTPServerStatsModules_t* set, ftpNetInfo_t* info,
                                             OB_FTPProtocol* protocol, OB_FTPftranLink* transfer);
  virtual int initNetworkGroups();
  virtual int freeNetworkGroups();

  uint16_t numServers = 0;
  FTPServerSpace_t* servers = nullptr;  // owned, numServers places
  uint16_t numNetGroups = 0;
  FTPNetworkGroup_t* netGroups = nullptr;  // owned, numNetGroups places
};
