// The framework of the service program: a base class that makes one service out of a subclass
// supplying the body (run) and the reaction to a stop request (onStop). It reads the service
// command line, installs and removes the service, starts and stops the installed service through
// the service manager, runs under the manager's dispatcher or in the foreground, answers control
// requests, reports the service status and writes to the event log. One object per process.
#pragma once

#include <cstdint>
#include <mutex>

#include "service.h"

class CNTService {
 public:
  // serviceName, displayName: not owned, outlive this; a null displayName is the service name.
  CNTService(char* serviceName, char* displayName);
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;
  virtual ~CNTService();

  // The service's body: on the dispatcher's service thread, or on the main thread in the
  // foreground. Returns when the service is to end.
  virtual void run(int argc, char** argv) = 0;
  // Control operations: on the dispatching thread (or the console handler's), never on run's.
  virtual void onStop() = 0;
  virtual void onPause() {}
  virtual void onContinue() {}
  virtual void onShutdown() {}

  // "-i" install, "-u" remove, "-s" start, "-e" stop (the last wins), "-l account",
  // "-p password" (value in the same argument or the next), "-d" debug / "-f" quiet foreground
  // (run at once). Without an action the dispatcher runs. The chosen operation's result.
  virtual int processCommandLine(int argc, char** argv);
  // Non-zero after a normal end; 0 (and an error event) when not started by the manager.
  virtual int startDispatcher();
  // 1 done, 0 failed; messages on standard output.
  virtual int installService();
  virtual int removeService();
  // 1 stopped / running, 0 not.
  virtual int stopViaManager();
  virtual int startViaManager();
  // Takes SIGINT/SIGTERM as Ctrl+C/break (each stops the service), and SIGUSR1, SIGUSR2 and
  // SIGHUP as the pause, continue and interrogate controls; quiet 0 also prints "Debugging
  // <display name>." first and "Stopping <display name>." at a stop. Returns 1 after run.
  virtual int runInForeground(int argc, char** argv, int quiet);
  virtual void registerEventSource(char* messageFile, int typesSupported);
  virtual void deregisterEventSource();
  // eventId -1 picks the table's id for the type: error 0xC0000002, warning 0x80000001, else
  // 0x40000000. Failures are silent.
  virtual void logEvent(const char* text, int type, int eventId);

  // 1 while the program runs in the foreground.
  int inForeground() {
    std::lock_guard<std::mutex> guard(statusLock);
    return foreground;
  }
  // Reports the status (nothing in the foreground). Any thread. 1, or 0 after logging the
  // failure.
  int setStatus(int state, int waitHint, int exitCode);
  // The text of the calling thread's errno into dst (size bytes; "" when it does not fit).
  char* errorText(char* dst, unsigned size);

  static void serviceMain(int argc, char** argv);
  static void controlHandler(uint32_t control);
  static int consoleHandler(uint32_t ctrlType);
  // The one service object, or null.
  static CNTService* instance();

 protected:
  // No longer the service the signal thread hands stops to; waits for a hand-over in progress.
  // A derived service calls it first thing in its destructor, before its own members go.
  void retire();

  char* serviceName;
  char* displayName;
  // Status record, check-point counter and foreground flag: written by the run thread and the
  // control thread, so under statusLock.
  std::mutex statusLock;
  int checkPoint = 0;
  int foreground = 0;
  SVC_Status status{16, 0, 0, 0, 0, 0, 0};
  SVC_StatusHandle statusHandle = nullptr;
  int acceptedControls = SVC_ACCEPT_STOP;
  int64_t userSid = -1;  // the running user's id; -1 when unknown
  int isNT = 1;          // a service manager is there
  int quiet = 0;         // the foreground without messages ("-f")
  // The service-specific exit code of the final stopped report; the subclass sets it when its
  // run failed.
  int serviceExitCode = 0;
  // The parameters for creating the service.
  uint32_t startType = SVC_AUTO_START;
  char* account = nullptr;   // not owned: an argument of the command line
  char* password = nullptr;  // not owned; never written anywhere
};
