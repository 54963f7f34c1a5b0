#include "CNTService.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CCorramon.h"
#include "ConsoleClient.h"
#include "OB_EngineMgr.h"
#include "InstallTree.h"
#include "TempDir.h"
#include "eventlog.h"

namespace {

using corrana_test::TempDir;

// When the service manager starts this test program as the service, it is the service: the
// real program's body, before any test runs, on the install tree the test named.
[[maybe_unused]] const int serviceChild = [] {
  const char* started = getenv("OB_SERVICE");
  if (started == nullptr || strcmp(started, "corramon") != 0) return 0;
  OB_EngineMgr::setSignalHandlers(0);
  CCorramon service;
  char program[] = "corramon";
  char* argv[] = {program, nullptr};
  _exit(service.processCommandLine(1, argv) != 0 && !service.failed() ? 0 : 1);
}();

// An install tree on which the monitor runs: its own console ports, a small trace to replay.
void prepare(corrana_test::InstallTree& tree) {
  tree.captureEngine(corrana_test::freePort(), "secret",
                     std::string(CORRANA_SOURCE_DIR) +
                         "/Monitor/libwire/tests/data/http_nginx_curl.pcap");
  tree.analysisPort(corrana_test::freePort());
}

char kName[] = "corramon";
char kDisplay[] = "Corrana";

// Records which operation the command line chose, instead of running it.
class Recorder : public CNTService {
 public:
  Recorder() : CNTService(kName, kDisplay) {}
  void run(int, char**) override {}
  void onStop() override {}
  int startDispatcher() override { return note("dispatcher"); }
  int installService() override { return note("install"); }
  int removeService() override { return note("remove"); }
  int stopViaManager() override { return note("stop"); }
  int startViaManager() override { return note("start"); }
  int runInForeground(int, char**, int quiet) override {
    return note(quiet != 0 ? "quiet" : "debug");
  }
  int parse(std::vector<const char*> args) {
    args.insert(args.begin(), "corramon");
    std::vector<std::string> copies(args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& c : copies) argv.push_back(c.data());
    argv.push_back(nullptr);
    chosen.clear();
    int result = processCommandLine(static_cast<int>(copies.size()), argv.data());
    if (account != nullptr) accountSeen = account;
    if (password != nullptr) passwordSeen = password;
    accountSet = account != nullptr;
    return result;
  }
  SVC_Status current() { return status; }
  int isForeground() { return foreground; }
  std::string chosen, accountSeen, passwordSeen;
  bool accountSet = false;

