#include "tcp/OB_TCPSession.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "FrameBuilder.h"
#include "PacketTestSupport.h"
#include "UTimeStamp.h"
#include "pool/OB_MemoryPool.h"
#include "tcp/OB_PooledTCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

using corrana_test::Bytes;
using corrana_test::Frame;
using corrana_test::TcpConversation;
using packettest::CountedBuffer;

namespace {

constexpr uint64_t kStart = 1700000000000000ull;  // µs since 1970

TcpConversation::Endpoint endpoint(const char* address, uint16_t port) {
  return {corrana_test::ipv4Address(address), port,
          {0x02, 0, 0, 0, 0, static_cast<uint8_t>(port)}};
}

// The stored bytes of one direction, read through the stream as the parsers read it.
std::string streamText(OB_PacketStream& stream) {
  std::string out;
  if (stream.setFirst() != 0) return out;
  out += static_cast<char>(stream.getNext());
  while (stream.incNext() == 1) out += static_cast<char>(stream.getNext());
  return out;
}

class TCPSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UTimeStamp::setClock(kStart);
    tcpSessionStats_init();
  }
  void TearDown() override { UTimeStamp::clearClock(); }

  // Decodes and feeds one frame the way the capture engine does: the reusable packet points at
  // the frame, the payload goes into a buffer of its own, the packet is reset afterwards.
  int feed(OB_TCPSession& session, const Frame& frame) {
    packet.reset();
    packet.setPacketInfo(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
    packet.tv_sec = static_cast<uint32_t>(frame.time / 1000000);
    packet.tv_usec = static_cast<uint32_t>(frame.time % 1000000);
    if (packet.getContentSize() > 0) {
      packet.setBuffer(new CountedBuffer(1460));
      packet.copyBuffer();
    }
    int result = session.processObject(&packet);
    packet.reset();
    return result;
  }
  void feedAll(OB_TCPSession& session, const TcpConversation& c, size_t from = 0) {
    for (size_t i = from; i < c.size(); ++i) feed(session, c.frames()[i]);
  }

  static uint32_t v(const OB_TCPSessionStats::Counter& c) { return OB_TCPSessionStats::value(c); }
  OB_TCPSessionStats& stats = *getTCPSessionStats();
  OB_Packet packet;
  TcpConversation web{endpoint("10.0.0.1", 1025), endpoint("10.0.0.2", 80)};
};

TEST_F(TCPSessionTest, HandshakeSetsRolesAndAcknowledgements) {
  OB_TCPSession session;
  web.handshake();
  ASSERT_EQ(feed(session, web.frames()[0]), 0);
  EXPECT_EQ(session.client.xIPAddr, 0x0A000001u);
  EXPECT_EQ(session.client.xPort, 1025);
  EXPECT_EQ(session.server.xIPAddr, 0x0A000002u);
  EXPECT_EQ(session.server.xPort, 80);
  EXPECT_EQ(session.client.xMinSeq, 1000u);
  EXPECT_EQ(v(stats.connectionsStarted), 1u);
  EXPECT_EQ(session.isUnacked(), 1);

  ASSERT_EQ(feed(session, web.frames()[1]), 0);  // SYN/ACK with ackno = client ISN + 1
  EXPECT_EQ(session.client.xStatus, OB_PacketStream::kSynSeen | OB_PacketStream::kSynAcked);
  EXPECT_EQ(session.client.xAckSynch.tv_sec, web.frames()[1].time / 1000000);
  EXPECT_EQ(session.client.xAckSynch.tv_usec, web.frames()[1].time % 1000000);
  EXPECT_EQ(session.server.xStatus, OB_PacketStream::kSynSeen);
  ASSERT_EQ(feed(session, web.frames()[2]), 0);  // the client's ACK acknowledges the server
  EXPECT_EQ(session.server.xStatus, OB_PacketStream::kSynSeen | OB_PacketStream::kSynAcked);
  EXPECT_EQ(session.isUnacked(), 0);
  EXPECT_EQ(session.isFinished(), 0);
  EXPECT_EQ(session.client.xTtlPkts, 2u);
  EXPECT_EQ(session.server.xTtlPkts, 1u);
  EXPECT_EQ(v(stats.segmentsUsed), 3u);
  EXPECT_EQ(session.lastTime, web.frames()[2].time / 1000000);
}

