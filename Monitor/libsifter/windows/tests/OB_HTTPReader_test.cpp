// The HTTP reader end to end: connections written through the archive writer and replayed, or
// handed live, and counted into every matching server, its subsets and the network groups, with
// the server definitions' masking, content and client filters; a window move; and the
// client-side console commands.
#include "windows/OB_HTTPReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "NameTablesSupport.h"
#include "SocketPair.h"
#include "StatsTestSupport.h"
#include "archive/OB_ArchiveWriter.h"
#include "http/HTTPIPTrackingCommands.h"
#include "http/OB_HTTPNetworkGroup.h"
#include "http/OB_ResourceStats.h"
#include "stats/OB_IPTracker.h"
#include "stats/csXData.h"

namespace {

using corrana_test::wireLine;
using corrana_test::wireS32;
using corrana_test::wireU32;
using sifter_test::ip;

constexpr uint32_t kServer = ip(10, 0, 0, 80);
constexpr uint32_t kOther = ip(10, 0, 0, 99);
constexpr uint32_t kClientA = ip(192, 168, 1, 7);
constexpr uint32_t kClientB = ip(172, 16, 0, 9);

struct Request {
  const char* uri;
  const char* type = "text/html";
  const char* agent = "agent";
};

OB_HTTPProtocol* connection(uint32_t when, uint32_t client, uint32_t server,
                            std::vector<Request> requests) {
  auto* p = new OB_HTTPProtocol(1, 16);
  p->connTime = when;
  p->clientIP = client;
  p->serverIP = server;
  p->serverPort = 80;
  for (const Request& r : requests) {
    auto* x = obQuery<OB_HTTPXact>(p->addXLink());
    x->req_method = "GET";
    x->req_request_uri = r.uri;
    x->req_host = "www.site";
    x->req_referer = "http://www.site/";
    x->req_user_agent = r.agent;
    x->res_status_code = "200";
    x->res_content_type = r.type;
    ++p->commRespCount;
  }
  return p;
}

char* own(const char* text) { return strdup(text); }

class OB_HTTPReaderTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kBins = 4;
  static constexpr uint32_t kBinSize = 500;
  OB_HTTPReaderTest()
      : base(static_cast<uint32_t>(time(nullptr))),
        config(stats_test::makeConfig(2, 2, 2)),
        window(config.get(), base - 1000, kBins, kBinSize) {
    std::strcpy(config->databaseDir, tables.dir().path().c_str());
    // Subset 0 holds 192.168.1.0/24 only; subset 1 everyone.
    XSubset_t* lan = config->xSubSets[0];
    lan->acceptMatching = 1;
    lan->numOfNets = 1;
    lan->exampleAddress[0] = lan->network[0] = ip(192, 168, 1, 0);
    lan->maskAddress[0] = ip(255, 255, 255, 0);
    // Group 0 holds the clients' LAN, group 1 the servers.
    for (int g = 0; g < 2; ++g) {
      networkGroup_t* group = config->networkGroups[g];
      group->numOfNets = 1;
      group->exampleAddress[0] = group->network[0] = g == 0 ? ip(192, 168, 1, 0) : ip(10, 0, 0, 0);
      group->maskAddress[0] = ip(255, 255, 255, 0);
    }
    stats_test::knownNames() = {{kServer, "www.site"}};
  }
  ~OB_HTTPReaderTest() override { obRelease(reader); }

  OB_HTTPServer* server(int i) { return config->httpServers[i]; }
  void archive(const std::vector<OB_HTTPProtocol*>& records) {
    auto* writer = new OB_ArchiveWriter(nullptr, config->databaseDir, "http", "", "", 0);
    for (OB_HTTPProtocol* record : records) {
      writer->processObject(record);
      record->release();
    }
    writer->release();
  }
  void replay() {
    reader = new OB_HTTPReader(config.get(), window.get());
    ASSERT_EQ(reader->init(), 0);
    ASSERT_EQ(reader->start(), 0);
    ASSERT_EQ(reader->join(nullptr, 0), 0);
  }
  void live(OB_HTTPProtocol* record) {
    if (reader == nullptr) {
      reader = new OB_HTTPReader(config.get(), window.get());
      reader->init();
    }
    EXPECT_EQ(obQuery<OB_Processor>(reader)->processObject(record), 0);
    record->release();
  }
  OB_ResourceStats* resources(int serverIndex, int subset = 0) {
    OB_HTTPServerStats* stats = reader->servers[serverIndex];
    return subset == 0 ? stats->modules->resourceStats : stats->xModules[subset - 1]->resourceStats;
  }
  uint64_t hits(int serverIndex, const char* uri, int subset = 0, const char* type = "text/html") {
    OB_ResourceCounterLink* counter = resources(serverIndex, subset)->findCounter(uri, type);
    return counter != nullptr ? counter->getTotal() : 0;
  }
  OB_IPTrackerHash* client(int serverIndex, uint32_t address) {
    return reader->servers[serverIndex]->ipTracker->findRecord(address);
  }
  uint64_t sum(const uint32_t* counts) { return stats_sum(counts, kBins); }

