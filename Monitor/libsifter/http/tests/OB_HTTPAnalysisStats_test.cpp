// The window's HTTP statistics: built from the configuration, freed and rebuilt.
#include "http/OB_HTTPAnalysisStats.h"

#include <gtest/gtest.h>

#include "StatsTestSupport.h"
#include "http/OB_HTTPNetworkGroup.h"

using namespace stats_test;

namespace {

TEST(OB_HTTPAnalysisStats, BuildsOneServerStatsPerDefinitionWithSubsetCopies) {
  TestWindow window(4);
  auto config = makeConfig(2, 3, 2);
  OB_HTTPAnalysisStats stats(config.get(), window.get());
  ASSERT_EQ(stats.numServers, 2);
  ASSERT_EQ(stats.numNetGroups, 2);
  EXPECT_EQ(stats.netGroups[1]->netGroup, config->networkGroups[1]);
  OB_HTTPServerStats* second = stats.servers[1];
  EXPECT_EQ(second->server, config->httpServers[1]);
  ASSERT_EQ(second->numXSubsets, 3);
  EXPECT_STREQ(second->xSubsets[2].name, "subset2");
  EXPECT_NE(second->xSubsets, nullptr);
  // The copies stay when the configuration's records change.
  std::strcpy(config->xSubSets[2]->name, "changed");
  EXPECT_STREQ(second->xSubsets[2].name, "subset2");
  EXPECT_EQ(second->xModules[2]->hitData.numOfBins, 4u);
  EXPECT_NE(second->modules, second->xModules[0]);
}

TEST(OB_HTTPAnalysisStats, ResetFreesAndInitRebuildsFromTheConfigurationOfTheMoment) {
  TestWindow window(2);
  auto config = makeConfig(1, 0);
  OB_HTTPAnalysisStats stats(config.get(), window.get());
  stats.serverStreamsReceived = 9;
  stats_bump(stats.servers[0]->modules->hitData.hits, 2, 1);
  ASSERT_EQ(stats.reset(), 0);
  EXPECT_EQ(stats.numServers, 0);
  EXPECT_EQ(stats.servers, nullptr);

  auto larger = makeConfig(3, 1);
  std::swap(config->numOfHTTPServers, larger->numOfHTTPServers);
  std::swap(config->httpServers, larger->httpServers);
  std::swap(config->numOfXSubSets, larger->numOfXSubSets);
  std::swap(config->xSubSets, larger->xSubSets);
  ASSERT_EQ(stats.init(), 0);
  EXPECT_EQ(stats.serverStreamsReceived, 0u);
  ASSERT_EQ(stats.numServers, 3);
  EXPECT_EQ(stats.servers[0]->modules->hitData.hits[1], 0u);
  EXPECT_EQ(stats.servers[2]->numXSubsets, 1);
}

TEST(OB_HTTPAnalysisStats, AConfigurationWithoutServersOrGroupsGivesEmptyArrays) {
  TestWindow window(1);
  auto config = makeConfig(0, 2);
  OB_HTTPAnalysisStats stats(config.get(), window.get());
  EXPECT_EQ(stats.numServers, 0);
  EXPECT_EQ(stats.servers, nullptr);
  EXPECT_EQ(stats.netGroups, nullptr);
}

}  // namespace
