// The network console commands over a socket pair, on hand-fed network statistics: golden bytes
// of every reply, the scopes each selects, its refusals, the dispatchers and the permissions.
#include "net/NetStatsCommands.h"

#include <gtest/gtest.h>

#include <cstring>

#include "NetTestSupport.h"
#include "config/OB_User.h"
#include "net/OB_NetAnalysisStats.h"

namespace {

using namespace net_test;
using stats_test::kAgo;
using stats_test::TestWindow;

using Handler = int (*)(OB_NetAnalysisStats*, int, OB_AEngineTCPRequest*);

// Three bins of 100 s. Bin 0: a LAN client's TCP exchange with web server 0; bin 2: a remote
// client's UDP frames to the FTP server.
class NetStatsCommands : public sifter_test::QuitTest {
 protected:
  NetStatsCommands() : window_(3), config_(makeConfig()) {}
  void SetUp() override {
    QuitTest::SetUp();
    startLog();
    stats_ = std::make_unique<OB_NetAnalysisStats>(config_.get(), window_.get());
    Record first(kAgo, kAgo + 100);
    first.totals(100, 10000, 80, 8000, 2)
        .frames(kLanHost, kWeb, kTCP, 100, 2)
        .frames(kWeb, kLanHost, kTCP, 1000);
    stats_->procStruct(0, first.get());
    Record second(kAgo + 200, kAgo + 300);
    second.totals(50, 5000, 40, 4000, 0).frames(kRemote, kFtp, kUDP, 60, 3);
    stats_->procStruct(2, second.get());
    std::strcpy(root_.login, "root");
    std::strcpy(viewer_.login, "viewer");
  }
  void TearDown() override {
    stats_.reset();
    QuitTest::TearDown();
  }

  struct Reply {
    int result;
    std::string bytes;
  };
  Reply run(Handler handler, int32_t item, int32_t subset = 0, OB_User* user = nullptr) {
    corrana_test::SocketPair pair;
    OB_AEngineTCPRequest request = stats_test::request(item, subset);
    request.userRecord = user != nullptr ? user : &root_;
    const int result = handler(stats_.get(), pair.near(), &request);
    return Reply{result, pair.drain()};
  }
  void expectFailure(Handler handler, const char* name, int32_t item, int32_t subset = 0) {
    Reply reply = run(handler, item, subset);
    EXPECT_EQ(reply.result, -1) << name << " " << item << "/" << subset;
    EXPECT_EQ(reply.bytes, "");
    EXPECT_NE(logText().find(std::string(name) + ": Problem getting or sending info."),
              std::string::npos)
        << logText();
  }

  static std::string head() { return wireS32(kAgo + 300) + wireS32(kAgo) + wireU32(3); }
  // One bin of a combined reply: all traffic's seen and accepted counts, then the scope's.
  static std::string combined(std::initializer_list<int64_t> all, int64_t packs, int64_t bytes) {
    return s64s(all) + wireS64(packs) + wireS64(bytes);
  }
  static std::string proto(uint16_t psid, uint16_t ppsid, int64_t packs, int64_t bytes) {
    return wireU16(psid) + wireU16(ppsid) + wireS64(packs) + wireS64(bytes);
  }

  ProtoTree tree_;
  TestWindow window_;
  std::unique_ptr<OB_AEngineConfig> config_;
  std::unique_ptr<OB_NetAnalysisStats> stats_;
  OB_User root_;
  OB_User viewer_;
};

TEST_F(NetStatsCommands, AllTrafficUtilisationSendsFiveCountsPerBin) {
  Reply reply = run(hcommand_netUtilBreakdown, 0);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, wireBool(true) + head() + s64s({100, 10000, 80, 8000, 2}) +
                             s64s({0, 0, 0, 0, 0}) + s64s({50, 5000, 40, 4000, 0}));
}

TEST_F(NetStatsCommands, GroupUtilisationSetsAllTrafficBesideTheGroupsAcceptedCounts) {
  // Group number 1 is the LAN (group 0): both directions of its client's exchange.
  Reply lan = run(hcommand_netUtilBreakdown, 1);
  ASSERT_EQ(lan.result, 0);
  EXPECT_EQ(lan.bytes, wireBool(true) + head() + combined({100, 10000, 80, 8000}, 3, 1200) +
                           combined({0, 0, 0, 0}, 0, 0) + combined({50, 5000, 40, 4000}, 0, 0));
  // The last group number answers the last group: the servers' net saw both records' pairs.
  Reply servers = run(hcommand_netUtilBreakdown, 2);
  ASSERT_EQ(servers.result, 0);
  EXPECT_EQ(servers.bytes, wireBool(true) + head() + combined({100, 10000, 80, 8000}, 3, 1200) +
                               combined({0, 0, 0, 0}, 0, 0) +
                               combined({50, 5000, 40, 4000}, 3, 180));
}

