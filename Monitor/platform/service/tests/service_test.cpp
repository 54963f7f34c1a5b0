#include "service.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "FileText.h"
#include "TempDir.h"

namespace {

using corrana_test::TempDir;
using corrana_test::readFile;

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    SVC_SetDirectories(units.path().c_str(), state.path().c_str());
    mkdir(state.file("corramon").c_str(), 0755);
  }
  void TearDown() override {
    SVC_SetDirectories(nullptr, nullptr);
    SVC_SetSystemctl(nullptr);
  }
  std::string state_file() const { return state.file("corramon/corramon.status"); }
  TempDir units;
  TempDir state;
};

TEST_F(Service, UnitQuotesItsTextsAndRefusesOnesThatWouldBreakIt) {
  SVC_SetSystemctl("/bin/true");  // an account needs systemd
  SVC_Manager manager = SVC_OpenManager();
  ASSERT_NE(manager, nullptr);
  SVC_ServiceConfig config{"corramon", "Corrana 100%", "/opt/my \"dir\"/corramon", SVC_DEMAND_START,
                           "daemon", "secret"};
  SVC_Service service = SVC_CreateService(manager, &config);
  ASSERT_NE(service, nullptr);
  std::string unit = readFile(units.file("corramon.service"));
  EXPECT_NE(unit.find("Description=Corrana 100%%\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"/opt/my \\\"dir\\\"/corramon\"\n"), std::string::npos);
  EXPECT_NE(unit.find("Environment=\"OB_SERVICE=corramon\" \"OB_SERVICE_STATEDIR=" + state.path() +
                      "/corramon\"\n"),
            std::string::npos);
  EXPECT_NE(unit.find("User=daemon\n"), std::string::npos);
  EXPECT_EQ(unit.find("secret"), std::string::npos);
  EXPECT_EQ(unit.find("[Install]"), std::string::npos);  // started on demand only
  // A program that ends by itself (a console's restart command) is started again, but not for
  // ever when it keeps failing.
  EXPECT_NE(unit.find("\nRestart=always\nRestartSec=3\n"), std::string::npos);
  EXPECT_NE(unit.find("\nStartLimitIntervalSec=60\nStartLimitBurst=5\n"), std::string::npos);
  // The state folder outside /run is made by the manager, for the account.
  struct stat folder;
  ASSERT_EQ(stat(state.file("corramon").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_uid, getpwnam("daemon")->pw_uid);
  SVC_CloseService(service);

  errno = 0;
  EXPECT_EQ(SVC_CreateService(manager, &config), nullptr);
  EXPECT_EQ(errno, EEXIST);
  SVC_ServiceConfig injected{"other", "x", "/bin/true", SVC_AUTO_START, "a\nUser=root", nullptr};
  EXPECT_EQ(SVC_CreateService(manager, &injected), nullptr);
  EXPECT_EQ(errno, EINVAL);
  SVC_ServiceConfig escaping{"../other", "x", "/bin/true", SVC_AUTO_START, nullptr, nullptr};
  EXPECT_EQ(SVC_CreateService(manager, &escaping), nullptr);
  EXPECT_EQ(errno, EINVAL);
  SVC_ServiceConfig nobodyKnows{"other", "x", "/bin/true", SVC_AUTO_START, "no-such-account-x",
                                nullptr};
  EXPECT_EQ(SVC_CreateService(manager, &nobodyKnows), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_STREQ(SVC_GetLastErrorText(), "no account named no-such-account-x");
  SVC_CloseManager(manager);

  // Without systemd the manager starts the program as whoever asks: an account is refused.
  SVC_SetSystemctl(nullptr);
  manager = SVC_OpenManager();
  ASSERT_NE(manager, nullptr);
  SVC_ServiceConfig other{"other", "x", "/bin/true", SVC_AUTO_START, "daemon", nullptr};
  EXPECT_EQ(SVC_CreateService(manager, &other), nullptr);
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_EQ(access(units.file("other.service").c_str(), F_OK), -1);
  SVC_CloseManager(manager);
}

// A service that died without its last report must not look pending for ever to a manager that
// polls while it is pending.
TEST_F(Service, ServiceWhoseProcessIsGoneReadsStoppedAndRefusesStop) {
  SVC_Manager manager = SVC_OpenManager();
  ASSERT_NE(manager, nullptr);
  SVC_ServiceConfig config{"corramon", "Corrana", "/bin/true", SVC_AUTO_START, nullptr, nullptr};
  SVC_Service service = SVC_CreateService(manager, &config);
  ASSERT_NE(service, nullptr);
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  std::ofstream(state_file()) << gone << " 16 3 1 0 0 4 5000\n";
  SVC_Status status{};
  ASSERT_EQ(SVC_QueryServiceStatus(service, &status), 0);
  EXPECT_EQ(status.currentState, SVC_STOPPED);
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_STOP, &status), -1);
  EXPECT_EQ(errno, ESRCH);
  // A status file that is not ours is an error, not a state.
  std::ofstream(state_file()) << "garbage\n";
  EXPECT_EQ(SVC_QueryServiceStatus(service, &status), -1);
  ASSERT_EQ(SVC_DeleteService(service), 0);
  EXPECT_EQ(access(units.file("corramon.service").c_str(), F_OK), -1);
  SVC_CloseService(service);
  SVC_CloseManager(manager);
}

