#include "windows/OB_IndexChanger.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "OB_Log.h"
#include "OB_Tools.h"

namespace {

constexpr uint8_t kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                       {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Window bounds live in unsigned 32-bit seconds; a moment before 1970 (a window far back) becomes
// 0, so such a window is empty rather than wrapped.
uint32_t toSeconds(time_t t) {
  if (t < 0) return 0;
  if (t > static_cast<time_t>(std::numeric_limits<uint32_t>::max()))
    return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(t);
}

// 00:00:00 local time of the given day; month and day may lie outside their ranges (mktime
// carries them over). `fallback` stands in if the system cannot convert.
uint32_t localMidnight(int year, int month, int day, time_t fallback) {
  struct tm fields = {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month;
  fields.tm_mday = day;
  fields.tm_isdst = -1;
  time_t midnight = OB_Tools::makeLocalTime(&fields);
  return toSeconds(midnight != static_cast<time_t>(-1) ? midnight : fallback);
}

// The local midnight `days` days before the local midnight `midnight`.
uint32_t daysBefore(uint32_t midnight, uint32_t days) {
  time_t at = midnight;
  struct tm local;
  if (!OB_Tools::localTime(at, &local)) return toSeconds(at - static_cast<time_t>(days) * 86400);
  return localMidnight(local.tm_year + 1900, local.tm_mon, local.tm_mday - static_cast<int>(days),
                       at - static_cast<time_t>(days) * 86400);
}

class ReadHold {
 public:
  explicit ReadHold(OB_ReaderWriterMutex* lock) : lock_(lock) { lock_->rLock(); }
  ~ReadHold() { lock_->rUnlock(); }
  ReadHold(const ReadHold&) = delete;
  ReadHold& operator=(const ReadHold&) = delete;

 private:
  OB_ReaderWriterMutex* lock_;  // not owned
};

class WriteHold {
 public:
  explicit WriteHold(OB_ReaderWriterMutex* lock) : lock_(lock) { lock_->wLock(); }
  ~WriteHold() { lock_->wUnlock(); }
  WriteHold(const WriteHold&) = delete;
  WriteHold& operator=(const WriteHold&) = delete;

 private:
  OB_ReaderWriterMutex* lock_;  // not owned
};

}  // namespace

uint32_t OB_IndexChanger::daysInMonth(int year, int month) {
  const int leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 1 : 0;
  if (month < 0 || month > 11) return 0;
  return kMonthDays[leap][month];
}

timeData_t* currentTimeData(timeData_t* result) { return currentTimeData(result, time(nullptr)); }

timeData_t* currentTimeData(timeData_t* result, time_t at) {
  if (result == nullptr) return nullptr;
  std::memset(result, 0, sizeof *result);
  struct tm local;
  if (!OB_Tools::localTime(at, &local)) return result;
  const int year = local.tm_year + 1900;
  result->now = toSeconds(at);
  result->month = static_cast<uint16_t>(local.tm_mon);
  result->year = static_cast<uint16_t>(year);
  result->daysInMonth = OB_IndexChanger::daysInMonth(year, local.tm_mon);
  result->monthSeconds = result->daysInMonth * 86400;
  // Wall-clock reckoning, used only if the system cannot convert a date.
  const time_t dayEnd = at - (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) + 86400;
  result->dayEnd = localMidnight(year, local.tm_mon, local.tm_mday + 1, dayEnd);
  result->weekEnd = localMidnight(year, local.tm_mon, local.tm_mday + 7 - local.tm_wday,
                                  dayEnd + (6 - local.tm_wday) * 86400);
  result->monthEnd =
      localMidnight(year, local.tm_mon + 1, 1,
                    dayEnd + (static_cast<time_t>(result->daysInMonth) - local.tm_mday) * 86400);
  return result;
}

OB_IndexChanger::OB_IndexChanger() : OB_Thread(nullptr, nullptr) {
  OB_Log::debug("initializing index changer\n");
}

OB_IndexChanger::~OB_IndexChanger() = default;

int OB_IndexChanger::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == OB_List<OB_Object>::getClassID()) {
    *out = static_cast<OB_List<OB_Object>*>(this);
    return 0;
  }
  return ob_detail::queryChain<OB_IndexChanger, OB_Thread, OB_Runnable, OB_ReferenceCounter,
                               OB_Object>(this, id, out);
}

time_t OB_IndexChanger::now() { return time(nullptr); }

