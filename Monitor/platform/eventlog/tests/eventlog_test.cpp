#include "eventlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempDir.h"

namespace {

using corrana_test::TempDir;

std::string sources() {
  char list[4096];
  return EVL_ListSources(list, sizeof list) >= 0 ? list : "<error>";
}

TEST(EventLog, SinkReceivesTypedEventsWithTheirText) {
  std::vector<std::string> seen;
  EVL_SetSink(
      [](const EVL_Record* r, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(
            std::string(r->source) + "|" + std::to_string(r->type) + "|" +
            std::to_string(r->eventId) + "|" + r->text);
      },
      &seen);
  EVL_Source source = EVL_RegisterEventSource(nullptr, "corramon");
  ASSERT_NE(source, nullptr);
  const char* text = "Service installed\r\n";
  EXPECT_EQ(EVL_ReportEvent(source, EVL_WARNING_TYPE, 0, EVL_MSG_WARNING, -1, 1, &text), 0);
  EXPECT_EQ(EVL_ReportEvent(source, EVL_ERROR_TYPE, 0, EVL_MSG_ERROR, 0, 0, nullptr), 0);
  EVL_DeregisterEventSource(source);
  EVL_SetSink(nullptr, nullptr);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "corramon|2|2147483649|Service installed");
  EXPECT_EQ(seen[1], "corramon|1|3221225474|");
  EXPECT_EQ(EVL_ReportEvent(nullptr, EVL_ERROR_TYPE, 0, EVL_MSG_ERROR, -1, 0, nullptr), -1);
}

TEST(EventLog, SourcesAreListedOnceAndRemovedKeepingTheOthersInOrder) {
  TempDir dir;
  EVL_SetDirectory(dir.path().c_str());
  EXPECT_EQ(sources(), "");
  ASSERT_EQ(EVL_InstallSource("alpha", "/opt/a", 7), 0);
  ASSERT_EQ(EVL_InstallSource("corramon", "/opt/corramon", 7), 0);
  ASSERT_EQ(EVL_InstallSource("omega", "/opt/o", 4), 0);
  ASSERT_EQ(EVL_InstallSource("corramon", "/opt/corramon", 7), 0);
  EXPECT_EQ(sources(), "alpha\ncorramon\nomega\n");
  ASSERT_EQ(EVL_RemoveSource("corramon"), 0);
  EXPECT_EQ(sources(), "alpha\nomega\n");
  EXPECT_EQ(EVL_RemoveSource("corramon"), 0);  // absent: nothing to do
  EXPECT_EQ(sources(), "alpha\nomega\n");
  // A name that would escape the directory or break the list is refused.
  EXPECT_EQ(EVL_InstallSource("../x", "/opt/x", 7), -1);
  EXPECT_EQ(EVL_InstallSource("a\nb", "/opt/x", 7), -1);
  EXPECT_EQ(sources(), "alpha\nomega\n");
  EVL_SetDirectory(nullptr);
}

}  // namespace
