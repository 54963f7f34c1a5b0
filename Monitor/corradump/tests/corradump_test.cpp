// The export tool end to end on a temporary install tree: the configuration written by the
// engine's own writer, archives written by the archive writer, and the tool run in this process
// (for the resolver seam) or as the program (for its output streams and statuses).
#include "corradump.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "DumpTestSupport.h"
#include "OB_Tools.h"
#include "TempDir.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "http/OB_AccessLogLine.h"
#include "windows/OB_IndexChanger.h"

namespace {

using dump_test::readFile;
using dump_test::Request;

constexpr uint32_t kServer = (10u << 24) | 80u;                             // 10.0.0.80
constexpr uint32_t kClient = (192u << 24) | (168u << 16) | (1u << 8) | 7u;  // 192.168.1.7

// Today in 24 bins, this week in 7 days, this month: the windows -today, -week and -month name.
timeWindow_t periodWindow(int period) {
  timeWindow_t window = {};
  std::snprintf(window.name, sizeof window.name, "period %d", period);
  window.windowType = OB_IndexChanger::kAlignedWindow;
  window.alignRTType = static_cast<uint16_t>(period);
  window.staticNumOfBins = period == 0 ? 24 : 7;
  return window;
}

// [ago, now) of a period's window at this moment.
std::pair<uint32_t, uint32_t> bounds(int period) {
  timeWindow_t window = periodWindow(period);
  OB_IndexChanger* changer = new OB_IndexChanger();
  changer->setTimeWindow(&window);
  changer->init();
  std::pair<uint32_t, uint32_t> range{changer->getAgoTime(), changer->getNowTime()};
  changer->release();
  return range;
}

// The name lookups of one test: one address has a name, each look-up is counted.
int lookups = 0;
int namedLookup(uint32_t address, char* name, size_t size) {
  ++lookups;
  if (address != kClient) return -1;
  std::snprintf(name, size, "%s", "Client.Example");
  return 0;
}

// An install tree with the first `windows` period windows and one HTTP server, 10.0.0.80:80, in
// its configuration, and an archive of five connections from 192.168.1.7: one of 2001, and one at
// the start of this month, of this week and of today, and one two seconds ago.
class CorradumpTest : public ::testing::Test {
 protected:
  void makeTree(int windows) {
    for (const char* folder : {"admin", "logs", "db"})
      std::filesystem::create_directory(tree_.file(folder));
    setenv("OB_INSTALLDIR", tree_.path().c_str(), 1);
    OB_AEngineConfig config;
    config.numOfTimeWindows = static_cast<uint16_t>(windows);
    config.timeWindows = new timeWindow_t*[windows];
    for (int i = 0; i < windows; ++i) config.timeWindows[i] = new timeWindow_t(periodWindow(i));
    config.numOfHTTPServers = 1;
    config.httpServers = new OB_HTTPServer*[1];
    config.httpServers[0] = OB_HTTPServer::create();
    config.httpServers[0]->setIPAddress(kServer);
    config.httpServers[0]->setName("www");
    ASSERT_EQ(config.writeConfigFile(), 0);
    std::ofstream(tree_.file("admin/aengineInstall.cfg")) << "# the defaults\n";

    const uint32_t latest = static_cast<uint32_t>(time(nullptr)) - 2;
    const std::vector<std::pair<uint32_t, std::string>> named = {{1000000000, "/2001"},
                                                                 {bounds(2).first, "/month"},
                                                                 {bounds(1).first, "/week"},
                                                                 {bounds(0).first, "/today"},
                                                                 {latest, "/latest"}};
    for (const auto& [when, uri] : named) connections_.emplace_back(std::min(when, latest), uri);
    std::sort(connections_.begin(), connections_.end());
    std::vector<OB_HTTPProtocol*> records;
    for (const auto& [when, uri] : connections_)
      records.push_back(dump_test::connection(when, kClient, kServer, {Request(uri)}));
    dump_test::archive(tree_.file("db"), records);
  }

  // The lines of the archived connections in [ago, now), in archive order.
  std::string linesWithin(uint32_t ago, uint32_t now, const std::string& host = "192.168.1.7") {
    std::string lines;
    for (const auto& [when, uri] : connections_) {
      if (when < ago || when >= now) continue;
      char stamp[OB_AccessLogLine::kTimeSize];
      OB_AccessLogLine::formatTime(when, stamp);
      lines += host + "  - 10.0.0.80 " + stamp + " \"GET " + uri + " HTTP/1.1\" 200 0   \n";
    }
    return lines;
  }

  // The tool in this process, in the tree as its working directory.
  int runHere(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "corradump");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    dump_test::WorkingDirectory here(tree_.path());
    return corradump_main(static_cast<int>(arguments.size()), argv.data());
  }

