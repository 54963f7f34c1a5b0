// The FTP client-side modules of the network groups and their console commands: transfers by
// direction across a group's boundary, and the servers inside a group by name.
#include "ftp/FTPcsXData.h"

#include <gtest/gtest.h>

#include "FTPTestSupport.h"

namespace {

using ftp_test::kClientA;
using ftp_test::kClientB;
using ftp_test::server;
using sifter_test::ip;
using stats_test::entry;
using stats_test::values;
using stats_test::wireLine;
using stats_test::wireS32;
using stats_test::wireU32;

// Group 0 holds the clients' LAN (192.168.1.0/24, client A), group 1 the servers
// (10.0.0.0/24). Client A sends two transfers to server 0 in bin 0 and one in bin 2; client B,
// outside both groups, one in bin 2 and then a connection without transfers.
class FTPcsXDataTest : public ftp_test::FTPStatsTest {
 protected:
  void SetUp() override {
    FTPStatsTest::SetUp();
    ftp_test::oneNet(config_->networkGroups[0], ip(192, 168, 1, 0));
    ftp_test::oneNet(config_->networkGroups[1], ip(10, 0, 0, 0));
    stats_test::knownNames() = {{server(0), "ftp.site"}};
    using ftp_test::connection;
    count(0, connection(at(0), kClientA, server(0), {{"a"}, {"b", false}}));
    count(2, connection(at(2), kClientA, server(0), {{"c", true, 0}}));
    count(2, connection(at(2), kClientB, server(0), {{"d"}}));
    count(2, connection(at(2), kClientB, server(0)));
  }
};

TEST_F(FTPcsXDataTest, TransfersCountByDirectionAcrossTheGroup) {
  // The LAN holds only clients: everything it sees goes out.
  EXPECT_EQ(run(hcommand_FTPClientXBreakdown, "", 0).bytes, values({3, 0, 0}));
  EXPECT_EQ(run(hcommand_FTPClientXBreakdown, "", 1).bytes, values({4, 4, 0}));
  EXPECT_EQ(run(hcommand_FTPClientXSeries, wireS32(1), 1).bytes,
            wireS32(1) + windowHead() + values({2, 0, 2}));
}

TEST_F(FTPcsXDataTest, AnUnknownSeriesTypeFailsTheRequest) {
  expectFailure(hcommand_FTPClientXSeries, "hcommand_FTPClientXSeries", wireS32(3), 1);
  expectFailure(hcommand_FTPClientXSeries, "hcommand_FTPClientXSeries", wireS32(-1), 1);
  expectFailure(hcommand_FTPClientXBreakdown, "hcommand_FTPClientXBreakdown", "", 2);
}

TEST_F(FTPcsXDataTest, ServersInsideTheGroupAreNamedOnceAndSeriesByName) {
  EXPECT_EQ(run(hcommand_FTPClientServersSeenBreakdown, "", 1).bytes,
            wireU32(2) + entry("All Server Hits", 4) + entry("ftp.site", 4));
  // No server inside the LAN: the total entry alone.
  EXPECT_EQ(run(hcommand_FTPClientServersSeenBreakdown, "", 0).bytes,
            wireU32(1) + entry("All Server Hits", 0));
  EXPECT_EQ(run(hcommand_FTPClientServersSeenSeries, wireLine("ftp.site"), 1).bytes,
            seriesHead("ftp.site") + values({2, 0, 2}));
  EXPECT_EQ(run(hcommand_FTPClientServersSeenSeries, wireLine("nobody"), 1).bytes,
            seriesHead("nobody") + values({0, 0, 0}));
}

// A reverse zone may answer any name: one like the total's must not make a second such row.
TEST_F(FTPcsXDataTest, AServerNamedLikeTheTotalCountsOnceUnderIt) {
  stats_test::knownNames()[server(1)] = "All Server Hits";
  count(1, ftp_test::connection(at(1), kClientA, server(1), {{"e"}, {"f"}}));
  EXPECT_EQ(run(hcommand_FTPClientServersSeenBreakdown, "", 1).bytes,
            wireU32(2) + entry("All Server Hits", 6) + entry("ftp.site", 4));
  EXPECT_EQ(run(hcommand_FTPClientServersSeenSeries, wireLine("All Server Hits"), 1).bytes,
            seriesHead("All Server Hits") + values({2, 2, 2}));
}

}  // namespace
