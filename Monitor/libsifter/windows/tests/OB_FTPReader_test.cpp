// The FTP reader end to end: connections written through the archive writer and replayed, or
// handed live, and counted into every matching server, its subsets and the network groups; the
// bin rule that sets it apart from the HTTP reader; a window move; and the FTP recordings (the
// project's own and the shared traces) replayed through the capture engine's road into the reader, against tshark.
#include "windows/OB_FTPReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../../../libgrabber/bench/Road.h"
#include "FTPTestSupport.h"
#include "FrameBuilder.h"
#include "TempDir.h"
#include "Tshark.h"
#include "archive/OB_ArchiveWriter.h"
#include "stats/OB_IPTracker.h"
#include "windows/OB_HTTPReader.h"

namespace {

using ftp_test::connection;
using ftp_test::kClientA;
using ftp_test::kClientB;
using ftp_test::server;
using sifter_test::ip;

class OB_FTPReaderTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kBins = 4;
  static constexpr uint32_t kBinSize = 500;
  OB_FTPReaderTest()
      : base(static_cast<uint32_t>(time(nullptr))),
        config(ftp_test::makeConfig(2, 1, 1)),
        window(config.get(), base - 1000, kBins, kBinSize) {
    std::strcpy(config->databaseDir, tables.dir().path().c_str());
    ftp_test::oneNet(config->xSubSets[0], ip(192, 168, 1, 0));  // client A only
    config->xSubSets[0]->acceptMatching = 1;
    ftp_test::oneNet(config->networkGroups[0], ip(10, 0, 0, 0));  // the servers
    stats_test::knownNames() = {{server(0), "ftp.site"}};
  }
  ~OB_FTPReaderTest() override { obRelease(reader); }

  void archive(const std::vector<OB_FTPProtocol*>& records) {
    auto* writer = new OB_ArchiveWriter(nullptr, config->databaseDir, "ftp", "", "", 0);
    for (OB_FTPProtocol* record : records) {
      writer->processObject(record);
      record->release();
    }
    writer->release();
  }
  void replay() {
    reader = new OB_FTPReader(config.get(), window.get());
    ASSERT_EQ(reader->init(), 0);
    ASSERT_EQ(reader->start(), 0);
    ASSERT_EQ(reader->join(nullptr, 0), 0);
  }
  void live(OB_FTPProtocol* record) {
    if (reader == nullptr) {
      reader = new OB_FTPReader(config.get(), window.get());
      reader->init();
    }
    EXPECT_EQ(obQuery<OB_Processor>(reader)->processObject(record), 0);
    record->release();
  }
  FTPServerStatsModules_t* modules(int serverIndex, int subset = 0) {
    FTPServerSpace_t& space = reader->servers[serverIndex];
    return subset == 0 ? &space.modules : &space.xModules[subset - 1];
  }
  uint64_t total(const statsCounterList_t& list, const char* name) {
    const statsCounter_t* entry = statsList_find(const_cast<statsCounterList_t*>(&list), name);
    return entry != nullptr ? stats_sum(entry->counts, list.numOfBins) : 0;
  }

  stats_test::NameTables tables;
  uint32_t base;
  std::unique_ptr<OB_AEngineConfig> config;
  stats_test::Window window;
  OB_FTPReader* reader = nullptr;
};

