// The network reader end to end: records written through the archive writer and replayed, or
// handed live as the capture engine's network consumer hands them, binned by the middle of
// their interval into all traffic, the groups and the servers; the window's bounds; a window
// move; the console reading what the reader counted.
#include "windows/OB_NetReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "NameTablesSupport.h"
#include "NetTestSupport.h"
#include "archive/OB_ArchiveWriter.h"
#include "net/NetStatsCommands.h"
#include "net/netstats.h"
#include "stats/StatsModule.h"
#include "windows/OB_IndexChanger.h"

namespace {

using namespace net_test;

class OB_NetReaderTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kBins = 4;
  static constexpr uint32_t kBinSize = 500;
  OB_NetReaderTest()
      : base(static_cast<uint32_t>(time(nullptr))),
        ago(base - 1000),
        now(base + 1000),
        config(makeConfig()),
        window(config.get(), ago, kBins, kBinSize) {
    setenv("OB_INSTALLDIR", dir.path().c_str(), 1);
    std::strcpy(config->databaseDir, dir.path().c_str());
  }
  ~OB_NetReaderTest() override { obRelease(reader); }

  void archive(std::initializer_list<Record*> records) {
    auto* writer = new OB_ArchiveWriter(nullptr, config->databaseDir, "net", "", "", 0);
    for (Record* record : records) writer->processObject(record->get());
    writer->release();
  }
  void make() {
    if (reader != nullptr) return;
    reader = new OB_NetReader(config.get(), window.get());
    ASSERT_EQ(reader->init(), 0);
  }
  void replay() {
    make();
    ASSERT_EQ(reader->start(), 0);
    ASSERT_EQ(reader->join(nullptr, 0), 0);
  }
  void live(Record& record) {
    make();
    EXPECT_EQ(obQuery<OB_Processor>(reader)->processObject(record.get()), 0);
  }
  // Accepted packets of all traffic per bin.
  std::vector<int64_t> accepted() {
    const int64_t* counts = reader->allTraffic.util.packsAccepted;
    return std::vector<int64_t>(counts, counts + kBins);
  }
  int64_t groupPacks(int group) {
    return netstats_sum(reader->netGroups[group].modules.util.packsAccepted, kBins);
  }

  ProtoTree tree;
  corrana_test::TempDir dir;
  uint32_t base, ago, now;
  std::unique_ptr<OB_AEngineConfig> config;
  stats_test::Window window;
  OB_NetReader* reader = nullptr;
};

TEST_F(OB_NetReaderTest, ReplaysTheWindowsRecordsByTheMiddleOfTheirInterval) {
  Record early(ago - 300, ago - 100);
  early.totals(1, 1, 1, 1, 0);
  Record first(ago, ago + 200);
  first.totals(10, 1000, 8, 800, 1)
      .frames(kLanHost, kWeb, kTCP, 100, 2)
      .frames(kWeb, kLanHost, kTCP, 1000);
  Record second(ago + 400, ago + 601);  // starts in bin 0, its middle lies in bin 1
  second.totals(20, 2000, 16, 1600, 0).frames(kRemote, kFtp, kUDP, 60, 3);
  Record late(now - 10, now + 100);
  late.totals(1, 1, 1, 1, 0);
  archive({&early, &first, &second, &late});

  replay();
  EXPECT_EQ(reader->getReplayCount(), 2u);
  EXPECT_EQ(reader->binsReceived, 2u);
  EXPECT_EQ(reader->binsProcessed, 2u);
  EXPECT_EQ(reader->binsRejected, 0u);
  EXPECT_EQ(accepted(), (std::vector<int64_t>{8, 16, 0, 0}));
  EXPECT_EQ(groupPacks(0), 3);  // the LAN
  EXPECT_EQ(groupPacks(1), 6);  // the servers' net
  EXPECT_EQ(netstats_sum(reader->httpServers[0].modules.util.bytesAccepted, kBins), 1200);
  EXPECT_EQ(netstats_sum(reader->ftpServers[0].modules.util.bytesAccepted, kBins), 180);
  // The protocol counts came back from the archive with their parents.
  netProtoEntry_t* tcp = netProtoData_find(&reader->allTraffic.proto, kTCP);
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->ppsid, kIPv4);
  EXPECT_EQ(tcp->bytes[0], 1200);
  EXPECT_EQ(reader->getNetStatsOn(), 1);
}

TEST_F(OB_NetReaderTest, LiveRecordsAreBinnedAtTheirMiddleWithTheBoundsAsTheWindowHasThem) {
  Record atStart(ago - 100, ago + 100);   // middle ago: bin 0
  Record halves(ago + 400, ago + 601);    // middle ago + 500: bin 1
  Record lastSecond(now - 2, now);        // middle now - 1: the last bin
  for (Record* r : {&atStart, &halves, &lastSecond}) r->get()->packsAccepted = 1;
  live(atStart);
  live(halves);
  live(lastSecond);
  EXPECT_EQ(accepted(), (std::vector<int64_t>{1, 1, 0, 1}));
  EXPECT_EQ(reader->binsProcessed, 3u);
}

