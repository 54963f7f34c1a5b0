// The network statistics of one time window: traffic volume and protocols per bin for all
// traffic, for each network group, and for each watched HTTP and FTP server with each of its
// transaction subsets, rebuilt from the configuration of the moment at every init. The
// window's network reader is one; the console's network handlers receive it, locked.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Mutex.h"
#include "OB_Object.h"
#include "config/OB_AEngineConfigRecords.h"
#include "net/netProtoData.h"
#include "net/netUtilData.h"
#include "stats/OB_Stats.h"

class OB_AddrPair;
class OB_AllNetData;
class OB_FTPServer;
class OB_HTTPServer;

// The two modules of one scope.
struct NetServerStatsModules_t {
  netUtilData util;
  netProtoData proto;
};

struct NetGroupStats_t {
  networkGroup_t* group;  // the configuration's; not owned
  NetServerStatsModules_t modules;
};

// One watched server: its modules for all its traffic and for each transaction subset (those
// pairs of which the subset accepts either address).
template <class Server>
struct NetServerStats_t {
  Server* server;  // the configuration's definition; not owned
  NetServerStatsModules_t modules;
  uint16_t numXSubsets;
  XSubset_t* xSubsets;                // owned copies, numXSubsets places
  NetServerStatsModules_t* xModules;  // owned, numXSubsets places
};
using NetHTTPServerStats_t = NetServerStats_t<OB_HTTPServer>;
using NetFTPServerStats_t = NetServerStats_t<OB_FTPServer>;

class OB_NetAnalysisStats : public virtual OB_Stats,
                            public virtual OB_Mutex,
                            public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_NetAnalysisStats, 0x2A5A59F5, "OB_NetAnalysisStats", OB_Stats, OB_Mutex,
                    OB_Object)

 public:
  // Both not owned; they outlive this. Builds every scope from the configuration (init).
  OB_NetAnalysisStats(OB_AEngineConfig* config, OB_IndexChanger* window);
  OB_NetAnalysisStats(const OB_NetAnalysisStats&) = delete;
  OB_NetAnalysisStats& operator=(const OB_NetAnalysisStats&) = delete;
  // Frees every scope.
  ~OB_NetAnalysisStats() override;

  // Counters to 0, the all-traffic modules, then the groups and server scopes that are not
  // built yet (a second init keeps what the first built). 0.
  int init() override;
  // Frees every scope; the group flag back to 1. 0.
  int reset() override;
  // The counters and the all-traffic and group modules as text.
  int print(FILE* stream) override;

  // Adds one network record to bin `bin` of every scope: its capture totals and protocols to
  // all traffic, and each of its address pairs to the groups and servers that hold it. A record
  // without a pair table clears the group flag. 0.
  virtual int procStruct(int bin, OB_AllNetData* record);

  // The group flag: 1 while every record taken in since the groups were set up carried its
  // address pairs, so the group and server figures are complete.
  int getNetStatsOn() const { return netStatsOn; }

  uint32_t binsAttempted = 0;
  uint32_t binsReceived = 0;
  uint32_t binsProcessed = 0;
  uint32_t binsRejected = 0;
  NetServerStatsModules_t allTraffic = {};
  uint16_t numNetGroups = 0;
  NetGroupStats_t* netGroups = nullptr;  // owned
  uint16_t numHTTPServers = 0;
  NetHTTPServerStats_t* httpServers = nullptr;  // owned
  uint16_t numFTPServers = 0;
  NetFTPServerStats_t* ftpServers = nullptr;  // owned

 protected:
  virtual int initNetworkGroups();
  virtual int freeNetworkGroups();
  virtual int initHTTPServerSpace();
  virtual int freeHTTPServerSpace();
  virtual int initFTPServerSpace();
  virtual int freeFTPServerSpace();
  virtual int initServerStatsModules(OB_IndexChanger* window, NetServerStatsModules_t* set);
  virtual int freeServerStatsModules(NetServerStatsModules_t* set);
  virtual int procServerStatsModules(NetServerStatsModules_t* set, int bin, OB_AddrPair* pair);
  // One address pair of a record into the groups holding either address; into the HTTP servers
  // whose definition takes one address as the server's and the other as a client's; into the
  // FTP servers that own either address. A pair counts once per scope, and in each subset of a
  // counting server that accepts either address.
  virtual int procNetworkGroups(int bin, OB_AddrPair* pair);
  virtual int procHTTPServerSpace(int bin, OB_AddrPair* pair);
  virtual int procFTPServerSpace(int bin, OB_AddrPair* pair);

  int netStatsOn = 1;

 private:
  // The server's own set, then those of its subsets that accept either address of the pair.
  template <class Server>
  void countForServer(NetServerStats_t<Server>* element, int bin, OB_AddrPair* pair);
};
