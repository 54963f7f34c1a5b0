// Pairing again after lost bytes or a cut at the byte limit. On a connection whose client has
// shown no pipelining, a request sent when the client had every byte before a captured response
// head, answered by that head, is paired with it whatever was lost before; where the wire shows
// pipelining, only what the sequence and acknowledgement numbers prove. Each line is
// "URI status bytes", the pieces of a cut connection in order; a request left without a response
// has an empty status.
#include "HTTPGapFixture.h"

namespace {

using namespace httpgap;

// A response whose status and body size tell it from the others of a test: a response paired
// with another request shows. Not a status that has no body.
std::string sized(int status, size_t bytes) {
  EXPECT_TRUE(status >= 200 && status != 204 && status != 304) << status;
  return response(std::to_string(status) + " Status", "Content-Length: " + std::to_string(bytes) +
                                                           "\r\n",
                  std::string(bytes, 's'));
}

std::string line(const std::string& uri, int status, size_t bytes) {
  return uri + " " + std::to_string(status) + " " + std::to_string(bytes);
}

std::string unanswered(const std::string& uri) { return uri + "  0"; }

class HTTPResume : public HTTPGap {
 protected:
  // The client sends the request, then the server its response: the client waits for each
  // response before its next request. The request's segment, or the response's segments
  // numbered in responseLost, never reach the capture.
  void exchange(const std::string& uri, const std::string& answer, bool requestLost = false,
                std::vector<size_t> responseLost = {}, size_t size = 1460) {
    send(kClient, get(uri), 1460, requestLost ? std::vector<size_t>{0} : std::vector<size_t>{});
    send(kServer, answer, size, responseLost);
  }

  // How the client shows pipelining at the start of a connection: p and q go out before p's
  // response has all arrived, each answered.
  enum class Pipelining { None, OneSegment, SameAcknowledgement, InsideAResponse };
  void opening(Pipelining how) {
    const std::string p = sized(200, 1500);
    const std::string q = sized(200, 7);
    switch (how) {
      case Pipelining::None:
        exchange("/p", p);
        exchange("/q", q);
        break;
      case Pipelining::OneSegment:
        send(kClient, get("/p") + get("/q"));
        send(kServer, p + q);
        break;
      case Pipelining::SameAcknowledgement:
        send(kClient, get("/p"));
        send(kClient, get("/q"));
        send(kServer, p + q);
        break;
      case Pipelining::InsideAResponse:
        send(kClient, get("/p"));
        send(kServer, p.substr(0, 1000));
        send(kClient, get("/q"));
        send(kServer, p.substr(1000) + q);
        break;
    }
  }
  std::vector<std::string> openingLines() { return {line("/p", 200, 1500), line("/q", 200, 7)}; }