 private:
  int note(const char* what) {
    chosen += what;
    return 1;
  }
};

struct Events {
  Events() { EVL_SetSink(collect, this); }
  ~Events() { EVL_SetSink(nullptr, nullptr); }
  static void collect(const EVL_Record* r, void* context) {
    char id[16];
    snprintf(id, sizeof id, "%08X", r->eventId);
    static_cast<Events*>(context)->lines.push_back(std::to_string(r->type) + " " + id + " " + r->text);
  }
  std::vector<std::string> lines;
};

int run(CNTService& service, std::vector<const char*> args) {
  args.insert(args.begin(), "corramon");
  std::vector<std::string> copies(args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& c : copies) argv.push_back(c.data());
  argv.push_back(nullptr);
  return service.processCommandLine(static_cast<int>(copies.size()), argv.data());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(CNTService, CommandLineLastActionWinsAndForegroundRunsAtOnce) {
  Recorder service;
  EXPECT_EQ(CNTService::instance(), &service);
  service.parse({});
  EXPECT_EQ(service.chosen, "dispatcher");
  EXPECT_EQ(service.isForeground(), 0);
  service.parse({"-i", "-u"});
  EXPECT_EQ(service.chosen, "remove");
  service.parse({"x", "-", "-z", "-s"});
  EXPECT_EQ(service.chosen, "start");
  service.parse({"-e"});
  EXPECT_EQ(service.chosen, "stop");
  service.parse({"-f"});
  EXPECT_EQ(service.chosen, "quiet");
  service.parse({"-u", "-d", "-i"});
  EXPECT_EQ(service.chosen, "debug");
  EXPECT_EQ(service.isForeground(), 1);
}

TEST(CNTService, AccountAndPasswordJoinedOrSeparateAreTheSame) {
  Recorder joined;
  joined.parse({"-lmonitor", "-psecret", "-i"});
  EXPECT_EQ(joined.chosen, "install");
  EXPECT_EQ(joined.accountSeen, "monitor");
  EXPECT_EQ(joined.passwordSeen, "secret");
  Recorder separate;
  separate.parse({"-l", "monitor", "-p", "secret", "-i"});
  EXPECT_EQ(separate.accountSeen, "monitor");
  EXPECT_EQ(separate.passwordSeen, "secret");
  Recorder last;
  last.parse({"-i", "-l"});  // no value: no account, and nothing read past the arguments
  EXPECT_EQ(last.chosen, "install");
  EXPECT_FALSE(last.accountSet);
}

TEST(CNTService, StatusCountsCheckPointsAndLogsAFailedReport) {
  Events events;
  Recorder service;  // no dispatcher: every report fails and is logged
  EXPECT_EQ(service.setStatus(SVC_START_PENDING, 3000, 0), 0);
  EXPECT_EQ(service.current().checkPoint, 1u);
  EXPECT_EQ(service.current().controlsAccepted, 0u);
  EXPECT_EQ(service.setStatus(SVC_RUNNING, 3000, 0), 0);
  EXPECT_EQ(service.current().checkPoint, 0u);
  EXPECT_EQ(service.current().controlsAccepted, SVC_ACCEPT_STOP);
  EXPECT_EQ(service.current().win32ExitCode, 0u);
  service.setStatus(SVC_STOP_PENDING, 5000, 7);
  EXPECT_EQ(service.current().checkPoint, 2u);
  EXPECT_EQ(service.current().win32ExitCode, SVC_ERROR_SERVICE_SPECIFIC);
  EXPECT_EQ(service.current().serviceSpecificExitCode, 7u);
  EXPECT_EQ(service.current().waitHint, 5000u);
  ASSERT_EQ(events.lines.size(), 3u);
  EXPECT_EQ(events.lines[0], "1 C0000002 SetServiceStatus() failed");
  service.logEvent("careful", EVL_WARNING_TYPE, -1);
  service.logEvent("hello", EVL_INFORMATION_TYPE, 3);
  EXPECT_EQ(events.lines[3], "2 80000001 careful");
  EXPECT_EQ(events.lines[4], "4 00000003 hello");
  service.parse({"-f"});  // in the foreground nothing is reported
  EXPECT_EQ(service.setStatus(SVC_RUNNING, 3000, 0), 1);
  EXPECT_EQ(events.lines.size(), 5u);
}

class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    SVC_SetDirectories(units.path().c_str(), state.path().c_str());
    EVL_SetDirectory(sources.path().c_str());
  }
  void TearDown() override {
    SVC_SetDirectories(nullptr, nullptr);
    EVL_SetDirectory(nullptr);
  }
  static std::string sourceList() {
    char list[1024];
    return EVL_ListSources(list, sizeof list) >= 0 ? list : "<error>";
  }
  // The command's result and what it printed on standard output; its standard error is in
  // err.
  std::pair<int, std::string> command(CNTService& service, std::vector<const char*> args) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = run(service, std::move(args));
    err = testing::internal::GetCapturedStderr();
    return {result, testing::internal::GetCapturedStdout()};
  }
  std::string err;
  TempDir units, state, sources;
  Events events;
};

// The monitor the service manager starts runs on this tree.
class Running : public Installed {
 protected:
  void SetUp() override {
    Installed::SetUp();
    prepare(tree);
  }
  corrana_test::InstallTree tree;
};

