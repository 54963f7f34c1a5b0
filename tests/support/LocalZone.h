// Runs a test body with the given local time zone (a TZ value), then restores the one before.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    const char* old = getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~LocalZone() {
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
