// The log dumper over archives written by the archive writer: the bytes of its lines and side
// lists, names from the cache and the resolver, the same line as the capture engine's common log
// file for the same transaction, and standard output left open behind it.
#include "QV_HTTPDumper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "../../libsifter/tests/NameTablesSupport.h"
#include "../../libsifter/tests/StatsTestSupport.h"
#include "DumpTestSupport.h"
#include "LocalZone.h"
#include "OB_CLFWriter.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"

namespace {

using dump_test::archive;
using dump_test::connection;
using dump_test::readFile;
using dump_test::Request;
using sifter_test::ip;

constexpr uint32_t kServer = ip(10, 0, 0, 80);
constexpr uint32_t kClientA = ip(192, 168, 1, 7);
constexpr uint32_t kClientB = ip(172, 16, 0, 9);
constexpr uint32_t kAgo = 1700000000;  // 14/Nov/2023:22:13:20 UTC
constexpr uint32_t kBins = 4;

// One HTTP server (10.0.0.80:80) and a static window from kAgo to an hour past the present: the
// archive writer's files open now, and a static window reads only files that open inside it.
class QV_HTTPDumperTest : public ::testing::Test {
 protected:
  QV_HTTPDumperTest()
      : config(stats_test::makeConfig(1, 0)),
        window(config.get(), kAgo, kBins,
               (static_cast<uint32_t>(time(nullptr)) + 3600 - kAgo) / kBins) {
    std::snprintf(config->databaseDir, sizeof config->databaseDir, "%s", db().c_str());
  }
  ~QV_HTTPDumperTest() override { obRelease(dumper); }

  std::string db() const { return tables.dir().file("db"); }
  std::string out() const { return tables.dir().file("out.log"); }
  void dump(int resolve) {
    dumper = new QV_HTTPDumper(out().c_str(), config.get(), window.get(), resolve);
    ASSERT_EQ(dumper->isOpen(), 1);
    dumper->init();
    EXPECT_EQ(dumper->start(), 0);
    EXPECT_EQ(dumper->join(nullptr, 0), 0);
    EXPECT_EQ(dumper->getWriteResult(), 0);
  }

