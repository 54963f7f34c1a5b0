// Hostile input through the parts of the packet road that exist: frames built by the shared frame
// builder are cut, garbled and stretched, then decoded by OB_Packet, reassembled by OB_TCPSession
// and parsed by OB_HTTPProtocol, as the capture engine and the HTTP consumer do. Each case must end
// without a crash, a hang or growth past the session's byte limit; run under the sanitizer build
// they also prove that nothing reads outside a buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "PacketTestSupport.h"
#include "ftp/OB_FTPProtocol.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

using corrana_test::Bytes;
using corrana_test::Frame;
using corrana_test::FrameBuilder;
using corrana_test::TcpConversation;
using packettest::CountedBuffer;

namespace {

TcpConversation::Endpoint endpoint(const char* address, uint16_t port) {
  return {corrana_test::ipv4Address(address), port,
          {0x02, 0, 0, 0, 0, static_cast<uint8_t>(port)}};
}

TcpConversation web(uint32_t clientIsn = 1000, uint32_t serverIsn = 500000) {
  return TcpConversation(endpoint("10.0.0.1", 1025), endpoint("10.0.0.2", 80),
                         1700000000000000ull, clientIsn, serverIsn);
}

// The road from frame to transactions for one connection: one reusable packet, payload copies in
// buffers of the capture engine's largest class, one session, one parser.
class Road {
 public:
  Road() { tcpSessionStats_init(); }
  ~Road() { parser.reset(); }

  // Decodes a frame from a copy of exactly its captured bytes (so a read past them is caught)
  // and hands it to the session; the session's answer.
  int feed(const Bytes& bytes, uint64_t time = 1700000000000000ull) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() > 0 ? bytes.size() : 1]);
    if (!bytes.empty()) memcpy(exact.get(), bytes.data(), bytes.size());
    packet.reset();
    packet.setPacketInfo(exact.get(), static_cast<int>(bytes.size()));
    packet.tv_sec = static_cast<uint32_t>(time / 1000000);
    packet.tv_usec = static_cast<uint32_t>(time % 1000000);
    if (packet.getContentSize() > 0) {
      packet.setBuffer(new CountedBuffer(1460));
      packet.copyBuffer();
    }
    const int result = session.processObject(&packet);
    packet.reset();
    return result;
  }
  void feedAll(const std::vector<Frame>& frames) {
    for (const Frame& f : frames) feed(f.bytes, f.time);
  }
  // Ends the session as the idle sweep or its FIN would, and parses it.
  OB_HTTPProtocol& parse() {
    if (session.isFinished() == 0) session.timeout();
    session.finish();
    parser.reset();
    parser.processObject(&session);
    return parser;
  }
  OB_FTPProtocol& parseFTP() {
    if (session.isFinished() == 0) session.timeout();
    session.finish();
    ftp.reset();
    ftp.processObject(&session);
    return ftp;
  }

  OB_Packet packet;
  OB_TCPSession session;
  OB_HTTPProtocol parser;
  OB_FTPProtocol ftp;
};

// A deterministic source of garbage.
Bytes garbage(std::mt19937& random, size_t n) {
  Bytes out(n);
  for (uint8_t& b : out) b = static_cast<uint8_t>(random());
  return out;
}

TEST(HostileFrames, TruncatedFramesDecodeOnlyTheCapturedBytes) {
  corrana_test::Ipv4Header ip;
  ip.source = 0x0A000001;
  ip.destination = 0x0A000002;
  corrana_test::TcpHeader tcp;
  tcp.sourcePort = 1025;
  tcp.destinationPort = 80;
  tcp.seq = 7;
  tcp.flags = corrana_test::kAck | corrana_test::kPsh;
  const Frame whole =
      FrameBuilder().ethernet({}).ipv4(ip).tcp(tcp).payload("GET / HTTP/1.0\r\n\r\n").build();
  for (size_t cut = 0; cut <= whole.bytes.size(); ++cut) {
    Road road;
    const Bytes truncated(whole.bytes.begin(), whole.bytes.begin() + static_cast<long>(cut));
    std::unique_ptr<uint8_t[]> exact(new uint8_t[cut > 0 ? cut : 1]);
    if (cut > 0) memcpy(exact.get(), truncated.data(), cut);
    OB_Packet packet;
    packet.setPacketInfo(exact.get(), static_cast<int>(cut));
    packet.setBuffer(new CountedBuffer(1460));
    ASSERT_EQ(packet.copyBuffer(), 0);
    // A payload is copied only when all of it was captured.
    const uint32_t copied = packet.getBuffer()->getLength();
    EXPECT_EQ(copied, cut == whole.bytes.size() ? 18u : 0u) << "cut at " << cut;
    packet.reset();
  }
}

