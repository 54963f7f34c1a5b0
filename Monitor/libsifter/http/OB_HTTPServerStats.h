// The statistics of one HTTP server definition in one time window: a module set for all of the
// server's transactions and one for each transaction subset of the configuration, with the
// subset records copied so a configuration change cannot pull them away. Owned by the window's
// OB_HTTPAnalysisStats; the console handlers reach the module sets through it.
// It also routes each connection: the server definition's port, address and client tests, its
// URL and user-agent filter, and its URL-parameter masking, which the modules see on a scratch
// copy of each transaction (the connection itself is never changed).
#pragma once

#include <cstdint>

#include "OB_Object.h"
#include "config/OB_AEngineConfigRecords.h"

class OB_AEngineConfig;
class OB_HTTPProtocol;
class OB_HTTPServer;
class OB_HTTPXact;
class OB_HTTPServerStatsModules;
class OB_IndexChanger;
class OB_IPTracker;
class OB_IPTrackerHash;
struct httpNetInfo_t;

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
  // Deletes the module sets, subset copies and the IP tracker; every pointer null. 0.
  int reset() override;

  // Counts one connection when the definition's port, server address and client tests all
  // pass: its network data once per module set, each transaction in the module set of all
  // transactions and in that of every subset holding the client. 1 when the tests passed (even
  // if the content filter then let nothing through), else 0.
  virtual int processProtocol(httpNetInfo_t* info, OB_HTTPProtocol* protocol);

  OB_HTTPServer* server = nullptr;     // the configuration's definition; not owned
  OB_IPTracker* ipTracker = nullptr;   // owned
  OB_HTTPServerStatsModules* modules = nullptr;  // owned: all transactions
  uint16_t numXSubsets = 0;
  XSubset_t* xSubsets = nullptr;                   // owned copies, numXSubsets places
  OB_HTTPServerStatsModules** xModules = nullptr;  // owned, with its elements

 protected:
  // Only connections with at least one transaction through the URL and user-agent filter are
  // counted, and only those transactions.
  virtual void procContentFiltered(httpNetInfo_t* info, OB_HTTPProtocol* protocol);
  virtual void procNotContentFiltered(httpNetInfo_t* info, OB_HTTPProtocol* protocol);

 private:
  // The client's tracker record and the connection's network step in every set that counts it.
  OB_IPTrackerHash* countConnection(httpNetInfo_t* info, OB_HTTPProtocol* protocol);
  // One transaction in every set that counts the connection's client.
  void countTransaction(httpNetInfo_t* info, OB_HTTPProtocol* protocol, OB_HTTPXact* xact,
                        OB_IPTrackerHash* client);
  // xact as the modules see it: the scratch copy with URL and referrer masked when masking is
  // on, else xact itself.
  OB_HTTPXact* masked(OB_HTTPXact* xact);

  OB_HTTPXact* scratch = nullptr;  // owned; made on first masking
  // Per connection: which subsets hold its client (numXSubsets places).
  bool* subsetHolds = nullptr;  // owned
};
