#include "OB_PacketManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DriverControl.h"
#include "FileText.h"
#include "FrameBuilder.h"
#include "OB_Config.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
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

corrana_test::Ipv4Header clientToServer() {
  corrana_test::Ipv4Header header;
  header.source = kClient;
  header.destination = kServer;
  return header;
}

corrana_test::TcpHeader toPort(uint16_t serverPort) {
  corrana_test::TcpHeader header;
  header.sourcePort = 40000;
  header.destinationPort = serverPort;
  header.seq = 100;
  return header;
}

Frame tcpFrame(size_t payload, uint16_t serverPort = 80, uint64_t time = 1700000000000000ull) {
  FrameBuilder builder;
  builder.ipv4(clientToServer()).tcp(toPort(serverPort)).payload(Bytes(payload, 'p'));
  return builder.build(time);
}

// What a processor saw of one packet.
struct Seen {
  uint16_t dstPort;
  uint16_t contentSize;
  uint32_t bufferSize;    // the size class; 0 without a pooled copy
  uint32_t bufferLength;  // bytes copied
  uint32_t seconds;
  uint32_t microseconds;
  uint32_t seqno;
  uint8_t code;
  std::string bytes;  // what the pooled copy holds
};

// Records every packet it is given; with keep set it holds each pooled copy, as a session does.
class Recorder : public virtual OB_Processor {
  OB_CLASS_IDENTITY(Recorder, 0x7E57B001, "Recorder", OB_Processor)

 public:
  ~Recorder() override { letGo(); }
  int processObject(OB_Object* object) override {
    OB_Packet* packet = obQuery<OB_Packet>(object);
    if (packet == nullptr) return -1;
    OB_Buffer* buffer = packet->getBuffer();
    std::lock_guard<std::mutex> hold(lock);
    seen.push_back({packet->dstPort, packet->getContentSize(),
                    buffer != nullptr ? buffer->getSize() : 0,
                    buffer != nullptr ? buffer->getLength() : 0, packet->tv_sec, packet->tv_usec,
                    packet->seqno, packet->getCode(),
                    buffer != nullptr ? std::string(reinterpret_cast<const char*>(buffer->getBuffer()),
                                                    buffer->getLength())
                                      : std::string()});
    if (keep && buffer != nullptr) {
      buffer->addRef();
      kept.push_back(buffer);
    }
    return 0;
  }
  void letGo() {
    for (OB_Buffer* buffer : kept) buffer->release();
    kept.clear();
  }
  size_t count() {
    std::lock_guard<std::mutex> hold(lock);
    return seen.size();
  }

  std::mutex lock;
  std::vector<Seen> seen;
  bool keep = false;
  std::vector<OB_Buffer*> kept;
};

// A watched server that wants none of its packets.
class UnneededServer : public OB_Server {
 public:
  UnneededServer(uint32_t ip, uint16_t serverPort) {
    setIPAddress(ip);
    setPort(serverPort);
    publish();
  }
  int isNeeded(OB_Packet* /*packet*/) override { return 0; }
};

uint32_t counter(OB_PacketManager* manager, int index) {
  uint32_t value = 0;
  manager->getValue(index, &value);
  return value;
}

class PacketManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((install.path() + "/admin").c_str(), 0755);
    mkdir((install.path() + "/logs").c_str(), 0755);
    setenv("OB_INSTALLDIR", install.path().c_str(), 1);
    options.setOwner(1);
    noMemoryPackets = OB_TCPSessionStats::value(getTCPSessionStats()->segmentsNoMemory);
    noMemoryBytes = OB_TCPSessionStats::value(getTCPSessionStats()->bytesNoMemory);
  }
  void TearDown() override {
    setOptions(nullptr);
    DriverControl::setReplayPaced(false);
  }
  void setOption(const char* name, const char* value) {
    options.insert(OB_String::create(), name);
    *options.find(name) = value;
    setOptions(&options);
  }
  // adapters.cfg listing the given savefiles as adapters 0, 1, ...
  void listAdapters(const std::vector<std::string>& paths) {
    std::ofstream out(install.path() + "/admin/adapters.cfg");
    for (const std::string& path : paths) out << "adapter: file:" << path << "\n";
  }
  std::string trace(const std::string& name, const std::vector<Frame>& frames, int linkType = 1) {
    std::string path = install.path() + "/" + name;
    EXPECT_TRUE(PcapWriter::write(path, frames, linkType));
    return path;
  }
  static void finish(OB_PacketManager* manager) {
    manager->stop();
    manager->join(nullptr, 10000);
    manager->release();
  }
  uint32_t noMemoryPacketsSince() {
    return OB_TCPSessionStats::value(getTCPSessionStats()->segmentsNoMemory) - noMemoryPackets;
  }
  uint32_t noMemoryBytesSince() {
    return OB_TCPSessionStats::value(getTCPSessionStats()->bytesNoMemory) - noMemoryBytes;
  }

  TempDir install;
  OB_NamedStringList options;
  uint32_t noMemoryPackets = 0;
  uint32_t noMemoryBytes = 0;
};

void feed(OB_PacketManager* manager, const Frame& frame) {
  manager->acceptPacketProc(frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size()),
                            frame.time, frame.wireLength);
}

// Takes its time over every packet, so that frames are mostly inside it.
class SlowProcessor : public virtual OB_Processor {
  OB_CLASS_IDENTITY(SlowProcessor, 0x7E57B002, "SlowProcessor", OB_Processor)

 public:
  int processObject(OB_Object* /*object*/) override {
    for (int i = 0; i < 20; ++i) std::this_thread::yield();
    ++calls;
    return 0;
  }
  std::atomic<int> calls{0};
};

// Counts the calls that begin after the test said it was removed, and whether one is running.
class WatchedProcessor : public virtual OB_Processor {
  OB_CLASS_IDENTITY(WatchedProcessor, 0x7E57B003, "WatchedProcessor", OB_Processor)

 public:
  int processObject(OB_Object* /*object*/) override {
    inside = true;
    if (removed) ++callsAfterRemoval;
    ++calls;
    inside = false;
    return 0;
  }
  std::atomic<bool> inside{false};
  std::atomic<bool> removed{false};
  std::atomic<int> calls{0};
  std::atomic<int> callsAfterRemoval{0};
};

// The road hands frames on without the list's lock; a processor removed while frames flow is
// still not called once remove has returned.
TEST_F(PacketManagerTest, ARemovedProcessorIsNotCalledOnceRemoveReturns) {
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  auto* manager = new OB_PacketManager(nullptr);
  SlowProcessor slow;
  WatchedProcessor watched;
  manager->append(&slow);
  manager->append(&watched);
  std::atomic<bool> done{false};
  const Frame frame = tcpFrame(0);
  std::thread road([&] {
    while (!done) feed(manager, frame);
  });
  for (int round = 0; round < 50; ++round) {
    while (watched.calls < 20 * (round + 1)) std::this_thread::yield();
    manager->remove(&watched);
    EXPECT_FALSE(watched.inside);
    watched.removed = true;
    const int slowCalls = slow.calls;
    while (slow.calls < slowCalls + 5) std::this_thread::yield();
    watched.removed = false;
    manager->append(&watched);
  }
  done = true;
  road.join();
  EXPECT_EQ(watched.callsAfterRemoval, 0);
  manager->remove(&slow);
  manager->remove(&watched);
  finish(manager);
}

TEST_F(PacketManagerTest, PayloadGoesIntoTheSmallestClassThatHoldsIt) {
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  auto* manager = new OB_PacketManager(nullptr);
  Recorder recorder;
  manager->append(&recorder);
  struct Case {
    size_t payload;
    uint32_t sizeClass;
  };
  const Case cases[] = {{0, 0},     {1, 32},      {32, 32},     {33, 64},    {64, 64},   {65, 128},
                        {256, 256}, {257, 512},   {1024, 1024}, {1025, 1460}, {1460, 1460}};
  for (const Case& c : cases) feed(manager, tcpFrame(c.payload));
  ASSERT_EQ(recorder.seen.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].payload);
    EXPECT_EQ(recorder.seen[i].contentSize, cases[i].payload);
    EXPECT_EQ(recorder.seen[i].bufferSize, cases[i].sizeClass);
    EXPECT_EQ(recorder.seen[i].bufferLength, cases[i].sizeClass != 0 ? cases[i].payload : 0u);
  }
  EXPECT_EQ(noMemoryPacketsSince(), 0u);
  manager->remove(&recorder);
  finish(manager);
}