  stats_test::NameTables tables;
  uint32_t base;
  std::unique_ptr<OB_AEngineConfig> config;
  stats_test::Window window;
  OB_HTTPReader* reader = nullptr;
};

TEST_F(OB_HTTPReaderTest, ReplaysTheWindowIntoServersSubsetsAndGroups) {
  const uint32_t ago = base - 1000, now = base + 1000;
  archive({connection(ago - 1, kClientA, kServer, {{"/early"}}),
           connection(ago, kClientA, kServer, {{"/"}, {"/logo.png", "image/png"}}),
           connection(ago + 600, kClientB, kServer, {{"/"}}),
           connection(ago + 700, kClientA, kOther, {{"/elsewhere"}}),
           connection(now, kClientA, kServer, {{"/late"}})});
  replay();
  EXPECT_EQ(reader->getReplayCount(), 3u);
  EXPECT_EQ(reader->serverStreamsReceived, 3u);
  EXPECT_EQ(reader->serverStreamsProcessed, 2u);
  EXPECT_EQ(reader->serverStreamsRejected, 1u);
  EXPECT_EQ(hits(0, "/"), 2u);
  EXPECT_EQ(hits(0, "/logo.png", 0, "image/png"), 1u);
  EXPECT_EQ(hits(0, "/early") + hits(0, "/late") + hits(0, "/elsewhere"), 0u);
  // Server 1 (10.0.0.81) saw nothing.
  EXPECT_EQ(resources(1)->getCount(), 0);
  // Subset 0 holds client A only, subset 1 both; the tracker counts each transaction once.
  EXPECT_EQ(hits(0, "/", 1), 1u);
  EXPECT_EQ(hits(0, "/", 2), 2u);
  ASSERT_NE(client(0, kClientA), nullptr);
  EXPECT_EQ(client(0, kClientA)->count, 2u);
  EXPECT_EQ(client(0, kClientA)->pageCount, 1u);
  EXPECT_EQ(reader->servers[0]->ipTracker->getAddressCount(), 2u);

  // The LAN group holds client A: its three transactions, none to a server inside.
  csXData* lan = reader->netGroups[0]->xData;
  EXPECT_EQ(sum(lan->all), 3u);
  EXPECT_EQ(sum(lan->out2in) + sum(lan->in2in), 0u);
  // The server group: every transaction to 10.0.0.x came from outside.
  csXData* servers = reader->netGroups[1]->xData;
  EXPECT_EQ(sum(servers->all), 4u);
  EXPECT_EQ(sum(servers->out2in), 4u);
  csServersSeenData* seen = reader->netGroups[1]->serversSeenData;
  ASSERT_EQ(seen->count, 3);
  EXPECT_STREQ(seen->head->name, "All Server Hits");
  EXPECT_STREQ(seen->head->next->name, "www.site");
  EXPECT_EQ(sum(seen->head->next->counts), 3u);
  EXPECT_STREQ(seen->tail->name, "10.0.0.99");
  EXPECT_EQ(reader->netgrpStreamsProcessed, 3u);
}

// A connection cut at the session byte limit comes as pieces: the one that continues it adds
// its transactions but no connection (stream, client, response times), also from the archive.
TEST_F(OB_HTTPReaderTest, APieceThatContinuesAConnectionCountsOnlyItsTransactions) {
  const uint32_t ago = base - 1000;
  OB_HTTPProtocol* first = connection(ago + 10, kClientA, kServer, {{"/"}});
  first->serverRespTime = 400;
  OB_HTTPProtocol* rest = connection(ago + 20, kClientA, kServer, {{"/"}, {"/b"}});
  rest->serverRespTime = 400;
  rest->continued = 1;
  archive({first, rest});
  replay();
  EXPECT_EQ(reader->serverStreamsReceived, 1u);
  EXPECT_EQ(reader->serverStreamsProcessed, 1u);
  EXPECT_EQ(hits(0, "/"), 2u);
  EXPECT_EQ(hits(0, "/b"), 1u);
  ssNetworkData& network = reader->servers[0]->modules->networkData;
  EXPECT_EQ(sum(network.srvCount), 1u);
  EXPECT_EQ(sum(network.uniqueIPs), 1u);
  // The domain counters of the IP tracking list count the connection once.
  OB_CountArray* domains = reader->servers[0]->ipTracker->getDomainCounters()->first();
  ASSERT_NE(domains, nullptr);
  EXPECT_EQ(domains->getTotal(), 1u);
}

