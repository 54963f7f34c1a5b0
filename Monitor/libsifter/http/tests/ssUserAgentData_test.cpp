// Client programs of a server and their console commands (1055, 1056).
#include "http/ssUserAgentData.h"

#include <gtest/gtest.h>

#include "StatsTestSupport.h"

using namespace stats_test;

namespace {

class UserAgents : public HandlerTest {
 protected:
  UserAgents() : HandlerTest(2) {}
  void send(int b, const std::string& agent) {
    Xact v;
    v.agent = agent;
    OB_HTTPXact x;
    fill(&x, v);
    httpNetInfo_t info = bin(b);
    ssUserAgentData_procX(&modules()->userAgentData, &info, connection_.get(), &x);
  }
  std::string breakdown(int16_t n, const std::string& filter) {
    return run(hcommand_HTTPServerUserAgentBreakdown, wireS32(n).substr(2) + wireLine(filter)).bytes;
  }
  Connection connection_;
};

// Equal totals come in the order of the name buckets: the empty name's is bucket 0.
TEST_F(UserAgents, AgentsDifferingInCaseAreTwoAndTheEmptyAgentIsOne) {
  send(0, "Fetch/1.0");
  send(0, "fetch/1.0");
  send(1, "fetch/1.0");
  send(1, "");
  EXPECT_EQ(breakdown(10, ""), wireU32(10) + name("") + wireU32(4) + wireU32(3) +
                                   entry("fetch/1.0", 2) + entry("", 1) + entry("Fetch/1.0", 1));
  EXPECT_EQ(breakdown(10, "F"), wireU32(10) + name("F") + wireU32(4) + wireU32(1) +
                                    entry("Fetch/1.0", 1));
  EXPECT_EQ(breakdown(-2, "nothing"), wireU32(0xFFFFFFFE) + name("nothing") + wireU32(4) +
                                          wireU32(0));
  EXPECT_EQ(modules()->userAgentData.agents.count, 3u);
}

TEST_F(UserAgents, SeriesOfOneAgentAndZerosForAnUnknownOne) {
  send(1, "Browser/5 (X11)");
  EXPECT_EQ(run(hcommand_HTTPServerUserAgentSeries, wireLine("Browser/5 (X11)")).bytes,
            series("Browser/5 (X11)", 2, {0, 1}));
  EXPECT_EQ(run(hcommand_HTTPServerUserAgentSeries, wireLine("browser/5 (x11)")).bytes,
            series("browser/5 (x11)", 2, {0, 0}));
  expectFailure(hcommand_HTTPServerUserAgentBreakdown, "hcommand_HTTPServerUserAgentBreakdown",
                wireS32(1).substr(2) + wireLine(""), 0, 9);
}

TEST_F(UserAgents, ThousandsOfAgentsKeepTheirOwnCounts) {
  for (int i = 0; i < 3000; ++i) send(0, "agent " + std::to_string(i % 1500));
  EXPECT_EQ(modules()->userAgentData.agents.count, 1500u);
  EXPECT_EQ(run(hcommand_HTTPServerUserAgentSeries, wireLine("agent 1499")).bytes,
            series("agent 1499", 2, {2, 0}));
}

}  // namespace
