// The per-protocol module: entries found by id alone, 64-bit totals, series, and the protocol
// tree's text, also for parent ids a damaged archive could carry.
#include "net/netProtoData.h"

#include <gtest/gtest.h>

#include <string>

#include "NetTestSupport.h"
#include "net/OB_ProtoCountList.h"

namespace {

using namespace net_test;
using stats_test::kAgo;
using stats_test::TestWindow;

// A protocol-count list as a record read from an archive carries it: ids and parents as stored.
struct Counts {
  struct Entry {
    uint16_t psid, ppsid;
    uint32_t packs, bytes;
  };
  explicit Counts(std::initializer_list<Entry> entries) {
    std::string bytes;
    auto le = [&](uint32_t v, int width) {
      for (int i = 0; i < width; ++i) bytes += char(v >> (8 * i));
    };
    le(static_cast<uint32_t>(entries.size()), 2);
    for (const Entry& e : entries) {
      le(e.psid, 2);
      le(e.ppsid, 2);
      le(e.packs, 4);
      le(e.bytes, 4);
    }
    FILE* in = fmemopen(bytes.data(), bytes.size(), "rb");
    EXPECT_EQ(list.read(in), 0);
    fclose(in);
  }
  OB_ProtoCountList list;
};

class NetProtoData : public ::testing::Test {
 protected:
  NetProtoData() : window_(3) { netProtoData_init(window_.get(), &module_, 3); }
  ~NetProtoData() override { netProtoData_free(&module_); }
  void add(int bin, std::initializer_list<Counts::Entry> entries) {
    Counts counts(entries);
    netProtoData_proc(&module_, bin, &counts.list);
  }
  std::string printed() {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    netProtoData_print(out, &module_);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
  }

  TestWindow window_;
  netProtoData module_{};
};

TEST_F(NetProtoData, AnIdSeenWithAnotherParentAddsToItsFirstEntry) {
  add(0, {{5, 3, 2, 200}});
  add(1, {{5, 4, 1, 50}, {6, 3, 1, 10}});
  ASSERT_EQ(module_.numOfProtos, 2);
  netProtoBreakdown_t* breakdown = netProtoData_getBreakdown(&module_);
  ASSERT_EQ(breakdown->count, 2);
  EXPECT_EQ(breakdown->entries[0].psid, 5);
  EXPECT_EQ(breakdown->entries[0].ppsid, 3);
  EXPECT_EQ(breakdown->entries[0].packs, 3);
  EXPECT_EQ(breakdown->entries[0].bytes, 250);
  EXPECT_EQ(breakdown->entries[1].psid, 6);
  netProtoData_freeBreakdown(breakdown);
}

TEST_F(NetProtoData, TotalsGoPastThirtyTwoBits) {
  for (int bin = 0; bin < 3; ++bin) add(bin, {{2, 0, 4000000000u, 4000000000u}});
  netProtoBreakdown_t* breakdown = netProtoData_getBreakdown(&module_);
  EXPECT_EQ(breakdown->entries[0].packs, 12000000000);
  EXPECT_EQ(breakdown->entries[0].bytes, 12000000000);
  netProtoData_freeBreakdown(breakdown);
}

TEST_F(NetProtoData, SeriesInTimeOrderAndZerosForAnAbsentProtocol) {
  add(0, {{5, 3, 1, 100}});
  add(2, {{5, 3, 4, 400}});
  netProtoSeries_t* series = netProtoData_getSeries(&module_, 5);
  EXPECT_EQ(series->nowTime, static_cast<int32_t>(kAgo + 300));
  EXPECT_EQ(series->agoTime, static_cast<int32_t>(kAgo));
  ASSERT_EQ(series->numOfBins, 3u);
  EXPECT_EQ(std::vector<int64_t>(series->packs, series->packs + 3), (std::vector<int64_t>{1, 0, 4}));
  EXPECT_EQ(std::vector<int64_t>(series->bytes, series->bytes + 3),
            (std::vector<int64_t>{100, 0, 400}));
  netProtoData_freeSeries(series);
  series = netProtoData_getSeries(&module_, 77);
  EXPECT_EQ(std::vector<int64_t>(series->packs, series->packs + 3), (std::vector<int64_t>{0, 0, 0}));
  netProtoData_freeSeries(series);
}

TEST_F(NetProtoData, ManyProtocolsAreFoundThroughTheIndexLikeFewOnes) {
  for (uint16_t id = 100; id < 140; ++id) add(0, {{id, 2, 1, 10}});
  for (uint16_t id = 100; id < 140; ++id) add(1, {{id, 9, 1, 10}});
  EXPECT_EQ(module_.numOfProtos, 40);
  netProtoEntry_t* entry = netProtoData_find(&module_, 139);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->ppsid, 2);
  EXPECT_EQ(entry->packs[0] + entry->packs[1], 2);
}

TEST_F(NetProtoData, PrintsTheTreeDepthFirstUnderEachRoot) {
  add(0, {{5, 3, 3, 300}, {3, 2, 4, 420}, {2, 0, 4, 420}, {6, 3, 1, 120}, {1, 0, 1, 60},
          {7, 5, 2, 200}});
  EXPECT_EQ(printed(),
            "  Protocol Breakdown Summary\n"
            "  -----------------------------\n"
            "   numOfProtos = 6\n"
            "2\t>  4  420\n"
            "3\t->  4  420\n"
            "5\t-->  3  300\n"
            "7\t--->  2  200\n"
            "6\t-->  1  120\n"
            "1\t>  1  60\n");
}

// Mended: parent ids come from archive files; a protocol that is its own parent, or two that
// are each other's, made the tree endless.
TEST_F(NetProtoData, ParentLoopsPrintEachProtocolOnce) {
  add(0, {{2, 4, 1, 10}, {3, 2, 1, 10}, {4, 3, 1, 10}, {5, 2, 1, 10}, {1, 1, 1, 10}});
  EXPECT_EQ(printed(),
            "  Protocol Breakdown Summary\n"
            "  -----------------------------\n"
            "   numOfProtos = 5\n"
            "2\t>  1  10\n"
            "3\t->  1  10\n"
            "4\t-->  1  10\n"
            "5\t->  1  10\n"
            "1\t>  1  10\n");
}

}  // namespace
