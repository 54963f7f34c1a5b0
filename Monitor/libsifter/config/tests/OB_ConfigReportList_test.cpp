// Report definitions and report lists: their text and wire forms, byte for byte and back.
#include "config/OB_ConfigReportList.h"

#include <gtest/gtest.h>

#include "SifterTestSupport.h"

using namespace sifter_test;

namespace {

OB_ConfigReport* report(uint16_t type, const char* title, const char* contains, uint16_t max) {
  OB_ConfigReport* r = OB_ConfigReport::create();
  r->Type = type;
  r->Title = title;
  r->Contains = contains;
  r->MaxEntries = max;
  return r;
}

const char* kListText =
    "reportName{daily}\n"
    "numOfReports{2}\n"
    "{\n\tType{3}\n\tTitle{Top pages}\n\tContains{.html}\n\tMaxEntries{20}\n}\n"
    "{\n\tType{7}\n\tTitle{}\n\tContains{}\n\tMaxEntries{5}\n}\n";

TEST(OBConfigReportList, FileFormIsExactAndReadsBackLeavingTheNextRecord) {
  OB_ConfigReportList list;
  list.name = "daily";
  list.reports.append(report(3, "Top pages", ".html", 20));
  list.reports.append(report(7, "", "", 5));
  EXPECT_EQ(writeText(&list), kListText);

  OB_ConfigReportList back;
  std::string rest;
  EXPECT_EQ(readText(&back, std::string(kListText) + "# next\n", &rest), 0);
  EXPECT_EQ(rest, "# next\n");
  EXPECT_STREQ(back.name, "daily");
  ASSERT_EQ(back.reports.getCount(), 2);
  OB_ConfigReport* first = back.reports.first();
  EXPECT_EQ(first->Type, 3);
  EXPECT_STREQ(first->Title, "Top pages");
  EXPECT_STREQ(first->Contains, ".html");
  EXPECT_EQ(first->MaxEntries, 20);
  OB_ConfigReport* second = back.reports.next();
  EXPECT_STREQ(second->Title, "");
  EXPECT_EQ(second->MaxEntries, 5);
}

TEST(OBConfigReportList, ZeroCountReadsNoFurtherLinesAndAShortFileFails) {
  OB_ConfigReportList list;
  std::string rest;
  EXPECT_EQ(readText(&list, "reportName{none}\nnumOfReports{0}\n{\n", &rest), 0);
  EXPECT_EQ(rest, "{\n");
  EXPECT_EQ(list.reports.getCount(), 0);

  // A count the file does not hold ends at the file's end instead of making empty definitions.
  EXPECT_EQ(readText(&list, "reportName{x}\nnumOfReports{1000000}\n"), -1);
  EXPECT_EQ(list.reports.getCount(), 0);
}

TEST(OBConfigReportList, WireFormIsExactAndReadsBack) {
  OB_ConfigReportList list;
  list.name = "weekly";
  list.reports.append(report(2, "Errors", "404", 300));
  const std::string bytes = line("weekly") + u16(1) + u16(2) + line("Errors") + line("404") + u16(300);
  {
    SocketPair pair;
    ASSERT_EQ(list.writeJ(pair.near()), 0);
    EXPECT_EQ(pair.drain(), bytes);
  }
  SocketPair pair;
  pair.feed(bytes);
  OB_ConfigReportList back;
  ASSERT_EQ(back.readJ(pair.near()), 0);
  EXPECT_STREQ(back.name, "weekly");
  ASSERT_EQ(back.reports.getCount(), 1);
  EXPECT_EQ(back.reports.first()->MaxEntries, 300);
  EXPECT_STREQ(back.reports.first()->Contains, "404");

  SocketPair cut;
  cut.feed(line("weekly") + u16(2) + u16(2) + line("Errors") + line("404") + u16(300));
  EXPECT_EQ(back.readJ(cut.near()), -1);
  EXPECT_EQ(back.reports.getCount(), 1);
}

TEST(OBConfigReportList, CopyReplacesTheTargetsDefinitionsWithFreshOnes) {
  OB_ConfigReportList list;
  list.name = "a";
  list.reports.append(report(1, "t", "c", 9));
  OB_ConfigReportList target;
  ASSERT_EQ(list.copy(&target), 0);
  ASSERT_EQ(list.copy(&target), 0);
  ASSERT_EQ(target.reports.getCount(), 1);
  EXPECT_NE(target.reports.first(), list.reports.first());
  EXPECT_STREQ(target.reports.first()->Title, "t");
  OB_ConfigReport notAList;
  EXPECT_EQ(list.copy(&notAList), -1);
}

}  // namespace
