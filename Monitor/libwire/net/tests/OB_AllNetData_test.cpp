#include "net/OB_AllNetData.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/PSpcWriter.h"
#include "FileText.h"
#include "OB_Log.h"
#include "TempDir.h"
#include "tcp/OB_Packet.h"
#include "tcp/protoSpec.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kA = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kB = 0x0A000002;  // 10.0.0.2

OB_Packet packetOf(uint32_t src, uint32_t dst, uint16_t psid, uint16_t size, int ip = 1) {
  OB_Packet packet;
  packet.srcIP = src;
  packet.dstIP = dst;
  packet.protoSpecId = psid;
  packet.packetSize = size;
  packet.ipFound = ip;
  return packet;
}

void count(OB_AllNetData& record, uint32_t src, uint32_t dst, uint16_t psid, uint16_t size) {
  OB_Packet packet = packetOf(src, dst, psid, size);
  record.processObject(&packet);
}

Bytes bytesOf(OB_AllNetData& record) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  EXPECT_EQ(record.write(out), 0);
  fclose(out);
  Bytes bytes(text, text + size);
  free(text);
  return bytes;
}

int readInto(OB_AllNetData& record, const Bytes& bytes) {
  FILE* in = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
  int result = record.read(in);
  fclose(in);
  return result;
}

void le16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void le32(Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

struct Count {
  uint16_t psid, ppsid;
  uint32_t packs, bytes;
  bool operator==(const Count&) const = default;
};
std::vector<Count> countsOf(const OB_ProtoCountList& list) {
  std::vector<Count> out;
  for (const OB_ProtoCount* e = list.first(); e != nullptr; e = e->next)
    out.push_back({e->psid, e->ppsid, e->packs, e->bytes});
  return out;
}

OB_AddrPair* pairIn(OB_AllNetData& record, uint32_t src, uint32_t dst) {
  OB_AllNetData::PairTable* table = record.getPairTable();
  if (table == nullptr) return nullptr;
  for (OB_Link<OB_AddrPair>* at = table->getChain(OB_AddrPair::bucketOf(src, dst, 1024));
       at != nullptr; at = at->getNext()) {
    OB_AddrPair* pair = obQuery<OB_AddrPair>(at);
    if (pair->srcIP == src && pair->dstIP == dst) return pair;
  }
  return nullptr;
}

// Ethernet II (2) > IPv4 (3) > TCP (5), and IEEE 802.3 (1) on its own.
class NetDataWithTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<pspc::Node> nodes = {{1, 0, {}}, {2, 0, {}}, {3, 2, {}}, {5, 3, {}}};
    Bytes file;
    ASSERT_TRUE(pspc::encode(nodes, file));
    ASSERT_TRUE(pspc::writeFile(dir.file("PSpc.bin"), file));
    ASSERT_EQ(protoSpec_InitProtoSpecUtils(dir.file("PSpc.bin").c_str()), 0);
  }
  void TearDown() override { protoSpec_FreeProtoSpecUtils(); }
  corrana_test::TempDir dir;
};

TEST_F(NetDataWithTree, EachFrameCountsForItsNodeAndEveryAncestorWithoutNewEntriesLater) {
  OB_AllNetData* record = OB_AllNetData::create();
  count(*record, kA, kB, 5, 100);
  EXPECT_EQ(countsOf(record->getProtoCounts()),
            (std::vector<Count>{{5, 3, 1, 100}, {3, 2, 1, 100}, {2, 0, 1, 100}}));

  // Known protocols and a known pair: the same entries and the same pair take the counts.
  const OB_ProtoCount* firstEntry = record->getProtoCounts().first();
  OB_AddrPair* pair = pairIn(*record, kA, kB);
  ASSERT_NE(pair, nullptr);
  const OB_ProtoCount* pairEntry = pair->protocols.first();
  for (int i = 0; i < 50; ++i) count(*record, kA, kB, 3, 10);
  EXPECT_EQ(record->getProtoCounts().first(), firstEntry);
  EXPECT_EQ(record->getProtoCounts().size(), 3u);
  EXPECT_EQ(pairIn(*record, kA, kB), pair);
  EXPECT_EQ(pair->protocols.first(), pairEntry);
  EXPECT_EQ(record->getPairCount(), 1);
  EXPECT_EQ(countsOf(record->getProtoCounts()),
            (std::vector<Count>{{5, 3, 1, 100}, {3, 2, 51, 600}, {2, 0, 51, 600}}));
  EXPECT_EQ(countsOf(pair->protocols), countsOf(record->getProtoCounts()));
  EXPECT_EQ(pair->packs, 51u);
  EXPECT_EQ(pair->bytes, 600u);
  record->release();
}

