// Error responses of a server by status and resource, and their console commands.
#include "http/ssErrorData.h"

#include <gtest/gtest.h>

#include "StatsTestSupport.h"

using namespace stats_test;

namespace {

class ErrorData : public HandlerTest {
 protected:
  ErrorData() : HandlerTest(2) {}
  void respond(int b, const std::string& status, const std::string& uri = "/") {
    Xact v;
    v.status = status;
    v.uri = uri;
    OB_HTTPXact x;
    fill(&x, v);
    httpNetInfo_t info = bin(b);
    ssErrorData_procX(&modules()->errorData, &info, connection_.get(), &x);
  }
  Connection connection_;
};

TEST_F(ErrorData, FreshModuleBreaksDownToAllErrors) {
  EXPECT_EQ(run(hcommand_HTTPServerErrorTypeBreakdown).bytes, wireU32(1) + entry("All Errors", 0));
}

TEST_F(ErrorData, ValidPagesAreNoErrorsEverythingElseIs) {
  for (const char* ok : {"200", "201", "202", "203", "304", ""}) respond(0, ok);
  EXPECT_EQ(run(hcommand_HTTPServerErrorTypeBreakdown).bytes, wireU32(1) + entry("All Errors", 0));
  for (const char* bad : {"404", "204", "206", "301", "302", "100", "404", "abc", "30"})
    respond(1, bad);
  EXPECT_EQ(run(hcommand_HTTPServerErrorTypeBreakdown).bytes,
            wireU32(9) + entry("All Errors", 9) + entry("404", 2) + entry("204", 1) +
                entry("206", 1) + entry("301", 1) + entry("302", 1) + entry("100", 1) +
                entry("abc", 1) + entry("30", 1));
}

TEST_F(ErrorData, ResourcesAreThePathWithoutQueryParametersOrFragment) {
  respond(0, "404", "/a?x=1");
  respond(0, "404", "/a;jsessionid=9");
  respond(1, "500", "/a#top");
  respond(1, "404", "/b");
  respond(1, "404", "/c/b");
  respond(1, "404", "?#");  // nothing but delimiters: the empty path
  EXPECT_EQ(run(hcommand_HTTPServerErrorResourceBreakdown, wireS32(5).substr(2) + wireLine("")).bytes,
            wireU32(4) + entry("/a", 3) + entry("/b", 1) + entry("/c/b", 1) + entry("", 1));
  EXPECT_EQ(run(hcommand_HTTPServerErrorResourceBreakdown, wireS32(5).substr(2) + wireLine("b")).bytes,
            wireU32(2) + entry("/b", 1) + entry("/c/b", 1));
  EXPECT_EQ(run(hcommand_HTTPServerErrorResourceBreakdown, wireS32(5).substr(2) + wireLine("zz")).bytes,
            wireU32(0));
  EXPECT_EQ(run(hcommand_HTTPServerErrorSeries, wireS32(1) + wireLine("/a")).bytes,
            series("/a", 2, {2, 1}));
  EXPECT_EQ(run(hcommand_HTTPServerErrorSeries, wireS32(0) + wireLine("404")).bytes,
            series("404", 2, {2, 3}));
  EXPECT_EQ(run(hcommand_HTTPServerErrorSeries, wireS32(0) + wireLine("All Errors")).bytes,
            series("All Errors", 2, {2, 4}));
}

TEST_F(ErrorData, TopNOfZeroOrLessSendsOneResource) {
  respond(0, "404", "/a");
  respond(0, "404", "/b");
  respond(0, "404", "/b");
  for (int16_t n : {0, -1}) {
    std::string fields = wireS32(n).substr(2) + wireLine("");
    EXPECT_EQ(run(hcommand_HTTPServerErrorResourceBreakdown, fields).bytes,
              wireU32(1) + entry("/b", 2));
  }
}

TEST_F(ErrorData, SeriesOfAnUnknownNameIsZeros) {
  respond(0, "404", "/a");
  EXPECT_EQ(run(hcommand_HTTPServerErrorSeries, wireS32(0) + wireLine("503")).bytes,
            series("503", 2, {0, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerErrorSeries, wireS32(7) + wireLine("/none")).bytes,
            series("/none", 2, {0, 0}));
}

TEST_F(ErrorData, MoreThanSixtyFiveThousandErrorsInOneBinDoNotWrap) {
  for (int i = 0; i < 65537; ++i) respond(1, "404", "/gone");
  EXPECT_EQ(run(hcommand_HTTPServerErrorSeries, wireS32(0) + wireLine("404")).bytes,
            series("404", 2, {0, 65537}));
}

TEST_F(ErrorData, HandlersFailWithoutTheirFields) {
  expectFailure(hcommand_HTTPServerErrorResourceBreakdown,
                "hcommand_HTTPServerErrorResourceBreakdown", "\x01");
  expectFailure(hcommand_HTTPServerErrorSeries, "hcommand_HTTPServerErrorSeries", wireS32(0), 0, 2);
  expectFailure(hcommand_HTTPServerErrorTypeBreakdown, "hcommand_HTTPServerErrorTypeBreakdown", "",
                5);
}

}  // namespace
