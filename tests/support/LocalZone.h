// Runs a test body with the given local time zone (a TZ value), then restores the one before.
// The zone changes under the lock the program's own time conversions take.
#pragma once

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "OB_Tools.h"

class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    std::lock_guard<std::mutex> hold(OB_Tools::timeZoneLock());
    const char* old = getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~LocalZone() {
    std::lock_guard<std::mutex> hold(OB_Tools::timeZoneLock());
    if (hadOld_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

 private:
  bool hadOld_ = false;
  std::string old_;
};