  stats_test::NameTables tables;
  std::unique_ptr<OB_AEngineConfig> config;
  stats_test::Window window;
  QV_HTTPDumper* dumper = nullptr;
};

TEST_F(QV_HTTPDumperTest, WritesTheLineOfEveryTransactionOfTheWindowsConnections) {
  LocalZone zone("XST-2");  // UTC whatever the local zone
  archive(db(),
          {connection(kAgo - 1, kClientA, kServer, {Request("/before")}),
           connection(kAgo, kClientA, kServer,
                      {Request("/index.html").bytes(5).referer("http://site/").agent("Agent/1.0"),
                       Request("/missing.gif").status("404").agent("Agent/1.0"),
                       Request("/late").status("")}),
           connection(kAgo + 60, kClientB, kServer, {}),
           connection(kAgo + 120, kClientB, kServer,
                      {Request("/b").bytes(-1).method("HEAD").version("1.0")}),
           connection(window.get()->getNowTime(), kClientA, kServer, {Request("/after")})});
  dump(0);
  EXPECT_EQ(
      readFile(out()),
      "192.168.1.7  - 10.0.0.80 [14/Nov/2023:22:13:20 +0000] \"GET /index.html HTTP/1.1\" "
      "200 5 http://site/ Agent/1.0 \n"
      "192.168.1.7  - 10.0.0.80 [14/Nov/2023:22:13:20 +0000] \"GET /missing.gif HTTP/1.1\" "
      "404 0  Agent/1.0 \n"
      "192.168.1.7  - 10.0.0.80 [14/Nov/2023:22:13:20 +0000] \"GET /late HTTP/1.1\" 500 0   \n"
      "172.16.0.9  - 10.0.0.80 [14/Nov/2023:22:15:20 +0000] \"HEAD /b HTTP/1.0\" 200 -   \n");
  // The connection without transactions wrote nothing but was counted.
  EXPECT_EQ(dumper->serverStreamsReceived, 3u);
}

TEST_F(QV_HTTPDumperTest, NamesComeFromTheCacheWithEachAddressResolvedOnceAndWhole) {
  // Longer than any fixed buffer short of the resolver's own limit.
  const std::string longName = std::string(600, 'h') + ".example";
  stats_test::knownNames()[kClientA] = longName;
  OB_HTTPProtocol* named = connection(kAgo + 2, kClientB, kServer, {Request("/3")});
  named->reservedA = "pc9";  // a name stored beside the address is taken as it is
  archive(db(), {connection(kAgo, kClientA, kServer, {Request("/1")}),
                 connection(kAgo + 1, kClientA, kServer, {Request("/2")}), named});
  dump(1);
  const std::string tail = " - 10.0.0.80 [14/Nov/2023:22:13:2";
  EXPECT_EQ(readFile(out()), longName + " " + tail + "0 +0000] \"GET /1 HTTP/1.1\" 200 0   \n" +
                                 longName + " " + tail + "1 +0000] \"GET /2 HTTP/1.1\" 200 0   \n" +
                                 "pc9 " + tail + "2 +0000] \"GET /3 HTTP/1.1\" 200 0   \n");
  // The client, the server (no name: its dotted quad, cached) and, for the statistics' client
  // tracker, the client the stored name stood for.
  EXPECT_EQ(stats_test::lookupCount(), 3);
}

TEST_F(QV_HTTPDumperTest, SideListsNameTheBusiestClientsAndEveryURLAndTypeSeen) {
  archive(db(), {connection(kAgo, kClientB, kServer, {Request("/b")}),
                 connection(kAgo + 1, kClientA, kServer,
                            {Request("/a"), Request("/b"), Request("/c\x1b").type("image/png")}),
                 connection(kAgo + 2, kClientA, kServer, {Request("/a")})});
  dump(0);
  dump_test::WorkingDirectory here(tables.dir().path());
  // An older, longer list must not leave its tail behind.
  { std::ofstream(QV_HTTPDumper::kURLListFile) << std::string(500, 'x') << "\n"; }
  ASSERT_EQ(dumper->writeUserList(), 0);
  ASSERT_EQ(dumper->writeURLList(), 0);
  ASSERT_EQ(dumper->writeMIMETypeList(), 0);
  // Ranked by transactions.
  EXPECT_EQ(readFile(QV_HTTPDumper::kUserListFile), "192.168.1.7   4\n172.16.0.9   1\n");
  // The URIs of the lines, once each in the order first written: no status or total of the
  // statistics' name tables among them.
  EXPECT_EQ(readFile(QV_HTTPDumper::kURLListFile), "/b\n/a\n/c\\x1B\n");
  auto sortedLines = [](const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_EQ(sortedLines(readFile(QV_HTTPDumper::kMIMETypeListFile)),
            (std::vector<std::string>{"All FROM Server", "All TO Server", "GET", "image/png",
                                      "text/html"}));
}

// Every client of the log is listed, whichever server it asked: here one of a server the
// configuration has and one of a server it no longer has, each with one transaction.
TEST_F(QV_HTTPDumperTest, TheUserListHoldsEveryClientOfTheLog) {
  archive(db(), {connection(kAgo, kClientB, ip(10, 0, 0, 81), {Request("/b")}),
                 connection(kAgo + 1, kClientA, kServer, {Request("/a"), Request("/a")})});
  dump(0);
  dump_test::WorkingDirectory here(tables.dir().path());
  ASSERT_EQ(dumper->writeUserList(), 0);
  EXPECT_EQ(readFile(QV_HTTPDumper::kUserListFile), "192.168.1.7   2\n172.16.0.9   1\n");
  ASSERT_EQ(dumper->writeURLList(), 0);
  EXPECT_EQ(readFile(QV_HTTPDumper::kURLListFile), "/b\n/a\n");
}

TEST_F(QV_HTTPDumperTest, OneTransactionThroughBothWritersGivesTheSameBytes) {
  LocalZone zone("XST-2");
  std::filesystem::create_directory(tables.dir().file("logs"));
  OB_NamedStringList options;
  options.setOwner(1);
  options.append(new OB_String("clf.log"), "CommonLogFile");
  setOptions(&options);
  OB_HTTPProtocol* http = connection(
      kAgo + 7, kClientA, kServer,
      {Request("/q?x=" + std::string(1000, 'u') + "\t")
           .status("")
           .bytes(12)
           .agent("UA\x1b[31m red"),
       Request("/").status("304").referer("http://www.site/a b").method("POST").version("1.0")});
  OB_CLFWriter* writer = OB_CLFWriter::create();
  ASSERT_EQ(writer->isOpen(), 1);
  EXPECT_EQ(writer->processObject(http), 0);
  writer->release();
  setOptions(nullptr);
  archive(db(), {http});
  dump(0);
  const std::string common = readFile(tables.dir().file("logs/clf.log"));
  EXPECT_EQ(std::count(common.begin(), common.end(), '\n'), 2);
  EXPECT_EQ(readFile(out()), common);
}

TEST_F(QV_HTTPDumperTest, StandardOutputIsFlushedAndLeftOpen) {
  archive(db(), {connection(kAgo, kClientA, kServer, {Request("/")})});
  const std::string captured = tables.dir().file("stdout");
  EXPECT_EXIT(
      {
        fflush(stdout);
        if (freopen(captured.c_str(), "w", stdout) == nullptr) _exit(3);
        auto* toStandardOutput = new QV_HTTPDumper(nullptr, config.get(), window.get(), 0);
        toStandardOutput->init();
        toStandardOutput->start();
        toStandardOutput->release();
        const bool written = printf("after\n") == 6 && fflush(stdout) == 0;
        const std::string text = readFile(captured);
        _exit(written && text.size() > 6 && text.compare(0, 11, "192.168.1.7") == 0 &&
                      text.compare(text.size() - 6, 6, "after\n") == 0
                  ? 0
                  : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