TEST_F(TCPSessionTest, BothDirectionsAreReassembledInOrder) {
  std::string request = "GET /index.html HTTP/1.0\r\nHost: example\r\n\r\n";
  std::string response(5000, '\0');
  for (size_t i = 0; i < response.size(); ++i) response[i] = static_cast<char>('A' + i % 23);
  web.handshake().send(TcpConversation::kClient, request, 16);
  const size_t firstResponse = web.size();
  web.send(TcpConversation::kServer, response, 700);
  web.swap(firstResponse + 1, firstResponse + 3);  // reordered
  web.retransmit(firstResponse + 2);               // a repeat
  web.ack(TcpConversation::kClient).fin(TcpConversation::kServer).fin(TcpConversation::kClient);

  OB_TCPSession session;
  feedAll(session, web);
  EXPECT_EQ(session.isFinished(), 1);
  EXPECT_EQ(streamText(session.client), request);
  EXPECT_EQ(streamText(session.server), response);
  EXPECT_EQ(session.client.xBytXfer, request.size());
  EXPECT_EQ(session.server.xRepPkts, 1u);
  EXPECT_GE(session.server.xOutOfOrder, 1u);
  EXPECT_EQ(session.server.xStatus & OB_PacketStream::kFinSeen, OB_PacketStream::kFinSeen);

  session.finish();
  EXPECT_EQ(v(stats.connectionsBuilt), 1u);
  EXPECT_EQ(v(stats.bytesCompleted), request.size() + response.size() + 700);
  EXPECT_EQ(v(stats.payloadBytes), request.size() + response.size() + 700);
  EXPECT_EQ(v(stats.effectiveBytes), request.size() + response.size());
}

// A connection whose stream misses bytes is counted as discontiguous at its finish, whichever
// direction lost them and wherever: inside, at the tail before the FIN, at the head after the
// SYN, or all of it when the SYN/ACK went uncaptured and nothing tells where the server began.
// Reordered and repeated segments, and a lost SYN/ACK alone, miss nothing.
TEST_F(TCPSessionTest, FinishCountsConnectionsWhoseStreamsMissBytes) {
  using C = TcpConversation;
  const std::string body(3000, 'b');
  struct Case {
    const char* name;
    uint32_t gaps;
    std::function<void(TcpConversation&)> play;
  };
  const Case cases[] = {
      {"whole, reordered, repeated", 0,
       [&](C& c) {
         c.handshake().send(C::kClient, "GET / HTTP/1.1\r\n\r\n");
         const size_t first = c.size();
         c.send(C::kServer, body, 1000).swap(first + 1, first + 2).retransmit(first).close();
       }},
      {"a segment lost inside a response", 1,
       [&](C& c) {
         c.handshake().send(C::kClient, "GET / HTTP/1.1\r\n\r\n");
         c.send(C::kServer, body, 1000).remove(c.size() - 2).close();
       }},
      {"the last segment before the FIN lost", 1,
       [&](C& c) {
         c.handshake().send(C::kClient, "GET / HTTP/1.1\r\n\r\n");
         c.send(C::kServer, body, 1000).remove(c.size() - 1).close(C::kServer);
       }},
      {"the request's first segment lost", 1,
       [&](C& c) {
         c.handshake().send(C::kClient, "GET / HTTP/1.1\r\n\r\n", 5).remove(3);
         c.send(C::kServer, body).close();
       }},
      {"the SYN/ACK lost: the client's acknowledgement tells where the server begins", 0,
       [&](C& c) {
         c.handshake().remove(1).send(C::kClient, "GET / HTTP/1.1\r\n\r\n");
         c.send(C::kServer, body).close();
       }},
      {"the SYN/ACK, the last ACK and the request lost: the whole response", 1,
       [&](C& c) {
         c.handshake().remove(2).remove(1).send(C::kClient, "GET / HTTP/1.1\r\n\r\n");
         c.remove(c.size() - 1).send(C::kServer, body).close();
       }},
  };
  for (const Case& k : cases) {
    tcpSessionStats_init();
    TcpConversation c{endpoint("10.0.0.1", 1025), endpoint("10.0.0.2", 80)};
    k.play(c);
    OB_TCPSession session;
    feedAll(session, c);
    session.finish();
    EXPECT_EQ(v(stats.timedOutGaps), k.gaps) << k.name;
  }
}

