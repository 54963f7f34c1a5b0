// The listener of an engine's console command port. Its own thread accepts connections and reads
// their requests ahead, all at once as the bytes arrive, each connection under its own deadline;
// a second thread, the serving thread, runs the requests that have come whole, one after
// another. So a client that connects and sends nothing, or sends slowly,
// holds nobody but itself. It also keeps the configuration key, a counter in a file of the admin
// folder that is raised at every start and that clients must send back. The capture and analysis
// engines derive their servers from it and make their own connections in createTCPConnection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "OB_List.h"
#include "OB_String.h"
#include "OB_Thread.h"
#include "server/OB_TCPConnection.h"

class OB_EngineMgr;

class OB_TCPServer : public OB_Thread {
 public:
  static constexpr int kBacklog = 25;
  // Connections open at once (being read, waiting or being served); past it the newest is
  // closed as soon as it is accepted; the refusals are logged at most once a second, with their
  // count.
  static constexpr int kDefaultMaxConnections = 256;
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
  // One pass of the accept thread: makes the listening socket on the first pass, waits (at most
  // a second) for new clients, bytes or a deadline, accepts the clients waiting (closing at once
  // one whose address may not use the console, and the newest past the cap), reads what has
  // arrived and hands the connections whose request is whole, or past its deadline, to the
  // serving thread. 0.
  int doTask() override;
  // Starts the serving thread, then the accept thread. 0, or -1 when a thread cannot be made.
  int start() override;
  // Stops both threads (a request being served is finished), stops and joins the listed
  // connections, then shuts the listening socket down and closes the connections still being
  // read; the next pass after a restart listens afresh. Called from any thread; waits for no
  // client, only for the rest of an accept pass that is under way.
  int stop() override;
  // Waits for both threads (stop has closed the connections that were still waiting). 0.
  int join(OB_Mutex* mutex, int ms) override;

  virtual int setHost(const char* host);
  virtual int setPort(int port);
  // manager: not owned, outlives this; handed to every connection.
  virtual int setManager(OB_EngineMgr* manager);
  // Reads the key file "<install>/admin/<key file name>", keeps its number plus 1 (1 after
  // kLastConfigKey or more, and 1 when the file holds no number or is missing, which is logged)
  // and stores it back through a temporary file. A missing folder or a file that cannot be read
  // ends the process; a key that cannot be stored is only logged. 0.
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
  // The cap on open connections (at least 1); set before start.
  virtual int setMaxConnections(int count);

  int getPort() const { return port; }
  uint32_t getConfigKey() const { return configKey; }
  // Connections accepted and not yet done with: being read, waiting or being served.
  int getOpenConnections() const { return open_.load(); }
  // Connections the serving thread has run since construction.
  int64_t getConnectionsServed() const { return served_.load(); }

 protected:
  // A new connection (owned by the caller, who releases it) with the server's manager; null
  // when none could be made. Derived servers make their own connection class.
  virtual OB_TCPConnection* createTCPConnection();
  // Whether a client at address (host order) may use the console at all; asked at accept, and
  // one that may not is closed before anything of it is read. The framework asks the
  // administered configuration; without one nobody may.
  virtual int isAllowedClient(uint32_t address);

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
  // Accepts the clients waiting on the listening socket (at most a batch).
  void acceptWaiting(int listening);
  // Closes and releases a connection the serving thread will not run.
  void drop(OB_TCPConnection* connection);
  // A connection past the cap, from address: logged at once when no refusal line was written in
  // the last second, else counted into the next line, so a flood writes a line a second.
  void noteRefusal(uint32_t address);
  // Writes the refusals counted since the last line, when there are some and a second has gone.
  void logRefusals(std::chrono::steady_clock::time_point now);
  // Writes them whatever the time: the server stops.
  void flushRefusals();
  void handOver(OB_TCPConnection* connection);
  // The serving thread's pass: runs the oldest whole request, or waits a second for one.
  static void serveQueued(void* server);
  void serveNext();
  void wakeAcceptThread();

  // Guards the listening socket and its shut flag: stop runs on another thread than doTask.
  std::mutex listenerLock_;
  int listener_ = -1;
  bool listenerShut_ = false;
  // Wakes the accept thread's wait when the server stops; made with the listening socket.
  int wake_[2] = {-1, -1};
  // Connections whose request is being read; owned. Guarded by readingLock_, which the accept
  // thread holds for a pass's work after its wait (not during it), and which stop takes to close
  // them: a stop that comes in the middle of a pass, after the last look at the continue flag,
  // would otherwise leave them open and unread until the next start. Recursive, so that a stop
  // on the accept thread itself does not wait for that thread.
  std::recursive_mutex readingLock_;
  std::vector<OB_TCPConnection*> reading_;
  // Closes every connection being read; the caller holds readingLock_.
  void dropReading();
  std::chrono::steady_clock::time_point acceptPausedUntil_{};
  // Refusals past the cap not yet in the log, the last one's address and the last line's time;
  // the accept thread's alone.
  uint64_t refusedUnlogged_ = 0;
  uint32_t refusedLast_ = 0;
  std::chrono::steady_clock::time_point refusalLogged_{};
  // Connections whose request is whole (or past its deadline), oldest first; owned. Guarded by
  // readyLock_, with serving_: added to only while it is set; stop clears it and empties them.
  std::mutex readyLock_;
  std::condition_variable readyWake_;
  std::deque<OB_TCPConnection*> ready_;
  bool serving_ = false;
  OB_Thread* worker_ = nullptr;  // the serving thread; owned, made by the first start
  // Connections accepted and not yet released: reading, waiting and being served.
  std::atomic<int> open_{0};
  std::atomic<int64_t> served_{0};
  // Set from any thread, read by the accept thread.
  std::atomic<int> maxConnections_{kDefaultMaxConnections};
  std::atomic<int> ioTimeoutMs_{OB_TCPConnection::kDefaultIOTimeoutMs};
  OB_TCPExitAction exitAction_ = nullptr;
  void* exitContext_ = nullptr;
};
