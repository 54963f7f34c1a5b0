// One analysis time window: maps the time of an analysed object to a bin of the window and keeps
// the window's bounds, bin count and bin size for the statistics modules. For a window that
// follows the calendar (a day, week or month, possibly some periods back) it is also a thread that
// moves the window when the current period ends and then resets, re-initialises and restarts every
// object registered with it (the window's readers). The per-window command server and the export
// tool build one per window.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>

#include "OB_List.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "OB_ReaderWriterMutex.h"
#include "OB_Runnable.h"
#include "OB_Thread.h"
#include "config/OB_AEngineConfigRecords.h"

class OB_AEngineConfig;

// The calendar facts of one moment in local time. Every end is a local midnight as the system
// reckons it, so a day of a daylight-saving change is 23 or 25 hours long.
struct timeData_t {
  uint32_t now;           // seconds since 1970
  uint16_t month;         // 0 (January) .. 11
  uint16_t year;          // full year, e.g. 2000
  uint32_t daysInMonth;   // of the present month
  uint32_t monthSeconds;  // daysInMonth * 86400
  uint32_t dayEnd;        // the next local midnight
  uint32_t weekEnd;       // the local midnight that begins the next Sunday
  uint32_t monthEnd;      // the local midnight that begins the next month
};

// Fills result with the facts of the present moment, or of `at`; returns result.
timeData_t* currentTimeData(timeData_t* result);
timeData_t* currentTimeData(timeData_t* result, time_t at);

