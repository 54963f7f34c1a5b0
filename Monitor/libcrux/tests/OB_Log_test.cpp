#include "OB_Log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FileText.h"
#include "OB_Exception.h"
#include "OB_Tools.h"

namespace {

using corrana_test::readFile;
using corrana_test::untimed;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// An install directory of its own with a "logs" folder, named by OB_INSTALLDIR.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corrana-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    install_ = pattern;
    ASSERT_EQ(mkdir((install_ + "/logs").c_str(), 0755), 0);
    setenv("OB_INSTALLDIR", install_.c_str(), 1);
  }
  void TearDown() override {
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
    std::string command = "rm -rf '" + install_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string logPath(const char* name) const { return install_ + "/logs/" + name + ".log"; }

  std::string install_;
};

TEST_F(LogTest, ClosedLogWritesNothingAndNamesStandardOutput) {
  OB_Log::flog(nullptr, "nowhere %d\n", 1);
  OB_Log::log("nowhere\n");
  OB_Log::ret("nowhere");
  OB_Log::debug("nowhere\n");
  OB_Log::debugLevel(nullptr, 0, "nowhere\n");
  EXPECT_EQ(OB_Log::getFD(), stdout);
  EXPECT_EQ(OB_Log::getDebugLevel(), 0);

  FILE* stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  OB_Log::flog(stream, "to %s\n", "stream");
  OB_Log::debugLevel(stream, 0, "level %d\n", 0);
  rewind(stream);
  char text[64] = {};
  ASSERT_GT(fread(text, 1, sizeof text - 1, stream), 0u);
  EXPECT_STREQ(text, "to stream\nlevel 0\n");
  fclose(stream);
}

TEST_F(LogTest, RetLineCarriesEnglishMonthTimePrefix) {
  setlocale(LC_ALL, "");
  OB_Log::init("ret", 0, nullptr);
  time_t before = time(nullptr);
  OB_Log::ret("hcommand_SET_CONFIG: %s", "Not enough memory.");
  time_t after = time(nullptr);
  OB_Log::reset();
  setlocale(LC_ALL, "C");

  std::string text = readFile(logPath("ret"));
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      text, match,
      std::regex("([0-9]{4})([A-Z][a-z]{2})([0-9]{2})-([0-9]{2}):([0-9]{2}) - "
                 "hcommand_SET_CONFIG: Not enough memory\\.\n")))
      << text;
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm first, last;
  OB_Tools::localTime(before, &first);
  OB_Tools::localTime(after, &last);
  std::string month = match[2];
  EXPECT_TRUE(month == months[first.tm_mon] || month == months[last.tm_mon]) << month;
  EXPECT_EQ(text.find(" - "), 15u);
}

TEST_F(LogTest, RetLinesStayWholeUnderConcurrentWriters) {
  OB_Log::init("threads", 1, nullptr);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        OB_Log::ret("writer %d line %d", t, i);
        OB_Log::debug("debug %d %d\n", t, i);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  OB_Log::reset();

  std::vector<std::string> all = lines(readFile(logPath("threads")));
  ASSERT_EQ(all.size(), 1600u);
  std::regex retLine("[0-9]{4}[A-Z][a-z]{2}[0-9]{2}-[0-9]{2}:[0-9]{2} - writer [0-3] line [0-9]+");
  std::regex debugLine("[0-9]{4}[A-Z][a-z]{2}[0-9]{2}-[0-9]{2}:[0-9]{2} - debug [0-3] [0-9]+");
  int retCount = 0;
  for (const std::string& line : all) {
    if (std::regex_match(line, retLine)) {
      ++retCount;
    } else {
      EXPECT_TRUE(std::regex_match(line, debugLine)) << line;
    }
  }
  EXPECT_EQ(retCount, 800);
}

TEST_F(LogTest, DebugLevelsSelectWhatIsWritten) {
  OB_Log::init("levels", 2, nullptr);
  OB_Log::debugLevel(nullptr, 2, "at two\n");
  OB_Log::debugLevel(nullptr, 3, "at three\n");
  OB_Log::debug("debug at two\n");
  OB_Log::init("levels", 1, nullptr);
  OB_Log::debugLevel(nullptr, 2, "two at one\n");
  OB_Log::init("levels", 0, nullptr);
  OB_Log::debug("debug at zero\n");
  OB_Log::debugLevel(nullptr, 0, "zero at zero\n");
  OB_Log::log("plain\n");
  OB_Log::flog(nullptr, "flog %d\n", 5);
  OB_Log::reset();
  EXPECT_EQ(untimed(readFile(logPath("levels"))),
            "at two\ndebug at two\nzero at zero\nplain\nflog 5\n");
}

// Every line of the log has its time, whichever call wrote it: a line built in pieces gets one,
// a text of several lines one per line, and a report after an unended line starts its own.
TEST_F(LogTest, EveryLineOfTheLogHasItsTime) {
  OB_Log::init("times", 1, nullptr);
  OB_Log::log("built ");
  OB_Log::log("in pieces\n");
  OB_Log::flog(nullptr, "two\nlines\n");
  OB_Log::debug("a trace\n");
  OB_Log::log("left open");
  OB_Log::ret("a report");
  OB_Log::reset();
  EXPECT_EQ(untimed(readFile(logPath("times"))),
            "built in pieces\ntwo\nlines\na trace\nleft open\na report\n");
}

TEST_F(LogTest, InitTwiceAppendsAndSwitchesFiles) {
  OB_Log::init("first", 0, nullptr);
  OB_Log::log("one\n");
  OB_Log::init("first", 0, nullptr);
  OB_Log::log("two\n");
  EXPECT_STREQ(OB_Log::getName(), "first");
  OB_Log::init("second", 0, nullptr);
  OB_Log::log("three\n");
  OB_Log::reset();
  EXPECT_EQ(OB_Log::getName(), nullptr);
  EXPECT_EQ(untimed(readFile(logPath("first"))), "one\ntwo\n");
  EXPECT_EQ(untimed(readFile(logPath("second"))), "three\n");
}

