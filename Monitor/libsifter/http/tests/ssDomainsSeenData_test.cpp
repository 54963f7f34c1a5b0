// Client domains of a server, fed from the domain-name cache, and their console commands (1050,
// 1051).
#include "http/ssDomainsSeenData.h"

#include <gtest/gtest.h>

#include <map>

#include "OB_Tools.h"
#include "StatsTestSupport.h"
#include "stats/AnalysisHash.h"

using namespace stats_test;

namespace {

std::map<uint32_t, std::string> names;

int fakeLookup(uint32_t address, char* name, size_t size) {
  auto found = names.find(address);
  if (found == names.end()) return -1;
  snprintf(name, size, "%s", found->second.c_str());
  return 0;
}

class Domains : public HandlerTest {
 protected:
  Domains() : HandlerTest(2) {}
  void SetUp() override {
    HandlerTest::SetUp();
    std::filesystem::create_directories(dir_.path() + "/db");
    names = {{ip(192, 168, 1, 7), "pc7.example.org"},
             {ip(192, 168, 1, 8), "gateway"},
             {ip(10, 1, 1, 1), "a.b.com"},
             {ip(10, 1, 1, 2), "host.Example.ORG"}};
    OB_Tools::setReverseLookup(fakeLookup);
  }
  void TearDown() override {
    AnalysisHash_free();
    OB_Tools::setReverseLookup(nullptr);
    HandlerTest::TearDown();
  }
  // One transaction of a connection from client into bin b, through the whole module set.
  void from(uint32_t client, int b) {
    Connection c(client);
    OB_HTTPXact x;
    fill(&x, Xact());
    httpNetInfo_t info = bin(b);
    modules()->procX4allHTTPServerStatsModules(config_->httpServers[0], &info, c.get(), &x,
                                               nullptr);
  }
};

TEST_F(Domains, ClientsCountUnderTheDomainOfTheirResolvedName) {
  AnalysisHash_init();
  from(ip(192, 168, 1, 7), 0);
  from(ip(192, 168, 1, 7), 1);
  from(ip(10, 1, 1, 1), 1);
  from(ip(10, 1, 1, 2), 1);  // "org" again: names are lower-cased by the look-up
  from(ip(192, 168, 1, 8), 0);  // no domain
  from(ip(192, 168, 1, 9), 0);  // no name: its address
  Reply reply = run(hcommand_HTTPServerDomainBreakdown);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes, values({4, 1, 1}) + wireU32(2) + entry("org", 3) + entry("com", 1));
  EXPECT_EQ(run(hcommand_HTTPServerDomainSeries, wireLine("org")).bytes,
            series("org", 2, {1, 2}));
  EXPECT_EQ(run(hcommand_HTTPServerDomainSeries, wireLine("net")).bytes,
            series("net", 2, {0, 0}));
}

TEST_F(Domains, WithoutNameResolutionEveryClientIsUnresolved) {
  from(ip(192, 168, 1, 7), 0);
  from(ip(10, 1, 1, 1), 1);
  EXPECT_EQ(run(hcommand_HTTPServerDomainBreakdown).bytes, values({0, 2, 0}) + wireU32(0));
}

TEST_F(Domains, NamesAreClassifiedByLettersAndTheirLastDot) {
  ssDomainsSeenData* module = &modules()->domainsSeenData;
  ssDomainsSeenData_procX(module, 0, "10.0.0.1");
  ssDomainsSeenData_procX(module, 0, "");
  ssDomainsSeenData_procX(module, 0, "gateway");
  ssDomainsSeenData_procX(module, 0, "alpha.beta.GAMMA");
  ssDomainsSeenData_procX(module, 0, "trailing.dot.");
  ssDomainsSeenData_procX(module, 2, "outside.bins");
  EXPECT_EQ(run(hcommand_HTTPServerDomainBreakdown).bytes,
            values({2, 2, 1}) + wireU32(1) + entry("gamma", 1));
  expectFailure(hcommand_HTTPServerDomainSeries, "hcommand_HTTPServerDomainSeries",
                std::string(300, 'x') + "\n");
}

}  // namespace
