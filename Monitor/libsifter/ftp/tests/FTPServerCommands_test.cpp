// The FTP server console commands over a socket pair: the reply bytes of every handler from
// hand-fed statistics, and the requests each one refuses.
#include "ftp/FTPServerCommands.h"

#include <gtest/gtest.h>

#include <string>

#include "FTPTestSupport.h"
#include "OB_Tools.h"
#include "config/OB_User.h"
#include "stats/OB_IPTracker.h"

namespace {

using ftp_test::kClientA;
using ftp_test::kClientB;
using ftp_test::server;
using stats_test::entry;
using stats_test::name;
using stats_test::values;
using stats_test::wireLine;
using stats_test::wireS32;
using stats_test::wireU32;

std::string s16(int16_t v) { return std::string() + char(uint16_t(v) >> 8) + char(v); }

// Server 0 of a window of three bins, fed three connections:
//   bin 0, client A (new): c.txt sent, b.txt received and aborted; times 100 µs and 10 µs;
//   bin 2, client B (new), rejected: a.txt sent with flag 2 (complete and aborted); 300, 30;
//   bin 2, client A again, unacknowledged: a.txt sent; 200, 20.
// Client A is named host.Example.ORG, B has no name. The subset holds 192.168.1.0/24 (A).
class FTPServerCommandsTest : public ftp_test::FTPStatsTest {
 protected:
  void SetUp() override {
    FTPStatsTest::SetUp();
    ftp_test::oneNet(config_->xSubSets[0], ip(192, 168, 1, 0));
    config_->xSubSets[0]->acceptMatching = 1;
    stats_test::knownNames() = {{kClientA, "host.Example.ORG"}};
    using ftp_test::connection;
    count(0, connection(at(0), kClientA, server(0),
                        {{"c.txt"}, {"b.txt", false, 0}}, {100, 10}));
    OB_FTPProtocol* rejected =
        connection(at(2), kClientB, server(0), {{"a.txt", true, 2}}, {300, 30});
    rejected->rejectConnect = 1;
    count(2, rejected);
    OB_FTPProtocol* unacked = connection(at(2), kClientA, server(0), {{"a.txt"}}, {200, 20});
    unacked->unackedConnect = 1;
    count(2, unacked);
  }
  static constexpr uint32_t ip(int a, int b, int c, int d) { return sifter_test::ip(a, b, c, d); }
  std::string head() { return windowHead(); }
};

TEST_F(FTPServerCommandsTest, TransferBreakdownsKeepTheTotalFirstAndSortTheFiles) {
  // c.txt appeared first, but a.txt was sent twice.
  EXPECT_EQ(run(hcommand_FTPServerTrnsfrBreakdown).bytes,
            wireU32(3) + entry("All FROM Server", 3) + entry("a.txt", 2) + entry("c.txt", 1) +
                wireU32(1) + entry("All TO Server", 0));
  // Aborts: the FROM list only, however many TO entries there are.
  EXPECT_EQ(run(hcommand_FTPServerAbortsBreakdown).bytes,
            wireU32(2) + entry("All FROM Server", 1) + entry("a.txt", 1));
}

TEST_F(FTPServerCommandsTest, TransferAndAbortSeriesByListAndName) {
  EXPECT_EQ(run(hcommand_FTPServerTrnsfrSeries, wireS32(0) + wireLine("a.txt")).bytes,
            seriesHead("a.txt") + values({0, 0, 2}));
  EXPECT_EQ(run(hcommand_FTPServerAbortsSeries, wireS32(1) + wireLine("b.txt")).bytes,
            seriesHead("b.txt") + values({1, 0, 0}));
  // A name no entry has: zeros under the asked name.
  EXPECT_EQ(run(hcommand_FTPServerTrnsfrSeries, wireS32(1) + wireLine("a.txt")).bytes,
            seriesHead("a.txt") + values({0, 0, 0}));
  expectFailure(hcommand_FTPServerTrnsfrSeries, "hcommand_FTPServerTrnsfrSeries",
                wireS32(2) + wireLine("a.txt"));
  expectFailure(hcommand_FTPServerAbortsSeries, "hcommand_FTPServerAbortsSeries", "");
}

TEST_F(FTPServerCommandsTest, SummarySendsTheAveragesAndNineRuns) {
  EXPECT_EQ(run(hcommand_FTPServerSummary).bytes,
            wireU32(200) + wireU32(20) + head() +
                values({1, 0, 2}) +    // all transfers
                values({1, 0, 2}) +    // FROM server
                values({0, 0, 0}) +    // TO server
                values({0, 0, 1}) +    // aborts FROM server
                values({1, 0, 1}) +    // new clients
                values({0, 0, 1}) +    // rejected
                values({0, 0, 1}) +    // unacknowledged
                values({100, 0, 250}) + values({10, 0, 25}));
}

TEST_F(FTPServerCommandsTest, ResponseTimeFiguresLeaveEmptyBinsOutOfTheMinimum) {
  // Three connections. The figures are the window's largest time, its smallest and the average
  // over the three. Bin 1 had none: its minimum of 1000000000 is no time and stays out of the
  // smallest, though it is sent as the bin's minimum.
  const uint32_t none = 1000000000;
  EXPECT_EQ(run(hcommand_FTPServerResponseTimeSeries).bytes,
            head() + wireU32(3) + values({1, 0, 2}) +
                values({300, 100, 200}) + values({100, 100, 100, 0, none, 0, 300, 200, 250}) +
                values({30, 10, 20}) + values({10, 10, 10, 0, none, 0, 30, 20, 25}));
}

TEST_F(FTPServerCommandsTest, DomainsCountEachConnectionsClient) {
  EXPECT_EQ(run(hcommand_FTPServerDomainBreakdown).bytes,
            values({2, 1, 0}) + wireU32(1) + entry("org", 2));
  EXPECT_EQ(run(hcommand_FTPServerDomainSeries, wireLine("org")).bytes,
            seriesHead("org") + values({1, 0, 1}));
}

TEST_F(FTPServerCommandsTest, ASubsetCountsOnlyTheClientsItHolds) {
  EXPECT_EQ(run(hcommand_FTPServerTrnsfrBreakdown, "", 0, 1).bytes,
            wireU32(3) + entry("All FROM Server", 2) + entry("c.txt", 1) + entry("a.txt", 1) +
                wireU32(1) + entry("All TO Server", 0));
  // The low 16 bits name the subset.
  EXPECT_EQ(run(hcommand_FTPServerTrnsfrBreakdown, "", 0, 0x10001).bytes,
            run(hcommand_FTPServerTrnsfrBreakdown, "", 0, 1).bytes);
}

TEST_F(FTPServerCommandsTest, ASubsetOrServerBeyondTheWindowsFailsTheRequest) {
  expectFailure(hcommand_FTPServerTrnsfrBreakdown, "hcommand_FTPServerTrnsfrBreakdown", "", 0, 2);
  expectFailure(hcommand_FTPServerSummary, "hcommand_FTPServerSummary", "", 2);
  expectFailure(hcommand_FTPServerDomainBreakdown, "hcommand_FTPServerDomainBreakdown", "", -1);
  expectFailure(hcommand_FTPIPTracking, "hcommand_FTPIPTracking",
                s16(0) + s16(5) + wireLine("1.2.3.4") + wireLine("255.255.255.0"), 0, 2);
}

TEST_F(FTPServerCommandsTest, IPTrackingByCountNetworkAndRange) {
  // The domain-name cache keeps names in lower case.
  const std::string a = name("192.168.1.7") + name("host.example.org") + wireU32(2);
  const std::string b = name("172.16.0.9") + name("172.16.0.9") + wireU32(1);
  auto ask = [&](int16_t type, int16_t n, const char* first, const char* second) {
    return run(hcommand_FTPIPTracking, s16(type) + s16(n) + wireLine(first) + wireLine(second));
  };
  EXPECT_EQ(ask(0, 5, "0.0.0.0", "0.0.0.0").bytes, wireU32(2) + a + b);
  EXPECT_EQ(ask(0, 1, "0.0.0.0", "0.0.0.0").bytes, wireU32(1) + a);
  EXPECT_EQ(ask(2, 5, "192.168.1.0", "255.255.255.0").bytes, wireU32(1) + a);
  // Either order of the bounds; the hex and short forms the C library takes.
  EXPECT_EQ(ask(3, 5, "0xC0A8FFFF", "172.16.0").bytes, wireU32(2) + a + b);
  // The subset holds client A only.
  EXPECT_EQ(run(hcommand_FTPIPTracking, s16(0) + s16(5) + wireLine("1.1.1.1") + wireLine("1.1.1.1"),
                0, 1)
                .bytes,
            wireU32(1) + a);
  // The all-ones address only as the second, and only written out.
  EXPECT_EQ(ask(2, 5, "0.0.0.0", "255.255.255.255").bytes, wireU32(0));
  for (auto [first, second] : {std::pair{"255.255.255.255", "0.0.0.0"},
                               std::pair{"0.0.0.0", "0xFFFFFFFF"}, std::pair{"x", "0.0.0.0"}}) {
    Reply reply = ask(2, 5, first, second);
    EXPECT_EQ(reply.result, -1) << first << " " << second;
    EXPECT_EQ(reply.bytes, "");
  }
  expectFailure(hcommand_FTPIPTracking, "hcommand_FTPIPTracking",
                s16(1) + s16(5) + wireLine("1.2.3.4") + wireLine("1.2.3.4"));
}

TEST(FTPIPTrackingRanking, TheBusiestClientIsFoundAmongMoreThanFiveHundred) {
  // 600 clients of one connection each, and one of five walked after all of them: the tracker
  // ranks its own top list by page count, which no FTP step raises.
  stats_test::TestWindow window(1);
  auto config = ftp_test::makeConfig(1);
  OB_FTPAnalysisStats stats(config.get(), window.get());
  stats.init();
  auto feed = [&](uint32_t client, int times) {
    for (int i = 0; i < times; ++i) {
      ftpNetInfo_t info = {0, 0, 0};
      OB_FTPProtocol* p = ftp_test::connection(stats_test::kAgo, client, server(0));
      stats.procServerSpacePO(&info, p);
      p->release();
    }
  };
  uint32_t busy = sifter_test::ip(10, 9, 0, 0);
  while (busy % OB_IPTracker::kBuckets != OB_IPTracker::kBuckets - 1) ++busy;
  for (uint32_t i = 0; i < 600; ++i) feed(sifter_test::ip(10, 1, 0, 0) + i, 1);
  feed(busy, 5);
  stats_test::SocketPair pair;
  pair.feed(s16(0) + s16(1) + wireLine("0.0.0.0") + wireLine("0.0.0.0"));
  OB_AEngineTCPRequest request = stats_test::request(0);
  ASSERT_EQ(hcommand_FTPIPTracking(&stats, pair.near(), &request), 0);
  char text[16];
  EXPECT_EQ(pair.drain(),
            wireU32(1) + name(OB_Tools::IPAddressString(busy, text)) + name("") + wireU32(5));
}

TEST_F(FTPServerCommandsTest, AllServersSeriesCountsTheBlocksItSends) {
  count(1, ftp_test::connection(at(1), kClientB, server(1), {{"z", false}}, {40, 4}));
  OB_User user;
  user.numOfFTPServers = 2;
  user.ftpServersShowing[0] = user.ftpServersShowing[1] = 1;
  auto ask = [&](int16_t type, OB_User* who) {
    return run(hcommand_FTPXServerTransactionBreakdown, s16(type), 0, 0, who);
  };
  EXPECT_EQ(ask(0, &user).bytes, wireU32(2) + head() + values({1, 0, 2}) + "i = 0" + wireU32(3) +
                                     values({0, 0, 0}) + "i = 1" + wireU32(0));
  EXPECT_EQ(ask(6, &user).bytes, wireU32(2) + head() + values({100, 0, 250}) + "i = 0" +
                                     wireU32(200) + values({0, 40, 0}) + "i = 1" + wireU32(40));
  // Another user whose record shows only the second server: one block, counted as one.
  user.ftpServersShowing[0] = 0;
  EXPECT_EQ(ask(1, &user).bytes, wireU32(1) + head() + values({0, 1, 0}) + "i = 1" + wireU32(1));
  user.ftpServersShowing[1] = 0;
  EXPECT_EQ(ask(3, &user).bytes, wireU32(0));
  // Root sees every server, whatever its own record's flags say.
  std::snprintf(user.login, sizeof user.login, "root");
  EXPECT_EQ(ask(1, &user).bytes, wireU32(2) + head() + values({0, 0, 0}) + "i = 0" + wireU32(0) +
                                     values({0, 1, 0}) + "i = 1" + wireU32(1));

  Reply bad = ask(8, &user);
  EXPECT_EQ(bad.result, -1);
  EXPECT_EQ(bad.bytes, "");
  EXPECT_NE(logText().find("hcommand_FTPXServerTransactionBreakdown: bad type"),
            std::string::npos);
}

TEST_F(FTPServerCommandsTest, SpaceSummaryCountsTheBlocksItSends) {
  OB_User viewer;
  std::snprintf(viewer.login, sizeof viewer.login, "viewer");
  viewer.numOfFTPServers = 2;
  viewer.ftpServersShowing[0] = 1;
  stats_test::SocketPair pair;
  ASSERT_EQ(hcommand_FTPServerSpaceSummary(stats(), pair.near(), &viewer), 0);
  // Aborts: one FROM and one TO; completed transfers: three FROM.
  const std::string first = wireS32(0) + wireU32(2) + wireU32(3);
  EXPECT_EQ(pair.drain(), wireU32(1) + first);
  // Root sees every server, whatever its own record's flags say.
  std::snprintf(viewer.login, sizeof viewer.login, "root");
  stats_test::SocketPair rootPair;
  ASSERT_EQ(hcommand_FTPServerSpaceSummary(stats(), rootPair.near(), &viewer), 0);
  EXPECT_EQ(rootPair.drain().substr(0, 8 + first.size()), wireU32(2) + first);
}

}  // namespace
