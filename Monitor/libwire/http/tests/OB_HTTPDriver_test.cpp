// The HTTP message driver: a reassembled connection becomes paired transactions, bodies are
// skipped by their lengths, and connections cut short or malformed stop cleanly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HTTPTestSupport.h"
#include "http/OB_HTTPGrammar.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

using httptest::OwnedBuffer;
using httptest::PieceStream;

namespace {

// One connection: the client's and the server's bytes (each direction in as many pieces as
// given), parsed once.
struct Connection {
  Connection(const std::vector<std::string>& client, const std::vector<std::string>& server,
             bool finished = true, int queues = 1, int perQueue = 16)
      : parser(queues, perQueue) {
    OB_TCPSession session;
    for (const std::string& piece : client) session.client.add(new OwnedBuffer(piece));
    for (const std::string& piece : server) session.server.add(new OwnedBuffer(piece));
    session.finished = finished ? 1 : 0;
    parser.processObject(&session);
  }
  std::string status(int n) { return xact(n).res_status_code.c_str(); }
  std::string uri(int n) { return xact(n).req_request_uri.c_str(); }
  OB_HTTPXact& xact(int n) {
    OB_HTTPXact* x = parser.xactAt(n);
    static OB_HTTPXact none;
    EXPECT_NE(x, nullptr) << "transaction " << n;
    return x != nullptr ? *x : none;
  }
  OB_HTTPProtocol parser;
};

std::string response(const std::string& status, const std::string& headers,
                     const std::string& body = "") {
  return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

TEST(HTTPDriver, PipelinedRequestsPairWithTheirResponsesAcrossBodies) {
  Connection c({"GET /a HTTP/1.1\r\nHost: h\r\n\r\nGET /b HTTP/1.1\r\nHost: h\r\n\r\n"},
               {response("200 OK", "Content-Length: 5\r\n", "HTTP/") +
                response("404 Not Found", "Content-Length: 3\r\n", "abc")});
  ASSERT_EQ(c.parser.commRespCount, 2);
  EXPECT_EQ(c.parser.respCount, 2);
  EXPECT_EQ(c.status(1), "200");
  EXPECT_EQ(c.status(2), "404");
  EXPECT_EQ(c.xact(1).res_bytes, 5);
  EXPECT_EQ(c.parser.problemPairing, 0);
}

TEST(HTTPDriver, RequestBodiesAreSkippedByTheirLengthWhateverTheyHold) {
  const std::string body = "GET /inside HTTP/1.0\r\n\r\n";
  Connection c({"POST /form HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + body + "GET /next HTTP/1.1\r\n\r\n"},
               {});
  ASSERT_EQ(c.parser.commRespCount, 2);
  EXPECT_EQ(c.uri(2), "/next");
}

TEST(HTTPDriver, ARequestBodyThatIsNotAllThereEndsTheDirection) {
  // The body is cut short: what follows is body, never a request.
  Connection c({"POST /form HTTP/1.1\r\nContent-Length: 500\r\n\r\nGET /fake HTTP/1.0\r\n\r\n"},
               {});
  EXPECT_EQ(c.parser.commRespCount, 1);
  EXPECT_EQ(c.parser.problemPairing, 1);  // finished, and the request has no response
}

TEST(HTTPDriver, SimpleRequestWithoutVersion) {
  Connection c({"GET /old/page.html\r\n\r\n"}, {});
  ASSERT_EQ(c.parser.commRespCount, 1);
  EXPECT_STREQ(c.xact(1).req_method.c_str(), "GET");
  EXPECT_EQ(c.uri(1), "/old/page.html");
  EXPECT_STREQ(c.xact(1).req_http_vers.c_str(), "");
}

TEST(HTTPDriver, ResponsesWithoutBodiesAreNotSkipped) {
  // A 304 and a response to HEAD announce lengths they do not send; skipping them would run
  // over the responses that follow.
  Connection c({"GET /a HTTP/1.1\r\n\r\nHEAD /b HTTP/1.1\r\n\r\nGET /c HTTP/1.1\r\n\r\n"
                "GET /d HTTP/1.1\r\n\r\n"},
               {response("304 Not Modified", "Content-Length: 900\r\n") +
                response("200 OK", "Content-Length: 900\r\n") +
                response("204 No Content", "") +
                response("200 OK", "Content-Length: 2\r\n", "ok")});
  ASSERT_EQ(c.parser.respCount, 4);
  EXPECT_EQ(c.status(1), "304");
  EXPECT_EQ(c.status(2), "200");
  EXPECT_EQ(c.status(3), "204");
  EXPECT_EQ(c.status(4), "200");
}

TEST(HTTPDriver, ResponsesWithoutBodiesCountNoBytesWhateverTheirLength) {
  // HEAD, 204, 304 and an interim 100 each announce a length; none sends a byte of body, and
  // the next response is read right after each head.
  Connection c({"HEAD /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\nGET /c HTTP/1.1\r\n\r\n"
                "POST /d HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\nhi"},
               {response("200 OK", "Content-Length: 4000\r\n") +
                response("204 No Content", "Content-Length: 50\r\n") +
                response("304 Not Modified", "Content-Length: 700\r\n") +
                response("100 Continue", "Content-Length: 9\r\n") +
                response("200 OK", "Content-Length: 2\r\n", "ok")});
  ASSERT_EQ(c.parser.respCount, 4);
  EXPECT_EQ(c.status(1), "200");
  EXPECT_EQ(c.status(2), "204");
  EXPECT_EQ(c.status(3), "304");
  EXPECT_EQ(c.status(4), "200");
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(c.xact(n).res_bytes, 0) << "response " << n;
  EXPECT_EQ(c.xact(4).res_bytes, 2);
  EXPECT_EQ(c.parser.problemPairing, 0);
}

TEST(HTTPDriver, AResponseWithoutLengthIsFollowedToTheNextStatusLine) {
  Connection c({"GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n"},
               {response("200 OK", "Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n") +
                response("200 OK", "Content-Type: image/png\r\n")});
  EXPECT_EQ(c.parser.respCount, 2);
  EXPECT_STREQ(c.xact(2).res_content_type.c_str(), "image/png");
}

TEST(HTTPDriver, AServerStreamWithoutStatusLinePairsNothing) {
  Connection finished({"GET /a HTTP/1.1\r\n\r\n"}, {"garbage\r\n\r\n"});
  EXPECT_EQ(finished.parser.respCount, 0);
  EXPECT_EQ(finished.parser.problemPairing, 1);
  EXPECT_STREQ(finished.xact(1).res_content_type.c_str(), "none");
  Connection open({"GET /a HTTP/1.1\r\n\r\n"}, {"garbage\r\n\r\n"}, false);
  EXPECT_EQ(open.parser.problemPairing, 0);
}

TEST(HTTPDriver, HeaderBlocksEndOnThreeLineEndBytesOrTheEndOfData) {
  // Two LF bytes do not end the head: the next request line is tried as a header, fails, and
  // is then found as a request all the same.
  Connection lf({"GET /a HTTP/1.0\nHost: h\n\nGET /b HTTP/1.0\n\n"}, {});
  EXPECT_EQ(lf.parser.commRespCount, 2);
  // LF CR LF ends it.
  Connection mixed({"POST /a HTTP/1.0\nContent-Length: 3\n\r\nxyzGET /b HTTP/1.0\r\n\r\n"}, {});
  ASSERT_EQ(mixed.parser.commRespCount, 2);
  EXPECT_EQ(mixed.uri(2), "/b");
  // A head cut short by the end of the capture keeps what it had.
  Connection cut({"GET /a HTTP/1.1\r\nHost: h\r\nUser-Agent: x/1"}, {});
  EXPECT_STREQ(cut.xact(1).req_host.c_str(), "h");
}

TEST(HTTPDriver, SplitAnywhereTheConnectionParsesAlike) {
  const std::string client =
      "GET /a HTTP/1.1\r\nHost: h\r\nAccept-Language: en;q=0.5\r\nUser-Agent: u/1\r\n\r\n"
      "POST /b HTTP/1.1\r\nContent-Length: 4\r\nContent-Type: text/plain\r\n\r\nbodyGET /c "
      "HTTP/1.1\r\n\r\n";
  const std::string server = response("200 OK", "Content-Length: 2\r\n", "ok") +
                             response("201 Created", "Content-Length: 0\r\n") +
                             response("200 OK", "Content-Type: text/css\r\n");
  for (size_t cut = 1; cut < client.size(); cut += 7) {
    Connection c(PieceStream::split(client, {cut}), PieceStream::split(server, {cut % 90 + 1}));
    ASSERT_EQ(c.parser.commRespCount, 3) << "cut " << cut;
    EXPECT_EQ(c.parser.respCount, 3) << "cut " << cut;
    EXPECT_STREQ(c.xact(1).req_user_agent.c_str(), "u/1") << "cut " << cut;
    EXPECT_EQ(c.xact(2).req_bytes, 4) << "cut " << cut;
    EXPECT_EQ(c.status(2), "201") << "cut " << cut;
  }
}

TEST(HTTPDriver, AnExhaustedPoolStopsTheDirectionWithoutParsingBodies) {
  const std::string post =
      "POST /p HTTP/1.0\r\nContent-Length: 24\r\n\r\nGET /body HTTP/1.0\r\n\r\n";
  Connection c({post + post + post + post}, {}, true, 1, 2);
  EXPECT_EQ(c.parser.getXactCount(), 2u);
  EXPECT_EQ(c.uri(2), "/p");
  EXPECT_EQ(c.parser.problemPairing, 1);
}

TEST(HTTPDriver, BodiesBeginRightAfterTheHeadsEmptyLine) {
  // Bodies whose first bytes are line ends: a stylesheet opening with two LFs, a byte range
  // part, a form; each is skipped from the byte after the empty line, so the responses that
  // follow keep their own requests.
  const std::string css = "\n\nbody{}";
  const std::string part = "\r\n--sep\r\nContent-Range: bytes 0-1/9\r\n\r\nab\r\n--sep--\r\n";
  const std::string form = "\r\n\r\nx=1";
  Connection c(
      {"GET /a.css HTTP/1.1\r\n\r\nGET /range HTTP/1.1\r\nRange: bytes=0-1\r\n\r\n"
       "POST /form HTTP/1.1\r\nContent-Length: " + std::to_string(form.size()) + "\r\n\r\n" +
       form + "GET /last HTTP/1.1\n\n"},
      {response("200 OK", "Content-Length: " + std::to_string(css.size()) + "\r\n", css) +
       response("206 Partial Content",
                "Content-Type: multipart/byteranges; boundary=sep\r\nContent-Length: " +
                    std::to_string(part.size()) + "\r\n",
                part) +
       response("201 Created", "Content-Length: 5\r\n", "\n\nHTTP") +
       "HTTP/1.1 404 Not Found\nContent-Length: 2\n\n\r\n"});
  ASSERT_EQ(c.parser.commRespCount, 4);
  EXPECT_EQ(c.uri(4), "/last");
  ASSERT_EQ(c.parser.respCount, 4);
  EXPECT_EQ(c.status(1), "200");
  EXPECT_EQ(c.status(2), "206");
  EXPECT_STREQ(c.xact(2).res_content_type.c_str(), "multipart/byteranges");
  EXPECT_EQ(c.status(3), "201");
  EXPECT_EQ(c.status(4), "404");
  EXPECT_EQ(c.parser.problemPairing, 0);
}

TEST(HTTPDriver, HeadsWithoutHeaderLinesLeaveTheBodyUnread) {
  // The body looks like header lines; none of it is taken as one.
  Connection c({"POST /a HTTP/1.0\r\n\r\nContent-Length: 99\r\nHost: body\r\n\r\n"}, {});
  ASSERT_EQ(c.parser.commRespCount, 1);
  EXPECT_EQ(c.xact(1).req_bytes, 0);
  EXPECT_STREQ(c.xact(1).req_host.c_str(), "");
}

TEST(HTTPDriver, InterimResponsesGiveWayToTheFinalOne) {
  Connection c({"POST /up HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc"
                "GET /next HTTP/1.1\r\n\r\nGET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n"},
               {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n" +
                response("201 Created", "Content-Length: 2\r\n", "ok") +
                "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n" +
                response("200 OK", "Content-Length: 0\r\n") +
                response("101 Switching Protocols", "Upgrade: websocket\r\n")});
  ASSERT_EQ(c.parser.respCount, 3);
  EXPECT_EQ(c.status(1), "201");
  EXPECT_STREQ(c.xact(1).res_reason_phrase.c_str(), "Created");
  EXPECT_EQ(c.xact(1).res_bytes, 2);
  EXPECT_EQ(c.status(2), "200");
  EXPECT_EQ(c.status(3), "101");  // final: what follows is another protocol
  EXPECT_EQ(c.parser.problemPairing, 0);
}

TEST(HTTPDriver, ChunkedBodiesAreFramedByTheirChunkSizes) {
  const std::string chunked = "5;ext=1\r\nHTTP/\r\n1A\r\n" + std::string(26, 'z') +
                              "\r\n0\r\nTrailer: x\r\n\r\n";
  // Chunked wins over a Content-Length beside it; a list that ends in chunked is chunked; a
  // Content-Length with leading zeros is a number.
  Connection c({"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n" +
                    chunked +
                    "POST /b HTTP/1.1\r\nContent-Length: 0019\r\n\r\nGET /x HTTP/1.1\r\n\r\n"
                    "GET /c HTTP/1.1\r\n\r\n"},
               {response("200 OK", "Transfer-Encoding: gzip, Chunked\r\n", chunked) +
                response("200 OK", "Content-Length: 0004\r\n", "HTTP") +
                response("200 OK", "transfer-encoding : chunked\r\nContent-Length: 1\r\n",
                         "3\r\nabc\r\n0\r\n\r\n")});
  ASSERT_EQ(c.parser.commRespCount, 3);
  EXPECT_EQ(c.uri(2), "/b");
  EXPECT_EQ(c.xact(2).req_bytes, 19);
  EXPECT_EQ(c.uri(3), "/c");
  EXPECT_EQ(c.xact(1).req_bytes, 31);
  ASSERT_EQ(c.parser.respCount, 3);
  EXPECT_EQ(c.xact(1).res_bytes, 31);
  EXPECT_EQ(c.xact(2).res_bytes, 4);
  EXPECT_EQ(c.xact(3).res_bytes, 3);
  EXPECT_EQ(c.parser.problemPairing, 0);
}

TEST(HTTPDriver, ChunkSizesThatOverflowEndTheDirectionWithTheRequestKept) {
  Connection c({"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                "7fffffff\r\nab\r\n1\r\nGET /hidden HTTP/1.1\r\n\r\n",
                "GET /more HTTP/1.1\r\n\r\n"},
               {response("200 OK", "Transfer-Encoding: chunked\r\n",
                         "ffffffffffffffffff\r\nHTTP/1.1 200 OK\r\n\r\n")});
  ASSERT_EQ(c.parser.commRespCount, 1);
  EXPECT_EQ(c.uri(1), "/a");
  EXPECT_EQ(c.parser.respCount, 1);
  EXPECT_EQ(c.xact(1).res_bytes, 0);
}

TEST(HTTPDriver, CheckForDoneAndScanLine) {
  PieceStream s({"Host: h\r\n\r\nbody"});
  OB_HTTPProtocol parser(1, 4);
  OB_HTTPGrammar p(parser, s.stream());
  s.moveTo(9);  // on the second CR
  EXPECT_EQ(p.ScanLine(), 0);
  s.moveTo(7);
  EXPECT_EQ(p.ScanLine(), 1);
  EXPECT_EQ(s.cursor(), 7);
  s.moveTo(9);
  EXPECT_EQ(p.checkForDone(), 1);
  EXPECT_EQ(s.cursor(), 11);
  s.moveTo(2);
  EXPECT_EQ(p.checkForDone(), 0);
}

// Why a parse stopped before the data ended: one reason a connection (the client's bytes
// first), counted where the statistics print shows it.
using Stop = OB_HTTPProtocol::ParseStop;

uint32_t stopsCounted(Stop stop) {
  const OB_TCPSessionStats& s = *getTCPSessionStats();
  const OB_TCPSessionStats::Counter* counters[] = {nullptr, &s.httpStopMessageLine,
                                                   &s.httpStopChunk, &s.httpStopCutShort,
                                                   &s.httpStopFull};
  return OB_TCPSessionStats::value(*counters[static_cast<int>(stop)]);
}

// The connection's stop reason, checked to be counted once.
Stop stopOf(const std::vector<std::string>& client, const std::vector<std::string>& server,
            int queues = 1, int perQueue = 16) {
  const uint32_t before[] = {0, stopsCounted(Stop::MessageLine), stopsCounted(Stop::Chunk),
                             stopsCounted(Stop::CutShort), stopsCounted(Stop::Full)};
  Connection c(client, server, true, queues, perQueue);
  const Stop stop = c.parser.getParseStop();
  for (Stop counted : {Stop::MessageLine, Stop::Chunk, Stop::CutShort, Stop::Full}) {
    EXPECT_EQ(stopsCounted(counted) - before[static_cast<int>(counted)], counted == stop ? 1u : 0u)
        << OB_HTTPProtocol::parseStopText(counted);
  }
  return stop;
}

TEST(HTTPParseStop, WholeConversationsStopForNoReason) {
  // A body that ends with the data, a last body without a length, trailing line ends.
  EXPECT_EQ(stopOf({"POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"},
                   {response("200 OK", "", "<p>no length\r\nat all")}),
            Stop::None);
  EXPECT_EQ(stopOf({"GET / HTTP/1.1\r\n\r\n\r\n"}, {response("204 No Content", "") + "\r\n"}),
            Stop::None);
  // Another protocol's bytes after a switch or in a tunnel.
  EXPECT_EQ(stopOf({"GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n\x81\x85\x37\xfa"},
                   {response("101 Switching Protocols", "Upgrade: websocket\r\n") +
                    "\x81\x05hello\n\x01"}),
            Stop::None);
  EXPECT_EQ(stopOf({std::string("CONNECT h:443 HTTP/1.1\r\n\r\n\x16\x03\x01\x00\x05", 32)},
                   {response("200 Connection established", "") + "\x16\x03\x03\n"}),
            Stop::None);
}

TEST(HTTPParseStop, BytesThatAreNoMessageLineWhereOneIsDue) {
  EXPECT_EQ(stopOf({"GET /a HTTP/1.1\r\n\r\nHELLO THERE\r\nGET /b HTTP/1.1\r\n\r\n"}, {}),
            Stop::MessageLine);
  EXPECT_EQ(stopOf({"GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n"},
                   {response("200 OK", "Content-Length: 2\r\n", "ok") + "XTTP/1.1 200 OK\r\n\r\n"}),
            Stop::MessageLine);
  EXPECT_EQ(stopOf({std::string("\x16\x03\x01\x02\x00\x01\x00", 7)}, {}), Stop::MessageLine);
}

TEST(HTTPParseStop, AMalformedChunkSize) {
  EXPECT_EQ(stopOf({"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "zz\r\nab\r\n0\r\n\r\n"},
                   {}),
            Stop::Chunk);
}

TEST(HTTPParseStop, DataEndingInsideAMessage) {
  // A request body, a response head and a request line, each cut by the end of the data.
  EXPECT_EQ(stopOf({"POST /form HTTP/1.1\r\nContent-Length: 500\r\n\r\nx=1"}, {}),
            Stop::CutShort);
  EXPECT_EQ(stopOf({"GET / HTTP/1.1\r\n\r\n"}, {"HTTP/1.1 200 OK\r\nServer: x"}),
            Stop::CutShort);
  EXPECT_EQ(stopOf({"GET /a HTTP/1.1\r\n\r\nGET /second-pa"}, {}), Stop::CutShort);
}

TEST(HTTPParseStop, NoTransactionLeftForARequest) {
  const std::string get = "GET /p HTTP/1.0\r\n\r\n";
  EXPECT_EQ(stopOf({get + get + get}, {}, 1, 2), Stop::Full);
}

TEST(HTTPDriver, AChunkedBodyWhoseTrailerTheDataCutsIsReadOnce) {
  // The last chunk's trailer has no line end: the search for one must not send the cursor back
  // to the start of the data, which would record the request again and again.
  const std::string client =
      "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nHTTP/\r\n0\r\nX-Trailer";
  Connection whole({client}, {});
  EXPECT_EQ(whole.parser.commRespCount, 1);
  EXPECT_EQ(whole.xact(1).req_bytes, 5);
  Connection cut(PieceStream::split(client, {30, 60}), {});
  EXPECT_EQ(cut.parser.commRespCount, 1);
}

TEST(HTTPDriver, AnythingButATCPSessionIsLeftAlone) {
  OB_HTTPProtocol p(1, 4);
  OB_BufferStream notASession;
  EXPECT_EQ(p.processObject(&notASession), 0);
  EXPECT_EQ(p.getXactCount(), 0u);
}

}  // namespace
