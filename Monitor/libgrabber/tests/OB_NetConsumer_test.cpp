#include "OB_NetConsumer.h"

#include <gtest/gtest.h>

#include <vector>

#include "ConsumerTestSupport.h"
#include "FrameBuilder.h"
#include "OB_CaptureEngineStats.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_PacketManager.h"
#include "OB_String.h"
#include "net/OB_AllNetData.h"

namespace {

using consumertest::PortWriter;
using corrana_test::Bytes;
using corrana_test::Frame;
using corrana_test::FrameBuilder;

constexpr uint32_t kA = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kB = 0x0A000002;  // 10.0.0.2

// A consumer whose clock the test sets.
class ClockedConsumer : public OB_NetConsumer {
 public:
  uint32_t clock = 0;
  using OB_NetConsumer::peekRecord;

 protected:
  uint32_t now() override { return clock; }
};

// What a writer was handed, each record kept with a reference of its own.
struct Kept {
  std::vector<OB_AllNetData*> records;
  ~Kept() {
    for (OB_AllNetData* record : records) record->release();
  }
  PortWriter writer{0, [this](OB_Object* object) {
                      OB_AllNetData* record = obQuery<OB_AllNetData>(object);
                      ASSERT_NE(record, nullptr);
                      record->addRef();
                      records.push_back(record);
                    }};
};

OB_Packet packetOf(uint32_t src, uint32_t dst, uint16_t size) {
  OB_Packet packet;
  packet.srcIP = src;
  packet.dstIP = dst;
  packet.protoSpecId = 0;
  packet.packetSize = size;
  packet.ipFound = 1;
  return packet;
}

uint32_t counter(OB_CaptureEngineStats& stats, int index) {
  uint32_t value = 0;
  stats.getValue(index, &value);
  return value;
}

class NetConsumerTest : public ::testing::Test {
 protected:
  void SetUp() override { options.setOwner(1); }
  void TearDown() override {
    setOptions(nullptr);
    setCaptureEngineStats(nullptr);
  }
  void setOption(const char* name, const char* value) {
    if (options.find(name) == nullptr) options.insert(OB_String::create(), name);
    *options.find(name) = value;
    setOptions(&options);
  }
  OB_NamedStringList options;
};

TEST_F(NetConsumerTest, UpdateIntervalComesFromAPositiveOptionElse300) {
  struct Case {
    const char* value;  // null: no option
    int interval;
  };
  for (const Case& c : {Case{nullptr, 300}, Case{"0", 300}, Case{"-60", 300}, Case{"x", 300},
                        Case{"99999999999", 300}, Case{"60", 60}}) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(absent)");
    if (c.value != nullptr) setOption("NetUpdateInterval", c.value);
    OB_NetConsumer* consumer = OB_NetConsumer::create();
    EXPECT_EQ(consumer->getUpdateInterval(), c.interval);
    EXPECT_STREQ(consumer->getProtocolName(), "net");
    consumer->release();
  }
}

TEST_F(NetConsumerTest, EachUpdateClosesTheRecordWithTheIntervalCounters) {
  OB_CaptureEngineStats stats;
  setCaptureEngineStats(&stats);
  const uint32_t interval[] = {10, 1000, 6, 9, 900};  // indexes 3 to 7
  for (int index = OB_CaptureEngineStats::kPacksSeen;
       index <= OB_CaptureEngineStats::kReportedDropped; ++index)
    stats.setValue(index, interval[index - OB_CaptureEngineStats::kPacksSeen]);
  stats.setValue(OB_CaptureEngineStats::kAllPacksSeen, 99);

  auto* consumer = new ClockedConsumer;
  consumer->init();
  Kept kept;
  OB_ReferenceCounter* bystander = OB_ReferenceCounter::create();  // not a writer: passed over
  consumer->append(bystander);
  consumer->append(&kept.writer);

  consumer->clock = 1000;
  for (uint16_t size : {60, 70, 80}) {
    OB_Packet packet = packetOf(kA, kB, size);
    consumer->processObject(&packet);
  }
  consumer->clock = 1060;
  EXPECT_EQ(consumer->doTask(), 0);
  ASSERT_EQ(kept.records.size(), 1u);
  OB_AllNetData* closed = kept.records[0];
  EXPECT_EQ(closed->startTime, 1000u);
  EXPECT_EQ(closed->stopTime, 1060u);
  EXPECT_EQ(closed->packsSeen, 10u);
  EXPECT_EQ(closed->bytesSeen, 1000u);
  EXPECT_EQ(closed->packsAccepted, 6u);
  EXPECT_EQ(closed->bytesAccepted, 9u);
  EXPECT_EQ(closed->reportedDropped, 900u);
  EXPECT_EQ(closed->getPairCount(), 1);
  ASSERT_NE(closed->getProtoCounts().first(), nullptr);
  EXPECT_EQ(closed->getProtoCounts().first()->packs, 3u);
  EXPECT_EQ(closed->getProtoCounts().first()->bytes, 210u);
  // The five interval counters were taken; the totals keep counting.
  for (int index = OB_CaptureEngineStats::kPacksSeen;
       index <= OB_CaptureEngineStats::kReportedDropped; ++index)
    EXPECT_EQ(counter(stats, index), 0u) << index;
  EXPECT_EQ(counter(stats, OB_CaptureEngineStats::kAllPacksSeen), 99u);
  EXPECT_NE(consumer->peekRecord(), closed);

  // An interval without a frame still gives the writers a record, from the last update on.
  stats.incValue(OB_CaptureEngineStats::kPacksSeen, 4);
  consumer->clock = 1120;
  consumer->doTask();
  ASSERT_EQ(kept.records.size(), 2u);
  EXPECT_EQ(kept.records[1]->startTime, 1060u);
  EXPECT_EQ(kept.records[1]->stopTime, 1120u);
  EXPECT_EQ(kept.records[1]->xTime(), 1090u);
  EXPECT_EQ(kept.records[1]->packsSeen, 4u);
  EXPECT_EQ(kept.records[1]->getProtoCounts().size(), 0u);
  EXPECT_EQ(kept.writer.handed, 2);

  consumer->release();
  bystander->release();
}

