// The resources-served console commands (1025, 1026, 1030 to 1032, 1034) over a socket pair, on
// statistics fed with hand-built connections: reply bytes and the requests they refuse.
#include "http/ResourcesServedCommands.h"

#include <gtest/gtest.h>

#include <string>

#include "StatsTestSupport.h"

using namespace stats_test;
using corrana_test::wireU16;

namespace {

constexpr uint32_t kA = ip(192, 168, 1, 7);
constexpr uint32_t kB = ip(172, 16, 0, 9);

// Server 0 of a window of four bins (host www.example.com):
//   bin 0, A: /index.html (a visit begins), /logo.png referred by the site itself;
//   bin 1, B: /index.html (a visit begins), /gone.html 404 from http://other.test/links;
//   bin 2, A: /gone.html 404 from http://other.test/links, /gone.html 404 without a referer.
class ResourcesServed : public FedHandlerTest {
 protected:
  ResourcesServed() : FedHandlerTest(4) {}
  void SetUp() override {
    FedHandlerTest::SetUp();
    knownNames() = {{kA, "pc7.example.org"}};
    visit(0, kA, {xact("/index.html"), xact("/logo.png", "image/png", "200", kSite)});
    visit(1, kB, {xact("/index.html"), xact("/gone.html", "text/html", "404", kOther)});
    visit(2, kA,
          {xact("/gone.html", "text/html", "404", kOther), xact("/gone.html", "text/html", "404")});
  }
  static std::string resource(const std::string& uri, const std::string& type, uint32_t total) {
    return name(uri) + name(type) + wireU32(total);
  }
  static constexpr const char* kSite = "http://www.example.com/";
  static constexpr const char* kOther = "http://other.test/links";
  // The content types seen, by hits: "All FROM Server" 6, "text/html" 5, "image/png" 1.
  const std::string types =
      wireU32(3) + name("All FROM Server") + name("text/html") + name("image/png");
};

TEST_F(ResourcesServed, BreakdownEchoesNAndTheFilterListsTheTypesAndTheLargest) {
  EXPECT_EQ(
      run(hcommand_HTTPServerResourcesServedBreakdown, wireS16(-1) + wireLine("All") + wireLine(""))
          .bytes,
      wireU32(0xFFFFFFFF) + name("All") + types + wireU32(3) +
          resource("/gone.html", "text/html", 3) + resource("/index.html", "text/html", 2) +
          resource("/logo.png", "image/png", 1));
  EXPECT_EQ(
      run(hcommand_HTTPServerResourcesServedBreakdown,
          wireS16(1) + wireLine("text/html") + wireLine(""))
          .bytes,
      wireU32(1) + name("text/html") + types + wireU32(1) + resource("/gone.html", "text/html", 3));
  EXPECT_EQ(run(hcommand_HTTPServerResourcesServedBreakdown,
                wireS16(9) + wireLine("All") + wireLine("og"))
                .bytes,
            wireU32(9) + name("All") + types + wireU32(1) + resource("/logo.png", "image/png", 1));
  // N of 0 lists nothing, but the header goes out whole.
  EXPECT_EQ(
      run(hcommand_HTTPServerResourcesServedBreakdown, wireS16(0) + wireLine("All") + wireLine(""))
          .bytes,
      wireU32(0) + name("All") + types + wireU32(0));
}

TEST_F(ResourcesServed, ClientsOfAResourceOrOfItsEntryPointsFirstSeenFirst) {
  auto ask = [&](uint16_t kind, const std::string& type, const std::string& uri) {
    return run(hcommand_HTTPServerResourcesServedIP, wireU16(kind) + wireLine(type) + wireLine(uri))
        .bytes;
  };
  // Per client: its requests of the resource, then of the server.
  const std::string b = name("172.16.0.9") + name("172.16.0.9") + wireU32(1) + wireU32(2);
  const std::string a = name("192.168.1.7") + name("pc7.example.org") + wireU32(2) + wireU32(4);
  EXPECT_EQ(ask(0, "text/html", "/gone.html"), wireU32(2) + b + a);
  EXPECT_EQ(ask(1, "text/html", "/gone.html"), wireU32(2) + b + a);
  // The image was asked for, but never began a visit.
  EXPECT_EQ(ask(0, "image/png", "/logo.png"),
            wireU32(1) + name("192.168.1.7") + name("pc7.example.org") + wireU32(1) + wireU32(4));
  EXPECT_EQ(ask(1, "image/png", "/logo.png"), wireU32(0));
  EXPECT_EQ(ask(0, "text/html", "/never"), wireU32(0));
}

TEST_F(ResourcesServed, SeriesOfHitsAndOfEntryPoints) {
  EXPECT_EQ(run(hcommand_HTTPServerResourcesServedHitSeries,
                wireLine("/gone.html") + wireLine("text/html"))
                .bytes,
            name("/gone.html") + windowHead() + values({0, 1, 2, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerResourcesServedEntryPointSeries,
                wireLine("/index.html") + wireLine("text/html"))
                .bytes,
            name("/index.html") + windowHead() + values({1, 1, 0, 0}));
  // A pair never seen, or never an entry point: zeros under the asked URI.
  EXPECT_EQ(
      run(hcommand_HTTPServerResourcesServedHitSeries, wireLine("/never") + wireLine("x/y")).bytes,
      name("/never") + windowHead() + values({0, 0, 0, 0}));
  EXPECT_EQ(run(hcommand_HTTPServerResourcesServedEntryPointSeries,
                wireLine("/logo.png") + wireLine("image/png"))
                .bytes,
            name("/logo.png") + windowHead() + values({0, 0, 0, 0}));
}

TEST_F(ResourcesServed, EntryPointsAndTheReferringPagesOfTheirErrors) {
  EXPECT_EQ(run(hcommand_HTTPServerEntryPointBreakdown, wireS16(5) + wireLine("")).bytes,
            wireU32(5) + wireU32(2) + resource("/gone.html", "text/html", 3) +
                resource("/index.html", "text/html", 2));
  EXPECT_EQ(run(hcommand_HTTPServerEntryPointBreakdown, wireS16(0) + wireLine("")).bytes,
            wireU32(0) + wireU32(0));
  // Each referring page once, in order of its first error, with its count.
  EXPECT_EQ(run(hcommand_HTTPServerRefererErrorBreakdown, wireS16(5) + wireLine("")).bytes,
            wireU32(1) + name("/gone.html") + name("text/html") + wireU32(3) + wireU32(2) +
                entry(kOther, 2) + entry("", 1));
  EXPECT_EQ(run(hcommand_HTTPServerRefererErrorBreakdown, wireS16(5) + wireLine("index")).bytes,
            wireU32(0));
}

TEST_F(ResourcesServed, ASubsetServerOrRequestBeyondTheWindowsFails) {
  // Subset 1 holds everyone; the low 16 bits name it.
  EXPECT_EQ(
      run(hcommand_HTTPServerEntryPointBreakdown, wireS16(5) + wireLine(""), 0, 0x10001).bytes,
      run(hcommand_HTTPServerEntryPointBreakdown, wireS16(5) + wireLine("")).bytes);
  const std::string n = wireS16(5) + wireLine("");
  expectFailure(hcommand_HTTPServerEntryPointBreakdown,
                "hcommand_HTTPServerResourcesServedBreakdown", n, 0, 2);
  expectFailure(hcommand_HTTPServerRefererErrorBreakdown,
                "hcommand_HTTPServerRefererErrorBreakdown", n, 2);
  expectFailure(hcommand_HTTPServerResourcesServedIP, "hcommand_HTTPServerResourcesServedIP",
                wireU16(0) + wireLine("text/html") + wireLine("/"), -1);
  expectFailure(hcommand_HTTPServerResourcesServedEntryPointSeries,
                "hcommand_HTTPServerResourcesServedSeries", wireLine("/") + wireLine("text/html"),
                0, 2);
  // A MIME type line of 1026 holds at most 255 characters.
  expectFailure(hcommand_HTTPServerResourcesServedIP, "hcommand_HTTPServerResourcesServedIP",
                wireU16(0) + wireLine(std::string(256, 't')) + wireLine("/"));
  EXPECT_EQ(run(hcommand_HTTPServerResourcesServedIP,
                wireU16(0) + wireLine(std::string(255, 't')) + wireLine("/"))
                .bytes,
            wireU32(0));
}

}  // namespace
