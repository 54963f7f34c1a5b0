// Nothing captured is lost while the analysis rebuilds: both engines in-process on a scratch
// install tree, wired as the monitor wires them, frames handed to the capture engine's packet
// manager while the console changes the configuration, restarts the analysis, the capture engine
// re-reads its install file and a window moves. Every session must be in the archive, in the
// common log file and in the statistics, once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AEngineTestSupport.h"
#include "ConsoleClient.h"
#include "FrameBuilder.h"
#include "InstallTree.h"
#include "OB_CEngineMgr.h"
#include "OB_FileLock.h"
#include "OB_Log.h"
#include "OB_Message.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_PacketManager.h"
#include "OB_StreamBuilder.h"
#include "OB_Tools.h"
#include "UTimeStamp.h"
#include "archive/OB_ArchiveReader.h"
#include "console/OB_AEngineMgr.h"
#include "console/OB_AEngineTCPServer.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "records/OB_ProtocolWriter.h"
#include "tcp/OB_Server.h"
#include "tcp/OB_TCPSessionStats.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"
#include "windows/OB_ProtocolReader.h"

namespace {

using aengine_test::configPayload;
using aengine_test::httpRecord;
using aengine_test::Request;
using aengine_test::success;
using aengine_test::userRecord;
using aengine_test::windowRecord;
using corrana_test::TcpConversation;
using corrana_test::wireS32;
using corrana_test::wireU16;
using corrana_test::wireU32;

constexpr uint32_t kWeb = 0x0A000050;     // 10.0.0.80:80, watched throughout
constexpr uint32_t kMarker = 0x0A0000FE;  // 10.0.0.254:80, the end of the traffic
// ThreadSanitizer runs the road ten times slower: a fifth of the traffic crosses the same steps
// in the time a test may take.
#if defined(__SANITIZE_THREAD__)
constexpr uint32_t kSessions = 20000;
#else
constexpr uint32_t kSessions = 100000;
#endif
// The point of the traffic a step waits for: per cent of the sessions handed to the capture.
constexpr uint32_t at(uint32_t percent) { return kSessions / 100 * percent; }

int noName(uint32_t, char*, size_t) { return -1; }

// Sees the marker session, which comes after every other one: once it has, the stream builder
// has handed each of them to the consumers.
class MarkerWriter : public OB_ProtocolWriter, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(MarkerWriter, 0x7E57C1A3, "MarkerWriter", OB_ProtocolWriter,
                    OB_ReferenceCounter)

 public:
  int isMatch(uint32_t serverIP, uint16_t serverPort) override {
    return serverIP == kMarker && serverPort == 80 ? 1 : 0;
  }
  int processObject(OB_Object* object) override {
    OB_HTTPProtocol* connection = obQuery<OB_HTTPProtocol>(object);
    if (connection != nullptr && connection->serverIP == kMarker) seen = true;
    return 0;
  }
  std::atomic<bool> seen{false};
};

// Reads every archive record into one connection object, as the analysis readers do.
class ReusedRecord : public OB_ProtocolFactory {
 public:
  ~ReusedRecord() override { obRelease(record_); }
  OB_Data* createProtocol() override {
    if (record_ == nullptr) record_ = new OB_HTTPProtocol(1, 8);
    record_->addRef();
    return record_;
  }

 private:
  OB_HTTPProtocol* record_ = nullptr;
};

template <class T>
T* member(OB_CEngineMgr* engine) {
  OB_MutexHold hold(engine);
  for (OB_Thread* thread = engine->first(); thread != nullptr; thread = engine->next())
    if (T* found = obQuery<T>(thread); found != nullptr) return found;
  return nullptr;
}

// Waits for done, at most a generous while; false when it never came.
bool eventually(const std::function<bool()>& done, int seconds = 60) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The session's one request names it: "/s<i>".
std::string uriOf(uint32_t i) { return "/s" + std::to_string(i); }

class AEngineMgrRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OB_EngineMgr::setSignalHandlers(0);
    OB_Tools::setReverseLookup(noName);
    capturePort_ = corrana_test::freePort();
    analysisPort_ = corrana_test::freePort();
    tree_.captureEngine(capturePort_, "secret", "/nonexistent.pcap");
    tree_.analysisPort(analysisPort_);
    spec_.http = {{kWeb, 80, "web", {}}};
    aengine_test::writeConfig(spec_);
    options_.setOwner(1);
    options_.append(new OB_String("0"), "NetworkStatistics");
    options_.append(new OB_String("access.log"), "CommonLogFile");
    setOptions(&options_);
  }
  void TearDown() override {
    setOptions(nullptr);
    OB_Tools::setReverseLookup(nullptr);
    OB_Log::reset();
  }

  // The console's configuration: the window over all time, the watched server and another
  // that changes with each, and root.
  Request setConfig(int k) {
    Request set = request(30);
    set.payload = configPayload(
        {windowRecord("Everything", 1, 0, aengine_test::kEveryTime, 1, 1)},
        wireU16(0) + wireU16(0) + wireU16(2) + httpRecord(kWeb, "web", 80) +
            httpRecord(0x0A000100u + static_cast<uint32_t>(k), "other" + std::to_string(k), 80) +
            wireU16(0) + wireU16(1) + userRecord("root", "secret"));
    return set;
  }
  Request request(int32_t code) {
    Request r;
    r.command = code;
    r.key = analysis_->getMainServer()->getConfigKey();
    return r;
  }
  std::string ask(const Request& r) {
    return corrana_test::requestReply(analysisPort_, r.frame());
  }
  // The hits the console counts for the watched server, server 0 (code 1000: the count, then
  // per server its index, errors and hits), or -1 without such an answer.
  int64_t hits() {
    const std::string reply = ask(request(1000));
    const std::string head = success("");
    auto number = [&](size_t at, size_t width) {
      uint64_t value = 0;
      for (size_t i = 0; i < width; ++i)
        value = value << 8 | static_cast<uint8_t>(reply[at + i]);
      return value;
    };
    if (reply.size() < head.size() + 8 || reply.compare(0, head.size(), head) != 0) return -1;
    const uint64_t servers = number(head.size(), 8);
    for (uint64_t k = 0; k < servers; ++k) {
      const size_t at = head.size() + 8 + k * 20;
      if (reply.size() < at + 20) return -1;
      if (number(at, 4) == 0) return static_cast<int64_t>(number(at + 12, 8));
    }
    return -1;
  }
  // Whether the window's replay has ended (everything since counted live).
  bool replayDone() {
    OB_AEngineTCPServer* server = analysis_->holdServer(0);
    if (server == nullptr) return false;
    const bool done = server->getHTTPAnalysisStats()->isRunning() == 0;
    server->OB_ReferenceCounter::release();
    return done;
  }

  // Hands the frames of session i to the packet manager.
  void feedSession(OB_PacketManager* packets, uint32_t i, uint32_t server, uint64_t start) {
    TcpConversation talk({0x0B000000u + i % 60000, static_cast<uint16_t>(20000 + i % 40000),
                          {2, 0, 0, 0, 0, 1}},
                         {server, 80, {2, 0, 0, 0, 0, 2}}, start + uint64_t{i} * 50, 1000 + i,
                         500000 + i);
    talk.step(5).handshake();
    talk.send(TcpConversation::kClient, "GET " + uriOf(i) + " HTTP/1.1\r\nHost: w\r\n\r\n")
        .send(TcpConversation::kServer, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        .close();
    for (const corrana_test::Frame& frame : talk.frames())
      packets->acceptPacketProc(frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size()),
                                frame.time, frame.wireLength);
  }

  // Both engines as the monitor wires them, the capture engine taking frames from the test
  // rather than an adapter; a writer on the HTTP consumer that sees the marker session.
  void startEngines() {
    static const char* args[] = {"rebuildtest", nullptr};
    capture_ = new OB_CEngineMgr(1, const_cast<char**>(args), &options_, nullptr, 0);
    ASSERT_EQ(capture_->init(), 0);
    markerWriter_ = new MarkerWriter();
    http()->append(markerWriter_);
    analysis_ = new OB_AEngineMgr(1, const_cast<char**>(args), &options_,
                                  capture_->getConsumerNamedList(), nullptr);
    analysis_->addHandler(capture_);
    ASSERT_EQ(analysis_->init(), 0);
    ASSERT_EQ(capture_->start(), 0);
    ASSERT_EQ(analysis_->start(), 0);
    packets_ = member<OB_PacketManager>(capture_);
    builder_ = member<OB_StreamBuilder>(capture_);
    ASSERT_NE(packets_, nullptr);
    ASSERT_NE(builder_, nullptr);
  }
  // Stops and releases both, as the service does; the archive and the log file are closed then.
  void stopEngines() {
    analysis_->stop();
    capture_->stop();
    ASSERT_TRUE(capture_->joinWithin(OB_EngineMgr::kJoinLimitMs));
    ASSERT_TRUE(analysis_->joinWithin(OB_EngineMgr::kJoinLimitMs));
    analysis_->release();
    analysis_ = nullptr;
    markerWriter_->release();
    capture_->release();
    capture_ = nullptr;
  }
  OB_Consumer* http() { return capture_->getConsumerNamedList()->find("http"); }
  // The analysis readers among the HTTP consumer's writers.
  int readersListening() {
    OB_Consumer* consumer = http();
    OB_MutexHold hold(consumer);
    int readers = 0;
    consumer->first();
    for (OB_Consumer::Link* link = consumer->getCurrentLink(); link != nullptr;
         link = link->getNext())
      if (obQuery<OB_ProtocolReader>(link->getItemObject()) != nullptr) ++readers;
    return readers;
  }

  // The request of each session in the common log file.
  std::multiset<std::string> logged() {
    std::multiset<std::string> uris;
    const std::string log = tree_.read(tree_.path() + "/logs/access.log");
    for (size_t at = log.find("\"GET "); at != std::string::npos; at = log.find("\"GET ", at + 1))
      uris.insert(log.substr(at + 5, log.find(' ', at + 5) - at - 5));
    return uris;
  }
  // The request of each session in the HTTP archive.
  std::multiset<std::string> archived() {
    std::multiset<std::string> uris;
    ReusedRecord factory;
    OB_ArchiveReader reader(&factory, tree_.db().c_str(), "http",
                            OB_ArchiveReader::kStaticWindow, 0xFFFFFFF0u, 0);
    if (reader.init() != 0) return uris;
    // A read may give nothing as it moves on to the next file.
    for (int nothing = 0; reader.isDone() == 0 && nothing < 100;) {
      OB_Data* record = reader.read();
      if (record == nullptr) {
        ++nothing;
        continue;
      }
      if (OB_HTTPProtocol* connection = obQuery<OB_HTTPProtocol>(record); connection != nullptr)
        for (OB_Xact* link = connection->head; link != nullptr; link = link->nextItem())
          if (OB_HTTPXact* xact = obQuery<OB_HTTPXact>(link); xact != nullptr)
            uris.insert(xact->req_request_uri.c_str());
      record->reset();
      record->release();
    }
    return uris;
  }

  corrana_test::InstallTree tree_;
  aengine_test::Spec spec_;
  OB_NamedStringList options_;
  OB_CEngineMgr* capture_ = nullptr;
  OB_AEngineMgr* analysis_ = nullptr;
  MarkerWriter* markerWriter_ = nullptr;
  OB_PacketManager* packets_ = nullptr;
  OB_StreamBuilder* builder_ = nullptr;
  int capturePort_ = 0;
  int analysisPort_ = 0;
};

