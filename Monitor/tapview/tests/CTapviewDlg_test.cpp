#include "CTapviewDlg.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleClient.h"
#include "OB_CEngineTCPServer.h"
#include "OB_CaptureEngineStats.h"
#include "OB_Config.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "SocketPair.h"
#include "TempDir.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

using namespace corrana_test;

class TestEngine : public OB_EngineMgr {
 public:
  TestEngine() : OB_EngineMgr(1, const_cast<char**>(kArgs), nullptr, nullptr) {
    snprintf(configAdmin.password, sizeof configAdmin.password, "secret");
  }

 private:
  static constexpr const char* kArgs[] = {"tapviewtest", nullptr};
};

// The dialog with its message boxes kept instead of shown.
class Viewer : public CTapviewDlg {
 public:
  Viewer() { onInitDialog(); }
  int messageBox(const char* text, const char*, DLG_Icon) override {
    messages.push_back(text);
    return 0;
  }
  void point(int port, const char* password, const char* server = "127.0.0.1") {
    setDlgItemText(IDC_SERVER, server);
    setDlgItemText(IDC_PORT, std::to_string(port).c_str());
    setDlgItemText(IDC_PASSWORD, password);
  }
  std::string text(int id) {
    char buffer[300];
    getDlgItemText(id, buffer, sizeof buffer);
    return buffer;
  }
  using CTapviewDlg::onCommand;
  using CTapviewDlg::onDestroy;
  using CTapviewDlg::onTrackbarReleased;
  std::vector<std::string> messages;
};

class CTapviewDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir_.path() + "/admin").c_str(), 0755);
    mkdir((dir_.path() + "/logs").c_str(), 0755);
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
    std::ofstream(dir_.path() + "/admin/cengineKey") << "41\n";
    OB_EngineMgr::setSignalHandlers(0);
    engine_ = new TestEngine();
    server_ = OB_CEngineTCPServer::create();
    server_->setManager(engine_);
    ASSERT_EQ(server_->openListener(), 0);
    ASSERT_EQ(server_->start(), 0);
    previous_ = getCaptureEngineStats();
    setCaptureEngineStats(&capture_);
    tcpSessionStats_init();
  }
  void TearDown() override {
    setCaptureEngineStats(previous_);
    tcpSessionStats_init();
    server_->stop();
    server_->join(nullptr, 0);
    server_->release();
    delete engine_;
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
  }
  // Ends once the running server has answered `requests` more connections (or after a while).
  std::thread serve(int requests) {
    const int64_t until = server_->getConnectionsServed() + requests;
    return std::thread([this, until] {
      for (int i = 0; i < 1000 && server_->getConnectionsServed() < until; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
  }

  TempDir dir_;
  TestEngine* engine_ = nullptr;
  OB_TCPServer* server_ = nullptr;
  OB_CaptureEngineStats capture_;
  OB_CaptureEngineStats* previous_ = nullptr;
};

TEST_F(CTapviewDlgTest, StartsWithThePresetsAndAFiveSecondRate) {
  Viewer viewer;
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_SERVER), "localhost");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_PORT), "8189");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_PASSWORD), "marbleknot");
  EXPECT_EQ(viewer.getTrackbarPos(CTapviewDlg::IDC_RATE), 5);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_RATE_TEXT), "5");
  EXPECT_EQ(viewer.getPeriod(), 5000);
  viewer.setTrackbarPos(CTapviewDlg::IDC_RATE, 12);
  viewer.onTrackbarReleased(CTapviewDlg::IDC_RATE);
  EXPECT_EQ(viewer.getPeriod(), 12000);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_RATE_TEXT), "12");
}

