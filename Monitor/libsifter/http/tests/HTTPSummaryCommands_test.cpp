// The HTTP server summary (1002) and the comparisons of all servers (3000, 3010) over a socket
// pair, on statistics fed with hand-built connections: reply bytes, the servers each user is
// shown, and the requests they refuse.
#include "http/HTTPSummaryCommands.h"

#include <gtest/gtest.h>

#include <string>

#include "StatsTestSupport.h"
#include "config/OB_User.h"

using namespace stats_test;

namespace {

constexpr uint32_t kA = ip(192, 168, 1, 7);
constexpr uint32_t kB = ip(172, 16, 0, 9);
constexpr uint32_t kC = ip(192, 168, 1, 20);
constexpr const char* kOwnSite = "http://www.example.com/";

// The user the comparisons are asked by.
OB_User* asker = nullptr;
int transactions(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request) {
  return hcommand_HTTPXServerTransactionBreakdown(stats, socket, asker, request);
}
int referrers(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request) {
  return hcommand_HTTPXServerReferrerBreakdown(stats, socket, asker, request);
}

// Two servers over a window of three bins, not fed.
class Summary : public FedHandlerTest {
 protected:
  Summary() {
    std::snprintf(root_.login, sizeof root_.login, "root");
    // The user may see server 1, and a server 5 the window does not have.
    std::snprintf(user_.login, sizeof user_.login, "clerk");
    user_.numOfHTTPServers = 8;
    user_.httpServersShowing[1] = user_.httpServersShowing[5] = 1;
    asker = &root_;
  }
  // A connection to server i in bin b with its times, as the reader counts it.
  void connect(int b, uint32_t client, std::initializer_list<Xact> xacts, int32_t server,
               int32_t network, int i = 0, int rejected = 0, int unacked = 0) {
    OB_HTTPProtocol* p = connection(b, client, xacts, i);
    p->serverRespTime = server;
    p->networkRespTime = network;
    p->rejectConnect = rejected;
    p->unackedConnect = unacked;
    count(b, p);
  }
  Reply compare(int16_t type, OB_User* user, int32_t subset = 0) {
    asker = user;
    return run(transactions, wireS16(type), 0, subset);
  }
  OB_User root_;
  OB_User user_;
};

// Server 0:
//   bin 0, A (times 100 and 10 µs): a page that begins a visit, a page referred by other.test
//     (a visit too), an image missing (404) referred by the site itself;
//   bin 1, C: an unacknowledged connection (times 0);
//   bin 2, B: a rejected connection (300, 30) whose page failed (500); A again, an empty
//     connection (200, 20).
// Server 1: bin 1, B (40, 4): a page that begins a visit.
class FedSummary : public Summary {
 protected:
  void SetUp() override {
    Summary::SetUp();
    connect(0, kA,
            {xact("/"), xact("/p.html", "text/html", "200", "http://other.test/x"),
             xact("/x.png", "image/png", "404", kOwnSite)},
            100, 10);
    connect(1, kC, {}, 0, 0, 0, 0, /*unacked*/ 1);
    connect(2, kB, {xact("/a.html", "text/html", "500", kOwnSite)}, 300, 30, 0, /*rejected*/ 1);
    connect(2, kA, {}, 200, 20);
    connect(1, kB, {xact("/s.html")}, 40, 4, 1);
  }
};

TEST_F(FedSummary, DashboardSendsTheAveragesAndElevenRuns) {
  Reply reply = run(hcommand_HTTPServerSummary);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, wireU32(150) + wireU32(15) + windowHead() +
                             values({3, 0, 1}) +      // all hits
                             values({2, 0, 1}) +      // "text/html" hits
                             values({2, 0, 0}) +      // "text/html" entry points
                             values({1, 0, 0}) +      // referrals
                             values({1, 0, 1}) +      // errors
                             values({1, 1, 1}) +      // new clients
                             values({0, 0, 1}) +      // rejected
                             values({0, 1, 0}) +      // unacknowledged
                             values({0, 0, 1}) +      // empty
                             values({100, 0, 250}) +  // server response time
                             values({10, 0, 25}));    // network response time
}

TEST_F(Summary, DashboardOfAWindowWithoutTrafficIsAllZeros) {
  Reply reply = run(hcommand_HTTPServerSummary);
  ASSERT_EQ(reply.result, 0);
  std::string zeros;
  for (int run = 0; run < 11; ++run) zeros += values({0, 0, 0});
  EXPECT_EQ(reply.bytes, wireU32(0) + wireU32(0) + windowHead() + zeros);
  expectFailure(hcommand_HTTPServerSummary, "hcommand_HTTPServerSummary", "", 2);
  expectFailure(hcommand_HTTPServerSummary, "hcommand_HTTPServerSummary", "", 0, 2);
}

