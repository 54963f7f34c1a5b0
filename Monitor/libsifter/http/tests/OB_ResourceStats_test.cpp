// Resources served: counters per (URI, MIME type), entry points, referer errors, the clients'
// counts and paths, and the breakdowns and series the console reads.
#include "http/OB_ResourceStats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NameTablesSupport.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "SifterTestSupport.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "stats/OB_IPTracker.h"

namespace {

using sifter_test::ip;

class OB_ResourceStatsTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kAgo = 2000000;
  OB_ResourceStatsTest() : window(&config, kAgo, 4, 100) {
    protocol = new OB_HTTPProtocol(1, 8);
    tracker = new OB_IPTracker(window.get());
  }
  ~OB_ResourceStatsTest() override {
    obRelease(stats);
    tracker->release();
    protocol->release();
    setOptions(nullptr);
    obRelease(options);
  }

  void make(int tracksClients = 1) { stats = new OB_ResourceStats(window.get(), tracksClients); }
  void option(const char* value) {
    options = new OB_NamedStringList();
    options->setOwner(1);
    options->append(new OB_String(value), "PathTracking");
    setOptions(options);
  }
  OB_IPTrackerHash* client(uint32_t address) {
    OB_IPTrackerHash* record = nullptr;
    tracker->procAddress(kAgo, 0, &address, &record);
    return record;
  }
  // One transaction at bin of the window, from client.
  void serve(OB_IPTrackerHash* from, int bin, const char* uri, const char* mime,
             const char* status = "200", const char* referer = "http://www.site/",
             const char* host = "www.site") {
    OB_HTTPXact xact;
    xact.req_request_uri = uri;
    xact.res_content_type = mime;
    xact.res_status_code = status;
    xact.req_referer = referer;
    xact.req_host = host;
    httpNetInfo_t info = {bin, 0, 0};
    protocol->connTime = kAgo + 100 * static_cast<uint32_t>(bin);
    stats->processTransaction(&info, protocol, &xact, from);
  }
  std::vector<std::string> rows(OB_List<OB_ResourceCounterLink>* list, int kind = 0) {
    std::vector<std::string> out;
    for (OB_ResourceCounterLink* c = list->first(); c != nullptr; c = list->next()) {
      const uint64_t total = kind == 0 ? c->getTotal() : c->getEntryPointCounts()->getTotal();
      out.push_back(std::string(c->getResource()) + " " + c->getMimeType() + " " +
                    std::to_string(total));
    }
    list->release();
    return out;
  }
  std::vector<uint32_t> series(OB_ResourceSeries* s) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < 4; ++i) out.push_back(s->getAt(i));
    s->release();
    return out;
  }

  stats_test::NameTables tables;
  OB_AEngineConfig config;
  stats_test::Window window;
  OB_HTTPProtocol* protocol = nullptr;
  OB_IPTracker* tracker = nullptr;
  OB_ResourceStats* stats = nullptr;
  OB_NamedStringList* options = nullptr;
};

TEST_F(OB_ResourceStatsTest, OneUriWithTwoMimeTypesIsTwoResourcesWithTheirOwnSeries) {
  make();
  OB_IPTrackerHash* a = client(ip(10, 0, 0, 1));
  serve(a, 0, "/logo", "text/html");
  serve(a, 2, "/logo", "image/png");
  serve(a, 2, "/logo", "image/png");
  EXPECT_EQ(stats->getCount(), 2);
  EXPECT_EQ(rows(stats->getHitBreakdown(10, "All", "")),
            (std::vector<std::string>{"/logo image/png 2", "/logo text/html 1"}));
  EXPECT_EQ(series(stats->getResourceHitSeries("/logo", "image/png")),
            (std::vector<uint32_t>{0, 0, 2, 0}));
  EXPECT_EQ(series(stats->getResourceHitSeries("/logo", "text/html")),
            (std::vector<uint32_t>{1, 0, 0, 0}));
  EXPECT_EQ(series(stats->getResourceHitSeries("/never", "text/html")),
            (std::vector<uint32_t>{0, 0, 0, 0}));
  // The names are the engine's interned copies, shared by every counter.
  EXPECT_EQ(stats->findCounter("/logo", "image/png")->getResource(),
            stats->findCounter("/logo", "text/html")->getResource());
}

TEST_F(OB_ResourceStatsTest, LookUpsFollowTheTablesOwnRemovals) {
  make();
  OB_IPTrackerHash* a = client(ip(10, 0, 0, 1));
  for (int i = 0; i < 100; ++i) serve(a, 0, ("/" + std::to_string(i)).c_str(), "text/html");
  EXPECT_EQ(stats->remove(stats->findCounter("/7", "text/html")), 0);
  EXPECT_EQ(stats->findCounter("/7", "text/html"), nullptr);
  for (int i = 0; i < 100; ++i) {
    if (i == 7) continue;
    EXPECT_NE(stats->findCounter(("/" + std::to_string(i)).c_str(), "text/html"), nullptr);
  }
  serve(a, 1, "/7", "text/html");
  EXPECT_EQ(stats->findCounter("/7", "text/html")->getTotal(), 1u);
  stats->clear();
  EXPECT_EQ(stats->findCounter("/8", "text/html"), nullptr);
}

