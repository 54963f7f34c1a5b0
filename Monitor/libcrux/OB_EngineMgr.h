// The common base of the capture and analysis engine managers: the engine's command-line
// switches, the process log (name and debug level), the start time, the defaults and
// administered configurations, and the roles every engine plays: a thread list of the engine's
// threads, a wake-up event, a lock and a link of the message-handler chain. The service
// constructs each manager, then calls init, start, stop, join and release on it.
#pragma once

#include <atomic>
#include <cstdint>

#include "OB_ConfigAdmin.h"
#include "OB_ConfigDef.h"
#include "OB_Event.h"
#include "OB_MessageHandler.h"
#include "OB_Mutex.h"
#include "OB_ThreadList.h"

class OB_ExitHandler;
class OB_NamedStringList;

class OB_EngineMgr : public OB_ThreadList,
                     public virtual OB_Event,
                     public virtual OB_MessageHandler,
                     public virtual OB_Mutex {
  OB_CLASS_IDENTITY(OB_EngineMgr, 0x2BE2BF76, "OB_EngineMgr", OB_MessageHandler, OB_Event,
                    OB_Object)

 public:
  // Reads the switches of argv ("-i" interactive, "-v" verbose, "-h"/"-?" usage on standard
  // output, "-r" accepted), opens the log named after argv[0] with the debug level that the
  // option "Debug" and "-v" give, and installs the signal handlers (see setSignalHandlers).
  // options: the process option list, not owned, may be null. exitHandler: not owned.
  OB_EngineMgr(int argc, char** argv, OB_NamedStringList* options, OB_ExitHandler* exitHandler);
  OB_EngineMgr(const OB_EngineMgr&) = delete;
  OB_EngineMgr& operator=(const OB_EngineMgr&) = delete;
  // Closes the log when no other engine manager lives (the log is the process's, and another
  // engine may still write its last lines to it), then the configurations go; the thread list
  // then stops and releases the engine's threads.
  ~OB_EngineMgr() override;

  // Subclasses read their configurations and build their threads here. 0.
  int init() override;
  // Subclasses read console commands here when interactive. 0.
  virtual int input();
  // Seconds since 1970 at construction.
  virtual int32_t getStartTime();
  // 1 when started with "-i": the program offers input() on standard input.
  int isInteractive() const { return interactive; }
  // The administered configuration (private and installation files).
  virtual OB_Config* getConfigAdmin();
  // The defaults configuration.
  virtual OB_Config* getConfig();

  // The longest wait for an engine's threads at a stop, ms, unless the caller gives its own.
  static constexpr int kJoinLimitMs = 10000;
  // Waits at most ms for the engine's threads (join). False when they have not all ended by
  // then: the waiting goes on in the background, and the engine must then be neither released
  // nor handed anything its threads may hold (a consumer's lock, say).
  bool joinWithin(int ms);

  // Writes "Quitting capture engine." and a line feed to standard output, flushes every stream
  // and ends the whole process with status 0, from any thread. The argument is not used.
  [[noreturn]] static int cleanup(int unused);

  // The log name for a program path: the base name after the last '/' or '\', cut at its first
  // '.', at most size - 1 characters ("program" when nothing is left). Returns name.
  static char* logNameOf(const char* path, char* name, int size);

  // Whether constructors install the SIGTERM and SIGINT handlers (default 1). The service, which
  // takes SIGTERM on a signal-waiting thread of its own, sets 0 before building its engines.
  static void setSignalHandlers(int install);
  // doNothing for SIGTERM and doQuit for SIGINT: each only writes one line to the log.
  static void installSignalHandlers();

 private:
  // Engine managers constructed and not yet destroyed, in this process.
  static std::atomic<int>& liveManagers();

 protected:
  // 1 when started with "-i"; subclasses offer their console input then.
  int interactive = 0;
  int32_t startTime = 0;
  // Named and read by the subclass; this class never reads a file.
  OB_ConfigAdmin configAdmin;
  OB_ConfigDef configDef;
  OB_NamedStringList* options = nullptr;  // not owned, outlives this
};