int OB_IndexChanger::calcIndex(const uint32_t* xTime) {
  if (xTime == nullptr) return 0;
  const uint32_t t = *xTime;
  uint32_t ago, end, bins, size;
  {
    ReadHold hold(this);
    ago = agoTime;
    end = nowTime;
    bins = numOfBins;
    size = binSize;
    if (dayBins > 0 && dayBins == bins && t >= ago && t < end) {
      // The last day that begins at or before t.
      const uint32_t* next = std::upper_bound(dayStarts, dayStarts + dayBins + 1, t);
      const auto day = static_cast<uint32_t>(next - dayStarts) - 1;
      return static_cast<int>(day < bins ? day : bins - 1);
    }
  }
  if (t < ago || t >= end || bins == 0 || size == 0) return 0;
  const uint64_t bin = static_cast<uint64_t>(t - ago) / size;
  return static_cast<int>(bin < bins ? bin : bins - 1);
}

int OB_IndexChanger::refreshHold(uint32_t /*consoleTime*/, int32_t* /*hold*/) { return -1; }

int OB_IndexChanger::setConfig(OB_AEngineConfig* configuration) {
  config = configuration;
  return 0;
}

int OB_IndexChanger::setTimeWindow(timeWindow_t* window) {
  timeWindow = window;
  return 0;
}

const char* OB_IndexChanger::getTimeWindowName() {
  return timeWindow != nullptr ? timeWindow->name : "";
}

uint32_t OB_IndexChanger::getAgoTime() {
  ReadHold hold(this);
  return agoTime;
}

uint32_t OB_IndexChanger::getNowTime() {
  ReadHold hold(this);
  return nowTime;
}

int OB_IndexChanger::setAgoTime(uint32_t seconds) {
  WriteHold hold(this);
  dayBins = 0;  // bounds of the caller's choosing: bins of equal size
  agoTime = seconds;
  return 0;
}

int OB_IndexChanger::setNowTime(uint32_t seconds) {
  WriteHold hold(this);
  dayBins = 0;  // bounds of the caller's choosing: bins of equal size
  nowTime = seconds;
  return 0;
}

int OB_IndexChanger::setRange(uint32_t ago, uint32_t now) {
  WriteHold hold(this);
  dayBins = 0;  // bounds of the caller's choosing: bins of equal size
  agoTime = ago;
  nowTime = now;
  windowSize = now >= ago ? now - ago : 0;
  const uint64_t bins = numOfBins > 0 ? numOfBins : 1;
  const uint64_t size = (static_cast<uint64_t>(windowSize) + bins - 1) / bins;
  binSize = size > 0 ? static_cast<uint32_t>(size) : 1;
  return 0;
}

uint16_t OB_IndexChanger::getWindowType() {
  ReadHold hold(this);
  return windowType;
}

uint32_t OB_IndexChanger::getTimeIndex() {
  ReadHold hold(this);
  return timeIndex;
}

uint32_t OB_IndexChanger::getNumOfBins() {
  ReadHold hold(this);
  return numOfBins;
}

uint32_t OB_IndexChanger::getWindowSize() {
  ReadHold hold(this);
  return windowSize;
}

uint32_t OB_IndexChanger::getBinSize() {
  ReadHold hold(this);
  return binSize;
}

uint32_t OB_IndexChanger::getChangeTime() {
  ReadHold hold(this);
  return changeTime;
}

int OB_IndexChanger::setMonthNowAgoTimes(timeData_t* td, uint32_t monthsBack) {
  // Calendar months rather than day counts, so that a month of a daylight-saving change keeps
  // its local midnights as bounds.
  const int back = static_cast<int>(monthsBack);
  const int year = td->year;
  const int month = td->month;
  changeTime = td->monthEnd;
  nowTime = localMidnight(year, month + 1 - back, 1, td->monthEnd);
  agoTime = localMidnight(year, month - back, 1, static_cast<time_t>(td->monthEnd) - td->monthSeconds);
  // The window's month and year, carried over the year boundaries.
  int total = year * 12 + month - back;
  int windowYear = total >= 0 ? total / 12 : (total - 11) / 12;
  numOfBins = daysInMonth(windowYear, total - windowYear * 12);
  // One bin a day, from its local midnight to the next.
  dayBins = numOfBins <= kMaxDays ? numOfBins : 0;
  for (uint32_t day = 0; day < dayBins; ++day)
    dayStarts[day] = localMidnight(year, month - back, 1 + static_cast<int>(day),
                                   static_cast<time_t>(agoTime) + day * 86400);
  dayStarts[dayBins] = nowTime;
  return 0;
}