TEST_F(LogTest, ResetForgetsLevelAndHandler) {
  OB_ExitHandler handler;
  OB_Log::init("handler", 3, &handler);
  EXPECT_EQ(OB_Log::getExitHandler(), &handler);
  EXPECT_EQ(OB_Log::getDebugLevel(), 3);
  EXPECT_NE(OB_Log::getFD(), stdout);
  EXPECT_GE(OB_Log::getDescriptor(), 0);
  EXPECT_EQ(OB_Log::reset(), 0);
  EXPECT_EQ(OB_Log::getExitHandler(), nullptr);
  EXPECT_EQ(OB_Log::getDebugLevel(), 0);
  EXPECT_EQ(OB_Log::getDescriptor(), -1);
}

TEST_F(LogTest, QuitWritesMessageFlushesStdioAndExitsWithOne) {
  std::string pending = install_ + "/pending.txt";
  EXPECT_EXIT(
      {
        OB_Log::init("quit", 0, nullptr);
        FILE* other = fopen(pending.c_str(), "w");
        fputs("buffered", other);
        OB_Log::quit("readGeneralConfigFile: no memory %d\n", 7);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(untimed(readFile(logPath("quit"))), "readGeneralConfigFile: no memory 7\n");
  EXPECT_EQ(readFile(pending), "buffered");
}

// The program's exit handler hears of a fatal stop (the service turns it into an error event),
// once and without the line end, also when the log itself could not be opened.
TEST_F(LogTest, QuitOffersItsMessageToTheExitHandler) {
  struct Reporter : OB_ExitHandler {
    void handleExit(char* message) override {
      fprintf(stderr, "[%s]", message);
      OB_Log::quit("again\n");  // a handler that fails in turn is not offered a second one
    }
  };
  EXPECT_EXIT(
      {
        static Reporter reporter;
        OB_Log::init("quit", 0, &reporter);
        OB_Log::quit("newSocket: port %d already in use\n", 8190);
      },
      ::testing::ExitedWithCode(1), "\\[newSocket: port 8190 already in use\\]$");
  std::string logs = install_ + "/logs";
  EXPECT_EXIT(
      {
        static Reporter reporter;
        rename(logs.c_str(), (logs + ".gone").c_str());
        OB_Log::init("quit", 0, &reporter);
      },
      ::testing::ExitedWithCode(1),
      "\\[the log folder .*/logs can't be opened: No such file or directory\\]$");
  rename((logs + ".gone").c_str(), logs.c_str());
}

// A log file that cannot be written names the file and the system's reason.
TEST_F(LogTest, ALogFileThatCannotBeOpenedIsNamedWithTheReason) {
  const std::string file = install_ + "/logs/locked.log";
  ASSERT_EQ(mkdir(file.c_str(), 0755), 0);  // a folder in its place: no stream opens it
  struct Reporter : OB_ExitHandler {
    void handleExit(char* message) override { fprintf(stderr, "[%s]", message); }
  };
  EXPECT_EXIT(
      {
        static Reporter reporter;
        OB_Log::init("locked", 0, &reporter);
      },
      ::testing::ExitedWithCode(1), "\\[can't open the log file " + file + ": Is a directory\\]$");
  rmdir(file.c_str());
}

TEST_F(LogTest, QuitWithoutLogStillExitsWithOne) {
  EXPECT_EXIT(OB_Log::quit("unseen\n"), ::testing::ExitedWithCode(1), "");
}

TEST_F(LogTest, MissingLogsFolderEndsProcess) {
  ASSERT_EQ(rmdir((install_ + "/logs").c_str()), 0);
  EXPECT_EXIT(OB_Log::init("none", 0, nullptr), ::testing::ExitedWithCode(1), "");
  ASSERT_EQ(mkdir((install_ + "/logs").c_str(), 0755), 0);
}

TEST(LogErrorText, SysErrStrNamesErrnoPerThread) {
  errno = 0;
  EXPECT_STREQ(OB_Log::sys_err_str(), "");
  errno = ENOENT;
  const char* mine = OB_Log::sys_err_str();
  EXPECT_STREQ(mine, "(errno = 2)");
  const char* theirs = nullptr;
  std::thread([&theirs] {
    errno = EACCES;
    theirs = OB_Log::sys_err_str();
    EXPECT_STREQ(theirs, "(errno = 13)");
  }).join();
  EXPECT_NE(mine, theirs);
  EXPECT_STREQ(mine, "(errno = 2)");
}

TEST(Exception, KeepsDeepCopiesAndPrintsThroughFlog) {
  char text[] = "broken";
  char file[] = "OB_Thing.cpp";
  OB_Exception error(3, text, file, 9);
  text[0] = 'X';
  file[0] = 'X';
  OB_Exception copy = error;
  OB_Exception assigned(0, nullptr, nullptr, 0);
  assigned = copy;
  EXPECT_EQ(assigned.err(), 3);
  EXPECT_STREQ(assigned.getText(), "broken");

  FILE* stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(copy.print(stream), 0);
  rewind(stream);
  char printed[128] = {};
  ASSERT_GT(fread(printed, 1, sizeof printed - 1, stream), 0u);
  EXPECT_STREQ(printed, "Error=3 Text=broken File=OB_Thing.cpp Line=9\n");
  fclose(stream);

  OB_Exception empty(1, nullptr, nullptr, 2);
  EXPECT_EQ(empty.getText(), nullptr);
  EXPECT_EQ(empty.getFile(), nullptr);
}

}  // namespace