TEST_F(NetConsumerTest, UpdateBeforeAnyFrameHandsARecordInsteadOfNothing) {
  OB_CaptureEngineStats stats;
  setCaptureEngineStats(&stats);
  stats.setValue(OB_CaptureEngineStats::kPacksSeen, 3);
  auto* consumer = new ClockedConsumer;
  Kept kept;
  consumer->append(&kept.writer);
  consumer->clock = 500;
  EXPECT_EQ(consumer->peekRecord(), nullptr);
  EXPECT_EQ(consumer->doTask(), 0);
  ASSERT_EQ(kept.records.size(), 1u);
  EXPECT_EQ(kept.records[0]->startTime, 500u);
  EXPECT_EQ(kept.records[0]->stopTime, 500u);
  EXPECT_EQ(kept.records[0]->packsSeen, 3u);
  consumer->release();
}

// The writers run after the records were swapped and without the record lock: a frame that
// arrives while a writer is busy (here: from inside the writer) is counted into the fresh record
// at once instead of waiting for the writer. Were the lock still held, this would never return.
TEST_F(NetConsumerTest, FramesDuringTheHandOverGoToTheFreshRecord) {
  auto* consumer = new ClockedConsumer;
  OB_AllNetData* handed = nullptr;
  OB_AllNetData* currentDuringHandOver = nullptr;
  PortWriter writer(0, [&](OB_Object* object) {
    handed = obQuery<OB_AllNetData>(object);
    OB_Packet packet = packetOf(kA, kB, 64);
    consumer->processObject(&packet);
    currentDuringHandOver = consumer->peekRecord();
  });
  consumer->append(&writer);
  consumer->clock = 100;
  OB_Packet packet = packetOf(kA, kB, 64);
  consumer->processObject(&packet);
  consumer->clock = 200;
  consumer->doTask();
  ASSERT_NE(currentDuringHandOver, nullptr);
  EXPECT_NE(currentDuringHandOver, handed);
  EXPECT_EQ(consumer->peekRecord(), currentDuringHandOver);
  EXPECT_EQ(currentDuringHandOver->getProtoCounts().first()->packs, 1u);
  EXPECT_EQ(currentDuringHandOver->startTime, 200u);
  consumer->release();
}

// The packet manager shows the consumer every frame, also those the (empty) server list drops.
// Once the first frame of a pair has made the record, its protocol entry and the pair, later
// frames of the same kind touch only those objects: nothing is made per frame.
TEST_F(NetConsumerTest, EveryFrameIsCountedIntoTheSameObjects) {
  auto* manager = new OB_PacketManager(nullptr);
  auto* consumer = new ClockedConsumer;
  Kept kept;
  consumer->append(&kept.writer);
  manager->setAllProcessor(consumer);
  consumer->clock = 2000;

  corrana_test::Ipv4Header ip;
  ip.source = kA;
  ip.destination = kB;
  corrana_test::TcpHeader tcp;
  tcp.sourcePort = 40000;
  tcp.destinationPort = 80;
  auto feed = [&](size_t payload) {
    FrameBuilder builder;
    builder.ipv4(ip).tcp(tcp).payload(Bytes(payload, 'p'));
    Frame frame = builder.build(2000000000ull);
    manager->acceptPacketProc(frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size()),
                              frame.time, frame.wireLength);
    return static_cast<uint32_t>(frame.bytes.size());
  };

  uint32_t bytes = feed(10);
  OB_AllNetData* record = consumer->peekRecord();
  ASSERT_NE(record, nullptr);
  const OB_ProtoCount* entry = record->getProtoCounts().first();
  ASSERT_NE(entry, nullptr);
  const int bucket = OB_AddrPair::bucketOf(kA, kB, 1024);
  OB_Link<OB_AddrPair>* pair = record->getPairTable()->getChain(bucket);
  ASSERT_NE(pair, nullptr);

  const uint32_t frames = 500;
  for (uint32_t n = 1; n < frames; ++n) bytes += feed(n % 1400);
  EXPECT_EQ(consumer->peekRecord(), record);
  EXPECT_EQ(record->getProtoCounts().first(), entry);
  EXPECT_EQ(record->getProtoCounts().size(), 1u);
  EXPECT_EQ(record->getPairTable()->getChain(bucket), pair);
  EXPECT_EQ(record->getPairTable()->getCount(), 1);

  consumer->clock = 2300;
  consumer->doTask();
  ASSERT_EQ(kept.records.size(), 1u);
  OB_AllNetData* closed = kept.records[0];
  EXPECT_EQ(closed, record);
  EXPECT_EQ(closed->packsSeen, frames);
  EXPECT_EQ(closed->bytesSeen, bytes);
  EXPECT_EQ(closed->getProtoCounts().first()->packs, frames);
  EXPECT_EQ(closed->getProtoCounts().first()->bytes, bytes);
  EXPECT_EQ(obQuery<OB_AddrPair>(pair)->packs, frames);

  manager->setAllProcessor(nullptr);
  manager->stop();
  manager->join(nullptr, 10000);
  manager->release();
  consumer->release();
}

}  // namespace
