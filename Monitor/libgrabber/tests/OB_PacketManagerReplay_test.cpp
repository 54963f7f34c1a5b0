// A replay of a savefile loses nothing to exhausted pools: they grow past their caps, where a
// live capture counts the payloads as lost (OB_PacketManager_test pins that side).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DriverControl.h"
#include "FrameBuilder.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_PacketManager.h"
#include "OB_StreamBuilder.h"
#include "OB_String.h"
#include "PcapWriter.h"
#include "TempDir.h"
#include "tcp/OB_Server.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

using corrana_test::Bytes;
using corrana_test::Frame;
using corrana_test::FrameBuilder;
using corrana_test::PcapWriter;
using corrana_test::TempDir;

constexpr uint32_t kClient = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kServer = 0x0A000002;  // 10.0.0.2

Frame dataFrame(uint32_t seq, uint64_t time) {
  corrana_test::Ipv4Header ip;
  ip.source = kClient;
  ip.destination = kServer;
  corrana_test::TcpHeader tcp;
  tcp.sourcePort = 40000;
  tcp.destinationPort = 80;
  tcp.seq = seq;
  FrameBuilder builder;
  builder.ipv4(ip).tcp(tcp).payload(Bytes(100, 'r'));
  return builder.build(time);
}

// Holds every pooled copy it is shown, as a session does, and gives each back on a thread of
// its own, as the stream builder's thread does once the session is handed on.
class SlowReleaser : public virtual OB_Processor {
  OB_CLASS_IDENTITY(SlowReleaser, 0x7E57B011, "SlowReleaser", OB_Processor)

 public:
  SlowReleaser() : thread_([this] { run(); }) {}
  ~SlowReleaser() override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  int processObject(OB_Object* object) override {
    OB_Packet* packet = obQuery<OB_Packet>(object);
    if (packet == nullptr) return -1;
    OB_Buffer* buffer = packet->getBuffer();
    std::lock_guard<std::mutex> hold(lock_);
    ++seen;
    if (buffer != nullptr) {
      ++copied;
      buffer->addRef();
      held_.push_back(buffer);
      changed_.notify_all();
    }
    return 0;
  }

  // Waits until every copy held has been given back (before the pools go).
  void drain() {
    std::unique_lock<std::mutex> hold(lock_);
    drained_.wait(hold, [this] { return held_.empty(); });
  }

  int seen = 0;
  int copied = 0;

 private:
  void run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      changed_.wait(hold, [this] { return stopping_ || !held_.empty(); });
      while (!held_.empty()) {
        held_.front()->release();
        held_.pop_front();
      }
      drained_.notify_all();
      if (stopping_) return;
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::condition_variable drained_;
  std::deque<OB_Buffer*> held_;
  bool stopping_ = false;
  std::thread thread_;
};

class PacketManagerReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((install.path() + "/admin").c_str(), 0755);
    mkdir((install.path() + "/logs").c_str(), 0755);
    setenv("OB_INSTALLDIR", install.path().c_str(), 1);
    options.setOwner(1);
    // One buffer of each size: every frame after the first finds its pool exhausted until the
    // releaser has given the previous copy back.
    for (const char* name : {"PacketPools", "PacketsPerPool"}) {
      options.insert(OB_String::create(), name);
      *options.find(name) = "1";
    }
    setOptions(&options);
  }
  void TearDown() override { setOptions(nullptr); }

  // Adapter 0 replays these frames.
  void listTrace(const std::vector<Frame>& frames) {
    const std::string path = install.path() + "/replay.pcap";
    ASSERT_TRUE(PcapWriter::write(path, frames, 1));
    std::ofstream(install.path() + "/admin/adapters.cfg") << "adapter: file:" << path << "\n";
  }
  // Binds adapter 0 and replays it to its end through the manager's road.
  static void replay(OB_PacketManager* manager) {
    ASSERT_EQ(manager->init(), 0);
    ASSERT_NE(manager->getCaptureContext(), nullptr);
    manager->start();
    DriverControl::waitForEnd(manager->getCaptureContext());
    manager->stop();
    manager->join(nullptr, 10000);
  }
  static uint32_t lost() {
    return OB_TCPSessionStats::value(getTCPSessionStats()->segmentsNoMemory);
  }

  TempDir install;
  OB_NamedStringList options;
};

TEST_F(PacketManagerReplayTest, ReplayTakesReturnedBuffersAndLosesNoPayload) {
  std::vector<Frame> frames;
  for (uint32_t i = 0; i < 20; ++i)
    frames.push_back(dataFrame(1000 + 100 * i, 1700000000000000ull + i));
  listTrace(frames);

  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  const uint32_t lostBefore = lost();
  auto* manager = new OB_PacketManager(nullptr);
  SlowReleaser releaser;
  manager->append(&releaser);
  EXPECT_FALSE(manager->isReplay());
  replay(manager);
  EXPECT_TRUE(manager->isReplay());
  EXPECT_TRUE(DriverControl::isReplay(manager->getCaptureContext()));

  EXPECT_EQ(releaser.seen, 20);
  EXPECT_EQ(releaser.copied, 20) << "every payload copied once its predecessor came back";
  EXPECT_EQ(lost() - lostBefore, 0u);
  manager->remove(&releaser);
  releaser.drain();
  manager->release();
}

// Sessions hold their buffers until they end, and here none ends: with one buffer and one
// session per pool, a replay still copies every payload and opens every session, the pools
// growing past their caps (and saying how far), instead of waiting for what never comes back.
TEST_F(PacketManagerReplayTest, ExhaustedPoolsGrowWhileSessionsHoldTheirBuffers) {
  for (const char* name : {"SessionPools", "SessionsPerPool"}) {
    options.insert(OB_String::create(), name);
    *options.find(name) = "1";
  }
  std::vector<Frame> frames;
  std::vector<corrana_test::TcpConversation> talks;
  for (uint16_t port = 41000; port < 41010; ++port) {
    talks.emplace_back(corrana_test::TcpConversation::Endpoint{kClient, port, {2, 0, 0, 0, 0, 1}},
                       corrana_test::TcpConversation::Endpoint{kServer, 80, {2, 0, 0, 0, 0, 2}},
                       1700000000000000ull + port);
    talks.back().handshake().send(corrana_test::TcpConversation::kClient,
                                  std::string(700, 'q'), 100);
    for (const Frame& frame : talks.back().frames()) frames.push_back(frame);
  }
  listTrace(frames);

  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  const uint32_t lostBefore = lost();
  auto* manager = new OB_PacketManager(nullptr);
  OB_StreamBuilder* builder = OB_StreamBuilder::create(nullptr);
  manager->append(builder);
  replay(manager);

  EXPECT_EQ(lost() - lostBefore, 0u);
  EXPECT_EQ(builder->getSessionCount(), 10);
  EXPECT_GE(builder->getSessionPool()->getPeakQueuesBeyondCap(), 9);
  EXPECT_EQ(builder->getHandOverLimit(), OB_PacketManager::kReplayHandOverBytes)
      << "the replay's road waits for the builder's thread rather than fill the memory";
  // Ten sessions of seven 100-byte payloads each, all held: 69 buffers past the one allowed.
  EXPECT_EQ(manager->getPoolBytesBeyondCaps(), 69 * sizeof(OB_PooledPacketBuffer128));
  char* text = nullptr;
  size_t size = 0;
  FILE* report = open_memstream(&text, &size);
  manager->print(report);
  fclose(report);
  EXPECT_NE(std::string(text, size).find("payload pools grew"), std::string::npos);
  free(text);
  manager->remove(builder);
  builder->release();
  manager->release();
}

}  // namespace