  struct Run {
    int status;
    std::string out;
    std::string err;
  };
  // The program, in the tree as its working directory.
  Run runProgram(const std::string& arguments) {
    const std::string command = "cd '" + tree_.path() + "' && '" CORRADUMP_PROGRAM "' " +
                                arguments + " >'" + tree_.file("stdout") + "' 2>'" +
                                tree_.file("stderr") + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(tree_.file("stdout")),
            readFile(tree_.file("stderr"))};
  }

  const std::string& root() const { return tree_.path(); }
  std::string file(const std::string& name) const { return tree_.file(name); }

  corrana_test::TempDir tree_;
  std::vector<std::pair<uint32_t, std::string>> connections_;
};

const std::string kUsage = std::string(corradump_usage) + "\n";

TEST_F(CorradumpTest, WithoutAPeriodOptionTheWholeArchiveUpToTheRunIsWritten) {
  makeTree(3);
  ASSERT_EQ(runHere({"-db", root(), "-out", "all.log"}), 0);
  const std::string all = readFile(file("all.log"));
  EXPECT_EQ(all, linesWithin(0, 0xFFFFFFFFu));
  EXPECT_NE(all.find("/2001"), std::string::npos);
}

TEST_F(CorradumpTest, EachPeriodOptionWritesItsWindowAndTheLastOneWins) {
  makeTree(3);
  const std::map<std::vector<std::string>, int> runs = {
      {{"-today"}, 0}, {{"-week"}, 1}, {{"-month"}, 2}, {{"-month", "-week", "-today"}, 0}};
  for (const auto& [periods, period] : runs) {
    std::vector<std::string> arguments = {"-db", root(), "-out", "period.log", "-he", "-fi"};
    arguments.insert(arguments.end(), periods.begin(), periods.end());
    ASSERT_EQ(runHere(arguments), 0);
    const auto [ago, now] = bounds(period);
    EXPECT_EQ(readFile(file("period.log")), linesWithin(ago, now)) << periods.back();
  }
}

TEST_F(CorradumpTest, WithoutAPeriodOptionTheBinsSpanTheWholeRange) {
  OB_AEngineConfig config;
  config.numOfTimeWindows = 1;
  config.timeWindows = new timeWindow_t* [1] { new timeWindow_t(periodWindow(0)) };
  corradump_settings settings;
  OB_IndexChanger* changer = corradump_openWindow(&config, settings, 1700000005);
  ASSERT_NE(changer, nullptr);
  EXPECT_EQ(changer->getAgoTime(), 0u);
  EXPECT_EQ(changer->getNowTime(), 1700000005u);
  EXPECT_EQ(changer->getBinSize(), 70833334u);  // 24 bins over the whole range, rounded up
  changer->release();

  // A period whose window the configuration lacks gets none.
  settings.period = 1;
  settings.useNow = 0;
  EXPECT_EQ(corradump_openWindow(&config, settings, 1700000005), nullptr);
}

TEST_F(CorradumpTest, ThePeriodsWindowMustBeConfigured) {
  makeTree(1);
  const Run run = runProgram("-db '" + root() + "' -month -out month.log");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "corradump: -month needs time window 3; the configuration has 1 (" + root() +
                         "/admin/aengine_prvt.cfg; see corradump --help)\n");
  EXPECT_FALSE(std::filesystem::exists(file("month.log")));
  EXPECT_EQ(runProgram("-db '" + root() + "' -today").status, 0);
}

TEST_F(CorradumpTest, OutputStreamsAndExitStatuses) {
  makeTree(3);
  const std::string db = "-db '" + root() + "'";
  // Without -out the lines go to standard output, after the verbose line.
  Run run = runProgram(db + " -today -verbose");
  EXPECT_EQ(run.status, 0) << run.err;
  const auto [ago, now] = bounds(0);
  EXPECT_EQ(run.out, "Database directory: " + root() + "\n" + linesWithin(ago, now));

  run = runProgram("--help");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kUsage + corradump_help);
  run = runProgram(db + " -bogus");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "corradump: unknown option -bogus\n" + kUsage);
  // An option without its value is a bad option too.
  for (const std::string option : {"-db", "-out"}) {
    run = runProgram("-today " + option);
    EXPECT_EQ(run.status, 2) << option;
    EXPECT_EQ(run.out, "") << option;
    EXPECT_EQ(run.err, "corradump: " + option + " needs a value\n" + kUsage) << option;
  }
  run = runProgram(db + " -usage");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kUsage);
  // The defaults: the working directory (the tree here) and the whole archive.
  run = runProgram("");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, linesWithin(0, 0xFFFFFFFFu));
  EXPECT_EQ(run.err, "");
  run = runProgram("-today");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, linesWithin(ago, now));

  // A directory the log cannot go to is named before anything is read.
  run = runProgram("-db '" + file("logs/corradump.log") + "' -today");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "corradump: " + file("logs/corradump.log") + ": not a directory\n");
  run = runProgram("-db '" + file("db") + "' -today");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "corradump: " + file("db/logs") + ": No such file or directory\n");

  // Once, on standard error.
  run = runProgram(db + " -out '" + file("missing/x.log") + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "corradump: could not open " + file("missing/x.log") + " (No such file or directory)\n");
  if (std::filesystem::exists("/dev/full")) {
    run = runProgram(db + " -out /dev/full");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("writing /dev/full failed (No space left on device)"), std::string::npos)
        << run.err;
  }
}