TEST(AllNetData, PairsAreDirectedAndSharedBucketsKeepBoth) {
  OB_AllNetData* record = OB_AllNetData::create();
  count(*record, kA, kB, 0, 60);
  count(*record, kA, kB, 0, 60);
  count(*record, kB, kA, 0, 40);
  ASSERT_NE(pairIn(*record, kA, kB), nullptr);
  ASSERT_NE(pairIn(*record, kB, kA), nullptr);
  EXPECT_EQ(pairIn(*record, kA, kB)->packs, 2u);
  EXPECT_EQ(pairIn(*record, kB, kA)->packs, 1u);

  const uint32_t c = 0x0A000401, d = 0x0A000801;  // 10.0.4.1, 10.0.8.1: both (A|x)&0x3FF = 1
  count(*record, kA, c, 0, 60);
  count(*record, kA, d, 0, 60);
  EXPECT_EQ(OB_AddrPair::bucketOf(kA, c, 1024), 1);
  EXPECT_EQ(OB_AddrPair::bucketOf(kA, d, 1024), 1);
  EXPECT_EQ(record->getPairTable()->getChain(1)->countChain(), 2);
  EXPECT_EQ(record->getPairCount(), 4);

  OB_AllNetData* back = OB_AllNetData::create();
  ASSERT_EQ(readInto(*back, bytesOf(*record)), 0);
  EXPECT_EQ(back->getPairCount(), 4);
  ASSERT_NE(pairIn(*back, kA, c), nullptr);
  ASSERT_NE(pairIn(*back, kA, d), nullptr);
  back->release();
  record->release();
}

TEST(AllNetData, GoldenBytesOfARecord) {
  OB_AllNetData* record = OB_AllNetData::create();
  record->startTime = 1000;
  record->stopTime = 1061;
  record->packsSeen = 7;
  record->bytesSeen = 700;
  record->reportedDropped = 1;
  record->packsAccepted = 6;
  record->bytesAccepted = 600;
  count(*record, kA, kB, 9, 64);  // no tree loaded: 9 is a root

  Bytes want = {'q', 'v', 'x', 0};
  for (uint32_t v : {1000u, 1061u, 7u, 700u, 1u, 6u, 600u}) le32(want, v);
  le16(want, 1);  // protocol counts
  le16(want, 9), le16(want, 0), le32(want, 1), le32(want, 64);
  le32(want, 1);  // path tracking
  le32(want, 1);  // pairs
  le32(want, (kA | kB) & 0x3FF);
  le32(want, kA), le32(want, kB), le32(want, 1), le32(want, 64);
  le16(want, 1);
  le16(want, 9), le16(want, 0), le32(want, 1), le32(want, 64);
  const Bytes got = bytesOf(*record);
  EXPECT_EQ(got, want);

  OB_AllNetData* back = OB_AllNetData::create();
  ASSERT_EQ(readInto(*back, got), 0);
  EXPECT_EQ(back->xTime(), 1030u);
  EXPECT_EQ(bytesOf(*back), want);
  back->release();
  record->release();
}

