#include "OB_ThreadCounters.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

// Each thread writes its own block without a locked instruction: if two threads shared one,
// counts would be lost.
TEST(OB_ThreadCounters, SumsWhatEveryThreadAddedAndKeepsTheCountsOfThreadsThatEnded) {
  OB_ThreadCounters counters(3);
  constexpr uint32_t kAdds = 100000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (uint32_t i = 0; i < kAdds; ++i) {
        counters.add(0, 1);
        counters.add(2, 3);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counters.sum(0), 4 * kAdds);
  EXPECT_EQ(counters.sum(1), 0u);
  EXPECT_EQ(counters.sum(2), 12 * kAdds);
  counters.add(0, 0u - 5);  // wraps, as the statistics do
  EXPECT_EQ(counters.sum(0), 4 * kAdds - 5);
  EXPECT_EQ(counters.sum(3), 0u) << "outside the set";
}

// One thread counting in more sets than its cache holds keeps each set's counts apart, and a set
// made where a deleted one lived starts from zero.
TEST(OB_ThreadCounters, ManySetsOnOneThreadKeepTheirCountsApart) {
  std::vector<std::unique_ptr<OB_ThreadCounters>> sets;
  for (int s = 0; s < 7; ++s) sets.push_back(std::make_unique<OB_ThreadCounters>(2));
  for (int round = 0; round < 10; ++round)
    for (int s = 0; s < 7; ++s) sets[s]->add(1, static_cast<uint32_t>(s + 1));
  for (int s = 0; s < 7; ++s) EXPECT_EQ(sets[s]->sum(1), 10u * (s + 1)) << s;
  for (int s = 0; s < 7; ++s) {
    sets[s] = std::make_unique<OB_ThreadCounters>(2);
    sets[s]->add(1, 1);
  }
  for (int s = 0; s < 7; ++s) EXPECT_EQ(sets[s]->sum(1), 1u) << s;
}

}  // namespace