TEST_F(FedSummary, ComparisonSendsOneBlockPerServerShown) {
  EXPECT_EQ(compare(0, &root_).bytes, wireU32(2) + windowHead() + values({3, 0, 1}) + "i = 0\n" +
                                          wireU32(4) + values({0, 1, 0}) + "i = 1\n" + wireU32(1));
  EXPECT_EQ(compare(11, &root_).bytes, wireU32(2) + windowHead() + values({100, 0, 250}) +
                                           "i = 0\n" + wireU32(150) + values({0, 40, 0}) +
                                           "i = 1\n" + wireU32(40));
  // Pages per new client, rounded up, and over the window's sums.
  EXPECT_EQ(compare(4, &root_).bytes, wireU32(2) + windowHead() + values({2, 0, 1}) + "i = 0\n" +
                                          wireU32(1) + values({0, 1, 0}) + "i = 1\n" + wireU32(1));
}

TEST_F(FedSummary, PagesPerVisitAreRoundedUp) {
  // Server 1, bin 0: seven pages of which two begin a visit.
  connect(0, kC,
          {xact("/1"), xact("/2"), xact("/3", "text/html", "200", kOwnSite),
           xact("/4", "text/html", "200", kOwnSite), xact("/5", "text/html", "200", kOwnSite),
           xact("/6", "text/html", "200", kOwnSite), xact("/7", "text/html", "200", kOwnSite)},
          0, 0, 1);
  EXPECT_EQ(compare(3, &root_).bytes, wireU32(2) + windowHead() + values({1, 0, 0}) + "i = 0\n" +
                                          wireU32(2) + values({4, 1, 0}) + "i = 1\n" + wireU32(3));
}

TEST_F(FedSummary, TheCountIsThatOfTheServersSent) {
  // The user's flags name server 1 and a server 5 this window does not have: one block.
  EXPECT_EQ(compare(2, &user_).bytes,
            wireU32(1) + windowHead() + values({0, 1, 0}) + "i = 1\n" + wireU32(1));
  asker = &user_;
  EXPECT_EQ(run(referrers, wireU32(5)).bytes, wireU32(1) + "index = 1\n" + wireU32(0));
  // One who may see no server still gets the window's bounds.
  OB_User nobody;
  EXPECT_EQ(compare(0, &nobody).bytes, wireU32(0) + windowHead());
}

TEST_F(FedSummary, ReferrersSumTheBusiestSites) {
  connect(1, kA,
          {xact("/q.html", "text/html", "200", "http://other.test/y"),
           xact("/r.html", "text/html", "200", "http://third.test/")},
          0, 0);
  // N's low 16 bits count.
  EXPECT_EQ(run(referrers, wireU32(0x10001)).bytes,
            wireU32(2) + "index = 0\n" + wireU32(2) + "index = 1\n" + wireU32(0));
  EXPECT_EQ(run(referrers, wireU32(5)).bytes,
            wireU32(2) + "index = 0\n" + wireU32(3) + "index = 1\n" + wireU32(0));
  expectFailure(referrers, "hcommand_HTTPXServerReferrerBreakdown", wireU32(5), 0, 2);
}

TEST_F(FedSummary, BadTypesAndSubsetsFailBeforeAnythingIsSent) {
  for (int16_t type : {-1, 13}) {
    Reply reply = compare(type, &root_);
    EXPECT_EQ(reply.result, -1);
    EXPECT_EQ(reply.bytes, "");
  }
  EXPECT_NE(logText().find("hcommand_HTTPXServerTransactionBreakdown: bad type"),
            std::string::npos);
  expectFailure(transactions, "hcommand_HTTPXServerTransactionBreakdown", wireS16(0), 0, 2);
}

TEST(HTTPSummaryCommands, AWindowWithoutServersSendsItsOwnBounds) {
  TestWindow window(5);
  auto config = makeConfig(0, 0);
  OB_HTTPAnalysisStats stats(config.get(), window.get());
  OB_User root;
  std::snprintf(root.login, sizeof root.login, "root");
  SocketPair pair;
  pair.feed(wireS16(7));
  OB_AEngineTCPRequest r = request(0);
  ASSERT_EQ(hcommand_HTTPXServerTransactionBreakdown(&stats, pair.near(), &root, &r), 0);
  EXPECT_EQ(pair.drain(), wireU32(0) + wireS32(static_cast<int32_t>(kAgo + 5 * kBinSize)) +
                              wireS32(static_cast<int32_t>(kAgo)) + wireU32(5));
}

}  // namespace
