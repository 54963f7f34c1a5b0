// The ranking of top-N lists.
#include "stats/dataStructs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using Row = std::pair<std::string, uint32_t>;

str2CntList_t* listOf(const std::vector<std::pair<uint32_t, uint32_t>>& counts) {
  str2CntList_t* list = dataStructs_newList();
  int n = 0;
  for (const auto& [a, b] : counts) {
    std::string name = "e" + std::to_string(n++);
    dataStructs_append(list, name.c_str(), "host", a, b);
  }
  return list;
}

std::vector<std::string> names(const str2CntList_t* list) {
  std::vector<std::string> out;
  for (const str2CntEntry_t* e = list->head; e != nullptr; e = e->next) out.push_back(e->name);
  EXPECT_EQ(out.size(), list->count);
  return out;
}

TEST(dataStructsTest, RanksBySecondCountKeepingEqualsInListOrder) {
  str2CntList_t* list = listOf({{0, 5}, {0, 9}, {0, 9}, {0, 2}});
  str2CntList_t* top = dataStructs_getTopN(list, 2, 1);
  EXPECT_EQ(names(top), (std::vector<std::string>{"e1", "e2"}));
  dataStructs_freeList(top);
  top = dataStructs_getTopN(list, 10, 1);
  EXPECT_EQ(names(top), (std::vector<std::string>{"e1", "e2", "e0", "e3"}));
  dataStructs_freeList(top);
  dataStructs_freeList(list);
}

TEST(dataStructsTest, TheThresholdIsTheRankingKeyNotTheFirstCount) {
  // Ranked by b, an entry with a small a but the largest b must win.
  str2CntList_t* list = listOf({{10, 1}, {1, 5}, {1, 7}});
  str2CntList_t* top = dataStructs_getTopN(list, 1, 1);
  EXPECT_EQ(names(top), (std::vector<std::string>{"e2"}));
  dataStructs_freeList(top);
  top = dataStructs_getTopN(list, 2, 0);
  EXPECT_EQ(names(top), (std::vector<std::string>{"e0", "e1"}));
  dataStructs_freeList(top);
  dataStructs_freeList(list);
}

TEST(dataStructsTest, NZeroKeepsOneAndAnotherOrderKeepsListOrder) {
  str2CntList_t* list = listOf({{1, 1}, {3, 3}, {2, 2}});
  str2CntList_t* top = dataStructs_getTopN(list, 0, 1);
  EXPECT_EQ(names(top), (std::vector<std::string>{"e1"}));
  dataStructs_freeList(top);
  top = dataStructs_getTopN(list, 2, 7);
  EXPECT_EQ(names(top), (std::vector<std::string>{"e0", "e1"}));
  dataStructs_freeList(top);
  top = dataStructs_getTopN(nullptr, 3, 1);
  EXPECT_EQ(top->count, 0u);
  dataStructs_freeList(top);
  dataStructs_freeList(list);
}

TEST(dataStructsTest, RankingAtScaleIsAStableSortCutAtN) {
  // 50,000 entries with few distinct keys: nearly every entry ties with thousands of others, and
  // the largest keys come last, so every kept entry is displaced again and again.
  std::vector<std::pair<uint32_t, uint32_t>> counts;
  for (uint32_t i = 0; i < 50000; ++i) counts.emplace_back(i % 7, (i * 7919u) % 1000 + i / 10000);
  str2CntList_t* list = listOf(counts);
  std::vector<std::string> everyName = names(list);
  for (int order : {0, 1}) {
    std::vector<size_t> reference(counts.size());
    for (size_t i = 0; i < reference.size(); ++i) reference[i] = i;
    auto key = [&](size_t i) { return order == 1 ? counts[i].second : counts[i].first; };
    std::stable_sort(reference.begin(), reference.end(),
                     [&](size_t x, size_t y) { return key(x) > key(y); });
    for (int n : {1, 10, 999, 32767, 50000, 60000}) {
      str2CntList_t* top = dataStructs_getTopN(list, n, order);
      std::vector<std::string> expected;
      for (size_t i = 0; i < reference.size() && i < static_cast<size_t>(n); ++i)
        expected.push_back(everyName[reference[i]]);
      EXPECT_EQ(names(top), expected) << "order " << order << ", n " << n;
      dataStructs_freeList(top);
    }
  }
  dataStructs_freeList(list);
}

}  // namespace
