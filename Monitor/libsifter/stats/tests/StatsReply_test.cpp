// The reply forms on the wire, the request fields handlers read, the choice of module set and
// the handlers' failure rule.
#include "stats/StatsReply.h"

#include <gtest/gtest.h>

#include "StatsTestSupport.h"
#include "stats/OB_TCPReport.h"

using namespace stats_test;
using sifter_test::SocketPair;

namespace {

statsBreakdown_t* breakdown(std::initializer_list<std::pair<const char*, uint64_t>> entries) {
  statsBreakdown_t* summary = stats_newBreakdown(0, "test");
  for (auto& [text, total] : entries) stats_addEntry(summary, text, total, "test");
  return summary;
}

TEST(StatsReply, BreakdownFormSendsHeaderCountAndNameLinesWithTotals) {
  StatsBreakdownHold summary(breakdown({{"All Errors", 3}, {"404", 2}, {"", 1}}));
  summary->numHeader = 2;
  summary->header[0] = 7;
  summary->header[1] = 1ull << 40;  // wider than its field: held at the maximum
  SocketPair pair;
  ASSERT_EQ(stats_writeBreakdown(pair.near(), summary.get()), 0);
  EXPECT_EQ(pair.drain(), wireU32(7) + wireU32(0xFFFFFFFF) + wireU32(3) + entry("All Errors", 3) +
                              entry("404", 2) + entry("", 1));
}

TEST(StatsReply, EmptyBreakdownSendsOnlyItsHeaderAndCount) {
  StatsBreakdownHold summary(breakdown({}));
  summary->numHeader = 1;
  summary->header[0] = 5;
  SocketPair pair;
  ASSERT_EQ(stats_writeBreakdown(pair.near(), summary.get()), 0);
  EXPECT_EQ(pair.drain(), wireU32(5) + wireU32(0));
}

TEST(StatsReply, TopNAndSeriesForms) {
  statsCounterList_t list;
  statsList_init(&list, 2, 1, StatsNames::kOwnCopy);
  statsList_append(&list, "/a", "test")->counts[0] = 1;
  statsList_append(&list, "/b", "test")->counts[1] = 4;
  StatsTopN select(5, "", 2);
  select.offerList(&list);
  StatsTopNHold top(select.finish("test"));
  SocketPair topPair;
  ASSERT_EQ(stats_writeTopN(topPair.near(), top.get()), 0);
  EXPECT_EQ(topPair.drain(), wireU32(2) + entry("/b", 4) + entry("/a", 1));

  TestWindow window(2);
  StatsSeriesHold s(stats_seriesOf(window.get(), "/b", list.head->next->counts, 2, "test"));
  SocketPair seriesPair;
  ASSERT_EQ(stats_writeSeries(seriesPair.near(), s.get()), 0);
  EXPECT_EQ(seriesPair.drain(), series("/b", 2, {0, 4}));
  statsList_free(&list);
}

TEST(StatsReply, WritesFailOnAClosedConnection) {
  StatsBreakdownHold summary(breakdown({{"x", 1}}));
  SocketPair pair;
  pair.hangUp();
  EXPECT_EQ(stats_writeBreakdown(pair.near(), summary.get()), -1);
  EXPECT_EQ(stats_writeName(pair.near(), "x"), -1);
}

TEST(StatsReply, RequestLinesThatDoNotFitAreRefused) {
  char text[8];
  SocketPair fits;
  fits.feed("1234567\nnext\n");
  ASSERT_EQ(stats_readLine(fits.near(), text, sizeof text), 0);
  EXPECT_STREQ(text, "1234567");
  SocketPair tooLong;
  tooLong.feed("12345678\n");
  EXPECT_EQ(stats_readLine(tooLong.near(), text, sizeof text), -1);
  SocketPair empty;
  empty.feed("\n");
  ASSERT_EQ(stats_readLine(empty.near(), text, sizeof text), 0);
  EXPECT_STREQ(text, "");
}

TEST(StatsReply, AnalysisRequestReadsItsThreeNumbersAfterTheBaseFields) {
  corrana_test::ConsoleRequest console;
  console.command = 1005;
  SocketPair pair;
  pair.feed(console.binary() + wireS32(2) + wireS32(0x30001) + wireS32(-1));
  OB_AEngineTCPRequest r;
  ASSERT_EQ(r.read(pair.near()), 0);
  EXPECT_EQ(r.command, 1005);
  EXPECT_STREQ(r.user, "root");
  EXPECT_EQ(r.timeWindowIndex, 2);
  EXPECT_EQ(r.subset, 0x30001);
  EXPECT_EQ(r.itemIndex, -1);
  SocketPair cut;
  cut.feed(console.binary() + wireS32(2) + wireS32(0));
  EXPECT_EQ(r.read(cut.near()), -1);
}

class Selection : public ::testing::Test {
 protected:
  Selection() : window_(2), config_(makeConfig(2, 2)), stats_(config_.get(), window_.get()) {}
  TestWindow window_;
  std::unique_ptr<OB_AEngineConfig> config_;
  OB_HTTPAnalysisStats stats_;
};

TEST_F(Selection, ServerIndexAndLowSixteenBitsOfTheSubsetPickTheModuleSet) {
  OB_AEngineTCPRequest all = request(1, 0);
  EXPECT_EQ(stats_selectModules(&stats_, &all), stats_.servers[1]->modules);
  OB_AEngineTCPRequest second = request(1, 2);
  EXPECT_EQ(stats_selectModules(&stats_, &second), stats_.servers[1]->xModules[1]);
  OB_AEngineTCPRequest high = request(0, 0x70001);
  EXPECT_EQ(stats_selectModules(&stats_, &high), stats_.servers[0]->xModules[0]);
}

TEST_F(Selection, IndexesOutOfRangeSelectNothing) {
  for (auto [server, subset] : {std::pair{2, 0}, {-1, 0}, {0, 3}, {0, 0xFFFF}, {0, -1}}) {
    OB_AEngineTCPRequest r = request(server, subset);
    EXPECT_EQ(stats_selectModules(&stats_, &r), nullptr) << server << " " << subset;
  }
}

class FailureRule : public sifter_test::QuitTest {};

TEST_F(FailureRule, LogsTheHandlersProblemLineAndFails) {
  startLog();
  EXPECT_EQ(stats_fail("hcommand_HTTPServerMethodBreakdown"), -1);
  EXPECT_NE(logText().find(" - hcommand_HTTPServerMethodBreakdown: Problem getting or sending "
                           "info.\n"),
            std::string::npos)
      << logText();
}

TEST(StatsReply, ReportBaseAnswersNothing) {
  OB_TCPReport report;
  SocketPair pair;
  EXPECT_EQ(report.doBreakdown(nullptr, pair.near(), nullptr), -1);
  EXPECT_EQ(report.doSeries(nullptr, pair.near(), nullptr), -1);
  EXPECT_EQ(pair.drain(), "");
}

}  // namespace