TEST_F(Installed, InstallWritesUnitAndSourceAndRemoveDeletesThem) {
  CCorramon service;
  EXPECT_EQ(command(service, {"-i"}),
            std::make_pair(1, "Corrana installed.\nUnit " + units.file("corramon.service") +
                                  " written. systemd does not run here: \"corramon -s\" starts "
                                  "the service, and nothing starts it at boot or after it ends.\n"));
  std::string unit = readFile(units.file("corramon.service"));
  char self[1024];
  ASSERT_GT(SVC_GetModuleFileName(self, sizeof self), 0u);
  EXPECT_NE(unit.find("ExecStart=\"" + std::string(self) + "\"\n"), std::string::npos);
  EXPECT_NE(unit.find("WantedBy=multi-user.target"), std::string::npos);
  // Without an account the service runs as root, whose rights the unit leaves alone.
  EXPECT_EQ(unit.find("Capabilit"), std::string::npos);
  EXPECT_EQ(sourceList(), "corramon\n");
  ASSERT_EQ(events.lines.size(), 1u);
  EXPECT_EQ(events.lines[0], "4 40000000 Service installed");

  // Each command says what the state is and what to do; the status is 0 when the state the
  // command asks for holds at the end, also when it held before (installed as asked, nothing
  // to stop, nothing to remove). Refusals go to standard error.
  EXPECT_EQ(command(service, {"-i"}),
            std::make_pair(1, "Corrana is already installed as asked (" +
                                  units.file("corramon.service") + "); nothing was changed.\n"));
  EXPECT_EQ(err, "");
  EXPECT_EQ(command(service, {"-e"}), std::make_pair(1, std::string("Corrana is not running.\n")));
  EXPECT_EQ(err, "");
  EXPECT_EQ(command(service, {"-u"}), std::make_pair(1, std::string("Corrana removed.\n")));
  EXPECT_NE(access(units.file("corramon.service").c_str(), F_OK), 0);
  EXPECT_EQ(sourceList(), "");
  const std::string notInstalled = "Corrana is not installed; \"corramon -i\" installs it.\n";
  EXPECT_EQ(command(service, {"-u"}), std::make_pair(1, notInstalled));
  EXPECT_EQ(err, "");
  EXPECT_EQ(command(service, {"-e"}), std::make_pair(1, notInstalled));
  EXPECT_EQ(err, "");
  EXPECT_EQ(command(service, {"-s"}), std::make_pair(0, std::string()));
  EXPECT_EQ(err, notInstalled);
}

// A unit that is not the one this install would write (another program, another account, a
// hand edit) is not the state asked for: -i refuses, on standard error, and changes nothing.
TEST_F(Installed, InstallOverAnotherUnitIsRefusedAndChangesNothing) {
  CCorramon service;
  ASSERT_EQ(command(service, {"-i"}).first, 1);
  const std::string path = units.file("corramon.service");
  const std::string unit = readFile(path);
  const std::string moved = std::regex_replace(unit, std::regex("ExecStart=[^\n]*"),
                                               "ExecStart=\"/opt/elsewhere/bin/corramon\"");
  std::ofstream(path) << moved;
  EXPECT_EQ(command(service, {"-i"}), std::make_pair(0, std::string()));
  EXPECT_EQ(err, "Corrana is already installed otherwise (" + path +
                     "); nothing was changed. To install it again (another account, a moved "
                     "program), remove it first: corramon -u\n");
  EXPECT_EQ(readFile(path), moved);
}

TEST_F(Installed, AccountThatWouldInjectIntoTheUnitIsRefused) {
  CCorramon service;
  EXPECT_EQ(command(service, {"-i", "-l", "monitor\nUser=root"}), std::make_pair(0, std::string()));
  EXPECT_EQ(err, "Unable to install Corrana - the account name can't be written into a unit (it "
                 "holds a blank or a control character)\n");
  EXPECT_NE(access(units.file("corramon.service").c_str(), F_OK), 0);
  EXPECT_EQ(sourceList(), "");
  SVC_SetDirectories((units.path() + "/missing").c_str(), state.path().c_str());
  EXPECT_EQ(command(service, {"-i"}), std::make_pair(0, std::string()));
  EXPECT_EQ(err, "Unable to install Corrana - the unit folder can't be written (No such file or "
                 "directory); run the install as root\n");
  // Without systemd an account cannot be honoured: the reason is systemd, not the account.
  SVC_SetDirectories(units.path().c_str(), state.path().c_str());
  EXPECT_EQ(command(service, {"-i", "-l", "daemon"}), std::make_pair(0, std::string()));
  EXPECT_EQ(err, "Unable to install Corrana - systemd does not run here, and without it the "
                 "service runs as whoever starts it: install without -l daemon\n");
}

bool startsAndEnds(const std::string& text, const std::string& head, const std::string& tail) {
  return text.size() >= head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0 &&
         text.find_first_not_of('.', head.size()) == text.size() - tail.size();
}