TEST(HostileFrames, GarbageFramesAndHeadersPassThroughTheRoad) {
  std::mt19937 random(15);
  Road road;
  TcpConversation c = web();
  c.handshake();
  road.feedAll(c.frames());
  for (int i = 0; i < 3000; ++i) {
    Bytes frame = garbage(random, random() % 1600);
    // Every third frame keeps plausible Ethernet and IPv4 starts, so the decoder goes deeper.
    if (i % 3 == 0 && frame.size() > 40) {
      frame[12] = 0x08;
      frame[13] = 0x00;
      frame[14] = 0x40 | (frame[14] & 0x0F);
      frame[23] = 6;
    }
    road.feed(frame);
  }
  // Garbage payloads on the real connection, then its end.
  for (int i = 0; i < 200; ++i) c.send(i % 2 ? TcpConversation::kServer : TcpConversation::kClient,
                                       garbage(random, 1 + random() % 1460));
  c.close();
  road.feedAll(c.frames());
  OB_HTTPProtocol& parser = road.parse();
  EXPECT_LE(parser.getXactCount(), 200u);
}

TEST(HostileHTTP, ContentLengthOverflowAndNegativeAreBounded) {
  const char* lengths[] = {"99999999999999999999999", "-5", "2147483648", "4294967296",
                           "18446744073709551616", "+7", "0x10"};
  for (const char* length : lengths) {
    Road road;
    TcpConversation c = web();
    c.handshake();
    c.send(TcpConversation::kClient, std::string("POST /a HTTP/1.0\r\nContent-Length: ") + length +
                                         "\r\n\r\nbodyGET /b HTTP/1.0\r\n\r\n");
    c.send(TcpConversation::kServer, std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + length +
                                         "\r\n\r\nxyz");
    c.close();
    road.feedAll(c.frames());
    OB_HTTPProtocol& parser = road.parse();
    ASSERT_GE(parser.getXactCount(), 1u) << length;
    OB_HTTPXact* first = parser.xactAt(1);
    EXPECT_STREQ(first->req_request_uri.c_str(), "/a") << length;
    EXPECT_GE(first->req_bytes, 0) << length;
    EXPECT_GE(first->res_bytes, 0) << length;
  }
}

TEST(HostileHTTP, ChunkSizesOfTwoToTheSixtyFourAreOnlyBytes) {
  Road road;
  TcpConversation c = web();
  c.handshake();
  c.send(TcpConversation::kClient, "GET /c HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer,
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\nab\r\n"
         "FFFFFFFFFFFFFFFFFFFF\r\n\r\n0\r\n\r\n");
  c.close();
  road.feedAll(c.frames());
  OB_HTTPProtocol& parser = road.parse();
  ASSERT_EQ(parser.getXactCount(), 1u);
  EXPECT_STREQ(parser.xactAt(1)->res_status_code.c_str(), "200");
}

TEST(HostileHTTP, HeaderLinesOfMegabytesAreCutToTheirFields) {
  Road road;
  TcpConversation c = web();
  c.handshake();
  const std::string agent(2 * 1024 * 1024, 'A');
  c.send(TcpConversation::kClient, "GET /big HTTP/1.0\r\nUser-Agent: " + agent + "\r\n\r\n");
  c.close();
  road.feedAll(c.frames());
  // The session stops taking bytes at its limit, whatever the sender goes on sending.
  EXPECT_LE(road.session.client.xBytXfer, OB_TCPSession::kByteLimit + 1460);
  OB_HTTPProtocol& parser = road.parse();
  ASSERT_EQ(parser.getXactCount(), 1u);
  EXPECT_STREQ(parser.xactAt(1)->req_request_uri.c_str(), "/big");
  EXPECT_LE(strlen(parser.xactAt(1)->req_user_agent.c_str()), 255u);
}

TEST(HostileHTTP, DeeplyNestedCommentsEndWithoutExhaustingTheStack) {
  for (size_t depth : {255u, 256u, 257u, 100000u}) {
    Road road;
    TcpConversation c = web();
    c.handshake();
    const std::string nested = std::string(depth, '(') + std::string(depth, ')');
    c.send(TcpConversation::kClient, "GET /n HTTP/1.0\r\nUser-Agent: x " + nested +
                                         "\r\nHost: after\r\n\r\n");
    c.close();
    road.feedAll(c.frames());
    OB_HTTPProtocol& parser = road.parse();
    ASSERT_EQ(parser.getXactCount(), 1u) << depth;
    EXPECT_STREQ(parser.xactAt(1)->req_request_uri.c_str(), "/n") << depth;
  }
}

