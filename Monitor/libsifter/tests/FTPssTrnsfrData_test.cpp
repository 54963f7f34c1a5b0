// The FTP servers' transfer modules: which list a transfer counts in, and the series of all
// transfers in time order.
#include "FTPssTrnsfrData.h"

#include <gtest/gtest.h>

#include "FTPTestSupport.h"

namespace {

using ftp_test::kClientA;
using ftp_test::server;

TEST(FTPssTrnsfrData, ATransferFromTheServerToItselfCountsInBothLists) {
  stats_test::TestWindow window(2);
  FTPssTrnsfrData module;
  FTPssTrnsfrData_initAll(window.get(), &module, 2);
  OB_FTPProtocol* p = ftp_test::connection(0, kClientA, server(0));
  OB_FTPftranLink loop("u", server(0), server(0), "/", "self", 1);
  OB_FTPftranLink away("u", kClientA, server(1), "/", "elsewhere", 1);
  FTPssTrnsfrData_procX(&module, 0, p, &loop);
  FTPssTrnsfrData_procX(&module, 1, p, &away);
  FTPssTrnsfrData_procX(&module, 2, p, &loop);  // beyond the window: nothing
  p->release();
  EXPECT_EQ(module.from.count, 2u);
  EXPECT_EQ(module.to.count, 2u);
  StatsSeriesHold all(FTPssTrnsfrData_getAllTransfers(&module));
  ASSERT_EQ(all->numOfBins, 2u);
  EXPECT_EQ(all->values[0], 2u);
  EXPECT_EQ(all->values[1], 0u);
  EXPECT_STREQ(all->name, "All file transfers");
  FTPssTrnsfrData_freeAll(&module);
}

}  // namespace