// Collects what a service tells systemd on the socket it names in $NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bound_ = bind(fd_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0;
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  std::vector<std::string> messages() {
    std::vector<std::string> all;
    char text[512];
    for (ssize_t n; (n = recv(fd_, text, sizeof text, MSG_DONTWAIT)) > 0;)
      all.emplace_back(text, static_cast<size_t>(n));
    return all;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// The installed program (this test program, see serviceChild) is started by the manager, runs,
// takes SIGTERM from "-e" and reports its way down.
TEST_F(Running, StartedServiceRunsAndStopsOnSigtermWithItsStatusSequence) {
  CCorramon service;
  NotifySocket notify(state.file("notify"));
  ASSERT_TRUE(notify.bound());
  ASSERT_EQ(command(service, {"-i"}).first, 1);
  EXPECT_EQ(command(service, {"-e"}), std::make_pair(1, std::string("Corrana is not running.\n")));
  auto started = command(service, {"-s"});
  EXPECT_EQ(started.first, 1);
  EXPECT_TRUE(startsAndEnds(started.second, "Starting up Corrana.", "\nCorrana started.\n"))
      << started.second;
  EXPECT_EQ(command(service, {"-s"}),
            std::make_pair(1, std::string("Starting up Corrana.\nCorrana is already running.\n")));
  auto stopped = command(service, {"-e"});
  EXPECT_EQ(stopped.first, 1);
  EXPECT_TRUE(startsAndEnds(stopped.second, "Stopping Corrana.", "\nCorrana stopped.\n"))
      << stopped.second;

  // pid type state controls win32 specific checkpoint wait: the manager's start-pending, the
  // service main's, the body's, running, stop-pending, stopped.
  std::istringstream lines(readFile(state.file("corramon/corramon.status")));
  std::vector<std::string> seen;
  std::string pid, rest;
  while (lines >> pid && std::getline(lines, rest)) seen.push_back(rest);
  // Stop, pause and continue, and shutdown are accepted once it runs.
  std::vector<std::string> expected = {" 16 2 0 0 0 0 0",    " 16 2 0 0 0 1 3000",
                                       " 16 2 0 0 0 2 3000", " 16 4 7 0 0 0 3000",
                                       " 16 3 7 0 0 3 5000", " 16 1 7 0 0 0 3000"};
  EXPECT_EQ(seen, expected);
  // What systemd, had it started the service, would have heard: ready once running.
  std::vector<std::string> told = {"STATUS=Starting", "STATUS=Starting",
                                   "READY=1\nSTATUS=Running", "STOPPING=1\nSTATUS=Stopping",
                                   "STATUS=Stopped"};
  EXPECT_EQ(notify.messages(), told);
  EXPECT_EQ(command(service, {"-u"}), std::make_pair(1, std::string("Corrana removed.\n")));
}

// Where systemd runs, the commands go through systemctl (here a stand-in that records them and
// fails a start the way a start limit does), and say what they did.
class Systemd : public Installed {
 protected:
  void SetUp() override {
    Installed::SetUp();
    calls_ = units.file("calls");
    const std::string script = units.file("systemctl");
    std::ofstream(script) << "#!/bin/sh\necho \"$*\" >>" << calls_
                          << "\nif [ \"$1\" = start ] && [ -e " << units.file("refuse")
                          << " ]; then echo 'start request repeated too quickly' >&2; exit 1; fi\n"
                          << "if [ \"$1\" = reset-failed ]; then echo 'Failed to reset failed "
                             "state of unit corramon.service' >&2; exit 1; fi\n";
    chmod(script.c_str(), 0755);
    SVC_SetSystemctl(script.c_str());
    // The journal of a start that failed: what was asked, and the service's reason.
    const std::string journal = units.file("journalctl");
    std::ofstream(journal) << "#!/bin/sh\necho \"journalctl $1 $3 $4 $5\"\n"
                           << "echo \"corramon: driver: can't replay /srv/x.pcap: No such file\"\n";
    chmod(journal.c_str(), 0755);
    SVC_SetJournalctl(journal.c_str());
  }
  void TearDown() override {
    SVC_SetSystemctl(nullptr);
    SVC_SetJournalctl(nullptr);
    Installed::TearDown();
  }
  std::string calls() {
    std::string text = readFile(calls_);
    unlink(calls_.c_str());
    return text;
  }
  std::string calls_;
};

TEST_F(Systemd, InstallReloadsAndEnablesStartAndStopGoThroughSystemctlRemoveDisables) {
  CCorramon service;
  EXPECT_EQ(command(service, {"-i"}),
            std::make_pair(1, "Corrana installed.\nUnit " + units.file("corramon.service") +
                                  " written, systemd reloaded, the service enabled to start at "
                                  "boot; \"corramon -s\" starts it now.\n"));
  EXPECT_EQ(calls(), "daemon-reload\nenable --quiet corramon.service\n");
  const std::string unit = readFile(units.file("corramon.service"));
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);

  std::ofstream(units.file("refuse")) << "";
  // A failed start shows the service's own reason from the journal, on standard error;
  // systemctl's word that there was no failed state to clear is not shown.
  EXPECT_EQ(command(service, {"-s"}), std::make_pair(0, std::string("Starting up Corrana.\n")));
  EXPECT_EQ(err, "start request repeated too quickly\nCorrana failed to start: systemctl start "
                 "corramon.service: exit status 1\nIts last lines in the journal (journalctl -u "
                 "corramon says more):\njournalctl --unit=corramon.service --lines=10 "
                 "--output=cat --no-pager\ncorramon: driver: can't replay /srv/x.pcap: No such "
                 "file\n");
  EXPECT_EQ(calls(), "reset-failed corramon.service\nstart corramon.service\n");
  // Not running: still stopped through systemd, which may be about to start it again.
  EXPECT_EQ(command(service, {"-e"}), std::make_pair(1, std::string("Corrana is not running.\n")));
  EXPECT_EQ(calls(), "stop corramon.service\n");
  EXPECT_EQ(command(service, {"-u"}), std::make_pair(1, std::string("Corrana removed.\n")));
  EXPECT_EQ(err, "");
  EXPECT_EQ(calls(),
            "stop corramon.service\ndisable --quiet corramon.service\nreset-failed "
            "corramon.service\ndaemon-reload\n");
  EXPECT_NE(access(units.file("corramon.service").c_str(), F_OK), 0);
}