TEST_F(OB_FTPReaderTest, ReplaysTheWindowIntoServersSubsetsAndGroups) {
  const uint32_t ago = base - 1000, now = base + 1000;
  archive({connection(ago - 1, kClientA, server(0), {{"early"}}),
           connection(ago, kClientA, server(0), {{"a"}, {"b", false, 0}}),
           connection(ago + 600, kClientB, server(0), {{"a"}}),
           connection(ago + 700, kClientA, server(0)),
           connection(ago + 800, kClientA, ip(10, 0, 0, 99), {{"z"}}),
           connection(now, kClientA, server(0), {{"late"}})});
  replay();
  EXPECT_EQ(reader->getReplayCount(), 4u);
  EXPECT_EQ(reader->serverStreamsReceived, 4u);
  EXPECT_EQ(reader->serverStreamsProcessed, 3u);
  EXPECT_EQ(reader->serverStreamsRejected, 1u);
  EXPECT_EQ(reader->netgrpStreamsProcessed, 4u);

  FTPServerStatsModules_t* all = modules(0);
  EXPECT_EQ(total(all->trnsfrData.from, "All FROM Server"), 2u);
  EXPECT_EQ(total(all->trnsfrData.from, "a"), 2u);
  EXPECT_EQ(total(all->abortsData.to, "b"), 1u);
  EXPECT_EQ(total(all->trnsfrData.from, "early") + total(all->trnsfrData.from, "late") +
                total(all->trnsfrData.from, "z"),
            0u);
  // A connection without transfers still counts in the connection figures.
  EXPECT_EQ(stats_sum(all->networkData.server.count, kBins), 3u);
  EXPECT_EQ(stats_sum(all->networkData.uniqueIPs, kBins), 2u);
  // Each connection counts once for its client.
  OB_IPTracker* tracker = reader->servers[0].ipTracker;
  EXPECT_EQ(tracker->getAddressCount(), 2u);
  ASSERT_NE(tracker->findRecord(kClientA), nullptr);
  EXPECT_EQ(tracker->findRecord(kClientA)->count, 2u);
  // The subset holds client A: its one sent transfer.
  EXPECT_EQ(total(modules(0, 1)->trnsfrData.from, "All FROM Server"), 1u);
  EXPECT_EQ(reader->servers[1].ipTracker->getAddressCount(), 0u);

  // The servers' group: every transfer came from outside, four of them, one to an unwatched
  // server.
  FTPNetworkGroup_t& group = reader->netGroups[0];
  EXPECT_EQ(stats_sum(group.xData.all, kBins), 4u);
  EXPECT_EQ(stats_sum(group.xData.out2in, kBins), 4u);
  EXPECT_EQ(total(group.serversSeenData.servers, "ftp.site"), 3u);
  EXPECT_EQ(total(group.serversSeenData.servers, "10.0.0.99"), 1u);
}

// A window whose bins all lie before any time.
class NegativeWindow : public OB_IndexChanger {
 public:
  int calcIndex(const uint32_t* /*xTime*/) override { return -1; }
};

TEST(OB_FTPReaderBins, ANegativeBinIsRejectedButNotReceivedUnlikeHTTP) {
  stats_test::NameTables tables;
  auto config = ftp_test::makeConfig(1);
  config->numOfHTTPServers = 1;
  delete[] config->httpServers;
  config->httpServers = stats_test::newArray<OB_HTTPServer>(1);
  config->httpServers[0] = OB_HTTPServer::create();
  config->httpServers[0]->setIPAddress(server(0));
  timeWindow_t record = {};
  record.windowType = OB_IndexChanger::kStaticWindow;
  record.staticAgoTime = 1000;
  record.staticNowTime = 2000;
  record.staticNumOfBins = 2;
  auto* window = new NegativeWindow();
  window->setConfig(config.get());
  window->setTimeWindow(&record);
  ASSERT_EQ(window->init(), 0);

  auto* ftp = new OB_FTPReader(config.get(), window);
  ftp->init();
  OB_FTPProtocol* connection = ftp_test::connection(1500, kClientA, server(0), {{"a"}});
  ftp->processObject(connection);
  connection->release();
  EXPECT_EQ(ftp->serverStreamsReceived + ftp->netgrpStreamsReceived, 0u);
  EXPECT_EQ(ftp->serverStreamsRejected, 1u);
  EXPECT_EQ(ftp->netgrpStreamsRejected, 1u);
  EXPECT_EQ(ftp->servers[0].ipTracker->getAddressCount(), 0u);

  auto* http = new OB_HTTPReader(config.get(), window);
  http->init();
  auto* page = new OB_HTTPProtocol(1, 4);
  page->connTime = 1500;
  page->serverIP = server(0);
  page->serverPort = 80;
  http->processObject(page);
  page->release();
  EXPECT_EQ(http->serverStreamsReceived, 1u);
  EXPECT_EQ(http->serverStreamsRejected, 1u);

  http->release();
  ftp->release();
  window->release();
}

TEST_F(OB_FTPReaderTest, ClaimsTheSessionsOfItsServersOnly) {
  reader = new OB_FTPReader(config.get(), window.get());
  reader->init();
  EXPECT_EQ(reader->isMatch(server(0), 21), 1);
  EXPECT_EQ(reader->isMatch(server(1), 21), 1);
  EXPECT_EQ(reader->isMatch(server(0), 80), 0);
  EXPECT_EQ(reader->isMatch(ip(10, 0, 0, 99), 21), 0);
  // Every record of the archive is read into an object of its own.
  OB_Data* first = reader->createProtocol();
  OB_Data* second = reader->createProtocol();
  EXPECT_NE(first, second);
  EXPECT_NE(obQuery<OB_FTPProtocol>(first), nullptr);
  first->release();
  second->release();
}