// Segment offload on the capturing host: a 4344-byte segment reaches the processors as three
// segments that fit the largest class, each with its own sequence number; the FIN stays on the
// last. A frame cut short by the snap length goes on whole, without a copy, counted as lost.
TEST_F(PacketManagerTest, OversizeSegmentsGoOnInPiecesThatFitTheLargestBuffer) {
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  auto* manager = new OB_PacketManager(nullptr);
  Recorder recorder;
  manager->append(&recorder);
  std::string payload;
  for (int i = 0; i < 4344; ++i) payload += static_cast<char>('a' + i % 26);
  corrana_test::TcpHeader tcp = toPort(80);
  tcp.flags = corrana_test::kAck | corrana_test::kPsh | corrana_test::kFin;
  FrameBuilder big;
  big.ipv4(clientToServer()).tcp(tcp).payload(Bytes(payload.begin(), payload.end()));
  feed(manager, big.build(1));
  ASSERT_EQ(recorder.seen.size(), 3u);
  const uint32_t sizes[] = {1460, 1460, 1424};
  uint32_t offset = 0;
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(recorder.seen[i].contentSize, sizes[i]);
    EXPECT_EQ(recorder.seen[i].bufferSize, 1460u);
    EXPECT_EQ(recorder.seen[i].seqno, 100u + offset);
    EXPECT_EQ(recorder.seen[i].bytes, payload.substr(offset, sizes[i]));
    EXPECT_EQ((recorder.seen[i].code & corrana_test::kFin) != 0, i == 2);
    offset += sizes[i];
  }
  EXPECT_EQ(noMemoryPacketsSince(), 0u);

  FrameBuilder cut;
  cut.ipv4(clientToServer()).tcp(toPort(80)).payload(Bytes(3000, 'c')).truncateTo(1514);
  feed(manager, cut.build(2));
  ASSERT_EQ(recorder.seen.size(), 4u);
  EXPECT_EQ(recorder.seen[3].contentSize, 3000u);
  EXPECT_EQ(recorder.seen[3].bufferSize, 0u);
  EXPECT_EQ(noMemoryPacketsSince(), 1u);
  manager->remove(&recorder);
  finish(manager);
}

TEST_F(PacketManagerTest, TimeStampBecomesSecondsAndMicroseconds) {
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  auto* manager = new OB_PacketManager(nullptr);
  Recorder recorder;
  manager->append(&recorder);
  feed(manager, tcpFrame(10, 80, 1700000123654321ull));
  ASSERT_EQ(recorder.seen.size(), 1u);
  EXPECT_EQ(recorder.seen[0].seconds, 1700000123u);
  EXPECT_EQ(recorder.seen[0].microseconds, 654321u);
  manager->remove(&recorder);
  finish(manager);
}

// With no server defined every packet is counted, seen and accepted, and shown to the
// all-packets processor, but none reaches the processors.
TEST_F(PacketManagerTest, EmptyServerListCountsEveryPacketButPassesNone) {
  auto* manager = new OB_PacketManager(nullptr);
  Recorder all, processor;
  manager->setAllProcessor(&all);
  manager->append(&processor);
  uint32_t bytes = 0;
  for (size_t payload : {0u, 100u, 2000u}) {
    Frame frame = tcpFrame(payload);
    bytes += static_cast<uint32_t>(frame.bytes.size());
    feed(manager, frame);
  }
  EXPECT_EQ(all.seen.size(), 3u);
  EXPECT_EQ(processor.seen.size(), 0u);
  for (int index : {OB_CaptureEngineStats::kPacksSeen, OB_CaptureEngineStats::kAllPacksSeen,
                    OB_CaptureEngineStats::kPacksAccepted,
                    OB_CaptureEngineStats::kAllPacksAccepted})
    EXPECT_EQ(counter(manager, index), 3u) << index;
  for (int index : {OB_CaptureEngineStats::kBytesSeen, OB_CaptureEngineStats::kAllBytesSeen,
                    OB_CaptureEngineStats::kBytesAccepted,
                    OB_CaptureEngineStats::kAllBytesAccepted})
    EXPECT_EQ(counter(manager, index), bytes) << index;
  // The filter drops before any copy: nothing is taken from the pools or counted as lost.
  EXPECT_EQ(all.seen[1].bufferSize, 0u);
  EXPECT_EQ(manager->getPoolQueueCount(128), 0);
  EXPECT_EQ(noMemoryPacketsSince(), 0u);
  // Not a packet: -1, nothing counted.
  OB_Object other;
  EXPECT_EQ(manager->processObject(&other), -1);
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllPacksSeen), 3u);
  manager->remove(&processor);
  finish(manager);
}

