// One set of statistics modules: every module of one HTTP server's transactions, or of one
// transaction subset of that server, over the window's bins. Built and freed as a whole; a
// window move frees it and builds it anew, so every count starts again from zero.
#pragma once

#include <cstdint>

#include "OB_Object.h"
#include "http/ssDomainsSeenData.h"
#include "http/ssErrorData.h"
#include "http/ssHitData.h"
#include "http/ssNetworkData.h"
#include "http/ssReferersSeenData.h"
#include "http/ssUserAgentData.h"

class OB_HTTPProtocol;
class OB_HTTPServer;
class OB_HTTPXact;
class OB_IndexChanger;
class OB_IPTrackerHash;
class OB_ResourceStats;
struct httpNetInfo_t;

class OB_HTTPServerStatsModules : public virtual OB_Object {
 public:
  const char* getClassName() override { return "OB_HTTPServerStatsModules"; }

  OB_HTTPServerStatsModules() = default;
  OB_HTTPServerStatsModules(const OB_HTTPServerStatsModules&) = delete;
  OB_HTTPServerStatsModules& operator=(const OB_HTTPServerStatsModules&) = delete;
  // Runs reset().
  ~OB_HTTPServerStatsModules() override;

  // Every module over the window (not owned, outlives this) and its present number of bins. 0.
  virtual int init(OB_IndexChanger* window);
  using OB_Object::init;
  // Frees every module. 0.
  int reset() override;

  // One transaction of a connection the server counts, through the per-transaction steps in
  // order: hits, errors, resources served, referers, user agents, client domains. The
  // connection's network step is the server statistics' own call, once per connection.
  // trackerEntry is the client's record in the server's IP tracker (may be null). The client's
  // domain is that of its name in the domain-name cache while the cache exists (names are
  // resolved), else the client counts as unresolved.
  virtual void procX4allHTTPServerStatsModules(OB_HTTPServer* server, httpNetInfo_t* info,
                                               OB_HTTPProtocol* protocol, OB_HTTPXact* xact,
                                               OB_IPTrackerHash* trackerEntry);

  OB_IndexChanger* window = nullptr;  // not owned
  ssNetworkData networkData = {};
  ssHitData hitData = {};
  ssErrorData errorData = {};
  OB_ResourceStats* resourceStats = nullptr;  // owned
  ssReferersSeenData referersSeenData = {};
  ssDomainsSeenData domainsSeenData = {};
  ssUserAgentData userAgentData = {};

 private:
  // The client's name in the domain-name cache: the one its tracker record holds, else that of
  // the last transaction's connection (a connection's transactions arrive together, so a name
  // costs one cache look-up per connection).
  const char* clientName(uint32_t address, const OB_IPTrackerHash* trackerEntry);

  bool built_ = false;
  bool nameKnown_ = false;
  uint32_t lastClient_ = 0;
  char lastName_[256] = {};
};
