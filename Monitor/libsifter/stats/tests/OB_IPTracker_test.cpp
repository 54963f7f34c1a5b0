// The IP tracker: records per address, top-level-domain keys and counters, and the top-N
// queries with their filters.
#include "stats/OB_IPTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "NameTablesSupport.h"
#include "OB_Tools.h"
#include "SifterTestSupport.h"
#include "config/OB_AEngineConfigRecords.h"

namespace {

using sifter_test::ip;

class OB_IPTrackerTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kAgo = 1000000;
  OB_IPTrackerTest() : window(&config, kAgo, 4, 100) {
    stats_test::knownNames() = {{ip(10, 0, 0, 1), "www.example.com"},
                                {ip(10, 0, 0, 2), "mail.example.org"},
                                {ip(10, 0, 0, 3), "localhost"},
                                {ip(10, 0, 0, 4), "odd.name."}};
    tracker = new OB_IPTracker(window.get());
  }
  ~OB_IPTrackerTest() override { tracker->release(); }

  uint32_t seen(uint32_t address, uint32_t at = kAgo, uint16_t amount = 1) {
    return static_cast<uint32_t>(tracker->procAddress(at, amount, &address, nullptr));
  }
  uint64_t domainTotal(const char* key) {
    OB_CountArray* counter = tracker->getDomainCounters()->find(key);
    return counter != nullptr ? counter->getTotal() : 0;
  }
  static std::vector<std::string> rows(str2CntList_t* list) {
    std::vector<std::string> out;
    for (str2CntEntry_t* e = list->head; e != nullptr; e = e->next)
      out.push_back(std::string(e->name) + " " + e->name2 + " " + std::to_string(e->a) + " " +
                    std::to_string(e->b));
    dataStructs_freeList(list);
    return out;
  }

  stats_test::NameTables tables;
  OB_AEngineConfig config;
  stats_test::Window window;
  OB_IPTracker* tracker = nullptr;
};

TEST_F(OB_IPTrackerTest, AKnownAddressAddsItsAmountAndCountsItsDomainAgain) {
  OB_IPTrackerHash* first = nullptr;
  OB_IPTrackerHash* again = nullptr;
  const uint32_t address = ip(10, 0, 0, 1);
  EXPECT_EQ(tracker->procAddress(kAgo + 150, 2, &address, &first), 1);
  EXPECT_EQ(tracker->procAddress(kAgo + 250, 3, &address, &again), 0);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first->count, 5u);
  EXPECT_STREQ(first->name, "www.example.com");
  EXPECT_EQ(tracker->getAddressCount(), 1u);
  OB_CountArray* com = tracker->getDomainCounters()->find(".com");
  ASSERT_NE(com, nullptr);
  EXPECT_EQ(com->getAt(1), 1u);
  EXPECT_EQ(com->getAt(2), 1u);
  // The name came from the cache's one look-up.
  EXPECT_EQ(stats_test::lookupCount(), 1);
}

TEST_F(OB_IPTrackerTest, ARemovedAddressIsNewAgain) {
  OB_IPTrackerHash* record = nullptr;
  const uint32_t address = ip(10, 0, 0, 1);
  tracker->procAddress(kAgo, 1, &address, &record);
  seen(ip(10, 0, 0, 2));
  EXPECT_EQ(tracker->remove(record), 0);
  EXPECT_EQ(tracker->findRecord(address), nullptr);
  EXPECT_NE(tracker->findRecord(ip(10, 0, 0, 2)), nullptr);
  EXPECT_EQ(seen(address), 1u);
  tracker->clear();
  EXPECT_EQ(tracker->findRecord(ip(10, 0, 0, 2)), nullptr);
  EXPECT_EQ(tracker->getCount(), 0);
}

TEST_F(OB_IPTrackerTest, NamesWithoutATopLevelDomainCountAsUnresolved) {
  seen(ip(10, 0, 0, 3));  // no dot
  seen(ip(10, 0, 0, 4));  // ends in a dot
  seen(ip(10, 1, 2, 3));  // no name: its dotted quad
  seen(ip(10, 1, 2, 0));  // a dotted quad ending in 0 reads as a key
  seen(ip(10, 0, 0, 2));
  EXPECT_EQ(domainTotal("Unresolved"), 3u);
  EXPECT_EQ(domainTotal(".0"), 1u);
  EXPECT_EQ(domainTotal(".org"), 1u);
  char key[32];
  OB_IPTracker::domainKey(nullptr, key, sizeof key);
  EXPECT_STREQ(key, "Unresolved");
}

