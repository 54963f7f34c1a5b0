// Referring sites and their pages, and their console commands (1033, 1035, 1040, 1045).
#include "http/ssReferersSeenData.h"

#include <gtest/gtest.h>

#include "OB_Tools.h"
#include "StatsTestSupport.h"

using namespace stats_test;

namespace {

class Referers : public HandlerTest {
 protected:
  Referers() : HandlerTest(2) {}
  void SetUp() override {
    HandlerTest::SetUp();
    OB_HTTPServer* server = config_->httpServers[0];  // 10.0.0.80, type 0
    server->sNumOfAltDNSes = 1;
    server->sAltDNSes[0] = OB_Tools::strdup("alias.example.net");
  }
  void refer(int b, const std::string& referer, const std::string& host = "www.example.com") {
    Xact v;
    v.referer = referer;
    v.host = host;
    OB_HTTPXact x;
    fill(&x, v);
    httpNetInfo_t info = bin(b);
    modules()->procX4allHTTPServerStatsModules(config_->httpServers[0], &info, connection_.get(),
                                               &x, nullptr);
  }
  std::string paths(const std::string& host) {
    return run(hcommand_HTTPServerRefererPathsBreakdown, wireLine(host)).bytes;
  }
  uint64_t referrals() {
    StatsSeriesHold all(ssReferersSeenData_getHitSeries(&modules()->referersSeenData, 0, "", ""));
    return stats_sum(all->values, all->numOfBins);
  }
  Connection connection_;
};

TEST_F(Referers, OtherSiteCountsWithoutSchemeAndWithThePathBeforeTheQuery) {
  refer(0, "http://Other.Test/a/page.html?q=1");
  refer(1, "http://other.test/a/page.html#top");
  refer(1, "http://other.test/");
  refer(1, "http://other.test");
  EXPECT_EQ(paths("other.test"), name("other.test") + wireU32(2) + entry("/a/page.html", 2) +
                                     entry("/", 2));
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries, wireS32(1) + wireLine("other.test") + wireLine(""))
                .bytes,
            series("other.test", 2, {1, 3}));
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries,
                wireS32(2) + wireLine("other.test") + wireLine("/a/page.html"))
                .bytes,
            series("/a/page.html", 2, {1, 1}));
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries, wireS32(0) + wireLine("") + wireLine("")).bytes,
            series("All hosts", 2, {1, 3}));
}

TEST_F(Referers, TheServersOwnNamesAndAddressesAreNoReferers) {
  refer(0, "http://WWW.EXAMPLE.COM/index.html");        // its host, another case
  refer(0, "http://example.com/x");                     // contained in its host
  refer(0, "http://shop.www.example.com/x");            // containing its host
  refer(0, "http://10.0.0.80/x");                       // its address
  refer(0, "http://alias.example.net/x");               // its alternate name
  refer(0, "ab");                                        // too short to name a site
  EXPECT_EQ(referrals(), 0u);
  refer(0, "http://10.9.9.9/x");
  refer(0, "http://255.255.255.255/x");
  EXPECT_EQ(referrals(), 2u);
}

TEST_F(Referers, TheOwnSiteTestsLeaveTheTransactionAlone) {
  OB_HTTPXact x;
  Xact v;
  v.host = "WWW.Example.COM";
  v.referer = "http://Other.Test/p";
  fill(&x, v);
  httpNetInfo_t info = bin(0);
  ssReferersSeenData_procX(&modules()->referersSeenData, &info, connection_.get(), &x,
                           config_->httpServers[0]);
  EXPECT_STREQ(x.req_host.c_str(), "WWW.Example.COM");
  EXPECT_STREQ(x.req_referer.c_str(), "http://Other.Test/p");
  EXPECT_EQ(referrals(), 1u);
}

TEST_F(Referers, PrintListsTheTopHostsEachWithItsPaths) {
  refer(0, "http://b.test/x");
  refer(0, "http://a.test/y");
  refer(1, "http://a.test/z");
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ssReferersSeenData_print(out, &modules()->referersSeenData);
  fclose(out);
  EXPECT_EQ(std::string(text, size),
            "Referer Host Breakdown Summary\n------------------------------\n"
            "a.test = 2\n/y = 1\n/z = 1\nb.test = 1\n/x = 1\n");
  free(text);
}

TEST_F(Referers, ARequestWithoutHostStillCountsReferers) {
  refer(0, "http://other.test/p", "");
  EXPECT_EQ(paths("other.test"), name("other.test") + wireU32(1) + entry("/p", 1));
}

TEST_F(Referers, TopHostsWithTheirPathsLargestFirst) {
  const char* sites[] = {"a.test", "b.test", "c.test", "d.test", "e.test"};
  for (int site = 0; site < 5; ++site)
    for (int i = 0; i <= site; ++i)
      refer(0, std::string("http://") + sites[site] + (i % 2 == 0 ? "/even" : "/odd"));
  Reply reply = run(hcommand_HTTPServerRefererHostsBreakdown, wireS32(3).substr(2));
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, wireU32(3) + wireU32(3) + entry("e.test", 5) + wireU32(2) +
                             entry("/even", 3) + entry("/odd", 2) + entry("d.test", 4) +
                             wireU32(2) + entry("/even", 2) + entry("/odd", 2) +
                             entry("c.test", 3) + wireU32(2) + entry("/even", 2) +
                             entry("/odd", 1));
  EXPECT_EQ(run(hcommand_HTTPServerRefererTopHosts, wireS32(-1).substr(2)).bytes,
            wireU32(0xFFFFFFFF) + wireU32(1) + entry("e.test", 5));
}

TEST_F(Referers, UnknownHostsAndPathsGiveEmptyListsAndZeroSeriesWithoutAName) {
  refer(0, "http://other.test/p");
  EXPECT_EQ(paths("none.test"), name("none.test") + wireU32(0));
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries, wireS32(2) + wireLine("other.test") +
                                                      wireLine("/missing"))
                .bytes,
            series("", 2, {0, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries, wireS32(1) + wireLine("none.test") + wireLine(""))
                .bytes,
            series("", 2, {0, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries, wireS32(2) + wireLine("none.test") +
                                                      wireLine("/p"))
                .bytes,
            series("", 2, {0, 0}));
  // A known path of a known host keeps its name.
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries, wireS32(2) + wireLine("other.test") +
                                                      wireLine("/p"))
                .bytes,
            series("/p", 2, {1, 0}));
}

TEST_F(Referers, AnUnknownSeriesTypeFailsTheRequestOnly) {
  expectFailure(hcommand_HTTPServerRefererSeries, "hcommand_HTTPServerRefererSeries",
                wireS32(3) + wireLine("other.test") + wireLine("/p"));
  EXPECT_EQ(run(hcommand_HTTPServerRefererSeries, wireS32(0) + wireLine("") + wireLine("")).result,
            0);
}

}  // namespace
