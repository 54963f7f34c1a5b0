// The FTP reader end to end: connections written through the archive writer and replayed, or
// handed live, and counted into every matching server, its subsets and the network groups; the
// bin rule that sets it apart from the HTTP reader; and a window move.
#include "OB_FTPReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "FTPTestSupport.h"
#include "OB_ArchiveWriter.h"
#include "OB_HTTPReader.h"
#include "OB_IPTracker.h"

namespace {

using ftp_test::connection;
using ftp_test::kClientA;
using ftp_test::kClientB;
using ftp_test::server;
using sifter_test::ip;

class OB_FTPReaderTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kBins = 4;
  static constexpr uint32_t kBinSize = 500;
  OB_FTPReaderTest()
      : base(static_cast<uint32_t>(time(nullptr))),
        config(ftp_test::makeConfig(2, 1, 1)),
        window(config.get(), base - 1000, kBins, kBinSize) {
    std::strcpy(config->databaseDir, tables.dir().path().c_str());
    ftp_test::oneNet(config->xSubSets[0], ip(192, 168, 1, 0));  // client A only
    config->xSubSets[0]->acceptMatching = 1;
    ftp_test::oneNet(config->networkGroups[0], ip(10, 0, 0, 0));  // the servers
    stats_test::knownNames() = {{server(0), "ftp.site"}};
  }
  ~OB_FTPReaderTest() override { obRelease(reader); }

  void archive(const std::vector<OB_FTPProtocol*>& records) {
    auto* writer = new OB_ArchiveWriter(nullptr, config->databaseDir, "ftp", "", "", 0);
    for (OB_FTPProtocol* record : records) {
      writer->processObject(record);
      record->release();
    }
    writer->release();
  }
  void replay() {
    reader = new OB_FTPReader(config.get(), window.get());
    ASSERT_EQ(reader->init(), 0);
    ASSERT_EQ(reader->start(), 0);
    ASSERT_EQ(reader->join(nullptr, 0), 0);
  }
  void live(OB_FTPProtocol* record) {
    if (reader == nullptr) {
      reader = new OB_FTPReader(config.get(), window.get());
      reader->init();
    }
    EXPECT_EQ(obQuery<OB_Processor>(reader)->processObject(record), 0);
    record->release();
  }
  FTPServerStatsModules_t* modules(int serverIndex, int subset = 0) {
    FTPServerSpace_t& space = reader->servers[serverIndex];
    return subset == 0 ? &space.modules : &space.xModules[subset - 1];
  }
  uint64_t total(const statsCounterList_t& list, const char* name) {
    const statsCounter_t* entry = statsList_find(const_cast<statsCounterList_t*>(&list), name);
    return entry != nullptr ? stats_sum(entry->counts, list.numOfBins) : 0;
  }

  stats_test::NameTables tables;
  uint32_t base;
  std::unique_ptr<OB_AEngineConfig> config;
  stats_test::Window window;
  OB_FTPReader* reader = nullptr;
};

TEST_F(OB_FTPReaderTest, ReplaysTheWindowIntoServersSubsetsAndGroups) {
  const uint32_t ago = base - 1000, now = base + 1000;
  archive({connection(ago - 1, kClientA, server(0), {{"early"}}),
           connection(ago, kClientA, server(0), {{"a"}, {"b", false, 0}}),
           connection(ago + 600, kClientB, server(0), {{"a"}}),
           connection(ago + 700, kClientA, server(0)),
           connection(ago + 800, kClientA, ip(10, 0, 0, 99), {{"z"}}),
           connection(now, kClientA, server(0), {{"late"}})});
  replay();
  EXPECT_EQ(reader->getReplayCount(), 4u);
  EXPECT_EQ(reader->serverStreamsReceived, 4u);
  EXPECT_EQ(reader->serverStreamsProcessed, 3u);
  EXPECT_EQ(reader->serverStreamsRejected, 1u);
  EXPECT_EQ(reader->netgrpStreamsProcessed, 4u);

  FTPServerStatsModules_t* all = modules(0);
  EXPECT_EQ(total(all->trnsfrData.from, "All FROM Server"), 2u);
  EXPECT_EQ(total(all->trnsfrData.from, "a"), 2u);
  EXPECT_EQ(total(all->abortsData.to, "b"), 1u);
  EXPECT_EQ(total(all->trnsfrData.from, "early") + total(all->trnsfrData.from, "late") +
                total(all->trnsfrData.from, "z"),
            0u);
  // A connection without transfers still counts in the connection figures.
  EXPECT_EQ(stats_sum(all->networkData.server.count, kBins), 3u);
  EXPECT_EQ(stats_sum(all->networkData.uniqueIPs, kBins), 2u);
  // Each connection counts once for its client.
  OB_IPTracker* tracker = reader->servers[0].ipTracker;
  EXPECT_EQ(tracker->getAddressCount(), 2u);
  ASSERT_NE(tracker->findRecord(kClientA), nullptr);
  EXPECT_EQ(tracker->findRecord(kClientA)->count, 2u);
  // The subset holds client A: its one sent transfer.
  EXPECT_EQ(total(modules(0, 1)->trnsfrData.from, "All FROM Server"), 1u);
  EXPECT_EQ(reader->servers[1].ipTracker->getAddressCount(), 0u);

  // The servers' group: every transfer came from outside, four of them, one to an unwatched
  // server.
  FTPNetworkGroup_t& group = reader->netGroups[0];
  EXPECT_EQ(stats_sum(group.xData.all, kBins), 4u);
  EXPECT_EQ(stats_sum(group.xData.out2in, kBins), 4u);
  EXPECT_EQ(total(group.serversSeenData.servers, "ftp.site"), 3u);
  EXPECT_EQ(total(group.serversSeenData.servers, "10.0.0.99"), 1u);
}

