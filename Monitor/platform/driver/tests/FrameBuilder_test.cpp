// The shared frame and conversation builder, checked byte by byte and against tshark's reading
// of the files it writes (skipped when tshark is missing).
#include "FrameBuilder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "PcapWriter.h"
#include "TempDir.h"
#include "Tshark.h"

namespace {

using corrana_test::haveTshark;

using namespace corrana_test;

// tshark's fields, one line per frame, blank-separated.
std::vector<std::string> tsharkFields(const std::string& file, const std::string& fields,
                                      const std::string& options = "") {
  std::string command = "tshark -n -r '" + file + "' -o tcp.check_checksum:TRUE -o " +
                        "ip.check_checksum:TRUE " + options +
                        " -T fields -E separator=' ' -E occurrence=f " + fields + " 2>/dev/null";
  std::vector<std::string> lines;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char line[4096];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    lines.push_back(text);
  }
  pclose(pipe);
  return lines;
}

// The bytes one side of TCP stream 0 carried, as tshark's "follow" reassembles them.
Bytes tsharkFollow(const std::string& file, bool client) {
  std::string command = "tshark -n -r '" + file + "' -q -z follow,tcp,raw,0 2>/dev/null";
  Bytes data;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return data;
  char line[70000];
  bool inBody = false;
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (text.rfind("Node 1:", 0) == 0) {
      inBody = true;
      continue;
    }
    if (!inBody || text.rfind("====", 0) == 0) continue;
    bool fromServer = text[0] == '\t';  // tshark indents the second node's data
    if (fromServer == client) continue;
    for (size_t i = fromServer ? 1 : 0; i + 1 < text.size() && isxdigit(text[i]); i += 2)
      data.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  pclose(pipe);
  return data;
}

TcpConversation::Endpoint endpoint(const char* address, uint16_t port, uint8_t mac) {
  return {ipv4Address(address), port, {0x02, 0, 0, 0, 0, mac}};
}

TEST(FrameBuilder, LaysOutEthernetIpv4AndTcpHeaders) {
  EthernetHeader ethernet;
  Ipv4Header ip;
  ip.source = ipv4Address("198.18.0.1");
  ip.destination = ipv4Address("198.18.0.2");
  ip.id = 0x1234;
  ip.dontFragment = true;
  TcpHeader tcp;
  tcp.sourcePort = 40000;
  tcp.destinationPort = 80;
  tcp.seq = 0x01020304;
  tcp.ack = 0x0A0B0C0D;
  tcp.flags = kAck | kPsh;
  tcp.window = 0x1000;
  Bytes frame = FrameBuilder().ethernet(ethernet).ipv4(ip).tcp(tcp).payload("hi").build().bytes;
  const Bytes expected = {
      0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, 0x08, 0x00,          // Ethernet
      0x45, 0x00, 0x00, 42, 0x12, 0x34, 0x40, 0x00, 64, 6, 0xFF, 0xFF,      // IPv4 ...
      198, 18, 0, 1, 198, 18, 0, 2,                                         // ... addresses
      0x9C, 0x40, 0x00, 80, 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D,             // TCP ports, seq, ack
      0x50, 0x18, 0x10, 0x00, 0xFF, 0xFF, 0x00, 0x00, 'h', 'i'};            // offset .. urgent
  ASSERT_EQ(frame.size(), expected.size());
  for (size_t i = 0; i < frame.size(); ++i) {
    if (i == 24 || i == 25 || i == 50 || i == 51) continue;  // checksums, checked below
    EXPECT_EQ(frame[i], expected[i]) << "byte " << i;
  }
  EXPECT_EQ(internetChecksum(frame.data() + 14, 20), 0);  // a header with its checksum sums to 0
}

TEST(FrameBuilder, PadsTruncatesAndOverrides) {
  Ipv4Header ip;
  ip.totalLength = 9999;
  ip.headerWords = 4;
  Frame frame = FrameBuilder().ipv4(ip).payload("x").padTo(60).truncateTo(30).build(77);
  EXPECT_EQ(frame.time, 77u);
  EXPECT_EQ(frame.wireLength, 60u);
  ASSERT_EQ(frame.bytes.size(), 30u);
  EXPECT_EQ(frame.bytes[14], 0x44);
  EXPECT_EQ(frame.bytes[16] << 8 | frame.bytes[17], 9999);
  Bytes whole = FrameBuilder().ipv4({}).payload("x").padTo(60).wireBytes();
  EXPECT_EQ(whole.size(), 60u);
  EXPECT_EQ(whole[16] << 8 | whole[17], 21);  // padding is not part of the datagram
}