// A long transfer cut at the byte limit goes on in a session that begins inside the stream:
// neither piece misses anything.
TEST_F(TCPSessionTest, PiecesOfALongTransferAreNotDiscontiguous) {
  web.handshake();
  OB_TCPSession first;
  feedAll(first, web);
  const std::string chunk(1460, 'd');
  while (first.isFinished() == 0) {
    web.send(TcpConversation::kServer, chunk);
    feed(first, web.frames().back());
  }
  ASSERT_EQ(first.isCutOff(), 1);
  OB_TCPSession rest;
  rest.continueFrom(first);
  const size_t from = web.size();
  web.send(TcpConversation::kServer, std::string(5000, 'e')).close(TcpConversation::kServer);
  feedAll(rest, web, from);
  first.finish();
  rest.finish();
  EXPECT_EQ(v(stats.timedOutGaps), 0u);
}

// Bytes lost right where a piece after a cut begins are missing, as bytes lost anywhere else
// are: the piece's direction goes on where the cut left it, not at its first stored byte.
TEST_F(TCPSessionTest, BytesLostWhereAPieceAfterACutBeginsAreMissing) {
  const std::string chunk(1460, 'd');
  for (TcpConversation::Side lost : {TcpConversation::kServer, TcpConversation::kClient}) {
    tcpSessionStats_init();
    TcpConversation c{endpoint("10.0.0.1", 1025), endpoint("10.0.0.2", 80)};
    c.handshake().send(TcpConversation::kClient, "GET /big HTTP/1.1\r\n\r\n");
    OB_TCPSession first;
    feedAll(first, c);
    while (first.isFinished() == 0) {
      c.send(TcpConversation::kServer, chunk);
      ASSERT_EQ(feed(first, c.frames().back()), 0);
    }
    OB_TCPSession rest;
    rest.continueFrom(first);
    const size_t from = c.size();
    c.skip(lost, 700);  // never captured
    c.send(TcpConversation::kServer, chunk).send(TcpConversation::kClient, "GET / HTTP/1.1\r\n\r\n");
    c.send(TcpConversation::kServer, chunk).close(TcpConversation::kServer);
    feedAll(rest, c, from);
    ASSERT_EQ(rest.isFinished(), 1);
    first.finish();
    rest.finish();
    EXPECT_EQ(v(stats.timedOutGaps), 1u) << (lost == TcpConversation::kServer ? "server" : "client");
  }
}

// A connection cut at the byte limit into three pieces, each missing bytes, is one connection
// with missing bytes, not three.
TEST_F(TCPSessionTest, ACutConnectionMissingBytesInEveryPieceCountsOnce) {
  web.handshake();
  OB_TCPSession pieces[3];
  feedAll(pieces[0], web);
  const std::string chunk(1460, 'd');
  for (int i = 0; i < 3; ++i) {
    OB_TCPSession& piece = pieces[i];
    web.send(TcpConversation::kServer, chunk);
    feed(piece, web.frames().back());
    web.skip(TcpConversation::kServer, 1460);  // one segment never captured
    if (i == 2) {
      web.send(TcpConversation::kServer, chunk).close(TcpConversation::kServer);
      feedAll(piece, web, web.size() - 4);
      break;
    }
    while (piece.isFinished() == 0) {
      web.send(TcpConversation::kServer, chunk);
      ASSERT_EQ(feed(piece, web.frames().back()), 0);
    }
    ASSERT_EQ(piece.isCutOff(), 1);
    pieces[i + 1].continueFrom(piece);
  }
  ASSERT_EQ(pieces[2].isFinished(), 1);
  for (OB_TCPSession& piece : pieces) piece.finish();
  EXPECT_EQ(v(stats.timedOutGaps), 1u);
}

