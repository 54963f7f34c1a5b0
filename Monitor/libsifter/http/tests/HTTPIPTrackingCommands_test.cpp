// The HTTP IP-tracking console commands (1065 to 1068, 1070) over a socket pair, on statistics
// fed with hand-built connections: reply bytes, address parsing and the requests they refuse.
#include "http/HTTPIPTrackingCommands.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "StatsTestSupport.h"
#include "stats/OB_IPTracker.h"
#include "stats/TrackedNames.h"

using namespace stats_test;

namespace {

constexpr uint32_t kA = ip(192, 168, 1, 7);
constexpr uint32_t kB = ip(172, 16, 0, 9);
constexpr uint32_t kC = ip(192, 168, 1, 20);
constexpr uint32_t kD = ip(10, 9, 9, 9);

// Server 0 of a window of four bins. Client A (pc7.example.org) asks for /index.html and an
// image in bin 0, then three pages in bin 2; B (host.example.net) two pages in bin 1; C (no name)
// one page in bin 3; D only an image in bin 3. The subset holds 172.16.0.0/16 (B).
class IPTracking : public FedHandlerTest {
 protected:
  IPTracking() : FedHandlerTest(4) {
    XSubset_t* subset = config_->xSubSets[0];
    subset->acceptMatching = 1;
    subset->numOfNets = 1;
    subset->exampleAddress[0] = subset->network[0] = ip(172, 16, 0, 0);
    subset->maskAddress[0] = ip(255, 255, 0, 0);
  }
  void SetUp() override {
    FedHandlerTest::SetUp();
    knownNames() = {{kA, "pc7.example.org"}, {kB, "host.example.net"}};
    visit(0, kA, {xact("/index.html"), xact("/logo.png", "image/png")});
    visit(1, kB, {xact("/index.html"), xact("/b.html")});
    visit(2, kA, {xact("/a.html"), xact("/b.html"), xact("/a.html")});
    visit(3, kC, {xact("/index.html")});
    visit(3, kD, {xact("/logo.png", "image/png")});
  }
  Reply ask(int16_t type, int16_t n, const std::string& first, const std::string& second,
            int32_t subset = 0) {
    return run(hcommand_HTTPIPTracking,
               wireS16(type) + wireS16(n) + wireLine(first) + wireLine(second), 0, subset);
  }
  // A ranked entry: address, host name, pages, requests.
  static std::string client(const std::string& address, const std::string& host, uint32_t pages,
                            uint32_t requests) {
    return name(address) + name(host) + wireU32(pages) + wireU32(requests);
  }
  const std::string a = client("192.168.1.7", "pc7.example.org", 4, 5);
  const std::string b = client("172.16.0.9", "host.example.net", 2, 2);
  const std::string c = client("192.168.1.20", "192.168.1.20", 1, 1);
};

TEST_F(IPTracking, TopClientsByPagesOfOneNetworkAndOfARange) {
  EXPECT_EQ(ask(0, 5, "0.0.0.0", "0.0.0.0").bytes,
            wireU32(4) + a + b + c + client("10.9.9.9", "10.9.9.9", 0, 1));
  EXPECT_EQ(ask(0, 2, "0.0.0.0", "0.0.0.0").bytes, wireU32(2) + a + b);
  EXPECT_EQ(ask(2, 5, "192.168.1.0", "255.255.255.0").bytes, wireU32(2) + a + c);
  // Bounds in either order, in the octal and hex forms the C library takes.
  EXPECT_EQ(ask(3, 5, "0xC0A801FF", "0300.0250.1.8").bytes, wireU32(1) + c);
  // The subset holds B alone.
  EXPECT_EQ(ask(0, 5, "0.0.0.0", "0.0.0.0", 1).bytes, wireU32(1) + b);
}

TEST_F(IPTracking, PastTheBoundOfTrackedNamesANewClientCountsInTheHitsButIsNotRanked) {
  const uint32_t before = stats_->servers[0]->modules->hitData.hits[3];
  trackedNames_setBound(trackedNames_held());
  const uint32_t late = ip(10, 5, 5, 5);
  visit(3, late, {xact("/index.html"), xact("/new.html")});
  trackedNames_setBound(0);
  EXPECT_EQ(stats_->servers[0]->modules->hitData.hits[3], before + 2);
  EXPECT_EQ(stats_->servers[0]->ipTracker->findRecord(late), nullptr);
  EXPECT_EQ(ask(0, 5, "0.0.0.0", "0.0.0.0").bytes,
            wireU32(4) + a + b + c + client("10.9.9.9", "10.9.9.9", 0, 1));
}

TEST_F(IPTracking, AHostNameLongerThan255CharactersGoesOutCutTo254) {
  const uint32_t longNamed = ip(10, 7, 7, 7);
  const std::string host = std::string(300, 'h') + ".example.com";
  knownNames()[longNamed] = host;
  for (int i = 0; i < 9; ++i) visit(0, longNamed, {xact("/index.html")});
  EXPECT_EQ(ask(0, 1, "0.0.0.0", "0.0.0.0").bytes,
            wireU32(1) + client("10.7.7.7", host.substr(0, 254), 9, 9));
}

TEST_F(IPTracking, TheAllOnesAddressIsTakenOnlyAsTheWrittenOutSecondAddress) {
  Reply reply = ask(2, 5, "0.0.0.0", "255.255.255.255");
  EXPECT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, wireU32(0));
  for (auto [first, second] :
       {std::pair{"255.255.255.255", "0.0.0.0"}, std::pair{"0.0.0.0", "0xFFFFFFFF"},
        std::pair{"x", "0.0.0.0"}, std::pair{"0.0.0.0", "1.2.3.4.5"},
        std::pair{"0.0.0.0", "000000000000000000000000000000001"}}) {
    reply = ask(0, 5, first, second);
    EXPECT_EQ(reply.result, -1) << first << " " << second;
    EXPECT_EQ(reply.bytes, "") << first << " " << second;
  }
  EXPECT_NE(logText().find("hcommand_HTTPIPTracking: Problem getting or sending info."),
            std::string::npos);
}

