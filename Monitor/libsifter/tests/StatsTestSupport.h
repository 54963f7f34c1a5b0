// Helpers for the statistics module tests: a static window of a chosen number of bins, a
// configuration with HTTP servers and transaction subsets, hand-built HTTP connections and
// transactions, and the reply fields in the socket encoding.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "ConsoleClient.h"
#include "NameTablesSupport.h"
#include "OB_Tools.h"
#include "SifterTestSupport.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "stats/AnalysisHash.h"
#include "windows/OB_IndexChanger.h"

namespace stats_test {

using corrana_test::SocketPair;
using corrana_test::wireLine;
using corrana_test::wireS16;
using corrana_test::wireS32;
using corrana_test::wireU32;
using sifter_test::ip;

constexpr uint32_t kAgo = 1000000;
constexpr uint32_t kBinSize = 100;

// A static window of `bins` bins of kBinSize seconds from kAgo; its current bin is the last.
class TestWindow {
 public:
  explicit TestWindow(uint32_t bins) {
    std::strcpy(record_.name, "test");
    record_.windowType = OB_IndexChanger::kStaticWindow;
    record_.staticAgoTime = kAgo;
    record_.staticNowTime = kAgo + bins * kBinSize;
    record_.staticNumOfBins = bins;
    changer_ = new OB_IndexChanger();
    changer_->setTimeWindow(&record_);
    changer_->init();
  }
  ~TestWindow() { changer_->release(); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  OB_IndexChanger* get() { return changer_; }

 private:
  timeWindow_t record_ = {};
  OB_IndexChanger* changer_;
};

template <class T>
T** newArray(int n) {
  T** array = new T*[n];
  for (int i = 0; i < n; ++i) array[i] = nullptr;
  return array;
}

// `servers` HTTP servers (10.0.0.80, .81, ... port 80, named www0, www1, ...) and `subsets`
// transaction subsets that accept every address.
inline std::unique_ptr<OB_AEngineConfig> makeConfig(int servers, int subsets, int groups = 0) {
  auto config = std::make_unique<OB_AEngineConfig>();
  config->numOfHTTPServers = static_cast<uint16_t>(servers);
  config->httpServers = newArray<OB_HTTPServer>(servers);
  for (int i = 0; i < servers; ++i) {
    config->httpServers[i] = OB_HTTPServer::create();
    config->httpServers[i]->setIPAddress(ip(10, 0, 0, 80 + i));
    config->httpServers[i]->setName(("www" + std::to_string(i)).c_str());
  }
  config->numOfXSubSets = static_cast<uint16_t>(subsets);
  config->xSubSets = newArray<XSubset_t>(subsets);
  for (int i = 0; i < subsets; ++i) {
    config->xSubSets[i] = new XSubset_t();
    std::snprintf(config->xSubSets[i]->name, sizeof config->xSubSets[i]->name, "subset%d", i);
    config->xSubSets[i]->acceptMatching = 0;  // no nets, accepting the others: everyone
  }
  config->numOfNetworkGroups = static_cast<uint16_t>(groups);
  config->networkGroups = newArray<networkGroup_t>(groups);
  for (int i = 0; i < groups; ++i) config->networkGroups[i] = new networkGroup_t();
  return config;
}

// One request's header fields for a handler.
inline OB_AEngineTCPRequest request(int32_t server, int32_t subset = 0) {
  OB_AEngineTCPRequest r;
  r.itemIndex = server;
  r.subset = subset;
  return r;
}

struct Xact {
  std::string method = "GET";
  std::string uri = "/";
  std::string host = "www.example.com";
  std::string referer;
  std::string agent;
  std::string requestType;
  std::string status = "200";
  std::string responseType = "text/html";
};

// A GET of uri answered with type and status, referred by referer ("": none).
inline Xact xact(const std::string& uri, const std::string& type = "text/html",
                 const std::string& status = "200", const std::string& referer = "") {
  Xact x;
  x.uri = uri;
  x.responseType = type;
  x.status = status;
  x.referer = referer;
  return x;
}

inline void fill(OB_HTTPXact* x, const Xact& v) {
  x->req_method = v.method.c_str();
  x->req_request_uri = v.uri.c_str();
  x->req_host = v.host.c_str();
  x->req_referer = v.referer.c_str();
  x->req_user_agent = v.agent.c_str();
  x->req_content_type = v.requestType.c_str();
  x->res_status_code = v.status.c_str();
  x->res_content_type = v.responseType.c_str();
}

// A connection with no transactions of its own: the modules take transactions one by one.
class Connection {
 public:
  explicit Connection(uint32_t client = ip(192, 168, 1, 7), uint32_t server = ip(10, 0, 0, 80))
      : protocol_(new OB_HTTPProtocol(1, 4)) {
    protocol_->clientIP = client;
    protocol_->serverIP = server;
    protocol_->serverPort = 80;
  }
  ~Connection() { protocol_->release(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  OB_HTTPProtocol* get() { return protocol_; }
  OB_HTTPProtocol* operator->() { return protocol_; }

 private:
  OB_HTTPProtocol* protocol_;
};

inline httpNetInfo_t bin(int32_t index, int32_t newClient = 0) {
  return httpNetInfo_t{index, newClient, 0};
}

// The reply fields as the console reads them.
inline std::string name(const std::string& text) { return text + "\n"; }
inline std::string entry(const std::string& text, uint32_t total) {
  return name(text) + wireU32(total);
}
inline std::string values(std::initializer_list<uint32_t> list) {
  std::string out;
  for (uint32_t v : list) out += wireU32(v);
  return out;
}
// Series form over a TestWindow of n bins.
inline std::string series(const std::string& text, uint32_t n, std::initializer_list<uint32_t> v) {
  return name(text) + wireS32(static_cast<int32_t>(kAgo + n * kBinSize)) +
         wireS32(static_cast<int32_t>(kAgo)) + wireU32(n) + values(v);
}

}  // namespace stats_test

namespace stats_test {

using Handler = int (*)(OB_HTTPAnalysisStats*, int, OB_AEngineTCPRequest*);

// One window's HTTP statistics over a configuration of two servers and one subset, with the
// process log open (handlers log their failures), and a handler runner over a socket pair.
class HandlerTest : public sifter_test::QuitTest {
 protected:
  explicit HandlerTest(uint32_t bins = 3) : window_(bins), config_(makeConfig(2, 1)) {}
  void SetUp() override {
    QuitTest::SetUp();
    startLog();
    stats_ = std::make_unique<OB_HTTPAnalysisStats>(config_.get(), window_.get());
  }
  void TearDown() override {
    stats_.reset();
    QuitTest::TearDown();
  }

