// Bytes that were never captured: a gap wholly inside a body of known length is skipped in
// sequence space; any other gap leaves the requests whose responses cannot be known without a
// response, and never pairs a response with another request.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "PacketTestSupport.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

using corrana_test::Frame;
using corrana_test::TcpConversation;
using packettest::CountedBuffer;

namespace {

constexpr auto kClient = TcpConversation::kClient;
constexpr auto kServer = TcpConversation::kServer;

std::string response(const std::string& status, const std::string& headers,
                     const std::string& body = "") {
  return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

std::string get(const std::string& uri) { return "GET " + uri + " HTTP/1.1\r\nHost: h\r\n\r\n"; }

class HTTPGap : public ::testing::Test {
 protected:
  void SetUp() override { tcpSessionStats_init(); }

  // Sends text from a side in segments of `size` bytes; the segments numbered in `lost`
  // (from 0) never reach the capture.
  void send(TcpConversation::Side side, const std::string& text, size_t size = 1460,
            std::vector<size_t> lost = {}) {
    const size_t first = web.size();
    web.send(side, text, size);
    for (auto it = lost.rbegin(); it != lost.rend(); ++it) web.remove(first + *it);
  }

  // The connection opens and /a is answered with a two-byte 200.
  void openWithAnsweredRequest() {
    web.handshake();
    send(kClient, get("/a"));
    send(kServer, response("200 OK", "Content-Length: 2\r\n", "ok"));
  }

  // A second case in the same test: cleared statistics and parser, a new connection opened.
  void startOver() {
    tcpSessionStats_init();
    web = TcpConversation({corrana_test::ipv4Address("10.0.0.1"), 1026, {}},
                          {corrana_test::ipv4Address("10.0.0.2"), 80, {}});
    parser.reset();
    web.handshake();
  }

  // Closes the connection, feeds every frame as the capture engine does and parses the
  // finished session. A connection cut at the byte limit goes on in a second piece, parsed
  // after the first as the consumer does: the parser then holds the second piece's record.
  void parse() {
    web.close();
    OB_TCPSession first;
    OB_TCPSession rest;
    OB_TCPSession* into = &first;
    OB_Packet packet;
    for (const Frame& frame : web.frames()) {
      packet.reset();
      packet.setPacketInfo(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
      if (packet.getContentSize() > 0) {
        packet.setBuffer(new CountedBuffer(1460));
        packet.copyBuffer();
      }
      into->processObject(&packet);
      packet.reset();
      if (into == &first && first.isCutOff() != 0) {
        rest.continueFrom(first);
        into = &rest;
      }
    }
    firstInOrder[0] = first.client.storedInOrder();
    firstInOrder[1] = first.server.storedInOrder();
    parser.processObject(&first);
    if (into == &rest) {
      parser.reset();
      parser.processObject(&rest);
    }
  }

  std::string status(int n) {
    OB_HTTPXact* xact = parser.xactAt(n);
    return xact != nullptr ? xact->res_status_code.c_str() : "(none)";
  }
  std::string uri(int n) {
    OB_HTTPXact* xact = parser.xactAt(n);
    return xact != nullptr ? xact->req_request_uri.c_str() : "(none)";
  }
  static uint32_t v(const OB_TCPSessionStats::Counter& c) { return OB_TCPSessionStats::value(c); }
  // Every transaction the parser holds and how its pairing ended, one line each.
  std::string record() {
    std::string out = std::to_string(parser.commRespCount) + " requests, " +
                      std::to_string(parser.respCount) + " responses, pairing problem " +
                      std::to_string(parser.problemPairing) + ", " +
                      OB_HTTPProtocol::gapLossText(parser.getGapLoss()) + "\n";
    for (int n = 1; n <= parser.commRespCount; ++n) {
      const OB_HTTPXact& xact = *parser.xactAt(n);
      out += std::string(xact.req_method.c_str()) + " " + xact.req_request_uri.c_str() + " " +
             std::to_string(xact.req_bytes) + " -> " + xact.res_status_code.c_str() + " " +
             std::to_string(xact.res_bytes) + "\n";
    }
    return out;
  }

  OB_TCPSessionStats& stats = *getTCPSessionStats();
  TcpConversation web{{corrana_test::ipv4Address("10.0.0.1"), 1025, {2, 0, 0, 0, 0, 1}},
                      {corrana_test::ipv4Address("10.0.0.2"), 80, {2, 0, 0, 0, 0, 2}}};
  OB_HTTPProtocol parser{4096, 16};  // blocks made as needed, up to 65,536 transactions
  // Whether the first piece's client and server directions stored every segment in order.
  bool firstInOrder[2] = {false, false};
};

TEST_F(HTTPGap, ASegmentLostInsideAContentLengthBodyIsSkipped) {
  web.handshake();
  send(kClient, get("/a"));
  send(kServer, response("200 OK", "Content-Length: 3000\r\n", std::string(3000, 'x')), 1000,
       {2});
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 3);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(parser.xactAt(1)->res_bytes, 3000);
  EXPECT_EQ(status(2), "404");
  EXPECT_EQ(status(3), "201");
  EXPECT_EQ(parser.problemPairing, 0);
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::None);

  // The same inside a request body.
  startOver();
  send(kClient, "POST /up HTTP/1.1\r\nContent-Length: 2500\r\n\r\n" + std::string(2500, 'y'),
       1000, {1});
  send(kServer, response("200 OK", "Content-Length: 0\r\n"));
  send(kClient, get("/after"));
  send(kServer, response("302 Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 2);
  EXPECT_EQ(uri(2), "/after");
  EXPECT_EQ(status(2), "302");
  EXPECT_EQ(parser.problemPairing, 0);
}

TEST_F(HTTPGap, ASegmentLostInsideChunkDataIsSkipped) {
  web.handshake();
  send(kClient, get("/a"));
  const std::string chunk(2500, 'z');
  send(kServer,
       response("200 OK", "Transfer-Encoding: chunked\r\n",
                "9c4\r\n" + chunk + "\r\n5\r\nhello\r\n0\r\n\r\n"),
       1000, {1});
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  parse();
  ASSERT_EQ(parser.commRespCount, 2);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(parser.xactAt(1)->res_bytes, 2505);
  EXPECT_EQ(status(2), "404");
  EXPECT_EQ(parser.problemPairing, 0);
}

TEST_F(HTTPGap, AGapEndingExactlyAtAKnownBodysEndLosesNothing) {
  web.handshake();
  // Pipelined: no response after a lost place could be anchored.
  send(kClient, get("/a") + get("/b") + get("/c") + get("/d"));
  // The body's last segment is lost; the next response begins the segment after it.
  const std::string first =
      response("200 OK", "Content-Length: 2000\r\n", std::string(2000, 'x'));
  send(kServer, first, 1000, {(first.size() - 1) / 1000});
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  send(kServer, response("302 Found", "Content-Length: 1\r\n", "y"));
  parse();
  ASSERT_EQ(parser.commRespCount, 4);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(parser.xactAt(1)->res_bytes, 2000);
  EXPECT_EQ(status(2), "404");
  EXPECT_EQ(status(3), "201");
  EXPECT_EQ(status(4), "302");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::None);
  EXPECT_EQ(parser.problemPairing, 0);

  // The same at a request body's end: the pipelined request after it is read and paired.
  startOver();
  const std::string post =
      "POST /up HTTP/1.1\r\nContent-Length: 2000\r\n\r\n" + std::string(2000, 'p');
  send(kClient, post, 1000, {(post.size() - 1) / 1000});
  send(kClient, get("/next"));
  send(kServer, response("200 OK", "Content-Length: 0\r\n"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 2);
  EXPECT_EQ(uri(2), "/next");
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(status(2), "404");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::None);
}

TEST_F(HTTPGap, ALostResponseHeadLeavesItsRequestUnansweredAndPairingResumesWhereCertain) {
  openWithAnsweredRequest();
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"), 1460, {0});
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  send(kClient, get("/d"));
  send(kServer, response("302 Found", "Content-Length: 1\r\n", "x"));
  parse();
  ASSERT_EQ(parser.commRespCount, 4);
  EXPECT_EQ(status(1), "200");
  // Never "201" on /b. The 201's segment acknowledges exactly the end of /c, which was sent
  // once the client had every byte before the 201: it is /c's.
  EXPECT_EQ(status(2), "");
  EXPECT_EQ(status(3), "201");
  EXPECT_EQ(status(4), "302");
  EXPECT_EQ(parser.xactAt(4)->res_bytes, 1);
  EXPECT_EQ(parser.problemPairing, 1);
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::Head);
  EXPECT_EQ(v(stats.httpGapHead), 1u);
  EXPECT_EQ(v(stats.httpGapXacts), 1u);
}

TEST_F(HTTPGap, PipelinedRequestsStayUnansweredWhereALostHeadMakesThemAmbiguous) {
  openWithAnsweredRequest();
  // /b and /c go out together: the server's answers both acknowledge the end of /c.
  send(kClient, get("/b"));
  send(kClient, get("/c"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"), 1460, {0});
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  send(kClient, get("/d"));
  send(kServer, response("302 Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 4);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(status(2), "");
  EXPECT_EQ(status(3), "");
  // /d was sent alone, after the 201 had arrived; but whether the 201 was /c's, so that /c's
  // response had ended before /d was sent, is unknown: the 302 may be /c's.
  EXPECT_EQ(status(4), "");
  EXPECT_EQ(v(stats.httpGapXacts), 3u);

  // Two requests in one segment: the second's first segment is the first's.
  startOver();
  send(kClient, get("/a"));
  send(kServer, response("200 OK", "Content-Length: 2\r\n", "ok"), 1460, {0});
  send(kClient, get("/b") + get("/c"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 3);
  EXPECT_EQ(status(1), "");
  EXPECT_EQ(status(2), "");
  EXPECT_EQ(status(3), "");
}

TEST_F(HTTPGap, AResponseStillOwedToTheRequestBeforeIsNoAnchor) {
  web.handshake();
  send(kClient, get("/a"));
  // The head of /a's response is lost; /b goes out while the rest of it is on its way, /c once
  // it has all arrived, and the server answers /b only after it has /c.
  const std::string first =
      response("200 OK", "Content-Length: 2000\r\n", std::string(2000, 'x'));
  send(kServer, first.substr(0, 1000), 1000, {0});
  send(kClient, get("/b"));
  send(kServer, first.substr(1000));
  send(kClient, get("/c"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 3);
  // The 404 acknowledges the end of /c and begins where /c's segment acknowledged, but /b's
  // response was still owed: it is no anchor for /c.
  EXPECT_EQ(status(2), "");
  EXPECT_EQ(status(3), "");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::Head);
}

TEST_F(HTTPGap, AStatusLineInsideABodyAfterLostBytesIsNoResponse) {
  openWithAnsweredRequest();
  send(kClient, get("/b"));
  // The head is lost; the body's second segment begins with what looks like a response.
  const std::string head = response("200 OK", "Content-Length: 1038\r\n");
  const std::string fake = response("500 Oops", "Content-Length: 0\r\n");
  const std::string body =
      std::string(1000 - head.size(), 'p') + fake + std::string(38 - fake.size() + 1000, 'q');
  send(kServer, head + body.substr(0, 1038), 1000, {0});
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 3);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(status(2), "");
  EXPECT_EQ(status(3), "201");
}

TEST_F(HTTPGap, ALostChunkSizeLineEndsThePairing) {
  web.handshake();
  send(kClient, get("/a"));
  // The second segment holds the second chunk's size line.
  const std::string first(990, 'q');
  send(kServer,
       response("200 OK", "Transfer-Encoding: chunked\r\n",
                "3de\r\n" + first + "\r\n40\r\n" + std::string(64, 'r') + "\r\n0\r\n\r\n"),
       1000, {1});
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  parse();
  ASSERT_EQ(parser.commRespCount, 2);
  EXPECT_EQ(status(1), "200");
  // Where the chunked body ends is lost; the next response is anchored to /b.
  EXPECT_EQ(status(2), "404");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::ChunkLine);
  EXPECT_EQ(v(stats.httpGapChunkLine), 1u);
  EXPECT_EQ(v(stats.httpGapXacts), 0u);
}

TEST_F(HTTPGap, AChunkedBodyRunningIntoLostBytesKeepsItsStatusWithAnUnknownSize) {
  web.handshake();
  send(kClient, get("/a"));
  // 1,500 of 3,500 bytes: the second chunk's size "7d0" ends a segment, the next one (its line
  // end and the first data) is lost, and the data after the gap are hex digits too.
  send(kServer, response("200 OK", "Transfer-Encoding: chunked\r\n",
                         "5dc\r\n" + std::string(1500, 'a') + "\r\n7d0"));
  send(kServer, "\r\n" + std::string(2000, 'b') + "\r\n0\r\n\r\n", 1000, {0});
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  parse();
  ASSERT_EQ(parser.commRespCount, 2);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(parser.xactAt(1)->res_bytes, OB_HTTPXact::kUnknownBytes);
  EXPECT_EQ(status(2), "404");
  EXPECT_EQ(parser.getParseStop(), OB_HTTPProtocol::ParseStop::None);
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::ChunkLine);

  // The same in a request body: the requests after it are still read.
  startOver();
  send(kClient, "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5dc\r\n" +
                    std::string(1500, 'c') + "\r\n7d0");
  send(kClient, "\r\n" + std::string(2000, 'd') + "\r\n0\r\n\r\n", 1000, {0});
  send(kServer, response("200 OK", "Content-Length: 0\r\n"));
  send(kClient, get("/next"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 2);
  EXPECT_EQ(parser.xactAt(1)->req_bytes, OB_HTTPXact::kUnknownBytes);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(uri(2), "/next");
  EXPECT_EQ(parser.getParseStop(), OB_HTTPProtocol::ParseStop::None);
}

TEST_F(HTTPGap, AResponseOfUnknownLengthRunningIntoLostBytesEndsThePairing) {
  web.handshake();
  send(kClient, get("/a"));
  send(kServer, response("200 OK", "Content-Type: text/plain\r\n", std::string(2500, 'u')), 1000,
       {1});
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  parse();
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(status(2), "404");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::UnknownLength);
}

TEST_F(HTTPGap, ALostRequestHeadNeverGivesItsResponseToTheNextRequest) {
  openWithAnsweredRequest();
  send(kClient, get("/lost"), 1460, {0});
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  send(kClient, get("/d"));
  send(kServer, response("302 Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 3);
  EXPECT_EQ(uri(1), "/a");
  EXPECT_EQ(status(1), "200");
  // The request after the gap is recorded, without the 404 of the lost one; as what went
  // between it and the lost request is unknown, it stays without a response too.
  EXPECT_EQ(uri(2), "/c");
  EXPECT_EQ(status(2), "");
  // The next one, sent alone after the 201, is paired again.
  EXPECT_EQ(uri(3), "/d");
  EXPECT_EQ(status(3), "302");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::Head);
  EXPECT_EQ(v(stats.httpGapHead), 1u);

  // A connection whose first request was lost pairs nothing.
  startOver();
  send(kClient, get("/first"), 1460, {0});
  send(kServer, response("200 OK", "Content-Length: 2\r\n", "ok"));
  send(kClient, get("/second"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 1);
  EXPECT_EQ(uri(1), "/second");
  EXPECT_EQ(status(1), "");
}

TEST_F(HTTPGap, NoRequestIsMadeOfBodyBytesAfterALostRequestHead) {
  openWithAnsweredRequest();
  // The POST's head and most of its body are lost; the segment after the gap begins inside the
  // body, whose digits run straight into the next request line.
  std::string body;
  while (body.size() < 2500) body += "1234567890";
  send(kClient, "POST /up HTTP/1.1\r\nContent-Length: 2500\r\n\r\n" + body + get("/after"), 1000,
       {0, 1});
  send(kServer, response("200 OK", "Content-Length: 0\r\n"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  send(kClient, get("/later"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  parse();
  ASSERT_GE(parser.commRespCount, 2);
  for (int n = 1; n <= parser.commRespCount; ++n) {
    EXPECT_STREQ(parser.xactAt(n)->req_method.c_str(), "GET") << n;
  }
  EXPECT_EQ(uri(1), "/a");
  EXPECT_EQ(uri(parser.commRespCount), "/later");
}

TEST_F(HTTPGap, TheLargestLengthABodyCanAnnounceIsNoGap) {
  // 2^31 - 1, what any larger Content-Length is counted as: its end lies 2^31 bytes past the
  // head's last byte, which the sequence search must not take for a byte behind it.
  web.handshake();
  send(kClient, "POST /up HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\nabc");
  send(kServer, response("200 OK", "Content-Length: 99999999999\r\n", "abc"));
  parse();
  ASSERT_EQ(parser.commRespCount, 1);
  EXPECT_EQ(uri(1), "/up");
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::None);

  // The same as a chunk's size.
  startOver();
  send(kClient, get("/a"));
  send(kServer, response("200 OK", "Transfer-Encoding: chunked\r\n", "7fffffff\r\nabc"));
  send(kClient, get("/b"));
  parse();
  ASSERT_EQ(parser.commRespCount, 2);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::None);
  EXPECT_EQ(v(stats.httpGapHead) + v(stats.httpGapChunkLine), 0u);
}

TEST_F(HTTPGap, AChunkedBodyGoingOnPastACutCountsAtMostTheLargestLength) {
  // A chunk announced near 2^31 bytes is cut at the byte limit; the next piece holds the
  // chunk's end and the size line of another as long: the body's count stays at 2^31 - 1.
  web.handshake();
  send(kClient, get("/big"));
  send(kServer, response("200 OK", "Transfer-Encoding: chunked\r\n",
                         "7fffff00\r\n" + std::string(OB_TCPSession::kByteLimit, 'z')));
  web.skip(kServer, 0x7fffff00u - OB_TCPSession::kByteLimit);
  send(kServer, "\r\n7fffffff\r\nabc");
  parse();
  ASSERT_EQ(parser.commRespCount, 1);
  EXPECT_EQ(status(1), "200");
  EXPECT_EQ(parser.xactAt(1)->res_bytes, INT32_MAX);
}

TEST_F(HTTPGap, BytesStoredInOrderAreReadAsTheSequenceSearchReadsThem) {
  // A direction whose segments all arrived in order is read by counting bytes; one whose
  // segments came swapped is searched by sequence number. Both hold the same bytes and must
  // give the same transactions, also where a body crosses segments or runs past the data.
  auto converse = [this](bool swapped) {
    startOver();
    // Swaps the second and third of the segments the side sends now.
    auto sendSwapped = [&](TcpConversation::Side side, const std::string& text, size_t size) {
      const size_t at = web.size();
      send(side, text, size);
      ASSERT_GE(web.size(), at + 3);
      if (swapped) web.swap(at + 1, at + 2);
    };
    sendSwapped(kClient,
                get("/a") + "POST /up HTTP/1.1\r\nContent-Length: 3000\r\n\r\n" +
                    std::string(3000, 'p') + get("/c") + "HEAD /h HTTP/1.1\r\n\r\n",
                700);
    sendSwapped(kServer,
                response("200 OK", "Content-Length: 2500\r\n", std::string(2500, 'x')) +
                    response("204 No Content", "") +
                    response("200 OK", "Transfer-Encoding: chunked\r\n",
                             "5dc\r\n" + std::string(1500, 'c') +
                                 "\r\na\r\n0123456789\r\n0\r\n\r\n") +
                    response("200 OK", "Content-Length: 50\r\n"),
                1000);
    // The last body ends short of its length with the data.
    send(kClient, get("/last"));
    send(kServer, response("200 OK", "Content-Length: 5000\r\n", std::string(1200, 'z')));
    parse();
  };
  converse(false);
  EXPECT_TRUE(firstInOrder[0] && firstInOrder[1]);
  const std::string inOrder = record();
  EXPECT_EQ(parser.commRespCount, 5);
  EXPECT_EQ(parser.xactAt(2)->req_bytes, 3000);
  EXPECT_EQ(parser.xactAt(3)->res_bytes, 1510);
  converse(true);
  EXPECT_FALSE(firstInOrder[0] || firstInOrder[1]);
  EXPECT_EQ(record(), inOrder);

  // A body that a cut at the byte limit leaves going on: where it ends, and so where the next
  // piece finds the next response, comes from the count or the search alike.
  auto cut = [this](bool swapped) {
    startOver();
    send(kClient, get("/big"));
    const size_t at = web.size();
    send(kServer, response("200 OK", "Content-Length: 1300000\r\n", std::string(1300000, 'b')));
    if (swapped) web.swap(at + 1, at + 2);
    send(kClient, get("/after"));
    send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
    parse();
  };
  cut(false);
  EXPECT_TRUE(firstInOrder[1]);
  const std::string cutInOrder = record();
  EXPECT_EQ(status(parser.commRespCount), "404");
  cut(true);
  EXPECT_FALSE(firstInOrder[1]);
  EXPECT_EQ(record(), cutInOrder);
}

TEST_F(HTTPGap, ManyRequestsAndSegmentsAfterALostResponseHeadAreSearchedInBoundedTime) {
  // After the server's first segment is lost, each later segment that begins like a status
  // line is checked against the requests for an anchor: 40,000 of each must not cost their
  // product.
  constexpr int kMany = 40000;
  web.handshake();
  std::string requests;
  for (int i = 0; i < kMany; ++i) requests += "GET / HTTP/1.1\r\n\r\n";
  send(kClient, requests);
  send(kServer, "lost!", 5, {0});
  const corrana_test::Bytes status{'H', 'T', 'T', 'P', '/'};
  for (int i = 0; i < kMany; ++i) web.segment(kServer, corrana_test::kPsh | corrana_test::kAck, status);
  parse();
  ASSERT_EQ(parser.commRespCount, kMany);
  EXPECT_EQ(parser.respCount, 0);
  // Every segment is looked at and every request indexed: a few steps for each, not a walk
  // over the requests for each segment (1.6 billion).
  EXPECT_GE(parser.getAnchorWork(), static_cast<uint64_t>(kMany));
  EXPECT_LE(parser.getAnchorWork(), static_cast<uint64_t>(4 * (kMany + kMany)));
}

}  // namespace