// Each control reaches the running service as its own signal, only when the service accepts
// that control; interrogate always does.
TEST_F(Service, ControlsTravelAsSignalsWhenAccepted) {
  SVC_Manager manager = SVC_OpenManager();
  ASSERT_NE(manager, nullptr);
  SVC_ServiceConfig config{"corramon", "Corrana", "/bin/true", SVC_AUTO_START, nullptr, nullptr};
  SVC_Service service = SVC_CreateService(manager, &config);
  ASSERT_NE(service, nullptr);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Reports each signal it takes as one byte; ends on SIGTERM.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    if (write(pipeFds[1], "r", 1) != 1) _exit(2);
    for (;;) {
      int signal = 0;
      sigwait(&set, &signal);
      char c = signal == SIGUSR1 ? 'p' : signal == SIGUSR2 ? 'c' : signal == SIGHUP ? 'i' : 't';
      if (write(pipeFds[1], &c, 1) != 1) _exit(2);
      if (signal == SIGTERM) _exit(0);
    }
  }
  close(pipeFds[1]);
  char got = 0;
  ASSERT_EQ(read(pipeFds[0], &got, 1), 1);
  auto report = [&](uint32_t state, uint32_t accepted) {
    std::ofstream(state_file()) << child << " 16 " << state << " " << accepted << " 0 0 0 0\n";
  };
  auto next = [&] {
    char c = 0;
    return read(pipeFds[0], &c, 1) == 1 ? c : '?';
  };
  report(SVC_RUNNING, SVC_ACCEPT_STOP);
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_PAUSE, nullptr), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_SHUTDOWN, nullptr), -1);
  EXPECT_EQ(SVC_ControlService(service, 99, nullptr), -1);
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_INTERROGATE, nullptr), 0);
  EXPECT_EQ(next(), 'i');
  report(SVC_RUNNING, SVC_ACCEPT_STOP | SVC_ACCEPT_PAUSE_CONTINUE | SVC_ACCEPT_SHUTDOWN);
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_PAUSE, nullptr), 0);
  EXPECT_EQ(next(), 'p');
  report(SVC_PAUSED, SVC_ACCEPT_STOP | SVC_ACCEPT_PAUSE_CONTINUE | SVC_ACCEPT_SHUTDOWN);
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_CONTINUE, nullptr), 0);
  EXPECT_EQ(next(), 'c');
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_SHUTDOWN, nullptr), 0);
  EXPECT_EQ(next(), 't');
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(pipeFds[0]);
  SVC_DeleteService(service);
  SVC_CloseService(service);
  SVC_CloseManager(manager);
}

}  // namespace