TEST(FrameBuilder, TsharkReadsItsConversationsAsBuilt) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed";
  TempDir dir;
  TcpConversation c(endpoint("198.18.0.1", 40000, 1), endpoint("198.18.0.2", 80, 2));
  c.handshake()
      .send(TcpConversation::kClient, std::string(100, 'q'), 30)
      .send(TcpConversation::kServer, std::string(3000, 'r'), 1000);
  // Half a second later, so that tshark calls it a retransmission, not a reordering.
  c.at(c.frames().back().time + 500000)
      .retransmit(7)
      .ack(TcpConversation::kClient)
      .close(TcpConversation::kClient);
  ASSERT_EQ(c.size(), 15u);
  std::string file = dir.file("c.pcap");
  ASSERT_TRUE(PcapWriter::write(file, c.frames()));

  auto lines = tsharkFields(file,
                            "-e ip.checksum.status -e tcp.checksum.status -e tcp.flags "
                            "-e tcp.len -e tcp.seq_raw -e tcp.ack_raw -e tcp.options.mss_val "
                            "-e tcp.analysis.retransmission");
  ASSERT_EQ(lines.size(), c.size());
  EXPECT_EQ(lines[0], "1 1 0x0002 0 1000 0 1460");
  EXPECT_EQ(lines[1], "1 1 0x0012 0 500000 1001 1460");
  EXPECT_EQ(lines[2], "1 1 0x0010 0 1001 500001");
  EXPECT_EQ(lines[3], "1 1 0x0010 30 1001 500001");
  EXPECT_EQ(lines[6], "1 1 0x0018 10 1091 500001");
  EXPECT_EQ(lines[7], "1 1 0x0010 1000 500001 1101");
  EXPECT_EQ(lines[10], "1 1 0x0010 1000 500001 1101  1");  // the retransmission
  EXPECT_EQ(lines[12], "1 1 0x0011 0 1101 503001");
  EXPECT_EQ(lines[13], "1 1 0x0011 0 503001 1102");
  EXPECT_EQ(lines[14], "1 1 0x0010 0 1102 503002");
  EXPECT_EQ(tsharkFollow(file, true), c.sent(TcpConversation::kClient));
  EXPECT_EQ(tsharkFollow(file, false), c.sent(TcpConversation::kServer));
}

TEST(FrameBuilder, TsharkSeesReorderingAndResets) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed";
  TempDir dir;
  TcpConversation c(endpoint("198.18.0.1", 40001, 1), endpoint("198.18.0.2", 21, 2));
  c.handshake().send(TcpConversation::kServer, std::string(30, 's'), 10).swap(4, 5).rst(
      TcpConversation::kClient);
  std::string file = dir.file("r.pcap");
  ASSERT_TRUE(PcapWriter::write(file, c.frames()));
  auto lines = tsharkFields(file, "-e tcp.flags -e tcp.seq_raw -e tcp.analysis.out_of_order");
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[3], "0x0010 500001");
  EXPECT_EQ(lines[4], "0x0018 500021");
  EXPECT_EQ(lines[5], "0x0010 500011 1");
  EXPECT_EQ(lines[6], "0x0014 1001");
  EXPECT_EQ(tsharkFollow(file, false), c.sent(TcpConversation::kServer));
}

TEST(FrameBuilder, TsharkReadsLlcSnapVlanOptionsAndFragments) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed";
  TempDir dir;
  EthernetHeader snap;
  snap.llcSnap = true;
  EthernetHeader tagged;
  tagged.vlanTag = 42;
  Ipv4Header ip;
  ip.source = ipv4Address("198.18.0.9");
  ip.destination = ipv4Address("198.18.0.10");
  ip.id = 7;
  Ipv4Header withOptions = ip;
  withOptions.options = ipv4Option(148, {0, 0});  // router alert
  TcpHeader tcp;
  tcp.sourcePort = 1025;
  tcp.destinationPort = 80;
  tcp.flags = kSyn;
  tcp.options = concat({tcpMss(1400), tcpNop(), tcpWindowScale(7), tcpSackPermitted(),
                        tcpTimestamps(1, 0)});
  std::vector<Frame> frames = {
      FrameBuilder().ethernet(snap).ipv4(ip).tcp(tcp).build(1),
      FrameBuilder().ethernet(tagged).ipv4(withOptions).tcp(tcp).build(2),
  };
  TcpHeader data = tcp;
  data.flags = kAck;
  data.options.clear();
  for (Frame& f :
       FrameBuilder().ipv4(ip).tcp(data).payload(std::string(50, 'f')).buildFragments(24, 3))
    frames.push_back(f);
  ASSERT_EQ(frames.size(), 2u + 3u);  // 70 bytes of TCP in fragments of 24, 24 and 22
  std::string file = dir.file("f.pcap");
  ASSERT_TRUE(PcapWriter::write(file, frames));
  auto lines = tsharkFields(file,
                            "-e ip.checksum.status -e ip.src -e vlan.id -e ip.opt.type "
                            "-e ip.frag_offset -e ip.flags.mf -e tcp.options.mss_val "
                            "-e tcp.options.wscale.shift -e tcp.checksum.status -e tcp.len");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "1 198.18.0.9   0 0 1400 7 1 0");
  EXPECT_EQ(lines[1], "1 198.18.0.9 42 148 0 0 1400 7 1 0");
  EXPECT_EQ(lines[2], "1 198.18.0.9   0 1");
  EXPECT_EQ(lines[3], "1 198.18.0.9   3 1");  // offsets in 8-byte units
  EXPECT_EQ(lines[4], "1 198.18.0.9   6 0   1 50");  // reassembled by tshark
}

}  // namespace
