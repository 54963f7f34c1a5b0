// Hits, methods, content types and entry points of a server, and their console commands.
#include "http/ssHitData.h"

#include <gtest/gtest.h>

#include "StatsTestSupport.h"
#include "stats/StatsReply.h"

using namespace stats_test;

namespace {

class HitData : public HandlerTest {
 protected:
  HitData() : HandlerTest(2) {}
  void hit(int b, const Xact& v, int server = 0) {
    OB_HTTPXact x;
    fill(&x, v);
    httpNetInfo_t info = bin(b);
    modules(server)->procX4allHTTPServerStatsModules(config_->httpServers[server], &info,
                                                     connection_.get(), &x, nullptr);
  }
  Xact page(const std::string& referer = "", const std::string& type = "text/html") {
    Xact v;
    v.referer = referer;
    v.responseType = type;
    return v;
  }
  Connection connection_;
};

TEST_F(HitData, FreshModuleBreaksDownToAllHitsAndGET) {
  Reply reply = run(hcommand_HTTPServerMethodBreakdown);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, wireU32(2) + entry("All Hits", 0) + entry("GET", 0));
}

TEST_F(HitData, MethodBreakdownIsSortedAndSeriesFollowTheBins) {
  Xact post;
  post.method = "POST";
  Xact none;
  none.method = "";
  none.responseType = "";
  hit(0, page());
  hit(1, post);
  hit(1, post);
  hit(1, none);  // a hit, and nothing else
  hit(1, page());
  Reply breakdown = run(hcommand_HTTPServerMethodBreakdown);
  EXPECT_EQ(breakdown.bytes,
            wireU32(3) + entry("All Hits", 5) + entry("GET", 2) + entry("POST", 2));
  EXPECT_EQ(run(hcommand_HTTPServerMethodSeries, wireLine("POST")).bytes,
            series("POST", 2, {0, 2}));
  EXPECT_EQ(run(hcommand_HTTPServerMethodSeries, wireLine("All Hits")).bytes,
            series("All Hits", 2, {1, 4}));
  EXPECT_EQ(run(hcommand_HTTPServerMethodSeries, wireLine("post")).bytes,
            series("post", 2, {0, 0}));
}

TEST_F(HitData, ContentTypesOfResponsesAndRequestsHaveTheirOwnTotals) {
  Xact upload;
  upload.method = "POST";
  upload.requestType = "multipart/form-data";
  upload.responseType = "";
  hit(0, page());
  hit(0, page("", "image/gif"));
  hit(1, page("", "image/gif"));
  hit(1, upload);
  Reply reply = run(hcommand_HTTPServerMIMEBreakdown);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, wireU32(3) + entry("All FROM Server", 3) + entry("image/gif", 2) +
                             entry("text/html", 1) + wireU32(2) + entry("All TO Server", 1) +
                             entry("multipart/form-data", 1));
  EXPECT_EQ(run(hcommand_HTTPServerMIMESeries, wireS32(0) + wireLine("All FROM Server")).bytes,
            series("All FROM Server", 2, {2, 1}));
  EXPECT_EQ(run(hcommand_HTTPServerMIMESeries, wireS32(1) + wireLine("multipart/form-data")).bytes,
            series("multipart/form-data", 2, {0, 1}));
  EXPECT_EQ(run(hcommand_HTTPServerMIMESeries, wireS32(1) + wireLine("image/gif")).bytes,
            series("image/gif", 2, {0, 0}));
}

TEST_F(HitData, ATypeNamedLikeATotalCountsOnceUnderTheTotal) {
  hit(0, page("", "All FROM Server"));
  Xact upload;
  upload.requestType = "All TO Server";
  hit(0, upload);
  Reply reply = run(hcommand_HTTPServerMIMEBreakdown);
  EXPECT_EQ(reply.bytes, wireU32(2) + entry("All FROM Server", 2) + entry("text/html", 1) +
                             wireU32(1) + entry("All TO Server", 1));
}

