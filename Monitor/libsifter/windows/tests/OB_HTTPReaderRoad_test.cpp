// The HTTP reader on the live road: each HTTP recording (the project's own and the shared traces)
// is replayed through the capture engine's packet manager, stream builder and HTTP consumer, with the reader as the consumer's listener,
// and the hits, methods, content types and errors it counted are compared with what tshark reads
// from the same trace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../../../libgrabber/bench/Road.h"
#include "FrameBuilder.h"
#include "NameTablesSupport.h"
#include "OB_Log.h"
#include "Tshark.h"
#include "config/OB_HTTPServer.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "windows/OB_HTTPReader.h"

namespace {

using corrana_test::haveTshark;
using corrana_test::tsharkMessages;

// tshark's view of the requests and responses on connections whose SYN was captured (the road
// follows no other), keyed by method, content type and error.
struct Expected {
  std::set<road::Server> servers;
  uint64_t requests = 0;
  size_t requestsWithoutVersion = 0;
  std::map<std::string, uint64_t> methods;
  std::map<std::string, uint64_t> types;  // of responses that carry one, parameters cut
  uint64_t errors = 0;
};

bool isError(const std::string& code) {
  return !(code == "200" || code == "201" || code == "202" || code == "203" || code == "304");
}

// One tshark pass: the SYNs (a row without request or response fields) come before the
// requests of their stream.
Expected readWithTshark(const std::string& path) {
  Expected view;
  std::set<std::string> opened;
  for (const auto& row : tsharkMessages(path, "http or (tcp.flags.syn==1 and tcp.flags.ack==0)",
                                      "-e tcp.stream -e ip.dst -e tcp.dstport "
                                      "-e http.request.method -e http.request.version "
                                      "-e http.response.code -e http.content_type")) {
    if (row.size() < 7) continue;
    const std::string& stream = row[0];
    const std::string& method = row[3];
    const std::string& code = row[5];
    if (method.empty() && code.empty()) {
      opened.insert(stream);
      continue;
    }
    if (opened.count(stream) == 0) continue;
    if (!method.empty()) {
      if (row[4].empty()) {
        ++view.requestsWithoutVersion;
        continue;
      }
      view.servers.insert({corrana_test::ipv4Address(row[1].c_str()),
                           static_cast<uint16_t>(atoi(row[2].c_str()))});
      ++view.requests;
      ++view.methods[method];
    } else {
      // An interim response (100 Continue) gives way to the final one on the road.
      if (code[0] == '1' && code != "101") continue;
      if (isError(code)) ++view.errors;
      if (!row[6].empty()) {
        std::string type = row[6].substr(0, row[6].find(';'));
        while (!type.empty() && type.back() == ' ') type.pop_back();
        ++view.types[type];
      }
    }
  }
  return view;
}

uint64_t total(const statsCounter_t* entry, uint32_t bins) { return stats_sum(entry->counts, bins); }

TEST(OB_HTTPReaderRoad, CountsWhatTsharkSeesOnTheRecordings) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed";
  // The project's own HTTP recordings, and the shared traces when they are there.
  std::vector<std::filesystem::path> traces;
  for (const std::filesystem::path& trace : corrana_test::traceFiles())
    if (trace.filename().string().rfind("ftp", 0) != 0) traces.push_back(trace);

  uint64_t compared = 0;
  for (const std::filesystem::path& trace : traces) {
    SCOPED_TRACE(trace.filename().string());
    Expected expected = readWithTshark(trace.string());
    // Request lines without a version are the parser's to judge; such traces are left out.
    if (expected.requests == 0 || expected.requestsWithoutVersion != 0) continue;

    stats_test::NameTables tables;
    mkdir((tables.dir().path() + "/admin").c_str(), 0755);
    mkdir((tables.dir().path() + "/logs").c_str(), 0755);
    std::ofstream(tables.dir().file("admin/adapters.cfg")) << "adapter: file:" << trace.string()
                                                           << "\n";
    OB_AEngineConfig config;
    std::strcpy(config.databaseDir, tables.dir().path().c_str());
    config.numOfHTTPServers = static_cast<uint16_t>(expected.servers.size());
    config.httpServers = new OB_HTTPServer*[expected.servers.size()];
    int i = 0;
    for (const road::Server& server : expected.servers) {
      config.httpServers[i] = OB_HTTPServer::create();
      config.httpServers[i]->setIPAddress(server.first);
      config.httpServers[i]->setPort(server.second);
      ++i;
    }
    // One bin over every time a trace can have.
    stats_test::Window window(&config, 1, 1, 0xF0000000u);
    auto* reader = new OB_HTTPReader(&config, window.get());
    reader->init();
    {
      road::Road road(expected.servers, {}, false);
      road.http->append(reader);
      ASSERT_TRUE(road.run());
    }

    uint64_t hits = 0, errors = 0;
    std::map<std::string, uint64_t> methods, types;
    for (uint16_t s = 0; s < reader->numServers; ++s) {
      OB_HTTPServerStatsModules* set = reader->servers[s]->modules;
      hits += stats_sum(set->hitData.hits, 1);
      for (const statsCounter_t* e = set->hitData.methods.head; e != nullptr; e = e->next)
        methods[e->name] += total(e, 1);
      for (const statsCounter_t* e = set->hitData.from.head->next; e != nullptr; e = e->next)
        types[e->name] += total(e, 1);
      errors += total(set->errorData.types.head, 1);
    }
    EXPECT_EQ(hits, expected.requests);
    EXPECT_EQ(reader->serverStreamsRejected, 0u);
    // The method list starts with "GET" whether or not one came.
    for (auto at = methods.begin(); at != methods.end();) at = at->second == 0 ? methods.erase(at) : ++at;
    EXPECT_EQ(methods, expected.methods);
    EXPECT_EQ(errors, expected.errors);
    // A response without a Content-Type gets the type its URI's extension names, so every type
    // tshark reads is counted at least as often, and none more often than there were hits.
    uint64_t typed = 0;
    for (const auto& [type, count] : types) typed += count;
    EXPECT_LE(typed, hits);
    for (const auto& [type, count] : expected.types)
      EXPECT_GE(types[type], count) << type;
    compared += hits;
    reader->release();
    OB_Log::reset();
  }
  EXPECT_GT(compared, 0u);
}

}  // namespace
