#include "tcp/OB_PacketStream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PacketTestSupport.h"

using packettest::CountedBuffer;

namespace {

// The byte that sequence number s carries in these tests, so any stretch can be checked.
char byteAt(uint32_t s) { return static_cast<char>('a' + s % 26); }

std::string bytesFrom(uint32_t seq, uint32_t count) {
  std::string text;
  for (uint32_t i = 0; i < count; ++i) text += byteAt(seq + i);
  return text;
}

class PacketStreamTest : public ::testing::Test {
 protected:
  // Offers one segment of `count` bytes starting at `seq`, as the session does; the packet's own
  // reference is given up afterwards, as the capture engine's reset does.
  void offer(uint32_t seq, uint32_t count, uint32_t sec = 1) {
    OB_Packet packet;
    packet.seqno = seq;
    packet.tv_sec = sec;
    packet.tv_usec = 500;
    CountedBuffer* buffer = new CountedBuffer(1460, &destroyed);
    packet.setBuffer(buffer);
    buffer->fill(seq, bytesFrom(seq, count));
    stream.add(&packet);
    packet.reset();
    ++made;
  }

  // The stored buffers as "seq+length" in list order.
  std::vector<std::string> layout() {
    std::vector<std::string> out;
    for (OB_Object* item = stream_buffers().first(); item != nullptr;
         item = stream_buffers().next()) {
      OB_PacketBuffer* b = obQuery<OB_PacketBuffer>(item);
      out.push_back(std::to_string(b->getSeqNo()) + "+" + std::to_string(b->getLength()));
    }
    return out;
  }

  std::string content() {
    std::string text;
    for (OB_Object* item = stream_buffers().first(); item != nullptr;
         item = stream_buffers().next()) {
      OB_Buffer* b = obQuery<OB_Buffer>(item);
      text.append(reinterpret_cast<const char*>(b->getBuffer()), b->getLength());
    }
    return text;
  }

  OB_List<OB_Object>& stream_buffers() { return stream.buffers(); }

