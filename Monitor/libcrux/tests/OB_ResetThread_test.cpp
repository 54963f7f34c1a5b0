#include "OB_ResetThread.h"

#include <gtest/gtest.h>

#include "LocalZone.h"
#include "OB_Tools.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

template <class Condition>
bool eventually(Condition done) {
  for (long spin = 0; spin < 20000000; ++spin) {
    if (done()) return true;
    std::this_thread::yield();
  }
  return done();
}

time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm fields = {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return OB_Tools::makeLocalTime(&fields);
}

class Counted : public virtual OB_Object {
 public:
  int reset() override {
    resets.fetch_add(1);
    return 0;
  }
  std::atomic<int> resets{0};
};

// A reset thread on a set clock whose pauses are noted and, unless asked, skipped.
class ClockedReset : public OB_ResetThread {
 public:
  std::atomic<time_t> clock{0};
  std::vector<int> pauses;  // written by whichever thread runs doTask
  std::atomic<int> pausing{0};
  bool realPause = false;

 protected:
  time_t now() override { return clock.load(); }
  int sleep(int seconds) override {
    pauses.push_back(seconds);
    pausing.fetch_add(1);
    return realPause ? OB_ResetThread::sleep(seconds) : 0;
  }
};

TEST(OB_ResetThread, SecondsToMidnightFollowTheLocalCalendar) {
  LocalZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(OB_ResetThread::secondsToMidnight(localTime(2024, 6, 10, 23, 59, 30)), 30);
  EXPECT_EQ(OB_ResetThread::secondsToMidnight(localTime(2024, 6, 10, 0, 0, 0)), 86400);
  EXPECT_EQ(OB_ResetThread::secondsToMidnight(localTime(2024, 12, 31, 23, 0, 0)), 3600);
  // The spring day has 23 hours and the autumn day 25.
  EXPECT_EQ(OB_ResetThread::secondsToMidnight(localTime(2024, 3, 31, 0, 30, 0)), 81000);
  EXPECT_EQ(OB_ResetThread::secondsToMidnight(localTime(2024, 10, 27, 0, 0, 0)), 90000);
}

TEST(OB_ResetThread, PassSleepsToMidnightThenResetsEveryObjectOnce) {
  LocalZone zone("UTC0");
  ClockedReset* thread = new ClockedReset();
  Counted a, b;
  thread->append(&a);
  thread->append(&b);
  thread->clock = localTime(2024, 6, 10, 23, 59, 30);
  EXPECT_EQ(thread->doTask(), 0);
  ASSERT_EQ(thread->pauses.size(), 1u);
  EXPECT_EQ(thread->pauses[0], 30);
  EXPECT_EQ(a.resets.load(), 1);
  EXPECT_EQ(b.resets.load(), 1);

  thread->clock = localTime(2024, 6, 11, 0, 0, 0);
  thread->remove(&b);
  EXPECT_EQ(thread->doTask(), 0);
  EXPECT_EQ(thread->pauses[1], 86400);
  EXPECT_EQ(a.resets.load(), 2);
  EXPECT_EQ(b.resets.load(), 1);

  thread->clear();
  EXPECT_EQ(thread->doTask(), 0);  // nothing registered: nothing reset, no harm
  thread->release();
}

TEST(OB_ResetThread, StoppedWhileSleepingLeavesWithoutResetting) {
  ClockedReset* thread = new ClockedReset();
  Counted a;
  thread->append(&a);
  thread->clock = time(nullptr);
  thread->realPause = true;
  ASSERT_EQ(thread->start(), 0);
  ASSERT_TRUE(eventually([&] { return thread->pausing.load() > 0; }));
  EXPECT_EQ(thread->stop(), 0);
  EXPECT_EQ(thread->join(nullptr, 0), 0);
  EXPECT_EQ(a.resets.load(), 0);
  thread->clear();
  thread->release();
}

TEST(OB_ResetThread, WakeUpWithoutStopResetsAtOnce) {
  ClockedReset* thread = new ClockedReset();
  Counted a;
  thread->append(&a);
  thread->clock = time(nullptr);
  thread->realPause = true;
  ASSERT_EQ(thread->start(), 0);
  ASSERT_TRUE(eventually([&] { return thread->pausing.load() > 0; }));
  // What a join does to a sleeping thread that was not stopped first.
  ASSERT_TRUE(eventually([&] {
    thread->joinSignal();
    return a.resets.load() > 0;
  }));
  thread->stop();
  EXPECT_EQ(thread->join(nullptr, 0), 0);
  thread->clear();
  thread->release();
}

}  // namespace
