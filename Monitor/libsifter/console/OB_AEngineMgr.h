// The analysis engine's top object. The monitor service builds one over the capture engine's
// consumers, then calls init, start, stop, join and release. It owns the current and default
// analysis configurations, the command server that listens on the analysis port, one window
// server per configured time window (with the window's readers and index changer) and a thread
// of its own that rebuilds the window servers from the configuration files when the console has
// changed them. It also offers the engine's interactive console on standard input.
//
// Ownership: the thread list owns the window servers; the server list only finds them. The
// configurations are shared: a window server keeps the one its readers count with, and a console
// request the one it was checked against, so a rebuild frees neither under them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "OB_EngineMgr.h"
#include "OB_NamedList.h"
#include "records/OB_Consumer.h"

class OB_AEngineConfig;
class OB_AEngineTCPServer;
class OB_ExitHandler;
class OB_GapKeeper;
class OB_NamedStringList;

class OB_AEngineMgr : public OB_EngineMgr {
  OB_CLASS_IDENTITY(OB_AEngineMgr, 0x2BE2BFB5, "OB_AEngineMgr", OB_EngineMgr)

 public:
  // What the console's "q" does once monitoring has stopped (context: the argument given with
  // it). Without one it ends the process with status 0.
  using QuitAction = void (*)(void* context);

  // argc, argv, options (not owned, may be null) and exitHandler (not owned) go to
  // OB_EngineMgr. consumers: the capture engine's consumers by protocol name, not owned, may be
  // null; they outlive this. Makes the analysis name tables (loading the domain file).
  OB_AEngineMgr(int argc, char** argv, OB_NamedStringList* options,
                OB_NamedList<OB_Consumer>* consumers, OB_ExitHandler* exitHandler);
  OB_AEngineMgr(const OB_AEngineMgr&) = delete;
  OB_AEngineMgr& operator=(const OB_AEngineMgr&) = delete;
  // Stops and joins everything, releases the servers and the configurations and frees the name
  // tables (saving the domain file).
  ~OB_AEngineMgr() override;

  // New default and current configurations from the files, the listening server on the first
  // call (port of the installation file), then one window server per time window, each
  // attached to the consumers. A missing or malformed file ends the process. 0, or -1 when a
  // server's init fails (the servers made so far stay).
  int init() override;
  // Opens the analysis port, then starts the listening server, the manager's thread and the
  // window servers. 0, or -1 (logged) when the port cannot be opened (another program holds it):
  // nothing is started then.
  int start() override;
  // Stops the listening server (the port stops answering), the manager's thread and the window
  // servers; a rebuild asked for meanwhile waits for the next start. 0.
  int stop() override;
  // Waits for the listening server, the manager's thread and the window servers. 0.
  int join(OB_Mutex* mutex, int ms) override;

  // Asks the manager's thread to rebuild the window servers from the configuration files. Never
  // lost: asked while a rebuild runs, one more follows it; asked several times before the
  // thread wakes, one rebuild serves them all. 0.
  int signal() override;
  // One pass of the manager's thread: waits for a rebuild request or a stop, then, still
  // running, stops and releases the window servers and builds them anew. 0.
  virtual int doTask();
  // The window server of that time window, or null; no reference is taken. getServer's result
  // may be released by a rebuild at any time: requests use holdServer.
  virtual OB_AEngineTCPServer* getServer(int index);
  // The same with a reference for the caller, who releases it.
  OB_AEngineTCPServer* holdServer(int index);
  // The listening server; null before the first init.
  OB_AEngineTCPServer* getMainServer() { return mainServer_; }
  // The configurations in use, shared with the caller; null before init.
  std::shared_ptr<OB_AEngineConfig> getCurrentConfigShared();
  std::shared_ptr<OB_AEngineConfig> getDefaultConfigShared();
  // Rebuilds done since construction.
  int getRebuildCount() const { return rebuilds_.load(); }
  // For a console request: waits while a rebuild is asked for or under way (and the manager
  // runs), at most until `until`, so that the request is answered from the windows and the
  // configuration the rebuild makes. True when none is, by then.
  bool awaitRebuilt(std::chrono::steady_clock::time_point until);
  // Requests that have found a rebuild to wait for, since construction.
  int getRebuildWaits();

  // The interactive console: reads a command character (and its line end) from standard input
  // and answers on standard output until "q", the end of the input or stopConsole. 0.
  int input() override;
  // Makes a running input() return within a fraction of a second. Any thread.
  void stopConsole();
  void setQuitAction(QuitAction action, void* context);
  // What the engine counts: per window its bounds and each reader's figures.
  int print(FILE* stream) override;

 private:
  static void runTask(void* manager);
  // Waits until nothing but this manager holds the servers, at most a few seconds. True when
  // they are let go.
  static bool awaitSole(const std::vector<OB_AEngineTCPServer*>& servers);
  void releaseWindowServers();
  void rebuild();
  // The gap keepers of a rebuild, each with the consumer it stands on; the keepers' own
  // references.
  using GapKeepers = std::vector<std::pair<OB_Consumer*, OB_GapKeeper*>>;
  // A gap keeper on each consumer without an archive writer.
  GapKeepers placeGapKeepers();
  // Hands each keeper's records to the readers now on its consumer, then takes it away.
  void handOverGaps(const GapKeepers& keepers);

  OB_List<OB_AEngineTCPServer> servers_;  // own lock; not owning
  OB_Thread* thread_ = nullptr;          // owned
  std::atomic<int32_t> running_{0};
  OB_NamedList<OB_Consumer>* consumers_ = nullptr;  // not owned
  OB_AEngineTCPServer* mainServer_ = nullptr;       // owned

  std::mutex configLock_;  // guards the two configuration pointers
  std::shared_ptr<OB_AEngineConfig> current_;
  std::shared_ptr<OB_AEngineConfig> defaults_;

  std::mutex rebuildLock_;  // guards rebuildPending_, rebuilding_ and rebuildWaits_
  std::condition_variable rebuildWake_;  // the manager's thread and the requests waiting
  bool rebuildPending_ = false;
  bool rebuilding_ = false;
  int rebuildWaits_ = 0;
  std::atomic<int> rebuilds_{0};

  std::atomic<bool> consoleStop_{false};
  QuitAction quitAction_ = nullptr;
  void* quitContext_ = nullptr;
};