TEST(HostileHTTP, ThousandsOfPipelinedRequestsPairInOrder) {
  Road road;
  TcpConversation c = web();
  c.handshake();
  std::string requests;
  std::string responses;
  constexpr int kCount = 5000;
  for (int i = 0; i < kCount; ++i) {
    requests += "GET /" + std::to_string(i) + " HTTP/1.1\r\nHost: h\r\n\r\n";
    responses += "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  }
  c.send(TcpConversation::kClient, requests);
  c.send(TcpConversation::kServer, responses);
  c.close();
  road.feedAll(c.frames());
  OB_HTTPProtocol& parser = road.parse();
  ASSERT_EQ(parser.getXactCount(), static_cast<uint32_t>(kCount));
  EXPECT_STREQ(parser.xactAt(kCount)->req_request_uri.c_str(), "/4999");
  EXPECT_STREQ(parser.xactAt(kCount)->res_status_code.c_str(), "200");
  EXPECT_EQ(parser.problemPairing, 0);
}

TEST(HostileHTTP, MoreRequestsThanThePoolAreDroppedNotGrown) {
  Road road;
  TcpConversation c = web();
  c.handshake();
  std::string requests;
  for (int i = 0; i < 20000; ++i) requests += "GET / HTTP/1.0\r\n\r\n";
  c.send(TcpConversation::kClient, requests);
  c.close();
  road.feedAll(c.frames());
  OB_HTTPProtocol& parser = road.parse();
  EXPECT_LE(parser.getXactCount(),
            static_cast<uint32_t>(OB_HTTPProtocol::kPoolQueues * OB_HTTPProtocol::kPoolObjectsPerQueue));
}

TEST(HostileFTP, CommandsOfMegabytesAreCutToTheirParameter) {
  Road road;
  TcpConversation c(endpoint("10.0.0.1", 1030), endpoint("10.0.0.2", 21));
  c.handshake();
  c.send(TcpConversation::kServer, "220 ready\r\n");
  c.send(TcpConversation::kClient, "USER anonymous\r\n");
  c.send(TcpConversation::kServer, "331 password\r\n");
  c.send(TcpConversation::kClient, "RETR " + std::string(2 * 1024 * 1024, 'f') + "\r\n");
  c.send(TcpConversation::kServer, "226 done\r\n");
  c.close();
  road.feedAll(c.frames());
  EXPECT_LE(road.session.client.xBytXfer, OB_TCPSession::kByteLimit + 1460);
  OB_FTPProtocol& ftp = road.parseFTP();
  EXPECT_STREQ(ftp.loginName.c_str(), "anonymous");
  for (int n = 1; n <= static_cast<int>(ftp.getXactCount()); ++n) {
    auto* xact = obQuery<OB_FTPXact>(ftp.getCurrentLink(n));
    ASSERT_NE(xact, nullptr);
    if (xact->getParameter() != nullptr) {
      EXPECT_LE(strlen(xact->getParameter()), OB_FTPXact::kMaxParameter);
    }
  }
}

TEST(HostileFTP, ThousandsOfCommandsAndEndlessRepliesEnd) {
  Road road;
  TcpConversation c(endpoint("10.0.0.1", 1031), endpoint("10.0.0.2", 21));
  c.handshake();
  std::string commands;
  std::string replies = "220 ready\r\n";
  for (int i = 0; i < 20000; ++i) {
    commands += "NOOP\r\n";
    replies += "200-still going\r\n";  // a multi-line reply that never ends
  }
  c.send(TcpConversation::kServer, replies);
  c.send(TcpConversation::kClient, commands);
  c.close();
  road.feedAll(c.frames());
  OB_FTPProtocol& ftp = road.parseFTP();
  EXPECT_LE(ftp.getXactCount(), OB_Protocol::maxXacts);
}

TEST(HostileSequence, NumbersThatWrapReassembleInOrder) {
  Road road;
  TcpConversation c = web(0xFFFFFFF0u, 0xFFFFFFFEu);
  c.handshake();
  const std::string request = "GET /wrapped/across/zero HTTP/1.0\r\nHost: wrap\r\n\r\n";
  c.send(TcpConversation::kClient, request, 7);
  c.send(TcpConversation::kServer, "HTTP/1.0 404 Not Found\r\n\r\n", 5);
  c.close();
  road.feedAll(c.frames());
  OB_HTTPProtocol& parser = road.parse();
  ASSERT_EQ(parser.getXactCount(), 1u);
  EXPECT_STREQ(parser.xactAt(1)->req_request_uri.c_str(), "/wrapped/across/zero");
  EXPECT_STREQ(parser.xactAt(1)->req_host.c_str(), "wrap");
  EXPECT_STREQ(parser.xactAt(1)->res_status_code.c_str(), "404");
}

TEST(HostileSequence, SegmentsFarFromTheWindowAreBoundedByTheByteLimit) {
  Road road;
  TcpConversation c = web();
  c.handshake();
  std::mt19937 random(7);
  // Segments scattered over the whole sequence space, each stored apart.
  for (int i = 0; i < 2000; ++i) {
    c.skip(TcpConversation::kClient, static_cast<uint32_t>(random()));
    c.send(TcpConversation::kClient, std::string(1000, 'x'));
  }
  road.feedAll(c.frames());
  EXPECT_LE(road.session.client.xBytXfer, OB_TCPSession::kByteLimit + 1460);
  EXPECT_EQ(road.session.isFinished(), 1);
  road.parse();
}

}  // namespace