// A second start of a service that runs says so, as without systemd, and asks systemctl nothing:
// its start would succeed without a word.
TEST_F(Systemd, StartOfARunningServiceSaysItRunsAlready) {
  CCorramon service;
  ASSERT_EQ(command(service, {"-i"}).first, 1);
  calls();
  // What the service under systemd reports: running, in a process that lives (this one).
  mkdir(state.file("corramon").c_str(), 0755);
  std::ofstream(state.file("corramon/corramon.status")) << getpid() << " 16 4 7 0 0 0 3000\n";
  EXPECT_EQ(command(service, {"-s"}),
            std::make_pair(1, std::string("Starting up Corrana.\nCorrana is already running.\n")));
  EXPECT_EQ(err, "");
  EXPECT_EQ(calls(), "");
}

// The account given with -l must exist and write where the monitor writes; else the install is
// refused at once, saying why, and nothing is written.
TEST_F(Systemd, AnAccountThatCannotWriteTheInstallDirectoryIsRefused) {
  corrana_test::InstallTree tree;
  CCorramon service;
  EXPECT_EQ(command(service, {"-i", "-l", "no-such-account-x"}), std::make_pair(0, std::string()));
  EXPECT_EQ(err, "Unable to install Corrana - there is no account named no-such-account-x\n");
  chmod(tree.path().c_str(), 0755);
  EXPECT_EQ(command(service, {"-i", "-l", "daemon"}), std::make_pair(0, std::string()));
  EXPECT_EQ(err, "Unable to install Corrana - the account daemon can't write " + tree.path() +
                     "/logs (make it the owner: chown -R daemon " + tree.path() + ")\n");
  EXPECT_NE(access(units.file("corramon.service").c_str(), F_OK), 0);
  EXPECT_EQ(calls(), "");
  const std::string chown = "chown -R daemon " + tree.path();
  ASSERT_EQ(system(chown.c_str()), 0);
  EXPECT_EQ(command(service, {"-i", "-l", "daemon"}).first, 1);
  // The account may capture live, and nothing more.
  EXPECT_NE(readFile(units.file("corramon.service"))
                .find("\nUser=daemon\nAmbientCapabilities=CAP_NET_RAW\n"
                      "CapabilityBoundingSet=CAP_NET_RAW\n"),
            std::string::npos)
      << readFile(units.file("corramon.service"));
}