TEST(AllNetData, WithoutPathTrackingOrFramesTheRecordCarriesEmptyParts) {
  OB_AllNetData fresh(1);
  fresh.init();
  Bytes empty = bytesOf(fresh);
  ASSERT_EQ(empty.size(), 4u + 28 + 2 + 4 + 4);
  EXPECT_EQ(Bytes(empty.end() - 10, empty.end()), (Bytes{0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  OB_AllNetData back(1);
  back.init();
  ASSERT_EQ(readInto(back, empty), 0);
  EXPECT_EQ(back.getProtoCounts().size(), 0u);

  OB_AllNetData untracked(0);
  untracked.init();
  count(untracked, kA, kB, 0, 60);
  EXPECT_EQ(untracked.getPairTable()->getCount(), 0);
  Bytes bytes = bytesOf(untracked);
  EXPECT_EQ(Bytes(bytes.end() - 8, bytes.end()), (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(countsOf(untracked.getProtoCounts()), (std::vector<Count>{{0, 0, 1, 60}}));

  // A frame without IPv4 counts by protocol only, also with path tracking.
  OB_AllNetData tracked(1);
  tracked.init();
  OB_Packet arp = packetOf(0, 0, 4, 42, 0);
  tracked.processObject(&arp);
  EXPECT_EQ(tracked.getPairCount(), 0);
  EXPECT_EQ(countsOf(tracked.getProtoCounts()), (std::vector<Count>{{4, 0, 1, 42}}));
}

TEST(AllNetData, MiddleTimeNeverWrapsWhenTheClockSteppedBack) {
  OB_AllNetData record;
  record.startTime = 1000;
  record.stopTime = 1061;
  EXPECT_EQ(record.xTime(), 1030u);
  record.startTime = 2000;
  record.stopTime = 1000;  // clock stepped back: the middle, not 2000 + 2^31 - 500
  EXPECT_EQ(record.xTime(), 1500u);
}

TEST(AllNetData, CutShortRecordsFailAndReadReplacesTheProtocolCounts) {
  OB_AllNetData* record = OB_AllNetData::create();
  count(*record, kA, kB, 9, 64);
  count(*record, kA, kB, 8, 64);
  const Bytes whole = bytesOf(*record);
  // Every cut, including one inside the protocol counts (which must not be taken as an empty
  // list followed by the rest of the record), fails.
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    OB_AllNetData* back = OB_AllNetData::create();
    EXPECT_EQ(readInto(*back, Bytes(whole.begin(), whole.begin() + cut)), -1) << cut;
    back->release();
  }
  // A record whose pair table comes with path tracking 0 was not written by this system.
  Bytes forged = whole;
  const size_t tracking = 4 + 28 + 2 + 2 * 12;
  forged[tracking] = 0;
  OB_AllNetData* back = OB_AllNetData::create();
  EXPECT_EQ(readInto(*back, forged), -1);
  back->release();

  // Reading into a record that already counted protocols (path tracking off, so no table
  // entries): the stored list replaces what was there, no duplicate ids.
  OB_AllNetData used(0);
  used.init();
  count(used, kA, kB, 9, 1);
  count(used, kA, kB, 7, 1);
  OB_AllNetData source(0);
  source.init();
  count(source, kA, kB, 9, 5);
  ASSERT_EQ(readInto(used, bytesOf(source)), 0);
  EXPECT_EQ(countsOf(used.getProtoCounts()), (std::vector<Count>{{9, 0, 1, 5}}));
  record->release();
}

TEST(AllNetData, ReadingIntoATableHoldingPairsEndsTheProcess) {
  corrana_test::TempDir install;
  ASSERT_EQ(mkdir(install.file("logs").c_str(), 0755), 0);
  setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  OB_AllNetData* record = OB_AllNetData::create();
  count(*record, kA, kB, 0, 60);
  const Bytes bytes = bytesOf(*record);
  EXPECT_EXIT(
      {
        OB_Log::init("netdata", 0, nullptr);
        readInto(*record, bytes);
      },
      ::testing::ExitedWithCode(1), "");
  const std::string log = corrana_test::readFile(install.file("logs/netdata.log"));
  EXPECT_NE(log.find("Error reading"), std::string::npos) << log;
  record->release();
}

TEST(AllNetData, ResetDropsEverythingAndTheRecordStaysUsableWithoutInit) {
  OB_AllNetData* record = OB_AllNetData::create();
  record->packsSeen = 5;
  count(*record, kA, kB, 9, 64);
  const Bytes bytes = bytesOf(*record);
  record->reset();
  EXPECT_EQ(record->getPairCount(), 0);
  EXPECT_EQ(record->getProtoCounts().size(), 0u);
  EXPECT_EQ(record->getPairTable(), nullptr);
  // No table: the record still writes (an empty table), reads and counts.
  Bytes afterReset = bytesOf(*record);
  EXPECT_EQ(Bytes(afterReset.end() - 4, afterReset.end()), (Bytes{0, 0, 0, 0}));
  count(*record, kA, kB, 9, 64);
  EXPECT_EQ(record->getPairCount(), 1);
  record->reset();
  ASSERT_EQ(readInto(*record, bytes), 0);
  EXPECT_EQ(record->getPairCount(), 1);
  EXPECT_EQ(record->packsSeen, 5u);
  record->release();
}

TEST(AllNetData, PrintWithoutAFileGoesToTheLog) {
  OB_AllNetData* record = OB_AllNetData::create();
  count(*record, kA, kB, 9, 64);
  EXPECT_EQ(record->print(nullptr), 0);
  EXPECT_EQ(record->printHash(nullptr), 0);
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  record->print(out);
  fclose(out);
  EXPECT_NE(std::string(text, size).find("sp->protoAcceptedList = \n"
                                         "(psid, ppsid, packs, bytes) = 9 0 1 64\n"),
            std::string::npos);
  free(text);
  record->release();
}

// A record that keeps at most two pairs.
class SmallNetData : public OB_AllNetData {
 public:
  SmallNetData() { maxPairs_ = 2; }
};

TEST(AllNetData, PairsPastTheLimitStillCountByProtocol) {
  SmallNetData record;
  record.init();
  for (uint32_t host = 1; host <= 5; ++host) count(record, kA, kB + host, 9, 10);
  EXPECT_EQ(record.getPairCount(), 2);
  EXPECT_EQ(record.getPairTable()->getCount(), 2);
  EXPECT_EQ(countsOf(record.getProtoCounts()), (std::vector<Count>{{9, 0, 5, 50}}));
  count(record, kA, kB + 1, 9, 10);  // a kept pair goes on counting
  EXPECT_EQ(pairIn(record, kA, kB + 1)->packs, 2u);
}

TEST(ProtoCountList, ParentLoopReadFromAFileCannotHangTheClimb) {
  Bytes stored;
  le16(stored, 2);
  le16(stored, 7), le16(stored, 8), le32(stored, 0), le32(stored, 0);
  le16(stored, 8), le16(stored, 7), le32(stored, 0), le32(stored, 0);
  FILE* in = fmemopen(stored.data(), stored.size(), "rb");
  OB_ProtoCountList list;
  ASSERT_EQ(list.read(in), 0);
  fclose(in);
  list.count(7, 1);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_GT(list.find(7)->packs, 0u);
}

}  // namespace
