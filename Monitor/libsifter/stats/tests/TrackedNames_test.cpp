// The bound of names tracked one by one: past it a new client or name counts in the totals but
// gets no record, the log says so once, and what is freed makes room again.
#include "stats/TrackedNames.h"

#include <gtest/gtest.h>

#include <string>

#include "NameTablesSupport.h"
#include "SifterTestSupport.h"
#include "config/OB_AEngineConfigRecords.h"
#include "stats/OB_IPTracker.h"
#include "stats/StatsModule.h"

namespace {

using sifter_test::ip;

class TrackedNamesTest : public sifter_test::QuitTest {
 protected:
  static constexpr uint32_t kAgo = 1000000;
  TrackedNamesTest() : window(&config, kAgo, 4, 100) {}
  void SetUp() override {
    QuitTest::SetUp();
    startLog();
    tracker = new OB_IPTracker(window.get());
  }
  void TearDown() override {
    tracker->release();
    trackedNames_setBound(0);
    QuitTest::TearDown();
  }
  // Room for exactly one more name: the next one is admitted, the one after is not.
  static void roomForOne() { trackedNames_setBound(trackedNames_held() + 1); }
  size_t refusals() const {
    const std::string log = logText();
    size_t n = 0;
    for (size_t at = log.find("Tracked names hold"); at != std::string::npos;
         at = log.find("Tracked names hold", at + 1))
      ++n;
    return n;
  }

  stats_test::NameTables tables;
  OB_AEngineConfig config;
  stats_test::Window window;
  OB_IPTracker* tracker = nullptr;
};

TEST_F(TrackedNamesTest, TheDefaultBoundIsAShareOfTheMachine) {
  const uint64_t memory = trackedNames_machineMemory();
  ASSERT_GT(memory, 0u);
  EXPECT_EQ(trackedNames_bound(), memory == UINT64_MAX ? UINT64_MAX : memory / kTrackedMemoryShare);
  trackedNames_setBound(12345);
  EXPECT_EQ(trackedNames_bound(), 12345u);
  trackedNames_setBound(0);
  EXPECT_EQ(trackedNames_bound(), memory == UINT64_MAX ? UINT64_MAX : memory / kTrackedMemoryShare);
}

TEST_F(TrackedNamesTest, PastTheBoundANewClientGetsNoRecordAndTheLogSaysSoOnce) {
  const uint32_t first = ip(10, 0, 0, 1);
  const uint32_t second = ip(10, 0, 0, 2);
  const uint32_t third = ip(10, 0, 0, 3);
  roomForOne();
  OB_IPTrackerHash* record = nullptr;
  EXPECT_EQ(tracker->procAddress(kAgo, 1, &first, &record), 1);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(tracker->procAddress(kAgo, 1, &second, &record), 0);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(tracker->procAddress(kAgo, 1, &third, &record), 0);
  EXPECT_EQ(tracker->findRecord(second), nullptr);
  EXPECT_EQ(tracker->findRecord(third), nullptr);
  EXPECT_EQ(tracker->getAddressCount(), 1u);
  // A client already tracked goes on being counted.
  EXPECT_EQ(tracker->procAddress(kAgo, 2, &first, &record), 0);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->count, 3u);
  EXPECT_EQ(refusals(), 1u) << logText();

  // Freeing the tracked clients makes room again.
  tracker->clear();
  EXPECT_EQ(tracker->procAddress(kAgo, 1, &second, &record), 1);
  EXPECT_NE(record, nullptr);
}

TEST_F(TrackedNamesTest, PastTheBoundANewNameCountsInTheTotalOnly) {
  statsCounterList_t list;
  statsList_init(&list, 4, 1, StatsNames::kOwnCopy);
  statsList_append(&list, "All Server Hits", "test: no memory");
  roomForOne();
  EXPECT_NE(stats_countUnderTotal(&list, "10.0.0.1", 1, "test: no memory"), nullptr);
  EXPECT_EQ(stats_countUnderTotal(&list, "10.0.0.2", 1, "test: no memory"), nullptr);
  EXPECT_EQ(stats_countUnderTotal(&list, "10.0.0.1", 2, "test: no memory"), list.tail);
  EXPECT_EQ(list.count, 2u);
  EXPECT_EQ(statsList_find(&list, "10.0.0.2"), nullptr);
  EXPECT_EQ(list.head->counts[1], 2u);
  EXPECT_EQ(list.head->counts[2], 1u);
  EXPECT_EQ(list.tail->counts[1], 1u);
  EXPECT_EQ(refusals(), 1u) << logText();
  const uint64_t before = trackedNames_held();
  statsList_free(&list);
  EXPECT_LT(trackedNames_held(), before);
}

}  // namespace