// Mended: a live record whose interval middle lies outside the window (a static window that has
// closed, or one some periods back) used to be counted into bin 0.
TEST_F(OB_NetReaderTest, LiveRecordsWhoseMiddleLiesOutsideTheWindowAreDropped) {
  Record after(now - 100, now + 100);  // middle now: outside
  Record before(ago - 200, ago);       // middle ago - 100
  after.totals(5, 500, 5, 500, 0).frames(kLanHost, kWeb, kTCP, 100);
  before.totals(5, 500, 5, 500, 0);
  live(after);
  live(before);
  EXPECT_EQ(reader->binsReceived, 2u);
  EXPECT_EQ(reader->binsRejected, 2u);
  EXPECT_EQ(reader->binsProcessed, 0u);
  EXPECT_EQ(accepted(), (std::vector<int64_t>{0, 0, 0, 0}));
  EXPECT_EQ(groupPacks(0), 0);
  EXPECT_EQ(reader->allTraffic.proto.numOfProtos, 0);
}

TEST_F(OB_NetReaderTest, AWindowMoveStartsTheCountsOverFromTheNewConfiguration) {
  Record first(ago, ago + 200);
  first.totals(10, 1000, 8, 800, 1).frames(kLanHost, kWeb, kTCP, 100);
  live(first);
  Record untracked(ago + 10, ago + 20, 0);
  live(untracked);
  EXPECT_EQ(reader->getNetStatsOn(), 0);
  // A second init (the server's, after the constructor's) keeps what the first built.
  ASSERT_EQ(reader->init(), 0);
  EXPECT_EQ(groupPacks(0), 1);

  window.record()->staticAgoTime = base;
  ASSERT_EQ(window.get()->init(), 0);
  config->numOfNetworkGroups = 1;
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    reader->reset();
    reader->init();
  }
  EXPECT_EQ(reader->numNetGroups, 1);
  EXPECT_EQ(groupPacks(0), 0);
  EXPECT_EQ(reader->getNetStatsOn(), 1);
  EXPECT_EQ(reader->binsReceived, 0u);
  live(first);  // now before the window
  EXPECT_EQ(reader->binsRejected, 1u);
  config->numOfNetworkGroups = 2;  // the configuration frees what it holds
}

TEST_F(OB_NetReaderTest, TheConsoleReadsWhatTheReaderCounted) {
  Record first(ago, ago + 200);
  first.totals(10, 1000, 8, 800, 1).frames(kLanHost, kWeb, kTCP, 100, 2);
  live(first);
  corrana_test::SocketPair pair;
  OB_AEngineTCPRequest request = stats_test::request(1);
  request.command = 7000;
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    ASSERT_EQ(netStats_dispatch(reader, pair.near(), nullptr, &request), 0);
  }
  std::string bins = s64s({10, 1000, 8, 800, 2, 200});
  for (int i = 1; i < 4; ++i) bins += s64s({0, 0, 0, 0, 0, 0});
  EXPECT_EQ(pair.drain(), wireBool(true) + wireS32(static_cast<int32_t>(now)) +
                              wireS32(static_cast<int32_t>(ago)) + wireU32(kBins) + bins);
}

// Mended: the module texts went to standard output whatever stream the caller gave.
TEST_F(OB_NetReaderTest, PrintWritesEveryPartToTheGivenStream) {
  Record first(ago, ago + 200);
  first.totals(10, 1000, 8, 800, 1).frames(kLanHost, kWeb, kTCP, 100);
  live(first);
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ASSERT_EQ(reader->print(out), 0);
  fclose(out);
  std::string printed(text, size);
  free(text);
  EXPECT_EQ(printed.find("\nNetAnalysisStats\n----------------\n  binsAttempted = 0\n"
                         "  binsReceived  = 1\n  binsProcessed = 1\n  binsRejected  = 0\n"),
            0u);
  // All traffic, then the two groups: three utilisation and three protocol summaries.
  size_t summaries = 0;
  for (size_t at = 0; (at = printed.find("Breakdown Summary\n", at)) != std::string::npos; ++at)
    ++summaries;
  EXPECT_EQ(summaries, 6u);
  EXPECT_NE(printed.find("   packsSeenCount = 10\n"), std::string::npos);
  EXPECT_NE(printed.find("2\t>  1  100\n3\t->  1  100\n5\t-->  1  100\n"), std::string::npos);
}

}  // namespace
