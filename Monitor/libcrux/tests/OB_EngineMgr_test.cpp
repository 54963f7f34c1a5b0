#include "OB_EngineMgr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_String.h"
#include "FileText.h"
#include "TempDir.h"

namespace {

using corrana_test::TempDir;
using corrana_test::readFile;

// An engine manager with its protected state opened for the tests.
class TestEngine : public OB_EngineMgr {
 public:
  TestEngine(std::vector<const char*> args, OB_NamedStringList* options)
      : OB_EngineMgr(static_cast<int>(args.size()), const_cast<char**>(args.data()), options,
                     nullptr) {}
  int isInteractive() const { return interactive; }
};

class EngineMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir_.path() + "/logs").c_str(), 0755);
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
  }
  std::string log(const std::string& name) const {
    return readFile(dir_.path() + "/logs/" + name + ".log");
  }

  TempDir dir_;
};

TEST_F(EngineMgrTest, SwitchesAreExactlyTwoCharacters) {
  {
    TestEngine engine({"prog", "-v", "-x", "-iv", "i", "--"}, nullptr);
    EXPECT_EQ(engine.isInteractive(), 0);
    EXPECT_EQ(OB_Log::getDebugLevel(), 1);
  }
  {
    TestEngine engine({"prog", "-r", "-i"}, nullptr);
    EXPECT_EQ(engine.isInteractive(), 1);
    EXPECT_EQ(OB_Log::getDebugLevel(), 0);
  }
}

TEST_F(EngineMgrTest, UsageIsPrintedAndConstructionGoesOn) {
  testing::internal::CaptureStdout();
  TestEngine engine({"prog", "-h", "-i", "-?"}, nullptr);
  std::string usage =
      "Usage: program [ -i ] [ -r ] [ -v ]\n"
      "       i = start in interactive debugging mode\n"
      "       r = give this process a real-time priority\n"
      "       v = verbose debuging output\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), usage + usage);
  EXPECT_EQ(engine.isInteractive(), 1);
}

TEST_F(EngineMgrTest, DebugOptionZeroTurnsTracingOnOtherValuesLeaveItToVerbose) {
  OB_String zero("0");
  OB_String three("3");
  OB_NamedStringList debugZero;
  debugZero.append(&zero, "Debug");
  OB_NamedStringList debugThree;
  debugThree.append(&three, "Debug");
  OB_NamedStringList noDebug;
  noDebug.append(&three, "NetworkStatistics");

  struct Case {
    OB_NamedStringList* options;
    bool verbose;
    int level;
  } cases[] = {
      {&debugZero, false, 1}, {&debugZero, true, 1},  {&debugThree, false, 0},
      {&debugThree, true, 1}, {nullptr, false, 0},    {nullptr, true, 1},
      {&noDebug, false, 0},   {&noDebug, true, 1},
  };
  for (const Case& c : cases) {
    std::vector<const char*> args = {"prog"};
    if (c.verbose) args.push_back("-v");
    TestEngine engine(args, c.options);
    EXPECT_EQ(OB_Log::getDebugLevel(), c.level)
        << (c.options == &debugZero ? "Debug 0" : c.options == &debugThree ? "Debug 3" : "none")
        << (c.verbose ? " -v" : "");
  }
}

TEST_F(EngineMgrTest, LogIsNamedAfterTheProgramsBaseName) {
  {
    TestEngine engine({"/opt/a-1.2/bin/corramon"}, nullptr);
    EXPECT_STREQ(OB_Log::getName(), "corramon");
    OB_Log::log("written\n");
  }
  EXPECT_EQ(corrana_test::untimed(log("corramon")), "written\n");
  EXPECT_EQ(OB_Log::getName(), nullptr);  // the destructor closed the log

  char name[256];
  EXPECT_STREQ(OB_EngineMgr::logNameOf("prog", name, sizeof name), "prog");
  EXPECT_STREQ(OB_EngineMgr::logNameOf("C:\\x\\bin\\prog.exe", name, sizeof name), "prog");
  EXPECT_STREQ(OB_EngineMgr::logNameOf("./corramon", name, sizeof name), "corramon");
  EXPECT_STREQ(OB_EngineMgr::logNameOf("/usr/bin/corramon.bin.old", name, sizeof name),
               "corramon");
  EXPECT_STREQ(OB_EngineMgr::logNameOf(nullptr, name, sizeof name), "program");
  EXPECT_STREQ(OB_EngineMgr::logNameOf("/bin/.hidden", name, sizeof name), "program");
  std::string longPath(1, '/');
  longPath.append(100, 'd').append(1, '/').append(400, 'p').append(".exe");
  EXPECT_EQ(std::string(OB_EngineMgr::logNameOf(longPath.c_str(), name, sizeof name)),
            std::string(255, 'p'));
  char small[5];
  EXPECT_STREQ(OB_EngineMgr::logNameOf("corramon", small, sizeof small), "corr");

  TestEngine withoutArgs({}, nullptr);
  EXPECT_STREQ(OB_Log::getName(), "program");
}

