#include "windows/OB_IndexChanger.h"

#include <gtest/gtest.h>

#include "LocalZone.h"
#include "OB_Tools.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

#include "SifterTestSupport.h"

namespace {

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

uint32_t at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  struct tm fields = {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return static_cast<uint32_t>(OB_Tools::makeLocalTime(&fields));
}

timeWindow_t aligned(uint16_t alignment, uint16_t offset, uint32_t bins) {
  timeWindow_t window = {};
  std::strcpy(window.name, "window");
  window.windowType = OB_IndexChanger::kAlignedWindow;
  window.alignRTType = alignment;
  window.alignRTOffset = offset;
  window.staticNumOfBins = bins;
  return window;
}

// An index changer on a set clock that notes the pauses it asks for.
class ClockedChanger : public OB_IndexChanger {
 public:
  time_t clock = 0;
  std::vector<int> pauses;
  int setSleepInterval(int seconds) override {
    pauses.push_back(seconds);
    return OB_Thread::setSleepInterval(seconds);
  }
  // Window from the record at the given moment.
  void initAt(timeWindow_t* window, uint32_t moment) {
    clock = moment;
    setTimeWindow(window);
    ASSERT_EQ(init(), 0);
  }

 protected:
  time_t now() override { return clock; }
};

int binOf(OB_IndexChanger& changer, uint32_t t) { return changer.calcIndex(&t); }

TEST(OB_IndexChanger, DayWindowCoversTheLocalCalendarDay) {
  LocalZone zone(kCentralEurope);
  timeWindow_t today = aligned(OB_IndexChanger::kAlignDay, 0, 24);
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&today, at(2024, 6, 10, 1, 30));
  const uint32_t ago = at(2024, 6, 10), end = at(2024, 6, 11);
  EXPECT_EQ(changer->getAgoTime(), ago);
  EXPECT_EQ(changer->getNowTime(), end);
  EXPECT_EQ(changer->getBinSize(), 3600u);
  EXPECT_EQ(changer->getTimeIndex(), 23u);
  EXPECT_EQ(changer->pauses.back(), 22 * 3600 + 1800 + 1);  // one second past the midnight

  EXPECT_EQ(binOf(*changer, at(2024, 6, 10, 1, 30)), 1);
  EXPECT_EQ(binOf(*changer, ago), 0);
  EXPECT_EQ(binOf(*changer, ago + 3599), 0);
  EXPECT_EQ(binOf(*changer, ago + 3600), 1);
  EXPECT_EQ(binOf(*changer, end - 1), 23);
  EXPECT_EQ(binOf(*changer, end), 0);  // outside
  EXPECT_EQ(binOf(*changer, ago - 1), 0);

  timeWindow_t yesterday = aligned(OB_IndexChanger::kAlignDay, 1, 24);
  changer->initAt(&yesterday, at(2024, 6, 1, 12));  // across the month's start
  EXPECT_EQ(changer->getAgoTime(), at(2024, 5, 31));
  EXPECT_EQ(changer->getNowTime(), at(2024, 6, 1));
  EXPECT_EQ(changer->getChangeTime(), at(2024, 6, 2));
  changer->release();
}

