#include "tcp/OB_TCPSessionStats.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using Stats = OB_TCPSessionStats;

std::vector<Stats::Counter*> everyCounter(Stats& s) {
  return {&s.segmentsReceived,   &s.bytesReceived,    &s.segmentsUsed,       &s.bytesUsed,
          &s.segmentsExtraneous, &s.bytesExtraneous,  &s.segmentsClosed,     &s.bytesClosed,
          &s.segmentsNoMemory,   &s.bytesNoMemory,    &s.bytesCompleted,     &s.connectionsStarted,
          &s.connectionsBuilt,   &s.timedOutRejected, &s.timedOutUnacked,    &s.timedOutComplete,
          &s.timedOutOddSequence, &s.timedOutNoSyn,   &s.timedOutGaps,       &s.httpStarted,
          &s.httpParsed,         &s.httpFinished,     &s.ftpStarted,         &s.ftpParsed,
          &s.ftpFinished,        &s.payloadBytes,     &s.effectiveBytes,     &s.sessionsRetrieved,
          &s.sessionsReturned,   &s.segmentsFromPool, &s.segmentsToPool,
          &s.httpStopMessageLine, &s.httpStopChunk,   &s.httpStopCutShort,   &s.httpStopFull,
          &s.ftpStopGreeting,    &s.ftpStopCutShort,  &s.ftpStopFull,
          &s.httpGapHead,        &s.httpGapChunkLine, &s.httpGapUnknownLength, &s.httpGapXacts,
          &s.ftpGap,             &s.ftpGapXacts};
}

// The process's counters are counted per thread and added up when read: each of them counts on
// its own, whichever threads count, and clearing them clears what every thread counted.
TEST(OB_TCPSessionStats, EveryProcessCounterSumsItsOwnCountsFromEveryThread) {
  tcpSessionStats_init();
  std::vector<Stats::Counter*> counters = everyCounter(*getTCPSessionStats());
  ASSERT_EQ(counters.size(), static_cast<size_t>(Stats::kCounters));
  auto countAll = [&] {
    for (size_t i = 0; i < counters.size(); ++i)
      Stats::count(*counters[i], static_cast<uint32_t>(i + 1));
  };
  std::thread other(countAll);
  countAll();
  other.join();
  Stats::uncount(*counters[3], 1);
  for (size_t i = 0; i < counters.size(); ++i)
    EXPECT_EQ(Stats::value(*counters[i]), 2 * (i + 1) - (i == 3 ? 1 : 0)) << i;

  tcpSessionStats_init();
  for (size_t i = 0; i < counters.size(); ++i) EXPECT_EQ(Stats::value(*counters[i]), 0u) << i;
  Stats::count(*counters[0]);
  EXPECT_EQ(Stats::value(*counters[0]), 1u);
  tcpSessionStats_init();
}

// A block of its own, as a viewer keeps the figures it reads, counts in its atomics alone.
TEST(OB_TCPSessionStats, ABlockOfItsOwnKeepsItsCountsApart) {
  tcpSessionStats_init();
  Stats own;
  Stats::count(own.httpParsed, 5);
  own.bytesUsed.store(9, std::memory_order_relaxed);
  EXPECT_EQ(own.httpParsed.load(), 5u);
  EXPECT_EQ(Stats::value(own.httpParsed), 5u);
  EXPECT_EQ(Stats::value(own.bytesUsed), 9u);
  EXPECT_EQ(Stats::value(getTCPSessionStats()->httpParsed), 0u);
  Stats::clear(own.bytesUsed);
  EXPECT_EQ(Stats::value(own.bytesUsed), 0u);
}

}  // namespace
