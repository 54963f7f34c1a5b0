// The FTP servers' transfer modules: which list a transfer counts in, and the series of all
// transfers in time order.
#include "ftp/FTPssTrnsfrData.h"

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

TEST(FTPssTrnsfrData, AFileNamedLikeATotalCountsOnceUnderTheTotal) {
  stats_test::TestWindow window(1);
  for (bool completed : {true, false}) {
    FTPssTrnsfrData done;
    FTPssAbortsData aborted;
    FTPssTransfers* module = completed ? static_cast<FTPssTransfers*>(&done) : &aborted;
    if (completed)
      FTPssTrnsfrData_initAll(window.get(), &done, 1);
    else
      FTPssAbortsData_initAll(window.get(), &aborted, 1);
    OB_FTPProtocol* p = ftp_test::connection(0, kClientA, server(0));
    OB_FTPftranLink sent("u", server(0), kClientA, "/", "All FROM Server", completed ? 1 : 0);
    OB_FTPftranLink other("u", server(0), kClientA, "/", "a.txt", completed ? 1 : 0);
    OB_FTPftranLink received("u", kClientA, server(0), "/", "All TO Server", completed ? 1 : 0);
    for (const OB_FTPftranLink* transfer : {&sent, &other, &received}) {
      if (completed)
        FTPssTrnsfrData_procX(&done, 0, p, transfer);
      else
        FTPssAbortsData_procX(&aborted, 0, p, transfer);
    }
    p->release();
    FTPTransferBreakdown_t* lists = completed ? FTPssTrnsfrData_getBreakdown(&done)
                                              : FTPssAbortsData_getBreakdown(&aborted);
    EXPECT_EQ(lists->fromTotal, 2u) << completed;
    EXPECT_EQ(lists->toTotal, 1u) << completed;
    ASSERT_EQ(lists->from->count, 2u) << completed;
    EXPECT_STREQ(lists->from->entries[1].name, "a.txt");
    EXPECT_EQ(lists->to->count, 1u) << completed;
    EXPECT_EQ(FTPssTransfers_getTotal(module), 3u) << completed;
    FTPssTransfers_freeBreakdown(lists);
    if (completed)
      FTPssTrnsfrData_freeAll(&done);
    else
      FTPssAbortsData_freeAll(&aborted);
  }
}

}  // namespace