  // n requests sent one by one, each answered by a response that tells it from the others; each
  // is expected paired.
  void oneByOne(int n, std::vector<std::string>& expected) {
    for (int i = 0; i < n; ++i) {
      const std::string uri = "/" + std::to_string(i);
      exchange(uri, sized(213 + i, 3 + i));
      expected.push_back(line(uri, 213 + i, 3 + i));
    }
  }
};

// Two requests in a row left without a response (a lost response head, then a lost request)
// end the pairing of a connection that proves every pairing by the requests before; one whose
// client never pipelined pairs every request after them whose response was captured.
TEST_F(HTTPResume, WithoutPipeliningEveryCapturedResponseAfterALossIsPaired) {
  web.handshake();
  opening(Pipelining::None);
  exchange("/b", sized(404, 3), false, {0});
  exchange("/c", sized(410, 4), true);
  std::vector<std::string> expected = openingLines();
  expected.push_back(unanswered("/b"));
  for (int i = 0; i < 5; ++i) {
    const std::string uri = "/" + std::to_string(i);
    exchange(uri, sized(211 + i, 10 + i));
    expected.push_back(line(uri, 211 + i, 10 + i));
  }
  EXPECT_EQ(parseEachPiece(), expected);
}

// The same losses where the client has shown pipelining: whether a response is one request
// behind cannot be told from the numbers, so none after the losses is paired.
TEST_F(HTTPResume, WherePipeliningWasShownNoResponseAfterTheLossIsPaired) {
  for (const auto how : {Pipelining::OneSegment, Pipelining::SameAcknowledgement,
                         Pipelining::InsideAResponse}) {
    SCOPED_TRACE(static_cast<int>(how));
    startOver();
    opening(how);
    exchange("/b", sized(404, 3), false, {0});
    exchange("/c", sized(410, 4), true);
    std::vector<std::string> expected = openingLines();
    expected.push_back(unanswered("/b"));
    for (int i = 0; i < 5; ++i) {
      const std::string uri = "/" + std::to_string(i);
      exchange(uri, sized(211 + i, 10 + i));
      expected.push_back(unanswered(uri));
    }
    EXPECT_EQ(parseEachPiece(), expected);
  }
}

// A cut right after a response's end, whose next response head (the first server bytes of the
// next piece) is lost: that request stays without a response and every later response keeps its
// own, never the one before.
TEST_F(HTTPResume, AContinuedPieceWhoseFirstResponseHeadIsLostShiftsNothing) {
  size_t body = 0;
  web.handshake();
  send(kClient, get("/a"));
  send(kServer, untilTheCut("HTTP/1.1 200 OK", 0, &body));
  exchange("/b", sized(202, 2), false, {0});
  std::vector<std::string> expected = {line("/a", 200, body), unanswered("/b")};
  oneByOne(5, expected);
  EXPECT_EQ(parseEachPiece(), expected);
}

// The same on the client's side: the request lost right after a cut is not recorded, and the
// response it got goes to nobody.
TEST_F(HTTPResume, AContinuedPieceWhoseFirstRequestIsLostShiftsNothing) {
  size_t upload = 0;
  web.handshake();
  send(kClient, untilTheCut("POST /up HTTP/1.1", 0, &upload, 'u'));
  send(kServer, sized(201, 0));
  exchange("/b", sized(202, 2), true);
  std::vector<std::string> expected = {line("/up", 201, 0)};
  oneByOne(4, expected);
  EXPECT_EQ(parseEachPiece(), expected);
}

// Where pipelining was shown, a response that begins where the client's request acknowledged
// pairs after a loss only when the responses before it are known to have ended: an empty body
// ends with its head, a known place.
TEST_F(HTTPResume, AnEmptyBodyMarksWhereItsResponseEnds) {
  web.handshake();
  opening(Pipelining::OneSegment);
  std::vector<std::string> expected = openingLines();
  for (int i = 1; i <= 10; ++i) {
    const std::string uri = "/r" + std::to_string(i);
    const std::string redirect =
        response("302 Found", "Location: /r" + std::to_string(i + 1) + "\r\nContent-Length: 0\r\n");
    exchange(uri, redirect, false, i == 4 ? std::vector<size_t>{0} : std::vector<size_t>{});
    expected.push_back(i == 4 ? unanswered(uri) : line(uri, 302, 0));
  }
  EXPECT_EQ(parseEachPiece(), expected);
}

// Where pipelining was shown, a continued piece knows from the earlier one where the last
// response before it ended, with none owed: after a lost head there, the requests after it
// pair again.
TEST_F(HTTPResume, AContinuedPieceBeginsWhereTheEarlierPieceKnewTheLastResponseEnded) {
  size_t body = 0;
  web.handshake();
  opening(Pipelining::OneSegment);
  send(kClient, get("/a"));
  send(kServer, untilTheCut("HTTP/1.1 200 OK", web.sent(kServer).size(), &body));
  exchange("/b", sized(202, 2), false, {0});
  std::vector<std::string> expected = openingLines();
  expected.push_back(line("/a", 200, body));
  expected.push_back(unanswered("/b"));
  oneByOne(5, expected);
  EXPECT_EQ(parseEachPiece(), expected);
}

// A response head cut more than the carry holds after its start: that response is lost, but
// the requests sent one by one after it pair again in the next piece.
TEST_F(HTTPResume, AfterAHeadTooLongToCarryTheRequestsSentOneByOnePairAgain) {
  constexpr size_t kCutAt = 70000;  // inside the padding line, past what a carry holds
  const std::string longHead =
      response("404 Not Found",
               "X-Pad: " + std::string(80000, 'p') + "\r\nContent-Length: 5\r\n", "hello");
  web.handshake();
  size_t body = 0;
  send(kClient, get("/x"));
  send(kServer, untilTheCut("HTTP/1.1 200 OK", kCutAt, &body));
  send(kClient, get("/a"));
  send(kServer, longHead);
  std::vector<std::string> expected = {line("/x", 200, body), unanswered("/a")};
  oneByOne(5, expected);
  EXPECT_EQ(parseEachPiece(), expected);
}

// Where pipelining was shown: the response before k - 1's is known to end at E, so k - 1's
// begins there; a head after E where k's request acknowledged, answering k's end, is k's.
TEST_F(HTTPResume, AHeadAfterTheKnownStartOfTheResponseBeforeIsTheNextRequests) {
  web.handshake();
  send(kClient, get("/a") + get("/b"));
  const std::string a = sized(200, 3000);
  const std::string b = sized(404, 5);
  ASSERT_NE(a.size() % 1000, 0u);
  // The segment with the end of /a's body and the start of /b's head is lost.
  send(kServer, a + b, 1000, {a.size() / 1000});
  std::vector<std::string> expected = {line("/a", 200, 3000), unanswered("/b")};
  oneByOne(3, expected);
  EXPECT_EQ(parseEachPiece(), expected);
}

// More requests wait for their responses at a cut than the carry takes: the first of them get
// their responses in the next piece, the rest are recorded without (they alone are lost), and
// the responses owed to them are skipped by their own framing, so that the requests after
// them pair.
TEST_F(HTTPResume, ResponsesOwedToAnEarlierPieceAreSkippedByTheirFraming) {
  constexpr size_t kWaiting = 70;
  web.handshake();
  std::string requests;
  for (size_t i = 1; i <= kWaiting + 1; ++i) requests += get("/" + std::to_string(i));
  send(kClient, requests);
  size_t body = 0;
  send(kServer, untilTheCut("HTTP/1.1 200 OK", 0, &body));
  std::string rest;
  for (size_t i = 2; i <= kWaiting + 1; ++i) rest += sized(static_cast<int>(400 + i), i);
  send(kServer, rest);
  std::vector<std::string> expected = {line("/1", 200, body)};
  const size_t handed = 1 + 64;
  for (size_t i = handed + 1; i <= kWaiting + 1; ++i) {
    expected.push_back(unanswered("/" + std::to_string(i)));
  }
  for (size_t i = 2; i <= handed; ++i) {
    expected.push_back(line("/" + std::to_string(i), static_cast<int>(400 + i), i));
  }
  for (int i = 0; i < 3; ++i) {
    const std::string uri = "/after" + std::to_string(i);
    exchange(uri, sized(300 + i, 3 + i));
    expected.push_back(line(uri, 300 + i, 3 + i));
  }
  EXPECT_EQ(parseEachPiece(), expected);

  // A 100 Continue that ends a piece: the upload waits for its final response in the next.
  startOver();
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  send(kClient, get("/x"));
  send(kServer, untilTheCut("HTTP/1.1 200 OK", interim.size(), &body));
  send(kClient, "POST /up HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
  send(kServer, interim);
  send(kClient, "data");
  send(kServer, sized(201, 7));
  std::vector<std::string> upload = {line("/x", 200, body), line("/up", 201, 7)};
  for (int i = 0; i < 3; ++i) {
    const std::string uri = "/after" + std::to_string(i);
    exchange(uri, sized(300 + i, 3 + i));
    upload.push_back(line(uri, 300 + i, 3 + i));
  }
  EXPECT_EQ(parseEachPiece(), upload);
}

// A cut inside the trailer of a chunked body: the trailer is read on in the next piece, and the
// responses after it stay with their requests.
TEST_F(HTTPResume, ACutInsideAChunkTrailerReadsItOnInTheNextPiece) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string trailer = "0\r\nX-Checksum: 1234\r\n\r\n";
  constexpr size_t kCutAt = 8;  // inside "X-Checksum"
  const size_t data = OB_TCPSession::kByteLimit - head.size() - 8 - 2 - kCutAt;
  char size[16];
  std::snprintf(size, sizeof size, "%06zx\r\n", data);
  const std::string first = head + size + std::string(data, 'y') + "\r\n" + trailer.substr(0, kCutAt);
  ASSERT_EQ(first.size(), OB_TCPSession::kByteLimit);
  web.handshake();
  send(kClient, get("/a"));
  send(kServer, first);
  send(kServer, trailer.substr(kCutAt));
  std::vector<std::string> expected = {line("/a", 200, data)};
  oneByOne(3, expected);
  EXPECT_EQ(parseEachPiece(), expected);
}

// After a lost request head, the search for the next request also tries each segment's start:
// a request that follows body bytes without a line end between is found there.
TEST_F(HTTPResume, ARequestStartingASegmentAfterALostHeadIsFound) {
  web.handshake();
  exchange("/a", sized(200, 2));
  send(kClient, "POST /up HTTP/1.1\r\nContent-Length: 2500\r\n\r\n" + std::string(2500, 'p'), 1000,
       {0});
  send(kServer, sized(201, 0));
  exchange("/b", sized(202, 2));
  exchange("/c", sized(203, 3));
  const std::vector<std::string> expected = {line("/a", 200, 2), line("/b", 202, 2),
                                             line("/c", 203, 3)};
  EXPECT_EQ(parseEachPiece(), expected);
}

// A body that ends before its announced length because the connection ended there is logged
// with the bytes that were sent; with bytes lost as well, its size is unknown, and so it is where
// the client's reset ended the connection (the server's bytes on their way then are not read).
TEST_F(HTTPResume, AResponseTheServerCutShortIsLoggedWithTheBytesItSent) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n";
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "closed");
    startOver();
    send(kClient, get("/a"));
    send(kServer, head + std::string(3000, 'c'));
    if (reset) web.rst(kServer);
    EXPECT_EQ(parseEachPiece(), std::vector<std::string>{line("/a", 200, 3000)});
  }
  startOver();
  send(kClient, get("/a"));
  send(kServer, head + std::string(3000, 'c'), 1000, {1});
  EXPECT_EQ(parseEachPiece(), std::vector<std::string>{"/a 200 -1"});
  startOver();
  send(kClient, get("/a"));
  send(kServer, head + std::string(3000, 'c'));
  web.rst(kClient);
  EXPECT_EQ(parseEachPiece(), std::vector<std::string>{"/a 200 -1"});
}

// A response without a length or chunks ends when the server closes: its size is what came
// before the server's FIN, unknown where bytes of it were lost.
TEST_F(HTTPResume, ABodyRunningToTheServersCloseIsCounted) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
  web.handshake();
  send(kClient, get("/a"));
  send(kServer, head + std::string(54, 'z'));
  EXPECT_EQ(parseEachPiece(), std::vector<std::string>{line("/a", 200, 54)});

  startOver();
  send(kClient, get("/a"));
  send(kServer, head + std::string(3000, 'z'), 1000, {1});
  EXPECT_EQ(parseEachPiece(), std::vector<std::string>{"/a 200 -1"});
}

}  // namespace