TEST_F(CTapviewDlgTest, OnePollShowsEachEngineCounterInItsDisplay) {
  for (int i = OB_CaptureEngineStats::kAllPacksSeen;
       i <= OB_CaptureEngineStats::kAllReportedDropped; ++i)
    capture_.setValue(i, 1000u + static_cast<uint32_t>(i));
  capture_.setDriverDrops(1005, 7);  // the split of the 1012 dropped
  OB_TCPSessionStats& s = *getTCPSessionStats();
  // Distinct values, so that a display showing the wrong counter is caught.
  uint32_t next = 4000000000u;
  for (OB_TCPSessionStats::Counter* c :
       {&s.segmentsReceived,   &s.bytesReceived,   &s.segmentsUsed,      &s.bytesUsed,
        &s.segmentsExtraneous, &s.bytesExtraneous, &s.segmentsClosed,    &s.bytesClosed,
        &s.segmentsNoMemory,   &s.bytesNoMemory,   &s.bytesCompleted,    &s.connectionsBuilt,
        &s.timedOutRejected,   &s.timedOutUnacked, &s.timedOutComplete,  &s.timedOutOddSequence,
        &s.timedOutNoSyn,      &s.timedOutGaps,    &s.httpStarted,       &s.httpParsed,
        &s.httpFinished,       &s.ftpStarted,      &s.ftpParsed,         &s.ftpFinished,
        &s.payloadBytes,       &s.effectiveBytes,  &s.sessionsRetrieved, &s.sessionsReturned})
    c->store(next++);

  Viewer viewer;
  viewer.point(server_->getPort(), "secret");
  std::thread server = serve(2);
  EXPECT_EQ(viewer.pollOnce(), 0);
  server.join();
  EXPECT_TRUE(viewer.messages.empty());
  EXPECT_EQ(viewer.getConfigKey(), 42u);  // drawn by the server, sent back with the poll

  auto shown = [&](const OB_TCPSessionStats::Counter& c) { return std::to_string(c.load()); };
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "1009");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_ACCEPTED), "1011");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_PACKETS_RECEIVED), "1008");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_PACKETS_ACCEPTED), "1010");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_PACKETS_DROPPED), "1012");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_KERNEL_DROPPED), "1005");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_INTERFACE_DROPPED), "7");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TCP_STARTED), shown(s.sessionsRetrieved));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TCP_ENDED), shown(s.connectionsBuilt));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_HTTP_STARTED), shown(s.httpStarted));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_HTTP_ENDED), shown(s.httpFinished));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_FTP_STARTED), shown(s.ftpStarted));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_FTP_ENDED), shown(s.ftpFinished));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TIMEOUT_BUILT), shown(s.timedOutComplete));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TIMEOUT_REJECTED), shown(s.timedOutRejected));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TIMEOUT_UNACKED), shown(s.timedOutUnacked));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TIMEOUT_STRANGE), "0");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TIMEOUT_NO_SYN), shown(s.timedOutNoSyn));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TIMEOUT_GAPS), shown(s.timedOutGaps));
  const OB_TCPSessionStats::Counter* packets[] = {&s.segmentsReceived, &s.segmentsUsed,
                                                  &s.segmentsExtraneous, &s.segmentsClosed,
                                                  &s.segmentsNoMemory};
  const OB_TCPSessionStats::Counter* bytes[] = {&s.bytesReceived, &s.bytesUsed, &s.bytesExtraneous,
                                                &s.bytesClosed, &s.bytesNoMemory};
  for (int row = 0; row < 5; ++row) {
    EXPECT_EQ(viewer.text(CTapviewDlg::IDC_STREAM_PACKETS + row), shown(*packets[row]));
    EXPECT_EQ(viewer.text(CTapviewDlg::IDC_STREAM_BYTES + row), shown(*bytes[row]));
  }
}

// A wrong password, a port nobody listens on, a port that is no number and a server name that
// is none each get their own message.
TEST_F(CTapviewDlgTest, ARefusedOrUnreachableServerGivesItsMessageAndStops) {
  Viewer viewer;
  const std::string port = std::to_string(server_->getPort());
  viewer.point(server_->getPort(), "wrong");
  std::thread server = serve(1);
  EXPECT_EQ(viewer.pollOnce(), -1);  // no poll with a key that was never given
  server.join();
  const int closed = freePort();
  viewer.point(closed, "secret");
  EXPECT_EQ(viewer.pollOnce(), -1);
  viewer.point(70000, "secret");  // not a port: never wrapped round to another one
  EXPECT_EQ(viewer.pollOnce(), -1);
  viewer.point(0, "secret");
  viewer.setDlgItemText(CTapviewDlg::IDC_PORT, "81a");
  EXPECT_EQ(viewer.pollOnce(), -1);
  viewer.point(server_->getPort(), "secret", "");
  EXPECT_EQ(viewer.pollOnce(), -1);
  EXPECT_EQ(viewer.messages,
            (std::vector<std::string>{
                "Server 127.0.0.1:" + port + " refused the request: Invalid password.",
                "Could not connect to server: 127.0.0.1:" + std::to_string(closed) +
                    " (Connection refused)",
                "\"70000\" is not a valid port (a number from 1 to 65535)",
                "\"81a\" is not a valid port (a number from 1 to 65535)",
                "\"\" is not a valid server"}));
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "");
}

// A server that answers each connection with the next reply, then waits for the client to close.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<std::string> replies) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener_, reinterpret_cast<struct sockaddr*>(&address), size);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<struct sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, replies] {
      for (const std::string& reply : replies) {
        int s = accept(listener_, nullptr, nullptr);
        send(s, reply.data(), reply.size(), MSG_NOSIGNAL);
        shutdown(s, SHUT_WR);
        readToEnd(s);
        close(s);
      }
    });
  }
  ~ScriptedServer() {
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_;
  int port_ = 0;
  std::thread thread_;
};

std::string values(uint32_t first, int count) {
  std::string wire;
  for (int i = 0; i < count; ++i) wire += wireU32(first + static_cast<uint32_t>(i));
  return wire;
}