TEST_F(OB_IPTrackerTest, TopNRanksByPagesAndTheFiltersByCount) {
  OB_IPTrackerHash* record = nullptr;
  for (uint32_t last = 1; last <= 4; ++last) {
    const uint32_t address = ip(192, 168, 1, last);
    tracker->procAddress(kAgo, static_cast<uint16_t>(last * 10), &address, &record);
    record->pageCount = 5 - last;
  }
  EXPECT_EQ(rows(tracker->getTopN(nullptr, 2)),
            (std::vector<std::string>{"192.168.1.1 192.168.1.1 4 10",
                                      "192.168.1.2 192.168.1.2 3 20"}));
  const std::vector<std::string> ordered = rows(
      tracker->getTopNByRange(nullptr, 10, ip(192, 168, 1, 2), ip(192, 168, 1, 3)));
  EXPECT_EQ(ordered, (std::vector<std::string>{"192.168.1.3 192.168.1.3 2 30",
                                               "192.168.1.2 192.168.1.2 3 20"}));
  EXPECT_EQ(rows(tracker->getTopNByRange(nullptr, 10, ip(192, 168, 1, 3), ip(192, 168, 1, 2))),
            ordered);
  // Four addresses under one masked text are one entry.
  EXPECT_EQ(rows(tracker->getTopNByMask(nullptr, 10, ip(255, 255, 255, 0))),
            (std::vector<std::string>{"192.168.1.0 192.168.1.1 10 100"}));
  EXPECT_EQ(rows(tracker->getTopNByNetwork(nullptr, 1, ip(192, 168, 1, 0), ip(255, 255, 255, 0))),
            (std::vector<std::string>{"192.168.1.4 192.168.1.4 1 40"}));
  EXPECT_TRUE(
      rows(tracker->getTopNByNetwork(nullptr, 5, ip(192, 168, 2, 0), ip(255, 255, 255, 0)))
          .empty());
}

TEST_F(OB_IPTrackerTest, RankingsAtScaleKeepWalkOrderAmongEquals) {
  // 40,000 clients of few distinct page counts and counts, so most of them tie.
  for (uint32_t i = 0; i < 40000; ++i) {
    OB_IPTrackerHash* record = nullptr;
    const uint32_t address = ip(10, 1 + i / 65536, (i / 256) % 256, i % 256);
    tracker->procAddress(kAgo, static_cast<uint16_t>(1 + (i * 31u) % 50), &address, &record);
    record->pageCount = (i * 13u) % 17;
  }
  // The reference: every record in walk order (bucket by bucket, along each chain), then a
  // stable sort by the ranking key, cut at n.
  std::vector<const OB_IPTrackerHash*> walked;
  for (int bucket = 0; bucket < OB_IPTracker::kBuckets; ++bucket)
    for (auto* at = tracker->getChain(bucket); at != nullptr; at = at->getNext())
      walked.push_back(at->getItem());
  auto row = [](uint32_t shown, const char* name, uint32_t a, uint32_t b) {
    char text[16];
    return std::string(OB_Tools::IPAddressString(shown, text)) + " " + name + " " +
           std::to_string(a) + " " + std::to_string(b);
  };
  auto reference = [&](bool byPages, size_t n, uint32_t mask) {
    struct Group {
      uint32_t shown;
      const char* name;
      uint32_t a, b;
    };
    std::vector<Group> groups;
    std::unordered_map<uint32_t, size_t> at;
    for (const OB_IPTrackerHash* r : walked) {
      auto [known, added] = at.emplace(r->address & mask, groups.size());
      if (added) {
        groups.push_back({r->address & mask, r->name, r->pageCount, r->count});
      } else {
        groups[known->second].a += r->pageCount;
        groups[known->second].b += r->count;
      }
    }
    std::stable_sort(groups.begin(), groups.end(), [byPages](const Group& x, const Group& y) {
      return byPages ? x.a > y.a : x.b > y.b;
    });
    std::vector<std::string> out;
    for (size_t k = 0; k < groups.size() && k < n; ++k)
      out.push_back(row(groups[k].shown, groups[k].name, groups[k].a, groups[k].b));
    return out;
  };
  for (int n : {1, 500, 32767, 50000}) {
    const size_t kept = static_cast<size_t>(n);
    EXPECT_EQ(rows(tracker->getTopN(nullptr, n)), reference(true, kept, 0xFFFFFFFFu)) << n;
    EXPECT_EQ(rows(tracker->getTopNByRange(nullptr, n, 0, 0xFFFFFFFFu)),
              reference(false, kept, 0xFFFFFFFFu))
        << n;
    EXPECT_EQ(rows(tracker->getTopNByNetwork(nullptr, n, ip(10, 0, 0, 0), ip(255, 0, 0, 0))),
              reference(false, kept, 0xFFFFFFFFu))
        << n;
    EXPECT_EQ(rows(tracker->getTopNByMask(nullptr, n, ip(255, 255, 255, 0))),
              reference(false, kept, ip(255, 255, 255, 0)))
        << n;
  }
}

