// The pool options are bounded by their share of the memory budget, an eighth of the memory the
// process may use, and the log line of a refused value says the bound.
#include "OB_PoolOption.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "FileText.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"
#include "OB_Tools.h"
#include "TempDir.h"
#include "tcp/OB_PooledTCPSession.h"

namespace {

class PoolOptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.file("logs"));
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
    options_.setOwner(1);
    setOptions(&options_);
    OB_Log::init("pools", 0, nullptr);
  }
  void TearDown() override {
    OB_Log::reset();
    setOptions(nullptr);
    unsetenv("OB_INSTALLDIR");
  }
  std::string log() { return corrana_test::readFile(dir_.file("logs/pools.log")); }

  corrana_test::TempDir dir_;
  OB_NamedStringList options_;
};

// Sessions for half of the memory used to be taken (the bound was the whole memory), and a
// pool that filled up took the machine with it.
TEST_F(PoolOptionTest, HalfTheMemoryInSessionsIsRefusedWithTheBoundInTheLog) {
  const uint64_t unit = sizeof(OB_PooledTCPSession);
  const uint64_t half = OB_Tools::machineMemory() / 2 / unit;
  const uint64_t bound = OB_Tools::memoryShare() / unit;
  ASSERT_LT(bound, 2147483647u) << "the bound needs a machine of less than 2^31 sessions";
  const std::string text = std::to_string(half < 2147483647u ? half : 2147483647u);
  options_.append(new OB_String(text.c_str()), "SessionsPerPool");
  EXPECT_EQ(poolOption_count("SessionsPerPool", 64, unit), 64);
  EXPECT_NE(log().find("Option SessionsPerPool: " + text + " is out of bounds (1 to " +
                       std::to_string(bound) + ": units of " + std::to_string(unit) + " bytes"),
            std::string::npos)
      << log();

  // The bound itself is taken.
  OB_NamedStringList within;
  within.setOwner(1);
  within.append(new OB_String(std::to_string(bound).c_str()), "SessionsPerPool");
  setOptions(&within);
  EXPECT_EQ(poolOption_count("SessionsPerPool", 64, unit), static_cast<int>(bound));
  setOptions(&options_);
}

TEST_F(PoolOptionTest, AGrowingPoolMayTakeItsShareOfTheMemory) {
  const uint64_t queue = 1 << 20;
  EXPECT_EQ(poolOption_budget(), OB_Tools::machineMemory() / 8);
  EXPECT_EQ(static_cast<uint64_t>(poolOption_mostQueues(queue)), poolOption_budget() / queue);
  EXPECT_EQ(poolOption_mostQueues(OB_Tools::machineMemory()), 1);
}

}  // namespace