TEST(OB_IndexChanger, DaylightSavingDaysAreNeitherShortNorLongOfTheirHours) {
  LocalZone zone(kCentralEurope);
  timeWindow_t today = aligned(OB_IndexChanger::kAlignDay, 0, 24);
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&today, at(2024, 3, 31, 12));
  EXPECT_EQ(changer->getWindowSize(), 23u * 3600);
  EXPECT_EQ(changer->getBinSize(), 3450u);
  changer->initAt(&today, at(2024, 10, 27, 12));
  EXPECT_EQ(changer->getWindowSize(), 25u * 3600);
  EXPECT_EQ(changer->getBinSize(), 3750u);
  EXPECT_EQ(binOf(*changer, changer->getNowTime() - 1), 23);

  // The day after a change is whole again, and so is the day two back from it.
  timeWindow_t twoBack = aligned(OB_IndexChanger::kAlignDay, 2, 24);
  changer->initAt(&twoBack, at(2024, 10, 29, 0, 0, 1));
  EXPECT_EQ(changer->getAgoTime(), at(2024, 10, 27));
  EXPECT_EQ(changer->getWindowSize(), 25u * 3600);

  // The month of the autumn change ends at its local midnight; its extra hour goes to the bins.
  timeWindow_t month = aligned(OB_IndexChanger::kAlignMonth, 0, 0);
  changer->initAt(&month, at(2024, 10, 5));
  EXPECT_EQ(changer->getAgoTime(), at(2024, 10, 1));
  EXPECT_EQ(changer->getNowTime(), at(2024, 11, 1));
  EXPECT_EQ(changer->getNumOfBins(), 31u);
  EXPECT_EQ(binOf(*changer, changer->getNowTime() - 1), 30);
  changer->release();
}

TEST(OB_IndexChanger, AMonthsBinsAreItsLocalDaysAcrossADaylightSavingChange) {
  LocalZone zone(kCentralEurope);
  timeWindow_t month = aligned(OB_IndexChanger::kAlignMonth, 0, 0);
  ClockedChanger* changer = new ClockedChanger();
  // October 2024: the 27th has 25 hours. March 2024: the 31st has 23.
  for (int m : {10, 3}) {
    changer->initAt(&month, at(2024, m, 5));
    const int days = static_cast<int>(changer->getNumOfBins());
    ASSERT_EQ(days, 31);
    for (int day = 1; day <= days; ++day) {
      const uint32_t midnight = at(2024, m, day);
      const uint32_t next = day < days ? at(2024, m, day + 1) : at(2024, m + 1, 1);
      EXPECT_EQ(binOf(*changer, midnight), day - 1) << m << "/" << day;
      EXPECT_EQ(binOf(*changer, midnight + 1800), day - 1) << m << "/" << day;
      EXPECT_EQ(binOf(*changer, next - 1), day - 1) << m << "/" << day;
    }
  }
  // The example of an even spread: 27 October 00:30 belongs to the 27th, not the 26th.
  changer->initAt(&month, at(2024, 10, 5));
  EXPECT_EQ(binOf(*changer, at(2024, 10, 27, 0, 30)), 26);
  EXPECT_EQ(binOf(*changer, at(2024, 10, 31, 23, 59, 59)), 30);
  // Moving the bounds by hand gives bins of equal size again.
  changer->setRange(changer->getAgoTime(), changer->getAgoTime() + 31 * 3600);
  EXPECT_EQ(binOf(*changer, changer->getAgoTime() + 3600), 1);
  changer->release();
}

TEST(OB_IndexChanger, WeekWindowEndsAtTheMidnightBeginningTheNextSunday) {
  LocalZone zone(kCentralEurope);
  timeWindow_t week = aligned(OB_IndexChanger::kAlignWeek, 0, 7);
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&week, at(2024, 6, 15, 10));  // a Saturday
  EXPECT_EQ(changer->getNowTime(), at(2024, 6, 16));
  EXPECT_EQ(changer->getAgoTime(), at(2024, 6, 9));
  changer->initAt(&week, at(2024, 6, 16, 10));  // a Sunday
  EXPECT_EQ(changer->getNowTime(), at(2024, 6, 23));
  EXPECT_EQ(binOf(*changer, at(2024, 6, 18, 23, 59, 59)), 2);

  // The week that holds the spring change is an hour short; last week across a year's end.
  changer->initAt(&week, at(2024, 4, 2));
  EXPECT_EQ(changer->getAgoTime(), at(2024, 3, 31));
  EXPECT_EQ(changer->getWindowSize(), 7u * 86400 - 3600);
  timeWindow_t lastWeek = aligned(OB_IndexChanger::kAlignWeek, 1, 7);
  changer->initAt(&lastWeek, at(2025, 1, 2));
  EXPECT_EQ(changer->getAgoTime(), at(2024, 12, 22));
  EXPECT_EQ(changer->getNowTime(), at(2024, 12, 29));
  EXPECT_EQ(changer->getChangeTime(), at(2025, 1, 5));
  changer->release();
}

