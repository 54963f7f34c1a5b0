// Capture counters: bounds of the index, the interval/total split, the read that zeroes an
// interval counter while the capture thread counts, the printed text and the wire form.
#include "OB_CaptureEngineStats.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "SocketPair.h"

namespace {

using Stats = OB_CaptureEngineStats;

uint32_t valueOf(Stats& stats, int index) {
  uint32_t value = 0xDEADBEEF;
  EXPECT_EQ(stats.getValue(index, &value), 0);
  return value;
}

// Every counter gets a value of its own: 100 + index.
void fill(Stats& stats) {
  for (int i = 0; i < Stats::kNumCounters; ++i) stats.setValue(i, 100u + static_cast<uint32_t>(i));
}

TEST(OBCaptureEngineStats, StartsAtZeroWithTheStartTimeSet) {
  time_t before = time(nullptr);
  Stats stats;
  uint32_t start = valueOf(stats, Stats::kStartTime);
  EXPECT_GE(start, static_cast<uint32_t>(before));
  EXPECT_LE(start, static_cast<uint32_t>(time(nullptr)));
  for (int i = 0; i < Stats::kNumCounters; ++i)
    if (i != Stats::kStartTime) {
      EXPECT_EQ(valueOf(stats, i), 0u) << i;
    }
}

TEST(OBCaptureEngineStats, IndexOutsideTheBlockChangesNothing) {
  Stats stats;
  fill(stats);
  for (int bad : {-1, 13, 1000}) {
    EXPECT_EQ(stats.setValue(bad, 1), -1);
    EXPECT_EQ(stats.incValue(bad, 1), -1);
    EXPECT_EQ(stats.decValue(bad, 1), -1);
    uint32_t out = 77;
    EXPECT_EQ(stats.getValue(bad, &out), -1);
    EXPECT_EQ(stats.takeValue(bad, &out), -1);
    EXPECT_EQ(out, 77u);
  }
  for (int i = 0; i < Stats::kNumCounters; ++i) EXPECT_EQ(valueOf(stats, i), 100u + i);
  EXPECT_EQ(stats.isLocked(), 0);
}

TEST(OBCaptureEngineStats, ResetClearsTheIntervalAndKeepsTheTotals) {
  Stats stats;
  fill(stats);
  EXPECT_EQ(stats.reset(), 0);
  for (int i = 0; i < Stats::kNumCounters; ++i) {
    bool interval = i >= Stats::kPacksSeen && i <= Stats::kReportedDropped;
    EXPECT_EQ(valueOf(stats, i), interval ? 0u : 100u + i) << i;
  }
}

// The capture thread counts while the consumer takes interval readings: every frame is in
// exactly one reading.
TEST(OBCaptureEngineStats, IntervalReadingsLoseNoFrameCountedMeanwhile) {
  Stats stats;
  constexpr uint32_t kFrames = 200000;
  std::thread capture([&] {
    for (uint32_t i = 0; i < kFrames; ++i) {
      stats.incValue(Stats::kPacksSeen, 1);
      stats.incValue(Stats::kAllPacksSeen, 1);
    }
  });
  uint64_t taken = 0;
  for (int reading = 0; reading < 1000; ++reading) {
    uint32_t value = 0;
    ASSERT_EQ(stats.takeValue(Stats::kPacksSeen, &value), 0);
    taken += value;
  }
  capture.join();
  uint32_t rest = 0;
  stats.takeValue(Stats::kPacksSeen, &rest);
  EXPECT_EQ(taken + rest, kFrames);
  EXPECT_EQ(valueOf(stats, Stats::kPacksSeen), 0u);
  EXPECT_EQ(valueOf(stats, Stats::kAllPacksSeen), kFrames);
}

// Frames counted on two threads at once, while a third sets and reads: the totals hold them all.
TEST(OBCaptureEngineStats, FramesCountedOnTwoThreadsAreAllInTheTotals) {
  Stats stats;
  stats.setValue(Stats::kAllPacksSeen, 7);
  constexpr uint32_t kFrames = 100000;
  auto count = [&] {
    for (uint32_t i = 0; i < kFrames; ++i) stats.countFrame(60);
  };
  std::thread one(count), two(count);
  for (int i = 0; i < 100; ++i) stats.setValue(Stats::kCwBuffNo, static_cast<uint32_t>(i));
  one.join();
  two.join();
  EXPECT_EQ(valueOf(stats, Stats::kAllPacksSeen), 2 * kFrames + 7);
  EXPECT_EQ(valueOf(stats, Stats::kAllPacksAccepted), 2 * kFrames);
  EXPECT_EQ(valueOf(stats, Stats::kAllBytesSeen), 2 * kFrames * 60);
  EXPECT_EQ(valueOf(stats, Stats::kBytesAccepted), 2 * kFrames * 60);
  stats.setValue(Stats::kAllPacksSeen, 3);
  EXPECT_EQ(valueOf(stats, Stats::kAllPacksSeen), 3u) << "a value set stands, whatever was counted";
}

TEST(OBCaptureEngineStats, PrintShowsEveryCounterButTheStartTime) {
  Stats stats;
  fill(stats);
  stats.setValue(Stats::kAllBytesSeen, 3000000000u);  // past the signed range: printed unsigned
  FILE* out = tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(stats.print(out), 0);
  std::string text(4096, '\0');
  rewind(out);
  text.resize(fread(text.data(), 1, text.size(), out));
  fclose(out);
  EXPECT_EQ(text,
            "\nCapture Engine Stats:\n"
            "--------------------------\n"
            "    cwBuffNo             =         100\n"
            "    crBuffNo             =         101\n\n"
            "    packsSeen            =         103\n"
            "    bytesSeen            =         104\n"
            "    packsAccepted        =         105\n"
            "    bytesAccepted        =         106\n"
            "    reportedDropped      =         107\n\n"
            "    allPacksSeen         =         108\n"
            "    allBytesSeen         =  3000000000\n"
            "    allPacksAccepted     =         110\n"
            "    allBytesAccepted     =         111\n"
            "    reportedDropped      =         112\n\n");
}

TEST(OBCaptureEngineStats, WireFormIsStartTimeAndTheFiveTotals) {
  Stats stats;
  fill(stats);
  stats.setValue(Stats::kStartTime, 0x01020304u);
  stats.setValue(Stats::kAllBytesSeen, 0xFFFFFFFEu);
  corrana_test::SocketPair pair;
  ASSERT_TRUE(pair.ok());
  EXPECT_EQ(stats.writeJ(pair.near()), 0);
  const std::string sent = pair.drain();
  const std::vector<uint8_t> got(sent.begin(), sent.end());
  std::vector<uint8_t> expected = {
      0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04,  // start time
      0, 0, 0, 0, 0, 0, 0, 108,            // allPacksSeen
      0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE,  // allBytesSeen
      0, 0, 0, 0, 0, 0, 0, 110,            // allPacksAccepted
      0, 0, 0, 0, 0, 0, 0, 111,            // allBytesAccepted
      0, 0, 0, 0, 0, 0, 0, 112,            // reportedDropped since start
  };
  EXPECT_EQ(got, expected);
}

TEST(OBCaptureEngineStats, WriteToAClosedPeerStopsAtTheFirstFailureWithOneRecord) {
  Stats stats;
  corrana_test::SocketPair pair;
  ASSERT_TRUE(pair.ok());
  pair.hangUp();
  testing::internal::CaptureStdout();
  int result = stats.writeJ(pair.near());
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_LT(result, 0);
  std::string record = "Error=" + std::to_string(result) + " Text=(null) File=";
  size_t at = printed.find(record);
  ASSERT_NE(at, std::string::npos) << printed;
  EXPECT_EQ(printed.find("Error=", at + 1), std::string::npos) << printed;
  EXPECT_NE(printed.find("OB_CaptureEngineStats.cpp"), std::string::npos) << printed;
}

}  // namespace