// A direction whose first two data segments arrive swapped still begins with its first: the
// late one goes before the stored one, and nothing is missing. A retransmission of bytes before
// the first after the SYN stores nothing.
TEST_F(TCPSessionTest, TheFirstDataSegmentMayArriveSecond) {
  const std::string request = "GET /first HTTP/1.1\r\nHost: example\r\n\r\n";
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
  web.handshake().send(TcpConversation::kClient, request, 16);
  web.swap(3, 4);
  const size_t firstResponse = web.size();
  web.send(TcpConversation::kServer, response, 20);
  web.swap(firstResponse, firstResponse + 1);
  web.close();
  OB_TCPSession session;
  feedAll(session, web);
  EXPECT_EQ(streamText(session.client), request);
  EXPECT_EQ(streamText(session.server), response);
  EXPECT_EQ(session.client.startsAfterGap(), false);
  EXPECT_EQ(session.client.hasGap(1), 0);
  EXPECT_EQ(session.server.hasGap(1), 0);
  session.finish();
  EXPECT_EQ(v(stats.timedOutGaps), 0u);

  // The SYN's own number and earlier carry no payload of the direction.
  TcpConversation early(endpoint("10.0.0.1", 1026), endpoint("10.0.0.2", 80));
  early.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n");
  OB_TCPSession second;
  feedAll(second, early);
  OB_Packet stale;
  CountedBuffer* buffer = new CountedBuffer(16);
  buffer->fill(990, "0123456789x");  // 990 to 1000, the SYN's number last
  stale.setBuffer(buffer);
  stale.seqno = 990;
  stale.m_iCode = corrana_test::kAck;
  second.client.add(&stale);
  stale.reset();
  EXPECT_EQ(streamText(second.client), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(second.client.xRepPkts, 1u);
}

TEST_F(TCPSessionTest, ReassemblesAcrossTheSequenceWrap) {
  TcpConversation wrap(endpoint("10.0.0.1", 1025), endpoint("10.0.0.2", 80), kStart,
                       0xFFFFFF00u, 0xFFFFFFF0u);
  std::string upload(600, 'u');
  for (size_t i = 0; i < upload.size(); ++i) upload[i] = static_cast<char>('a' + i % 26);
  wrap.handshake().send(TcpConversation::kClient, upload, 100);
  wrap.swap(4, 6).send(TcpConversation::kServer, "OK", 10);
  OB_TCPSession session;
  feedAll(session, wrap);
  EXPECT_EQ(streamText(session.client), upload);
  EXPECT_EQ(streamText(session.server), "OK");
  session.finish();
  EXPECT_EQ(v(stats.effectiveBytes), upload.size() + 2);
}

TEST_F(TCPSessionTest, SegmentsThatDoNotBelongAreCountedAndRefused) {
  OB_TCPSession session;
  web.handshake().send(TcpConversation::kClient, "hello");
  // A fresh session takes nothing but a SYN.
  EXPECT_EQ(feed(session, web.frames()[3]), -1);
  EXPECT_EQ(v(stats.segmentsExtraneous), 1u);
  EXPECT_EQ(v(stats.bytesExtraneous), web.frames()[3].bytes.size());
  EXPECT_EQ(v(stats.segmentsUsed), 0u);

  // Data from the server before its SYN: extraneous, but the session goes on (0).
  TcpConversation early(endpoint("10.0.0.1", 1025), endpoint("10.0.0.2", 80));
  early.segment(TcpConversation::kClient, corrana_test::kSyn)
      .send(TcpConversation::kServer, "too soon");
  ASSERT_EQ(feed(session, early.frames()[0]), 0);
  EXPECT_EQ(feed(session, early.frames()[1]), 0);
  EXPECT_EQ(v(stats.segmentsExtraneous), 2u);
  EXPECT_EQ(v(stats.segmentsUsed), 1u) << "the used count is taken back";
  EXPECT_EQ(session.server.total(), 0u);

  // Another connection's segment matches neither direction: refused, nothing counted.
  TcpConversation other(endpoint("10.0.0.9", 2000), endpoint("10.0.0.2", 80));
  other.handshake();
  EXPECT_EQ(feed(session, other.frames()[2]), -1);
  EXPECT_EQ(v(stats.segmentsUsed), 1u);
  EXPECT_EQ(v(stats.segmentsExtraneous), 2u);

  // Something that is not a packet is ignored.
  OB_Object notAPacket;
  EXPECT_EQ(session.processObject(&notAPacket), 0);
}

// A FIN ends its own direction only; the second direction's FIN finishes the session after
// its payload has been stored, and the segments after it are refused as closed.
TEST_F(TCPSessionTest, TheSecondFinFinishesAfterItsPayloadAndLaterSegmentsAreClosed) {
  web.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n");
  web.segment(TcpConversation::kServer, corrana_test::kAck | corrana_test::kFin,
              corrana_test::bytesOf("bye"));
  web.ack(TcpConversation::kClient);
  OB_TCPSession session;
  feedAll(session, web);
  EXPECT_EQ(session.isFinished(), 0);
  EXPECT_EQ(streamText(session.server), "bye");
  web.segment(TcpConversation::kClient, corrana_test::kAck | corrana_test::kFin,
              corrana_test::bytesOf("last"));
  web.ack(TcpConversation::kServer);
  feedAll(session, web, web.size() - 2);
  EXPECT_EQ(session.isFinished(), 1);
  EXPECT_EQ(streamText(session.client), "GET / HTTP/1.0\r\n\r\nlast");
  EXPECT_EQ(v(stats.segmentsClosed), 1u);
  EXPECT_EQ(v(stats.bytesClosed), web.frames().back().bytes.size());
  EXPECT_EQ(feed(session, web.frames().back()), -1);
}

// A client that half-closes (its FIN right after its request) still reads its response: the
// session stays open until the server's FIN, holding the response. A half-closed session whose
// other direction never ends stays until the idle time-out gives it up, as any open one.
TEST_F(TCPSessionTest, AHalfCloseEndsOneDirectionNotTheSession) {
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  web.handshake().send(TcpConversation::kClient, "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  web.fin(TcpConversation::kClient);
  const size_t afterFin = web.size();
  web.send(TcpConversation::kServer, response, 20).fin(TcpConversation::kServer);
  web.ack(TcpConversation::kClient);
  OB_TCPSession session;
  feedAll(session, web, 0);
  EXPECT_EQ(session.isFinished(), 1);
  EXPECT_EQ(streamText(session.server), response);
  EXPECT_EQ(session.server.hasGap(1), 0);

  OB_TCPSession halfOpen;
  for (size_t i = 0; i < afterFin + 2; ++i) feed(halfOpen, web.frames()[i]);
  EXPECT_EQ(halfOpen.isFinished(), 0);
  UTimeStamp::setClock((halfOpen.lastTime + 61) * 1000000);
  EXPECT_EQ(halfOpen.needToPack(60), 1);
  EXPECT_EQ(halfOpen.timeout(), 0);
  EXPECT_EQ(halfOpen.isFinished(), 1);
  EXPECT_EQ(v(stats.timedOutComplete), 1u);
}

TEST_F(TCPSessionTest, RstFinishesAnOpenSession) {
  web.handshake().send(TcpConversation::kClient, "GET /").rst(TcpConversation::kServer);
  OB_TCPSession session;
  feedAll(session, web);
  EXPECT_EQ(session.isFinished(), 1);
  EXPECT_EQ(session.server.xStatus & OB_PacketStream::kRstSeen, OB_PacketStream::kRstSeen);
  EXPECT_EQ(streamText(session.client), "GET /");
}

TEST_F(TCPSessionTest, RefusedConnectionWaitsForTheSweepAndCountsAsRejected) {
  // The RST comes from a side that never opened: it marks that side but is extraneous, so the
  // session stays open until the idle sweep gives it up.
  web.segment(TcpConversation::kClient, corrana_test::kSyn).rst(TcpConversation::kServer);
  OB_TCPSession session;
  feedAll(session, web);
  EXPECT_EQ(session.isFinished(), 0);
  EXPECT_EQ(v(stats.segmentsExtraneous), 1u);
  EXPECT_EQ(session.isRejected(), 1);
  EXPECT_EQ(session.isUnacked(), 1);
  EXPECT_EQ(session.timeout(), 0);
  EXPECT_EQ(session.isFinished(), 1);
  EXPECT_EQ(v(stats.timedOutRejected), 1u);
  EXPECT_EQ(v(stats.timedOutUnacked), 0u);
}

TEST_F(TCPSessionTest, ByteLimitFinishesALongTransfer) {
  web.handshake();
  const std::string chunk(1460, 'd');
  OB_TCPSession session;
  feedAll(session, web);
  uint32_t sent = 0;
  while (sent + 1460 < OB_TCPSession::kByteLimit) {
    web.send(TcpConversation::kServer, chunk);
    ASSERT_EQ(feed(session, web.frames().back()), 0);
    sent += 1460;
  }
  EXPECT_EQ(session.isFinished(), 0) << sent;
  web.send(TcpConversation::kServer, chunk);
  ASSERT_EQ(feed(session, web.frames().back()), 0);
  EXPECT_GE(session.server.xBytXfer, OB_TCPSession::kByteLimit);
  EXPECT_EQ(session.isFinished(), 1);
}

TEST_F(TCPSessionTest, IdleTimeFollowsTheDriverClock) {
  web.handshake();
  OB_TCPSession session;
  feedAll(session, web);
  const uint64_t last = session.lastTime;
  UTimeStamp::setClock((last + 60) * 1000000 + 999999);
  EXPECT_EQ(session.needToPack(60), 0);
  UTimeStamp::setClock((last + 61) * 1000000);
  EXPECT_EQ(session.needToPack(60), 1);
  EXPECT_EQ(session.needToPack(3600), 0);
}

// A clock behind the session's last packet (stepped back, or a replay's frames stamped ahead of
// the wall clock) makes it idle only once it is more than the limit behind.
TEST_F(TCPSessionTest, ALastPacketAheadOfTheClockIsNotIdleTime) {
  web.handshake();
  OB_TCPSession session;
  feedAll(session, web);
  const uint64_t last = session.lastTime;
  UTimeStamp::setClock((last - 1) * 1000000);
  EXPECT_EQ(session.needToPack(60), 0);
  UTimeStamp::setClock((last - 61) * 1000000);
  EXPECT_EQ(session.needToPack(60), 1);
}

TEST_F(TCPSessionTest, TimeoutCountsWhyTheSessionWasGivenUp) {
  OB_TCPSession unanswered;
  web.segment(TcpConversation::kClient, corrana_test::kSyn);
  feed(unanswered, web.frames()[0]);
  EXPECT_EQ(unanswered.timeout(), 0);
  EXPECT_EQ(unanswered.isFinished(), 1);
  EXPECT_EQ(v(stats.timedOutUnacked), 1u);

  TcpConversation open(endpoint("10.0.0.1", 1026), endpoint("10.0.0.2", 80));
  open.handshake();
  OB_TCPSession established;
  feedAll(established, open);
  EXPECT_EQ(established.timeout(), 0);
  EXPECT_EQ(v(stats.timedOutComplete), 1u);

  OB_TCPSession noSyn;
  noSyn.setAddressInfo(1, 2, 3, 4);
  EXPECT_EQ(noSyn.timeout(), -1);
  EXPECT_EQ(noSyn.isFinished(), 0);
  EXPECT_EQ(v(stats.timedOutNoSyn), 1u);
}

TEST_F(TCPSessionTest, ResetSessionTakesANewConnection) {
  web.handshake().send(TcpConversation::kClient, "first").fin(TcpConversation::kClient);
  web.fin(TcpConversation::kServer);
  OB_TCPSession session;
  feedAll(session, web);
  ASSERT_EQ(session.isFinished(), 1);
  session.reset();
  EXPECT_EQ(session.client.xPort, 0);
  EXPECT_EQ(session.client.xStatus, 0);
  EXPECT_EQ(session.client.total(), 0u);

  TcpConversation next(endpoint("10.0.0.3", 3000), endpoint("10.0.0.2", 80));
  next.handshake().send(TcpConversation::kClient, "second");
  for (const Frame& f : next.frames()) ASSERT_EQ(feed(session, f), 0);
  EXPECT_EQ(session.isFinished(), 0);
  EXPECT_EQ(streamText(session.client), "second");
}

TEST_F(TCPSessionTest, PooledSessionGoesBackResetWithItsBuffers) {
  OB_MemoryPool<OB_PooledTCPSession> pool(1, 1);
  pool.setWait(0);
  OB_PooledTCPSession* session = pool.getObject();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(pool.getObject(), nullptr);
  EXPECT_EQ(obQuery<OB_TCPSession>(session), static_cast<OB_TCPSession*>(session));
  EXPECT_EQ(obQuery<OB_Session>(session), static_cast<OB_Session*>(session));
  EXPECT_NE(obQuery<OB_Link<OB_Object>>(session), nullptr);
  EXPECT_NE((obQuery<OB_Key<uint32_t>>(session)), nullptr);
  void* face = nullptr;
  EXPECT_EQ(session->queryInterface(
                OB_MemoryPoolObject<OB_PooledTCPSession, OB_TCPSession>::getClassID(), &face), 0);

  int destroyed = 0;
  web.handshake();
  feedAll(*session, web);
  packet.reset();
  web.send(TcpConversation::kClient, "payload");
  const Frame& data = web.frames().back();
  packet.setPacketInfo(data.bytes.data(), static_cast<int>(data.bytes.size()));
  packet.setBuffer(new CountedBuffer(64, &destroyed));
  packet.copyBuffer();
  ASSERT_EQ(session->processObject(&packet), 0);
  packet.reset();
  EXPECT_EQ(destroyed, 0);

  session->release();
  EXPECT_EQ(destroyed, 1) << "the stored payload went back with the session";
  OB_PooledTCPSession* again = pool.getObject();
  ASSERT_EQ(again, session);
  EXPECT_EQ(again->client.xPort, 0);
  EXPECT_EQ(again->client.total(), 0u);
  again->release();
}

TEST_F(TCPSessionTest, PrintControlShowsBothDirections) {
  web.handshake();
  OB_TCPSession session;
  feedAll(session, web);
  char out[2048] = {};
  FILE* f = fmemopen(out, sizeof(out) - 1, "w");
  ASSERT_NE(f, nullptr);
  session.printControl(f);
  fclose(f);
  const std::string expected =
      "\n==========================================================\n"
      "Cli(prt)->Serv(prt):  10.0.0.1(1025) -> 10.0.0.2(80)\n"
      "   xStatus:  \t                  12 \t                  12\n"
      "   xTtlPkts: \t                   2 \t                   1\n"
      "   xErrPkts: \t                   0 \t                   0\n"
      "   xRepPkts: \t                   0 \t                   0\n"
      "   xRanAcks: \t                   0 \t                   0\n"
      "   xZeroLen: \t                   2 \t                   1\n"
      "   xBytXfer: \t                   0 \t                   0\n"
      "   xFinAck: \t                   0 \t                   0\n"
      "   xMinSeq: \t                1000 \t              500000\n"
      "   xMaxSeq: \t                1001 \t              500001\n"
      "   xBeginSynch:   \t1700000000.0 \t1700000000.1000\n"
      "   xAckSynch:     \t1700000000.1000 \t1700000000.2000\n"
      "   xBeginTime:    \t1700000000.0 \t1700000000.1000\n"
      "   xEndTime:      \t0.0 \t0.0\n";
  EXPECT_EQ(std::string(out), expected);
}

TEST_F(TCPSessionTest, StatisticsReportHasEveryCounterAndTheRates) {
  OB_TCPSessionStats::count(stats.connectionsStarted, 4);
  OB_TCPSessionStats::count(stats.connectionsBuilt, 2);
  OB_TCPSessionStats::count(stats.segmentsUsed, 40);
  OB_TCPSessionStats::count(stats.bytesUsed, 4000);
  OB_TCPSessionStats::count(stats.bytesCompleted, 3000);
  OB_TCPSessionStats::count(stats.payloadBytes, 1500);
  OB_TCPSessionStats::count(stats.effectiveBytes, 1200);
  OB_TCPSessionStats::count(stats.httpParsed, 7);
  OB_TCPSessionStats::count(stats.sessionsReturned, 3);
  OB_TCPSessionStats::count(stats.httpStopChunk, 5);
  OB_TCPSessionStats::count(stats.ftpStopCutShort, 6);
  UTimeStamp::setClock(kStart + 120 * 1000000ull);  // two minutes after the counters began
  char out[8192] = {};
  FILE* f = fmemopen(out, sizeof(out) - 1, "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(stats.print(f), 0);
  fclose(f);
  const std::string expected =
      "\nTCP Session Stats:\n"
      "--------------------\n"
      "Historical Tracking:\n"
      "   TCP Connections\n"
      "      started                                   =           4\n"
      "      ended                                     =           3\n"
      "      timed out and a rejected connection       =           0\n"
      "      timed out and an unacknoledged connection =           0\n"
      "      timed out but processed OK                =           0\n"
      "      timed out with strange sequence deltas    =           0\n"
      "      timed out with no first SYN               =           0\n"
      "      timed out with discontiguous data stream  =           0\n"
      "      built successfully                        =           2\n"
      "         started by HTTP consumer               =           0\n"
      "         parsed by HTTP consumer                =           7\n"
      "         finished by HTTP consumer              =           0\n"
      "         started by FTP consumer                =           0\n"
      "         parsed by FTP consumer                 =           0\n"
      "         finished by FTP consumer               =           0\n"
      "      retrieved from memory manager             =           0\n"
      "      returned to memory manager                =           3\n"
      "      packet segments from memory manager       =           0\n"
      "      packet segments to memory manager         =           0\n"
      "   Parses Stopped Before The Data Ended\n"
      "      HTTP: not a request or status line        =           0\n"
      "      HTTP: malformed chunk                     =           5\n"
      "      HTTP: data ended inside a message         =           0\n"
      "      HTTP: no transaction left                 =           0\n"
      "      FTP: no 220 greeting                      =           0\n"
      "      FTP: data ended inside a line             =           6\n"
      "      FTP: no command left                      =           0\n"
      "   Pairings Lost To Bytes Never Captured\n"
      "      HTTP: a message head lost                 =           0\n"
      "      HTTP: a chunk-size line lost              =           0\n"
      "      HTTP: gap in a body of unknown length     =           0\n"
      "      HTTP: requests left without a response    =           0\n"
      "      FTP: a control segment lost               =           0\n"
      "      FTP: commands left without a reply        =           0\n"
      "   Packets\n"
      "      received for TCP stream building          =           0\n"
      "      used in TCP stream building               =          40\n"
      "      rejected for TCP stream (extraneous)      =           0\n"
      "      rejected for TCP stream (closed)          =           0\n"
      "      rejected for TCP stream (no memory)       =           0\n"
      "   Bytes\n"
      "      received for TCP stream building          =           0\n"
      "      used in TCP stream building               =        4000\n"
      "      rejected for TCP stream (extraneous)      =           0\n"
      "      rejected for TCP stream (closed)          =           0\n"
      "      rejected for TCP stream (no memory)       =           0\n"
      "      used in completed streams built           =        3000\n"
      "   Connection Rates\n"
      "      average number of initiations             =       2.000 Requests/Min\n"
      "      average packets per connection            =          10 Packets/Connection\n"
      "      average bytes per connection              =        1000 Bytes/Connection\n"
      "   Data Transfer Rates\n"
      "      total bytes transferred (no headers)      =        1500\n"
      "      bytes transferred per connection          =         750\n"
      "      transfer byte efficiency                  =      50.000%\n"
      "      effective bytes transferred               =        1200\n"
      "      effective bytes per connection            =         600\n"
      "      effective byte efficiency                 =      40.000%\n";
  EXPECT_EQ(std::string(out), expected);

  tcpSessionStats_init();
  EXPECT_EQ(v(stats.connectionsStarted), 0u);
  EXPECT_EQ(v(stats.httpParsed), 0u);
  EXPECT_EQ(v(stats.ftpStopCutShort), 0u);
}

}  // namespace