TEST_F(OB_ResourceStatsTest, ClientsAreCountedOnceEachWithTheirRequests) {
  make();
  OB_IPTrackerHash* a = client(ip(10, 0, 0, 1));
  OB_IPTrackerHash* b = client(ip(10, 0, 0, 2));
  serve(a, 1, "/", "text/html");
  serve(b, 1, "/", "text/html");
  serve(a, 3, "/", "text/html");
  serve(a, 3, "/pic", "image/gif");
  OB_ClientList* clients = stats->findCounter("/", "text/html")->getClients();
  EXPECT_EQ(clients->getCount(), 2);
  EXPECT_EQ(clients->countOf(a), 2u);
  EXPECT_EQ(a->count, 3u);
  EXPECT_EQ(a->pageCount, 2u);
  ASSERT_NE(a->getPath(), nullptr);
  EXPECT_EQ(a->getPath()->size(), 2u);
  EXPECT_EQ(a->getPath()->back().getTime(), kAgo + 300);
  EXPECT_EQ(static_cast<OB_Object*>(a->getPath()->front().getItem()),
            static_cast<OB_Object*>(stats->findCounter("/", "text/html")));
}

TEST_F(OB_ResourceStatsTest, ASubsetsSetListsClientsButLeavesTheTrackerAlone) {
  make(0);
  OB_IPTrackerHash* a = client(ip(10, 0, 0, 1));
  serve(a, 0, "/", "text/html");
  EXPECT_EQ(stats->findCounter("/", "text/html")->getClients()->countOf(a), 1u);
  EXPECT_EQ(a->count, 0u);
  EXPECT_EQ(a->pageCount, 0u);
  EXPECT_EQ(a->getPath(), nullptr);
}

TEST_F(OB_ResourceStatsTest, EntryPointsWithErrorsCountTheirReferringPages) {
  make();
  OB_IPTrackerHash* a = client(ip(10, 0, 0, 1));
  serve(a, 0, "/gone", "text/html", "404", "");                   // entry, no referer
  serve(a, 1, "/gone", "text/html", "404", "http://x.example/");  // entry from elsewhere
  serve(a, 1, "/gone", "text/html", "404", "http://x.example/");
  serve(a, 2, "/gone", "text/html", "500");  // not an entry: this site referred
  serve(a, 2, "/fine", "text/html", "200", "");                   // entry, no error
  OB_ResourceCounterLink* gone = stats->findCounter("/gone", "text/html");
  EXPECT_EQ(gone->getEntryPointCounts()->getTotal(), 3u);
  EXPECT_EQ(gone->getRefererErrors()->getCount(), 2);
  EXPECT_EQ(gone->refererErrorTotal(), 3u);
  EXPECT_EQ(rows(stats->getRefererErrorBreakdown(5, "")),
            (std::vector<std::string>{"/gone text/html 4"}));
  EXPECT_EQ(rows(stats->getEntryPointBreakdown(5, ""), 1),
            (std::vector<std::string>{"/gone text/html 3", "/fine text/html 1"}));
  EXPECT_EQ(series(stats->getEntryPointSeries("/gone", "text/html")),
            (std::vector<uint32_t>{1, 2, 0, 0}));
  serve(a, 3, "/img", "image/gif", "200", "");
  EXPECT_EQ(series(stats->getEntryPointSeries("/img", "image/gif")),
            (std::vector<uint32_t>{0, 0, 0, 0}));
}

TEST_F(OB_ResourceStatsTest, BreakdownsFilterByTypeAndTextAndKeepTheLargestN) {
  make();
  OB_IPTrackerHash* a = client(ip(10, 0, 0, 1));
  for (int i = 0; i < 3; ++i) serve(a, 0, "/a.html", "text/html");
  serve(a, 0, "/b.html", "text/html");
  for (int i = 0; i < 2; ++i) serve(a, 0, "/c.png", "image/png");
  EXPECT_TRUE(rows(stats->getHitBreakdown(0, "All", "")).empty());
  EXPECT_EQ(rows(stats->getHitBreakdown(2, "All", "")),
            (std::vector<std::string>{"/a.html text/html 3", "/c.png image/png 2"}));
  EXPECT_EQ(rows(stats->getHitBreakdown(9, "text/html", "")),
            (std::vector<std::string>{"/a.html text/html 3", "/b.html text/html 1"}));
  EXPECT_EQ(rows(stats->getHitBreakdown(9, "All", "b.")),
            (std::vector<std::string>{"/b.html text/html 1"}));
}

TEST_F(OB_ResourceStatsTest, PathTrackingZeroKeepsPathsEmptyButCountsPages) {
  for (const char* value : {"0", "off"}) {
    option(value);
    make();
    OB_IPTrackerHash* a = client(ip(10, 0, 0, 1));
    const uint32_t pagesBefore = a->pageCount;
    serve(a, 0, "/", "text/html");
    EXPECT_EQ(stats->getPathTracking(), 0) << value;
    EXPECT_EQ(a->getPath(), nullptr) << value;
    EXPECT_EQ(a->pageCount, pagesBefore + 1) << value;
    stats->release();
    stats = nullptr;
    setOptions(nullptr);
    options->release();
    options = nullptr;
  }
  option("2");
  make();
  EXPECT_EQ(stats->getPathTracking(), 1);
}

}  // namespace