TEST(OB_IndexChanger, AWeeksBinsAreItsLocalDaysAcrossADaylightSavingChange) {
  LocalZone zone(kCentralEurope);
  timeWindow_t week = aligned(OB_IndexChanger::kAlignWeek, 0, 7);
  ClockedChanger* changer = new ClockedChanger();
  // The week of Sunday 27 October 2024, whose first day has 25 hours; that of 31 March, 23.
  for (int m : {10, 3}) {
    const int first = m == 10 ? 27 : 31;
    changer->initAt(&week, at(2024, m, first, 12));
    ASSERT_EQ(changer->getAgoTime(), at(2024, m, first));
    for (int day = 0; day < 7; ++day) {
      const uint32_t midnight = at(2024, m, first + day);
      const uint32_t next = at(2024, m, first + day + 1);
      EXPECT_EQ(binOf(*changer, midnight), day) << m << "/" << day;
      EXPECT_EQ(binOf(*changer, midnight + 1800), day) << m << "/" << day;
      EXPECT_EQ(binOf(*changer, next - 1), day) << m << "/" << day;
    }
  }
  // Equal bins of 86,914 s would put Monday 28 October 23:30 under Tuesday.
  changer->initAt(&week, at(2024, 10, 29));
  EXPECT_EQ(binOf(*changer, at(2024, 10, 28, 23, 30)), 1);
  // Another bin count keeps bins of equal size.
  timeWindow_t hours = aligned(OB_IndexChanger::kAlignWeek, 0, 14);
  changer->initAt(&hours, at(2024, 10, 29));
  EXPECT_EQ(binOf(*changer, changer->getAgoTime() + changer->getBinSize()), 1);
  changer->release();
}

TEST(OB_IndexChanger, MonthWindowHasOneBinPerDayAcrossYearEnds) {
  LocalZone zone("UTC0");
  timeWindow_t month = aligned(OB_IndexChanger::kAlignMonth, 0, 0);  // bin count ignored
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&month, at(2024, 2, 10));
  EXPECT_EQ(changer->getNumOfBins(), 29u);
  EXPECT_EQ(changer->getBinSize(), 86400u);
  EXPECT_EQ(changer->getAgoTime(), at(2024, 2, 1));
  EXPECT_EQ(changer->getNowTime(), at(2024, 3, 1));
  EXPECT_EQ(binOf(*changer, at(2024, 2, 29, 23, 59, 59)), 28);

  changer->initAt(&month, at(2024, 12, 31, 23, 59, 59));
  EXPECT_EQ(changer->getNowTime(), at(2025, 1, 1));
  EXPECT_EQ(changer->getChangeTime(), at(2025, 1, 1));

  timeWindow_t twoBack = aligned(OB_IndexChanger::kAlignMonth, 2, 0);
  changer->initAt(&twoBack, at(2025, 1, 15));
  EXPECT_EQ(changer->getAgoTime(), at(2024, 11, 1));
  EXPECT_EQ(changer->getNowTime(), at(2024, 12, 1));
  EXPECT_EQ(changer->getNumOfBins(), 30u);
  EXPECT_EQ(changer->getChangeTime(), at(2025, 2, 1));

  EXPECT_EQ(OB_IndexChanger::daysInMonth(1900, 1), 28u);
  EXPECT_EQ(OB_IndexChanger::daysInMonth(2000, 1), 29u);
  changer->release();
}

