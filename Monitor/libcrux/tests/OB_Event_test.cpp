#include "OB_Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "OB_Mutex.h"

namespace {

using namespace std::chrono_literals;

// Waits (bounded) until the event counts n waiters.
bool awaitWaiters(OB_Event& event, int n) {
  for (int i = 0; i < 5000; ++i) {
    if (event.numWaiting() == n) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(OBEvent, WaitTimesOutAndRestoresWaiterCount) {
  OB_Event event;
  EXPECT_EQ(event.wait(nullptr, 20), -1);
  EXPECT_EQ(event.numWaiting(), 0);
}

TEST(OBEvent, SignalWithNobodyWaitingIsDropped) {
  OB_Event event;
  EXPECT_EQ(event.signal(), 0);
  EXPECT_EQ(event.wait(nullptr, 30), -1);
}

TEST(OBEvent, ZeroMeansNoLimitAndASignalWakesTheWaiter) {
  OB_Event event;
  std::atomic<int> result{99};
  std::thread waiter([&] { result = event.wait(nullptr, 0); });
  ASSERT_TRUE(awaitWaiters(event, 1));
  event.signal();
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(event.numWaiting(), 0);
}

TEST(OBEvent, OneSignalWakesExactlyOneOfTwoWaiters) {
  OB_Event event;
  std::atomic<int> woken{0};
  auto body = [&] {
    if (event.wait(nullptr, 0) == 0) ++woken;
  };
  std::thread a(body), b(body);
  ASSERT_TRUE(awaitWaiters(event, 2));
  event.signal();
  ASSERT_TRUE(awaitWaiters(event, 1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(woken.load(), 1);
  event.signal();
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

TEST(OBEvent, WaitKeepsTheCallersLockHeld) {
  OB_Event event;
  OB_Mutex mutex;
  std::atomic<bool> otherGotIt{false};
  mutex.lock();
  std::thread other([&] {
    ASSERT_TRUE(awaitWaiters(event, 1));
    otherGotIt = mutex.mutex()->try_lock();
    if (otherGotIt) mutex.mutex()->unlock();
    event.signal();
  });
  EXPECT_EQ(event.wait(&mutex, 0), 0);
  EXPECT_EQ(mutex.isLocked(), 1);
  mutex.unlock();
  other.join();
  EXPECT_FALSE(otherGotIt.load());
}

// A signaller that fires as soon as it sees a waiter must never be lost: every round ends with
// the waiter woken, not with its (generous) time-out.
TEST(OBEvent, NoWakeUpIsLostToARacingSignaller) {
  OB_Event event;
  constexpr int kRounds = 2000;
  std::atomic<int> round{0};
  std::atomic<bool> done{false};
  std::thread signaller([&] {
    int seen = 0;
    while (!done.load()) {
      int current = round.load();
      if (current > seen && event.numWaiting() > 0) {
        event.signal();
        seen = current;
      } else {
        std::this_thread::yield();
      }
    }
  });
  int timeouts = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= kRounds && std::chrono::steady_clock::now() - start < 20s; ++i) {
    round = i;
    if (event.wait(nullptr, 5000) != 0) ++timeouts;
  }
  done = true;
  signaller.join();
  EXPECT_EQ(timeouts, 0);
  EXPECT_EQ(event.numWaiting(), 0);
}

}  // namespace