TEST_F(OB_HTTPReaderTest, TwoMatchingDefinitionsBothCountAndAFailedClientTestOnlyTheGroups) {
  server(1)->setIPAddress(kServer);
  server(0)->clientIPApply = 1;
  server(0)->clientIPCount = 1;
  server(0)->clientIPRanges[0][0] = kClientB;
  server(0)->clientIPRanges[0][1] = kClientB;
  live(connection(base, kClientA, kServer, {{"/"}}));
  live(connection(base, kClientB, kServer, {{"/"}}));
  EXPECT_EQ(hits(0, "/"), 1u);  // only client B passes server 0's client test
  EXPECT_EQ(hits(1, "/"), 2u);
  EXPECT_EQ(reader->serverStreamsProcessed, 2u);
  EXPECT_EQ(client(0, kClientA), nullptr);
  EXPECT_EQ(sum(reader->netGroups[0]->xData->all), 1u);
}

TEST_F(OB_HTTPReaderTest, MaskingCountsOnAScratchCopyAndLeavesTheConnectionAlone) {
  server(0)->paramMaskApply = 1;
  server(0)->paramMaskCount = 1;
  server(0)->paramMaskVariables[0] = own("id");
  server(0)->paramMaskReplacements[0] = own("X");
  OB_HTTPProtocol* first = connection(base, kClientA, kServer, {{"/a?id=1&s=2"}});
  first->addRef();
  live(first);
  live(connection(base, kClientA, kServer, {{"/a?id=2&s=2"}}));
  EXPECT_EQ(hits(0, "/a?id=X&s=2"), 2u);
  EXPECT_EQ(resources(0)->getCount(), 1);
  EXPECT_STREQ(obQuery<OB_HTTPXact>(first->head)->req_request_uri.c_str(), "/a?id=1&s=2");
  first->release();
  // Server 1 masks nothing.
  server(1)->setIPAddress(kServer);
  live(connection(base, kClientA, kServer, {{"/a?id=3"}}));
  EXPECT_EQ(hits(1, "/a?id=3"), 1u);
}

TEST_F(OB_HTTPReaderTest, ALiveConnectionLeavesTheReaderWithItsHostAsItCame) {
  // The capture consumer hands the same object on to the archive writer and every later
  // listener: the host is compared without case, but never lowered in the object.
  OB_HTTPProtocol* shared = connection(base, kClientA, kServer, {{"/page"}});
  auto* xact = obQuery<OB_HTTPXact>(shared->head);
  xact->req_host = "WWW.Site";
  xact->req_referer = "http://www.SITE/from";
  shared->addRef();
  live(shared);
  EXPECT_STREQ(xact->req_host.c_str(), "WWW.Site");
  EXPECT_STREQ(xact->req_referer.c_str(), "http://www.SITE/from");
  // Counted all the same, and, the referer naming the host in another case, not as a visit's
  // first page.
  EXPECT_EQ(hits(0, "/page"), 1u);
  OB_ResourceCounterLink* counter = resources(0)->findCounter("/page", "text/html");
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(counter->getEntryPointCounts(), nullptr);
  shared->release();
}

TEST_F(OB_HTTPReaderTest, AContentFilteredServerCountsOnlyWhatPasses) {
  server(0)->urlSubstrApply = 1;
  server(0)->urlSubstrCount = 1;
  server(0)->urlSubstrs[0] = own("/keep");
  live(connection(base, kClientA, kServer, {{"/keep/1"}, {"/drop"}}));
  live(connection(base, kClientB, kServer, {{"/drop"}}));
  EXPECT_EQ(hits(0, "/keep/1"), 1u);
  EXPECT_EQ(hits(0, "/drop"), 0u);
  EXPECT_NE(client(0, kClientA), nullptr);
  EXPECT_EQ(client(0, kClientB), nullptr);  // nothing of its connection passed
  // Both connections matched the definition.
  EXPECT_EQ(reader->serverStreamsProcessed, 2u);
}

