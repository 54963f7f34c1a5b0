// The grammar rules of the HTTP analyser: what each accepts and where it leaves the cursor, the
// same whatever packet boundaries the bytes arrive in.
#include <gtest/gtest.h>

#include <string>

#include "HTTPTestSupport.h"
#include "http/OB_HTTPGrammar.h"

using httptest::Outcome;
using httptest::PieceStream;
using httptest::runEverySplit;
using httptest::runRule;

#define RULE(name) [](OB_HTTPGrammar& p) { return static_cast<int>(p.name()); }
#define VOID_RULE(name) \
  [](OB_HTTPGrammar& p) { \
    p.name();            \
    return 1;            \
  }

namespace {

// The request values a Request_Line stored, when it accepted.
struct RequestSeen {
  Outcome outcome;
  std::string method, uri, version;
  bool operator==(const RequestSeen& o) const {
    return outcome == o.outcome && method == o.method && uri == o.uri && version == o.version;
  }
};

RequestSeen parseRequestLine(const std::vector<std::string>& pieces) {
  PieceStream stream(pieces);
  OB_HTTPProtocol parser(1, 4);
  OB_HTTPGrammar grammar(parser, stream.stream());
  RequestSeen seen;
  seen.outcome.result = grammar.Request_Line();
  seen.outcome.cursor = stream.cursor();
  if (OB_HTTPXact* xact = parser.xactAt(1); xact != nullptr) {
    seen.method = xact->req_method.c_str();
    seen.uri = xact->req_request_uri.c_str();
    seen.version = xact->req_http_vers.c_str();
  }
  return seen;
}

RequestSeen requestLineEverySplit(const std::string& text) {
  RequestSeen whole = parseRequestLine({text});
  for (size_t cut = 1; cut < text.size(); ++cut) {
    EXPECT_TRUE(whole == parseRequestLine(PieceStream::split(text, {cut})))
        << "\"" << text << "\" cut at " << cut;
  }
  return whole;
}

struct ResponseSeen {
  Outcome outcome;
  std::string version, status, reason;
  int respCount;
  bool operator==(const ResponseSeen& o) const {
    return outcome == o.outcome && version == o.version && status == o.status &&
           reason == o.reason && respCount == o.respCount;
  }
};

// A Status_Line read after one request was recorded, so that the response pairs.
ResponseSeen parseStatusLine(const std::vector<std::string>& pieces) {
  PieceStream request({"GET / HTTP/1.0\r\n"});
  OB_HTTPProtocol parser(1, 4);
  OB_HTTPGrammar grammar(parser, request.stream());
  EXPECT_EQ(1, grammar.Request_Line());
  PieceStream response(pieces);
  grammar.setStream(response.stream());
  ResponseSeen seen;
  seen.outcome.result = grammar.Status_Line();
  seen.outcome.cursor = response.cursor();
  OB_HTTPXact* xact = parser.xactAt(1);
  seen.version = xact->res_http_vers.c_str();
  seen.status = xact->res_status_code.c_str();
  seen.reason = xact->res_reason_phrase.c_str();
  seen.respCount = parser.respCount;
  return seen;
}

ResponseSeen statusLineEverySplit(const std::string& text) {
  ResponseSeen whole = parseStatusLine({text});
  for (size_t cut = 1; cut < text.size(); ++cut) {
    EXPECT_TRUE(whole == parseStatusLine(PieceStream::split(text, {cut})))
        << "\"" << text << "\" cut at " << cut;
  }
  return whole;
}

int keywordAt(const std::string& text) {
  return runEverySplit(text, RULE(GetNextKWT)).result;
}

}  // namespace

