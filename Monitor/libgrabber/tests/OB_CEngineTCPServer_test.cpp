#include "OB_CEngineTCPServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleClient.h"
#include "FileText.h"
#include "OB_CEngineTCPConnection.h"
#include "OB_CaptureEngineStats.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "SocketPair.h"
#include "TempDir.h"
#include "archive/OB_ArchiveHeader.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

using namespace corrana_test;

class TestEngine : public OB_EngineMgr {
 public:
  explicit TestEngine(const std::string& db)
      : OB_EngineMgr(1, const_cast<char**>(kArgs), nullptr, nullptr) {
    snprintf(configAdmin.password, sizeof configAdmin.password, "secret");
    snprintf(configAdmin.databaseDir, sizeof configAdmin.databaseDir, "%s", db.c_str());
  }

 private:
  static constexpr const char* kArgs[] = {"cenginetest", nullptr};
};

// Opens the statistics handler for a socket whose peer is gone.
class OpenConnection : public OB_CEngineTCPConnection {
 public:
  using OB_CEngineTCPConnection::hcommand_GET_MONITOR_STATS;
};

class CEngineServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir_.path() + "/admin").c_str(), 0755);
    mkdir((dir_.path() + "/logs").c_str(), 0755);
    mkdir(db().c_str(), 0755);
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
    std::ofstream(dir_.path() + "/admin/cengineKey") << "9\n";
    OB_EngineMgr::setSignalHandlers(0);  // a hung test stays killable
    engine_ = new TestEngine(db());
    server_ = OB_CEngineTCPServer::create();
    server_->setManager(engine_);
    ASSERT_EQ(server_->openListener(), 0);
    ASSERT_EQ(server_->start(), 0);
  }
  void TearDown() override {
    server_->stop();
    server_->join(nullptr, 0);
    server_->release();
    delete engine_;
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
  }

  std::string db() const { return dir_.path() + "/db"; }
  std::string serve(const ConsoleRequest& request) {
    return requestReply(server_->getPort(), request.frame());
  }
  ConsoleRequest request(int32_t command) {
    ConsoleRequest r;
    r.command = command;
    r.key = server_->getConfigKey();
    return r;
  }

  TempDir dir_;
  TestEngine* engine_ = nullptr;
  OB_TCPServer* server_ = nullptr;
};

TEST_F(CEngineServerTest, DrawsItsKeyFromCengineKeyAndRequiresVersion7) {
  EXPECT_EQ(server_->getConfigKey(), 10u);
  EXPECT_EQ(readFile(dir_.path() + "/admin/cengineKey"), "10\n");
  ConsoleRequest old = request(40);
  old.version = 6;
  EXPECT_EQ(serve(old), failureReply("Invalid client version.\n"));
}

TEST_F(CEngineServerTest, IdleClientsHoldNoOtherClient) {
  server_->setIOTimeout(30000);
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) idle.push_back(connectLoopback(server_->getPort()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serve(request(45)), successReply(wireU16(0) + wireU16(0) + wireU16(0)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  for (int s : idle) close(s);
}

// The layout older clients read stays; the two words after the session counts, which they drop,
// carry the drops by the kernel and by the interface.
TEST_F(CEngineServerTest, MonitorStatisticsSendTheCaptureBlockSessionCountsAndTheDropsSplit) {
  OB_CaptureEngineStats* capture = new OB_CaptureEngineStats();
  capture->setValue(OB_CaptureEngineStats::kStartTime, 1000);
  for (int i = OB_CaptureEngineStats::kAllPacksSeen; i <= OB_CaptureEngineStats::kAllReportedDropped;
       ++i)
    capture->setValue(i, static_cast<uint32_t>(i));
  capture->setDriverDrops(7, 5);
  OB_CaptureEngineStats* previous = getCaptureEngineStats();
  setCaptureEngineStats(capture);
  tcpSessionStats_init();
  OB_TCPSessionStats& s = *getTCPSessionStats();
  OB_TCPSessionStats::Counter* order[] = {
      &s.segmentsReceived,   &s.bytesReceived,    &s.segmentsUsed,      &s.bytesUsed,
      &s.segmentsExtraneous, &s.bytesExtraneous,  &s.segmentsClosed,    &s.bytesClosed,
      &s.segmentsNoMemory,   &s.bytesNoMemory,    &s.bytesCompleted,    &s.sessionsRetrieved,
      &s.sessionsReturned,   &s.connectionsBuilt, &s.httpStarted,       &s.httpParsed,
      &s.httpFinished,       &s.ftpStarted,       &s.ftpParsed,         &s.ftpFinished,
      &s.timedOutRejected,   &s.timedOutUnacked,  &s.timedOutComplete,  &s.timedOutOddSequence,
      &s.timedOutNoSyn,      &s.timedOutGaps,     &s.payloadBytes,      &s.effectiveBytes};
  std::string expected = wireU32(1000) + wireU32(8) + wireU32(9) + wireU32(10) + wireU32(11) +
                         wireU32(12);
  for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
    order[i]->store(static_cast<uint32_t>(100 + i));
    expected += wireU32(static_cast<uint32_t>(100 + i));
  }
  s.connectionsStarted.store(7777);  // not sent
  expected += wireU32(7) + wireU32(5);

  EXPECT_EQ(serve(request(40)), successReply(expected));

  setCaptureEngineStats(previous);
  tcpSessionStats_init();
  delete capture;
}

TEST_F(CEngineServerTest, ClientGoneDuringStatisticsFailsTheCommandNotTheEngine) {
  OB_CaptureEngineStats capture;
  OB_CaptureEngineStats* previous = getCaptureEngineStats();
  setCaptureEngineStats(&capture);
  SocketPair pair;
  ASSERT_TRUE(pair.ok());
  pair.hangUp();
  OpenConnection* connection = new OpenConnection();
  EXPECT_EQ(connection->hcommand_GET_MONITOR_STATS(pair.near()), -1);  // and no SIGPIPE
  setCaptureEngineStats(nullptr);
  EXPECT_EQ(connection->hcommand_GET_MONITOR_STATS(pair.near()), -1);  // no block registered
  connection->release();
  setCaptureEngineStats(previous);
  EXPECT_NE(readFile(dir_.path() + "/logs/cenginetest.log")
                .find("hcommand_GET_MONITOR_STATS: Problem getting or sending info."),
            std::string::npos);
}

TEST_F(CEngineServerTest, DatabaseListSendsNetworkHTTPAndFTPListsInThatOrder) {
  EXPECT_EQ(serve(request(45)), successReply(wireU16(0) + wireU16(0) + wireU16(0)));

  std::string path = db() + "/http-MonJan0112000002020";
  OB_ArchiveHeader header(path.c_str(), OB_ArchiveHeader::kWriterType, 1577880000, 0, "http",
                          "eth0", "tcp", 0, nullptr);
  FILE* file = fopen(path.c_str(), "w+b");
  ASSERT_NE(file, nullptr);
  header.write(file);
  fclose(file);
  SocketPair pair;
  ASSERT_EQ(header.writeJ(pair.near()), 0);
  const std::string entry = pair.drain();
  EXPECT_EQ(serve(request(45)), successReply(wireU16(0) + wireU16(1) + entry + wireU16(0)));
}

}  // namespace