TEST_F(OB_HTTPReaderTest, AWindowMoveStartsTheCountsOver) {
  archive({connection(base - 500, kClientA, kServer, {{"/"}})});
  replay();
  EXPECT_EQ(hits(0, "/"), 1u);
  live(connection(base, kClientA, kServer, {{"/"}}));
  EXPECT_EQ(hits(0, "/"), 2u);
  // The next period: nothing of the old one is counted any more.
  window.record()->staticAgoTime = base;
  ASSERT_EQ(window.get()->init(), 0);
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    reader->reset();
    reader->init();
    reader->start();
  }
  ASSERT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(hits(0, "/"), 0u);
  EXPECT_EQ(reader->serverStreamsReceived, 0u);
  live(connection(base + 10, kClientA, kServer, {{"/"}}));
  EXPECT_EQ(hits(0, "/"), 1u);
}

TEST_F(OB_HTTPReaderTest, TheReusedRecordIsEmptyWhenHandedOutAgain) {
  reader = new OB_HTTPReader(config.get(), window.get());
  auto* record = obQuery<OB_HTTPProtocol>(reader->createProtocol());
  ASSERT_NE(record, nullptr);
  record->clientIP = kClientA;
  record->addXLink();
  record->release();  // given back without its reset, as a failed read does
  auto* again = obQuery<OB_HTTPProtocol>(reader->createProtocol());
  EXPECT_EQ(again, record);
  EXPECT_EQ(again->getXactCount(), 0u);
  EXPECT_EQ(again->clientIP, 0u);
  again->release();
}

TEST_F(OB_HTTPReaderTest, TheClientSideCommandsAnswerPerGroup) {
  live(connection(window.get()->getAgoTime() + 3 * kBinSize, kClientA, kServer, {{"/"}, {"/b"}}));
  auto ask = [&](int (*handler)(OB_HTTPAnalysisStats*, int, OB_AEngineTCPRequest*), int group,
                 const std::string& fields, int* result) {
    corrana_test::SocketPair pair;
    pair.feed(fields);
    OB_AEngineTCPRequest request = stats_test::request(group);
    *result = handler(reader, pair.near(), &request);
    return pair.drain();
  };
  int result = 0;
  EXPECT_EQ(ask(hcommand_HTTPClientXBreakdown, 1, "", &result), wireU32(2) + wireU32(2) + wireU32(0));
  EXPECT_EQ(result, 0);
  const std::string header = wireS32(static_cast<int32_t>(window.get()->getNowTime())) +
                             wireS32(static_cast<int32_t>(window.get()->getAgoTime())) + wireU32(4);
  EXPECT_EQ(ask(hcommand_HTTPClientXSeries, 1, wireS32(1), &result),
            wireS32(1) + header + wireU32(0) + wireU32(0) + wireU32(0) + wireU32(2));
  // An unknown kind fails the request; the engine goes on.
  EXPECT_EQ(ask(hcommand_HTTPClientXSeries, 1, wireS32(3), &result), "");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(ask(hcommand_HTTPClientServersSeenBreakdown, 1, "", &result),
            wireU32(2) + "All Server Hits\n" + wireU32(2) + "www.site\n" + wireU32(2));
  EXPECT_EQ(ask(hcommand_HTTPClientServersSeenSeries, 1, wireLine("nobody"), &result),
            "nobody\n" + header + wireU32(0) + wireU32(0) + wireU32(0) + wireU32(0));
  EXPECT_EQ(result, 0);
  for (int bad : {2, -1}) {
    EXPECT_EQ(ask(hcommand_HTTPClientXBreakdown, bad, "", &result), "");
    EXPECT_EQ(result, -1);
  }
}

// A reverse zone may answer any name: one like the total's must not make a second such row.
TEST_F(OB_HTTPReaderTest, AServerNamedLikeTheTotalCountsOnceUnderIt) {
  stats_test::knownNames()[kOther] = "All Server Hits";
  const uint32_t t = window.get()->getAgoTime() + kBinSize;
  live(connection(t, kClientA, kServer, {{"/"}}));
  live(connection(t, kClientA, kOther, {{"/a"}, {"/b"}}));
  live(connection(t, kClientB, kOther, {{"/c"}}));
  csServersSeenData* seen = reader->netGroups[1]->serversSeenData;
  ASSERT_EQ(seen->count, 2);
  EXPECT_STREQ(seen->head->name, "All Server Hits");
  EXPECT_EQ(sum(seen->head->counts), 4u);
  EXPECT_STREQ(seen->tail->name, "www.site");
  EXPECT_EQ(sum(seen->tail->counts), 1u);
}