TEST_F(AEngineMgrRebuildTest, EverySessionIsArchivedLoggedAndCountedAcrossRebuilds) {
  OB_Server marker;  // watched by the capture filter only
  marker.setIPAddress(kMarker);
  marker.setPort(80);
  startEngines();

  // The traffic, on a thread of its own as the capture's driver thread; it keeps no more
  // sessions waiting for the stream builder than the packet pools hold. Each session is stamped
  // when it is fed, as a live capture stamps its frames: the idle sweep judges a session by the
  // wall clock, and one stamped far behind it would be cut as idle by a sweep that came between
  // its frames (a run slower than the sweep's minute lost a session that way).
  std::atomic<uint32_t> fed{0};
  std::thread driver([&] {
    uint64_t stamp = 0;  // where the session before ended, so that time never goes back
    auto feed = [&](uint32_t i, uint32_t server) {
      stamp = std::max(stamp, UTimeStamp::GetTimeStamp());
      feedSession(packets_, i, server, stamp - uint64_t{i} * 50);
      stamp += 100;  // past the session's last frame
    };
    for (uint32_t i = 0; i < kSessions; ++i) {
      while (builder_->getQueuedCount() > 2000)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      feed(i, kWeb);
      fed.store(i + 1);
    }
    feed(kSessions, kMarker);
  });

  // What the analysis does meanwhile, each while the traffic goes on: configuration changes, a
  // restart, the capture engine re-reading its install file alone, and a window move.
  struct Step {
    uint32_t at;
    bool rebuilds;
    std::function<void()> act;
  };
  const std::vector<Step> steps = {
      {at(10), true, [&] { EXPECT_EQ(ask(setConfig(1)), success(corrana_test::wireU8(1))); }},
      {at(25), true, [&] { EXPECT_EQ(ask(setConfig(2)), success(corrana_test::wireU8(1))); }},
      {at(40), true, [&] { EXPECT_EQ(ask(request(35)), success("")); }},
      {at(55), false,
       [&] {
         OB_Message reset("CONFIG_RESET", nullptr);
         EXPECT_EQ(analysis_->sendMessage(&reset), 1);
       }},
      {at(65), false,
       [&] {
         OB_AEngineTCPServer* window = analysis_->holdServer(0);
         ASSERT_NE(window, nullptr);
         EXPECT_EQ(window->getIndexChanger()->moveWindow(), 0);
         window->OB_ReferenceCounter::release();
       }},
      {at(80), true, [&] { EXPECT_EQ(ask(setConfig(3)), success(corrana_test::wireU8(1))); }},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(eventually([&] { return fed.load() >= step.at; }, 120)) << step.at;
    const int before = analysis_->getRebuildCount();
    step.act();
    if (step.rebuilds) {
      EXPECT_TRUE(eventually([&] { return analysis_->getRebuildCount() > before; })) << step.at;
    }
  }
  driver.join();
  EXPECT_EQ(analysis_->getRebuildCount(), 4);
  ASSERT_TRUE(eventually([&] { return markerWriter_->seen.load(); }, 120));

  // Counted: once the last replay has ended, every session and none twice.
  // Where a session is missing, what the road says of payloads it had no buffer for tells a
  // frame lost on the road from a session lost on its way to the writers.
  const uint32_t noMemory = getTCPSessionStats()->segmentsNoMemory.load();
  EXPECT_TRUE(eventually([&] { return replayDone() && hits() == kSessions; }))
      << hits() << " hits; segments without a buffer " << noMemory;
  EXPECT_EQ(hits(), kSessions);
  stopEngines();

  // Logged and archived: every session once (the marker too).
  std::multiset<std::string> every;
  for (uint32_t i = 0; i <= kSessions; ++i) every.insert(uriOf(i));
  const std::multiset<std::string> lines = logged();
  const std::multiset<std::string> records = archived();
  auto missing = [&](const std::multiset<std::string>& found) {
    std::string names;
    for (const std::string& uri : every)
      if (found.count(uri) != 1 && names.size() < 200) names += " " + uri;
    return names;
  };
  EXPECT_EQ(lines.size(), every.size()) << "not logged once:" << missing(lines);
  EXPECT_EQ(records.size(), every.size()) << "not archived once:" << missing(records);
  EXPECT_TRUE(lines == every);
  EXPECT_TRUE(records == every);
}

