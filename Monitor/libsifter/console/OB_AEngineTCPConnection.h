// One console connection of the analysis engine: the framework's request frame and reply forms
// with the analysis request (time window, subset, item), the analysis users' checks, the
// configuration commands (GET_CONFIG 20/25, SET_CONFIG 30, restart 35, GET_MONITOR_STATS 40,
// REFRESH_HOLD 50) and the dispatch of the statistics commands to the window the request names.
// The listening server makes one per accepted connection, reads its request ahead and runs it
// on its serving thread.
//
// A request holds what it uses for its whole length: the configuration it was checked against
// (shared with the manager) and the window server it asked (a reference), so a rebuild that
// runs meanwhile frees neither under it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "console/OB_AEngineTCPRequest.h"
#include "server/OB_TCPConnection.h"

class OB_AEngineConfig;
class OB_AEngineMgr;
class OB_AEngineTCPServer;
class OB_IndexChanger;
class OB_NetAnalysisStats;
class OB_User;

// The framework's refusals (0 to 6) and those of the analysis engine.
enum OB_AEngineTCPErrorIndex : int32_t {
  kAEngineNoConsoleAccess = 7,
  kAEngineNetGroupRefused = 8,
  kAEngineHTTPServerRefused = 9,
  kAEngineFTPServerRefused = 10,
  // A rebuild of the windows outlasted the request's time.
  kAEngineRebuilding = 11,
};

class OB_AEngineTCPConnection : public OB_TCPConnection {
 public:
  static constexpr uint32_t kClientVersion = 7;
  static constexpr int32_t kRestart = 35;
  static constexpr int32_t kRefreshHold = 50;
  // What a request keeps of its time for its reply when it waits for a rebuild.
  static constexpr std::chrono::milliseconds kReplyTime{500};

  // Server line "Server: Ambervolte Monitor", client version 7.
  OB_AEngineTCPConnection();
  const char* getClassName() override { return "OB_AEngineTCPConnection"; }

  // Neither owned; both outlive the connection.
  virtual int setServer(OB_AEngineTCPServer* server);
  virtual int setTimeIndexData(OB_IndexChanger* window);

  // Checks, in this order: the request could be read (else 2); the client address is one that
  // some user with console access may come from (kTCPInvalidAddress); the user exists
  // (kTCPUnknownUser), may use the console (kAEngineNoConsoleAccess) and may come from that
  // address (kTCPInvalidAddress); the password, compared in constant time, empty never
  // (kTCPInvalidPassword); client version 7 (kTCPInvalidVersion); the configuration key except
  // for 20 and 25 (kTCPInvalidConfigKey). 0 accepted, with request->userRecord set; 1 refused
  // with *error set. Uses the configuration taken at the start of the request.
  virtual int readBinRequestHeader(int socket, uint32_t address, OB_AEngineTCPRequest* request,
                                   int32_t* error);
  using OB_TCPConnection::readBinRequestHeader;

  // The configuration commands' payloads; each 0, or -1 (logged) when a read or write fails.
  // 20: the key first; 25: the defaults, no key. Lists are those the user may see, each item
  // after its index; root sees every item and also gets the users.
  virtual int hcommand_GET_CONFIG(int socket, OB_User* user, int command);
  using OB_TCPConnection::hcommand_GET_CONFIG;
  virtual int writeTimeWindows(int socket, OB_AEngineConfig* config);
  virtual int writeNetGroups(int socket, OB_AEngineConfig* config, OB_User* user);
  virtual int writeXSubsets(int socket, OB_AEngineConfig* config);
  virtual int writeHTTPServers(int socket, OB_AEngineConfig* config, OB_User* user);
  virtual int writeFTPServers(int socket, OB_AEngineConfig* config, OB_User* user);
  virtual int writeUsers(int socket, OB_AEngineConfig* config, OB_User* user);
  // The manager's start time (UInt32 seconds).
  virtual int hcommand_GET_MONITOR_STATS(int socket, OB_User* user);
  using OB_TCPConnection::hcommand_GET_MONITOR_STATS;
  // The console's time in; the window's hold, a status and its text out.
  virtual int hcommand_REFRESH_HOLD(int socket);
  // 7000-7999 of the window's network statistics.
  virtual int handle_net(OB_NetAnalysisStats* stats, int socket, OB_User* user,
                         OB_AEngineTCPRequest* request);

 protected:
  // Reads a whole configuration, checks it, writes aengine_prvt.cfg, acknowledges, and points
  // the "range" entries of cengineInstall.cfg at the new servers. -1 (logged) when nothing was
  // written: what arrived was cut, over a limit or invalid, or the file could not be written.
  // 0 once the configuration file is written, even when a later step failed (logged), so that
  // the engines still take it up.
  int hcommand_SET_CONFIG(int socket) override;
  // The engine's own texts for its refusals 7 to 10; the framework's for the others.
  const char* errorString(int index) override;
  int handleCommand(int socket, uint32_t address) override;
  // The analysis request, and the console's time of REFRESH_HOLD.
  void readRequestAhead(int socket) override;

 private:
  // The statistics commands of a window, under its statistics' locks; their reply is built in
  // memory and sent after them, and a command whose own fields have not all arrived is run
  // again once more came, the locks let go meanwhile.
  int handleWindowCommand(int socket, uint32_t address, OB_AEngineTCPRequest* request);
  // Waits until the socket is ready for events: false when the peer fails, the request's
  // deadline passes or the server stops meanwhile (checked every kStopCheckMs).
  bool waitFor(int socket, short events);
  // Sends a reply built in memory: 0 once all of it went out; -1 as waitFor fails.
  int sendReply(int socket, const std::string& reply);
  static constexpr int kStopCheckMs = 100;
  // Rewrites the install file's "range" entries from the configuration's servers.
  void rewriteCaptureRanges(OB_AEngineConfig* config);
  OB_AEngineMgr* aengine();

  OB_AEngineTCPServer* server_ = nullptr;  // not owned
  OB_IndexChanger* window_ = nullptr;      // not owned
  // The configurations this request was checked against and answers from.
  std::shared_ptr<OB_AEngineConfig> current_;
  std::shared_ptr<OB_AEngineConfig> defaults_;
};
