// Helpers for the FTP statistics tests: a configuration with FTP servers (10.0.0.21, .22, ...),
// transaction subsets and network groups, hand-built FTP connections with their transfers, and
// one window's FTP statistics fed as the FTP reader feeds them, with a handler runner over a
// socket pair.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NameTablesSupport.h"
#include "StatsTestSupport.h"
#include "config/OB_FTPServer.h"
#include "ftp/OB_FTPAnalysisStats.h"
#include "ftp/OB_FTPProtocol.h"
#include "ftp/OB_FTPftranLink.h"

namespace ftp_test {

using sifter_test::ip;

constexpr uint32_t kClientA = ip(192, 168, 1, 7);
constexpr uint32_t kClientB = ip(172, 16, 0, 9);

constexpr uint32_t server(int i) { return ip(10, 0, 0, 21 + i); }

// `servers` FTP servers named ftp0, ftp1, ..., `subsets` subsets that accept everyone and
// `groups` network groups without nets, no HTTP server.
inline std::unique_ptr<OB_AEngineConfig> makeConfig(int servers, int subsets = 0, int groups = 0) {
  std::unique_ptr<OB_AEngineConfig> config = stats_test::makeConfig(0, subsets, groups);
  config->numOfFTPServers = static_cast<uint16_t>(servers);
  config->ftpServers = stats_test::newArray<OB_FTPServer>(servers);
  for (int i = 0; i < servers; ++i) {
    config->ftpServers[i] = OB_FTPServer::create();
    config->ftpServers[i]->setIPAddress(server(i));
    config->ftpServers[i]->setName(("ftp" + std::to_string(i)).c_str());
  }
  return config;
}

// One net of 24 bits into a group or subset record.
template <class Record>
void oneNet(Record* record, uint32_t network) {
  record->numOfNets = 1;
  record->exampleAddress[0] = record->network[0] = network;
  record->maskAddress[0] = ip(255, 255, 255, 0);
}

struct Transfer {
  std::string file;
  bool fromServer = true;  // a RETR; else a STOR
  int32_t completed = 1;
};

struct Times {
  int32_t server = 0;
  int32_t network = 0;
};

// A new connection (one reference for the caller) at `when` with its transfers.
inline OB_FTPProtocol* connection(uint32_t when, uint32_t client, uint32_t serverAddress,
                                  const std::vector<Transfer>& transfers = {}, Times times = {}) {
  OB_FTPProtocol* p = OB_FTPProtocol::create();
  p->connTime = when;
  p->clientIP = client;
  p->serverIP = serverAddress;
  p->serverPort = 21;
  p->serverRespTime = times.server;
  p->networkRespTime = times.network;
  for (const Transfer& t : transfers) {
    p->addFTPftranLink(new OB_FTPftranLink("user", t.fromServer ? serverAddress : client,
                                           t.fromServer ? client : serverAddress, "/pub/",
                                           t.file.c_str(), t.completed));
  }
  return p;
}

using Handler = int (*)(OB_FTPAnalysisStats*, int, OB_AEngineTCPRequest*);

// One window of `bins` bins of the test window's size over a configuration of two servers, one
// subset and two groups, with the process log open and the name tables over a fake reverse
// look-up.
class FTPStatsTest : public sifter_test::QuitTest {
 protected:
  explicit FTPStatsTest(uint32_t bins = 3) : window_(bins), config_(makeConfig(2, 1, 2)) {}
  void SetUp() override {
    QuitTest::SetUp();
    startLog();
    tables_.emplace();
  }
  void TearDown() override {
    stats_.reset();
    tables_.reset();
    QuitTest::TearDown();
  }
  // Builds the statistics from the configuration as it is now.
  OB_FTPAnalysisStats* stats() {
    if (stats_ == nullptr) {
      stats_ = std::make_unique<OB_FTPAnalysisStats>(config_.get(), window_.get());
      stats_->init();
    }
    return stats_.get();
  }
  // Counts a connection in bin as the FTP reader does, and releases it.
  void count(int32_t bin, OB_FTPProtocol* protocol) {
    ftpNetInfo_t info = {bin, 0, 0};
    stats()->procServerSpacePO(&info, protocol);
    stats()->procNetworkGroupPO(&info, protocol);
    protocol->release();
  }
  static uint32_t at(int32_t bin) { return stats_test::kAgo + bin * stats_test::kBinSize; }

  struct Reply {
    int result;
    std::string bytes;
  };
  Reply run(Handler handler, const std::string& fields = "", int32_t item = 0, int32_t subset = 0,
            OB_User* user = nullptr) {
    stats_test::SocketPair pair;
    pair.feed(fields);
    OB_AEngineTCPRequest r = stats_test::request(item, subset);
    r.userRecord = user;
    const int result = handler(stats(), pair.near(), &r);
    return Reply{result, pair.drain()};
  }
  // A handler that must fail: its problem line is logged and nothing is sent.
  void expectFailure(Handler handler, const char* name, const std::string& fields = "",
                     int32_t item = 0, int32_t subset = 0) {
    Reply reply = run(handler, fields, item, subset);
    EXPECT_EQ(reply.result, -1);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_NE(logText().find(std::string(name) + ": Problem getting or sending info."),
              std::string::npos)
        << logText();
  }
  // The window's nowTime, agoTime and bin count as a reply sends them.
  std::string windowHead() {
    return stats_test::wireS32(static_cast<int32_t>(window_.get()->getNowTime())) +
           stats_test::wireS32(static_cast<int32_t>(window_.get()->getAgoTime())) +
           stats_test::wireU32(window_.get()->getNumOfBins());
  }
  // The series form's head.
  std::string seriesHead(const std::string& name) { return stats_test::name(name) + windowHead(); }

  stats_test::TestWindow window_;
  std::unique_ptr<OB_AEngineConfig> config_;
  std::optional<stats_test::NameTables> tables_;
  std::unique_ptr<OB_FTPAnalysisStats> stats_;
};

}  // namespace ftp_test