// A window whose bins all lie before any time.
class NegativeWindow : public OB_IndexChanger {
 public:
  int calcIndex(const uint32_t* /*xTime*/) override { return -1; }
};

TEST(OB_FTPReaderBins, ANegativeBinIsRejectedButNotReceivedUnlikeHTTP) {
  stats_test::NameTables tables;
  auto config = ftp_test::makeConfig(1);
  config->numOfHTTPServers = 1;
  delete[] config->httpServers;
  config->httpServers = stats_test::newArray<OB_HTTPServer>(1);
  config->httpServers[0] = OB_HTTPServer::create();
  config->httpServers[0]->setIPAddress(server(0));
  timeWindow_t record = {};
  record.windowType = OB_IndexChanger::kStaticWindow;
  record.staticAgoTime = 1000;
  record.staticNowTime = 2000;
  record.staticNumOfBins = 2;
  auto* window = new NegativeWindow();
  window->setConfig(config.get());
  window->setTimeWindow(&record);
  ASSERT_EQ(window->init(), 0);

  auto* ftp = new OB_FTPReader(config.get(), window);
  ftp->init();
  OB_FTPProtocol* connection = ftp_test::connection(1500, kClientA, server(0), {{"a"}});
  ftp->processObject(connection);
  connection->release();
  EXPECT_EQ(ftp->serverStreamsReceived + ftp->netgrpStreamsReceived, 0u);
  EXPECT_EQ(ftp->serverStreamsRejected, 1u);
  EXPECT_EQ(ftp->netgrpStreamsRejected, 1u);
  EXPECT_EQ(ftp->servers[0].ipTracker->getAddressCount(), 0u);

  auto* http = new OB_HTTPReader(config.get(), window);
  http->init();
  auto* page = new OB_HTTPProtocol(1, 4);
  page->connTime = 1500;
  page->serverIP = server(0);
  page->serverPort = 80;
  http->processObject(page);
  page->release();
  EXPECT_EQ(http->serverStreamsReceived, 1u);
  EXPECT_EQ(http->serverStreamsRejected, 1u);

  http->release();
  ftp->release();
  window->release();
}

TEST_F(OB_FTPReaderTest, ClaimsTheSessionsOfItsServersOnly) {
  reader = new OB_FTPReader(config.get(), window.get());
  reader->init();
  EXPECT_EQ(reader->isMatch(server(0), 21), 1);
  EXPECT_EQ(reader->isMatch(server(1), 21), 1);
  EXPECT_EQ(reader->isMatch(server(0), 80), 0);
  EXPECT_EQ(reader->isMatch(ip(10, 0, 0, 99), 21), 0);
  // Every record of the archive is read into an object of its own.
  OB_Data* first = reader->createProtocol();
  OB_Data* second = reader->createProtocol();
  EXPECT_NE(first, second);
  EXPECT_NE(obQuery<OB_FTPProtocol>(first), nullptr);
  first->release();
  second->release();
}

TEST_F(OB_FTPReaderTest, AWindowMoveStartsTheCountsOver) {
  archive({connection(base - 500, kClientA, server(0), {{"a"}})});
  replay();
  live(connection(base, kClientA, server(0), {{"a"}}));
  EXPECT_EQ(total(modules(0)->trnsfrData.from, "a"), 2u);
  window.record()->staticAgoTime = base;
  ASSERT_EQ(window.get()->init(), 0);
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    reader->reset();
    reader->init();
    reader->start();
  }
  ASSERT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(total(modules(0)->trnsfrData.from, "a"), 0u);
  EXPECT_EQ(reader->serverStreamsReceived, 0u);
  live(connection(base + 10, kClientA, server(0), {{"a"}}));
  EXPECT_EQ(total(modules(0)->trnsfrData.from, "a"), 1u);
}

}  // namespace