TEST_F(OB_FTPReaderTest, AWindowMoveStartsTheCountsOver) {
  archive({connection(base - 500, kClientA, server(0), {{"a"}})});
  replay();
  live(connection(base, kClientA, server(0), {{"a"}}));
  EXPECT_EQ(total(modules(0)->trnsfrData.from, "a"), 2u);
  window.record()->staticAgoTime = base;
  ASSERT_EQ(window.get()->init(), 0);
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    reader->reset();
    reader->init();
    reader->start();
  }
  ASSERT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(total(modules(0)->trnsfrData.from, "a"), 0u);
  EXPECT_EQ(reader->serverStreamsReceived, 0u);
  live(connection(base + 10, kClientA, server(0), {{"a"}}));
  EXPECT_EQ(total(modules(0)->trnsfrData.from, "a"), 1u);
}

// What tshark reads of the FTP control connections of one trace: per connection its client
// and server, and its RETR and STOR commands with their reply codes; the figures the reader
// must come to.
struct TsharkFTP {
  struct Command {
    std::string name, argument;
    std::vector<int> replies;
  };
  struct Connection {
    std::string client, server;
    std::vector<Command> commands;
  };
  std::map<std::string, Connection> connections;  // by TCP stream
  std::set<std::string> servers;
  // Expected: files sent (RETR) and received (STOR) that completed (226) or aborted (426), by
  // file name, and the connections per client.
  std::map<std::string, uint64_t> sent, received, sentAborted, receivedAborted;
  std::map<std::string, uint32_t> clients;
};

TsharkFTP readFTPWithTshark(const std::string& path) {
  TsharkFTP view;
  for (const auto& row : corrana_test::tsharkFields(
           path, "ftp",
           "-e tcp.stream -e ip.src -e ip.dst -e tcp.srcport -e tcp.dstport "
           "-e ftp.request.command -e ftp.request.arg -e ftp.response.code")) {
    if (row.size() < 8) continue;
    if (row[4] == "21") {
      TsharkFTP::Connection& c = view.connections[row[0]];
      c.client = row[1];
      c.server = row[2];
      if (!row[5].empty()) c.commands.push_back({row[5], row[6], {}});
    } else if (row[3] == "21" && !row[7].empty()) {
      TsharkFTP::Connection& c = view.connections[row[0]];
      if (c.commands.empty()) continue;  // the greeting
      for (size_t at = 0; at < row[7].size();) {
        size_t comma = row[7].find(',', at);
        if (comma == std::string::npos) comma = row[7].size();
        c.commands.back().replies.push_back(atoi(row[7].substr(at, comma - at).c_str()));
        at = comma + 1;
      }
    }
  }
  for (const auto& [stream, c] : view.connections) {
    view.servers.insert(c.server);
    ++view.clients[c.client];
    // The analyser's transfers: a refused command (first reply 500 or more) is none, the same
    // file again right after the last transfer is taken for a retry of it, and a transfer is
    // complete when a 2xx reply (226) closed it, else aborted (426, or no reply at all).
    std::string last;
    for (const TsharkFTP::Command& command : c.commands) {
      if (command.name != "RETR" && command.name != "STOR") continue;
      if (!command.replies.empty() && command.replies.front() >= 500) continue;
      std::string file = command.argument.substr(command.argument.rfind('/') + 1);
      if (file.empty() || file == last) continue;
      last = file;
      const bool done = std::any_of(command.replies.begin(), command.replies.end(),
                                    [](int code) { return code >= 200 && code < 300; });
      auto& counts = command.name == "RETR" ? (done ? view.sent : view.sentAborted)
                                            : (done ? view.received : view.receivedAborted);
      ++counts[file];
    }
  }
  return view;
}

std::map<std::string, uint64_t> entries(const statsCounterList_t& list) {
  std::map<std::string, uint64_t> out;
  for (const statsCounter_t* e = list.head != nullptr ? list.head->next : nullptr; e != nullptr;
       e = e->next)
    out[e->name] = stats_sum(e->counts, list.numOfBins);
  return out;
}

uint64_t sum(const std::map<std::string, uint64_t>& counts) {
  uint64_t total = 0;
  for (const auto& [name, count] : counts) total += count;
  return total;
}

