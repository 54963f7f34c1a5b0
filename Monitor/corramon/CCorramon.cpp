#include "CCorramon.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "OB_CEngineMgr.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_Tools.h"
#include "console/OB_AEngineMgr.h"
#include "eventlog.h"
#include "tcp/OB_Server.h"

namespace {

char kServiceName[] = "corramon";
char kDisplayName[] = "Corrana";

}  // namespace

CCorramon::CCorramon() : CNTService(kServiceName, kDisplayName) {
  acceptedControls = SVC_ACCEPT_STOP | SVC_ACCEPT_PAUSE_CONTINUE | SVC_ACCEPT_SHUTDOWN;
}

CCorramon::~CCorramon() { retire(); }

void CCorramon::endFromConsole(void* self) { static_cast<CCorramon*>(self)->stopEvent_.set(); }

void CCorramon::report(const char* text, int type) {
  // The log is the program's own: its lines (and their echo, which names the program) go
  // without the event's "corramon: ".
  const size_t name = strlen(serviceName);
  const char* line = strncmp(text, serviceName, name) == 0 && strncmp(text + name, ": ", 2) == 0
                         ? text + name + 2
                         : text;
  if (OB_Log::getName() != nullptr) {
    OB_Log::ret("%s", line);
  } else if (FILE* echo = OB_Log::getEcho(); echo != nullptr) {
    fprintf(echo, "%s: %s\n", serviceName, line);
    fflush(echo);
  }
  logEvent(text, type, -1);
}

void CCorramon::fail(const char* text) {
  report(text, EVL_ERROR_TYPE);
  serviceExitCode = 1;
  failed_.store(true);
}

int CCorramon::installService() {
  // Without systemd an account is refused by the framework; a name that would break the unit
  // too (it is refused before anything is looked up or printed).
  const auto plain = [](const char* text) {
    for (; *text != '\0'; ++text)
      if (static_cast<unsigned char>(*text) <= ' ' || *text == 0x7f) return false;
    return true;
  };
  if (account != nullptr && SVC_UsesSystemd() != 0 && plain(account)) {
    std::error_code ignored;
    std::string install =
        std::filesystem::weakly_canonical(OB_Tools::getInstallDir(), ignored).string();
    if (install.empty()) install = OB_Tools::getInstallDir();
    for (const char* folder : {"logs", "db", "admin"}) {
      const std::string path = install + "/" + folder;
      const int writes = SVC_AccountCanWrite(account, path.c_str());
      if (writes == 1) continue;
      if (writes < 0 && errno == ENOENT)
        fprintf(stderr, "Unable to install %s - there is no account named %s\n", displayName,
                account);
      else
        fprintf(stderr,
                "Unable to install %s - the account %s can't write %s (make it the owner: chown "
                "-R %s %s)\n",
                displayName, account, path.c_str(), account, install.c_str());
      fflush(stderr);
      return 0;
    }
  }
  return CNTService::installService();
}