// The service releases the analysis engine before the capture engine, whose release still logs
// (archives that fail to close): those lines go to the log, not to standard output.
TEST_F(EngineMgrTest, TheLogStaysOpenUntilTheLastEngineIsReleased) {
  auto* capture = new TestEngine({"corramon"}, nullptr);
  auto* analysis = new TestEngine({"corramon"}, nullptr);
  analysis->release();
  OB_Log::log("the capture's last line\n");
  EXPECT_STREQ(OB_Log::getName(), "corramon");
  capture->release();
  EXPECT_EQ(OB_Log::getName(), nullptr);
  EXPECT_EQ(corrana_test::untimed(log("corramon")), "the capture's last line\n");
}

TEST_F(EngineMgrTest, AnswersItsFacesAndHandsOutItsConfigurations) {
  // Released through another face, the last engine closes the log.
  OB_EngineMgr* made = new TestEngine({"made"}, nullptr);
  obRelease(obQuery<OB_MessageHandler>(static_cast<OB_Event*>(made)));
  EXPECT_EQ(OB_Log::getName(), nullptr);

  time_t before = time(nullptr);
  TestEngine engine({"prog"}, nullptr);
  time_t after = time(nullptr);
  EXPECT_GE(engine.getStartTime(), static_cast<int32_t>(before));
  EXPECT_LE(engine.getStartTime(), static_cast<int32_t>(after));
  EXPECT_EQ(engine.init(), 0);
  EXPECT_EQ(engine.input(), 0);
  ASSERT_NE(engine.getConfig(), nullptr);
  ASSERT_NE(engine.getConfigAdmin(), nullptr);
  EXPECT_NE(engine.getConfig(), engine.getConfigAdmin());

  OB_Object* object = static_cast<OB_Object*>(static_cast<OB_Event*>(&engine));
  EXPECT_STREQ(object->getClassName(), "OB_EngineMgr");
  EXPECT_EQ(obQuery<OB_EngineMgr>(object), &engine);
  EXPECT_EQ(obQuery<OB_MessageHandler>(object), static_cast<OB_MessageHandler*>(&engine));
  EXPECT_EQ(obQuery<OB_Event>(object), static_cast<OB_Event*>(&engine));
  EXPECT_NE(obQuery<OB_Object>(object), nullptr);
  EXPECT_EQ(obQuery<OB_ThreadList>(object), nullptr);
}

TEST_F(EngineMgrTest, SignalHandlersOnlyWriteOneLineToTheLog) {
  TestEngine engine({"sig"}, nullptr);
  ASSERT_EQ(raise(SIGTERM), 0);
  ASSERT_EQ(raise(SIGINT), 0);
  EXPECT_EQ(log("sig"), "called the doNothing function.  signo=" + std::to_string(SIGTERM) +
                            "\ncalled the doQuit function.  signo=" + std::to_string(SIGINT) +
                            "\n");
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);

  // Left to the service: a constructor then does not touch the handlers.
  OB_EngineMgr::setSignalHandlers(0);
  {
    TestEngine quiet({"quiet"}, nullptr);
    struct sigaction current;
    sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
  }
  OB_EngineMgr::setSignalHandlers(1);
}

TEST_F(EngineMgrTest, CleanupWritesItsLineAndEndsWithStatusZero) {
  std::string out = dir_.path() + "/stdout.txt";
  EXPECT_EXIT(
      {
        if (freopen(out.c_str(), "w", stdout) == nullptr) abort();
        OB_EngineMgr::cleanup(42);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(readFile(out), "Quitting capture engine.\n");
}

}  // namespace