// Something else on the port (a web server, say) is told from a refusal and from a closed port.
TEST_F(CTapviewDlgTest, AServerThatIsNoConsoleIsNamedSo) {
  ScriptedServer server({"HTTP/1.1 400 Bad Request\r\n\r\n"});
  Viewer viewer;
  viewer.point(server.port(), "secret");
  EXPECT_EQ(viewer.connectServer(), -1);
  EXPECT_EQ(viewer.messages, (std::vector<std::string>{
                                 "Server 127.0.0.1:" + std::to_string(server.port()) +
                                 " did not answer as a capture engine's console does"}));
}

TEST_F(CTapviewDlgTest, AServerHangingUpMidReplyLeavesTheValuesNotSentAsTheyWere) {
  corrana_test::SocketPair pair;
  OB_Config config;
  ASSERT_EQ(config.writeJ(pair.near()), 0);
  const std::string configuration = pair.drain();
  ScriptedServer server({successReply(wireU32(77) + configuration), successReply(values(100, 36)),
                         successReply(values(500, 9) + std::string(5, '\0')), successReply("")});
  Viewer viewer;
  viewer.point(server.port(), "secret");
  ASSERT_EQ(viewer.connectServer(), 0);
  EXPECT_EQ(viewer.getConfigKey(), 77u);
  ASSERT_EQ(viewer.pollStatistics(), 0);
  EXPECT_EQ(viewer.lastPollComplete(), 1);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "102");    // value 3
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_STREAM_BYTES + 1), "109");  // value 10
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_KERNEL_DROPPED), "134");     // value 35
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_INTERFACE_DROPPED), "135");  // value 36

  EXPECT_EQ(viewer.pollStatistics(), 0);  // cut inside value 10
  EXPECT_EQ(viewer.lastPollComplete(), 0);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "502");
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_STREAM_PACKETS + 1), "508");  // value 9
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_STREAM_BYTES + 1), "109");    // not zeroed
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_TCP_STARTED), "117");

  EXPECT_EQ(viewer.pollStatistics(), 0);  // nothing after the head
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "502");
  EXPECT_TRUE(viewer.messages.empty());
}

// The engine's counters are 32-bit: a counter that wrapped between two polls is shown with the
// wrap added, not fallen back; an engine started anew (another start time) begins again at its
// own counts.
TEST_F(CTapviewDlgTest, ACounterThatWrapsBetweenPollsKeepsGrowing) {
  corrana_test::SocketPair pair;
  OB_Config config;
  ASSERT_EQ(config.writeJ(pair.near()), 0);
  // Value 1 is the start time, value 3 the bytes received, value 5 the bytes accepted.
  auto poll = [](uint32_t started, uint32_t bytes) {
    std::string wire = wireU32(started) + wireU32(10) + wireU32(bytes) + wireU32(11) +
                       wireU32(bytes / 2);
    return successReply(wire + values(0, 31));
  };
  ScriptedServer server({successReply(wireU32(77) + pair.drain()), poll(7, 0xFFFFFF00u),
                         poll(7, 0x100u), poll(7, 0x80000100u), poll(8, 0x200u)});
  Viewer viewer;
  viewer.point(server.port(), "secret");
  ASSERT_EQ(viewer.connectServer(), 0);
  ASSERT_EQ(viewer.pollStatistics(), 0);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "4294967040");
  ASSERT_EQ(viewer.pollStatistics(), 0);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "4294967552");  // 2^32 + 0x100
  // Bytes accepted fell from 0x7FFFFF80 to 0x80: from the lower half, a count begun again.
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_ACCEPTED), "128");
  ASSERT_EQ(viewer.pollStatistics(), 0);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "6442451200");  // + 0x80000000
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_PACKETS_RECEIVED), "10");
  ASSERT_EQ(viewer.pollStatistics(), 0);
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "512");
  EXPECT_TRUE(viewer.messages.empty());
}

TEST_F(CTapviewDlgTest, ARateChangeWakesASleepingWorkerAndStopEndsIt) {
  Viewer viewer;
  viewer.point(server_->getPort(), "secret");
  viewer.setTrackbarPos(CTapviewDlg::IDC_RATE, 60);
  viewer.onTrackbarReleased(CTapviewDlg::IDC_RATE);
  capture_.setValue(OB_CaptureEngineStats::kAllBytesSeen, 1);
  std::thread first = serve(2);
  viewer.onCommand(CTapviewDlg::IDC_START);
  first.join();
  while (viewer.getWakeupEvent()->numWaiting() == 0) std::this_thread::yield();
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "1");

  capture_.setValue(OB_CaptureEngineStats::kAllBytesSeen, 2);
  std::thread second = serve(1);
  viewer.setTrackbarPos(CTapviewDlg::IDC_RATE, 30);
  viewer.onTrackbarReleased(CTapviewDlg::IDC_RATE);  // polls now, not a minute later
  second.join();
  viewer.onCommand(CTapviewDlg::IDC_STOP);
  viewer.onDestroy();  // wakes the worker from its 30 s wait and waits for it
  EXPECT_EQ(viewer.text(CTapviewDlg::IDC_BYTES_RECEIVED), "2");
  EXPECT_TRUE(viewer.messages.empty());
}

}  // namespace