// Without an archive the new window cannot replay what came while it was being built: what the
// consumer handed over meanwhile is kept for it and counted, and logged all the same.
TEST_F(AEngineMgrRebuildTest, WithoutAnArchiveWhatCameDuringTheRebuildIsCountedByTheNewWindow) {
  options_.append(new OB_String("0"), "Database");
  OB_Server marker;
  marker.setIPAddress(kMarker);
  marker.setPort(80);
  startEngines();
  const uint64_t start = (static_cast<uint64_t>(time(nullptr)) - 3600) * 1000000u;
  feedSession(packets_, 0, kWeb, start);
  ASSERT_TRUE(eventually([&] { return hits() == 1; }));

  // The rebuild waits for the configuration files' lock once the old window has gone: a
  // session comes then.
  OB_FileLock files;
  ASSERT_EQ(files.open(tree_.admin("cfg.lock").c_str()), 0);
  ASSERT_EQ(files.lock(), 0);
  const int before = analysis_->getRebuildCount();
  analysis_->signal();
  ASSERT_TRUE(eventually([&] { return readersListening() == 0; }));
  feedSession(packets_, 1, kWeb, start);
  feedSession(packets_, 2, kMarker, start);
  ASSERT_TRUE(eventually([&] { return markerWriter_->seen.load(); }));
  files.unlock();
  ASSERT_TRUE(eventually([&] { return analysis_->getRebuildCount() > before; }));

  // The new window counts from the rebuild: the session that came during it, and what follows.
  feedSession(packets_, 3, kWeb, start);
  EXPECT_TRUE(eventually([&] { return hits() == 2; })) << hits() << " hits";
  stopEngines();
  EXPECT_EQ(logged(), (std::multiset<std::string>{uriOf(0), uriOf(1), uriOf(2), uriOf(3)}));
  EXPECT_TRUE(archived().empty());
}

}  // namespace
