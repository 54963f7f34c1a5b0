#include "OB_ReaderWriterMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls (bounded) until the condition holds.
template <class Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 5000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(OBReaderWriterMutex, ManyReadersTogetherAndWriterWaitsForTheLast) {
  OB_ReaderWriterMutex rw;
  constexpr int kReaders = 4;
  std::atomic<int> inside{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back([&] {
      rw.rLock();
      ++inside;
      while (!release.load()) std::this_thread::sleep_for(1ms);
      --inside;
      rw.rUnlock();
    });
  ASSERT_TRUE(eventually([&] { return inside.load() == kReaders; }));

  std::atomic<bool> writing{false};
  std::atomic<int> readersSeenByWriter{-1};
  std::thread writer([&] {
    rw.wLock();
    readersSeenByWriter = inside.load();
    writing = true;
    rw.wUnlock();
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(writing.load());
  // A reader arriving while the writer only waits is let in (no preference for writers).
  std::atomic<bool> lateReaderIn{false};
  std::thread late([&] {
    rw.rLock();
    lateReaderIn = true;
    rw.rUnlock();
  });
  late.join();
  EXPECT_TRUE(lateReaderIn.load());
  release = true;
  for (auto& reader : readers) reader.join();
  writer.join();
  EXPECT_TRUE(writing.load());
  EXPECT_EQ(readersSeenByWriter.load(), 0);
}

TEST(OBReaderWriterMutex, WriterExcludesEveryoneAndWakesAllWaitingReaders) {
  OB_ReaderWriterMutex rw;
  rw.wLock();
  std::atomic<int> readersIn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i)
    readers.emplace_back([&] {
      rw.rLock();
      ++readersIn;
      // Stay until all three are in: only possible when they hold the lock together.
      eventually([&] { return readersIn.load() == 3; });
      rw.rUnlock();
    });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(readersIn.load(), 0);
  rw.wUnlock();
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(readersIn.load(), 3);
}

TEST(OBReaderWriterMutex, WritersNeverOverlapUnderContention) {
  OB_ReaderWriterMutex rw;
  int shared = 0;
  std::atomic<bool> overlap{false};
  std::atomic<int> writersInside{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 3 == 0) {
          rw.wLock();
          if (++writersInside != 1) overlap = true;
          ++shared;
          --writersInside;
          rw.wUnlock();
        } else {
          rw.rLock();
          if (writersInside.load() != 0) overlap = true;
          rw.rUnlock();
        }
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_GT(shared, 0);
}

}  // namespace
