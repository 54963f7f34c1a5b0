// The FTP servers' connection figures: counts by how a connection ended, and response-time
// sums that do not wrap.
#include "ftp/FTPssNetworkData.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

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
  // One bin held them all: its largest and smallest time are the window's.
  EXPECT_EQ(record->server.max, 2000000000u);
  EXPECT_EQ(record->server.min, 2000000000u);
  EXPECT_EQ(module.uniqueIPs[1], 1u);
  FTPssNetworkData_freeAll(&module);
}

TEST(FTPssNetworkData, TheWindowsLargestAndSmallestTimesAreThoseOfItsBins) {
  // Bin 0: 10 and 40 µs; bin 2: 25 µs; bins 1 and 3 empty. The window's maximum is 40 and its
  // minimum 10, whatever the connection count; the average stays the sum over the count.
  stats_test::TestWindow window(4);
  FTPssNetworkData module;
  FTPssNetworkData_initAll(window.get(), &module, 4);
  for (auto [bin, time] : {std::pair{0, 10}, std::pair{0, 40}, std::pair{2, 25}}) {
    OB_FTPProtocol* p = connection(0, kClientA, server(0), {}, {time, time * 2});
    ftpNetInfo_t info = {bin, 0, 0};
    FTPssNetworkData_procX(&module, &info, p);
    p->release();
  }
  std::unique_ptr<FTPRespTimeData_t, RecordFree> record(
      FTPssNetworkData_getResponseTimeData(&module));
  EXPECT_EQ(record->server.max, 40u);
  EXPECT_EQ(record->server.min, 10u);
  EXPECT_EQ(record->server.ave, 25u);
  EXPECT_EQ(record->network.max, 80u);
  EXPECT_EQ(record->network.min, 20u);
  EXPECT_EQ(record->network.ave, 50u);
  FTPssNetworkData_freeAll(&module);

  // No connection at all: three zeros.
  FTPssNetworkData_initAll(window.get(), &module, 4);
  record.reset(FTPssNetworkData_getResponseTimeData(&module));
  EXPECT_EQ(record->server.max, 0u);
  EXPECT_EQ(record->server.min, 0u);
  EXPECT_EQ(record->server.ave, 0u);
  FTPssNetworkData_freeAll(&module);
}

}  // namespace
