#include "server/OB_TCPServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleClient.h"
#include "OB_Config.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "FileText.h"
#include "SocketPair.h"
#include "TempDir.h"

namespace {

using namespace corrana_test;
using Clock = std::chrono::steady_clock;

// Sends the bytes and takes what the reply holds by its end or after ms at most.
std::string replyWithin(int port, const std::string& bytes, int ms) {
  int s = connectLoopback(port);
  if (s < 0) return "<no connection>";
  struct timeval limit = {ms / 1000, (ms % 1000) * 1000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  std::string reply = readToEnd(s);
  close(s);
  return reply;
}

// The wire form of a configuration, as its writeJ sends it.
std::string wireOf(OB_Config* config) {
  SocketPair pair;
  EXPECT_EQ(config->writeJ(pair.near()), 0);
  return pair.drain();
}

// An engine manager whose configurations are filled in place instead of from files.
class TestEngine : public OB_EngineMgr {
 public:
  TestEngine() : OB_EngineMgr(1, const_cast<char**>(kArgs), nullptr, nullptr) {
    configAdmin.setName("cengine");
    snprintf(configAdmin.password, sizeof configAdmin.password, "secret");
    snprintf(configAdmin.device, sizeof configAdmin.device, "eth0");
    configAdmin.connectionPort = 8189;
    configAdmin.netStatsEnabled = 1;
    snprintf(configDef.device, sizeof configDef.device, "defaultDevice");
  }
  OB_Config& admin() { return configAdmin; }

 private:
  static constexpr const char* kArgs[] = {"cmdtest", nullptr};
};

// A connection that answers the statistics command with a marker, as a derived engine would.
class TestConnection : public OB_TCPConnection {
  OB_CLASS_CREATE(TestConnection)

 public:
  TestConnection() { requiredClientVersion = 7; }

 protected:
  int hcommand_GET_MONITOR_STATS(int socket) override {
    inStats = true;
    while (holdStats.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return writeJ_n_chars(socket, "STATS", 5) == 5 ? 0 : -1;
  }

 public:
  // While set, the statistics command does not answer: the serving thread is busy.
  static inline std::atomic<bool> holdStats{false};
  static inline std::atomic<bool> inStats{false};
};

class TestServer : public OB_TCPServer {
 public:
  TestServer() { keyFileName = "testKey"; }
  // Run on the accept thread at each accept, before the client is asked about; not owned.
  std::atomic<std::function<void()>*> atAccept{nullptr};

 protected:
  int isAllowedClient(uint32_t address) override {
    if (std::function<void()>* hook = atAccept.load(); hook != nullptr) (*hook)();
    return OB_TCPServer::isAllowedClient(address);
  }
  OB_TCPConnection* createTCPConnection() override {
    TestConnection* connection = TestConnection::create();
    connection->setManager(manager);
    return connection;
  }
};

void countExit(void* context) { ++*static_cast<int*>(context); }

class TCPServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(admin().c_str(), 0755);
    mkdir((dir_.path() + "/logs").c_str(), 0755);
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
    writeFile(admin() + "/testKey", "41\n");
    OB_EngineMgr::setSignalHandlers(0);  // a hung test stays killable
    engine_ = new TestEngine();
    server_ = new TestServer();
    server_->init();
    server_->setManager(engine_);
    server_->setExitAction(countExit, &exits_);
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

  std::string admin() const { return dir_.path() + "/admin"; }
  std::string log() const { return readFile(dir_.path() + "/logs/cmdtest.log"); }

  // One request served by the running server, which is done with it on return.
  std::string serve(const std::string& bytes) {
    std::string reply = requestReply(server_->getPort(), bytes);
    EXPECT_TRUE(settled());
    return reply;
  }
  // Waits (a while at most) until the server holds at least count connections.
  bool opened(int count) {
    for (int i = 0; i < 500 && server_->getOpenConnections() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server_->getOpenConnections() >= count;
  }
  // Waits (a while at most) until the server holds no connection.
  bool settled() {
    for (int i = 0; i < 500 && server_->getOpenConnections() != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server_->getOpenConnections() == 0;
  }
  std::string serve(const ConsoleRequest& request) { return serve(request.frame()); }
  ConsoleRequest request(int32_t command) {
    ConsoleRequest r;
    r.command = command;
    r.key = server_->getConfigKey();
    return r;
  }

  TempDir dir_;
  TestEngine* engine_ = nullptr;
  TestServer* server_ = nullptr;
  int exits_ = 0;
};

TEST_F(TCPServerTest, ConfigurationReadsNeedNoKeyAndSendTheirWireForms) {
  EXPECT_EQ(server_->getConfigKey(), 42u);
  EXPECT_EQ(readFile(admin() + "/testKey"), "42\n");

  ConsoleRequest keyed = request(20);
  keyed.key = 7;  // stale: a configuration read is still served
  EXPECT_EQ(serve(keyed), successReply(wireU32(42) + wireOf(engine_->getConfigAdmin())));
  ConsoleRequest defaults = request(25);
  defaults.key = 7;
  EXPECT_EQ(serve(defaults), successReply(wireOf(engine_->getConfig())));
  EXPECT_NE(log().find(" - (25) root 127.0.0.1 'OK'\n"), std::string::npos) << log();

  EXPECT_EQ(serve(request(40)), successReply("STATS"));
}

TEST_F(TCPServerTest, RefusalsFollowTheCheckOrderAddressFirst) {
  // A refused address is closed as soon as it is accepted, whatever it sends: it cannot probe
  // users or passwords.
  engine_->admin().setNetworks(1, 0, nullptr, nullptr);  // restricted, and no network holds 127.0.0.1
  ConsoleRequest probe = request(40);
  probe.user = "admin";
  EXPECT_EQ(serve(probe), "");
  probe.user = "root";
  probe.password = "Secret";
  EXPECT_EQ(serve(probe), "");
  EXPECT_EQ(serve(request(40)), "");
  EXPECT_NE(log().find(" - (-1) n/a 127.0.0.1 'Invalid client IP address.'\n"),
            std::string::npos);
  engine_->admin().setNetworks(0, 0, nullptr, nullptr);

  ConsoleRequest stranger = request(40);
  stranger.user = "admin";
  stranger.password = "wrong";
  EXPECT_EQ(serve(stranger), failureReply("Unknown user.\n"));

  ConsoleRequest wrongPassword = request(40);
  wrongPassword.password = "Secret";
  wrongPassword.version = 6;
  EXPECT_EQ(serve(wrongPassword), failureReply("Invalid password.\n"));

  ConsoleRequest oldClient = request(40);
  oldClient.version = 6;
  oldClient.key = 1;
  EXPECT_EQ(serve(oldClient), failureReply("Invalid client version.\n"));

  ConsoleRequest staleKey = request(40);
  staleKey.key = 41;
  EXPECT_EQ(serve(staleKey),
            failureReply("Invalid configuration key. Engine may have been reconfigured.\n"));

  std::string text = log();
  // Each refusal once, with who tried, the code and the reason.
  EXPECT_EQ(text.find("invalid bin header"), std::string::npos) << text;
  EXPECT_NE(text.find(" - (40) root 127.0.0.1 'Invalid password.'\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" - (40) root 127.0.0.1 'Invalid configuration key. Engine may have been "
                      "reconfigured.'\n"),
            std::string::npos)
      << text;
  // One line per entry: the reply text's own line end is not copied into it.
  EXPECT_NE(text.find(" - (40) admin 127.0.0.1 'Unknown user.'\n"), std::string::npos) << text;
}

TEST_F(TCPServerTest, AnEmptyPasswordNeverAuthenticates) {
  engine_->admin().password[0] = '\0';  // a private file that lost its password line
  ConsoleRequest empty = request(40);
  empty.password = "";
  EXPECT_EQ(serve(empty), failureReply("Invalid password.\n"));
  ConsoleRequest any = request(20);
  any.password = "x";
  EXPECT_EQ(serve(any), failureReply("Invalid password.\n"));

  snprintf(engine_->admin().password, sizeof engine_->admin().password, "secret");
  EXPECT_EQ(serve(empty), failureReply("Invalid password.\n"));
}

// The bytes after a NUL count: the stored password followed by a NUL and more is another one.
TEST_F(TCPServerTest, APasswordIsComparedWhole) {
  ConsoleRequest longer = request(40);
  longer.password += std::string("\0more", 5);
  EXPECT_EQ(serve(longer), failureReply("Invalid password.\n"));
  EXPECT_NE(serve(request(40)), failureReply("Invalid password.\n"));
}

TEST_F(TCPServerTest, UnknownCommandIsRefusedWithUnknownError) {
  EXPECT_EQ(serve(request(99)), failureReply("Unknown Error"));
  EXPECT_EQ(serve(request(-5)), failureReply("Unknown Error"));
  EXPECT_EQ(exits_, 0);
}

TEST_F(TCPServerTest, ControlBytesOfAUserNameAreEscapedInTheLog) {
  ConsoleRequest forged = request(40);
  forged.user = std::string("x\r2030Jan01-00:00 - (35) root 10.0.0.1 'OK'\x1b[2J", 48);
  EXPECT_EQ(serve(forged), failureReply("Unknown user.\n"));
  const std::string text = log();
  EXPECT_NE(text.find(" - (40) x\\x0D2030Jan01-00:00 - (35) root 10.0.0.1 'OK'\\x1B[2J 127.0.0.1"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST_F(TCPServerTest, ASlowClientIsCutOffAtTheRequestDeadline) {
  // Every byte comes well within the per-receive time-out, but the whole request never does.
  server_->setIOTimeout(400);
  const std::string head = requestHeader();
  const std::string binary = request(40).binary();
  std::string reply = "<none>";
  std::thread trickler([&] {
    int s = connectLoopback(server_->getPort());
    send(s, head.data(), head.size(), MSG_NOSIGNAL);
    for (char byte : binary) {
      if (send(s, &byte, 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(80));
    }
    reply = readToEnd(s);
    close(s);
  });
  const auto start = std::chrono::steady_clock::now();
  trickler.join();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(1500));  // the trickle alone takes over two seconds
  EXPECT_EQ(reply, "");
  EXPECT_TRUE(settled());
  EXPECT_NE(log().find("127.0.0.1 'timed out'"), std::string::npos) << log();

  server_->setIOTimeout(OB_TCPConnection::kDefaultIOTimeoutMs);
  EXPECT_EQ(serve(request(40)), successReply("STATS"));
}

TEST_F(TCPServerTest, IdleConnectionsDoNotHoldTheConsole) {
  server_->setIOTimeout(30000);
  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(connectLoopback(server_->getPort()));
    ASSERT_GE(idle.back(), 0);
    // In steps the listening queue holds, so that no connect waits for a second try.
    if (i % 20 == 19) {
      ASSERT_TRUE(opened(i + 1));
    }
  }
  const auto start = Clock::now();
  EXPECT_EQ(replyWithin(server_->getPort(), request(40).frame(), 5000), successReply("STATS"));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
  for (int s : idle) close(s);
  EXPECT_TRUE(settled());
}

// Each slow client is read as its bytes come; one that is whole in time is served, and none
// holds a client that sends its request at once.
TEST_F(TCPServerTest, SlowSendersHoldNobodyAndAreServedOnceWhole) {
  const std::string frame = request(40).frame();  // about 70 bytes, one every 30 ms
  std::vector<std::string> replies(5);
  std::vector<std::thread> slow;
  for (std::string& reply : replies)
    slow.emplace_back([&] {
      int s = connectLoopback(server_->getPort());
      int on = 1;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      for (char byte : frame) {
        if (send(s, &byte, 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
      reply = readToEnd(s);
      close(s);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  EXPECT_EQ(replyWithin(server_->getPort(), frame, 5000), successReply("STATS"));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  for (std::thread& t : slow) t.join();
  for (const std::string& reply : replies) EXPECT_EQ(reply, successReply("STATS"));
  EXPECT_TRUE(settled());
}

TEST_F(TCPServerTest, ADisallowedAddressIsClosedAtAcceptAnAllowedIdleOneAtItsDeadline) {
  server_->setIOTimeout(800);
  engine_->admin().setNetworks(1, 0, nullptr, nullptr);  // no network holds 127.0.0.1
  int s = connectLoopback(server_->getPort());
  auto start = Clock::now();
  EXPECT_EQ(readToEnd(s), "");  // though it sent nothing
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(400));
  close(s);
  EXPECT_TRUE(settled());
  engine_->admin().setNetworks(0, 0, nullptr, nullptr);

  s = connectLoopback(server_->getPort());
  start = Clock::now();
  EXPECT_EQ(readToEnd(s), "");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600));
  close(s);
  EXPECT_TRUE(settled());
  const std::string text = log();
  EXPECT_NE(text.find(" - (-1) n/a 127.0.0.1 'Invalid client IP address.'\n"),
            std::string::npos);
  EXPECT_NE(text.find(" - (-1) n/a 127.0.0.1 'timed out'\n"), std::string::npos) << text;
}

TEST_F(TCPServerTest, PastTheCapTheNewestConnectionIsRefusedWithALogLine) {
  server_->setIOTimeout(30000);
  server_->setMaxConnections(3);
  std::vector<int> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(connectLoopback(server_->getPort()));
  ASSERT_TRUE(opened(3));

  const auto start = Clock::now();
  EXPECT_EQ(replyWithin(server_->getPort(), request(40).frame(), 5000), "");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_NE(log().find(" - (-1) n/a 127.0.0.1 'refused: 3 connections open'\n"),
            std::string::npos);
  // One gone, there is room again.
  close(idle[0]);
  for (int i = 0; i < 500 && server_->getOpenConnections() > 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(replyWithin(server_->getPort(), request(40).frame(), 5000), successReply("STATS"));
  close(idle[1]);
  close(idle[2]);
  EXPECT_TRUE(settled());
}

// The connections the log says were refused past the cap, and in how many lines.
int refusalsLogged(const std::string& text, int* lines) {
  int counted = 0;
  *lines = 0;
  for (size_t at = text.find("'refused"); at != std::string::npos;
       at = text.find("'refused", at + 1)) {
    ++*lines;
    counted += text.compare(at, 10, "'refused: ") == 0 ? 1 : atoi(text.c_str() + at + 9);
  }
  return counted;
}

// Opens connections past a cap of 3 with 3 held open; the held ones are returned.
std::vector<int> floodPastTheCap(TestServer* server, int count) {
  server->setIOTimeout(30000);
  server->setMaxConnections(3);
  std::vector<int> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(connectLoopback(server->getPort()));
  for (int i = 0; i < 500 && server->getOpenConnections() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server->getOpenConnections(), 3);
  for (int i = 0; i < count; ++i) {
    const int s = connectLoopback(server->getPort());
    EXPECT_EQ(readToEnd(s), "");
    close(s);
  }
  return idle;
}

// A flood of connections past the cap writes a line a second with the count, not one a
// connection; the refusals of the last second are logged once it is over, or at the stop.
TEST_F(TCPServerTest, AFloodPastTheCapIsLoggedOnceASecondWithItsCount) {
  constexpr int kFlood = 60;
  std::vector<int> idle = floodPastTheCap(server_, kFlood);
  int lines = 0;
  for (int i = 0; i < 500 && refusalsLogged(log(), &lines) < kFlood; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(refusalsLogged(log(), &lines), kFlood) << log();
  EXPECT_LE(lines, 4) << log();
  EXPECT_NE(log().find(" connections in a second: 3 connections open'"), std::string::npos)
      << log();
  for (int s : idle) close(s);
  EXPECT_TRUE(settled());
}

TEST_F(TCPServerTest, RefusalsNotYetLoggedAreLoggedAtTheStop) {
  std::vector<int> idle = floodPastTheCap(server_, 5);
  server_->stop();
  EXPECT_EQ(server_->join(nullptr, 0), 0);
  int lines = 0;
  EXPECT_EQ(refusalsLogged(log(), &lines), 5) << log();
  for (int s : idle) close(s);
}

TEST_F(TCPServerTest, OtherRequestsGetThePlainTextNotice) {
  EXPECT_EQ(serve("GET /controlReq.cgi\n\n\r\r\r\r"), noticeReply());
  EXPECT_EQ(serve("GET /htmlSummary.html HTTP/1.1\r\n\r\n\r\n\r\n"), noticeReply());
  EXPECT_EQ(serve("GET /index.html HTTP/1.1\n\n\r\n\r\n"), noticeReply());
  std::string text = log();
  EXPECT_NE(text.find("'bad HTTP'"), std::string::npos);
  EXPECT_NE(text.find("'html summary'"), std::string::npos);
}

TEST_F(TCPServerTest, HeaderEndsOnlyAtFourLineEndBytesInARow) {
  ConsoleRequest r = request(40);
  EXPECT_EQ(serve("POST /controlReq.cgi HTTP/1.0\n\nX-A: b\r\n\r\n" + r.binary()),
            successReply("STATS"));
  // With a blank between the pairs the header never ends: the request is a bad one.
  EXPECT_EQ(serve("POST /controlReq.cgi HTTP/1.0\n\nX-A: b\r\n \r\n" + r.binary()),
            noticeReply());
}

TEST_F(TCPServerTest, SetConfigurationSavesAWholeConfigurationThenEndsTheProcess) {
  engine_->admin().setName("source");
  std::string wire = wireOf(engine_->getConfigAdmin());
  EXPECT_EQ(serve(request(30).frame() + wire), successReply(wireU8(1)));
  EXPECT_EQ(exits_, 1);
  std::string saved = readFile(admin() + "/cengine_prvt.cfg");
  // The network flag is not on the wire; the engine's own is kept.
  EXPECT_NE(saved.find("# Net 1=On 0=Off\n1\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("password{secret}"), std::string::npos) << saved;

  EXPECT_EQ(serve(request(35)), successReply(""));
  EXPECT_EQ(exits_, 2);
}

TEST_F(TCPServerTest, CutConfigurationIsNeitherSavedNorAcknowledged) {
  writeFile(admin() + "/cengine_prvt.cfg", "before\n");
  // A MIME table of 65535 rows announced, then the client hangs up.
  std::string cut = wireU32(1) + wireLine("eth1") + wireU32(8189) + wireLine("") + wireU32(7) +
                    wireU16(65535) + wireLine("text/html");
  EXPECT_EQ(serve(request(30).frame() + cut), successReply(""));
  EXPECT_EQ(readFile(admin() + "/cengine_prvt.cfg"), "before\n");
  EXPECT_EQ(exits_, 0);
  EXPECT_NE(log().find("(30) root 127.0.0.1 'bad io: the peer closed the connection'"),
            std::string::npos)
      << log();
}

TEST_F(TCPServerTest, APasswordTheFileCannotHoldIsNeitherSavedNorAcknowledged) {
  writeFile(admin() + "/cengine_prvt.cfg", "before\n");
  for (const char* password : {"pa{ss", "pa}ss", "{}", "pass\r"}) {
    OB_Config sent;
    snprintf(sent.password, sizeof sent.password, "%s", password);
    std::string wire = wireOf(&sent);
    EXPECT_EQ(serve(request(30).frame() + wire), successReply("")) << password;
    EXPECT_EQ(readFile(admin() + "/cengine_prvt.cfg"), "before\n") << password;
  }
  EXPECT_EQ(exits_, 0);
  EXPECT_NE(log().find("save: the root password holds '{', '}', CR or LF; cengine_prvt.cfg not "
                       "written"),
            std::string::npos);
}

// A SET_CONFIG's fields as the console sends them, with one MIME row.
std::string captureConfig(const std::string& filter, const std::string& type,
                          const std::vector<std::string>& extensions,
                          const std::string& password) {
  std::string row = wireLine(type) + wireU8(static_cast<uint8_t>(extensions.size()));
  for (const std::string& extension : extensions) row += wireLine(extension);
  return wireU32(1) + wireLine("0") + wireU32(8189) + wireLine(filter) + wireU32(7) + wireU16(1) +
         row + wireLine(password) + std::string(1, '\0') + wireU16(0);
}

// What would read back otherwise, or leave nobody who can log in after the restart, is refused
// as the analysis console refuses it: the file stays and the process goes on.
TEST_F(TCPServerTest, WhatTheFileCannotHoldIsNeitherSavedNorAcknowledged) {
  writeFile(admin() + "/cengine_prvt.cfg", "before\n");
  const std::vector<std::string> refused = {
      captureConfig("port 80", "text/html", {"htm"}, ""),
      captureConfig("port 80", "text/html", {"htm"}, std::string("se\0cret", 7)),
      captureConfig("port 80\r", "text/html", {"htm"}, "secret"),
      captureConfig(std::string("port\0 80", 8), "text/html", {"htm"}, "secret"),
      captureConfig("port 80", "text/ html", {"htm"}, "secret"),
      captureConfig("port 80", "text/html", {"ht m"}, "secret"),
      captureConfig("port 80", "text/html", {"htm", ""}, "secret"),
      captureConfig("port 80", "", {"htm"}, "secret"),
  };
  for (const std::string& wire : refused) {
    EXPECT_EQ(serve(request(30).frame() + wire), successReply("")) << wire;
    EXPECT_EQ(readFile(admin() + "/cengine_prvt.cfg"), "before\n") << wire;
  }
  EXPECT_EQ(exits_, 0);
  for (const char* why : {"root has an empty password", "the root password holds a NUL byte",
                          "the filter program holds a NUL byte", "the filter holds a line end",
                          "a MIME type is empty or holds a blank",
                          "a MIME extension is empty or holds a blank"})
    EXPECT_NE(log().find(why), std::string::npos) << why;

  EXPECT_EQ(serve(request(30).frame() + captureConfig("port 80", "text/html", {"htm"}, "secret")),
            successReply(wireU8(1)));
  EXPECT_EQ(exits_, 1);
  EXPECT_NE(readFile(admin() + "/cengine_prvt.cfg").find("text/html\t\t\thtm \n"),
            std::string::npos);
}

TEST_F(TCPServerTest, HostileClientsNeitherHangNorGrowTheServer) {
  // A header that never ends, from a client that stays: refused once the header limit is
  // reached, not when the (here very long) time-out runs out.
  server_->setIOTimeout(600000);
  {
    int s = connectLoopback(server_->getPort());
    std::string bytes = "POST /controlReq.cgi HTTP/1.0\n\n" +
                        std::string(OB_TCPConnection::kMaxHeaderBytes + 100, 'x');
    send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readToEnd(s), noticeReply());
    close(s);
  }
  std::string reply;
  // One that floods.
  reply = serve("POST /controlReq.cgi HTTP/1.0\n\n" + std::string(1 << 20, 'x'));
  EXPECT_TRUE(reply.empty() || reply == noticeReply());
  // A user name far beyond its field is a broken request, not one cut into the next fields.
  ConsoleRequest huge = request(40);
  huge.user = "root" + std::string(100000, 'r');
  EXPECT_EQ(serve(huge), "");
  ConsoleRequest longest = request(40);
  longest.user = std::string(511, 'u');  // fills the field exactly: read, then refused
  EXPECT_EQ(serve(longest), failureReply("Unknown user.\n"));
  // A client that connects and then says nothing.
  server_->setIOTimeout(50);
  int silent = connectLoopback(server_->getPort());
  EXPECT_EQ(readToEnd(silent), "");
  close(silent);
  server_->setIOTimeout(OB_TCPConnection::kDefaultIOTimeoutMs);
  // The next client is served as usual.
  EXPECT_EQ(serve(request(40)), successReply("STATS"));
}

TEST_F(TCPServerTest, StopWakesTheAcceptAndARestartListensAgain) {
  const int port = server_->getPort();
  EXPECT_EQ(OB_Tools::testSocket(port), 1);  // registered as this process's own port
  server_->stop();
  EXPECT_EQ(server_->join(nullptr, 0), 0);

  ASSERT_EQ(server_->start(), 0);
  ASSERT_EQ(server_->openListener(), 0);
  EXPECT_EQ(server_->getPort(), port);
  EXPECT_EQ(requestReply(port, request(40).frame()), successReply("STATS"));
  server_->stop();
  EXPECT_EQ(server_->join(nullptr, 0), 0);
}

// Whoever starts a server learns of a port that another program holds, and the process goes
// on; the accept thread, which has no one to tell, still ends the process.
TEST_F(TCPServerTest, ATakenPortFailsOpeningTheListenerWithoutEndingTheProcess) {
  TestServer* other = new TestServer();  // not started: its steps run on this thread
  other->setPort(server_->getPort());
  EXPECT_EQ(other->openListener(), -1);
  EXPECT_NE(log().find("newSocket: can't bind port " + std::to_string(server_->getPort())),
            std::string::npos);
  EXPECT_EXIT(other->doTask(), ::testing::ExitedWithCode(1), "");
  other->release();
}

TEST_F(TCPServerTest, KeyCounterWrapsAndStartsOverFromNonsense) {
  const std::vector<std::pair<std::string, uint32_t>> cases = {
      {"4294966999\n", 4294967000u}, {"4294967000\n", 1u}, {"99999999999999\n", 1u},
      {"garbage\n", 1u}, {"", 1u}};
  for (const auto& [stored, key] : cases) {
    writeFile(admin() + "/testKey", stored);
    server_->setNewConfigKey();
    EXPECT_EQ(server_->getConfigKey(), key) << stored;
    EXPECT_EQ(readFile(admin() + "/testKey"), std::to_string(key) + "\n");
  }
  // A key file that is gone is written anew, as a fresh installation's first start writes it.
  unlink((admin() + "/testKey").c_str());
  server_->setNewConfigKey();
  EXPECT_EQ(server_->getConfigKey(), 1u);
  EXPECT_EQ(readFile(admin() + "/testKey"), "1\n");
  EXPECT_NE(log().find("setNewConfigKey: " + admin() + "/testKey is missing; a new one is written"),
            std::string::npos);
}

// A request that came whole while the serving thread was busy is closed when the server stops
// (a pause, say), not left waiting for as long as the stop lasts.
TEST_F(TCPServerTest, ARequestQueuedWhenTheServerStopsIsClosedAtOnce) {
  TestConnection::holdStats = true;
  TestConnection::inStats = false;
  std::thread busy([this] { replyWithin(server_->getPort(), request(40).frame(), 5000); });
  for (int i = 0; i < 1000 && !TestConnection::inStats.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  int s = connectLoopback(server_->getPort());
  const std::string frame = request(40).frame();
  send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  for (int i = 0; i < 200 && server_->getOpenConnections() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // read whole, queued
  server_->stop();
  struct timeval limit = {3, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const auto start = Clock::now();
  EXPECT_EQ(readToEnd(s), "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  close(s);
  TestConnection::holdStats = false;
  busy.join();
}

// A stop that comes while the accept thread is in its pass, after it last looked at the continue
// flag: the client it accepts then is closed by the stop, not left open until the next start.
TEST_F(TCPServerTest, AStopDuringAnAcceptPassClosesTheConnectionsItAccepted) {
  std::thread stopping;
  std::atomic<bool> begun{false};
  std::function<void()> hook = [this, &stopping, &begun] {
    if (begun.load()) return;
    stopping = std::thread([this] { server_->stop(); });
    // The stop has begun (its first step clears the flag) before the pass goes on.
    while (server_->isRunning() != 0) std::this_thread::yield();
    begun.store(true);
  };
  server_->atAccept.store(&hook);
  const int s = connectLoopback(server_->getPort());  // sends nothing
  ASSERT_GE(s, 0);
  while (!begun.load()) std::this_thread::yield();
  stopping.join();
  EXPECT_EQ(server_->join(nullptr, 0), 0);
  EXPECT_EQ(server_->getOpenConnections(), 0);
  char byte = 0;
  EXPECT_EQ(recv(s, &byte, 1, MSG_DONTWAIT), 0);  // closed, not waiting
  close(s);
  server_->atAccept.store(nullptr);
}

}  // namespace
