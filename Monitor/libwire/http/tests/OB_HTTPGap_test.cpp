// Bytes that were never captured: a gap wholly inside a body of known length is skipped in
// sequence space; any other gap leaves the requests whose responses cannot be known without a
// response, and never pairs a response with another request.
#include "HTTPGapFixture.h"

namespace {

using namespace httpgap;

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
  // The request after the gap is recorded, without the 404 of the lost one: the 201 begins
  // where /c's segment acknowledged and answers exactly /c, and the client has never sent a
  // request before the response to the one before had arrived, so the 201 is /c's.
  EXPECT_EQ(uri(2), "/c");
  EXPECT_EQ(status(2), "201");
  // The next one, sent alone after the 201, is paired by order.
  EXPECT_EQ(uri(3), "/d");
  EXPECT_EQ(status(3), "302");
  EXPECT_EQ(parser.getGapLoss(), OB_HTTPProtocol::GapLoss::Head);
  EXPECT_EQ(v(stats.httpGapHead), 1u);

  // A connection whose first request was lost: the 200 goes to nobody, and the request after
  // it gets the response that begins where it acknowledged.
  startOver();
  send(kClient, get("/first"), 1460, {0});
  send(kServer, response("200 OK", "Content-Length: 2\r\n", "ok"));
  send(kClient, get("/second"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 1);
  EXPECT_EQ(uri(1), "/second");
  EXPECT_EQ(status(1), "404");

  // The same where the client sent /second before the 200 had come: nothing tells whether the
  // 404 is the lost request's.
  startOver();
  send(kClient, get("/first"), 1460, {0});
  send(kClient, get("/second"));
  send(kServer, response("200 OK", "Content-Length: 2\r\n", "ok"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  parse();
  ASSERT_EQ(parser.commRespCount, 1);
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

// A connection with no lost byte cut at the byte limit inside a message: the message goes on in
// the next piece, and every response stays with its own request.
TEST_F(HTTPGap, ACutInsideAResponseHeadLeavesEveryResponseWithItsRequest) {
  const std::string second =
      response("404 Not Found", "Content-Type: text/plain\r\nContent-Length: 3\r\n", "abc");
  constexpr size_t kCutAt = 30;  // inside the 404's Content-Type line
  size_t body = 0;
  const std::string first = untilTheCut("HTTP/1.1 200 OK", kCutAt, &body);
  web.handshake();
  send(kClient, get("/a"));
  send(kClient, get("/b"));
  send(kServer, first + second.substr(0, kCutAt));
  send(kServer, second.substr(kCutAt));
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  const std::vector<std::string> expected = {"/a 200 " + std::to_string(body), "/b 404 3",
                                             "/c 201 0"};
  EXPECT_EQ(parseEachPiece(), expected);

  // The body of the cut response begins, in a segment of its own, with a status line.
  startOver();
  const std::string inner = response("200 OK", "Content-Length: 0\r\n");
  const std::string third = response("404 Not Found", "Content-Length: " +
                                     std::to_string(inner.size()) + "\r\n", inner);
  const size_t headEnd = third.size() - inner.size();
  send(kClient, get("/a"));
  send(kClient, get("/b"));
  send(kServer, first + third.substr(0, kCutAt));
  send(kServer, third.substr(kCutAt, headEnd - kCutAt));
  send(kServer, inner);
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  const std::vector<std::string> inBody = {"/a 200 " + std::to_string(body),
                                           "/b 404 " + std::to_string(inner.size()), "/c 201 0"};
  EXPECT_EQ(parseEachPiece(), inBody);

  // The segment right after the cut is lost: the carried part and what follows the loss are
  // not one head.
  startOver();
  send(kClient, get("/a"));
  send(kClient, get("/b"));
  send(kServer, first + second.substr(0, kCutAt));
  send(kServer, second.substr(kCutAt), 8, {0});
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  const std::vector<std::string> lostAfter = {"/a 200 " + std::to_string(body), "/b  0",
                                              "/c  0"};
  EXPECT_EQ(parseEachPiece(), lostAfter);
}

// A cut right after a message's last byte or a head's: the next piece begins with the next
// message or the body, whatever byte the data before ended with, and the requests still
// waiting for their responses get them there.
TEST_F(HTTPGap, ACutRightAfterAMessageOrAHeadLeavesEveryResponseWithItsRequest) {
  for (const char last : {'x', '\n'}) {
    SCOPED_TRACE(last == 'x' ? "body ends in a letter" : "body ends in a line feed");
    startOver();
    size_t body = 0;
    std::string first = untilTheCut("HTTP/1.1 200 OK", 0, &body);
    first.back() = last;
    send(kClient, get("/a"));
    send(kClient, get("/b"));
    send(kServer, first);
    send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
    send(kClient, get("/c"));
    send(kServer, response("201 Created", "Content-Length: 0\r\n"));
    const std::vector<std::string> expected = {"/a 200 " + std::to_string(body), "/b 404 3",
                                               "/c 201 0"};
    EXPECT_EQ(parseEachPiece(), expected);
  }

  // The cut falls right after an upload, whose response all comes in the next piece.
  startOver();
  size_t upload = 0;
  send(kClient, untilTheCut("POST /up HTTP/1.1", 0, &upload, 'u'));
  send(kServer, response("201 Created", "Content-Length: 2\r\n", "ok"));
  send(kClient, get("/c"));
  send(kServer, response("404 Not Found", "Content-Length: 0\r\n"));
  const std::vector<std::string> afterUpload = {"/up 201 2", "/c 404 0"};
  EXPECT_EQ(parseEachPiece(), afterUpload);

  // The cut falls right after a response's head, before its body.
  for (const bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "a response without a body" : "a body in the next piece");
    startOver();
    const std::string second = empty ? response("204 No Content", "")
                                     : response("404 Not Found", "Content-Length: 3\r\n");
    size_t firstBody = 0;
    send(kClient, get("/a"));
    send(kClient, get("/b"));
    send(kServer, untilTheCut("HTTP/1.1 200 OK", second.size(), &firstBody) + second);
    if (!empty) send(kServer, "abc");
    send(kClient, get("/c"));
    send(kClient, get("/d"));
    send(kServer, response("201 Created", "Content-Length: 0\r\n"));
    send(kServer, response("202 Accepted", "Content-Length: 0\r\n"));
    const std::vector<std::string> afterHead = {"/a 200 " + std::to_string(firstBody),
                                                empty ? "/b 204 0" : "/b 404 3", "/c 201 0",
                                                "/d 202 0"};
    EXPECT_EQ(parseEachPiece(), afterHead);
  }
}

// A head too long to carry over: the piece after the cut has lost its place, so the cut
// response stays unpaired rather than a status line inside its body answering anything. The
// next request is the piece's first, after a response whose end is not known: which response
// answers it cannot be known either, and it stays unanswered too.
TEST_F(HTTPGap, AHeadTooLongToCarryLeavesItAndTheNextRequestUnanswered) {
  const std::string fake = response("500 Fake", "Content-Length: 0\r\n");
  const std::string second =
      response("404 Not Found", "X-Pad: " + std::string(80000, 'p') + "\r\nContent-Length: " +
                                    std::to_string(fake.size()) + "\r\n",
               fake);
  constexpr size_t kCutAt = 70000;  // inside the padding line, past what a carry holds
  size_t body = 0;
  const std::string first = untilTheCut("HTTP/1.1 200 OK", kCutAt, &body);
  web.handshake();
  send(kClient, get("/a"));
  send(kClient, get("/b"));
  send(kServer, first + second.substr(0, kCutAt));
  send(kServer, second.substr(kCutAt, second.size() - kCutAt - fake.size()));
  send(kServer, fake);
  send(kClient, get("/c"));
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  const std::vector<std::string> expected = {"/a 200 " + std::to_string(body), "/b  0",
                                             "/c  0"};
  EXPECT_EQ(parseEachPiece(), expected);
}

TEST_F(HTTPGap, ACutInsideAChunkSizeLineCountsTheWholeBody) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  // The first chunk's size line, data and line end, then "1" of the size line "1a".
  const size_t data = OB_TCPSession::kByteLimit - head.size() - 8 - 2 - 1;
  char size[16];
  std::snprintf(size, sizeof size, "%06zx\r\n", data);
  const std::string first = head + size + std::string(data, 'y') + "\r\n1";
  ASSERT_EQ(first.size(), OB_TCPSession::kByteLimit);
  web.handshake();
  send(kClient, get("/a"));
  send(kServer, first);
  send(kServer, "a\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n");
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  const std::vector<std::string> expected = {"/a 200 " + std::to_string(data + 26), "/b 404 3"};
  EXPECT_EQ(parseEachPiece(), expected);

  // The cut falls between the carriage return and the line feed that close a chunk's data.
  startOver();
  const size_t whole = OB_TCPSession::kByteLimit - head.size() - 8 - 1;
  std::snprintf(size, sizeof size, "%06zx\r\n", whole);
  const std::string cutInLineEnd = head + size + std::string(whole, 'y') + "\r";
  ASSERT_EQ(cutInLineEnd.size(), OB_TCPSession::kByteLimit);
  send(kClient, get("/a"));
  send(kServer, cutInLineEnd);
  send(kServer, "\n1a\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n");
  send(kClient, get("/b"));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  const std::vector<std::string> inLineEnd = {"/a 200 " + std::to_string(whole + 26),
                                              "/b 404 3"};
  EXPECT_EQ(parseEachPiece(), inLineEnd);

  // The cut falls right after the chunked response's head: its first size line is the next
  // piece's.
  startOver();
  size_t before = 0;
  send(kClient, get("/a"));
  send(kClient, get("/b"));
  send(kServer, untilTheCut("HTTP/1.1 200 OK", head.size(), &before) + head);
  send(kServer, "1a\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n");
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  const std::vector<std::string> afterHead = {"/a 200 " + std::to_string(before), "/b 200 26"};
  EXPECT_EQ(parseEachPiece(), afterHead);
}

TEST_F(HTTPGap, ACutInsideARequestHeadLeavesEveryResponseWithItsRequest) {
  constexpr size_t kCutAt = 9;  // inside "GET /b HTTP/1.1"
  size_t body = 0;
  const std::string upload = untilTheCut("POST /up HTTP/1.1", kCutAt, &body, 'u');
  const std::string next = get("/b");
  web.handshake();
  send(kClient, upload);
  send(kServer, response("201 Created", "Content-Length: 0\r\n"));
  send(kClient, next.substr(0, kCutAt));
  send(kClient, next.substr(kCutAt));
  send(kServer, response("404 Not Found", "Content-Length: 3\r\n", "abc"));
  send(kClient, get("/c"));
  send(kServer, response("200 OK", "Content-Length: 2\r\n", "ok"));
  const std::vector<std::string> expected = {"/up 201 0", "/b 404 3", "/c 200 2"};
  EXPECT_EQ(parseEachPiece(), expected);
}

}  // namespace