TEST_F(PacketManagerTest, ServerThatDoesNotNeedThePacketKeepsItFromTheProcessors) {
  UnneededServer unneeded(kServer, 80);
  OB_Server wanted;
  wanted.setIPAddress(kServer);
  wanted.setPort(21);
  auto* manager = new OB_PacketManager(nullptr);
  Recorder all, processor;
  manager->setAllProcessor(&all);
  manager->append(&processor);
  feed(manager, tcpFrame(10, 80));
  feed(manager, tcpFrame(10, 21));
  feed(manager, tcpFrame(10, 8080));
  EXPECT_EQ(all.seen.size(), 3u);
  ASSERT_EQ(processor.seen.size(), 1u);
  EXPECT_EQ(processor.seen[0].dstPort, 21);
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllPacksAccepted), 3u);
  manager->remove(&processor);
  finish(manager);
}

// One queue of one buffer per class: a second payload of a class whose buffer is held goes on
// without a copy (counted as lost), another class still copies, and the statistics pass frees
// the queues once their buffers are back.
TEST_F(PacketManagerTest, ExhaustedPoolPassesThePacketOnAndThePassPacksIdleQueues) {
  setOption("PacketPools", "1");
  setOption("PacketsPerPool", "1");
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  auto* manager = new OB_PacketManager(nullptr);
  Recorder recorder;
  recorder.keep = true;
  manager->append(&recorder);
  Frame second = tcpFrame(20);
  feed(manager, tcpFrame(10));
  feed(manager, second);
  feed(manager, tcpFrame(100));
  ASSERT_EQ(recorder.seen.size(), 3u);
  EXPECT_EQ(recorder.seen[0].bufferSize, 32u);
  EXPECT_EQ(recorder.seen[1].bufferSize, 0u);
  EXPECT_EQ(recorder.seen[1].contentSize, 20u);
  EXPECT_EQ(recorder.seen[2].bufferSize, 128u);
  EXPECT_EQ(noMemoryPacketsSince(), 1u);
  EXPECT_EQ(noMemoryBytesSince(), second.bytes.size());

  // A held buffer keeps its queue; the packet's own (the last frame's) too until its next frame.
  manager->doTask();
  EXPECT_EQ(manager->getPoolQueueCount(32), 1);
  recorder.letGo();
  manager->doTask();
  EXPECT_EQ(manager->getPoolQueueCount(32), 0);
  EXPECT_EQ(manager->getPoolQueueCount(128), 1);  // still on the reusable packet
  feed(manager, tcpFrame(0));
  manager->doTask();
  EXPECT_EQ(manager->getPoolQueueCount(128), 0);
  EXPECT_EQ(manager->getPoolQueueCount(100), -1);
  manager->remove(&recorder);
  finish(manager);
}