// The reader's figures over all its servers against tshark's.
void expectFigures(OB_FTPReader* reader, const TsharkFTP& expected) {
  uint64_t sent = 0, received = 0, sentAborted = 0, receivedAborted = 0;
  std::map<std::string, uint64_t> sentFiles, receivedFiles;
  std::map<std::string, uint32_t> clients;
  for (uint16_t i = 0; i < reader->numServers; ++i) {
    FTPServerStatsModules_t& set = reader->servers[i].modules;
    sent += stats_sum(set.trnsfrData.from.head->counts, 1);
    received += stats_sum(set.trnsfrData.to.head->counts, 1);
    sentAborted += stats_sum(set.abortsData.from.head->counts, 1);
    receivedAborted += stats_sum(set.abortsData.to.head->counts, 1);
    for (const auto& [file, count] : entries(set.trnsfrData.from)) sentFiles[file] += count;
    for (const auto& [file, count] : entries(set.trnsfrData.to)) receivedFiles[file] += count;
    for (const auto& [client, connections] : expected.clients) {
      OB_IPTrackerHash* record =
          reader->servers[i].ipTracker->findRecord(corrana_test::ipv4Address(client.c_str()));
      if (record != nullptr) clients[client] += record->count;
    }
  }
  EXPECT_EQ(reader->serverStreamsProcessed, expected.connections.size());
  EXPECT_EQ(sent, sum(expected.sent));
  EXPECT_EQ(received, sum(expected.received));
  EXPECT_EQ(sentAborted, sum(expected.sentAborted));
  EXPECT_EQ(receivedAborted, sum(expected.receivedAborted));
  EXPECT_EQ(sentFiles, expected.sent);
  EXPECT_EQ(receivedFiles, expected.received);
  EXPECT_EQ(clients, expected.clients);
}

TEST(OB_FTPReaderTraces, CountsTheTransfersAndClientsTsharkSeesLiveAndFromTheArchive) {
  if (!corrana_test::haveTshark()) GTEST_SKIP() << "tshark is not installed";
  // The project's own FTP recordings, and the shared ones when they are there.
  const std::vector<std::filesystem::path> traces = corrana_test::traceFiles("ftp");
  ASSERT_FALSE(traces.empty());

  uint64_t transfersSeen = 0;
  for (const std::filesystem::path& trace : traces) {
    SCOPED_TRACE(trace.filename().string());
    const TsharkFTP expected = readFTPWithTshark(trace.string());
    transfersSeen += sum(expected.sent) + sum(expected.received) + sum(expected.sentAborted) +
                     sum(expected.receivedAborted);
    corrana_test::TempDir install;
    mkdir((install.path() + "/admin").c_str(), 0755);
    mkdir((install.path() + "/logs").c_str(), 0755);
    mkdir((install.path() + "/db").c_str(), 0755);
    setenv("OB_INSTALLDIR", install.path().c_str(), 1);
    std::ofstream(install.path() + "/admin/adapters.cfg") << "adapter: file:" << trace.string()
                                                          << "\n";

    // One watched FTP server per server tshark saw; one bin from long before the trace to now.
    auto config = ftp_test::makeConfig(static_cast<int>(expected.servers.size()));
    std::set<road::Server> watched;
    int i = 0;
    for (const std::string& address : expected.servers) {
      config->ftpServers[i++]->setIPAddress(corrana_test::ipv4Address(address.c_str()));
      watched.insert({corrana_test::ipv4Address(address.c_str()), 21});
    }
    std::snprintf(config->databaseDir, sizeof config->databaseDir, "%s/db", install.path().c_str());
    stats_test::Window window(config.get(), 1, 1, static_cast<uint32_t>(time(nullptr)) + 3600);

    auto* live = new OB_FTPReader(config.get(), window.get());
    live->init();
    auto* writer = new OB_ArchiveWriter(nullptr, config->databaseDir, "ftp", "", "", 0);
    {
      road::Road road({}, watched, false);
      road.ftp->append(live);
      road.ftp->append(writer);
      ASSERT_TRUE(road.run());
    }
    writer->release();  // closes the archive file
    expectFigures(live, expected);

    auto* replayed = new OB_FTPReader(config.get(), window.get());
    ASSERT_EQ(replayed->init(), 0);
    ASSERT_EQ(replayed->start(), 0);
    ASSERT_EQ(replayed->join(nullptr, 0), 0);
    EXPECT_EQ(replayed->getReplayCount(), expected.connections.size());
    expectFigures(replayed, expected);
    replayed->release();
    live->release();
    OB_Log::reset();
  }
  EXPECT_GT(transfersSeen, 0u);
}

}  // namespace