class OB_IndexChanger : public virtual OB_Object,
                        public virtual OB_Runnable,
                        public virtual OB_ReferenceCounter,
                        public virtual OB_Mutex,
                        public virtual OB_Thread,
                        public virtual OB_ReaderWriterMutex,
                        public virtual OB_List<OB_Object> {
 public:
  // Answers OB_Thread, OB_Runnable, OB_ReferenceCounter, OB_List and OB_Object, but not OB_Mutex:
  // a walker that locks whatever answers OB_Mutex must not take this one.
  static OB_ClassID getClassID() { return 0x2BE2BFA9; }
  const char* getClassName() override { return "OB_IndexChanger"; }
  int queryInterface(OB_ClassID id, void** out) override;
  OB_CLASS_CREATE(OB_IndexChanger)

  // timeWindow_t::windowType and alignRTType values.
  static constexpr uint16_t kAlignedWindow = 0;
  static constexpr uint16_t kStaticWindow = 1;
  static constexpr uint16_t kAlignDay = 0;
  static constexpr uint16_t kAlignWeek = 1;
  static constexpr uint16_t kAlignMonth = 2;

  // Zero bounds; usable after setConfig, setTimeWindow and init.
  OB_IndexChanger();
  OB_IndexChanger(const OB_IndexChanger&) = delete;
  OB_IndexChanger& operator=(const OB_IndexChanger&) = delete;
  // Releases nothing: registered objects and the configuration belong to others.
  ~OB_IndexChanger() override;

  // The bin of *xTime: 0 for a time outside [agoTime, nowTime) or a null pointer. A month
  // window's bin, and a seven-bin week window's, is the local day of the time; other windows
  // have bins of equal size, and the seconds that remain when the bin count does not divide
  // the window fall into the last.
  // Called on the readers' and the capture engine's threads; reads the bounds as one set.
  virtual int calcIndex(const uint32_t* xTime);
  // Not supported: always -1; *hold is left alone.
  virtual int refreshHold(uint32_t consoleTime, int32_t* hold);
  virtual int setConfig(OB_AEngineConfig* config);  // not owned, outlives this; 0
  virtual int setTimeWindow(timeWindow_t* window);  // not owned, outlives this; 0
  // The record's name; "" without a record.
  virtual const char* getTimeWindowName();
  virtual uint32_t getAgoTime();
  virtual uint32_t getNowTime();
  // Store the bound alone (bin count and size stay; the bins become equal); 0.
  virtual int setAgoTime(uint32_t seconds);
  virtual int setNowTime(uint32_t seconds);

  // Moves the window to [ago, now) with its bin count kept, for a caller that analyses a range
  // of its own choosing rather than the record's (the export tool's whole archive): the window
  // size follows, and the bin size is rounded up (at least 1 s) so that the bins cover every
  // second of the range. Call after init. 0.
  int setRange(uint32_t ago, uint32_t now);

  // The rest of the window, for the statistics modules that size and label per-bin arrays.
  uint16_t getWindowType();
  uint32_t getTimeIndex();  // the newest bin: numOfBins - 1
  uint32_t getNumOfBins();
  uint32_t getWindowSize();  // seconds
  uint32_t getBinSize();     // seconds
  uint32_t getChangeTime();  // seconds; when an aligned window moves next
  OB_AEngineConfig* getConfig() { return config; }
  timeWindow_t* getTimeWindow() { return timeWindow; }

  // Computes the window from the record for the present moment; an aligned window's thread then
  // sleeps until one second after the current period ends. A window type, alignment or bin count
  // (0 bins) it cannot use ends the process. 0; -1 (logged) without a record.
  int init() override;
  // A static window never moves: its thread is not started (stop instead). 0, or -1 when the
  // thread could not be created or init has not run.
  int start() override;
  // One move, on the thread after its sleep: unless stopped, or woken before the period ended,
  // recomputes the window and then, for each registered object that answers OB_Mutex, in
  // registration order and under that object's lock alone: reset, init and, when it answers
  // OB_Thread, start. Objects without a lock are skipped. 0.
  int doTask() override;
  // The move itself, now whatever the clock says: recomputes the window, then resets, inits and
  // starts each registered object as doTask does. 0.
  int moveWindow();

  // Registered objects are not owned. Removing one waits for a move in progress to finish, so
  // an owner may free an object once it is removed; do not remove while holding a registered
  // object's lock.
  int remove(OB_Object* item) override;
  int clear() override;

  // Days of month 0..11 of the year, by the Gregorian leap rule.
  static uint32_t daysInMonth(int year, int month);

 protected:
  // The calendar time; tests put the clock where they need it.
  virtual time_t now();
  // Month window: the month `monthsBack` months before that of td, with one bin per day.
  // Called by init with the bounds' write lock held. 0.
  virtual int setMonthNowAgoTimes(timeData_t* td, uint32_t monthsBack);

  // Written only by init and the setters under the OB_ReaderWriterMutex base's write lock, read
  // under its read lock, so a reader never combines bounds of two windows.
  uint16_t windowType = 0;
  uint32_t timeIndex = 0;
  uint32_t nowTime = 0;     // end, exclusive
  uint32_t agoTime = 0;     // start, inclusive
  uint32_t numOfBins = 0;
  uint32_t windowSize = 0;  // nowTime - agoTime
  uint32_t binSize = 0;     // windowSize / numOfBins, at least 1
  // A month window's bins (and a seven-bin week window's) are its days, local midnight to local
  // midnight, however long a day of a daylight-saving change is: dayStarts[k] begins bin k,
  // dayStarts[dayBins] is nowTime. dayBins is 0 for every other window (and once a setter moves
  // the bounds): equal bins.
  static constexpr uint32_t kMaxDays = 31;
  uint32_t dayStarts[kMaxDays + 1] = {};
  uint32_t dayBins = 0;
  uint32_t changeTime = 0;
  OB_AEngineConfig* config = nullptr;  // not owned
  timeWindow_t* timeWindow = nullptr;  // not owned

 private:
  // Held across a move's walk over the registered objects and by remove and clear. Not the
  // OB_Mutex base: console queries take that one while holding a reader's lock, and the walk
  // takes readers' locks. Recursive, so a reset may unregister its own object.
  std::recursive_mutex walk_;
};
