// The sparse per-bin counters: growth both ways, the cap, ring copies and 32-bit counts.
#include "stats/OB_Array.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint32_t> values(OB_Array& array, uint32_t n) {
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < n; ++i) out.push_back(array.getAt(i));
  return out;
}

TEST(OB_ArrayTest, GrowsUpwardAndDownwardKeepingEveryCount) {
  OB_CountArray array(0, 8);
  EXPECT_EQ(array.getAt(10), 0u);  // before the first write
  array.addAt(10, 2);
  EXPECT_EQ(array.getCapacity(), 8u);
  EXPECT_EQ(array.getStart(), 10u);
  array.addAt(20, 3);
  EXPECT_EQ(array.getCapacity(), 16u);
  array.addAt(3, 4);
  EXPECT_EQ(array.getCapacity(), 24u);
  EXPECT_EQ(array.getStart(), 3u);
  EXPECT_EQ(array.getEnd(), 20u);
  EXPECT_EQ(array.getAt(10), 2u);
  EXPECT_EQ(array.getAt(20), 3u);
  EXPECT_EQ(array.getAt(3), 4u);
  EXPECT_EQ(array.getAt(11), 0u);
  EXPECT_EQ(array.getAt(21), 0u);  // stored but never written past the end
  EXPECT_EQ(array.getTotal(), 9u);
  EXPECT_EQ(array.sumCounts(), 9u);
}

TEST(OB_ArrayTest, UpwardGrowthStopsAtTheMaximumLengthButHoldsEveryBin) {
  OB_CountArray array(12, 8);
  array.addAt(0, 1);
  array.addAt(9, 1);
  EXPECT_EQ(array.getCapacity(), 12u);
  array.addAt(11, 1);
  EXPECT_EQ(array.getCapacity(), 12u);
  // A window's last bins, far above the first write.
  OB_CountArray late(32767, 8);
  late.addAt(5, 1);
  late.addAt(32766, 7);
  EXPECT_EQ(late.getAt(32766), 7u);
  EXPECT_EQ(late.getAt(5), 1u);
  EXPECT_LE(late.getCapacity(), 32767u);
  EXPECT_EQ(late.addAt(OB_Array::kMaxBins, 1), -1);
}

TEST(OB_ArrayTest, CountsPast65535DoNotWrap) {
  OB_CountArray array(4, 8);
  for (int i = 0; i < 65536; ++i) array.addAt(1, 1);
  EXPECT_EQ(array.getAt(1), 65536u);
  EXPECT_EQ(array.getTotal(), 65536u);
}

TEST(OB_ArrayTest, SetRangeHoldsExactlyTheBinsAsked) {
  OB_CountArray array(0, 8);
  array.setRange(5);
  EXPECT_EQ(array.getStart(), 0u);
  EXPECT_EQ(array.getEnd(), 4u);
  // A range over stored bins keeps them.
  OB_CountArray stored(0, 8);
  stored.addAt(3, 6);
  stored.setRange(10);
  EXPECT_EQ(stored.getStart(), 0u);
  EXPECT_EQ(stored.getEnd(), 9u);
  EXPECT_EQ(stored.getAt(3), 6u);
}

TEST(OB_ArrayTest, RingCopyListsTheOldestBinFirstAndTheCurrentLast) {
  OB_CountArray ring(4, 8);
  for (uint32_t bin = 0; bin < 4; ++bin) ring.addAt(bin, bin + 1);
  OB_CountArray series(4, 8);
  series.setRange(4);
  ring.copyRing(1, 4, &series);
  EXPECT_EQ(values(series, 4), (std::vector<uint32_t>{3, 4, 1, 2}));
  OB_CountArray plain(4, 8);
  ring.copyRing(3, 4, &plain);
  EXPECT_EQ(values(plain, 4), (std::vector<uint32_t>{1, 2, 3, 4}));
  // Bins never written stay 0 in the copy, wherever the stored range lies.
  OB_CountArray sparse(6, 8);
  sparse.addAt(4, 9);
  OB_CountArray copy(6, 8);
  sparse.copyRing(2, 6, &copy);
  EXPECT_EQ(values(copy, 6), (std::vector<uint32_t>{0, 9, 0, 0, 0, 0}));
}

TEST(OB_ArrayTest, OverwritesMoveTheTotalAndCompareOrdersByTotal) {
  OB_CountArray small(4, 8), large(4, 8);
  small.setAt(0, 5);
  small.setAt(0, 2);
  EXPECT_EQ(small.getTotal(), 2u);
  large.addAt(2, 70000);
  EXPECT_EQ(small.compare(&large, 0), 1);
  EXPECT_EQ(large.compare(&small, 0), -1);
  EXPECT_EQ(small.compare(&small, 0), 0);
}

}  // namespace
