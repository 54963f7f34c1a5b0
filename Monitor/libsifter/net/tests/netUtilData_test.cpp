// The utilisation module: which counts each step feeds, 64-bit totals, breakdowns in time order
// and the text form.
#include "net/netUtilData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetTestSupport.h"
#include "net/OB_AddrPair.h"
#include "net/netstats.h"

namespace {

using namespace net_test;
using stats_test::kAgo;
using stats_test::TestWindow;

std::vector<int64_t> bins(const int64_t* values, uint32_t n) {
  return values != nullptr ? std::vector<int64_t>(values, values + n) : std::vector<int64_t>{};
}

class NetUtilData : public ::testing::Test {
 protected:
  NetUtilData() : window_(3) { netUtilData_init(window_.get(), &module_, 3); }
  ~NetUtilData() override { netUtilData_free(&module_); }

  TestWindow window_;
  netUtilData module_{};
};

TEST_F(NetUtilData, AllTrafficTakesTheCaptureTotalsAndPairsOnlyTheirAcceptedCounts) {
  Record record(kAgo, kAgo + 100);
  record.totals(10, 1000, 8, 800, 1);
  netUtilData_procAllTraffic(&module_, 0, record.get());
  OB_AddrPair pair(kLanHost, kWeb);
  pair.packs = 3;
  pair.bytes = 300;
  netUtilData_procAddrPair(&module_, 2, &pair);

  netUtilBreakdown_t* full = netUtilData_getBreakdown(&module_);
  EXPECT_EQ(full->nowTime, static_cast<int32_t>(kAgo + 300));
  EXPECT_EQ(full->agoTime, static_cast<int32_t>(kAgo));
  ASSERT_EQ(full->numOfBins, 3u);
  EXPECT_EQ(bins(full->packsSeen, 3), (std::vector<int64_t>{10, 0, 0}));
  EXPECT_EQ(bins(full->bytesSeen, 3), (std::vector<int64_t>{1000, 0, 0}));
  EXPECT_EQ(bins(full->packsAccepted, 3), (std::vector<int64_t>{8, 0, 3}));
  EXPECT_EQ(bins(full->bytesAccepted, 3), (std::vector<int64_t>{800, 0, 300}));
  EXPECT_EQ(bins(full->reportedDropped, 3), (std::vector<int64_t>{1, 0, 0}));
  netUtilData_freeBreakdown(full);

  netUtilBreakdown_t* accepted = netUtilData_getAcceptedBreakdown(&module_);
  EXPECT_EQ(accepted->packsSeen, nullptr);
  EXPECT_EQ(bins(accepted->bytesAccepted, 3), (std::vector<int64_t>{800, 0, 300}));
  netUtilData_freeBreakdown(accepted);
}

TEST_F(NetUtilData, ABinResetClearsThatBinOfEveryArray) {
  Record record(kAgo, kAgo + 100);
  record.totals(1, 2, 3, 4, 5);
  netUtilData_procAllTraffic(&module_, 0, record.get());
  netUtilData_procAllTraffic(&module_, 1, record.get());
  netUtilData_resetBin(&module_, 1);
  netUtilData_resetBin(&module_, 7);  // no such bin
  netUtilBreakdown_t* full = netUtilData_getBreakdown(&module_);
  for (const int64_t* array : {full->packsSeen, full->bytesSeen, full->packsAccepted,
                               full->bytesAccepted, full->reportedDropped}) {
    EXPECT_NE(array[0], 0);
    EXPECT_EQ(array[1], 0);
  }
  netUtilData_freeBreakdown(full);
}

TEST_F(NetUtilData, PrintsTheWindowWideSums) {
  Record record(kAgo, kAgo + 100);
  record.totals(10, 1000, 8, 800, 1);
  netUtilData_procAllTraffic(&module_, 0, record.get());
  netUtilData_procAllTraffic(&module_, 2, record.get());
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  netUtilData_print(out, &module_);
  fclose(out);
  EXPECT_EQ(std::string(text, size),
            "  Utilization Breakdown Summary\n"
            "  -----------------------------\n"
            "   packsSeenCount = 20\n"
            "   bytesSeenCount = 2000\n"
            "   packsAcceptedCount = 16\n"
            "   bytesAcceptedCount = 1600\n"
            "   reportedDroppedCount = 2\n");
  free(text);
}

TEST(NetstatsRing, ListsTheBinsAfterTheCurrentOneFirst) {
  const int64_t in[4] = {10, 11, 12, 13};
  int64_t out[4];
  netstats_copyRing64(out, in, 4, 0);
  EXPECT_EQ(bins(out, 4), (std::vector<int64_t>{11, 12, 13, 10}));
  netstats_copyRing64(out, in, 4, 3);
  EXPECT_EQ(bins(out, 4), (std::vector<int64_t>{10, 11, 12, 13}));
  netstats_copyRing64(out, in, 1, 0);
  EXPECT_EQ(out[0], 10);
}

}  // namespace
