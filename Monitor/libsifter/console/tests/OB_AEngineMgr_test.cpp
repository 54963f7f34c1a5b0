// The analysis engine whole, in-process on a scratch install tree: the manager with its
// listening server and window servers, asked over TCP the way the console asks. Request checks
// and their texts, the configuration commands' bytes, SET_CONFIG's checks and the files it
// writes, rebuilds, and the lifetime of readers and windows across them.
#include "console/OB_AEngineMgr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AEngineTestSupport.h"
#include "ConsoleClient.h"
#include "InstallTree.h"
#include "OB_HTTPConsumer.h"
#include "OB_Log.h"
#include "OB_Message.h"
#include "OB_MessageHandler.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_Tools.h"
#include "SmallDisk.h"
#include "SocketPair.h"
#include "config/OB_AEngineConfig.h"
#include "console/OB_AEngineTCPServer.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "stats/AnalysisHash.h"
#include "windows/OB_FTPReader.h"
#include "windows/OB_HTTPReader.h"

namespace {

using aengine_test::configPayload;
using aengine_test::emptyLists;
using aengine_test::failure;
using aengine_test::flag;
using aengine_test::ftpRecord;
using aengine_test::httpRecord;
using aengine_test::noConsole;
using aengine_test::quad;
using aengine_test::Request;
using aengine_test::success;
using aengine_test::userRecord;
using aengine_test::windowRecord;
using corrana_test::wireLine;
using corrana_test::wireS16;
using corrana_test::wireS32;
using corrana_test::wireU16;
using corrana_test::wireU32;
using corrana_test::wireU8;

constexpr uint32_t kWeb = 0x0A000050;    // 10.0.0.80
constexpr uint32_t kShop = 0x0A000051;   // 10.0.0.81
constexpr uint32_t kFiles = 0x0A000015;  // 10.0.0.21


// Records every message offered to it (on the connection's thread).
class Listener : public OB_MessageHandler {
 public:
  int handleMessage(OB_Message* message) override {
    std::lock_guard<std::mutex> hold(lock_);
    messages_.emplace_back(message->getMessage());
    return 1;
  }
  // What came, once the first has come (or after a generous while).
  std::vector<std::string> messages(bool waitForOne = false) {
    for (int i = 0; waitForOne && i < 500 && count() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
  }

 private:
  size_t count() {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_.size();
  }
  std::mutex lock_;
  std::vector<std::string> messages_;
};

int noName(uint32_t, char*, size_t) { return -1; }
// Answers every address once the test lets it (or after 10 s), counting the answers given.
struct NameGate {
  std::mutex lock;
  std::condition_variable opened;
  bool open = false;
  int answered = 0;
} nameGate;
int gatedName(uint32_t address, char* name, size_t size) {
  std::unique_lock<std::mutex> hold(nameGate.lock);
  nameGate.opened.wait_for(hold, std::chrono::seconds(10), [] { return nameGate.open; });
  ++nameGate.answered;
  snprintf(name, size, "client-%u.example.org", address & 0xFF);
  return 0;
}

// Finds this process's socket listening on port and sets its send buffer small; false when it
// is not found within a while.
bool shrinkListenerSendBuffer(int port) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      const int fd = std::atoi(entry.path().filename().c_str());
      struct sockaddr_in bound = {};
      socklen_t size = sizeof bound;
      int listening = 0;
      socklen_t flagSize = sizeof listening;
      if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&bound), &size) != 0 ||
          bound.sin_family != AF_INET || ntohs(bound.sin_port) != port ||
          getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagSize) != 0 || listening == 0)
        continue;
      int small = 4096;
      return setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small) == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class AEngineMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OB_EngineMgr::setSignalHandlers(0);
    OB_Tools::setReverseLookup(noName);
    port_ = corrana_test::freePort();
    tree_.analysisPort(port_);
    tree_.write("cengineInstall.cfg", "# capture\nport 8189\nrange 10.9.9.1 10.9.9.2\ndevice 0\n");
    spec_.http = {{kWeb, 80, "web", {}}, {kShop, 8080, "shop", {}}};
    spec_.ftp = {{kFiles, 21, "files", {}}};
    spec_.groups = 2;
    options_.setOwner(1);
    options_.append(new OB_String("0"), "NetworkStatistics");
    setOptions(&options_);
  }
  void TearDown() override {
    if (engine_ != nullptr) engine_->release();
    setOptions(nullptr);
    OB_Tools::setReverseLookup(nullptr);
    OB_Log::reset();
  }

  void start(OB_NamedList<OB_Consumer>* consumers = nullptr) {
    aengine_test::writeConfig(spec_);
    static const char* args[] = {"aenginetest", nullptr};
    engine_ = new OB_AEngineMgr(1, const_cast<char**>(args), &options_, consumers, nullptr);
    engine_->addHandler(&listener_);
    ASSERT_EQ(engine_->init(), 0);
    ASSERT_EQ(engine_->start(), 0);
  }
  Request request(int32_t code, const std::string& user = "root",
                  const std::string& password = "secret") {
    Request r;
    r.command = code;
    r.user = user;
    r.password = password;
    r.key = engine_->getMainServer()->getConfigKey();
    return r;
  }
  std::string ask(const Request& r) { return corrana_test::requestReply(port_, r.frame()); }
  // A record's own wire form, as its writeJ sends it.
  template <class R>
  static std::string wireOf(R* record) {
    corrana_test::SocketPair pair;
    EXPECT_EQ(record->writeJ(pair.near()), 0);
    return pair.drain();
  }
  // One connection to server:port with a transaction per (method, status), counted live.
  void count(uint32_t server, uint16_t port,
             const std::vector<std::pair<const char*, const char*>>& xacts,
             uint32_t client = 0xC0A80107) {
    OB_HTTPProtocol* connection = new OB_HTTPProtocol(1, 8);
    connection->connTime = 1000;
    connection->clientIP = client;
    connection->serverIP = server;
    connection->serverPort = port;
    for (const auto& [method, status] : xacts) {
      OB_HTTPXact* xact = obQuery<OB_HTTPXact>(connection->addXLink());
      xact->req_method = method;
      xact->req_request_uri = "/";
      xact->res_status_code = status;
      ++connection->commRespCount;
    }
    engine_->getServer(0)->getHTTPAnalysisStats()->processObject(connection);
    connection->release();
  }
  // A client that sends the request and reads the reply's first byte, then nothing more; its
  // small buffer soon makes the server wait on it. The socket, or -1.
  int stalledClient(const std::string& frame) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    int small = 4096;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    struct timeval limit = {20, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    char first = 0;
    if (connect(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        send(s, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()) ||
        recv(s, &first, 1, MSG_PEEK) != 1) {
      close(s);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return s;
  }
  // Waits until the configuration in use has its first window named name.
  bool eventuallyWindowNamed(const char* name) {
    for (int i = 0; i < 500; ++i) {
      std::shared_ptr<OB_AEngineConfig> config = engine_->getCurrentConfigShared();
      if (config != nullptr && strcmp(config->timeWindows[0]->name, name) == 0 &&
          engine_->getServer(0) != nullptr)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  corrana_test::InstallTree tree_;
  aengine_test::Spec spec_;
  OB_NamedStringList options_;
  Listener listener_;
  OB_AEngineMgr* engine_ = nullptr;
  int port_ = 0;
};

TEST_F(AEngineMgrTest, RefusesInTheCheckOrderWithItsTexts) {
  start();
  EXPECT_EQ(ask(request(40, "nobody")), failure("Unknown user.\n"));
  EXPECT_EQ(ask(request(40, "guest", "pw")), failure("User not allowed to connect.\n"));
  EXPECT_EQ(ask(request(40, "root", "wrong")), failure("Invalid password.\n"));
  EXPECT_EQ(ask(request(40, "root", "")), failure("Invalid password.\n"));
  Request old = request(40);
  old.version = 6;
  EXPECT_EQ(ask(old), failure("Invalid client version.\n"));
  Request stale = request(40);
  stale.key += 1;
  EXPECT_EQ(ask(stale), failure("Invalid configuration key. Engine may have been reconfigured.\n"));
  // The configuration itself is the one thing a stale key may fetch.
  stale.command = 25;
  EXPECT_EQ(ask(stale).substr(0, success("").size()), success(""));
  const uint32_t started = static_cast<uint32_t>(engine_->getStartTime());
  EXPECT_EQ(ask(request(40)), success(wireU32(started)));
  // A failed login is logged with who tried, the code and why, not as an unreadable request.
  const std::string refusals = tree_.log("aenginetest");
  EXPECT_EQ(refusals.find("invalid bin header"), std::string::npos) << refusals;
  for (const char* line : {" - (40) nobody 127.0.0.1 'Unknown user.'\n",
                           " - (40) root 127.0.0.1 'Invalid password.'\n",
                           " - (40) root 127.0.0.1 'Invalid client version.'\n",
                           " - (40) root 127.0.0.1 'Invalid configuration key. Engine may have "
                           "been reconfigured.'\n"})
    EXPECT_NE(refusals.find(line), std::string::npos) << line << refusals;

  // The client address first: from where no console user may come, nothing else is told. Such
  // a client is closed as soon as it is accepted, before anything of it is read.
  engine_->release();
  engine_ = nullptr;
  spec_.userNet = 0x0A000000;
  spec_.userMask = 0xFF000000;
  start();
  EXPECT_EQ(ask(request(40, "nobody")), "");
  EXPECT_EQ(ask(request(40, "root", "wrong")), "");
  const int silent = corrana_test::connectLoopback(port_);
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(corrana_test::readToEnd(silent), "");  // though it sent nothing
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
  close(silent);
  EXPECT_NE(tree_.log("aenginetest").find(" - (-1) n/a 127.0.0.1 'Invalid client IP address.'\n"),
            std::string::npos);
}

// Clients that connect and say nothing, or say it slowly, hold nobody but themselves.
TEST_F(AEngineMgrTest, IdleAndSlowClientsHoldNoOtherClient) {
  start();
  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(corrana_test::connectLoopback(port_));
    ASSERT_GE(idle.back(), 0);
    // In steps the listening queue holds, so that no connect waits for a second try.
    if (i % 20 == 19) {
      for (int j = 0; j < 500 && engine_->getMainServer()->getOpenConnections() <= i; ++j)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // REFRESH_HOLD's own field comes in small pieces, well after the request.
  Request hold = request(50);
  const std::string frame = hold.frame();
  std::string slowReply;
  std::thread slow([&] {
    const int s = corrana_test::connectLoopback(port_);
    send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
    const std::string time = wireU32(1234);
    for (char byte : time) {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      send(s, &byte, 1, MSG_NOSIGNAL);
    }
    slowReply = corrana_test::readToEnd(s);
    close(s);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto begun = std::chrono::steady_clock::now();
  const uint32_t started = static_cast<uint32_t>(engine_->getStartTime());
  EXPECT_EQ(ask(request(40)), success(wireU32(started)));
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(2000));
  slow.join();
  EXPECT_EQ(slowReply, success(wireS32(0) + wireS32(-1) +
                               "Console and monitor don't have the same times.\n"));
  for (int s : idle) close(s);
}

TEST_F(AEngineMgrTest, RestartAndSetConfigAreRootsAlone) {
  start();
  EXPECT_EQ(ask(request(30, "viewer", "pw")), failure("Invalid command for this user.\n"));
  EXPECT_EQ(ask(request(35, "viewer", "pw")), failure("Invalid command for this user.\n"));
  EXPECT_EQ(engine_->getRebuildCount(), 0);
  EXPECT_TRUE(listener_.messages().empty());
}

TEST_F(AEngineMgrTest, GetConfigSendsWhatEachUserMaySee) {
  start();
  std::shared_ptr<OB_AEngineConfig> config = engine_->getCurrentConfigShared();
  const std::string window =
      wireLine("Everything") + wireU16(1) + wireU16(0) + wireU16(0) +
      wireU32(aengine_test::kEveryTime) + wireU32(1) + wireU32(1);
  auto group = [](int i) {
    return wireLine("group " + std::to_string(i)) + wireU16(1) +
           wireLine("10." + std::to_string(i) + ".0.0") + wireLine("255.255.0.0");
  };
  const std::string limits = wireS32(16) + wireS32(512) + wireS32(16) + wireS32(256) +
                             wireS32(256) + wireS32(1);
  const std::string head = wireU32(2) + wireU32(static_cast<uint32_t>(port_)) + wireU16(1) + window;
  std::string users = wireU16(3);
  for (int i = 0; i < 3; ++i) users += wireOf(config->users[i]);
  const std::string key = wireU32(engine_->getMainServer()->getConfigKey());

  EXPECT_EQ(ask(request(20)),
            success(key + limits + "root\nsecret\n" + head + wireU16(2) + wireS32(0) + group(0) +
                    wireS32(1) + group(1) + wireU16(0) + wireU16(2) + wireS32(0) +
                    wireOf(config->httpServers[0]) + wireS32(1) +
                    wireOf(config->httpServers[1]) + wireU16(1) + wireS32(0) +
                    wireOf(config->ftpServers[0]) + users));
  // Each list counts what follows it: only the items the viewer may see, by their place.
  EXPECT_EQ(ask(request(20, "viewer", "pw")),
            success(key + limits + "viewer\npw\n" + head + wireU16(1) + wireS32(0) + group(0) +
                    wireU16(0) + wireU16(1) + wireS32(1) + wireOf(config->httpServers[1]) +
                    wireU16(0) + wireU16(0)));
  // The defaults carry no key and no port of the installation.
  const std::string defaults = ask(request(25, "viewer", "pw"));
  EXPECT_EQ(defaults.substr(0, success(limits).size()), success(limits));
}

TEST_F(AEngineMgrTest, SetConfigRefusesWhatItCannotUseAndWritesNothing) {
  start();
  const std::string before = tree_.readAdmin("aengine_prvt.cfg");
  const std::string install = tree_.readAdmin("cengineInstall.cfg");
  const std::string good = windowRecord("w", 1, 0, 2000, 1000, 10);
  std::string many(17, 'x');
  std::vector<std::string> seventeen(17, good);
  auto lists = [](uint16_t groups, uint16_t subsets, uint16_t http, uint16_t ftp, uint16_t users) {
    return wireU16(groups) + wireU16(subsets) + wireU16(http) + wireU16(ftp) + wireU16(users);
  };
  const std::vector<std::string> refused = {
      configPayload(seventeen, emptyLists()),
      configPayload({}, emptyLists()),
      configPayload({good}, lists(513, 0, 0, 0, 0)),
      configPayload({good}, lists(0, 17, 0, 0, 0)),
      configPayload({good}, lists(0, 0, 257, 0, 0)),
      configPayload({good}, wireU16(0) + wireU16(0) + wireU16(0) + wireU16(257) + wireU16(0)),
      configPayload({good}, wireU16(0) + wireU16(0) + wireU16(0) + wireU16(0) + wireU16(257)),
      // Windows the engine cannot count with.
      configPayload({windowRecord("w", 2, 0, 2000, 1000, 10)}, emptyLists()),
      configPayload({windowRecord("w", 0, 3, 0, 0, 24)}, emptyLists()),
      configPayload({windowRecord("w", 0, 0, 0, 0, 0)}, emptyLists()),
      configPayload({windowRecord("w", 0, 0, 0, 0, 86401)}, emptyLists()),
      configPayload({windowRecord("w", 1, 0, 2000, 1000, 32768)}, emptyLists()),
      configPayload({windowRecord("w", 1, 0, 1000, 2000, 10)}, emptyLists()),
      configPayload({windowRecord("w", 1, 0, 1005, 1000, 10)}, emptyLists()),
      // Six nets in a group, a server of a third type, a configuration cut short.
      configPayload({good}, wireU16(1) + wireLine("g") + wireU16(6)),
      configPayload({good}, wireU16(0) + wireU16(0) + wireU16(1) + wireU8(2)),
      configPayload({good}, wireU16(0) + wireU16(0) + wireU16(1) + httpRecord(kWeb, "w", 80)),
      // Nobody could change the configuration again: no user, no root, a root who may not use
      // the console or has no password.
      configPayload({good}, emptyLists()),
      configPayload({good}, lists(0, 0, 0, 0, 1) + userRecord("admin", "secret")),
      configPayload({good}, lists(0, 0, 0, 0, 1) + noConsole("root", "secret")),
      configPayload({good}, lists(0, 0, 0, 0, 1) + userRecord("root", "")),
      // Texts the file would give back otherwise: braces or line ends inside a value, a NUL.
      configPayload({good}, lists(0, 0, 0, 0, 1) + userRecord("root", "x{7}Q")),
      configPayload({good}, lists(0, 0, 0, 0, 1) + userRecord("root", "}")),
      configPayload({good}, lists(0, 0, 0, 0, 1) + userRecord("root", "{}")),
      configPayload({good}, lists(0, 0, 0, 0, 1) + userRecord("root", std::string("se\0cret", 7))),
      configPayload({good}, lists(0, 0, 0, 0, 1) + userRecord("root", "secret\r")),
      configPayload(
          {good}, lists(0, 0, 0, 0, 2) + userRecord("root", "secret") + userRecord("root}x", "pw")),
      configPayload({windowRecord("Today {main}", 1, 0, 2000, 1000, 10)},
                    lists(0, 0, 0, 0, 1) + userRecord("root", "secret")),
      configPayload({good}, wireU16(1) + wireLine("a}b") + wireU16(0) +
                                lists(0, 0, 0, 0, 1).substr(2) + userRecord("root", "secret")),
      configPayload({good}, wireU16(0) + wireU16(0) + wireU16(1) + httpRecord(kWeb, "web{1}", 80) +
                                wireU16(0) + wireU16(1) + userRecord("root", "secret")),
  };
  for (const std::string& payload : refused) {
    Request set = request(30);
    set.payload = payload;
    EXPECT_EQ(ask(set), success(""));
    EXPECT_EQ(tree_.readAdmin("aengine_prvt.cfg"), before);
    EXPECT_EQ(tree_.readAdmin("cengineInstall.cfg"), install);
  }
  EXPECT_NE(tree_.log("aenginetest").find("hcommand_SET_CONFIG: Problem setting config info."),
            std::string::npos);
  EXPECT_EQ(engine_->getRebuildCount(), 0);
  EXPECT_TRUE(listener_.messages().empty());
  EXPECT_FALSE(std::filesystem::exists(tree_.admin("aengine_prvt.cfg.new")));
}

// A text longer than the field that keeps it is refused, with the field and its limit in the
// log, never stored cut: a cut password would not let its user in. One that fits logs in.
TEST_F(AEngineMgrTest, SetConfigRefusesATextLongerThanItsFieldAndKeepsOneThatFits) {
  start();
  const std::string before = tree_.readAdmin("aengine_prvt.cfg");
  const std::string good = windowRecord("Everything", 1, 0, 5000, 1000, 4);
  const std::string users = wireU16(0) + wireU16(0) + wireU16(0) + wireU16(0) + wireU16(1);
  const std::string longest(511, 'p');
  for (const std::string& payload :
       {configPayload({good}, users + userRecord("root", longest + "p")),
        configPayload({good}, users + userRecord(std::string(600, 'r'), "secret")),
        configPayload({windowRecord(std::string(512, 'w'), 1, 0, 5000, 1000, 4)},
                      users + userRecord("root", "secret")),
        configPayload({good}, wireU16(0) + wireU16(0) + wireU16(1) +
                                  httpRecord(kWeb, std::string(512, 'h'), 80) + wireU16(0) +
                                  wireU16(1) + userRecord("root", "secret"))}) {
    Request set = request(30);
    set.payload = payload;
    EXPECT_EQ(ask(set), success(""));
    EXPECT_EQ(tree_.readAdmin("aengine_prvt.cfg"), before);
  }
  const std::string log = tree_.log("aenginetest");
  for (const char* line :
       {"hcommand_SET_CONFIG: a user's password is longer than its 511 bytes; refused",
        "hcommand_SET_CONFIG: a user's login is longer than its 511 bytes; refused",
        "hcommand_SET_CONFIG: a time window's name is longer than its 511 bytes; refused",
        "hcommand_SET_CONFIG: the name of a server of several addresses is longer than its 511 "
        "bytes; refused"})
    EXPECT_NE(log.find(line), std::string::npos) << line << " in:\n" << log;
  EXPECT_EQ(engine_->getRebuildCount(), 0);

  Request set = request(30);
  set.payload = configPayload({good}, users + userRecord("root", longest));
  EXPECT_EQ(ask(set), success(wireU8(1)));
  ASSERT_TRUE(eventuallyWindowNamed("Everything"));
  EXPECT_EQ(ask(request(40, "root", longest)).substr(0, success("").size()), success(""));
}

// A server is watched once: two definitions that cover one address and port would count each of
// its transactions twice in every total across servers. One address on two ports is two servers.
TEST_F(AEngineMgrTest, SetConfigRefusesAServerWatchedTwice) {
  start();
  const std::string before = tree_.readAdmin("aengine_prvt.cfg");
  const std::string window = windowRecord("Everything", 1, 0, 5000, 1000, 4);
  const std::string root = wireU16(1) + userRecord("root", "secret");
  auto servers = [&](const std::vector<std::string>& http, const std::vector<std::string>& ftp) {
    std::string bytes = wireU16(0) + wireU16(0) + wireU16(static_cast<uint16_t>(http.size()));
    for (const std::string& record : http) bytes += record;
    bytes += wireU16(static_cast<uint16_t>(ftp.size()));
    for (const std::string& record : ftp) bytes += record;
    return configPayload({window}, bytes + root);
  };
  for (const std::string& payload :
       {servers({httpRecord(kWeb, "web", 80), httpRecord(kWeb, "web2", 80)}, {}),
        servers({httpRecord(kShop, "shop", 8080), httpRecord(0, "farm", 8080, {kWeb, kShop})}, {}),
        servers({}, {ftpRecord(kFiles, "files"), ftpRecord(kFiles, "files2")})}) {
    Request set = request(30);
    set.payload = payload;
    EXPECT_EQ(ask(set), success(""));
    EXPECT_EQ(tree_.readAdmin("aengine_prvt.cfg"), before);
  }
  const std::string log = tree_.log("aenginetest");
  for (const char* line :
       {"hcommand_SET_CONFIG: the HTTP server 10.0.0.80:80 is watched twice (servers 0 \"web\" and "
        "1 \"web2\")",
        "hcommand_SET_CONFIG: the HTTP server 10.0.0.81:8080 is watched twice (servers 0 "
        "\"shop\" and 1 \"farm\")",
        "hcommand_SET_CONFIG: the FTP server 10.0.0.21:21 is watched twice (servers 0 \"files\" "
        "and 1 \"files2\")"})
    EXPECT_NE(log.find(line), std::string::npos) << line << " in:\n" << log;
  EXPECT_EQ(engine_->getRebuildCount(), 0);

  Request set = request(30);
  set.payload = servers({httpRecord(kWeb, "web", 80), httpRecord(kWeb, "web-alt", 8080)}, {});
  EXPECT_EQ(ask(set), success(wireU8(1)));
}

// Every count within its limit, but together more statistics than the machine can hold: the
// configuration is refused with the figure and the bound, and nothing is written.
TEST_F(AEngineMgrTest, SetConfigAskingForMoreStatisticsThanTheMachineHoldsIsRefused) {
  start();
  const std::string before = tree_.readAdmin("aengine_prvt.cfg");
  std::vector<std::string> windows(16, windowRecord("w", 1, 0, 100000, 1000, 32767));
  std::string rest = wireU16(0) + wireU16(16);
  for (int i = 0; i < 16; ++i) rest += wireLine("s" + std::to_string(i)) + flag(0) + wireU16(0);
  rest += wireU16(256);
  for (uint32_t i = 0; i < 256; ++i) rest += httpRecord(0x0A010000 + i, "h", 80);
  rest += wireU16(256);
  for (uint32_t i = 0; i < 256; ++i) rest += ftpRecord(0x0A020000 + i, "f");
  rest += wireU16(1) + userRecord("root", "secret");
  Request set = request(30);
  set.payload = configPayload(windows, rest);
  EXPECT_EQ(ask(set), success(""));
  EXPECT_EQ(tree_.readAdmin("aengine_prvt.cfg"), before);
  // 16 windows of 32767 bins, (512 servers + the network's) * (16 subsets + all) sets.
  const uint64_t asked = 16ull * 32767 * 513 * 17 * OB_AEngineConfig::kBytesPerBin;
  const std::string log = tree_.log("aenginetest");
  EXPECT_NE(log.find("hcommand_SET_CONFIG: the statistics would take " +
                     std::to_string(asked >> 20) +
                     " MB at the least (16 windows, 512 servers, 16 subsets), more than " +
                     std::to_string(OB_Tools::memoryShare() >> 20) + " MB"),
            std::string::npos)
      << log;
  EXPECT_EQ(engine_->getRebuildCount(), 0);
}

// The admin folder can refuse the write: the console hears no acknowledgement, the files and
// the configuration in use stay as they were, and the engine goes on answering.
TEST_F(AEngineMgrTest, SetConfigOnAReadOnlyOrFullAdminFolderFailsAndTheEngineGoesOn) {
  corrana_test::SmallDisk disk(4096);
  if (!disk.mounted()) GTEST_SKIP() << disk.why();
  namespace fs = std::filesystem;
  for (const auto& entry : fs::directory_iterator(tree_.admin("")))
    fs::copy_file(entry.path(), disk.file(entry.path().filename().string()));
  fs::remove_all(tree_.admin(""));
  fs::create_directory_symlink(disk.path(), tree_.path() + "/admin");
  start();
  const std::string before = tree_.readAdmin("aengine_prvt.cfg");
  const std::string install = tree_.readAdmin("cengineInstall.cfg");
  Request set = request(30);
  set.payload = configPayload({windowRecord("New", 1, 0, 5000, 1000, 4)},
                              wireU16(0) + wireU16(0) + wireU16(0) + wireU16(0) + wireU16(1) +
                                  userRecord("root", "secret"));
  const uint32_t started = static_cast<uint32_t>(engine_->getStartTime());
  for (int full = 0; full < 2; ++full) {
    if (full == 0) {
      ASSERT_TRUE(disk.readOnly());
    } else {
      ASSERT_TRUE(disk.readOnly(false));
      disk.fill();
    }
    EXPECT_EQ(ask(set), success("")) << (full ? "full" : "read-only");
    EXPECT_EQ(tree_.readAdmin("aengine_prvt.cfg"), before);
    EXPECT_EQ(tree_.readAdmin("cengineInstall.cfg"), install);
    EXPECT_EQ(ask(request(40)), success(wireU32(started)));
    EXPECT_STREQ(engine_->getCurrentConfigShared()->timeWindows[0]->name, "Everything");
  }
  EXPECT_EQ(engine_->getRebuildCount(), 0);
  EXPECT_TRUE(listener_.messages().empty());
  EXPECT_NE(tree_.log("aenginetest").find("hcommand_SET_CONFIG: Problem setting config info."),
            std::string::npos);
  disk.release();
  EXPECT_EQ(ask(set), success(wireU8(1)));
  EXPECT_TRUE(eventuallyWindowNamed("New"));
}

// What follows a NUL in the password counts: "secret" and then more is not "secret".
TEST_F(AEngineMgrTest, APasswordIsComparedWhole) {
  start();
  EXPECT_EQ(ask(request(40, "root", std::string("secret\0more", 11))),
            failure("Invalid password.\n"));
  EXPECT_EQ(ask(request(40, "root", std::string("secret\0", 7))), failure("Invalid password.\n"));
  EXPECT_EQ(ask(request(40)).substr(0, success("").size()), success(""));
}

TEST_F(AEngineMgrTest, SetConfigPointsTheCaptureRangesAtEveryServerAddress) {
  start();
  Request set = request(30);
  set.payload = configPayload(
      {windowRecord("New", 1, 0, 5000, 1000, 4)},
      wireU16(0) + wireU16(0) + wireU16(2) + httpRecord(kWeb, "web", 80) +
          httpRecord(0, "farm", 80, {0x0A000101, 0x0A000102}) + wireU16(1) +
          ftpRecord(kFiles, "files") + wireU16(1) + userRecord("root", "secret"));
  EXPECT_EQ(ask(set), success(wireU8(1)));
  EXPECT_EQ(tree_.readAdmin("cengineInstall.cfg"),
            "# capture\nport 8189\nrange: 10.0.0.80 10.0.0.80\nrange: 10.0.1.1 10.0.1.1\n"
            "range: 10.0.1.2 10.0.1.2\nrange: 10.0.0.21 10.0.0.21\ndevice 0\n");
  EXPECT_FALSE(std::filesystem::exists(tree_.admin("cengineInstall.cfg.tmp")));
  EXPECT_EQ(listener_.messages(true), std::vector<std::string>{"CONFIG_RESET"});
  ASSERT_TRUE(eventuallyWindowNamed("New"));
  EXPECT_EQ(engine_->getCurrentConfigShared()->numOfHTTPServers, 2);

  // No servers at all: every range goes.
  set.payload = configPayload({windowRecord("Empty", 1, 0, 5000, 1000, 4)},
                              wireU16(0) + wireU16(0) + wireU16(0) + wireU16(0) + wireU16(1) +
                                  userRecord("root", "secret"));
  EXPECT_EQ(ask(set), success(wireU8(1)));
  EXPECT_EQ(tree_.readAdmin("cengineInstall.cfg"), "# capture\nport 8189\ndevice 0\n");
}

TEST_F(AEngineMgrTest, TwoQuickConfigurationsEndOnTheNewest) {
  start();
  for (const char* name : {"First", "Second"}) {
    Request set = request(30);
    set.payload = configPayload({windowRecord(name, 1, 0, 5000, 1000, 4)},
                                wireU16(0) + wireU16(0) + wireU16(0) + wireU16(0) + wireU16(1) +
                                    userRecord("root", "secret"));
    EXPECT_EQ(ask(set), success(wireU8(1)));
  }
  ASSERT_TRUE(eventuallyWindowNamed("Second"));
  // And a restart on its own rebuilds from the files once more.
  const int rebuilds = engine_->getRebuildCount();
  EXPECT_EQ(ask(request(35)), success(""));
  for (int i = 0; i < 500 && engine_->getRebuildCount() == rebuilds; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GT(engine_->getRebuildCount(), rebuilds);
  EXPECT_TRUE(eventuallyWindowNamed("Second"));
}

// A request that comes while the windows are rebuilt waits for them and is answered from the
// new ones, not with the text of a window that does not exist; one that the rebuild outlasts is
// told so within its time.
TEST_F(AEngineMgrTest, ARequestDuringARebuildIsAnsweredFromTheNewWindows) {
  start();
  count(kWeb, 80, {{"GET", "200"}});
  const std::string summary = wireU32(2) + wireS32(0) + wireU32(0) + wireU32(1) + wireS32(1) +
                              wireU32(0) + wireU32(0);
  EXPECT_EQ(ask(request(1000)), success(summary));
  auto duringRebuild = [&](int waitsBefore) {
    // The rebuild waits for a held window once the manager has let the old ones go.
    OB_AEngineTCPServer* held = engine_->holdServer(0);
    EXPECT_EQ(ask(request(35)), success(""));
    for (int i = 0; i < 500 && engine_->getServer(0) != nullptr; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(engine_->getServer(0), nullptr);
    auto answer = std::async(std::launch::async, [&] { return ask(request(1000)); });
    for (int i = 0; i < 500 && engine_->getRebuildWaits() == waitsBefore &&
                    answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
         ++i) {
    }
    return std::make_pair(held, std::move(answer));
  };

  auto [held, answer] = duringRebuild(0);
  held->OB_ReferenceCounter::release();
  // The new window counts from the archive, which has none of the connection counted live.
  EXPECT_EQ(answer.get(), success(wireU32(2) + wireS32(0) + wireU32(0) + wireU32(0) +
                                  wireS32(1) + wireU32(0) + wireU32(0)));

  engine_->getMainServer()->setIOTimeout(1000);
  auto [heldLong, late] = duringRebuild(1);
  EXPECT_EQ(late.get(), failure("The analysis is being rebuilt; ask again.\n"));
  heldLong->OB_ReferenceCounter::release();
  EXPECT_TRUE(eventuallyWindowNamed("Everything"));
}

TEST_F(AEngineMgrTest, RefreshHoldSendsTheHoldAStatusAndItsTextWithoutALength) {
  start();
  Request hold = request(50);
  hold.payload = wireU32(1234);
  EXPECT_EQ(ask(hold), success(wireS32(0) + wireS32(-1) +
                               "Console and monitor don't have the same times.\n"));
}

TEST_F(AEngineMgrTest, UnknownAndWindowlessRequestsAreAnswered) {
  start();
  for (int32_t code : {99, 1001, 1069, 3005, 8000, -4}) {
    EXPECT_EQ(ask(request(code)), failure("Unknown Error")) << code;
  }
  Request elsewhere = request(1003);
  elsewhere.window = 3;
  EXPECT_EQ(ask(elsewhere), failure("Unknown Error"));
  // Network statistics are switched off in this engine.
  EXPECT_EQ(ask(request(7000)), failure("Unknown Error"));
  EXPECT_EQ(ask(request(101)), failure("Unknown Error"));
}

// With the network part off a window has no network answer to give: the network codes are
// refused with a reply, as an unknown code is, before any permission is looked at, so that the
// console can tell a refusal from a broken connection. With the part on they are answered.
TEST_F(AEngineMgrTest, NetworkCodesAreRefusedWithAReplyWhileTheNetworkPartIsOff) {
  start();
  for (int32_t code : {101, 7000, 7010, 7025}) {
    EXPECT_EQ(ask(request(code)), failure("Unknown Error")) << code;
    Request viewer = request(code, "viewer", "pw");
    viewer.item = 1;  // a group the viewer may not see
    EXPECT_EQ(ask(viewer), failure("Unknown Error")) << code;
  }
  engine_->release();
  engine_ = nullptr;
  options_.clear();
  options_.append(new OB_String("1"), "NetworkStatistics");
  start();
  EXPECT_EQ(ask(request(101)).substr(0, success("").size()), success(""));
  EXPECT_EQ(ask(request(7000)).substr(0, success("").size()), success(""));
}

TEST_F(AEngineMgrTest, PermissionsFollowTheUsersRecord) {
  start();
  Request web = request(1005, "viewer", "pw");
  EXPECT_EQ(ask(web), failure("Invalid HTTP server request.\n"));
  web.item = 1;
  EXPECT_EQ(ask(web).substr(0, success("").size()), success(""));
  Request client = request(2005, "viewer", "pw");
  client.item = 1;
  EXPECT_EQ(ask(client), failure("Invalid net group request.\n"));
  Request files = request(4002, "viewer", "pw");
  EXPECT_EQ(ask(files), failure("Invalid FTP server request.\n"));
  // An index beyond the lists' places is refused like any other.
  web.item = 300;
  EXPECT_EQ(ask(web), failure("Invalid HTTP server request.\n"));
  // Root sees every item whatever its record's flags.
  files.user = "root";
  files.password = "secret";
  EXPECT_EQ(ask(files).substr(0, success("").size()), success(""));
}

TEST_F(AEngineMgrTest, SpaceSummaryCountsTheServersItSends) {
  start();
  count(kWeb, 80, {{"GET", "200"}, {"GET", "404"}, {"POST", "500"}});
  count(kShop, 8080, {{"GET", "200"}});
  EXPECT_EQ(ask(request(1000)), success(wireU32(2) + wireS32(0) + wireU32(2) + wireU32(3) +
                                        wireS32(1) + wireU32(0) + wireU32(1)));
  EXPECT_EQ(ask(request(1000, "viewer", "pw")),
            success(wireU32(1) + wireS32(1) + wireU32(0) + wireU32(1)));
  // The method breakdown of a server the viewer may see, through the whole request road.
  Request methods = request(1005, "viewer", "pw");
  methods.item = 1;
  const std::string reply = ask(methods);
  EXPECT_NE(reply.find(wireLine("GET") + wireU32(1)), std::string::npos);
}

// The dashboard, the IP tracker's ranking and the comparison of servers, through the whole
// request road: checked, dispatched to the window and answered.
TEST_F(AEngineMgrTest, SummaryTrackingAndComparisonAreAnswered) {
  start();
  count(kWeb, 80, {{"GET", "200"}, {"GET", "404"}, {"POST", "500"}});
  count(kShop, 8080, {{"GET", "200"}});
  const std::string head = success("");

  const std::string dashboard = ask(request(1002));
  ASSERT_EQ(dashboard.substr(0, head.size()), head);
  // Overall response times, the window's bounds, eleven runs of its one bin: all hits first.
  const std::string bounds = wireS32(static_cast<int32_t>(aengine_test::kEveryTime)) +
                             wireS32(1) + wireU32(1);
  const size_t field = wireU32(0).size();
  EXPECT_EQ(dashboard.substr(head.size() + 2 * field, bounds.size() + field),
            bounds + wireU32(3));
  EXPECT_EQ(dashboard.size(), head.size() + 2 * field + bounds.size() + 11 * field);

  Request clients = request(1065);
  clients.payload = wireS16(0) + wireS16(5) + wireLine("0.0.0.0") + wireLine("0.0.0.0");
  EXPECT_EQ(ask(clients), success(wireU32(1) + wireLine("192.168.1.7") +
                                  wireLine("192.168.1.7") + wireU32(0) + wireU32(3)));
  // The viewer may not see server 0, whose clients these are.
  clients.user = "viewer";
  clients.password = "pw";
  EXPECT_EQ(ask(clients), failure("Invalid HTTP server request.\n"));

  // Errors per server: root is shown both, the viewer the one it may see.
  Request compare = request(3000);
  compare.payload = wireS16(6);
  const std::string both = ask(compare);
  EXPECT_EQ(both.substr(head.size(), field), wireU32(2));
  EXPECT_NE(both.find("i = 0\n" + wireU32(2)), std::string::npos);
  EXPECT_NE(both.find("i = 1\n" + wireU32(0)), std::string::npos);
  compare.user = "viewer";
  compare.password = "pw";
  const std::string one = ask(compare);
  EXPECT_EQ(one.substr(head.size(), field), wireU32(1));
  EXPECT_EQ(one.find("i = 0\n"), std::string::npos);
  EXPECT_NE(one.find("i = 1\n" + wireU32(0)), std::string::npos);
}

// The readers are the capture engine's listeners while their window lives, and only then: a
// rebuild takes the old ones out before they go, and a request keeps the window it asked.
// Rebuilds asked for meanwhile are not lost.
TEST_F(AEngineMgrTest, ReadersLeaveTheConsumersBeforeTheyGo) {
  OB_NamedList<OB_Consumer> consumers;
  OB_HTTPConsumer* http = OB_HTTPConsumer::create();
  consumers.append(http, "http");
  start(&consumers);
  EXPECT_EQ(http->getCount(), 1);
  OB_AEngineTCPServer* held = engine_->holdServer(0);
  ASSERT_NE(held, nullptr);
  OB_HTTPReader* oldReader = held->getHTTPAnalysisStats();
  engine_->signal();
  // The rebuild waits for the held window; it is let go after a moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(engine_->getRebuildCount(), 0);
  EXPECT_EQ(oldReader->numServers, 2);  // still whole while held
  // Asked twice while that rebuild runs: one more rebuild follows it, not none, not two.
  engine_->signal();
  engine_->signal();
  held->OB_ReferenceCounter::release();
  for (int i = 0; i < 500 && engine_->getRebuildCount() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(engine_->getRebuildCount(), 2);
  EXPECT_EQ(http->getCount(), 1);  // the new window's reader alone
  engine_->release();
  engine_ = nullptr;
  EXPECT_EQ(http->getCount(), 0);
  consumers.clear();
  http->release();
}

TEST_F(AEngineMgrTest, TheConsoleEndsWithItsInput) {
  start();
  int feed[2];
  ASSERT_EQ(pipe(feed), 0);
  const int savedInput = dup(0);
  dup2(feed[0], 0);
  close(feed[0]);
  ASSERT_EQ(write(feed[1], "z\na\n", 4), 4);
  close(feed[1]);
  testing::internal::CaptureStdout();
  EXPECT_EQ(engine_->input(), 0);  // at the end of its input, not spinning on it
  const std::string printed = testing::internal::GetCapturedStdout();
  dup2(savedInput, 0);
  close(savedInput);
  EXPECT_NE(printed.find("Command: z Unknown command.\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Command: a Update statistics.\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Window 0 \"Everything\""), std::string::npos) << printed;
}

}  // namespace

// The readers' locks are the capture's: a console client that does not read its (large) reply
// holds none of them, so a live connection is counted while the reply waits on the client.
TEST_F(AEngineMgrTest, AClientThatDoesNotReadItsReplyHoldsNoReader) {
  start();
  constexpr uint32_t kClients = 5000;
  for (uint32_t i = 0; i < kClients; ++i) count(kWeb, 80, {{"GET", "200"}}, 0xC0A80000u + i);
  Request clients = request(1065);
  clients.payload = wireS16(0) + wireS16(32767) + wireLine("0.0.0.0") + wireLine("0.0.0.0");
  // Small send buffers on the engine's side (its connections take them from the listening
  // socket), so the reply cannot vanish into the kernel.
  ASSERT_TRUE(shrinkListenerSendBuffer(port_));

  const int s = stalledClient(clients.frame());
  ASSERT_GE(s, 0);
  char first = 0;
  ASSERT_EQ(recv(s, &first, 1, 0), 1);

  auto live = std::async(std::launch::async, [&] {
    OB_HTTPReader* reader = engine_->getServer(0)->getHTTPAnalysisStats();
    EXPECT_NE(reader->isMatch(kWeb, 80), 0);
    count(kWeb, 80, {{"GET", "200"}}, 0x0B000001);
  });
  EXPECT_EQ(live.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  live.wait();

  // The reply is whole, every client in it.
  std::string reply(1, first);
  reply += corrana_test::readToEnd(s);
  close(s);
  const std::string head = success(wireU32(kClients));
  EXPECT_EQ(reply.substr(0, head.size()), head);
  EXPECT_NE(reply.find(wireLine("192.168.19.135")), std::string::npos);
  EXPECT_GT(reply.size(), head.size() + kClients * (2 * wireLine("192.168.1.1").size()));
}

// Names come from the resolver's own thread: a client seen before its name is known is counted
// under its dotted quad, and stays there in this window; one first seen after, under its name.
// Every transaction is counted once.
TEST_F(AEngineMgrTest, AClientIsCountedUnderItsQuadUntilItsNameIsKnown) {
  OB_Tools::setReverseLookup(gatedName);
  start();
  const uint32_t early = 0xC0A80105;  // 192.168.1.5
  const uint32_t later = 0xC0A80106;
  // Counted while no look-up can have been answered: counting never waits for the resolver.
  count(kWeb, 80, {{"GET", "200"}, {"GET", "200"}}, early);
  {
    std::lock_guard<std::mutex> hold(nameGate.lock);
    EXPECT_EQ(nameGate.answered, 0);
    nameGate.open = true;
  }
  nameGate.opened.notify_all();
  // Both names known before the next transactions.
  AnalysisHash_getDomainName(later);
  for (int i = 0; i < 250; ++i) {
    if (std::string(AnalysisHash_getDomainName(early)) != "192.168.1.5" &&
        std::string(AnalysisHash_getDomainName(later)) != "192.168.1.6")
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  count(kWeb, 80, {{"GET", "200"}}, early);
  count(kWeb, 80, {{"GET", "200"}}, later);

  Request clients = request(1065);
  clients.payload = wireS16(0) + wireS16(5) + wireLine("0.0.0.0") + wireLine("0.0.0.0");
  EXPECT_EQ(ask(clients),
            success(wireU32(2) + wireLine("192.168.1.5") + wireLine("192.168.1.5") + wireU32(0) +
                    wireU32(3) + wireLine("192.168.1.6") +
                    wireLine("client-6.example.org") + wireU32(0) + wireU32(1)));
}

// A stop does not wait for a client that does not read its reply.
TEST_F(AEngineMgrTest, AStopDoesNotWaitForAClientThatDoesNotRead) {
  start();
  for (uint32_t i = 0; i < 5000; ++i) count(kWeb, 80, {{"GET", "200"}}, 0xC0A80000u + i);
  ASSERT_TRUE(shrinkListenerSendBuffer(port_));
  Request clients = request(1065);
  clients.payload = wireS16(0) + wireS16(32767) + wireLine("0.0.0.0") + wireLine("0.0.0.0");
  const int s = stalledClient(clients.frame());
  ASSERT_GE(s, 0);
  const auto stopping = std::chrono::steady_clock::now();
  engine_->stop();
  engine_->join(nullptr, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(3));
  close(s);
}

// A pass that ran out of a command's fields is run again once they come: the request that then
// succeeds leaves no failure line in the log.
TEST_F(AEngineMgrTest, ACommandAnsweredOnLateFieldsLogsNoFailure) {
  start();
  count(kWeb, 80, {{"GET", "200"}}, 0xC0A80105);
  const int s = corrana_test::connectLoopback(port_);
  ASSERT_GE(s, 0);
  const std::string fields =
      wireS16(0) + wireS16(100) + wireLine("0.0.0.0") + wireLine("0.0.0.0");
  const std::string first = request(1065).frame() + fields.substr(0, 3);
  ASSERT_EQ(send(s, first.data(), first.size(), MSG_NOSIGNAL), static_cast<ssize_t>(first.size()));
  // The rest only once a pass has run out of the fields and waits for them.
  OB_AEngineTCPServer* console = engine_->getMainServer();
  for (int i = 0; i < 1000 && console->getCutPasses() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(console->getCutPasses(), 1u);
  const std::string rest = fields.substr(3);
  ASSERT_EQ(send(s, rest.data(), rest.size(), MSG_NOSIGNAL), static_cast<ssize_t>(rest.size()));
  const std::string reply = corrana_test::readToEnd(s);
  close(s);
  EXPECT_NE(reply.find(wireLine("192.168.1.5")), std::string::npos);
  const std::string log = tree_.log("aenginetest");
  EXPECT_EQ(log.find("Problem getting or sending info."), std::string::npos) << log;
}

// A statistics command reads its own fields under the readers' locks: a client that withholds
// them holds none of the locks meanwhile, and is answered once they come.
TEST_F(AEngineMgrTest, AClientThatWithholdsACommandsFieldsHoldsNoReader) {
  start();
  count(kWeb, 80, {{"GET", "200"}}, 0xC0A80105);
  const int s = corrana_test::connectLoopback(port_);
  ASSERT_GE(s, 0);
  const std::string frame = request(1065).frame();
  ASSERT_EQ(send(s, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  auto live = std::async(std::launch::async, [&] { count(kWeb, 80, {{"GET", "200"}}, 0x0B000001); });
  EXPECT_EQ(live.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  live.wait();

  const std::string fields =
      wireS16(0) + wireS16(100) + wireLine("0.0.0.0") + wireLine("0.0.0.0");
  ASSERT_EQ(send(s, fields.data(), fields.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(fields.size()));
  const std::string reply = corrana_test::readToEnd(s);
  close(s);
  const std::string head = success(wireU32(2));
  EXPECT_EQ(reply.substr(0, head.size()), head);
  EXPECT_NE(reply.find(wireLine("192.168.1.5")), std::string::npos);
  EXPECT_NE(reply.find(wireLine("11.0.0.1")), std::string::npos);
}
