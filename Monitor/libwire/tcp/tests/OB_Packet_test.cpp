#include "tcp/OB_Packet.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "FrameBuilder.h"
#include "PacketTestSupport.h"

using namespace corrana_test;
using packettest::CountedBuffer;

namespace {

// Decodes a copy of the frame held in a heap block of exactly its length, so that a read past
// the captured bytes is caught by the address sanitizer.
struct Decoded {
  explicit Decoded(const Bytes& frame)
      : bytes(new unsigned char[frame.empty() ? 1 : frame.size()]), length(frame.size()) {
    if (!frame.empty()) std::memcpy(bytes.get(), frame.data(), frame.size());
    packet.setPacketInfo(bytes.get(), static_cast<int>(length));
  }
  explicit Decoded(const FrameBuilder& builder) : Decoded(builder.build().bytes) {}
  // Attaches a buffer of the given capacity, copies, and gives back what was copied.
  std::string copied(uint32_t capacity = 1460) {
    CountedBuffer* buffer = new CountedBuffer(capacity);
    packet.setBuffer(buffer);
    packet.copyBuffer();
    std::string text = buffer->bytes();
    packet.reset();
    return text;
  }
  std::unique_ptr<unsigned char[]> bytes;
  size_t length;
  OB_Packet packet;
};

// 10.0.0.1:1025 -> 10.0.0.2:80, ACK, the given payload.
FrameBuilder segment(std::string_view payload = "", TcpHeader tcp = {}) {
  Ipv4Header ip;
  ip.source = 0x0A000001;
  ip.destination = 0x0A000002;
  if (tcp.sourcePort == 0) tcp.sourcePort = 1025;
  if (tcp.destinationPort == 0) tcp.destinationPort = 80;
  if (tcp.seq == 0) tcp.seq = 1000;
  FrameBuilder builder;
  builder.ipv4(ip).tcp(tcp).payload(payload);
  return builder;
}

void expectNoTCP(OB_Packet& p) {
  EXPECT_EQ(p.srcPort, 0);
  EXPECT_EQ(p.dstPort, 0);
  EXPECT_EQ(p.seqno, 0u);
  EXPECT_EQ(p.ackno, 0u);
  EXPECT_EQ(p.getCode(), 0);
  EXPECT_EQ(p.getContentSize(), 0);
}

TEST(PacketDecoder, EthernetIITCPFieldByField) {
  TcpHeader tcp;
  tcp.sourcePort = 0xBEEF;
  tcp.seq = 0xFEDCBA98;
  tcp.ack = 0x01020304;
  tcp.flags = kAck | kPsh | kFin;
  Ipv4Header ip;
  ip.source = 0xC0A80101;
  ip.destination = 0x0A0B0C0D;
  tcp.destinationPort = 80;
  Decoded d(FrameBuilder().ipv4(ip).tcp(tcp).payload(std::string(100, 'x')));
  OB_Packet& p = d.packet;
  EXPECT_EQ(p.isIP(), 1);
  EXPECT_EQ(p.getIPType(), 6);
  EXPECT_EQ(p.srcIP, 0xC0A80101u);
  EXPECT_EQ(p.dstIP, 0x0A0B0C0Du);
  EXPECT_EQ(p.srcPort, 0xBEEF);
  EXPECT_EQ(p.dstPort, 80);
  EXPECT_EQ(p.seqno, 0xFEDCBA98u);
  EXPECT_EQ(p.ackno, 0x01020304u);
  EXPECT_EQ(p.getCode(), 0x19);
  EXPECT_EQ(p.getPacketSize(), 154);
  EXPECT_EQ(p.getContentSize(), 100);
  EXPECT_EQ(p.getPayloadOffset(), 54u);
  EXPECT_EQ(p.getPacketData(), d.bytes.get());
  EXPECT_EQ(p.protoSpecId, 0) << "no tree loaded classifies nothing";
  EXPECT_EQ(p.addressMatch(0xC0A80101, 0xBEEF, 0x0A0B0C0D, 80), 1);
  EXPECT_EQ(p.addressMatch(0x0A0B0C0D, 80, 0xC0A80101, 0xBEEF), 0);
}

TEST(PacketDecoder, IEEE8023WithLLCAndSNAPCarryIP) {
  EthernetHeader snapHeader;
  snapHeader.llcSnap = true;
  Bytes snapFrame = segment("GET / HTTP/1.0\r\n\r\n").ethernet(snapHeader).build().bytes;
  Decoded snap(snapFrame);
  EXPECT_EQ(snap.packet.isIP(), 1);
  EXPECT_EQ(snap.packet.getPayloadOffset(), 22u + 40u);
  EXPECT_EQ(snap.copied(), "GET / HTTP/1.0\r\n\r\n");

  // The same SNAP bytes behind an Ethernet II type other than IPv4 are not IP.
  Bytes other = snapFrame;
  other[12] = 0x86;
  other[13] = 0xDD;
  EXPECT_EQ(Decoded(other).packet.isIP(), 0);

  // Plain 802.2 LLC with the IP service access point: DSAP 06, SSAP 06, UI.
  Bytes llc = segment("PWD\r\n").build().bytes;
  llc.insert(llc.begin() + 14, {0x06, 0x06, 0x03});
  llc[12] = 0;
  llc[13] = static_cast<uint8_t>(llc.size() - 14);
  Decoded d(llc);
  EXPECT_EQ(d.packet.isIP(), 1);
  EXPECT_EQ(d.packet.getPayloadOffset(), 17u + 40u);
  EXPECT_EQ(d.copied(), "PWD\r\n");

  EthernetHeader arp;
  arp.etherType = kEtherTypeArp;
  EXPECT_EQ(Decoded(segment().ethernet(arp)).packet.isIP(), 0);
}

TEST(PacketDecoder, IPAndTCPOptionsMoveThePayload) {
  Ipv4Header ip;
  ip.options = ipv4Option(148, {0, 0});  // router alert
  TcpHeader tcp;
  tcp.sourcePort = 1025;
  tcp.destinationPort = 21;
  tcp.options = concat({tcpMss(1460), tcpNop(), tcpWindowScale(7), tcpSackPermitted()});
  Decoded d(FrameBuilder().ipv4(ip).tcp(tcp).payload("USER anonymous\r\n"));
  EXPECT_EQ(d.packet.getPayloadOffset(), 14u + 24u + 32u);
  EXPECT_EQ(d.packet.getContentSize(), 16);
  EXPECT_EQ(d.copied(), "USER anonymous\r\n");
}

TEST(PacketDecoder, SegmentOfOneBareHeaderLengthCarriesNothing) {
  // IP total minus header is exactly 20 while the data offset announces options.
  Ipv4Header ip;
  ip.totalLength = 40;
  TcpHeader tcp;
  tcp.options = concat({tcpNop(), tcpNop(), tcpNop(), tcpNop()});
  Decoded d(FrameBuilder().ipv4(ip).tcp(tcp).padTo(60));
  EXPECT_EQ(d.packet.isIP(), 1);
  EXPECT_EQ(d.packet.getContentSize(), 0);
}

TEST(PacketDecoder, PaddedFrameCopiesThePayloadNotThePadding) {
  // 1-5 byte payloads are padded to 60 bytes: the frame's last bytes are padding.
  for (const char* text : {"0\r\n\r\n", "PWD\r\n", "Q"}) {
    Decoded d(segment(text).padTo(60));
    ASSERT_EQ(d.packet.getPacketSize(), 60);
    ASSERT_EQ(d.packet.getContentSize(), strlen(text));
    EXPECT_EQ(d.copied(), text);
  }
}

TEST(PacketDecoder, TruncatedFramesReadNothingPastTheCapturedBytes) {
  const Bytes full = segment(std::string(200, 'p')).build().bytes;
  for (size_t cut = 0; cut < full.size(); ++cut) {
    Decoded d(Bytes(full.begin(), full.begin() + cut));
    OB_Packet& p = d.packet;
    EXPECT_EQ(p.getPacketSize(), cut);
    if (cut < 14 + 20) {
      EXPECT_EQ(p.isIP(), 0) << cut;
    } else if (cut < 14 + 40) {
      EXPECT_EQ(p.isIP(), 1) << cut;
      EXPECT_EQ(p.getIPType(), 6);
      expectNoTCP(p);
    } else {
      // Whole headers: the content size is what they announce, but a payload that is not all
      // present is not copied.
      EXPECT_EQ(p.getContentSize(), 200);
      EXPECT_EQ(d.copied(), "") << cut;
    }
  }
}

TEST(PacketDecoder, MalformedHeaders) {
  Ipv4Header ip;
  ip.headerWords = 4;
  EXPECT_EQ(Decoded(FrameBuilder().ipv4(ip).tcp({})).packet.isIP(), 0) << "ihl below 20";
  ip.headerWords = 15;
  EXPECT_EQ(Decoded(FrameBuilder().ipv4(ip).tcp({})).packet.isIP(), 0) << "ihl past the frame";
  Bytes v6 = segment().build().bytes;
  v6[14] = 0x65;
  EXPECT_EQ(Decoded(v6).packet.isIP(), 0) << "version not 4";

  // A malformed TCP header keeps IP and the protocol, but no TCP field.
  TcpHeader tcp;
  tcp.dataOffsetWords = 4;
  Decoded low(segment("hello", tcp));
  EXPECT_EQ(low.packet.isIP(), 1);
  EXPECT_EQ(low.packet.getIPType(), 6);
  expectNoTCP(low.packet);
  tcp.dataOffsetWords = 15;
  Decoded past(segment("hello", tcp));
  expectNoTCP(past.packet);
  ip = Ipv4Header();
  ip.totalLength = 30;  // smaller than the two headers
  Decoded lying(FrameBuilder().ipv4(ip).tcp({}).payload("hello"));
  EXPECT_EQ(lying.packet.isIP(), 1);
  expectNoTCP(lying.packet);

  // A total length that announces more than the frame holds copies nothing.
  ip.totalLength = 540;
  Decoded longer(FrameBuilder().ipv4(ip).tcp({}).payload("abc"));
  EXPECT_EQ(longer.packet.getContentSize(), 500);
  EXPECT_EQ(longer.copied(), "");
}

TEST(PacketDecoder, OnlyTheFirstFragmentIsDecodedAsTCP) {
  std::vector<Frame> fragments = segment(std::string(64, 'f')).buildFragments(48);
  ASSERT_GE(fragments.size(), 2u);
  Decoded first(fragments[0].bytes);
  EXPECT_EQ(first.packet.srcPort, 1025);
  EXPECT_EQ(first.packet.seqno, 1000u);
  for (size_t i = 1; i < fragments.size(); ++i) {
    Decoded later(fragments[i].bytes);
    EXPECT_EQ(later.packet.isIP(), 1);
    EXPECT_EQ(later.packet.getIPType(), 6);
    EXPECT_EQ(later.packet.srcIP, 0x0A000001u);
    expectNoTCP(later.packet);
  }
  Ipv4Header udp;
  udp.protocol = kIpProtocolUdp;
  Decoded other(FrameBuilder().ipv4(udp).payload("12345678dns?"));
  EXPECT_EQ(other.packet.getIPType(), 17);
  expectNoTCP(other.packet);
}

TEST(PacketDecoder, GarbageOfAnyLengthIsSafe) {
  std::mt19937 random(12345);
  OB_Packet p;
  p.setPacketInfo(nullptr, 100);
  EXPECT_EQ(p.isIP(), 0);
  p.setPacketInfo("x", -5);
  EXPECT_EQ(p.getPacketSize(), 0);
  for (int round = 0; round < 4000; ++round) {
    Bytes bytes(random() % 120);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    if (bytes.size() > 34 && round % 2 == 0) {  // steer half into the IPv4/TCP path
      bytes[12] = 0x08;
      bytes[13] = 0x00;
      bytes[14] = static_cast<uint8_t>(0x40 | (bytes[14] & 0x0F));
      bytes[23] = 6;
    }
    Decoded d(bytes);
    const uint32_t offset = d.packet.getPayloadOffset();
    const uint16_t content = d.packet.getContentSize();
    std::string copied = d.copied();
    if (!copied.empty()) {
      ASSERT_EQ(copied.size(), content);
      ASSERT_EQ(copied, std::string(bytes.begin() + offset, bytes.begin() + offset + content));
    }
  }
}

TEST(PacketDecoder, CopyLargerThanTheBufferLeavesItEmpty) {
  EXPECT_EQ(Decoded(segment(std::string(40, 'z'))).copied(32), "");
  OB_Packet bare;
  EXPECT_EQ(bare.copyBuffer(), -1) << "no buffer attached";
}

TEST(PacketObject, ResetClearsEveryFieldAndReleasesTheBuffer) {
  Decoded d(segment("data"));
  int destroyed = 0;
  d.packet.setBuffer(new CountedBuffer(32, &destroyed));
  d.packet.tv_sec = 77;
  d.packet.tv_usec = 88;
  d.packet.reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(d.packet.getBuffer(), nullptr);
  EXPECT_EQ(d.packet.seqno, 0u);
  EXPECT_EQ(d.packet.ackno, 0u);
  EXPECT_EQ(d.packet.getIPType(), 0);
  EXPECT_EQ(d.packet.tv_sec, 0u);
  EXPECT_EQ(d.packet.tv_usec, 0u);
  EXPECT_EQ(d.packet.protoSpecId, 0);
  EXPECT_EQ(d.packet.getPacketData(), nullptr);
  EXPECT_EQ(OB_Packet().protoSpecId, 0xFFFF);
}

TEST(PacketObject, AnswersTheFacesOfItsBuffer) {
  OB_Packet p;
  EXPECT_EQ(obQuery<OB_Packet>(&p), &p);
  EXPECT_EQ(obQuery<OB_PacketBuffer>(&p), nullptr);
  p.seqno = 4242;
  CountedBuffer* buffer = new CountedBuffer(8);
  EXPECT_EQ(p.setBuffer(buffer), 0);
  EXPECT_EQ(buffer->getSeqNo(), 4242u);
  EXPECT_EQ(obQuery<OB_PacketBuffer>(&p), static_cast<OB_PacketBuffer*>(buffer));
  EXPECT_EQ(obQuery<OB_ReferenceCounter>(&p), static_cast<OB_ReferenceCounter*>(buffer));
  p.reset();
}

TEST(PacketObject, PrintShowsAddressesAndPayload) {
  Decoded d(segment("hi"));
  d.packet.tv_sec = 5;
  d.packet.setBuffer(new CountedBuffer(8));
  d.packet.copyBuffer();
  char text[512] = {};
  FILE* out = fmemopen(text, sizeof(text) - 1, "w");
  ASSERT_NE(out, nullptr);
  d.packet.print(out);
  fclose(out);
  EXPECT_STREQ(text,
               "length:    2\n\nsrcIP:10.0.0.1 srcPort:1025 dstIP:10.0.0.2 dstPort:80 "
               "seqno:      1000 m_iCode:16 ipType:6 tv_sec:         5 length:    2\nhi");
  d.packet.reset();
}

}  // namespace
