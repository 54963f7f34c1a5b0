// The rate and utilisation helpers and their text forms.
#include "net/netstats.h"

#include <gtest/gtest.h>

#include <string>

#include "SifterTestSupport.h"

namespace {

// The digit string in the length-byte form the formatters take.
std::string digits(const std::string& text) { return std::string(1, char(text.size())) + text; }

std::string rate(const std::string& text, int withUnit = 1) {
  std::string in = digits(text);
  char out[32];
  if (netstats_FormatRate(reinterpret_cast<const unsigned char*>(in.data()), out, sizeof out,
                          withUnit) != 0)
    return "(failed)";
  return out;
}

std::string percent(const std::string& text, size_t size = 32) {
  std::string in = digits(text);
  char out[32];
  if (netstats_FormatPercent(reinterpret_cast<const unsigned char*>(in.data()), out, size) != 0)
    return "(failed)";
  return out;
}

TEST(Netstats, RateIsBitsPerSecondOfBytesPerMillisecondAndZeroWithoutEither) {
  EXPECT_EQ(netstats_Rate(1000, 1000), 8000u);
  EXPECT_EQ(netstats_Rate(1, 3), 2666u);  // truncated
  EXPECT_EQ(netstats_Rate(4000000000u, 1), 32000000000000u);
  EXPECT_EQ(netstats_Rate(0, 10), 0u);
  EXPECT_EQ(netstats_Rate(10, 0), 0u);
}

TEST(Netstats, UtilisationOfTenAndHundredMegabitLinks) {
  EXPECT_EQ(netstats_PercentUtil(10000000, 10), 100000u);  // a full link: 100.000 %
  EXPECT_EQ(netstats_PercentUtil(12345, 10), 123u);
  EXPECT_EQ(netstats_PercentUtil(12345, 100), 12u);
}

class NetstatsQuit : public sifter_test::QuitTest {};

TEST_F(NetstatsQuit, AnotherLinkSpeedStopsTheEngine) {
  expectQuit([] { netstats_PercentUtil(1, 1000); }, "netstats_PercentUtil: Invalid megabitsRate.");
}

TEST(Netstats, FormattersPutAPointThreeDigitsFromTheRight) {
  EXPECT_EQ(rate("12345"), "12.345 Kbits/s");
  EXPECT_EQ(rate("1234", 0), "1.234");
  EXPECT_EQ(rate("123"), "0.123 Kbits/s");
  EXPECT_EQ(rate("42"), "0.042 Kbits/s");
  EXPECT_EQ(rate("7", 0), "0.007");
  EXPECT_EQ(rate(""), "0.000 Kbits/s");
  EXPECT_EQ(percent("100000"), "100.000%");
  EXPECT_EQ(percent("5"), "0.005%");
}

TEST(Netstats, FormattersRefuseWhatIsNoDigitStringOrDoesNotFit) {
  EXPECT_EQ(rate("12a45"), "(failed)");
  EXPECT_EQ(percent("12345", 7), "(failed)");  // "12.345%" needs 8 bytes with its end
  EXPECT_EQ(percent("12345", 8), "12.345%");
  char out[4] = "xyz";
  EXPECT_EQ(netstats_FormatPercent(nullptr, out, sizeof out), -1);
  EXPECT_STREQ(out, "");
}

}  // namespace