int OB_IndexChanger::init() {
  if (timeWindow == nullptr) {
    OB_Log::ret("OB_IndexChanger::init: no time window");
    return -1;
  }
  const time_t t = now();
  const timeWindow_t& record = *timeWindow;
  if (record.windowType == kAlignedWindow) {
    if (record.alignRTType > kAlignMonth)
      OB_Log::quit("initStats: invalid aligned real-time time window");
  } else if (record.windowType != kStaticWindow) {
    OB_Log::quit("initStats: invalid time window");
  }
  // A window without bins has no bin size and no newest bin; nothing could count in it.
  if (record.staticNumOfBins == 0 &&
      !(record.windowType == kAlignedWindow && record.alignRTType == kAlignMonth))
    OB_Log::quit("initStats: time window without bins");

  timeData_t td;
  currentTimeData(&td, t);
  const uint32_t k = record.alignRTOffset;
  uint32_t change = 0;
  {
    WriteHold hold(this);
    windowType = record.windowType;
    dayBins = 0;
    if (windowType == kStaticWindow) {
      nowTime = record.staticNowTime;
      agoTime = record.staticAgoTime;
      numOfBins = record.staticNumOfBins;
    } else if (record.alignRTType == kAlignMonth) {
      setMonthNowAgoTimes(&td, k);
    } else {
      const bool day = record.alignRTType == kAlignDay;
      changeTime = day ? td.dayEnd : td.weekEnd;
      nowTime = daysBefore(changeTime, day ? k : k * 7);
      agoTime = daysBefore(nowTime, day ? 1 : 7);
      numOfBins = record.staticNumOfBins;
      // A week of seven bins counts by its local days, as a month does, however long a day of a
      // daylight-saving change is.
      if (!day && numOfBins == 7) {
        dayBins = numOfBins;
        for (uint32_t d = 0; d < dayBins; ++d) dayStarts[d] = daysBefore(nowTime, 7 - d);
        dayStarts[dayBins] = nowTime;
      }
    }
    // A static window whose end lies before its start is empty: every time lies outside.
    windowSize = nowTime >= agoTime ? nowTime - agoTime : 0;
    timeIndex = numOfBins - 1;
    // At least one second: more bins than seconds leaves the last bins empty instead of
    // dividing by zero.
    binSize = windowSize / numOfBins > 0 ? windowSize / numOfBins : 1;
    change = changeTime;
  }
  if (record.windowType == kAlignedWindow) {
    const time_t seconds = static_cast<time_t>(change) - t + 1;
    setSleepInterval(seconds < 1 ? 1 : static_cast<int>(seconds));
  }
  return 0;
}

int OB_IndexChanger::start() {
  if (timeWindow == nullptr) return -1;
  if (getWindowType() == kStaticWindow) {
    stop();
    return 0;
  }
  return OB_Thread::start();
}

int OB_IndexChanger::doTask() {
  if (getWindowType() == kStaticWindow) {
    stop();
    return 0;
  }
  if (isRunning() == 0) return 0;
  // A wake-up before the period ended (a join, a clock set back) only re-arms the sleep: moving
  // now would wipe the statistics of a window that has not changed.
  const time_t t = now();
  const uint32_t change = getChangeTime();
  if (t < static_cast<time_t>(change)) {
    const time_t seconds = static_cast<time_t>(change) - t + 1;
    setSleepInterval(seconds > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                                : static_cast<int>(seconds));
    return 0;
  }
  return moveWindow();
}

int OB_IndexChanger::moveWindow() {
  OB_Log::debug("indexChngrThread: resetting time window\n");
  init();

  std::lock_guard<std::recursive_mutex> walk(walk_);
  std::vector<OB_Object*> objects;
  {
    // The list's lock only for the copy: a reader's reset may lock this object itself.
    OB_MutexHold hold(this);
    objects.reserve(static_cast<size_t>(OB_List<OB_Object>::count_));
    for (Link* link = head_; link != nullptr; link = link->getNext())
      if (link->getItemObject() != nullptr) objects.push_back(link->getItemObject());
  }
  for (OB_Object* object : objects) {
    OB_Mutex* lock = obQuery<OB_Mutex>(object);
    if (lock == nullptr) continue;
    OB_MutexHold hold(lock);
    object->reset();
    object->init();
    OB_Thread* thread = obQuery<OB_Thread>(object);
    if (thread != nullptr) thread->start();
  }
  return 0;
}

int OB_IndexChanger::remove(OB_Object* item) {
  std::lock_guard<std::recursive_mutex> walk(walk_);
  return OB_List<OB_Object>::remove(item);
}

int OB_IndexChanger::clear() {
  std::lock_guard<std::recursive_mutex> walk(walk_);
  return OB_List<OB_Object>::clear();
}