// Counts no machine can hold used to make start-up hang while the pools laid out their slots:
// each is now reported and its default used.
TEST_F(PacketManagerTest, PoolOptionsBeyondTheMachinesMemoryKeepTheirDefaults) {
  OB_Log::init("pools", 0, nullptr);
  for (const char* name : {"PacketPools", "PacketsPerPool", "SessionPools", "SessionsPerPool"})
    setOption(name, "2147483647");
  auto* manager = new OB_PacketManager(nullptr);
  OB_StreamBuilder* builder = OB_StreamBuilder::create(nullptr);
  EXPECT_EQ(builder->getSessionPool()->getMaxQueues(), OB_StreamBuilder::kDefaultSessionPools);
  EXPECT_EQ(builder->getSessionPool()->getObjectsPerQueue(),
            OB_StreamBuilder::kDefaultSessionsPerPool);
  builder->release();
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  Recorder recorder;
  manager->append(&recorder);
  feed(manager, tcpFrame(40));
  ASSERT_EQ(recorder.seen.size(), 1u);
  EXPECT_EQ(recorder.seen[0].bufferSize, 64u);
  manager->remove(&recorder);
  finish(manager);
  OB_Log::reset();
  const std::string log = corrana_test::readFile(install.path() + "/logs/pools.log");
  for (const char* name : {"PacketPools", "PacketsPerPool", "SessionPools", "SessionsPerPool"}) {
    EXPECT_NE(log.find(std::string("Option ") + name + ": 2147483647 is out of bounds"),
              std::string::npos)
        << name << "\n" << log;
  }
}

TEST_F(PacketManagerTest, PayloadNotWhollyCapturedGoesOnWithoutACopy) {
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  auto* manager = new OB_PacketManager(nullptr);
  Recorder recorder;
  manager->append(&recorder);
  FrameBuilder builder;
  builder.ipv4(clientToServer())
      .tcp(toPort(80))
      .payload(Bytes(600, 'c'))
      .truncateTo(96);
  feed(manager, builder.build(1));
  ASSERT_EQ(recorder.seen.size(), 1u);
  EXPECT_EQ(recorder.seen[0].contentSize, 600u);
  EXPECT_EQ(recorder.seen[0].bufferSize, 0u);
  EXPECT_EQ(noMemoryPacketsSince(), 0u);
  manager->doTask();
  EXPECT_EQ(manager->getPoolQueueCount(1024), 0);  // the buffer tried went back
  manager->remove(&recorder);
  finish(manager);
}

// start without init binds the adapter itself and replays the savefile through the road.
TEST_F(PacketManagerTest, StartWithoutInitBindsTheAdapterAndDeliversEveryFrame) {
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  std::vector<Frame> frames;
  for (int i = 0; i < 5; ++i) frames.push_back(tcpFrame(50 * i, 80, 1700000000000000ull + i));
  listAdapters({trace("a.pcap", frames)});
  auto* manager = new OB_PacketManager(nullptr);
  Recorder recorder;
  manager->append(&recorder);
  EXPECT_EQ(manager->getCaptureContext(), nullptr);
  manager->start();
  GLIM_CaptureContext context = manager->getCaptureContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(manager->isRunning(), 1);
  DriverControl::waitForEnd(context);
  ASSERT_EQ(recorder.count(), frames.size());
  EXPECT_EQ(recorder.seen[4].bufferLength, 200u);
  EXPECT_EQ(recorder.seen[4].microseconds, 4u);
  manager->stop();
  manager->join(nullptr, 10000);
  manager->remove(&recorder);
  manager->release();
}

