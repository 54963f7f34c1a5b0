// The HTTP analyser's object: the value hand-over with its field widths, the pairing of responses
// with requests, the transaction pool's limit, content-type completion and the common-log lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "FileText.h"
#include "HTTPTestSupport.h"
#include "OB_Log.h"
#include "http/OB_HTTPGrammar.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_TCPSession.h"

using httptest::PieceStream;
using AT = OB_HTTPProtocol::AnalysisType;

namespace {

// Drives one parser through request and status lines and single values, each from a stream of
// its own (kept alive as long as the driver).
class Conversation {
 public:
  explicit Conversation(int queues = 1, int perQueue = 8) : parser(queues, perQueue) {}

  int request(const std::string& line) {
    keep(line);
    return OB_HTTPGrammar(parser, parser.getStream()).Request_Line();
  }
  int response(const std::string& line) {
    keep(line);
    return OB_HTTPGrammar(parser, parser.getStream()).Status_Line();
  }
  // Hands text over as a value of the given type; the stream holds one byte more, so the end
  // is a byte of it.
  void value(AT type, const std::string& text, size_t pieces = 1) {
    std::string bytes = text + "\n";
    std::vector<size_t> cuts;
    for (size_t i = 1; i < pieces; ++i) cuts.push_back(bytes.size() * i / pieces);
    streams_.push_back(std::make_unique<PieceStream>(PieceStream::split(bytes, cuts)));
    PieceStream& s = *streams_.back();
    parser.setStream(s.stream());
    parser.dataOutput(type, s.at(0), s.at(text.size()));
  }

  OB_HTTPXact& xact(int n) {
    OB_HTTPXact* found = parser.xactAt(n);
    EXPECT_NE(nullptr, found) << "transaction " << n;
    static OB_HTTPXact none;
    return found != nullptr ? *found : none;
  }

  OB_HTTPProtocol parser;

 private:
  void keep(const std::string& text) {
    streams_.push_back(std::make_unique<PieceStream>(std::vector<std::string>{text}));
    parser.setStream(streams_.back()->stream());
  }
  std::vector<std::unique_ptr<PieceStream>> streams_;
};

// The process log in an install directory of its own, at debug level 1.
class LogFile {
 public:
  LogFile() {
    char pattern[] = "/tmp/ob_http_logXXXXXX";
    dir_ = mkdtemp(pattern);
    mkdir((dir_ + "/logs").c_str(), 0755);
    setenv("OB_INSTALLDIR", dir_.c_str(), 1);
    OB_Log::init("http", 1, nullptr);
  }
  ~LogFile() {
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
    unlink((dir_ + "/logs/http.log").c_str());
    rmdir((dir_ + "/logs").c_str());
    rmdir(dir_.c_str());
  }
  int count(const std::string& needle) {
    const std::string all = corrana_test::readFile(dir_ + "/logs/http.log");
    int n = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  std::string dir_;
};

// A MIME table of the tests' own.
class Table : public OB_HTTPMIMETable {
 public:
  struct Type {
    std::string name;
    std::vector<std::string> extensions;
  };
  explicit Table(std::vector<Type> types) : types_(std::move(types)) {}
  int getMIMETypeCount() const override { return static_cast<int>(types_.size()); }
  const char* getMIMEType(int t) const override { return types_[t].name.c_str(); }
  int getExtensionCount(int t) const override {
    return static_cast<int>(types_[t].extensions.size());
  }
  const char* getExtension(int t, int e) const override {
    return types_[t].extensions[e].c_str();
  }