  struct Stream : OB_PacketStream {
    OB_List<OB_Object>& buffers() { return buffers_; }
  };
  Stream stream;
  int destroyed = 0;
  int made = 0;
};

TEST_F(PacketStreamTest, InOrderSegmentsAppend) {
  offer(100, 10);
  offer(110, 10);
  offer(120, 5, 9);
  EXPECT_EQ(layout(), (std::vector<std::string>{"100+10", "110+10", "120+5"}));
  EXPECT_EQ(content(), bytesFrom(100, 25));
  EXPECT_EQ(stream.total(), 25u);
  EXPECT_EQ(stream.xOutOfOrder, 0u);
  EXPECT_EQ(stream.xRepPkts, 0u);
  EXPECT_EQ(stream.xEndTime.tv_sec, 9u);
  EXPECT_EQ(stream.xEndTime.tv_usec, 500u);
  EXPECT_EQ(destroyed, 0) << "each stored buffer holds the stream's reference";
}

TEST_F(PacketStreamTest, OutOfOrderIsSortedAndBelowFirstIsDropped) {
  offer(100, 100);
  offer(300, 100);
  offer(200, 100);
  EXPECT_EQ(layout(), (std::vector<std::string>{"100+100", "200+100", "300+100"}));
  EXPECT_EQ(stream.xOutOfOrder, 1u);
  offer(50, 10);
  EXPECT_EQ(layout().size(), 3u);
  EXPECT_EQ(stream.xRepPkts, 0u) << "dropped without counting";
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(content(), bytesFrom(100, 300));
}

TEST_F(PacketStreamTest, ExactRepeatCountsButIsNotStored) {
  offer(100, 10);
  offer(110, 10);
  offer(110, 10);
  offer(100, 10);
  EXPECT_EQ(stream.xRepPkts, 2u);
  EXPECT_EQ(layout(), (std::vector<std::string>{"100+10", "110+10"}));
  EXPECT_EQ(stream.total(), 40u) << "the total counts every byte offered";
  EXPECT_EQ(destroyed, 2);
}

TEST_F(PacketStreamTest, PartialOverlapsAreTrimmed) {
  offer(100, 10);
  offer(110, 10);
  offer(105, 10);  // wholly covered by what is stored
  EXPECT_EQ(stream.xRepPkts, 1u);
  offer(115, 15);  // last 10 bytes are new
  EXPECT_EQ(layout(), (std::vector<std::string>{"100+10", "110+10", "120+10"}));
  EXPECT_EQ(content(), bytesFrom(100, 30));
}

TEST_F(PacketStreamTest, RetransmissionFillsAGapBetweenStoredSegments) {
  offer(100, 10);
  offer(120, 10);
  offer(140, 10);
  // Reaches over the next stored segment: it fills the first gap only (one buffer cannot be
  // split in two), and no byte is stored twice.
  offer(105, 40);
  EXPECT_EQ(layout(), (std::vector<std::string>{"100+10", "110+10", "120+10", "140+10"}));
  EXPECT_EQ(stream.xOutOfOrder, 1u);
  offer(130, 10);
  EXPECT_EQ(content(), bytesFrom(100, 50));
  offer(100, 25);  // same start, longer: only bytes already held
  EXPECT_EQ(stream.xRepPkts, 1u);
  EXPECT_EQ(content(), bytesFrom(100, 50));
}

TEST_F(PacketStreamTest, SameStartLongerSegmentKeepsItsNewTail) {
  offer(100, 10);
  offer(100, 30);
  EXPECT_EQ(layout(), (std::vector<std::string>{"100+10", "110+20"}));
  EXPECT_EQ(content(), bytesFrom(100, 30));
  EXPECT_EQ(stream.xRepPkts, 0u);
}

TEST_F(PacketStreamTest, SequenceNumbersWrapAround) {
  const uint32_t start = 0xFFFFFFF0u;
  offer(start, 8);
  offer(start + 8, 8);   // ends exactly at 2^32
  offer(16, 8);          // after the wrap, one segment missing before it
  offer(0, 16);          // fills the gap across zero
  EXPECT_EQ(layout(),
            (std::vector<std::string>{"4294967280+8", "4294967288+8", "0+16", "16+8"}));
  EXPECT_EQ(stream.xOutOfOrder, 1u);
  std::string expected;
  for (uint32_t i = 0; i < 40; ++i) expected += byteAt(start + i);
  EXPECT_EQ(content(), expected);
  offer(0xFFFFFF00u, 8);  // before the first stored segment, across the wrap too
  EXPECT_EQ(layout().size(), 4u);
}

TEST_F(PacketStreamTest, EmptyOrMissingBufferIsIgnored) {
  OB_Packet packet;
  stream.add(&packet);
  packet.setBuffer(new CountedBuffer(8, &destroyed));
  stream.add(&packet);
  packet.reset();
  EXPECT_EQ(stream.total(), 0u);
  EXPECT_EQ(layout().size(), 0u);
  EXPECT_EQ(stream.xEndTime.tv_sec, 0u);
}

TEST_F(PacketStreamTest, ResetReleasesBuffersAndClearsEveryField) {
  offer(100, 10);
  offer(90, 10);
  offer(100, 10);
  stream.xIPAddr = 1;
  stream.xPort = 2;
  stream.xStatus = 0x1D;
  stream.xTtlPkts = 3;
  stream.xMinSeq = 4;
  stream.xMaxSeq = 5;
  stream.xBeginSynch.tv_sec = 6;
  stream.xAckSynch.tv_usec = 7;
  stream.reset();
  EXPECT_EQ(destroyed, made);
  EXPECT_EQ(stream.total(), 0u);
  EXPECT_EQ(stream.xIPAddr, 0u);
  EXPECT_EQ(stream.xPort, 0);
  EXPECT_EQ(stream.xStatus, 0);
  EXPECT_EQ(stream.xTtlPkts, 0u);
  EXPECT_EQ(stream.xRepPkts, 0u);
  EXPECT_EQ(stream.xMinSeq, 0xFFFFFFFFu);
  EXPECT_EQ(stream.xMaxSeq, 0u);
  EXPECT_EQ(stream.xBeginSynch.tv_sec, 0u);
  EXPECT_EQ(stream.xAckSynch.tv_usec, 0u);
  EXPECT_EQ(stream.xEndTime.tv_sec, 0u);
  // A reset stream takes a new direction from the start.
  offer(5000, 4);
  EXPECT_EQ(content(), bytesFrom(5000, 4));
}

TEST_F(PacketStreamTest, ReadsAsOneByteStream) {
  offer(100, 3);
  offer(106, 3);
  offer(103, 3);
  ASSERT_EQ(stream.setFirst(), 0);
  std::string read(1, static_cast<char>(stream.getNext()));
  while (stream.incNext() == 1) read += static_cast<char>(stream.getNext());
  EXPECT_EQ(read, bytesFrom(100, 9));
  EXPECT_EQ(obQuery<OB_BufferStream>(static_cast<OB_PacketStream*>(&stream)),
            static_cast<OB_BufferStream*>(&stream));
  EXPECT_NE(obQuery<OB_Stream>(static_cast<OB_PacketStream*>(&stream)), nullptr);
}

TEST_F(PacketStreamTest, PrintsOneLineThenTheTotal) {
  offer(100, 4);
  stream.xIPAddr = 0x0A000001;
  stream.xStatus = 5;
  stream.xMinSeq = 99;
  stream.xBeginTime.tv_sec = 12;
  char text[512] = {};
  FILE* out = fmemopen(text, sizeof(text) - 1, "w");
  ASSERT_NE(out, nullptr);
  stream.print(out);
  fclose(out);
  EXPECT_STREQ(text,
               "xIPAddr[       10.0.0.1] xStatus[   5]  xFinAck[         0] xMinSeq[        99]"
               " xMaxSeq[         0] xBeginSynch[         0] xAckSynch[         0]"
               " xBeginTime[        12] xEndTime[         1]\nm_iTotal: 4\n");
}

}  // namespace
