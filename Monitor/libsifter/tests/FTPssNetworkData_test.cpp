// The FTP servers' connection figures: counts by how a connection ended, and response-time
// sums that do not wrap.
#include "FTPssNetworkData.h"

#include <gtest/gtest.h>

#include <memory>

#include "FTPTestSupport.h"

namespace {

using ftp_test::connection;
using ftp_test::kClientA;
using ftp_test::server;

struct RecordFree {
  void operator()(FTPRespTimeData_t* p) const { FTPssNetworkData_freeResponseTimeData(p); }
};

TEST(FTPssNetworkData, SumsOfLongTimesDoNotWrap) {
  // Three connections of 2e9 µs each in one bin: their sum needs more than 32 bits.
  stats_test::TestWindow window(2);
  FTPssNetworkData module;
  FTPssNetworkData_initAll(window.get(), &module, 2);
  for (int i = 0; i < 3; ++i) {
    OB_FTPProtocol* p = connection(0, kClientA, server(0), {}, {2000000000, 1500000000});
    ftpNetInfo_t info = {1, i == 0, 0};
    FTPssNetworkData_procX(&module, &info, p);
    p->release();
  }
  EXPECT_EQ(module.server.ave[1], 2000000000u);
  std::unique_ptr<FTPRespTimeData_t, RecordFree> record(
      FTPssNetworkData_getResponseTimeData(&module));
  EXPECT_EQ(record->totalCount, 3u);
  EXPECT_EQ(record->server.ave, 2000000000u);
  EXPECT_EQ(record->network.ave, 1500000000u);
  // One bin held them all: the bin maximum and minimum over three connections.
  EXPECT_EQ(record->server.max, 666666666u);
  EXPECT_EQ(record->server.min, 666666666u);
  EXPECT_EQ(module.uniqueIPs[1], 1u);
  FTPssNetworkData_freeAll(&module);
}

}  // namespace
