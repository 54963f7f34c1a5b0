// The monitor service: reads the option list, builds the capture engine and the analysis engine
// wired to each other, starts them and then waits for stop, pause and continue requests, which
// the control operations hand over through three manual-reset events. Fatal stops of the
// engines reach it as their exit handler and become error events.
//
// Ownership: run owns the option list and both engine managers for its whole length and
// releases them (the analysis engine first) before it returns.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "CManualEvent.h"
#include "CNTService.h"
#include "OB_Exception.h"

class OB_AEngineMgr;
class OB_CEngineMgr;
class OB_NamedStringList;

class CCorramon : public CNTService, public virtual OB_ExitHandler {
 public:
  // Service "corramon", display name "Corrana"; accepts stop, pause and continue, shutdown.
  CCorramon();
  // Leaves the signal thread first: a stop signal during shut-down finds no service rather
  // than a half-destroyed one.
  ~CCorramon() override;

  // Runs the monitor until a stop (or a console command that ends the process on purpose).
  // When an engine cannot be set up or started it writes an error event, takes down what it
  // had built and returns with the service-specific exit code 1 (see failed()).
  void run(int argc, char** argv) override;
  // Control operations, on the control or console thread. A request that comes before run
  // waits is kept.
  void onStop() override;
  void onPause() override;
  void onContinue() override;
  void onShutdown() override;
  // A fatal stop, the process ends after it: writes the text as an error event (and, in the
  // foreground, to standard error) and reports the service stopped with service-specific code
  // 1, so that the end is not taken for a clean stop. During the start it first closes the
  // capture engine's archives.
  void handleExit(char* text) override;

  // True when the last run could not start the monitor, or could not be run as the service.
  bool failed() const { return failed_.load() || serviceExitCode != 0; }

  // With an account (-l), refuses at once, saying why, when the account does not exist or cannot
  // write the install directory's logs, db and admin folders, where the monitor writes; then
  // installs as the framework does.
  int installService() override;

  // Names each line of the option file at path ("Name: value") whose name is no option of the
  // monitor or whose value is not one the option takes (a number where one is needed), with the
  // file and the line, in the log (and so on standard error in the foreground). Such a line
  // changes nothing: the engines read only the options they know, and take their default for a
  // value that does not read. The messages, in file order; none for a missing file.
  static std::vector<std::string> checkOptionFile(const std::string& path);

 private:
  // The engines' "end the process" commands (the capture console's 30 and 35, the analysis
  // console's "q"): a stop like any other, so everything is shut down in order.
  static void endFromConsole(void* self);
  // Stops whatever exists; once the capture engine's threads have ended, hands its open and
  // queued sessions on (the analysis engine's readers still listening); then joins and
  // releases the analysis engine and then the capture engine.
  void shutDown(OB_AEngineMgr*& analysis, OB_CEngineMgr*& capture, OB_NamedStringList*& options);
  void fail(const char* text);
  // The start's one line: the adapter captured on and the watched servers (host:port), or that
  // none is watched (a warning: nothing is archived then).
  void reportStart(const std::string& adapter);
  // An error or warning of the run: to the log (which, in the foreground or under systemd, also
  // shows it on standard error) and to the event log.
  void report(const char* text, int type);

  CManualEvent stopEvent_;
  CManualEvent pauseEvent_;
  CManualEvent continueEvent_;
  std::atomic<bool> failed_{false};
  // The capture engine between its construction (its archives are open) and its start, not
  // owned: a fatal stop of the analysis engine's set-up in that time closes its archives, so
  // that the next start has none to repair. None of its threads runs yet.
  std::atomic<OB_CEngineMgr*> notStarted_{nullptr};
};