TEST_F(CorradumpTest, HelpNamesEveryOptionAndTheWindowsThePeriodsNeed) {
  const std::string help = corradump_help;
  const std::string usage = corradump_usage;
  for (const char* option : {"-db", "-today", "-week", "-month", "-out", "-resolve", "-hi", "-hp",
                             "-verbose", "-usage", "--help", "-he", "-hr", "-hb", "-fd", "-fa",
                             "-fi"}) {
    EXPECT_NE(help.find(std::string(" ") + option + " "), std::string::npos) << option;
    // The usage line, --help's first, names each one too.
    const std::string named = std::string(option);
    EXPECT_TRUE(usage.find("[" + named + "]") != std::string::npos ||
                usage.find("[" + named + " ") != std::string::npos ||
                usage.find(" " + named + " ") != std::string::npos ||
                usage.find(" " + named + "]") != std::string::npos)
        << option;
  }
  EXPECT_NE(help.find("must define two"), std::string::npos);
  EXPECT_NE(help.find("must define three"), std::string::npos);
}

TEST_F(CorradumpTest, AConfigurationItCannotReadIsNamedOnStandardError) {
  makeTree(3);
  const std::string db = "-db '" + root() + "' -today";
  const std::string settings = file("admin/aengine_prvt.cfg");
  std::filesystem::rename(settings, file("kept.cfg"));
  Run run = runProgram(db);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "corradump: cannot read the configuration " + settings +
                         " (No such file or directory)\n");
  // A folder in its place opens but does not read.
  std::filesystem::create_directory(settings);
  run = runProgram(db);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "corradump: cannot read the configuration " + settings + " (Is a directory)\n");
  std::filesystem::remove(settings);
  std::filesystem::rename(file("kept.cfg"), settings);

  // A file that reads but is refused: the reason of the part that refused it.
  std::ofstream(file("admin/aengineInstall.cfg")) << "port eighty\n";
  run = runProgram(db);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "corradump: " + file("admin/aengineInstall.cfg") +
                         " line 1: the analysis console's port eighty is not a number\n");
  EXPECT_EQ(run.out, "");
}

// The tool only reads: installation additions waiting for the service stay waiting, and the
// configuration the console set stays as it was written.
TEST_F(CorradumpTest, AdditionsWaitingForTheServiceAreLeftAndNothingIsWritten) {
  makeTree(3);
  const std::string settings = readFile(file("admin/aengine_prvt.cfg"));
  const std::string additions = "http: 10.0.0.5\npassword: n3w\n";
  std::ofstream(file("admin/installa.cfg")) << additions;
  ASSERT_EQ(runProgram("-db '" + root() + "' -out all.log").status, 0);
  EXPECT_EQ(readFile(file("admin/installa.cfg")), additions);
  EXPECT_EQ(readFile(file("admin/aengine_prvt.cfg")), settings);
}

// A run that goes well leaves its log as it was: no trace of its steps, no letter per record.
TEST_F(CorradumpTest, ARunThatGoesWellLogsNothing) {
  makeTree(3);
  ASSERT_EQ(runProgram("-db '" + root() + "' -out all.log -hi -hp").status, 0);
  EXPECT_EQ(readFile(file("logs/corradump.log")), "");
}

// An install prefix in place of its "conf" folder is named as such; an install without an
// archive yet writes an empty log and says why.
TEST_F(CorradumpTest, APrefixAndAnInstallWithoutArchiveAreNamed) {
  makeTree(1);
  const std::string conf = file("prefix/conf");
  std::filesystem::create_directories(conf);
  for (const char* folder : {"admin", "logs", "db"})
    std::filesystem::copy(file(folder), conf + "/" + folder,
                          std::filesystem::copy_options::recursive);
  Run run = runProgram("-db '" + file("prefix") + "' -today");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "corradump: " + file("prefix") +
                         " is an install prefix; -db takes its install directory " + conf + "\n");

  for (const auto& entry : std::filesystem::directory_iterator(conf + "/db"))
    if (entry.path().filename().string().rfind("http-", 0) == 0)
      std::filesystem::remove(entry.path());
  run = runProgram("-db '" + conf + "' -today -out today.log");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "corradump: " + conf + "/db holds no HTTP archive yet: the log is empty\n");
  EXPECT_EQ(readFile(file("today.log")), "");
  // With an archive, not a word.
  run = runProgram("-db '" + root() + "' -today -out today.log");
  EXPECT_EQ(run.err, "");
}