// The capture hands connections over while a console query holds the reader: none waits for
// the query (a capture that waited would never reach the query's end here, which waits for it),
// the query sees what came before it only, and afterwards every connection is counted, in the
// order it came, exactly as a reader that took them one by one counts them.
TEST_F(OB_HTTPReaderTest, ConnectionsHandedOverDuringAQueryWaitForNothingAndAreCountedAfterIt) {
  const uint32_t when = window.get()->getAgoTime() + kBinSize;
  auto pages = [&](uint32_t client, int n, const char* prefix) {
    std::vector<OB_HTTPProtocol*> made;
    for (int i = 0; i < n; ++i) {
      const std::string uri = std::string(prefix) + std::to_string(i);
      made.push_back(connection(when + static_cast<uint32_t>(i), client + static_cast<uint32_t>(i % 3),
                                kServer, {{uri.c_str()}}));
    }
    return made;
  };
  auto* direct = new OB_HTTPReader(config.get(), window.get());
  direct->init();
  auto feed = [](OB_HTTPReader* to, const std::vector<OB_HTTPProtocol*>& records) {
    for (OB_HTTPProtocol* record : records) {
      EXPECT_EQ(obQuery<OB_Processor>(to)->processObject(record), 0);
      record->release();
    }
  };
  live(connection(when, kClientA, kServer, {{"/first"}}));
  feed(direct, {connection(when, kClientA, kServer, {{"/first"}})});

  std::promise<void> held, handed;
  std::future<void> handedOver = handed.get_future();
  uint64_t hitsDuringQuery = 0;
  uint64_t queuedDuringQuery = 0;
  std::thread console([&] {
    OB_ReaderQueryHold hold(reader);
    held.set_value();
    handedOver.wait();
    hitsDuringQuery = hits(0, "/first") + hits(0, "/during0");
    queuedDuringQuery = reader->getDeferredCount();
  });
  held.get_future().wait();
  feed(reader, pages(kClientA, 40, "/during"));
  EXPECT_TRUE(reader->isMatch(kServer, 80) != 0);
  handed.set_value();
  console.join();
  EXPECT_EQ(hitsDuringQuery, 1u);
  EXPECT_EQ(queuedDuringQuery, 40u);
  // One more that finds the lock free, after the queued ones.
  feed(reader, pages(kClientA, 1, "/after"));
  feed(direct, pages(kClientA, 40, "/during"));
  feed(direct, pages(kClientA, 1, "/after"));

  EXPECT_EQ(hits(0, "/during39"), 1u);
  EXPECT_EQ(reader->serverStreamsProcessed, direct->serverStreamsProcessed);
  EXPECT_EQ(reader->serverStreamsProcessed, 42u);
  const OB_ClientPath* path = client(0, kClientA)->getPath();
  ASSERT_NE(path, nullptr);
  ASSERT_EQ(path->size(), 16u);  // /first, then every third of the 40, then /after0
  auto page = [](const OB_PathNode& node) {
    OB_Resource* resource = obQuery<OB_Resource>(node.getItem());
    return std::string(resource != nullptr ? resource->getResource() : "?");
  };
  EXPECT_EQ(page(path->front()), "/first");
  EXPECT_EQ(page((*path)[1]), "/during0");
  EXPECT_EQ(page((*path)[2]), "/during3");
  EXPECT_EQ(page(path->back()), "/after0");
  // The console's ranking of the clients reads the same, byte for byte.
  auto ranking = [&](OB_HTTPReader* of) {
    corrana_test::SocketPair pair;
    pair.feed(std::string("\0\0\0\x0A", 4) + "0.0.0.0\n0.0.0.0\n");
    OB_AEngineTCPRequest request = stats_test::request(0);
    EXPECT_EQ(hcommand_HTTPIPTracking(of, pair.near(), &request), 0);
    return pair.drain();
  };
  const std::string answer = ranking(reader);
  EXPECT_EQ(answer, ranking(direct));
  EXPECT_NE(answer.find("192.168.1.9"), std::string::npos);
  direct->release();
}

}  // namespace
