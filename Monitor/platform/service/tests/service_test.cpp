#include "service.h"

#include <gtest/gtest.h>
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
  void SetUp() override { SVC_SetDirectories(units.path().c_str(), state.path().c_str()); }
  void TearDown() override { SVC_SetDirectories(nullptr, nullptr); }
  TempDir units;
  TempDir state;
};

TEST_F(Service, UnitQuotesItsTextsAndRefusesOnesThatWouldBreakIt) {
  SVC_Manager manager = SVC_OpenManager();
  ASSERT_NE(manager, nullptr);
  SVC_ServiceConfig config{"corramon", "Corrana 100%", "/opt/my \"dir\"/corramon", SVC_DEMAND_START,
                           "monitor", "secret"};
  SVC_Service service = SVC_CreateService(manager, &config);
  ASSERT_NE(service, nullptr);
  std::string unit = readFile(units.file("corramon.service"));
  EXPECT_NE(unit.find("Description=Corrana 100%%\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"/opt/my \\\"dir\\\"/corramon\"\n"), std::string::npos);
  EXPECT_NE(unit.find("Environment=\"OB_SERVICE=corramon\" \"OB_SERVICE_STATEDIR=" + state.path()),
            std::string::npos);
  EXPECT_NE(unit.find("User=monitor\n"), std::string::npos);
  EXPECT_EQ(unit.find("secret"), std::string::npos);
  EXPECT_EQ(unit.find("[Install]"), std::string::npos);  // started on demand only
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
  std::ofstream(state.file("corramon.status")) << gone << " 16 3 1 0 0 4 5000\n";
  SVC_Status status{};
  ASSERT_EQ(SVC_QueryServiceStatus(service, &status), 0);
  EXPECT_EQ(status.currentState, SVC_STOPPED);
  EXPECT_EQ(SVC_ControlService(service, SVC_CONTROL_STOP, &status), -1);
  EXPECT_EQ(errno, ESRCH);
  // A status file that is not ours is an error, not a state.
  std::ofstream(state.file("corramon.status")) << "garbage\n";
  EXPECT_EQ(SVC_QueryServiceStatus(service, &status), -1);
  ASSERT_EQ(SVC_DeleteService(service), 0);
  EXPECT_EQ(access(units.file("corramon.service").c_str(), F_OK), -1);
  SVC_CloseService(service);
  SVC_CloseManager(manager);
}

}  // namespace