TEST_F(HitData, EntryPointsAreContentWithoutAReferrerFromTheSameHost) {
  hit(0, page());                                       // no referer: an entry point
  hit(0, page("http://WWW.Example.COM/index.html"));    // own host in other case: not one
  hit(0, page("http://search.test/?q=x"));              // another site: one
  hit(1, page("", "image/png"));                        // not content: not one
  hit(1, page("", "application/pdf"));
  EXPECT_EQ(run(hcommand_HTTPServerMIMEEntryPointSeries, wireLine("text/html")).bytes,
            series("Entry point counts for text/html", 2, {2, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerMIMEEntryPointSeries, wireLine("image/png")).bytes,
            series("Entry point counts for image/png", 2, {0, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerMIMEEntryPointSeries, wireLine("application/pdf")).bytes,
            series("Entry point counts for application/pdf", 2, {0, 1}));
}

TEST_F(HitData, TheEntryPointTestLeavesTheTransactionsHostAlone) {
  OB_HTTPXact x;
  fill(&x, page("http://other.test/"));
  x.req_host = "WWW.Example.COM";
  httpNetInfo_t info = bin(0);
  Connection c;
  ssHitData_procX(&modules()->hitData, &info, c.get(), &x);
  EXPECT_STREQ(x.req_host.c_str(), "WWW.Example.COM");
}

TEST_F(HitData, PagesPerEntryRoundsUpAndIsZeroWithoutEntries) {
  for (int i = 0; i < 5; ++i) hit(0, page(i < 2 ? "" : "http://www.example.com/"));
  hit(1, page("http://www.example.com/"));
  EXPECT_EQ(run(hcommand_HTTPServerPagesPerEntrySeries).bytes,
            series("Pages Per Entry", 2, {3, 0}));
}

TEST_F(HitData, HitOverviewSendsTheWindowOnceAndFourRuns) {
  hit(0, page());
  hit(1, page("http://www.example.com/"));
  hit(1, page("", "image/gif"));
  Connection c;
  httpNetInfo_t fresh = bin(1, 1);
  ssNetworkData_procPO(&modules()->networkData, &fresh, c.get());
  Reply reply = run(hcommand_HTTPServerHitOverviewSeries);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, wireS32(kAgo + 200) + wireS32(kAgo) + wireU32(2) + values({1, 2}) +
                             values({1, 1}) + values({1, 0}) + values({0, 1}));
}

TEST_F(HitData, SubsetsAndServersKeepTheirOwnCounts) {
  hit(0, page(), 1);
  EXPECT_EQ(run(hcommand_HTTPServerMethodSeries, wireLine("GET"), 1).bytes,
            series("GET", 2, {1, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerMethodSeries, wireLine("GET"), 1, 1).bytes,
            series("GET", 2, {0, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerMethodSeries, wireLine("GET"), 0).bytes,
            series("GET", 2, {0, 0}));
}

TEST_F(HitData, SixtyFiveThousandMethodsInOneBinKeepTheReplyWhole) {
  Xact v;
  v.responseType = "";
  for (int i = 0; i < 65536; ++i) {
    v.method = "M" + std::to_string(i);
    hit(0, v);
  }
  hit(0, v);  // one name twice
  Reply reply = run(hcommand_HTTPServerMethodBreakdown);
  ASSERT_EQ(reply.result, 0);
  const std::string head =
      wireU32(65538) + entry("All Hits", 65537) + entry("M65535", 2) + entry("M0", 1);
  EXPECT_EQ(reply.bytes.substr(0, head.size()), head);
  const std::string tail = entry("M65534", 1) + entry("GET", 0);
  EXPECT_EQ(reply.bytes.substr(reply.bytes.size() - tail.size()), tail);
}

TEST_F(HitData, HandlersFailWithoutTheirFieldsOrServer) {
  expectFailure(hcommand_HTTPServerMIMESeries, "hcommand_HTTPServerMIMESeries", wireS32(0).substr(0, 2));
  expectFailure(hcommand_HTTPServerMethodBreakdown, "hcommand_HTTPServerMethodBreakdown", "", -1);
  expectFailure(hcommand_HTTPServerHitOverviewSeries, "hcommand_HTTPServerHitOverviewSeries", "", 2);
  expectFailure(hcommand_HTTPServerMethodSeries, "hcommand_HTTPServerMethodSeries",
                std::string(2000, 'x') + "\n");
}

}  // namespace
