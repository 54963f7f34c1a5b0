// The bound of names tracked one by one: past it a new client or name counts in the totals but
// gets no record, the log says so once, and what is freed makes room again.
#include "stats/TrackedNames.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <ctime>
#include <string>

#include "NameTablesSupport.h"
#include "OB_PoolOption.h"
#include "OB_Tools.h"
#include "SifterTestSupport.h"
#include "StatsTestSupport.h"
#include "config/OB_AEngineConfigRecords.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "stats/AnalysisHash.h"
#include "stats/OB_IPTracker.h"
#include "stats/StatsModule.h"
#include "windows/OB_HTTPReader.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator interface (its header is not installed with the compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

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

// The payload pools, the session pool, the tracked names and the statistics each once took a
// quarter of the memory, so that together they could take all of it: each is one share of one
// budget now, and the shares leave half of the memory to the rest.
TEST_F(TrackedNamesTest, TheBoundsOfWhatGrowsLeaveHalfTheMemory) {
  const uint64_t memory = OB_Tools::machineMemory();
  ASSERT_GT(memory, 0u);
  ASSERT_NE(memory, UINT64_MAX);
  const uint64_t share = OB_Tools::memoryShare();
  EXPECT_EQ(trackedNames_bound(), share);
  EXPECT_EQ(poolOption_budget(), share);  // the payload pools' and the session pool's
  EXPECT_LE(OB_Tools::kMemoryShares * share, memory / 2);
  trackedNames_setBound(12345);
  EXPECT_EQ(trackedNames_bound(), 12345u);
  trackedNames_setBound(0);
  EXPECT_EQ(trackedNames_bound(), share);
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

// The heap's bytes in use: what a sanitizer's allocator has handed out, or glibc's arena in use.
size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

// What a client that brings its own resource and referer costs, reckoned as its names are made,
// is what the heap gives for them (one server, one window of 100 bins, as the benchmark measures;
// the client's domain-cache entry apart, which the cache keeps for every window).
TEST(TrackedNamesReckoning, AClientsNamesAreReckonedAsTheHeapGivesThem) {
  stats_test::NameTables tables;
  auto config = stats_test::makeConfig(1, 0);
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  stats_test::Window window(config.get(), now - 86400, 100, 864);
  std::strcpy(config->databaseDir, tables.dir().path().c_str());
  auto* reader = new OB_HTTPReader(config.get(), window.get());
  ASSERT_EQ(reader->init(), 0);
  constexpr uint32_t kFirst = 0x0B000000;
  auto page = [&](uint32_t i) {
    auto* protocol = new OB_HTTPProtocol(1, 8);
    protocol->connTime = now - 60;
    protocol->clientIP = kFirst + i;
    protocol->serverIP = config->httpServers[0]->getIPAddress();
    protocol->serverPort = 80;
    auto* xact = obQuery<OB_HTTPXact>(protocol->addXLink());
    xact->req_method = "GET";
    const std::string uri = "/item" + std::to_string(i) + ".html";
    const std::string referer =
        "http://site" + std::to_string(i) + ".example.org/page" + std::to_string(i);
    xact->req_request_uri = uri.c_str();
    xact->req_http_vers = "1.1";
    xact->req_host = "www.example.com";
    xact->req_referer = referer.c_str();
    xact->req_user_agent = "probe";
    xact->res_status_code = "200";
    xact->res_content_type = "text/html";
    ++protocol->commRespCount;
    obQuery<OB_Processor>(reader)->processObject(protocol);
    protocol->release();
  };
  constexpr uint32_t kWarm = 1000, kMeasured = 4000;
  for (uint32_t i = 0; i < kWarm + kMeasured; ++i) AnalysisHash_getDomainName(kFirst + i, nullptr);
  for (uint32_t i = 0; i < kWarm; ++i) page(i);
  const size_t heapBefore = heapInUse();
  const uint64_t heldBefore = trackedNames_held();
  for (uint32_t i = kWarm; i < kWarm + kMeasured; ++i) page(i);
  const double heap = static_cast<double>(heapInUse() - heapBefore) / kMeasured;
  const double held = static_cast<double>(trackedNames_held() - heldBefore) / kMeasured;
  // The sanitizers' count leaves the allocator's headers out, glibc's has them.
  EXPECT_GT(held, heap * 0.9) << held << " bytes reckoned a client, " << heap << " taken";
  EXPECT_LT(held, heap * 1.3) << held << " bytes reckoned a client, " << heap << " taken";
  reader->release();
}

}  // namespace
