// The listener of an engine's console command port: a thread that accepts one connection at a
// time and runs it right there, under the server's lock, so requests are served strictly one
// after another. It also keeps the configuration key, a counter in a file of the admin folder
// that is raised at every start and that clients must send back. The capture and analysis
// engines derive their servers from it and make their own connections in createTCPConnection.
#pragma once

#include <cstdint>
#include <mutex>

#include "OB_List.h"
#include "OB_String.h"
#include "OB_TCPConnection.h"
#include "OB_Thread.h"

class OB_EngineMgr;

class OB_TCPServer : public OB_Thread {
 public:
  static constexpr int kBacklog = 25;
  // A stored key at or above this starts again at 1.
  static constexpr uint32_t kLastConfigKey = 4294967000u;

  OB_TCPServer();
  OB_TCPServer(const OB_TCPServer&) = delete;
  OB_TCPServer& operator=(const OB_TCPServer&) = delete;
  // Closes the listening socket and releases the connection list.
  ~OB_TCPServer() override;

  const char* getClassName() override { return "OB_TCPServer"; }

  // Logs "initServer()" and draws the configuration key. 0.
  int init() override;
  // One accept step: makes the listening socket on the first pass, accepts one connection and
  // serves it under the server's lock. 0.
  int doTask() override;
  // Stops and joins the listed connections, then shuts the listening socket down so that a
  // blocked accept returns; the next pass after a restart listens afresh. Called from any thread.
  int stop() override;

  virtual int setHost(const char* host);
  virtual int setPort(int port);
  // manager: not owned, outlives this; handed to every connection.
  virtual int setManager(OB_EngineMgr* manager);
  // Reads the key file "<install>/admin/<key file name>", keeps its number plus 1 (1 after
  // kLastConfigKey or more, and 1 when the file holds no number) and stores it back through a
  // temporary file. A missing folder or an unreadable file ends the process; a key that cannot
  // be stored is only logged. 0.
  virtual int setNewConfigKey();
  // A bound IPv4 stream socket with address reuse on all local addresses at port (0: the
  // server's port; when that is 0 too, a port the system picks), registered as this process's
  // own listening port. The port bound becomes the server's port. Bind and socket failures end
  // the process.
  virtual int newSocket(int port);
  // Makes the listening socket now (bound as newSocket binds, then listening) unless there is
  // one; the first accept step does this by itself. 0, or -1 (logged) when the port cannot be
  // bound (taken, say), listen failed or the server has been stopped: a caller that starts the
  // server learns of a taken port instead of the process ending on the accept thread.
  virtual int openListener();
  // The limit on each whole request (and on each receive and send of it), ms; handed to each
  // connection.
  virtual int setIOTimeout(int ms);
  // What commands 30 and 35 do after their reply; handed to each connection (see
  // OB_TCPExitAction).
  virtual int setExitAction(OB_TCPExitAction action, void* context);

  int getPort() const { return port; }
  uint32_t getConfigKey() const { return configKey; }

 protected:
  // A new connection (owned by the caller, who releases it) with the server's manager; null
  // when none could be made. Derived servers make their own connection class.
  virtual OB_TCPConnection* createTCPConnection();

  // Threads that stop stops and joins; owned. The framework adds none.
  OB_List<OB_Thread> connections;
  uint32_t configKey = 0;
  // The key counter file in the admin folder; set by the derived server.
  OB_String keyFileName;
  OB_String host;
  int port = 0;
  OB_EngineMgr* manager = nullptr;  // not owned, outlives this

 private:
  // The listening socket for an accept, made when there is none or the last stop shut it down;
  // a port that cannot be bound ends the process when endOnBindFailure, else gives -1.
  int currentListener(bool endOnBindFailure);
  // newSocket without ending the process: the socket, or -1 with *error set.
  int bindSocket(int port, int* error);
  void closeListener();

  // Guards the listening socket and its shut flag: stop runs on another thread than doTask.
  std::mutex listenerLock_;
  int listener_ = -1;
  bool listenerShut_ = false;
  int ioTimeoutMs_ = OB_TCPConnection::kDefaultIOTimeoutMs;
  OB_TCPExitAction exitAction_ = nullptr;
  void* exitContext_ = nullptr;
};
