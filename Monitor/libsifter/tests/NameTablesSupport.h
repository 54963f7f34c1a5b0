// Helpers for the tests of the tracker and counters: a scratch install directory with the engine's name tables and
// a reverse look-up that answers from a table (no DNS), and a static time window.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "OB_Tools.h"
#include "TempDir.h"
#include "config/OB_AEngineConfig.h"
#include "stats/AnalysisHash.h"
#include "windows/OB_IndexChanger.h"

namespace stats_test {

// The host names the fake reverse look-up knows; any other address has none.
inline std::map<uint32_t, std::string>& knownNames() {
  static std::map<uint32_t, std::string> names;
  return names;
}
inline int& lookupCount() {
  static int count = 0;
  return count;
}
inline int fakeLookup(uint32_t address, char* name, size_t size) {
  ++lookupCount();
  auto found = knownNames().find(address);
  if (found == knownNames().end()) return -1;
  snprintf(name, size, "%s", found->second.c_str());
  return 0;
}

// Name tables over a scratch install directory for the test's life.
class NameTables {
 public:
  NameTables() {
    std::filesystem::create_directories(dir_.file("db"));
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
    knownNames().clear();
    lookupCount() = 0;
    OB_Tools::setReverseLookup(fakeLookup);
    AnalysisHash_init();
  }
  ~NameTables() {
    AnalysisHash_free();
    OB_Tools::setReverseLookup(nullptr);
  }
  NameTables(const NameTables&) = delete;
  NameTables& operator=(const NameTables&) = delete;
  const corrana_test::TempDir& dir() const { return dir_; }

 private:
  corrana_test::TempDir dir_;
};

// A static window [ago, ago + bins * binSize) of `bins` bins over a configuration it does not
// own.
class Window {
 public:
  Window(OB_AEngineConfig* config, uint32_t ago, uint32_t bins, uint32_t binSize) {
    record_.windowType = OB_IndexChanger::kStaticWindow;
    record_.staticAgoTime = ago;
    record_.staticNowTime = ago + bins * binSize;
    record_.staticNumOfBins = bins;
    snprintf(record_.name, sizeof record_.name, "%s", "test window");
    changer_ = new OB_IndexChanger();
    changer_->setConfig(config);
    changer_->setTimeWindow(&record_);
    EXPECT_EQ(changer_->init(), 0);
  }
  ~Window() { changer_->release(); }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  OB_IndexChanger* get() { return changer_; }
  timeWindow_t* record() { return &record_; }

 private:
  timeWindow_t record_ = {};
  OB_IndexChanger* changer_ = nullptr;
};

}  // namespace stats_test