TEST_F(IPTracking, UnknownTypesServersAndSubsetsFailWithoutAPayload) {
  const std::string query = wireS16(5) + wireLine("0.0.0.0") + wireLine("0.0.0.0");
  expectFailure(hcommand_HTTPIPTracking, "hcommand_HTTPIPTracking", wireS16(1) + query);
  expectFailure(hcommand_HTTPIPTracking, "hcommand_HTTPIPTracking", wireS16(7) + query);
  EXPECT_NE(logText().find("hcommand_HTTPIPTracking: invalid type"), std::string::npos);
  expectFailure(hcommand_HTTPIPTracking, "hcommand_HTTPIPTracking", wireS16(0) + query, 2);
  expectFailure(hcommand_HTTPIPTracking, "hcommand_HTTPIPTracking", wireS16(0) + query, 0, 2);
  expectFailure(hcommand_HTTPServerIPTrackingList, "hcommand_HTTPServerIPTrackingList", "", -1);
}

TEST_F(IPTracking, AClientsPagesPerBinInPlainBinOrder) {
  // The address as asked, in whatever form.
  EXPECT_EQ(run(hcommand_HTTPServerIPTrackingSeries, wireLine("0xC0A80107")).bytes,
            name("0xC0A80107") + windowHead() + values({1, 0, 3, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerIPTrackingSeries, wireLine("10.9.9.9")).bytes,
            name("10.9.9.9") + windowHead() + values({0, 0, 0, 0}));
  expectFailure(hcommand_HTTPServerIPTrackingSeries, "hcommand_HTTPServerIPTrackingSeries",
                wireLine("10.1.1.1"));
}

TEST_F(IPTracking, DomainCountersInOrderOfFirstUseAndTheirSeries) {
  EXPECT_EQ(run(hcommand_HTTPServerIPTrackingList).bytes,
            wireU32(3) + entry(".org", 2) + entry(".net", 1) + entry("Unresolved", 2));
  EXPECT_EQ(run(hcommand_HTTPServerIPTrackingDomainSeries, wireLine(".org")).bytes,
            name(".org") + windowHead() + values({1, 0, 1, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerIPTrackingDomainSeries, wireLine("Unresolved")).bytes,
            name("Unresolved") + windowHead() + values({0, 0, 0, 2}));
  expectFailure(hcommand_HTTPServerIPTrackingDomainSeries,
                "hcommand_HTTPServerIPTrackingDomainSeries", wireLine("org"));
}

TEST_F(IPTracking, PathsListEachPageWithItsTime) {
  const std::string path = wireU32(4) + name("/index.html") + wireU32(at(0)) + name("/a.html") +
                           wireU32(at(2)) + name("/b.html") + wireU32(at(2)) + name("/a.html") +
                           wireU32(at(2));
  EXPECT_EQ(run(hcommand_HTTPIPTrackingPaths, wireLine("192.168.1.7")).bytes, path);
  EXPECT_EQ(run(hcommand_HTTPIPTracking, wireS16(4) + wireLine("192.168.1.7")).bytes, path);
  // D asked for no page: it has no path.
  EXPECT_EQ(run(hcommand_HTTPIPTrackingPaths, wireLine("10.9.9.9")).bytes, wireU32(0));
}

TEST_F(IPTracking, PathsOfAnUntrackedClientFailEvenThroughTheTrackingCommand) {
  expectFailure(hcommand_HTTPIPTrackingPaths, "hcommand_HTTPIPTracking", wireLine("10.1.1.1"));
  expectFailure(hcommand_HTTPIPTracking, "hcommand_HTTPIPTracking",
                wireS16(4) + wireLine("10.1.1.1"));
}

}  // namespace