TEST_F(NetStatsCommands, ProtocolBreakdownsListTotalsInOrderOfFirstAppearance) {
  Reply all = run(hcommand_netProtoBreakdown, 0);
  ASSERT_EQ(all.result, 0);
  EXPECT_EQ(all.bytes, wireBool(true) + wireU16(4) + proto(kTCP, kIPv4, 3, 1200) +
                           proto(kIPv4, kEth, 6, 1380) + proto(kEth, 0, 6, 1380) +
                           proto(kUDP, kIPv4, 3, 180));
  Reply lan = run(hcommand_netProtoBreakdown, 1);
  ASSERT_EQ(lan.result, 0);
  EXPECT_EQ(lan.bytes, wireBool(true) + wireU16(3) + proto(kTCP, kIPv4, 3, 1200) +
                           proto(kIPv4, kEth, 3, 1200) + proto(kEth, 0, 3, 1200));
}

TEST_F(NetStatsCommands, HTTPServerScopesAndTheirSubsets) {
  Reply all = run(hcommand_netHTTPServerUtilBreakdown, 0);
  ASSERT_EQ(all.result, 0);
  EXPECT_EQ(all.bytes, wireBool(true) + head() + combined({100, 10000, 80, 8000}, 3, 1200) +
                           combined({0, 0, 0, 0}, 0, 0) + combined({50, 5000, 40, 4000}, 0, 0));
  // Subset 1 holds 172.16/16 only, which never spoke to the web server; subset 2 everyone.
  Reply remote = run(hcommand_netHTTPServerUtilBreakdown, 0, 1);
  ASSERT_EQ(remote.result, 0);
  EXPECT_EQ(remote.bytes, wireBool(true) + head() + combined({100, 10000, 80, 8000}, 0, 0) +
                              combined({0, 0, 0, 0}, 0, 0) +
                              combined({50, 5000, 40, 4000}, 0, 0));
  Reply everyone = run(hcommand_netHTTPServerProtoBreakdown, 0, 2);
  ASSERT_EQ(everyone.result, 0);
  EXPECT_EQ(everyone.bytes, wireBool(true) + wireU16(3) + proto(kTCP, kIPv4, 3, 1200) +
                                proto(kIPv4, kEth, 3, 1200) + proto(kEth, 0, 3, 1200));
  Reply idle = run(hcommand_netHTTPServerProtoBreakdown, 1);
  ASSERT_EQ(idle.result, 0);
  EXPECT_EQ(idle.bytes, wireBool(true) + wireU16(0));
}

TEST_F(NetStatsCommands, FTPServerScopesAndTheirSubsets) {
  Reply remote = run(hcommand_netFTPServerUtilBreakdown, 0, 1);
  ASSERT_EQ(remote.result, 0);
  EXPECT_EQ(remote.bytes, wireBool(true) + head() + combined({100, 10000, 80, 8000}, 0, 0) +
                              combined({0, 0, 0, 0}, 0, 0) +
                              combined({50, 5000, 40, 4000}, 3, 180));
  Reply protocols = run(hcommand_netFTPServerProtoBreakdown, 0);
  ASSERT_EQ(protocols.result, 0);
  EXPECT_EQ(protocols.bytes, wireBool(true) + wireU16(3) + proto(kUDP, kIPv4, 3, 180) +
                                 proto(kIPv4, kEth, 3, 180) + proto(kEth, 0, 3, 180));
}

TEST_F(NetStatsCommands, GroupSummaryListsTheGroupsTheUserSees) {
  const std::string allBytes = wireS64(12000);
  Reply root = run(hcommand_NetworkGroupAllSummary, 0);
  ASSERT_EQ(root.result, 0);
  EXPECT_EQ(root.bytes, wireBool(true) + wireU32(2) + wireS32(0) + s64s({3, 1200}) + allBytes +
                            wireS32(1) + s64s({6, 1380}) + allBytes);

  viewer_.numOfnetGroups = 2;
  viewer_.netGroupsShowing[1] = 1;
  Reply viewer = run(hcommand_NetworkGroupAllSummary, 0, 0, &viewer_);
  ASSERT_EQ(viewer.result, 0);
  EXPECT_EQ(viewer.bytes, wireBool(true) + wireU32(1) + wireS32(1) + s64s({6, 1380}) + allBytes);
}

TEST_F(NetStatsCommands, ARecordWithoutAddressPairsClearsTheGroupFlagButNotAllTraffics) {
  Record untracked(kAgo + 100, kAgo + 200, 0);
  untracked.totals(7, 700, 7, 700, 0).frames(kLanHost, kWeb, kTCP, 100);
  stats_->procStruct(1, untracked.get());

  EXPECT_EQ(run(hcommand_netUtilBreakdown, 0).bytes.substr(0, 2), wireBool(true));
  EXPECT_EQ(run(hcommand_netUtilBreakdown, 1).bytes.substr(0, 2), wireBool(false));
  EXPECT_EQ(run(hcommand_netProtoBreakdown, 0).bytes.substr(0, 2), wireBool(true));
  EXPECT_EQ(run(hcommand_netProtoBreakdown, 2).bytes.substr(0, 2), wireBool(false));
  EXPECT_EQ(run(hcommand_NetworkGroupAllSummary, 0).bytes.substr(0, 2), wireBool(false));
  // Its totals still count for all traffic.
  EXPECT_EQ(run(hcommand_netUtilBreakdown, 0).bytes,
            wireBool(true) + head() + s64s({100, 10000, 80, 8000, 2}) +
                s64s({7, 700, 7, 700, 0}) + s64s({50, 5000, 40, 4000, 0}));
  // A rebuilt statistics set (a window move) starts with the flag up again.
  stats_->reset();
  stats_->init();
  EXPECT_EQ(stats_->getNetStatsOn(), 1);
}