 private:
  std::vector<Type> types_;
};

class InstalledTable {
 public:
  explicit InstalledTable(const OB_HTTPMIMETable* table) { HTTPMIMEInfo_setTable(table); }
  ~InstalledTable() { HTTPMIMEInfo_setTable(nullptr); }
};

std::string guess(OB_HTTPProtocol& parser, const char* uri) {
  char out[256];
  parser.guessContentType(uri, out, sizeof(out));
  return out;
}

}  // namespace

TEST(HTTPProtocolObject, AnswersItsOwnFacesAndThoseOfItsBases) {
  OB_HTTPProtocol* parser = OB_HTTPProtocol::create();
  ASSERT_NE(nullptr, parser);
  EXPECT_STREQ("OB_HTTPProtocol", parser->getClassName());
  EXPECT_NE(nullptr, obQuery<OB_Protocol>(parser));
  EXPECT_NE(nullptr, obQuery<OB_Data>(parser));
  EXPECT_NE(nullptr, obQuery<OB_Object>(parser));
  EXPECT_EQ(parser, obQuery<OB_HTTPProtocol>(obQuery<OB_Data>(parser)));
  parser->release();
}

TEST(HTTPValueHandOver, ElevenValuesLandInTheirFieldsCutToWidthLessOne) {
  Conversation c;
  c.value(AT::AT_Method, "GET");
  c.value(AT::AT_RequestURI, std::string(2000, 'u'));
  c.value(AT::AT_RequestVersion, "1.0.1234");
  c.value(AT::AT_Host, std::string(1100, 'h'));
  c.value(AT::AT_Referer, "http://r/");
  c.value(AT::AT_UserAgent, std::string(300, 'a'));
  c.value(AT::AT_ContentType, "text/plain");
  c.value(AT::AT_ContentLength, "1234");
  c.value(AT::AT_ResponseVersion, "1.1");
  c.value(AT::AT_StatusCode, "20000");
  c.value(AT::AT_ReasonPhrase, std::string(600, 'r'));
  c.value(AT::AT_ContentType, "image/gif");
  c.value(AT::AT_ContentLength, "99");
  // Recognised values that are not kept.
  c.value(AT::AT_Date, "Sun, 06 Nov 1994 08:49:37 GMT");
  c.value(AT::AT_Server, "x/1");
  c.value(AT::AT_EntityBody, "body");

  ASSERT_EQ(1u, c.parser.getXactCount());
  OB_HTTPXact& x = c.xact(1);
  EXPECT_STREQ("GET", x.req_method.c_str());
  EXPECT_EQ(std::string(1023, 'u'), x.req_request_uri.c_str());
  EXPECT_STREQ("1.0.", x.req_http_vers.c_str());
  EXPECT_EQ(std::string(1023, 'h'), x.req_host.c_str());
  EXPECT_STREQ("http://r/", x.req_referer.c_str());
  EXPECT_EQ(std::string(255, 'a'), x.req_user_agent.c_str());
  EXPECT_STREQ("text/plain", x.req_content_type.c_str());
  EXPECT_EQ(1234, x.req_bytes);
  EXPECT_STREQ("1.1", x.res_http_vers.c_str());
  EXPECT_STREQ("2000", x.res_status_code.c_str());
  EXPECT_EQ(std::string(511, 'r'), x.res_reason_phrase.c_str());
  EXPECT_STREQ("image/gif", x.res_content_type.c_str());
  EXPECT_EQ(99, x.res_bytes);
  EXPECT_EQ(1, c.parser.commRespCount);
  EXPECT_EQ(1, c.parser.respCount);
  EXPECT_EQ(0, c.parser.problemPairing);
}

TEST(HTTPValueHandOver, LongValuesAreCountedPastSixteenBitsAndAcrossBuffers) {
  Conversation c;
  c.value(AT::AT_Method, "GET");
  // 65543 bytes: a 16-bit count would wrap to 7 and store seven bytes.
  std::string uri = std::string(65536, 'a') + "bcdefgh";
  c.value(AT::AT_RequestURI, uri, 5);
  EXPECT_EQ(std::string(1023, 'a'), c.xact(1).req_request_uri.c_str());
  c.value(AT::AT_Host, "host.example:8080", 17);
  EXPECT_STREQ("host.example:8080", c.xact(1).req_host.c_str());
}

TEST(HTTPValueHandOver, PutsTheCursorBackWhereItWas) {
  Conversation c;
  c.value(AT::AT_Method, "GET");
  PieceStream s(PieceStream::split("/index.html HTTP", {3, 7}));
  c.parser.setStream(s.stream());
  s.moveTo(12);
  c.parser.dataOutput(AT::AT_RequestURI, s.at(0), s.at(11));
  EXPECT_EQ(12, s.cursor());
  EXPECT_STREQ("/index.html", c.xact(1).req_request_uri.c_str());
  // An empty stretch empties the field.
  c.parser.dataOutput(AT::AT_RequestURI, s.at(4), s.at(4));
  EXPECT_STREQ("", c.xact(1).req_request_uri.c_str());
}

TEST(HTTPValueHandOver, ContentLengthSaturatesAndIsNeverNegative) {
  LogFile log;
  Conversation c;
  c.value(AT::AT_Method, "POST");
  auto bytes = [&](const std::string& text) {
    c.value(AT::AT_ContentLength, text);
    return c.xact(1).req_bytes;
  };
  EXPECT_EQ(1234, bytes("1234"));
  EXPECT_EQ(12, bytes("12abc"));
  EXPECT_EQ(42, bytes("  42"));
  EXPECT_EQ(7, bytes("+7"));
  EXPECT_EQ(0, bytes("-5"));
  EXPECT_EQ(INT_MAX, bytes("2147483648"));
  EXPECT_EQ(INT_MAX, bytes(std::string(29, '9')));
  EXPECT_EQ(0, log.count("Whacked"));
  EXPECT_EQ(0, bytes(std::string(30, '1')));
  EXPECT_EQ(1, log.count("fillBytes: Whacked content-length in HTTP header: 30"));
}

TEST(HTTPPairing, EachResponseFillsItsOwnRequest) {
  Conversation c;
  ASSERT_EQ(1, c.request("GET /a HTTP/1.1\r\n"));
  ASSERT_EQ(1, c.request("GET /b HTTP/1.1\r\n"));
  EXPECT_EQ(c.parser.xactAt(1), c.parser.getResponseTarget());
  ASSERT_EQ(1, c.response("HTTP/1.1 200 OK\r\n"));
  c.value(AT::AT_ContentType, "text/html");
  ASSERT_EQ(1, c.response("HTTP/1.1 404 Not Found\r\n"));
  c.value(AT::AT_ContentLength, "12");
  EXPECT_STREQ("200", c.xact(1).res_status_code.c_str());
  EXPECT_STREQ("text/html", c.xact(1).res_content_type.c_str());
  EXPECT_STREQ("404", c.xact(2).res_status_code.c_str());
  EXPECT_STREQ("Not Found", c.xact(2).res_reason_phrase.c_str());
  EXPECT_EQ(12, c.xact(2).res_bytes);
  EXPECT_EQ(0, c.xact(1).res_bytes);
  EXPECT_EQ(0, c.parser.problemPairing);
  EXPECT_EQ(c.parser.xactAt(2), c.parser.getCurrentLink(2));
  EXPECT_EQ(c.parser.xactAt(1), c.parser.getCurrentLink(0));
  EXPECT_EQ(nullptr, c.parser.getCurrentLink(3));
}

TEST(HTTPPairing, AnExtraResponseIsDroppedAndLeavesThePairedOneAlone) {
  LogFile log;
  Conversation c;
  ASSERT_EQ(1, c.request("GET /a HTTP/1.0\r\n"));
  ASSERT_EQ(1, c.response("HTTP/1.0 200 OK\r\n"));
  c.value(AT::AT_ContentType, "text/html");
  c.value(AT::AT_ContentLength, "5");
  EXPECT_EQ(1, c.response("HTTP/1.1 500 Boom\r\n"));
  c.value(AT::AT_ContentType, "text/plain");
  c.value(AT::AT_ContentLength, "9");
  OB_HTTPXact& x = c.xact(1);
  EXPECT_STREQ("1.0", x.res_http_vers.c_str());
  EXPECT_STREQ("200", x.res_status_code.c_str());
  EXPECT_STREQ("OK", x.res_reason_phrase.c_str());
  EXPECT_STREQ("text/html", x.res_content_type.c_str());
  EXPECT_EQ(5, x.res_bytes);
  EXPECT_EQ(1, c.parser.problemPairing);
  EXPECT_EQ(1, c.parser.respCount);
  EXPECT_EQ(1, log.count("HTTP: More responses than commands."));
}

TEST(HTTPPairing, AResponseBeforeAnyRequestStoresNothing) {
  LogFile log;
  Conversation c;
  EXPECT_EQ(1, c.response("HTTP/1.0 200 OK\r\n"));
  c.value(AT::AT_ContentType, "text/html");
  EXPECT_EQ(0u, c.parser.getXactCount());
  EXPECT_EQ(1, c.parser.problemPairing);
  EXPECT_EQ(1, log.count("HTTP: NO COMMANDS FOR THIS RESPONSE"));
  EXPECT_GE(log.count("HTTP: Problem pairing. Ignoring field."), 1);
}

TEST(HTTPPairing, UnansweredRequestsGetTheTypeNone) {
  Conversation c;
  ASSERT_EQ(1, c.request("GET /a/ HTTP/1.0\r\n"));
  ASSERT_EQ(1, c.request("GET /b.gif HTTP/1.0\r\n"));
  ASSERT_EQ(1, c.response("HTTP/1.0 200 OK\r\n"));
  c.parser.HTTPMIMEInfo_fill();
  EXPECT_STREQ("text/html", c.xact(1).res_content_type.c_str());
  EXPECT_STREQ("none", c.xact(2).res_content_type.c_str());
  EXPECT_STREQ("", c.xact(2).req_content_type.c_str());
  EXPECT_EQ(2, c.parser.commRespCount);
  EXPECT_EQ(1, c.parser.respCount);
}

TEST(HTTPPairing, AnExhaustedPoolStopsRecordingWithoutBlockingOrOverwriting) {
  LogFile log;
  Conversation c(1, 2);
  ASSERT_EQ(1, c.request("GET /a HTTP/1.0\r\n"));
  ASSERT_EQ(1, c.request("GET /b HTTP/1.0\r\n"));
  EXPECT_EQ(1, c.request("GET /c HTTP/1.0\r\n"));
  c.value(AT::AT_Host, "c.example");
  EXPECT_EQ(1, c.request("GET /d HTTP/1.0\r\n"));
  EXPECT_EQ(2u, c.parser.getXactCount());
  EXPECT_EQ(2, c.parser.commRespCount);
  EXPECT_STREQ("/b", c.xact(2).req_request_uri.c_str());
  EXPECT_STREQ("", c.xact(2).req_host.c_str());
  EXPECT_EQ(1, c.parser.problemPairing);
  EXPECT_EQ(1, log.count("the rest of the connection is not recorded"));
  // The responses of the unrecorded requests pair with nothing.
  c.response("HTTP/1.0 200 A\r\n");
  c.response("HTTP/1.0 200 B\r\n");
  c.response("HTTP/1.0 500 C\r\n");
  EXPECT_STREQ("B", c.xact(2).res_reason_phrase.c_str());
  EXPECT_EQ(2, c.parser.respCount);

  // A reset gives the transactions back.
  c.parser.reset();
  ASSERT_EQ(1, c.request("GET /e HTTP/1.0\r\n"));
  EXPECT_STREQ("/e", c.xact(1).req_request_uri.c_str());
  EXPECT_EQ(0, c.parser.problemPairing);
}

TEST(HTTPPairing, ResetClearsStateAndTheResponseTarget) {
  Conversation c;
  ASSERT_EQ(1, c.request("GET /a HTTP/1.0\r\n"));
  ASSERT_EQ(1, c.response("HTTP/1.0 200 OK\r\n"));
  EXPECT_EQ(2, c.parser.getState());
  c.parser.reset();
  EXPECT_EQ(0, c.parser.getState());
  EXPECT_EQ(nullptr, c.parser.getResponseTarget());
  EXPECT_EQ(0u, c.parser.getXactCount());
  EXPECT_EQ(nullptr, c.parser.getCurrentLink(1));
  // A response with nothing to pair with stores nowhere, not into a transaction of the last
  // session.
  c.response("HTTP/1.0 301 Moved\r\n");
  EXPECT_EQ(0u, c.parser.getXactCount());
  ASSERT_EQ(1, c.request("GET /b HTTP/1.0\r\n"));
  EXPECT_EQ(c.parser.xactAt(1), c.parser.getResponseTarget());
}

TEST(HTTPArchive, ARecordNeedingMoreTransactionsThanThePoolFailsToRead) {
  Conversation c;
  c.parser.clientIP = 0x0A000001;
  for (const char* uri : {"/1", "/2", "/3"}) {
    ASSERT_EQ(1, c.request(std::string("GET ") + uri + " HTTP/1.0\r\n"));
  }
  FILE* file = tmpfile();
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(0, c.parser.write(file));

  rewind(file);
  OB_HTTPProtocol small(1, 2);
  EXPECT_EQ(-1, small.read(file));

  rewind(file);
  OB_HTTPProtocol big(1, 4);
  ASSERT_EQ(0, big.read(file));
  EXPECT_EQ(3u, big.getXactCount());
  ASSERT_NE(nullptr, big.xactAt(3));
  EXPECT_STREQ("/3", big.xactAt(3)->req_request_uri.c_str());
  EXPECT_EQ(big.xactAt(2), big.getCurrentLink(2));
  fclose(file);
}

TEST(HTTPCommonLog, OneLinePerTransactionWithClientAndURI) {
  Conversation c;
  c.parser.clientIP = 0xC0A80102;
  ASSERT_EQ(1, c.request("GET /a HTTP/1.0\r\n"));
  ASSERT_EQ(1, c.request("HEAD /b?x=1 HTTP/1.0\r\n"));
  FILE* file = tmpfile();
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(0, c.parser.print(file));
  rewind(file);
  char text[128] = {};
  size_t n = fread(text, 1, sizeof(text) - 1, file);
  fclose(file);
  EXPECT_EQ("192.168.1.2 /a\n192.168.1.2 /b?x=1\n", std::string(text, n));
}

TEST(HTTPContentType, GuessedFromThePathByTheConfiguredTable) {
  Table table({{"image/gif", {"gif"}},
               {"text/html", {"htm", "html"}},
               {"image/other", {"gif", "png"}}});
  InstalledTable installed(&table);
  OB_HTTPProtocol parser(1, 2);
  EXPECT_EQ("text/html", guess(parser, "/dir/"));
  EXPECT_EQ("text/html", guess(parser, "/dir/?a.gif"));
  EXPECT_EQ("image/gif", guess(parser, "/a/B.GIF?x=1.png"));
  EXPECT_EQ("image/gif", guess(parser, "/a/b.gif;type=x"));
  EXPECT_EQ("image/gif", guess(parser, "?;/a.gif"));
  EXPECT_EQ("image/other", guess(parser, "/a.png"));
  EXPECT_EQ("text/html", guess(parser, "/index.HTML"));
  EXPECT_EQ("application/octet-stream", guess(parser, "/a/b"));
  EXPECT_EQ("application/octet-stream", guess(parser, "/a.b/c"));
  EXPECT_EQ("application/octet-stream", guess(parser, "/a.unknown"));
  EXPECT_EQ("application/octet-stream", guess(parser, ""));
  EXPECT_EQ("application/octet-stream", guess(parser, "?;"));
}

TEST(HTTPContentType, WithoutATableEverythingWithAnExtensionIsOctets) {
  OB_HTTPProtocol parser(1, 2);
  EXPECT_EQ("application/octet-stream", guess(parser, "/a.gif"));
  EXPECT_EQ("text/html", guess(parser, "/"));
}

TEST(HTTPContentType, ALongTypeNameIsCutToTheField) {
  Table table(std::vector<Table::Type>{{std::string(300, 't'), {"x"}}});
  InstalledTable installed(&table);
  OB_HTTPProtocol parser(1, 2);
  char out[256 + 8];
  std::memset(out, '#', sizeof(out));
  parser.guessContentType("/a.x", out, 256);
  EXPECT_EQ(std::string(255, 't'), out);
  EXPECT_EQ('#', out[256]);
}

TEST(HTTPContentType, CompletionNormalisesGivenTypesAndGuessesMissingOnes) {
  Table table(std::vector<Table::Type>{{"image/gif", {"gif"}}});
  InstalledTable installed(&table);
  Conversation c;
  ASSERT_EQ(1, c.request("POST /up.gif HTTP/1.0\r\n"));
  c.value(AT::AT_ContentLength, "10");
  ASSERT_EQ(1, c.request("POST /form HTTP/1.0\r\n"));
  c.value(AT::AT_ContentType, "Application/X-WWW-Form; charset=UTF-8");
  ASSERT_EQ(1, c.request("GET /pic.GIF HTTP/1.0\r\n"));
  ASSERT_EQ(1, c.response("HTTP/1.0 200 OK\r\n"));
  c.value(AT::AT_ContentType, "Text/HTML; charset=ISO-8859-1");
  ASSERT_EQ(1, c.response("HTTP/1.0 200 OK\r\n"));
  ASSERT_EQ(1, c.response("HTTP/1.0 200 OK\r\n"));
  c.parser.HTTPMIMEInfo_fill();
  EXPECT_STREQ("image/gif", c.xact(1).req_content_type.c_str());
  EXPECT_STREQ("text/html", c.xact(1).res_content_type.c_str());
  EXPECT_STREQ("application/x-www-form", c.xact(2).req_content_type.c_str());
  EXPECT_STREQ("application/octet-stream", c.xact(2).res_content_type.c_str());
  EXPECT_STREQ("", c.xact(3).req_content_type.c_str());
  EXPECT_STREQ("image/gif", c.xact(3).res_content_type.c_str());
}

TEST(HTTPParseStop, AStoppedParseLeavesOneDebugLineNamingConnectionSideAndReason) {
  LogFile log;
  OB_TCPSession session;
  session.client.add(new httptest::OwnedBuffer("GET / HTTP/1.1\r\n\r\n"));
  session.server.add(new httptest::OwnedBuffer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                                               "\r\nzz\r\n"));
  OB_HTTPProtocol parser(1, 4);
  parser.processObject(&session);
  EXPECT_EQ(parser.getParseStop(), OB_HTTPProtocol::ParseStop::Chunk);
  EXPECT_EQ(1, log.count("HTTP: 0.0.0.0 > 0.0.0.0:0: parse stopped in the server's bytes: "
                         "malformed chunk\n"));
  parser.reset();
  EXPECT_EQ(parser.getParseStop(), OB_HTTPProtocol::ParseStop::None);
}