TEST(OB_IndexChanger, StaticWindowLastSecondsFallIntoTheLastBin) {
  timeWindow_t fixed = {};
  fixed.windowType = OB_IndexChanger::kStaticWindow;
  fixed.staticAgoTime = 1000;
  fixed.staticNowTime = 1100;
  fixed.staticNumOfBins = 3;  // bins of 33 s; 100 is not a multiple
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&fixed, 5000);
  EXPECT_EQ(changer->getBinSize(), 33u);
  EXPECT_TRUE(changer->pauses.empty());
  EXPECT_EQ(binOf(*changer, 1065), 1);
  EXPECT_EQ(binOf(*changer, 1066), 2);
  EXPECT_EQ(binOf(*changer, 1099), 2);

  // More bins than seconds: one-second bins, never a division by zero.
  fixed.staticNumOfBins = 24;
  fixed.staticNowTime = 1010;
  changer->initAt(&fixed, 5000);
  EXPECT_EQ(changer->getBinSize(), 1u);
  EXPECT_EQ(binOf(*changer, 1009), 9);

  // An end before the start is an empty window.
  fixed.staticNowTime = 900;
  changer->initAt(&fixed, 5000);
  EXPECT_EQ(binOf(*changer, 950), 0);
  EXPECT_EQ(binOf(*changer, 1000), 0);
  changer->release();
}

TEST(OB_IndexChanger, ARangeOfTheCallersChoiceSpreadsItsBinsOverTheWholeRange) {
  LocalZone zone(kCentralEurope);
  timeWindow_t today = aligned(OB_IndexChanger::kAlignDay, 0, 24);
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&today, at(2024, 6, 10, 1, 30));
  // From 1970 up to a moment: the day's bin size would put every earlier time in one bin.
  const uint32_t now = 1700000005;  // 24 does not divide it: the bins are rounded up
  ASSERT_EQ(changer->setRange(0, now), 0);
  EXPECT_EQ(changer->getAgoTime(), 0u);
  EXPECT_EQ(changer->getNowTime(), now);
  EXPECT_EQ(changer->getWindowSize(), now);
  EXPECT_EQ(changer->getNumOfBins(), 24u);
  EXPECT_EQ(changer->getBinSize(), 70833334u);
  EXPECT_EQ(binOf(*changer, 0), 0);
  EXPECT_EQ(binOf(*changer, 70833334), 1);
  EXPECT_EQ(binOf(*changer, now - 1), 23);

  // A range shorter than its bin count, and an empty one, still have one-second bins.
  changer->setRange(100, 110);
  EXPECT_EQ(changer->getBinSize(), 1u);
  EXPECT_EQ(binOf(*changer, 109), 9);
  changer->setRange(100, 100);
  EXPECT_EQ(changer->getBinSize(), 1u);
  EXPECT_EQ(changer->getWindowSize(), 0u);
  changer->release();
}

// A registered reader: notes each call and whether its lock was held during it.
class Reader : public OB_Thread {
  OB_CLASS_IDENTITY(Reader, 0x7E570001, "Reader", OB_Thread, OB_Mutex)

 public:
  Reader(std::vector<std::string>* calls, const char* name) : calls_(calls), name_(name) {}
  int reset() override { return note("reset"); }
  int init() override { return note("init"); }
  int start() override { return note("start"); }

 private:
  int note(const char* what) {
    calls_->push_back(name_ + "." + what + (isLocked() != 0 ? "" : " unlocked"));
    return 0;
  }
  std::vector<std::string>* calls_;
  std::string name_;
};

// Statistics with a lock but no thread (Locked = true), or with neither.
template <bool Locked>
class Statistics : public std::conditional_t<Locked, OB_Mutex, OB_Object> {
 public:
  explicit Statistics(std::vector<std::string>* calls) : calls_(calls) {}
  int reset() override {
    calls_->push_back(Locked ? "stats.reset" : "unlocked.reset");
    return 0;
  }
  int init() override {
    calls_->push_back("stats.init");
    return 0;
  }

 private:
  std::vector<std::string>* calls_;
};