  OB_HTTPServerStatsModules* modules(int server = 0) { return stats_->servers[server]->modules; }

  // The handler's result and everything it wrote, given the request fields after the header.
  struct Reply {
    int result;
    std::string bytes;
  };
  Reply run(Handler handler, const std::string& fields = "", int32_t server = 0,
            int32_t subset = 0) {
    SocketPair pair;
    pair.feed(fields);
    OB_AEngineTCPRequest r = request(server, subset);
    // Read while the handler writes: a long reply would fill the socket's buffer.
    std::string bytes;
    std::thread reader([&] {
      char chunk[65536];
      ssize_t got;
      while ((got = read(pair.far(), chunk, sizeof chunk)) > 0)
        bytes.append(chunk, static_cast<size_t>(got));
    });
    int result = handler(stats_.get(), pair.near(), &r);
    shutdown(pair.near(), SHUT_WR);
    reader.join();
    return Reply{result, bytes};
  }
  // A handler that must fail: its problem line is logged and nothing is sent.
  void expectFailure(Handler handler, const char* name, const std::string& fields = "",
                     int32_t server = 0, int32_t subset = 0) {
    Reply reply = run(handler, fields, server, subset);
    EXPECT_EQ(reply.result, -1);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_NE(logText().find(std::string(name) + ": Problem getting or sending info."),
              std::string::npos)
        << logText();
  }

  TestWindow window_;
  std::unique_ptr<OB_AEngineConfig> config_;
  std::unique_ptr<OB_HTTPAnalysisStats> stats_;
};

// Handlers over statistics fed as the HTTP reader feeds them: whole connections with their
// transactions, offered to every server, the clients named through the domain-name cache over
// the fake reverse look-up (knownNames).
class FedHandlerTest : public HandlerTest {
 protected:
  using HandlerTest::HandlerTest;
  void SetUp() override {
    HandlerTest::SetUp();
    std::filesystem::create_directories(dir_.path() + "/db");
    knownNames().clear();
    OB_Tools::setReverseLookup(fakeLookup);
    AnalysisHash_init();
    // Built again over the name tables, as the engine builds them.
    stats_ = std::make_unique<OB_HTTPAnalysisStats>(config_.get(), window_.get());
  }
  void TearDown() override {
    stats_.reset();
    AnalysisHash_free();
    OB_Tools::setReverseLookup(nullptr);
    HandlerTest::TearDown();
  }

  static uint32_t at(int b) { return kAgo + static_cast<uint32_t>(b) * kBinSize; }
  // A connection from client to server i at the start of bin b with one transaction per entry
  // (one reference for the caller).
  static OB_HTTPProtocol* connection(int b, uint32_t client, std::initializer_list<Xact> xacts,
                                     int i = 0) {
    auto* p = new OB_HTTPProtocol(1, 16);
    p->connTime = at(b);
    p->clientIP = client;
    p->serverIP = ip(10, 0, 0, 80 + i);
    p->serverPort = 80;
    for (const Xact& v : xacts) {
      fill(obQuery<OB_HTTPXact>(p->addXLink()), v);
      ++p->commRespCount;
    }
    return p;
  }
  // Counts a connection in bin b as the HTTP reader does, and releases it.
  void count(int b, OB_HTTPProtocol* p) {
    httpNetInfo_t info = bin(b);
    stats_->procServerSpacePO(&info, p);
    p->release();
  }
  void visit(int b, uint32_t client, std::initializer_list<Xact> xacts, int i = 0) {
    count(b, connection(b, client, xacts, i));
  }
  // The window's nowTime, agoTime and bin count as a reply sends them.
  std::string windowHead() {
    return wireS32(static_cast<int32_t>(window_.get()->getNowTime())) +
           wireS32(static_cast<int32_t>(window_.get()->getAgoTime())) +
           wireU32(window_.get()->getNumOfBins());
  }
};

}  // namespace stats_test