// systemd reads the unit that an install under systemd writes (state folder in /run, an
// account) without a word of complaint.
TEST(SystemdUnit, SystemdAnalyzeVerifiesTheInstalledUnit) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
  TempDir units;
  SVC_SetDirectories(units.path().c_str(), "/run");
  SVC_SetSystemctl("/bin/true");
  char self[1024];
  ASSERT_GT(SVC_GetModuleFileName(self, sizeof self), 0u);
  SVC_Manager manager = SVC_OpenManager();
  ASSERT_NE(manager, nullptr);
  SVC_ServiceConfig config{"corramon", "Corrana", self, SVC_AUTO_START, "daemon", nullptr};
  SVC_Service service = SVC_CreateService(manager, &config);
  SVC_SetSystemctl(nullptr);
  SVC_SetDirectories(nullptr, nullptr);
  ASSERT_NE(service, nullptr);
  SVC_CloseService(service);
  SVC_CloseManager(manager);
  const std::string unit = readFile(units.file("corramon.service"));
  EXPECT_NE(unit.find("\nRuntimeDirectory=corramon\n"), std::string::npos);
  EXPECT_NE(unit.find("\nAmbientCapabilities=CAP_NET_RAW\nCapabilityBoundingSet=CAP_NET_RAW\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\"OB_SERVICE_STATEDIR=/run/corramon\""), std::string::npos);
  const std::string command =
      "systemd-analyze verify " + units.file("corramon.service") + " 2>&1";
  FILE* verify = popen(command.c_str(), "r");
  ASSERT_NE(verify, nullptr);
  std::string said;
  char chunk[512];
  while (fgets(chunk, sizeof chunk, verify) != nullptr) said += chunk;
  const int status = pclose(verify);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
  EXPECT_EQ(said, "");
}

// In the foreground SIGINT and SIGTERM reach the console handler on its own thread and stop the
// service cleanly.
TEST(CNTService, ForegroundStopsCleanlyOnSigintAndSigterm) {
  corrana_test::InstallTree tree;
  prepare(tree);
  for (int signal : {SIGINT, SIGTERM}) {
    int output[2], ready[2];
    ASSERT_EQ(pipe(output), 0);
    ASSERT_EQ(pipe(ready), 0);
    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      dup2(output[1], 1);
      OB_EngineMgr::setSignalHandlers(0);
      struct Ready : CCorramon {
        int fd;
        explicit Ready(int fd) : fd(fd) {}
        void run(int argc, char** argv) override {
          if (write(fd, "r", 1) != 1) _exit(4);
          CCorramon::run(argc, argv);
        }
      } service(ready[1]);
      _exit(run(service, {"-d"}) == 1 ? 0 : 3);
    }
    close(output[1]);
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(child, signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    char text[256];
    ssize_t n = read(output[0], text, sizeof text - 1);
    text[n > 0 ? n : 0] = '\0';
    EXPECT_STREQ(text, "Debugging Corrana.\nStopping Corrana.\n");
    close(output[0]);
    close(ready[0]);
  }
}

// A pause signal handed over in the foreground keeps the service alive until its handler is
// done, as a stop signal does: here the pause itself ends the run, and the service is destroyed
// while the handler still works.
TEST(CNTService, ForegroundPauseHandlerFinishesBeforeTheServiceGoes) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  fflush(stdout);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static std::atomic<bool> gone{false};
    struct SlowPause : CNTService {
      explicit SlowPause(int fd) : CNTService(kName, kDisplay), fd(fd) {}
      ~SlowPause() override {
        retire();
        gone.store(true);
      }
      void run(int, char**) override {
        if (write(fd, "r", 1) != 1) _exit(4);
        while (!stopped.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      void onStop() override { stopped.store(true); }
      void onPause() override {
        onStop();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (gone.load()) _exit(5);  // still handling a service already destroyed
      }
      int fd;
      std::atomic<bool> stopped{false};
    };
    {
      SlowPause service(ready[1]);
      if (run(service, {"-f"}) != 1) _exit(3);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    _exit(0);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  kill(child, SIGUSR1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(ready[0]);
}

}  // namespace
