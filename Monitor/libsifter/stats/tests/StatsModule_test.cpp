// Named-counter lists, top-N selection, ring order and the summaries every module builds.
#include "stats/StatsModule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StatsTestSupport.h"
#include "stats/AnalysisHash.h"

using namespace stats_test;

namespace {

std::vector<std::string> names(const statsCounterList_t& list) {
  std::vector<std::string> out;
  for (const statsCounter_t* e = list.head; e != nullptr; e = e->next) out.push_back(e->name);
  return out;
}

std::vector<std::pair<std::string, uint64_t>> picks(const statsTopN_t* list) {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (size_t i = 0; i < list->count; ++i)
    out.emplace_back(list->entries[i].name, list->entries[i].total);
  return out;
}

class CounterList : public ::testing::Test {
 protected:
  void SetUp() override { statsList_init(&list_, 3, 1, StatsNames::kOwnCopy); }
  void TearDown() override { statsList_free(&list_); }
  statsCounter_t* add(const std::string& name, std::initializer_list<uint32_t> counts) {
    statsCounter_t* e = statsList_findOrAppend(&list_, name, "test: no memory");
    uint32_t b = 0;
    for (uint32_t c : counts) e->counts[b++] += c;
    return e;
  }
  statsCounterList_t list_;
};

TEST_F(CounterList, KeepsFirstAppearanceOrderAndFindsExactNamesInLongLists) {
  add("GET", {});
  for (int i = 0; i < 40; ++i) add("m" + std::to_string(i % 20), {1});
  add("get", {});  // another name: case counts
  ASSERT_EQ(list_.count, 22u);
  EXPECT_EQ(names(list_).front(), "GET");
  EXPECT_EQ(names(list_)[1], "m0");
  EXPECT_EQ(names(list_).back(), "get");
  EXPECT_EQ(statsList_find(&list_, "m19")->counts[0], 2u);
  EXPECT_EQ(statsList_find(&list_, std::string_view("m190", 3)), statsList_find(&list_, "m19"));
  EXPECT_EQ(statsList_find(&list_, "m2x"), nullptr);
}

TEST_F(CounterList, CountsSaturateInsteadOfWrapping) {
  uint32_t count = UINT32_MAX - 1;
  stats_bump(&count);
  stats_bump(&count);
  EXPECT_EQ(count, UINT32_MAX);
  uint32_t bins[2] = {0, 0};
  stats_bump(bins, 2, 2);   // outside the window: ignored
  stats_bump(bins, 2, -1);
  stats_bump(bins, 2, 1);
  EXPECT_EQ(bins[0] + bins[1], 1u);
}

TEST_F(CounterList, TopNKeepsListOrderForTiesAndHonoursTheFilter) {
  add("/a", {1, 1});
  add("/b", {3});
  add("/c", {2});
  add("/d", {0, 0, 2});
  add("/x/e", {5});
  StatsTopN three(3, "", 3);
  three.offerList(&list_);
  StatsTopNHold top(three.finish("test"));
  EXPECT_EQ(picks(top.get()), (std::vector<std::pair<std::string, uint64_t>>{
                                  {"/x/e", 5}, {"/b", 3}, {"/a", 2}}));

  StatsTopN ties(4, "", 3);
  ties.offerList(&list_);
  StatsTopNHold four(ties.finish("test"));
  EXPECT_EQ(picks(four.get())[3], (std::pair<std::string, uint64_t>{"/c", 2}));

  StatsTopN filtered(10, "x/", 3);
  filtered.offerList(&list_);
  StatsTopNHold one(filtered.finish("test"));
  EXPECT_EQ(picks(one.get()), (std::vector<std::pair<std::string, uint64_t>>{{"/x/e", 5}}));

  StatsTopN nothing(10, "/zz", 3);
  nothing.offerList(&list_);
  StatsTopNHold none(nothing.finish("test"));
  EXPECT_EQ(none->count, 0u);
}

TEST_F(CounterList, TopNOfZeroOrNegativeKeepsOneEntry) {
  add("/a", {1});
  add("/b", {4});
  add("/c", {4});
  for (int n : {0, 1, -5, -32768}) {
    StatsTopN select(n, nullptr, 3);
    select.offerList(&list_);
    StatsTopNHold top(select.finish("test"));
    EXPECT_EQ(picks(top.get()), (std::vector<std::pair<std::string, uint64_t>>{{"/b", 4}}))
        << "n = " << n;
  }
}

TEST_F(CounterList, BreakdownTotalsAreWideAndSortKeepsOrderOfEqualTotals) {
  add("big", {UINT32_MAX, UINT32_MAX, 2});
  add("one", {1});
  add("also one", {0, 1});
  StatsBreakdownHold summary(stats_newBreakdown(0, "test"));
  stats_addEntry(summary.get(), "first", 1, "test");
  stats_addList(summary.get(), &list_, "test");
  stats_sortBreakdown(summary.get());
  ASSERT_EQ(summary->count, 4u);
  EXPECT_EQ(summary->entries[0].total, 2ull * UINT32_MAX + 2);
  EXPECT_STREQ(summary->entries[1].name, "first");
  EXPECT_STREQ(summary->entries[2].name, "one");
  EXPECT_STREQ(summary->entries[3].name, "also one");
}

TEST(StatsModule, RingCopyPutsTheCurrentBinLast) {
  const uint32_t in[4] = {10, 11, 12, 13};
  const uint16_t in16[4] = {10, 11, 12, 65535};
  uint32_t out[4];
  stats_copyRing32(out, in, 4, 3, 0);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 4), (std::vector<uint32_t>{10, 11, 12, 13}));
  stats_copyRing32(out, in, 4, 0, 0);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 4), (std::vector<uint32_t>{11, 12, 13, 10}));
  stats_copyRing32(out, in, 4, 1, 2);  // bins 0 and 1 not valid
  EXPECT_EQ(std::vector<uint32_t>(out, out + 4), (std::vector<uint32_t>{12, 13, 0, 0}));
  stats_copyRing16(out, in16, 4, 2, 0);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 4), (std::vector<uint32_t>{65535, 10, 11, 12}));
  stats_copyRing32(out, in, 1, 0, 0);  // one bin
  EXPECT_EQ(out[0], 10u);
}

