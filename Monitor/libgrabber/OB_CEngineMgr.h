// The capture engine's top object. Its constructor takes over a pending installation request,
// loads the "cengine" configuration, reads the capture options and builds and wires the whole
// engine: reset thread, stream builder, packet manager, network, HTTP and FTP consumers with their
// archive and common log file writers, and the command server. The monitor service starts, stops
// and joins the engine through the thread list, hands the consumer list to the analysis engine and
// chains the engine behind it as message handler ("CONFIG_RESET"). The console's set-configuration
// and stop commands end the process through the engine: threads stopped and joined, archive
// files closed, exit status 0.
//
// Ownership: the thread list owns every thread, in the order reset thread, stream builder, packet
// manager, network consumer (when built), HTTP consumer, FTP consumer, command server. Writers
// belong to their consumers' writer lists; the reset thread, the packet manager and the stream
// builder only refer to what they hold.
#pragma once

#include <cstdint>
#include <string>

#include "OB_EngineMgr.h"
#include "OB_InstallHosts.h"
#include "OB_NamedList.h"
#include "records/OB_Consumer.h"
#include "server/OB_TCPConnection.h"

class OB_CEngineTCPServer;
class OB_ExitHandler;
class OB_FTPConsumer;
class OB_HTTPConsumer;
class OB_Message;
class OB_NamedStringList;
class OB_NetConsumer;
class OB_PacketManager;
class OB_ResetThread;
class OB_StreamBuilder;

class OB_CEngineMgr : public OB_EngineMgr {
  OB_CLASS_IDENTITY(OB_CEngineMgr, 0x2BE2BFB3, "OB_CEngineMgr", OB_EngineMgr)

 public:
  // argc, argv, options (the process option list, not owned, may be null) and exitHandler (not
  // owned) go to OB_EngineMgr. capture 0 keeps the packet manager away from the capture driver
  // (frames can still be handed to it); the service passes 1. Every failure to configure ends the
  // process with a logged message; nothing is left half built.
  OB_CEngineMgr(int argc, char** argv, OB_NamedStringList* options, OB_ExitHandler* exitHandler,
                int capture);
  OB_CEngineMgr(const OB_CEngineMgr&) = delete;
  OB_CEngineMgr& operator=(const OB_CEngineMgr&) = delete;
  // Stops and joins the threads when they still run, then takes the wiring apart (lists first,
  // then the threads, stream builder before packet manager) and unloads the protocol-spec tree
  // and the MIME table that this engine installed.
  ~OB_CEngineMgr() override;

  // Constructed with (0, null, null, null, 1), then init.
  static OB_CEngineMgr* create();

  // The forward look-up of an install request's hosts: 0 with *address (host order) set, else
  // -1. setHostLookup replaces it (tests); null restores the system's. Returns the previous one.
  using HostLookup = OB_InstallHosts::Lookup;
  static HostLookup setHostLookup(HostLookup lookup);

  // -1, logged, when the engine is to capture and no adapter could be bound (the log's lines
  // before say why): a monitor that captures nothing must not pass for one that runs. Else 0.
  int init() override;

  // Opens the command server's port, then starts every thread. The port is opened here, where a
  // taken one can still be reported (-1, logged, nothing started), rather than by the accept
  // thread, which could only end the process; and the console answers once start returns.
  int start() override;

  // At a stop, once the engine's threads have been stopped and joined: hands every session the
  // stream builder still holds (open connections as the idle sweep would, finished ones not yet
  // taken) on to the consumers, so that what the capture saw before the stop is archived,
  // logged and counted. Call it while the analysis engine's readers still listen and before the
  // writers close; logs how many it handed on. Does nothing for an engine never started, or
  // once it has run. 0.
  virtual int handOnSessions();
  // Closes every consumer's archive writer for good (stop time set); with discardEmpty, a file
  // that holds no record is deleted (a start refused before anything was captured). Only while
  // no thread of the engine runs: before start, or after the threads have been joined.
  void closeArchives(bool discardEmpty = false);

  // The adapter the engine captures on (an interface, or "file:<path>"); "" when none is open.
  std::string adapterName();

  // The consumers under their protocol names ("net" when built, "http", "ftp"). Stays the
  // engine's: the analysis engine appends its readers to these consumers' writer lists.
  virtual OB_NamedList<OB_Consumer>* getConsumerNamedList();

  // "CONFIG_RESET" exactly: reads "<install>/admin/cengineInstall.cfg" again into the
  // administration configuration (an install file that cannot be opened or holds a bad value is
  // logged with the reason and the configuration kept) and returns 1. Anything else (also null): 0,
  // so the chain goes on. Runs on the sender's thread while the capture threads run.
  int handleMessage(OB_Message* message) override;

  // Replaces what the console's commands 30 and 35 do once answered (by default the engine
  // quits on a thread of its own, see quit): a program that hosts more than this engine takes
  // all of it down its own way. Called on the command server's thread; context not owned.
  void setExitAction(OB_TCPExitAction action, void* context);
  // How long the console's end commands wait for the engine's threads, ms (0: kJoinLimitMs).
  void setStopLimit(int ms);

 private:
  // The command server's exit action for commands 30 and 35 (context: the engine): quit on a
  // thread of its own.
  static void quitFromConsole(void* context);
  // Stops the engine's threads; once they have ended (within the stop limit) hands the open
  // sessions on and closes the archive files with their stop times; logs "Quitting capture
  // engine." and ends the process with status 0.
  [[noreturn]] void quit();
  // Appends the "http" and "ftp" hosts of the request as ranges, puts its device into the
  // install file and deletes the request. Nothing happens when the request cannot be read. The
  // hosts are looked up while cfg.lock is free.
  void takeInstallRequest(const std::string& requestPath);
  // Points the install file's device entries at value, keeping every other line as it was;
  // adds an entry when there is none.
  void writeInstallDevice(const char* value);

  std::string installFile_;  // "<install>/admin/cengineInstall.cfg", fixed at construction
  int archiving_ = 1;        // option "Database"
  int capturing_ = 1;        // the constructor's capture argument
  bool protoSpecLoaded_ = false;
  bool sessionsHandedOn_ = false;  // handOnSessions ran
  bool captured_ = false;          // start has succeeded once
  int stopLimitMs_ = kJoinLimitMs;

  // Not owned beyond the thread list (see the class comment); null when not built.
  OB_NetConsumer* netConsumer_ = nullptr;
  OB_ResetThread* resetThread_ = nullptr;
  OB_StreamBuilder* streamBuilder_ = nullptr;
  OB_PacketManager* packetManager_ = nullptr;
  OB_HTTPConsumer* httpConsumer_ = nullptr;
  OB_FTPConsumer* ftpConsumer_ = nullptr;
  OB_CEngineTCPServer* server_ = nullptr;
  // Not owning.
  OB_NamedList<OB_Consumer> consumers_;
};
