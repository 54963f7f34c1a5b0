// The header-field rules of the HTTP analyser: what each header stores, where a rule leaves the
// cursor, and that odd values never cost the headers and requests that follow them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HTTPTestSupport.h"
#include "http/OB_HTTPGrammar.h"
#include "tcp/OB_TCPSession.h"

using httptest::Outcome;
using httptest::OwnedBuffer;
using httptest::runEverySplit;

#define RULE(name) [](OB_HTTPGrammar& p) { return static_cast<int>(p.name()); }

namespace {

// Parses a connection whose client sent `requests` (and the server nothing) and keeps the
// transactions.
class Requests {
 public:
  explicit Requests(const std::string& requests) : Requests(std::vector<std::string>{requests}) {}
  // The client's bytes as they came, one buffer per piece.
  explicit Requests(const std::vector<std::string>& pieces) {
    OB_TCPSession session;
    for (const std::string& piece : pieces) session.client.add(new OwnedBuffer(piece));
    parser.processObject(&session);
  }
  OB_HTTPXact& at(int n) {
    OB_HTTPXact* xact = parser.xactAt(n);
    static OB_HTTPXact none;
    EXPECT_NE(xact, nullptr) << "transaction " << n;
    return xact != nullptr ? *xact : none;
  }
  int count() { return parser.commRespCount; }
  OB_HTTPProtocol parser{1, 16};
};

const char* const kFirefox =
    "GET /index.html HTTP/1.1\r\n"
    "Host: www.example.org\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,*/*;q=0.8\r\n"
    "Accept-Language: en-US,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Referer: http://www.example.org/start.html#top\r\n"
    "Connection: keep-alive\r\n"
    "Cookie: a=1; b=2\r\n"
    "Upgrade-Insecure-Requests: 1\r\n"
    "If-Modified-Since: Wed, 01 Jan 2020 00:00:00 GMT\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n"
    "\r\n";
const char* const kChrome =
    "GET /app.js?v=2 HTTP/1.1\r\n"
    "Host: cdn.example.org:8080\r\n"
    "Connection: keep-alive\r\n"
    "Cache-Control: max-age=0\r\n"
    "sec-ch-ua: \"Chromium\";v=\"120\"\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "Accept-Language: de-DE,de;q=0.9,en-US;q=0.8,en;q=0.7\r\n"
    "Accept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7\r\n"
    "Referer: http://www.example.org/\r\n"
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
    "Gecko) Chrome/120.0.0.0 Safari/537.36\r\n"
    "\r\n";
const char* const kSafari =
    "POST /form HTTP/1.1\r\n"
    "Host: www.example.org\r\n"
    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
    "Origin: http://www.example.org\r\n"
    "Accept-Language: fr-FR,fr;q=0.9\r\n"
    "Accept: */*\r\n"
    "From: Jane Doe <jane@example.org>\r\n"
    "Content-Length: 7\r\n"
    "Authorization: Basic dXNlcjpwYXNz\r\n"
    "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15\r\n"
    "\r\n"
    "a=1&b=2";

TEST(HTTPHeaders, BrowserHeaderSetsKeepEveryStoredValueAndTheNextRequest) {
  Requests r(std::string(kFirefox) + kChrome + kSafari + "GET /last HTTP/1.0\r\n\r\n");
  ASSERT_EQ(r.count(), 4);
  EXPECT_STREQ(r.at(1).req_host.c_str(), "www.example.org");
  EXPECT_STREQ(r.at(1).req_referer.c_str(), "http://www.example.org/start.html#top");
  EXPECT_STREQ(r.at(1).req_user_agent.c_str(),
               "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0");
  EXPECT_STREQ(r.at(2).req_host.c_str(), "cdn.example.org:8080");
  EXPECT_STREQ(r.at(2).req_referer.c_str(), "http://www.example.org/");
  EXPECT_EQ(std::string(r.at(2).req_user_agent.c_str()).rfind("Mozilla/5.0 (Windows", 0), 0u);
  EXPECT_STREQ(r.at(3).req_method.c_str(), "POST");
  EXPECT_STREQ(r.at(3).req_content_type.c_str(), "application/x-www-form-urlencoded");
  EXPECT_EQ(r.at(3).req_bytes, 7);
  EXPECT_EQ(std::string(r.at(3).req_user_agent.c_str()).rfind("Mozilla/5.0 (Macintosh", 0), 0u);
  EXPECT_STREQ(r.at(4).req_request_uri.c_str(), "/last");
}

// What the requests' heads store, one line per request.
std::string storedHeads(Requests& r) {
  std::string out;
  for (int n = 1; n <= r.count(); ++n) {
    OB_HTTPXact& x = r.at(n);
    out += std::string(x.req_method.c_str()) + " " + x.req_request_uri.c_str() + " " +
           x.req_host.c_str() + " " + x.req_referer.c_str() + " " + x.req_user_agent.c_str() +
           " " + x.req_content_type.c_str() + " " + x.req_cookie.c_str() + " " +
           std::to_string(x.req_bytes) + "\n";
  }
  return out;
}

TEST(HTTPHeaders, HeadsReadTheSameWhereverTheDataIsCut) {
  // White space before names and colons, and runs of it, cross buffer ends as well; a body
  // that reads like a header line shows where the head was taken to end.
  const std::string body = "Referer: http://body.example.org/\r\n";
  const std::string text = std::string(kFirefox) + kSafari +
                           "GET /spaced HTTP/1.1\r\nHost :  spaced.example.org\r\n"
                           "Referer:\t \t http://spaced.example.org/\r\n\r\n"
                           "POST /post HTTP/1.1\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body +
                           "GET /after HTTP/1.0\r\n\r\n";
  Requests whole(text);
  ASSERT_EQ(whole.count(), 5);
  EXPECT_STREQ(whole.at(4).req_referer.c_str(), "");
  const std::string expected = storedHeads(whole);
  for (size_t cut = 1; cut < text.size(); ++cut) {
    Requests r(std::vector<std::string>{text.substr(0, cut), text.substr(cut)});
    ASSERT_EQ(storedHeads(r), expected) << "cut at " << cut;
  }
  std::vector<std::string> bytes;
  for (char c : text) bytes.emplace_back(1, c);
  Requests r(bytes);
  EXPECT_EQ(storedHeads(r), expected) << "byte by byte";
}

TEST(HTTPHeaders, QualityValuesContinueTheirLists) {
  // Each list's rule must end on the line end, not on the "q" of a weight.
  const std::string lines[] = {
      "Accept-Language: en-US,en;q=0.9,*;q=0.1\r\n",
      "Accept-Charset: utf-8, iso-8859-1;q=0.5, *;q=0\r\n",
      "Accept-Encoding: gzip;q=1.0, identity; q=0.5, *;q=0\r\n",
      "Accept: text/html;level=1;q=0.7, */*;q=0.1;mxb=100000\r\n",
  };
  for (const std::string& line : lines) {
    Outcome o = runEverySplit(line, RULE(Request_Header));
    EXPECT_EQ(o, (Outcome{1, static_cast<long>(line.size() - 1)})) << line;
  }
}

TEST(HTTPHeaders, HostStoresNameAndPortOrIsLeftToOtherHeaders) {
  EXPECT_STREQ(Requests("GET / HTTP/1.0\r\nHost: a.example:81\r\n\r\n").at(1).req_host.c_str(),
               "a.example:81");
  EXPECT_STREQ(Requests("GET / HTTP/1.0\r\nhost: a.example\r\n\r\n").at(1).req_host.c_str(),
               "a.example");
  EXPECT_STREQ(Requests("GET / HTTP/1.0\r\nHOST: a.example:\r\n\r\n").at(1).req_host.c_str(),
               "");
}

TEST(HTTPHeaders, ContentTypeWithParameterIsStoredAndABareSemicolonIsNot) {
  Requests typed("POST / HTTP/1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n");
  // Completion keeps the media type only.
  EXPECT_STREQ(typed.at(1).req_content_type.c_str(), "text/plain");
  Requests bare("POST / HTTP/1.0\r\nContent-Type: text/plain;\r\nHost: h\r\n\r\n");
  EXPECT_STREQ(bare.at(1).req_content_type.c_str(), "");
  EXPECT_STREQ(bare.at(1).req_host.c_str(), "h");
}

TEST(HTTPHeaders, UserAgentOpeningWithACommentIsNotStored) {
  Requests r("GET / HTTP/1.0\r\nUser-Agent: (compatible)\r\nHost: h\r\n\r\n");
  EXPECT_STREQ(r.at(1).req_user_agent.c_str(), "");
  EXPECT_STREQ(r.at(1).req_host.c_str(), "h");
}

TEST(HTTPHeaders, AnEmptyValueReadsTheNextLine) {
  // The white space after the colon includes line ends: the Host line becomes the referrer.
  Requests r("GET / HTTP/1.0\r\nReferer:\r\nHost: h\r\n\r\n");
  EXPECT_STREQ(r.at(1).req_referer.c_str(), "Host:");
  EXPECT_STREQ(r.at(1).req_host.c_str(), "");
}

TEST(HTTPHeaders, RulesEndOnTheirLineEnd) {
  struct Case {
    std::string line;
    int expected;
  };
  const Case cases[] = {
      // A product after a comment ends the products: the rule accepts instead of looping.
      {"Server: Apache/2.4.1 (Unix) OpenSSL/1.0\r\n", 1},
      {"Server: nginx/1.22.1 nginx/2\r\n", 1},
      {"Connection: Keep-Alive\r\n", 1},
      {"Keep-Alive: timeout=5, max=100\r\n", 1},
      {"Pragma: no-cache\r\n", 1},
      {"Date: Tue, 15 Nov 1994 08:12:31 GMT\r\n", 1},
      {"MIME-Version: 1.0\r\n", 1},
      {"Content-Encoding: gzip, compress\r\n", 1},
      {"Content-Language: en-GB, de\r\n", 1},
      {"Expires: Thu, 01 Dec 1994 16:00:00 GMT\r\n", 1},
      {"Allow: GET, HEAD, PUT\r\n", 1},
      {"Accept-Encoding: *\r\n", 1},
      {"X-Anything: at all\r\n", 1},
      {"Set-Cookie: a=b; Path=/\r\n", 1},
  };
  for (const Case& c : cases) {
    const bool response = c.line.rfind("Server", 0) == 0;
    Outcome o = runEverySplit(c.line, [response](OB_HTTPGrammar& p) {
      return p.General_Header() || (response ? p.Response_Header() : p.Request_Header()) ||
             p.Entity_Header();
    });
    EXPECT_EQ(o, (Outcome{c.expected, static_cast<long>(c.line.size() - 1)})) << c.line;
  }
}

TEST(HTTPHeaders, LinkTitleAndFromNeverRunPastTheirLine) {
  // Link steps over its commas; Title stops at the line end; From takes its whole line.
  const std::string head =
      "GET / HTTP/1.0\r\n"
      "Link: <http://a.example/x>; rel=\"next\", <http://a.example/y>, z\r\n"
      "Title: The page\r\n"
      "From: Jane Doe <jane@example.org>\r\n"
      "Forwarded: by http://proxy.example for client.example\r\n"
      "Host: h\r\n\r\n"
      "GET /second HTTP/1.0\r\n\r\n";
  Requests r(head);
  ASSERT_EQ(r.count(), 2);
  EXPECT_STREQ(r.at(1).req_host.c_str(), "h");
  EXPECT_STREQ(r.at(2).req_request_uri.c_str(), "/second");
}

TEST(HTTPHeaders, ConnectionOtherThanKeepAliveIsAnyHeader) {
  EXPECT_EQ(runEverySplit("Connection: close\r\n", RULE(Connect_Keep_Alive)).result, 0);
  EXPECT_EQ(runEverySplit("Connection: Keep-Alive, Persist\r\n", RULE(Connect_Keep_Alive)),
            (Outcome{1, 31}));
  EXPECT_EQ(runEverySplit("Connection: Keep-Alive, Upgrade\r\n", RULE(Connect_Keep_Alive)).result,
            0);
  EXPECT_EQ(runEverySplit("Connection: Keep-Alive, Upgrade\r\n", RULE(HTTP_header)),
            (Outcome{1, 32}));
}

TEST(HTTPHeaders, ResponseHeadersStoreTypeAndLength) {
  OB_TCPSession session;
  session.client.add(new OwnedBuffer("GET /a HTTP/1.1\r\n\r\n"));
  session.server.add(new OwnedBuffer(
      "HTTP/1.1 200 OK\r\nServer: nginx/1.22.1 (Debian)\r\nLocation: http://a.example/\r\n"
      "Content-Type: TEXT/HTML; charset=utf-8\r\nContent-Length: 1234\r\n"
      "WWW-Authenticate: Basic realm=\"x\"\r\n\r\n"));
  OB_HTTPProtocol parser(1, 4);
  parser.processObject(&session);
  OB_HTTPXact* x = parser.xactAt(1);
  ASSERT_NE(x, nullptr);
  EXPECT_STREQ(x->res_status_code.c_str(), "200");
  EXPECT_STREQ(x->res_content_type.c_str(), "text/html");
  EXPECT_EQ(x->res_bytes, 1234);
}

}  // namespace
