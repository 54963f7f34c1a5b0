// Connection figures and response times of a server, and their console command (1015).
#include "http/ssNetworkData.h"

#include <gtest/gtest.h>

#include "StatsTestSupport.h"
#include "stats/StatsReply.h"

using namespace stats_test;

namespace {

class NetworkData : public HandlerTest {
 protected:
  NetworkData() : HandlerTest(2) {}
  // One connection into bin b of server 0's module set.
  void connect(int b, int32_t server, int32_t network, int newClient = 0, int rejected = 0,
               int unacked = 0, uint16_t pairs = 1) {
    Connection c;
    c->serverRespTime = server;
    c->networkRespTime = network;
    c->rejectConnect = rejected;
    c->unackedConnect = unacked;
    c->commRespCount = pairs;
    httpNetInfo_t info = bin(b, newClient);
    ssNetworkData_procPO(&modules()->networkData, &info, c.get());
  }
  ssNetworkData* data() { return &modules()->networkData; }
};

TEST_F(NetworkData, ResponseTimeReplyGoldenBytes) {
  connect(0, 1, 10);
  connect(0, 2, 30);
  connect(0, 2, 20);  // server average (1 + 2 + 2) / 3 = 1
  connect(1, 7, 5);
  Reply reply = run(hcommand_HTTPServerResponseTimeSeries);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.bytes,
            wireS32(kAgo + 200) + wireS32(kAgo) + wireU32(2) + wireU32(4) + values({3, 1}) +
                values({7, 1, 3}) + values({2, 1, 1, 7, 7, 7}) +  // server: all, bin 0, bin 1
                values({30, 5, 16}) + values({30, 10, 20, 5, 5, 5}));
}

TEST_F(NetworkData, AWindowWithoutConnectionsSendsZeroAveragesAndTheStandInMinimum) {
  Reply reply = run(hcommand_HTTPServerResponseTimeSeries);
  ASSERT_EQ(reply.result, 0);
  const uint32_t m = kNoMinimumTime;
  EXPECT_EQ(reply.bytes, wireS32(kAgo + 200) + wireS32(kAgo) + wireU32(2) + wireU32(0) +
                             values({0, 0}) + values({0, m, 0, 0, m, 0, 0, m, 0}) +
                             values({0, m, 0, 0, m, 0, 0, m, 0}));
}

TEST_F(NetworkData, OverallMinimumSkipsBinsWithoutConnections) {
  connect(1, 400, 90);
  ssRespTimeData_t* r = ssNetworkData_getResponseTimeData(data());
  EXPECT_EQ(r->srvMin, 400u);
  EXPECT_EQ(r->netMin, 90u);
  EXPECT_EQ(r->srvMins[0], kNoMinimumTime);
  ssNetworkData_freeResponseTimeData(r);
}

TEST_F(NetworkData, ABinsFirstTimeIsItsMinimumEvenAboveTheStartValue) {
  connect(0, 1500000000, 1200000000);
  connect(0, 1700000000, 1100000000);
  ssRespTimeData_t* r = ssNetworkData_getResponseTimeData(data());
  EXPECT_EQ(r->srvMins[0], 1500000000u);
  EXPECT_EQ(r->netMins[0], 1100000000u);
  EXPECT_EQ(r->srvMin, 1500000000u);
  ssNetworkData_freeResponseTimeData(r);
}

TEST_F(NetworkData, LongTimesDoNotOverflowTheSums) {
  for (int i = 0; i < 5; ++i) connect(0, 2000000000, 2000000001);
  EXPECT_EQ(data()->srvAve[0], 2000000000u);
  ssRespTimeData_t* r = ssNetworkData_getResponseTimeData(data());
  EXPECT_EQ(r->srvAve, 2000000000u);
  EXPECT_EQ(r->netAve, 2000000001u);
  ssNetworkData_freeResponseTimeData(r);
}

TEST_F(NetworkData, ConnectionKindsCountOnceInOrderOfPrecedence) {
  connect(0, 0, 0, 1, /*rejected*/ 1, /*unacked*/ 1);
  connect(0, 0, 0, 0, 0, 1, 0);
  connect(1, 0, 0, 1, 0, 0, 0);
  connect(1, 0, 0, 0, 0, 0, 3);
  connect(5, 0, 0, 1);  // a bin the module does not have
  SocketPair pair;
  for (auto get : {ssNetworkData_getUniqueIPSeries, ssNetworkData_getRejectConnSeries,
                   ssNetworkData_getUnackConnSeries, ssNetworkData_getEmptyConnSeries}) {
    StatsSeriesHold s(get(data()));
    ASSERT_EQ(stats_writeSeries(pair.near(), s.get()), 0);
  }
  EXPECT_EQ(pair.drain(), series("Unique IP Addresses", 2, {1, 1}) +
                              series("Rejected TCP Connections", 2, {1, 0}) +
                              series("Unacknoledged TCP Connections", 2, {1, 0}) +
                              series("Empty TCP Connections", 2, {0, 1}));
  EXPECT_EQ(data()->srvCount[0] + data()->srvCount[1], 4u);
}

TEST_F(NetworkData, HandlerRefusesAServerOrSubsetItDoesNotHave) {
  expectFailure(hcommand_HTTPServerResponseTimeSeries, "hcommand_HTTPServerResponseTimeSeries", "",
                2);
  expectFailure(hcommand_HTTPServerResponseTimeSeries, "hcommand_HTTPServerResponseTimeSeries", "",
                0, 2);
}

}  // namespace