// Each pass adds what the driver dropped since the last one to the interval counter (which the
// network consumer takes per interval) and makes counter 12 and the split the drops since start;
// while drops grow, each pass logs them with the adapter's name, and so does the stop for the
// last minute; the console's refresh counts them between passes without a log line. Once the
// thread was stopped a pass leaves the counters alone.
TEST_F(PacketManagerTest, StatisticsPassCountsNewDropsAndLogsThemWithTheAdapter) {
  OB_Log::init("drops", 0, nullptr);
  const std::string path = trace("a.pcap", {tcpFrame(1)});
  listAdapters({path});
  auto* manager = new OB_PacketManager(nullptr);
  ASSERT_EQ(manager->init(), 0);
  manager->start();
  GLIM_CaptureContext context = manager->getCaptureContext();
  DriverControl::waitForEnd(context);
  manager->doTask();  // a replay drops nothing
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kReportedDropped), 0u);
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllReportedDropped), 0u);

  DriverControl::addDrops(context, 5, 2);
  manager->doTask();
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kReportedDropped), 7u);
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllReportedDropped), 7u);
  EXPECT_EQ(manager->getKernelDrops(), 5u);
  EXPECT_EQ(manager->getInterfaceDrops(), 2u);
  uint32_t interval = 0;
  manager->takeValue(OB_CaptureEngineStats::kReportedDropped, &interval);  // the net consumer
  EXPECT_EQ(interval, 7u);
  manager->doTask();  // nothing new: nothing added, nothing logged
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kReportedDropped), 0u);
  // The console's refresh counts them at once; the next pass still logs them.
  DriverControl::addDrops(context, 3, 0);
  manager->refreshDrops();
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllReportedDropped), 10u);
  manager->doTask();
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kReportedDropped), 3u);
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllReportedDropped), 10u);
  EXPECT_EQ(manager->getKernelDrops(), 8u);

  // Drops between the last pass and the stop are read by the stop.
  DriverControl::addDrops(context, 0, 1);
  manager->stop();
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllReportedDropped), 11u);
  EXPECT_EQ(manager->getInterfaceDrops(), 3u);
  DriverControl::addDrops(context, 50, 0);
  manager->doTask();  // the thread no longer runs
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kAllReportedDropped), 11u);
  finish(manager);  // which stops once more: that stop reads them
  OB_Log::reset();

  const std::string log = corrana_test::readFile(install.path() + "/logs/drops.log");
  const std::string on = "capture on file:" + path + ": ";
  for (const std::string& line :
       {on + "7 frames dropped (5 with the capture buffer full, 2 by the interface), 7 since",
        on + "3 frames dropped (3 with the capture buffer full, 0 by the interface), 10 since",
        on + "1 frames dropped (0 with the capture buffer full, 1 by the interface), 11 since",
        on + "50 frames dropped (50 with the capture buffer full, 0 by the interface), 61 since"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  size_t lines = 0;
  for (size_t at = log.find("frames dropped"); at != std::string::npos;
       at = log.find("frames dropped", at + 1))
    ++lines;
  EXPECT_EQ(lines, 4u) << log;
}

// Connections found with missing data since the last pass are logged too: frames lost before
// the capture (a mirror port that overflowed) show only there.
TEST_F(PacketManagerTest, StatisticsPassLogsNewConnectionsWithMissingSegments) {
  OB_Log::init("gaps", 0, nullptr);
  const std::string path = trace("a.pcap", {tcpFrame(1)});
  listAdapters({path});
  auto* manager = new OB_PacketManager(nullptr);
  ASSERT_EQ(manager->init(), 0);
  manager->start();
  DriverControl::waitForEnd(manager->getCaptureContext());
  manager->doTask();  // the count so far is the base
  OB_TCPSessionStats::count(getTCPSessionStats()->timedOutGaps, 2);
  manager->doTask();
  manager->doTask();
  finish(manager);
  OB_Log::reset();
  const std::string log = corrana_test::readFile(install.path() + "/logs/gaps.log");
  const std::string line = "capture on file:" + path + ": 2 connections with missing segments";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find("connections with missing", log.find(line) + line.size()), std::string::npos)
      << log;
  EXPECT_EQ(log.find("frames dropped"), std::string::npos) << log;
}

// A savefile that is not Ethernet opens but gets no capture context: init still answers 0,
// start runs the thread alone, and a second start binds afresh, closing the first adapter.
TEST_F(PacketManagerTest, StartAfterAFailedContextStartsOnlyTheThread) {
  listAdapters({trace("radio.pcap", {tcpFrame(1)}, 105 /* 802.11: refused */)});
  auto* manager = new OB_PacketManager(nullptr);
  EXPECT_EQ(manager->init(), 0);
  EXPECT_EQ(manager->getCaptureContext(), nullptr);
  GLIM_AdapterHandle first = manager->getAdapterHandle();
  EXPECT_NE(first, -1);
  manager->start();
  EXPECT_EQ(manager->isRunning(), 1);
  EXPECT_EQ(manager->getCaptureContext(), nullptr);
  EXPECT_NE(manager->getAdapterHandle(), first);
  EXPECT_EQ(GLIM_CloseAdapter(first), -1);  // already closed by the retry
  manager->doTask();  // no context: the driver's empty record
  EXPECT_EQ(counter(manager, OB_CaptureEngineStats::kReportedDropped), 0u);
  finish(manager);
}