TEST(OB_IndexChanger, MoveResetsInitsAndStartsEachLockedObjectInOrder) {
  LocalZone zone("UTC0");
  std::vector<std::string> calls;
  Reader* http = new Reader(&calls, "http");
  Statistics<true> stats(&calls);
  Statistics<false> plain(&calls);
  Reader* net = new Reader(&calls, "net");
  timeWindow_t today = aligned(OB_IndexChanger::kAlignDay, 0, 24);
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&today, at(2024, 6, 10, 12));
  changer->append(http);
  changer->append(&stats);
  changer->append(&plain);
  changer->append(net);

  // Woken before midnight: the window stays and the pause is re-armed.
  changer->clock = at(2024, 6, 10, 23, 59, 50);
  EXPECT_EQ(changer->doTask(), 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(changer->getAgoTime(), at(2024, 6, 10));
  EXPECT_EQ(changer->pauses.back(), 11);

  changer->clock = at(2024, 6, 11, 0, 0, 1);
  EXPECT_EQ(changer->doTask(), 0);
  EXPECT_EQ(changer->getAgoTime(), at(2024, 6, 11));
  EXPECT_EQ(changer->getNowTime(), at(2024, 6, 12));
  EXPECT_EQ(changer->pauses.back(), 86400);
  const std::vector<std::string> expected = {"http.reset", "http.init", "http.start",
                                             "stats.reset", "stats.init", "net.reset",
                                             "net.init", "net.start"};
  EXPECT_EQ(calls, expected);

  // Once stopped, a pass moves nothing.
  calls.clear();
  changer->setContinue(0);
  changer->clock = at(2024, 6, 12, 0, 0, 1);
  EXPECT_EQ(changer->doTask(), 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(changer->getAgoTime(), at(2024, 6, 11));

  changer->clear();
  changer->release();
  http->release();
  net->release();
}

TEST(OB_IndexChanger, StaticWindowNeverMovesItsReaders) {
  std::vector<std::string> calls;
  Reader* reader = new Reader(&calls, "http");
  timeWindow_t fixed = {};
  fixed.windowType = OB_IndexChanger::kStaticWindow;
  fixed.staticAgoTime = 1000;
  fixed.staticNowTime = 2000;
  fixed.staticNumOfBins = 10;
  ClockedChanger* changer = new ClockedChanger();
  changer->initAt(&fixed, 5000);
  changer->append(reader);
  EXPECT_EQ(changer->start(), 0);
  EXPECT_EQ(changer->join(nullptr, 0), 0);  // no thread to wait for
  EXPECT_EQ(changer->doTask(), 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(changer->getAgoTime(), 1000u);
  changer->clear();
  changer->release();
  reader->release();
}

TEST(OB_IndexChanger, AnswersItsListAndThreadFacesButNotItsLock) {
  OB_IndexChanger* changer = OB_IndexChanger::create();  // init without a record: refused
  EXPECT_EQ(obQuery<OB_IndexChanger>(changer), changer);
  EXPECT_NE(obQuery<OB_Thread>(changer), nullptr);
  EXPECT_NE((obQuery<OB_List<OB_Object>>(changer)), nullptr);
  EXPECT_EQ(obQuery<OB_Mutex>(changer), nullptr);
  int32_t hold = 7;
  EXPECT_EQ(changer->refreshHold(123, &hold), -1);
  EXPECT_EQ(hold, 7);
  EXPECT_EQ(changer->start(), -1);
  changer->release();
}

class OB_IndexChangerQuit : public sifter_test::QuitTest {};

TEST_F(OB_IndexChangerQuit, UnusableWindowsEndTheEngine) {
  auto initWith = [](timeWindow_t window) {
    OB_IndexChanger changer;
    changer.setTimeWindow(&window);
    changer.init();
  };
  expectQuit([&] { initWith(aligned(3, 0, 24)); },
             "initStats: invalid aligned real-time time window");
  timeWindow_t odd = aligned(OB_IndexChanger::kAlignDay, 0, 24);
  odd.windowType = 2;
  expectQuit([&] { initWith(odd); }, "initStats: invalid time window");
  expectQuit([&] { initWith(aligned(OB_IndexChanger::kAlignDay, 0, 0)); },
             "initStats: time window without bins");
}

}  // namespace