void CCorramon::run(int argc, char** argv) {
  failed_.store(false);
  serviceExitCode = 0;
  // Whoever runs the monitor sees its errors: the terminal in the foreground, the journal under
  // systemd (which hands the service a journal stream as standard error).
  const bool seen = inForeground() != 0 || getenv("JOURNAL_STREAM") != nullptr;
  OB_Log::setEcho(seen ? stderr : nullptr, serviceName);
  setStatus(SVC_START_PENDING, 3000, 0);

  auto* options = new OB_NamedStringList();
  options->setOwner(1);
  const std::string optionFile = std::string(OB_Tools::getInstallDir()) + "/admin/corramon.cfg";
  // A missing option file is no error: the engines run with their defaults.
  options->readFile(optionFile.c_str(), ':', "\n\t ");
  setOptions(options);

  OB_CEngineMgr* capture = new OB_CEngineMgr(argc, argv, options, this, 1);
  OB_AEngineMgr* analysis = nullptr;
  notStarted_.store(capture);
  const int captureReady = capture->init();
  // Once the log is open: a typo in the option file is named, in the log and on the terminal.
  checkOptionFile(optionFile);
  if (captureReady != 0) {
    fail("corramon: the capture engine could not be initialised: nothing to capture");
    notStarted_.store(nullptr);
    // A refused start leaves no archive that holds nothing.
    capture->closeArchives(true);
    shutDown(analysis, capture, options);
    return;
  }
  capture->setExitAction(endFromConsole, this);
  analysis = new OB_AEngineMgr(argc, argv, options, capture->getConsumerNamedList(), this);
  analysis->addHandler(capture);
  analysis->setQuitAction(endFromConsole, this);
  if (analysis->init() != 0) {
    fail("corramon: the analysis engine could not be initialised");
    notStarted_.store(nullptr);
    capture->closeArchives(true);
    shutDown(analysis, capture, options);
    return;
  }
  notStarted_.store(nullptr);
  if (capture->start() != 0 || analysis->start() != 0) {
    fail("corramon: the engines could not be started (is a console port taken?)");
    shutDown(analysis, capture, options);
    return;
  }
  reportStart(capture->adapterName());
  std::thread console;
  if (analysis->isInteractive() != 0)
    console = std::thread([analysis] { analysis->input(); });
  setStatus(SVC_RUNNING, 3000, 0);

  for (;;) {
    if (stopEvent_.wait(1000)) break;
    if (!pauseEvent_.wait(5)) continue;
    analysis->stop();
    capture->stop();
    setStatus(SVC_PAUSED, 3000, 0);
    bool stopped = false;
    while (!stopped) {
      if (continueEvent_.wait(50)) break;
      stopped = stopEvent_.wait(50);
    }
    if (stopped) break;
    // The reverse of the first start.
    if (analysis->start() != 0)
      report("corramon: the analysis engine could not be started again", EVL_ERROR_TYPE);
    if (capture->start() != 0)
      report("corramon: the capture engine could not be started again", EVL_ERROR_TYPE);
    pauseEvent_.reset();
    continueEvent_.reset();
    setStatus(SVC_RUNNING, 3000, 0);
  }

  if (console.joinable()) {
    analysis->stopConsole();
    console.join();
  }
  shutDown(analysis, capture, options);
}

std::vector<std::string> CCorramon::checkOptionFile(const std::string& path) {
  // The options the monitor reads, and whether each takes a whole number.
  struct Known {
    const char* name;
    bool number;
  };
  static constexpr Known kKnown[] = {
      {"NetworkStatistics", true}, {"NetUpdateInterval", true}, {"Database", true},
      {"CommonLogFile", false},    {"PathTracking", true},      {"PacketBufferSize", true},
      {"PacketPools", true},       {"PacketsPerPool", true},    {"SessionPools", true},
      {"SessionsPerPool", true},   {"Debug", true},
  };
  std::vector<std::string> said;
  FILE* stream = fopen(path.c_str(), "r");
  if (stream == nullptr) return said;
  auto trimmed = [](const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
  };
  char* raw = nullptr;
  size_t size = 0;
  for (int number = 1; ::getline(&raw, &size, stream) >= 0; ++number) {
    // The reader's rules: '#' starts a comment, the name ends at the first ':'.
    std::string text(raw);
    text = trimmed(text.substr(0, text.find_first_of("#\n")));
    if (text.empty()) continue;
    const std::string where = path + " line " + std::to_string(number) + ": ";
    const size_t colon = text.find(':');
    std::string problem;
    if (colon == std::string::npos) {
      problem = "\"" + text.substr(0, 64) + "\" is no \"Name: value\" line, ignored";
    } else {
      std::string name = trimmed(text.substr(0, colon));
      const std::string value = trimmed(text.substr(colon + 1));
      const Known* known = nullptr;
      for (const Known& option : kKnown)
        if (name == option.name) known = &option;
      if (known == nullptr) {
        problem = "unknown option \"" + name.substr(0, 64) + "\", ignored";
      } else if (known->number) {
        const size_t digits = value.find_first_not_of("0123456789", value[0] == '-' ? 1 : 0);
        if (value.empty() || digits != std::string::npos || value == "-")
          problem = "the value of " + name + " is no number: \"" + value.substr(0, 64) +
                    "\"; the default is used";
      }
    }
    if (problem.empty()) continue;
    said.push_back(where + problem);
    OB_Log::ret("%s", said.back().c_str());
  }
  free(raw);
  fclose(stream);
  return said;
}