TEST(StatsModule, FirstTokenSkipsLeadingDelimitersAndNeverFails) {
  EXPECT_EQ(stats_firstToken("/a/b?x=1", "?;# "), "/a/b");
  EXPECT_EQ(stats_firstToken("/p;jsessionid=2#f", "?;# "), "/p");
  EXPECT_EQ(stats_firstToken("?;/q?r", "?;# "), "/q");
  EXPECT_EQ(stats_firstToken("?;# ", "?;# "), "");
  EXPECT_EQ(stats_firstToken("", "?;# "), "");
}

TEST(StatsModule, SeriesCarryTheWindowAndZeroForMissingCounts) {
  TestWindow window(3);
  const uint32_t counts[3] = {1, 2, 3};
  StatsSeriesHold s(stats_seriesOf(window.get(), "name", counts, 3, "test"));
  EXPECT_STREQ(s->name, "name");
  EXPECT_EQ(s->nowTime, static_cast<int32_t>(kAgo + 3 * kBinSize));
  EXPECT_EQ(s->agoTime, static_cast<int32_t>(kAgo));
  EXPECT_EQ(std::vector<uint32_t>(s->values, s->values + 3), (std::vector<uint32_t>{1, 2, 3}));
  StatsSeriesHold zero(stats_seriesOf(window.get(), "other", nullptr, 3, "test"));
  EXPECT_EQ(std::vector<uint32_t>(zero->values, zero->values + 3), (std::vector<uint32_t>{0, 0, 0}));
}

class SharedNames : public sifter_test::QuitTest {
 protected:
  void SetUp() override {
    QuitTest::SetUp();
    std::filesystem::create_directories(dir_.path() + "/db");
    AnalysisHash_init();
  }
  void TearDown() override {
    AnalysisHash_free();
    QuitTest::TearDown();
  }
};

TEST_F(SharedNames, ListsOfTwoModulesShareOneInternedName) {
  statsCounterList_t a, b;
  statsList_init(&a, 2, 1, StatsNames::kMimeTypeHash);
  statsList_init(&b, 2, 2, StatsNames::kMimeTypeHash);
  const std::string field = "text/htmlXX";
  statsCounter_t* first = statsList_append(&a, std::string_view(field).substr(0, 9), "test");
  statsCounter_t* second = statsList_append(&b, "text/html", "test");
  EXPECT_EQ(first->name, second->name);
  EXPECT_STREQ(first->name, "text/html");
  second->counts[3] = 7;  // the second array of a two-array entry
  EXPECT_EQ(stats_sum(second->counts + 2, 2), 7u);
  const char* shared = second->name;
  statsList_free(&a);
  statsList_free(&b);
  EXPECT_EQ(AnalysisHash_internName(getMimeTypeHash(), "text/html"), shared);
}

}  // namespace