TEST(HTTPKeywords, MatchOnLeadingLettersWithoutMovingTheCursor) {
  EXPECT_EQ((Outcome{OB_HTTPGrammar::KW_CONTENT_LENGTH, 0}),
            runEverySplit("content-length: 5\r\n", RULE(GetNextKWT)));
  EXPECT_EQ(OB_HTTPGrammar::KW_HOST, keywordAt("HOSTS: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_GET, keywordAt("GETX /"));
  EXPECT_EQ(OB_HTTPGrammar::KW_HTTP, keywordAt("http/1.0"));
  EXPECT_EQ(OB_HTTPGrammar::KW_UA, keywordAt("UA-CPU: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_8BIT, keywordAt("8bit\r\n"));
}

TEST(HTTPKeywords, LongerKeywordWinsWhereKeywordsShareABeginning) {
  EXPECT_EQ(OB_HTTPGrammar::KW_ACCEPT_CHARSET, keywordAt("Accept-Charset: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_ACCEPT_LANGUAGE, keywordAt("Accept-Language: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_ACCEPT, keywordAt("Accept-Ranges: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_ACCEPT, keywordAt("Accept: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_FORWARDED, keywordAt("Forwarded: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_FOR, keywordAt("for x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_FOR, keywordAt("Format"));
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt("Forward: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_CONTENT_TRANSFER_ENCODING,
            keywordAt("Content-Transfer-Encoding: x"));
}

TEST(HTTPKeywords, NoKeywordAndLineEnds) {
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt("X-Powered-By: x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt("Cookie: a=b"));
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt("8BIX"));
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt("HO"));
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt(": x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt("/x"));
  EXPECT_EQ(OB_HTTPGrammar::KW_NONE, keywordAt("\tDATE"));
  EXPECT_EQ(OB_HTTPGrammar::KW_LINE_END, keywordAt("\r\nHost"));
  EXPECT_EQ(OB_HTTPGrammar::KW_LINE_END, keywordAt("\nHost"));
}

TEST(HTTPKeywords, AnswerFollowsTheCursorAndTheStream) {
  PieceStream first({"Host: a\r\nDate: b\r\n"});
  OB_HTTPProtocol parser(1, 4);
  OB_HTTPGrammar grammar(parser, first.stream());
  EXPECT_EQ(OB_HTTPGrammar::KW_HOST, grammar.GetNextKWT());
  EXPECT_EQ(OB_HTTPGrammar::KW_HOST, grammar.GetNextKWT());
  first.moveTo(9);
  EXPECT_EQ(OB_HTTPGrammar::KW_DATE, grammar.GetNextKWT());
  PieceStream second({"Referer: x"});
  grammar.setStream(second.stream());
  EXPECT_EQ(OB_HTTPGrammar::KW_REFERER, grammar.GetNextKWT());
}

TEST(HTTPKeywords, RulesMoveOverTheWholeKeywordTheyMatched) {
  // Each keyword rule ends on the byte after its word, whatever word of its case it met.
  const struct {
    std::string text;
    httptest::Rule rule;
  } cases[] = {
      {"GET /", RULE(Method)},          {"head /", RULE(Method)},
      {"UNLINK /", RULE(Method)},       {"delete /", RULE(Method)},
      {"gzip,", RULE(encoding_mechanism)}, {"compress,", RULE(encoding_mechanism)},
      {"7bit;", RULE(transfer_encoding)},  {"Quoted-Printable;", RULE(transfer_encoding)},
      {"type\"", RULE(vary_dimension)},    {"User-Agent\"", RULE(vary_dimension)},
      {"no-cache,", RULE(pragma_directive)},
  };
  for (const auto& c : cases) {
    const auto wordEnd = static_cast<long>(c.text.find_first_of(" ,;\""));
    EXPECT_EQ(runEverySplit(c.text, c.rule), (Outcome{1, wordEnd})) << c.text;
  }
}

TEST(HTTPScanners, CharacterClassesKeepTheirQuirks) {
  OB_HTTPProtocol parser(1, 4);
  OB_HTTPGrammar p(parser, nullptr);
  EXPECT_FALSE(p.reservedchar('+'));
  EXPECT_TRUE(p.safechar('+'));
  EXPECT_TRUE(p.nationalchar('#'));
  EXPECT_TRUE(p.nationalchar('%'));
  EXPECT_FALSE(p.nationalchar('a'));
  EXPECT_TRUE(p.unreservedchar(0xE9));
  EXPECT_TRUE(p.unreservedchar('"'));
  EXPECT_FALSE(p.unreservedchar(' '));
  EXPECT_FALSE(p.unreservedchar('?'));
  EXPECT_FALSE(p.tspecials('{'));
  EXPECT_TRUE(p.tspecials('\t'));
  EXPECT_TRUE(p.tspecials('"'));
  EXPECT_FALSE(p.noCTLchar(0x80));
  EXPECT_TRUE(p.noCTLchar('\r'));
  EXPECT_TRUE(p.CTLchar(127));
  EXPECT_TRUE(p.pchar('@'));
  EXPECT_FALSE(p.pchar('/'));
}

TEST(HTTPScanners, EscapeNeedsTwoHexDigitsThatExist) {
  auto escape = [](OB_HTTPGrammar& p) { return p.escapechar(p.getStream()->getNext()); };
  EXPECT_EQ((Outcome{1, 2}), runEverySplit("%4a", escape));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("%4", escape));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("%g1x", escape));
}

TEST(HTTPScanners, TextScannersStopOnTheFirstByteTheyDoNotTake) {
  EXPECT_EQ((Outcome{1, 6}), runEverySplit(" \t\r\n  x", VOID_RULE(LWS)));
  EXPECT_EQ((Outcome{1, 2}), runEverySplit("   ", VOID_RULE(LWS)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("abc(d", RULE(token)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("(abc", RULE(token)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("\x80zz", RULE(token)));
  EXPECT_EQ((Outcome{1, 5}), runEverySplit("a\\b\xff\t)", VOID_RULE(ctext)));
  EXPECT_EQ((Outcome{1, 2}), runEverySplit("ab\x01)", VOID_RULE(ctext)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("a b\"", VOID_RULE(qdtext)));
  EXPECT_EQ((Outcome{1, 1}), runEverySplit("a\x80\"", VOID_RULE(qdtext)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("a@b>", VOID_RULE(qatext)));
  EXPECT_EQ((Outcome{1, 5}), runEverySplit("ab\r\nc\x01", VOID_RULE(star_text)));
}

TEST(HTTPLexical, CommentsNestAndMayRunToTheEnd) {
  EXPECT_EQ((Outcome{1, 9}), runEverySplit("(a (b) c) x", RULE(comment)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("(abc", RULE(comment)));
  EXPECT_EQ((Outcome{1, 4}), runEverySplit("((ab)", RULE(comment)));
  EXPECT_EQ((Outcome{1, 0}), runEverySplit("(", RULE(comment)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("(ab\x01c)", RULE(comment)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("abc", RULE(comment)));
}

TEST(HTTPLexical, CommentNestingIsBoundedAndADeeperOneIsRestored) {
  const int depth = OB_HTTPGrammar::kMaxCommentDepth;
  std::string deepest = std::string(depth, '(') + std::string(depth, ')') + "x";
  EXPECT_EQ((Outcome{1, 2 * depth}), runRule({deepest}, RULE(comment)));
  std::string tooDeep = std::string(depth + 1, '(') + std::string(depth + 1, ')') + "x";
  EXPECT_EQ((Outcome{0, 0}), runRule({tooDeep}, RULE(comment)));
  std::vector<std::string> bytes;
  for (char c : tooDeep) bytes.emplace_back(1, c);
  EXPECT_EQ((Outcome{0, 0}), runRule(bytes, RULE(comment)));
}

TEST(HTTPLexical, QuotedStringsAndWords) {
  EXPECT_EQ((Outcome{1, 5}), runEverySplit("\"a b\"x", RULE(quoted_string)));
  EXPECT_EQ((Outcome{1, 1}), runEverySplit("\"\"", RULE(quoted_string)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("\"abc", RULE(quoted_string)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("\"a\x01\"", RULE(quoted_string)));
  EXPECT_EQ((Outcome{1, 5}), runEverySplit("<a@b>x", RULE(addr_string)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("<a@b", RULE(addr_string)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("abc def", RULE(word)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("\"q\" x", RULE(word)));
}

TEST(HTTPURI, PathsWithParametersQueriesAndEscapes) {
  EXPECT_EQ((Outcome{1, 14}), runEverySplit("/a/b;p=1;q?x=1 rest", RULE(abs_path)));
  EXPECT_EQ((Outcome{1, 11}), runEverySplit("/a%20b%zz/c d", RULE(abs_path)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("a/b ", RULE(abs_path)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("/", RULE(abs_path)));
  EXPECT_EQ((Outcome{1, 1}), runEverySplit("a b", RULE(relativeURI)));
  EXPECT_EQ((Outcome{1, 11}), runEverySplit("//host:80/p q", RULE(relativeURI)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("//", RULE(net_path)));
}

TEST(HTTPURI, AbsoluteURIsNeedASchemeWithoutFullStops) {
  EXPECT_EQ((Outcome{1, 14}), runEverySplit("http://h/p?q=1 x", RULE(absoluteURI)));
  EXPECT_EQ((Outcome{1, 10}), runEverySplit("mailto:a@b x", RULE(absoluteURI)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("h.t://x y", RULE(absoluteURI)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("http:", RULE(absoluteURI)));
}

TEST(HTTPURI, AURIMustBeFollowedByAByte) {
  EXPECT_EQ((Outcome{1, 15}), runEverySplit("http://x/y#frag z", RULE(URI)));
  EXPECT_EQ((Outcome{1, 4}), runEverySplit("/a#b c", RULE(URI)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("/abc", RULE(URI)));
}

TEST(HTTPURI, RequestURIIsAPathAnAbsoluteURIOrAnAsterisk) {
  EXPECT_EQ((Outcome{1, 1}), runEverySplit("* HTTP", RULE(Request_URI)));
  EXPECT_EQ((Outcome{1, 10}), runEverySplit("http://a/b c", RULE(Request_URI)));
  EXPECT_EQ((Outcome{1, 8}), runEverySplit("/%7Euser HTTP", RULE(Request_URI)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("?x y", RULE(Request_URI)));
}

TEST(HTTPRequestLine, StoresMethodURIAndVersionAndStopsOnTheLineEnd) {
  RequestSeen seen = requestLineEverySplit("GET /a/b;p?q=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ((Outcome{1, 23}), seen.outcome);
  EXPECT_EQ("GET", seen.method);
  EXPECT_EQ("/a/b;p?q=1", seen.uri);
  EXPECT_EQ("1.0", seen.version);
}

TEST(HTTPRequestLine, CaseAndWhiteSpaceAroundTheVersionSlash) {
  RequestSeen lower = requestLineEverySplit("get /x http/1.1\r\n");
  EXPECT_EQ(1, lower.outcome.result);
  EXPECT_EQ("get", lower.method);
  EXPECT_EQ("1.1", lower.version);
  RequestSeen spaced = requestLineEverySplit("\r\n  POST /f HTTP / 1.0\n");
  EXPECT_EQ((Outcome{1, 22}), spaced.outcome);
  EXPECT_EQ("POST", spaced.method);
  EXPECT_EQ("1.0", spaced.version);
}

TEST(HTTPRequestLine, ExtensionMethodsDeleteAndMethodsThatLookLikeKeywords) {
  RequestSeen options = requestLineEverySplit("OPTIONS * HTTP/1.0\r\n");
  EXPECT_EQ(1, options.outcome.result);
  EXPECT_EQ("OPTIONS", options.method);
  EXPECT_EQ("*", options.uri);
  RequestSeen remove = requestLineEverySplit("DELETE /doc HTTP/1.1\r\n");
  EXPECT_EQ(1, remove.outcome.result);
  EXPECT_EQ("DELETE", remove.method);
  EXPECT_EQ("/doc", remove.uri);
  RequestSeen bye = requestLineEverySplit("BYE /x HTTP/1.0\r\n");
  EXPECT_EQ(1, bye.outcome.result);
  EXPECT_EQ("BYE", bye.method);
  // A word that begins with a listed method is cut after it, and the rest is no URI.
  EXPECT_EQ((Outcome{0, 0}), requestLineEverySplit("GETX /x HTTP/1.0\r\n").outcome);
}

TEST(HTTPRequestLine, FailuresRestoreTheCursorAndStoreNothing) {
  for (const char* text : {"GET /x HTTP/1.0 \r\n", "GET /x\r\n\r\n", "HTTP/1.0 200 OK\r\n",
                           "GET /x HTTP/1.0", "GET /x HTTP/1.\r\n", "GET ?x HTTP/1.0\r\n"}) {
    RequestSeen seen = requestLineEverySplit(text);
    EXPECT_EQ((Outcome{0, 0}), seen.outcome) << text;
    EXPECT_EQ("", seen.method) << text;
  }
  // Leading white space stays skipped.
  EXPECT_EQ((Outcome{0, 2}), requestLineEverySplit("  GET /x\r\n").outcome);
}

TEST(HTTPStatusLine, StoresVersionStatusAndReasonAndTakesEmptyLines) {
  ResponseSeen seen = statusLineEverySplit("HTTP/1.1 200 OK\r\n\r\nbody");
  EXPECT_EQ((Outcome{1, 19}), seen.outcome);
  EXPECT_EQ("1.1", seen.version);
  EXPECT_EQ("200", seen.status);
  EXPECT_EQ("OK", seen.reason);
  EXPECT_EQ(1, seen.respCount);
}

TEST(HTTPStatusLine, EmptyReasonAndAFourthDigit) {
  ResponseSeen bare = statusLineEverySplit("HTTP/1.0 404\r\nX");
  EXPECT_EQ((Outcome{1, 14}), bare.outcome);
  EXPECT_EQ("404", bare.status);
  EXPECT_EQ("", bare.reason);
  ResponseSeen four = statusLineEverySplit("http/1.0 2004 Not Found \r\nX");
  EXPECT_EQ(1, four.outcome.result);
  EXPECT_EQ("200", four.status);
  EXPECT_EQ("4 Not Found ", four.reason);
}

TEST(HTTPStatusLine, FailuresRestoreButKeepTheResponseTheVersionMade) {
  ResponseSeen shortCode = statusLineEverySplit("HTTP/1.0 20\r\n");
  EXPECT_EQ((Outcome{0, 0}), shortCode.outcome);
  EXPECT_EQ("1.0", shortCode.version);
  EXPECT_EQ(1, shortCode.respCount);
  ResponseSeen notStatus = statusLineEverySplit("GET / HTTP/1.0\r\n");
  EXPECT_EQ((Outcome{0, 0}), notStatus.outcome);
  EXPECT_EQ(0, notStatus.respCount);
}

TEST(HTTPDates, TheThreeFormsInAnyCaseButGMT) {
  EXPECT_EQ((Outcome{1, 29}), runEverySplit("Sun, 06 Nov 1994 08:49:37 GMT\r\n", RULE(HTTP_date)));
  EXPECT_EQ((Outcome{1, 30}), runEverySplit("Sunday, 06-Nov-94 08:49:37 GMT\r\n", RULE(HTTP_date)));
  EXPECT_EQ((Outcome{1, 24}), runEverySplit("Sun Nov  6 08:49:37 1994\r\n", RULE(HTTP_date)));
  EXPECT_EQ((Outcome{1, 29}), runEverySplit("sUN, 06 nov 1994 08:49:37 GMT\r\n", RULE(HTTP_date)));
  EXPECT_EQ((Outcome{1, 32}),
            runEverySplit("SUNDAY, 06-NOV-1994 08:49:37 GMT\r\n", RULE(HTTP_date)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("Sun, 06 Nov 1994 08:49:37 gmt\r\n", RULE(HTTP_date)));
}

TEST(HTTPDates, OutOfRangeFieldsAreRejected) {
  for (const char* text :
       {"Sun, 06 Nov 1994 24:00:00 GMT\r\n", "Sun, 06 Nov 1994 08:60:00 GMT\r\n",
        "Sun, 06 Nov 1994 08:00:60 GMT\r\n", "Sun, 32 Nov 1994 08:00:00 GMT\r\n",
        "Sun, 06 Nox 1994 08:00:00 GMT\r\n", "Sun, 06 Nov 3994 08:00:00 GMT\r\n",
        "Sun, 06 Nov 1994 08:49", "Sun Nov 36 08:49:37 1994\r\n"}) {
    EXPECT_EQ((Outcome{0, 0}), runEverySplit(text, RULE(HTTP_date))) << text;
  }
  EXPECT_EQ(1, runEverySplit("Sun, 00 Nov 1994 23:59:59 GMT\r\n", RULE(HTTP_date)).result);
}

TEST(HTTPDates, ADateThatEndsTheDataEndsOnItsLastByte) {
  EXPECT_EQ((Outcome{1, 28}), runEverySplit("Sun, 06 Nov 1994 08:49:37 GMT", RULE(HTTP_date)));
}

TEST(HTTPDates, PiecesAndDeltaSeconds) {
  EXPECT_EQ((Outcome{1, 9}), runEverySplit(" 23:59:59x", RULE(dig8_time)));
  EXPECT_EQ((Outcome{0, 1}), runEverySplit(" 12:3", RULE(dig8_time)));
  EXPECT_EQ((Outcome{1, 9}), runEverySplit("Wednesday,", RULE(dig9_weekday)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("dec ", RULE(dig3_month)));
  EXPECT_EQ((Outcome{1, 3}), runEverySplit("123 ", RULE(delta_seconds)));
  EXPECT_EQ((Outcome{0, 0}), runEverySplit("x1", RULE(delta_seconds)));
}