void CCorramon::reportStart(const std::string& adapter) {
  std::string watched;
  if (OB_List<OB_Server>* servers = getServerList(); servers != nullptr) {
    OB_MutexHold hold(servers);
    for (OB_Server* server = servers->first(); server != nullptr; server = servers->next()) {
      std::string host = server->getName();
      if (host.empty()) {
        char quad[INET_ADDRSTRLEN] = "";
        const uint32_t address = htonl(server->getIPAddress());
        inet_ntop(AF_INET, &address, quad, sizeof quad);
        host = quad;
      }
      watched += (watched.empty() ? "" : ", ") + host + ":" + std::to_string(server->getPort());
    }
  }
  const std::string on = "corramon: capturing on " + (adapter.empty() ? "no adapter" : adapter);
  // Only the watched servers' traffic is kept: without one the monitor runs and stores nothing.
  if (watched.empty())
    report((on + "; no server is watched: nothing will be archived until an HTTP or FTP server is "
                 "added to the analysis configuration")
               .c_str(),
           EVL_WARNING_TYPE);
  else
    report((on + "; watching " + watched).c_str(), EVL_INFORMATION_TYPE);
}

void CCorramon::shutDown(OB_AEngineMgr*& analysis, OB_CEngineMgr*& capture,
                         OB_NamedStringList*& options) {
  if (analysis != nullptr) analysis->stop();
  if (capture != nullptr) capture->stop();
  // What the capture saw before the stop goes on to the consumers once its threads have ended:
  // while the analysis engine's readers still listen, and before the writers close.
  const bool captureEnded = capture == nullptr || capture->joinWithin(OB_EngineMgr::kJoinLimitMs);
  if (capture != nullptr && captureEnded) capture->handOnSessions();
  bool released = true;
  // Nothing is released while one of its threads may still run in it.
  if (analysis != nullptr) {
    if (analysis->joinWithin(OB_EngineMgr::kJoinLimitMs)) {
      analysis->release();
    } else {
      report("corramon: the analysis engine did not stop in time", EVL_ERROR_TYPE);
      released = false;
    }
    analysis = nullptr;
  }
  if (capture != nullptr) {
    if (released && captureEnded) {
      capture->release();  // archives closed, stop times set
    } else {
      report("corramon: the capture engine did not stop in time", EVL_ERROR_TYPE);
      released = false;
    }
    capture = nullptr;
  }
  if (released) {
    setOptions(nullptr);
    options->release();
  }
  options = nullptr;
}

void CCorramon::onStop() {
  setStatus(SVC_STOP_PENDING, 5000, 0);
  stopEvent_.set();
}

void CCorramon::onPause() {
  // Paused is reported once the engines have stopped, by run.
  setStatus(SVC_PAUSE_PENDING, 3000, 0);
  pauseEvent_.set();
}

void CCorramon::onContinue() {
  setStatus(SVC_CONTINUE_PENDING, 3000, 0);
  continueEvent_.set();
}

void CCorramon::onShutdown() { stopEvent_.set(); }

void CCorramon::handleExit(char* text) {
  // A start refused before the capture began (a bad installation file ends the process) leaves
  // every archive closed and none that holds nothing.
  if (OB_CEngineMgr* capture = notStarted_.exchange(nullptr); capture != nullptr)
    capture->closeArchives(true);
  logEvent(text, EVL_ERROR_TYPE, -1);
  serviceExitCode = 1;
  setStatus(SVC_STOPPED, 0, serviceExitCode);
}