TEST_F(NetStatsCommands, ScopesTheStatisticsDoNotHaveAreRefusedBeforeAnyByte) {
  expectFailure(hcommand_netUtilBreakdown, "hcommand_netUtilBreakdown", 3);
  expectFailure(hcommand_netUtilBreakdown, "hcommand_netUtilBreakdown", -1);
  expectFailure(hcommand_netProtoBreakdown, "hcommand_netProtoBreakdown", 3);
  expectFailure(hcommand_netHTTPServerUtilBreakdown, "hcommand_netHTTPServerUtilBreakdown", 2);
  expectFailure(hcommand_netHTTPServerUtilBreakdown, "hcommand_netHTTPServerUtilBreakdown", -1);
  expectFailure(hcommand_netHTTPServerProtoBreakdown, "hcommand_netHTTPServerProtoBreakdown", 0,
                3);
  expectFailure(hcommand_netFTPServerUtilBreakdown, "hcommand_netFTPServerUtilBreakdown", 1);
  expectFailure(hcommand_netFTPServerProtoBreakdown, "hcommand_netFTPServerProtoBreakdown", 0,
                3);
  // The subset number's high half is not part of it.
  EXPECT_EQ(run(hcommand_netFTPServerProtoBreakdown, 0, 0x10000).result, 0);

  corrana_test::SocketPair pair;
  OB_AEngineTCPRequest anonymous = stats_test::request(0);
  EXPECT_EQ(hcommand_NetworkGroupAllSummary(stats_.get(), pair.near(), &anonymous), -1);
  EXPECT_EQ(pair.drain(), "");
}

TEST_F(NetStatsCommands, AFailedWriteIsLoggedAndEndsTheHandler) {
  corrana_test::SocketPair pair;
  pair.hangUp();
  OB_AEngineTCPRequest request = stats_test::request(0);
  EXPECT_EQ(hcommand_netUtilBreakdown(stats_.get(), pair.near(), &request), -1);
  EXPECT_NE(logText().find("hcommand_netUtilBreakdown: Problem getting or sending info."),
            std::string::npos);
}

TEST_F(NetStatsCommands, DispatchersAnswerTheirCodesAndRefuseTheRest) {
  for (int32_t code : {7000, 7005, 7010, 7015, 7020, 7025}) {
    corrana_test::SocketPair pair;
    OB_AEngineTCPRequest request = stats_test::request(0);
    request.command = code;
    EXPECT_EQ(netStats_dispatch(stats_.get(), pair.near(), &root_, &request), 0) << code;
    EXPECT_NE(pair.drain(), "") << code;
  }
  corrana_test::SocketPair pair;
  OB_AEngineTCPRequest request = stats_test::request(0);
  request.userRecord = &root_;
  request.command = 101;
  EXPECT_EQ(handle_netGroup(stats_.get(), pair.near(), &root_, &request), 0);
  request.command = 7001;
  EXPECT_EQ(netStats_dispatch(stats_.get(), pair.near(), &root_, &request), -1);
  request.command = 102;
  EXPECT_EQ(handle_netGroup(stats_.get(), pair.near(), &root_, &request), -1);
  EXPECT_NE(logText().find("(7001) Unknown command"), std::string::npos);
  EXPECT_NE(logText().find("(102) Unknown command"), std::string::npos);
}

TEST_F(NetStatsCommands, PermissionsFollowTheUsersGroupAndServerFlags) {
  viewer_.numOfnetGroups = 2;
  viewer_.netGroupsShowing[1] = 1;
  viewer_.numOfHTTPServers = 2;
  viewer_.httpServersShowing[0] = 1;
  viewer_.numOfFTPServers = 1;
  auto check = [&](int32_t code, int32_t item) {
    OB_AEngineTCPRequest request = stats_test::request(item);
    request.command = code;
    return netStats_checkAllowed(&viewer_, &request);
  };
  EXPECT_EQ(check(7000, 0), 0);  // all traffic
  EXPECT_EQ(check(7000, 1), 8);  // group 0 hidden
  EXPECT_EQ(check(7005, 2), 0);  // group 1 shown
  EXPECT_EQ(check(7005, 3), 8);  // beyond the user's groups
  EXPECT_EQ(check(7000, -1), 8);
  EXPECT_EQ(check(7010, 0), 0);
  EXPECT_EQ(check(7015, 1), 9);
  EXPECT_EQ(check(7020, 0), 10);
  EXPECT_EQ(check(7025, 0x10000), 10);  // low 16 bits: FTP server 0
  EXPECT_EQ(check(7001, 5), 0);         // no scope: the dispatcher refuses it
}

}  // namespace