TEST_F(PacketManagerTest, NoAdapterListedFailsInit) {
  listAdapters({});
  auto* manager = new OB_PacketManager(nullptr);
  EXPECT_EQ(manager->init(), -1);
  EXPECT_EQ(manager->getAdapterHandle(), -1);
  manager->start();  // only the thread
  EXPECT_EQ(manager->getCaptureContext(), nullptr);
  finish(manager);
}

// Each device number binds its adapter; one beyond the last adapter listed is refused, named
// with the number of adapters listed.
TEST_F(PacketManagerTest, AdapterNumberBeyondTheListIsRefused) {
  OB_Server server;
  server.setIPAddress(kServer);
  server.setPort(80);
  std::string one = trace("one.pcap", {tcpFrame(1)});
  std::string two = trace("two.pcap", {tcpFrame(2), tcpFrame(2)});
  listAdapters({one, two});
  const char* args[] = {"grabber_test", nullptr};
  OB_EngineMgr engine(1, const_cast<char**>(args), nullptr, nullptr);
  for (const char* device : {"1", "0"}) {
    SCOPED_TRACE(device);
    snprintf(engine.getConfigAdmin()->device, sizeof engine.getConfigAdmin()->device, "%s",
             device);
    auto* manager = new OB_PacketManager(&engine);
    Recorder recorder;
    manager->append(&recorder);
    manager->start();
    ASSERT_NE(manager->getCaptureContext(), nullptr);
    DriverControl::waitForEnd(manager->getCaptureContext());
    EXPECT_EQ(recorder.count(), device[0] == '1' ? 2u : 1u);
    manager->remove(&recorder);
    finish(manager);
  }
  FILE* echo = tmpfile();
  ASSERT_NE(echo, nullptr);
  OB_Log::setEcho(echo, "t");
  snprintf(engine.getConfigAdmin()->device, sizeof engine.getConfigAdmin()->device, "%s", "7");
  auto* manager = new OB_PacketManager(&engine);
  EXPECT_EQ(manager->init(), -1);
  EXPECT_EQ(manager->getAdapterHandle(), -1);
  finish(manager);
  OB_Log::setEcho(nullptr, "t");
  std::string said(4096, '\0');
  rewind(echo);
  said.resize(fread(said.data(), 1, said.size(), echo));
  fclose(echo);
  EXPECT_NE(said.find("cengineInstall.cfg: device 7 is past the adapters listed (2 in "),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find("OB_PacketManager"), std::string::npos) << said;
  OB_Log::reset();
}

// A manager undoes only its own initialisation of the driver library, so another user's
// adapters stay usable after it goes, whether it bound one or never did.
TEST_F(PacketManagerTest, ReleaseLeavesAnotherUsersLibraryInitialisation) {
  std::string path = trace("a.pcap", {tcpFrame(1)});
  listAdapters({path});
  ASSERT_EQ(GLIM_InitializeLibrary(), 1);
  auto* idle = new OB_PacketManager(nullptr);
  finish(idle);
  auto* bound = new OB_PacketManager(nullptr);
  ASSERT_EQ(bound->init(), 0);
  finish(bound);
  GLIM_AdapterHandle mine = GLIM_OpenAdapter(("file:" + path).c_str());
  EXPECT_NE(mine, -1) << DriverControl::lastErrorText();
  EXPECT_EQ(GLIM_CloseAdapter(mine), 0);
  EXPECT_EQ(GLIM_CleanupLibrary(), 1);
  // Without any initialisation left, cleanup and a drop-count read are harmless.
  EXPECT_EQ(GLIM_CleanupLibrary(), 1);
  EXPECT_EQ(GLIM_GetPacketBuffer(nullptr)->framesDropped, 0u);
}

}  // namespace