TEST_F(OB_IPTrackerTest, ASubsetLimitsEveryQuery) {
  seen(ip(10, 0, 0, 1));
  seen(ip(172, 16, 0, 1));
  XSubset_t inside = {};
  inside.acceptMatching = 1;
  inside.numOfNets = 1;
  inside.exampleAddress[0] = ip(172, 16, 0, 0);
  inside.maskAddress[0] = ip(255, 255, 0, 0);
  inside.network[0] = ip(172, 16, 0, 0);
  EXPECT_EQ(rows(tracker->getTopN(&inside, 5)),
            (std::vector<std::string>{"172.16.0.1 172.16.0.1 0 1"}));
  inside.acceptMatching = 0;
  EXPECT_EQ(rows(tracker->getTopNByRange(&inside, 5, 0, 0xFFFFFFFFu)),
            (std::vector<std::string>{"10.0.0.1 www.example.com 0 1"}));
}

TEST_F(OB_IPTrackerTest, APathKeepsItsNewestPagesUpToTheCap) {
  OB_IPTrackerHash* record = nullptr;
  const uint32_t address = ip(10, 0, 0, 1);
  tracker->procAddress(kAgo, 0, &address, &record);
  EXPECT_EQ(record->getPath(), nullptr);
  for (uint32_t page = 0; page <= OB_IPTrackerHash::kMaxPathNodes; ++page)
    record->addResource(nullptr, kAgo + page);
  ASSERT_NE(record->getPath(), nullptr);
  EXPECT_EQ(record->getPath()->size(), OB_IPTrackerHash::kMaxPathNodes);
  EXPECT_EQ(record->getPath()->front().getTime(), kAgo + 1);
  EXPECT_EQ(record->getPath()->back().getTime(), kAgo + OB_IPTrackerHash::kMaxPathNodes);
}

// Past the cap the path is a ring: every page still reads oldest first, across the point where
// the ring turns and after it has turned more than once.
TEST_F(OB_IPTrackerTest, APathPastItsCapReadsOldestFirst) {
  OB_IPTrackerHash* record = nullptr;
  const uint32_t address = ip(10, 0, 0, 2);
  tracker->procAddress(kAgo, 0, &address, &record);
  constexpr uint32_t kCap = OB_IPTrackerHash::kMaxPathNodes;
  for (uint32_t extra : {5u, kCap + 2}) {
    record->reset();
    for (uint32_t page = 0; page < kCap + extra; ++page) record->addResource(nullptr, page);
    const OB_ClientPath* path = record->getPath();
    ASSERT_NE(path, nullptr);
    ASSERT_EQ(path->size(), kCap);
    uint32_t expected = extra;
    bool inOrder = true;
    for (const OB_PathNode& node : *path) inOrder = inOrder && node.getTime() == expected++;
    EXPECT_TRUE(inOrder) << extra;
    EXPECT_EQ(expected, kCap + extra);
  }
}

}  // namespace