// The archive is read where the service reads it: an installation file whose dbpath names
// another folder sends the tool there, and the tool's word on an empty archive names that folder.
TEST_F(CorradumpTest, TheArchiveIsReadWhereTheInstallationFileSendsIt) {
  makeTree(1);
  const std::string elsewhere = file("elsewhere");
  std::filesystem::rename(file("db"), elsewhere);
  std::filesystem::create_directory(file("db"));
  std::ofstream(file("admin/aengineInstall.cfg")) << "port default\ndbpath " << elsewhere << "\n";
  Run run = runProgram("-db '" + root() + "' -out all.log");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(file("all.log")), linesWithin(0, 0xFFFFFFFFu));

  std::ofstream(file("admin/aengineInstall.cfg")) << "dbpath " << file("db") << "\n";
  run = runProgram("-db '" + root() + "' -out all.log");
  EXPECT_EQ(run.err, "corradump: " + file("db") + " holds no HTTP archive yet: the log is empty\n");
}

TEST_F(CorradumpTest, SideListsAreWrittenInTheWorkingDirectory) {
  makeTree(3);
  const Run run = runProgram("-db '" + root() + "' -out all.log -hi -hp -hr");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(file("http_users.out")), "192.168.1.7   5\n");
  // The URIs alone, in the order of the log.
  std::string urls;
  for (const auto& [when, uri] : connections_) urls += uri + "\n";
  EXPECT_EQ(readFile(file("http_urls.out")), urls);
  EXPECT_FALSE(std::filesystem::exists(file("http_mimetypes.out")));
}

// Started under any file-mode mask, the tool makes no file another user may write or read: the
// export, the side lists and the domain cache hold client addresses and URLs.
TEST_F(CorradumpTest, NoFileItMakesIsOpenToOtherUsersWhateverTheUmask) {
  makeTree(3);
  OB_Tools::setReverseLookup(namedLookup);
  const mode_t inherited = umask(0);
  const int status = runHere({"-db", root(), "-out", "all.log", "-hi", "-hp", "-resolve"});
  umask(inherited);
  OB_Tools::setReverseLookup(nullptr);
  ASSERT_EQ(status, 0);
  for (const std::string& made :
       {file("all.log"), file("http_users.out"), file("http_urls.out"), root() + "/db/domains.db"}) {
    struct stat info = {};
    ASSERT_EQ(stat(made.c_str(), &info), 0) << made;
    EXPECT_EQ(info.st_mode & (S_IWGRP | S_IRWXO), 0u) << made << std::oct << " " << info.st_mode;
  }
}

TEST_F(CorradumpTest, NamesResolvedInOneRunAreKeptForTheNext) {
  makeTree(3);
  lookups = 0;
  OB_Tools::setReverseLookup(namedLookup);
  ASSERT_EQ(runHere({"-db", root(), "-out", "first.log", "-resolve"}), 0);
  EXPECT_EQ(lookups, 2);  // the client and the server, once each
  const std::string expected = linesWithin(0, 0xFFFFFFFFu, "client.example");
  EXPECT_EQ(readFile(file("first.log")), expected);

  // The server's look-up failed: only its name is asked again, the client's was kept.
  lookups = 0;
  ASSERT_EQ(runHere({"-db", root(), "-out", "second.log", "-resolve"}), 0);
  EXPECT_EQ(lookups, 1);
  EXPECT_EQ(readFile(file("second.log")), expected);
  OB_Tools::setReverseLookup(nullptr);
}

// Without -resolve nothing is looked up, not even for the statistics' side lists, and no
// dotted quad is kept in place of a name: a later run with -resolve still asks.
TEST_F(CorradumpTest, WithoutResolveNoNameIsLookedUp) {
  makeTree(3);
  lookups = 0;
  OB_Tools::setReverseLookup(namedLookup);
  ASSERT_EQ(runHere({"-db", root(), "-out", "plain.log", "-hi"}), 0);
  EXPECT_EQ(lookups, 0);
  EXPECT_EQ(readFile(file("http_users.out")), "192.168.1.7   5\n");
  ASSERT_EQ(runHere({"-db", root(), "-out", "named.log", "-resolve"}), 0);
  EXPECT_EQ(lookups, 2);
  OB_Tools::setReverseLookup(nullptr);
}

}  // namespace
