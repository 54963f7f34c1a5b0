// HTTP server definitions: the watched-server list, the filters and URL masking, the text and
// wire records and their limits.
#include "config/OB_HTTPServer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "SifterTestSupport.h"
#include "config/OB_ConfigRecordIO.h"
#include "tcp/OB_Packet.h"

using namespace sifter_test;

namespace {

const uint32_t kServer = ip(10, 0, 0, 80);
const uint32_t kClient = ip(192, 168, 1, 7);

int watched(uint32_t server, uint16_t port) {
  OB_Packet p;
  p.srcIP = kClient;
  p.srcPort = 40000;
  p.dstIP = server;
  p.dstPort = port;
  return isWatchedPacket(&p);
}

void setList(char** entries, uint16_t* count, std::initializer_list<const char*> texts) {
  *count = 0;
  for (const char* t : texts) OB_ConfigRecordIO::setOwned(&entries[(*count)++], t);
}

// The address list is filled only by the records' readers; the tests fill it directly.
class MultiServer : public OB_HTTPServer {
 public:
  void setAddresses(uint32_t a, uint32_t b) {
    numAddresses = 2;
    addresses[0] = a;
    addresses[1] = b;
    publish();
  }
};

// A several-address server with one of everything.
void fillMulti(MultiServer* s) {
  s->setServerType(1);
  s->setName("farm");
  s->setAddresses(ip(10, 0, 0, 1), ip(10, 0, 0, 2));
  setList(s->mAltDNSes, &s->mNumOfAltDNSes, {"www.a", "www.b"});
  s->paramMaskApply = 1;
  setList(s->paramMaskVariables, &s->paramMaskCount, {"sid"});
  uint16_t n = 0;
  setList(s->paramMaskReplacements, &n, {"X"});
  s->clientIPApply = 1;
  s->clientIPCount = 1;
  s->clientIPRanges[0][0] = ip(10, 0, 0, 1);
  s->clientIPRanges[0][1] = ip(10, 0, 0, 9);
  s->urlSubstrApply = 1;
  setList(s->urlSubstrs, &s->urlSubstrCount, {".gif"});
  s->setPort(8080);
  OB_ConfigReportList* list = OB_ConfigReportList::create();
  list->name = "r";
  s->reportLists.append(list);
}

const char* kMultiText =
    "# HTTP Server\nserverType{1}\nsIPAddress{}\nsNumOfAltDNSes{}\nsAltDNSes{}\n"
    "mName{farm}\nmNumOfIPAddresses{2}\nmIPAddresses{10.0.0.1 10.0.0.2}\n"
    "mNumOfAltDNSes{2}\nmAltDNSes{www.a www.b}\nfilterName{}\n"
    "paramMaskApply{1}\nparamMaskCount{1}\nparamMaskVariables{\nsid\n}\n"
    "paramMaskReplacements{\nX\n}\n"
    "clientIPApply{1}\nclientIPDiscard{0}\nclientIPCount{1}\nclientIPRanges{\n"
    "10.0.0.1 10.0.0.9\n}\n"
    "urlSubstrApply{1}\nurlSubstrDiscard{0}\nurlSubstrCount{1}\nurlSubstrs{\n.gif\n}\n"
    "usrAgntSubstrApply{0}\nusrAgntSubstrDiscard{0}\nusrAgntSubstrCount{0}\nusrAgntSubstrs{\n}\n"
    "name{farm}\nport{8080}\nnumOfReports{1}\nreportName{r}\nnumOfReports{0}\n\n";

TEST(OBHTTPServer, StandsInTheWatchedListForItsLifetimeAndInitKeepsThePort) {
  {
    std::unique_ptr<OB_HTTPServer, void (*)(OB_HTTPServer*)> server(
        OB_HTTPServer::create(), [](OB_HTTPServer* s) { s->release(); });
    EXPECT_EQ(server->getPort(), 80);
    server->setIPAddress(kServer);
    EXPECT_EQ(getServerList()->getCount(), 1);
    EXPECT_EQ(watched(kServer, 80), 1);
    EXPECT_EQ(watched(kServer, 8080), 0);
    EXPECT_EQ(server->isMatch(kServer, 80), 1);

    server->setPort(8080);
    server->urlSubstrApply = 1;
    server->init();
    EXPECT_EQ(server->getPort(), 8080);
    EXPECT_EQ(server->urlSubstrApply, 0);
    EXPECT_EQ(watched(kServer, 8080), 0);  // the address went with init
  }
  EXPECT_EQ(getServerList()->getCount(), 0);
  EXPECT_EQ(watched(kServer, 80), 0);
}

TEST(OBHTTPServer, FileRecordIsExactAndAReadDefinitionIsWatched) {
  MultiServer multi;
  fillMulti(&multi);
  EXPECT_EQ(writeText(&multi), kMultiText);

  OB_HTTPServer back;
  std::string rest;
  ASSERT_EQ(readText(&back, std::string(kMultiText) + "# HTTP Server\n", &rest), 0);
  EXPECT_EQ(rest, "# HTTP Server\n");
  EXPECT_EQ(writeText(&back), kMultiText);
  EXPECT_STREQ(back.getName(), "farm");
  EXPECT_EQ(watched(ip(10, 0, 0, 2), 8080), 1);
  EXPECT_EQ(back.isAltDNS("www.b"), 1);
  EXPECT_EQ(back.isAltDNS("WWW.B"), 0);
}

// A record saved by a Windows editor: every line ends in CR LF. The CRs belong to no value, so
// the mask variable is "sid", the substring ".gif" and the name "farm".
TEST(OBHTTPServer, FileRecordWithCRLFLineEndsReadsTheSameValues) {
  std::string crlf;
  for (char c : std::string(kMultiText)) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  OB_HTTPServer back;
  ASSERT_EQ(readText(&back, crlf), 0);
  EXPECT_EQ(writeText(&back), kMultiText);
  char url[64] = "/a?sid=123&b=2";
  EXPECT_EQ(back.maskParamValues(url, sizeof url), 1);
  EXPECT_STREQ(url, "/a?sid=X&b=2");
  EXPECT_EQ(back.isURLMatch("/x.gif"), 1);
  EXPECT_EQ(back.isAltDNS("www.b"), 1);
  EXPECT_STREQ(back.getName(), "farm");
}

TEST(OBHTTPServer, FileReadOrdersRangesAndKeepsLongNamesWhole) {
  OB_HTTPServer single;
  single.setIPAddress(kServer);
  std::string longName(1500, 'n');
  setList(single.sAltDNSes, &single.sNumOfAltDNSes, {"a", longName.c_str()});
  single.clientIPCount = 1;
  single.clientIPRanges[0][0] = ip(10, 0, 0, 9);
  single.clientIPRanges[0][1] = ip(10, 0, 0, 1);
  OB_HTTPServer back;
  ASSERT_EQ(readText(&back, writeText(&single)), 0);
  EXPECT_EQ(back.getServerType(), 0);
  EXPECT_EQ(back.isServerIPMatch(&kServer), 1);
  EXPECT_EQ(back.sNumOfAltDNSes, 2);
  EXPECT_EQ(back.isAltDNS(longName.c_str()), 1);
  EXPECT_EQ(back.clientIPRanges[0][0], ip(10, 0, 0, 1));
  EXPECT_EQ(back.clientIPRanges[0][1], ip(10, 0, 0, 9));
}

TEST(OBHTTPServer, MasksTheFirstOccurrenceOfEachParameterAndCutsAtTheBuffer) {
  OB_HTTPServer s;
  s.paramMaskApply = 1;
  setList(s.paramMaskVariables, &s.paramMaskCount, {"sid"});
  uint16_t n = 0;
  setList(s.paramMaskReplacements, &n, {"X"});
  char url[OB_HTTPServer::kURLSize];
  strcpy(url, "/a?sid=123&b=2");
  EXPECT_EQ(s.maskParamValues(url), 1);
  EXPECT_STREQ(url, "/a?sid=X&b=2");
  strcpy(url, "/a?b=2&sid=123");
  EXPECT_EQ(s.maskParamValues(url), 1);
  EXPECT_STREQ(url, "/a?b=2&sid=X");
  strcpy(url, "/a?sid=1&sid=2");
  EXPECT_EQ(s.maskParamValues(url), 1);
  EXPECT_STREQ(url, "/a?sid=X&sid=2");
  EXPECT_EQ(s.maskParamValues(url), 0);  // already masked: no change
  strcpy(url, "/a?sidx=1");
  EXPECT_EQ(s.maskParamValues(url), 0);

  // A replacement that makes the URL longer than its buffer is cut there.
  setList(s.paramMaskReplacements, &n, {"LONGREPLACEMENT"});
  char small[16];
  strcpy(small, "/?sid=1&b=2");
  EXPECT_EQ(s.maskParamValues(small, sizeof small), 1);
  EXPECT_STREQ(small, "/?sid=LONGREPLA");
  s.paramMaskApply = 0;
  strcpy(url, "/a?sid=1");
  EXPECT_EQ(s.maskParamValues(url), 0);
}

TEST(OBHTTPServer, ClientURLAndUserAgentFiltersKeepOrDiscard) {
  OB_HTTPServer s;
  const uint32_t inside = ip(10, 0, 0, 5);
  const uint32_t outside = ip(10, 0, 1, 5);
  EXPECT_EQ(s.isClientIPMatch(&outside), 1);
  s.clientIPApply = 1;
  EXPECT_EQ(s.isClientIPMatch(&inside), 0);  // keep mode, no ranges: nobody passes
  s.clientIPDiscard = 1;
  EXPECT_EQ(s.isClientIPMatch(&inside), 1);
  s.clientIPCount = 1;
  s.clientIPRanges[0][0] = ip(10, 0, 0, 1);
  s.clientIPRanges[0][1] = ip(10, 0, 0, 9);
  EXPECT_EQ(s.isClientIPMatch(&inside), 0);
  EXPECT_EQ(s.isClientIPMatch(&outside), 1);
  s.clientIPDiscard = 0;
  EXPECT_EQ(s.isClientIPMatch(&inside), 1);
  EXPECT_EQ(s.isClientIPMatch(&outside), 0);

  EXPECT_EQ(s.isContentFiltered(), 0);
  EXPECT_EQ(s.isURLMatch("/x.html"), 1);
  s.urlSubstrApply = 1;
  setList(s.urlSubstrs, &s.urlSubstrCount, {".gif", ".jpg"});
  EXPECT_EQ(s.isContentFiltered(), 1);
  EXPECT_EQ(s.isURLMatch("/x.gif"), 1);
  EXPECT_EQ(s.isURLMatch("/x.html"), 0);
  s.urlSubstrDiscard = 1;
  EXPECT_EQ(s.isURLMatch("/x.gif"), 0);
  EXPECT_EQ(s.isURLMatch("/x.html"), 1);
  s.usrAgntSubstrApply = 1;
  setList(s.usrAgntSubstrs, &s.usrAgntSubstrCount, {"bot"});
  EXPECT_EQ(s.isUserAgentMatch("searchbot/1"), 1);
  EXPECT_EQ(s.isUserAgentMatch("Mozilla"), 0);
}

TEST(OBHTTPServer, WireRecordIsExactAndTheConsolesFormReadsBack) {
  MultiServer multi;
  fillMulti(&multi);
  multi.clientIPDiscard = 7;
  const std::string sent =
      u8(1) + line("0.0.0.0") + u16(0) + line("farm") + u16(2) + line("10.0.0.1") +
      line("10.0.0.2") + u16(2) + line("www.a") + line("www.b") + line("") + u8(1) + u16(1) +
      line("sid") + line("X") + u8(1) + u8(1) + u16(1) + line("10.0.0.1") + line("10.0.0.9") +
      u8(1) + u8(0) + u16(1) + line(".gif") + u8(0) + u8(0) + u16(0) + line("farm") +
      u16(8080) + u16(1) + line("r") + u16(0);
  {
    SocketPair pair;
    ASSERT_EQ(multi.writeJ(pair.near()), 0);
    EXPECT_EQ(pair.drain(), sent);
  }
  const std::string console =
      u8(0) + line("10.0.0.80") + u16(1) + line("alias") + line("") + u16(0) + u16(0) +
      line("f") + flagIn(0) + u16(0) + flagIn(1) + flagIn(0) + u16(1) + line("10.0.0.9") +
      line("10.0.0.1") + flagIn(0) + flagIn(0) + u16(0) + flagIn(0) + flagIn(0) + u16(0) +
      line("web") + u16(81) + u16(0);
  SocketPair pair;
  pair.feed(console);
  OB_HTTPServer back;
  ASSERT_EQ(back.readJ(pair.near()), 0);
  EXPECT_STREQ(back.getName(), "web");
  EXPECT_EQ(back.isAltDNS("alias"), 1);
  EXPECT_EQ(back.clientIPRanges[0][0], ip(10, 0, 0, 9));  // as sent: holds no address
  const uint32_t five = ip(10, 0, 0, 5);
  EXPECT_EQ(back.isClientIPMatch(&five), 0);
  EXPECT_EQ(watched(kServer, 81), 1);
}

class OBHTTPServerLog : public QuitTest {};

TEST_F(OBHTTPServerLog, WireRefusesBadTypesAddressesAndCountsAboveTheirPlaces) {
  const std::string single = u8(0) + line("10.0.0.80");
  const std::string names = single + u16(0) + line("") + u16(0) + u16(0) + line("");
  const std::string many(600 * 2, '\n');  // enough lines for any count the reader would take
  struct Case {
    std::string bytes;
    const char* logged;
  } cases[] = {
      {u8(2) + line("0.0.0.0") + many, "invalid server type: 2"},
      {u8(0) + line("ten.0.0.1"), "Malformed IP Address(5): ten.0.0.1"},
      {single + u16(33) + many, "too many alternate names: 33"},
      {single + u16(0) + line("") + u16(33) + many, "too many server addresses: 33"},
      {single + u16(0) + line("") + u16(1) + line("10.0.0.256"), "Malformed IP Address(6)"},
      {single + u16(0) + line("") + u16(0) + u16(33) + many, "too many alternate names: 33"},
      {names + flagIn(1) + u16(513) + many, "too many parameter masks: 513"},
      {names + flagIn(0) + u16(0) + flagIn(1) + flagIn(0) + u16(1) + line("x"),
       "Malformed IP Address(7): x"},
      {names + flagIn(0) + u16(0) + flagIn(1) + flagIn(0) + u16(1) + line("10.0.0.1") + line("y"),
       "Malformed IP Address(8): y"},
      {names + flagIn(0) + u16(0) + flagIn(1) + flagIn(0) + u16(513) + many,
       "too many client address ranges: 513"},
      {names + flagIn(0) + u16(0) + flagIn(0) + flagIn(0) + u16(0) + flagIn(0) + flagIn(0) +
           u16(513) + many,
       "too many URL substrings: 513"},
      {names + flagIn(0) + u16(1) + line("sid"), ""},  // the stream ends inside the list
  };
  for (const Case& c : cases) {
    startLog();
    SocketPair pair;
    pair.feed(c.bytes);
    OB_HTTPServer s;
    EXPECT_EQ(s.readJ(pair.near()), -1) << c.logged;
    EXPECT_LE(s.getServerType(), 1);
    EXPECT_NE(logText().find(c.logged), std::string::npos) << "log: " << logText();
  }
}

class OBHTTPServerFile : public QuitTest {};

TEST_F(OBHTTPServerFile, MalformedRecordsEndTheProcessWithTheirMessage) {
  auto withLine = [](const std::string& from, const std::string& to) {
    std::string text = kMultiText;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {withLine("serverType{1}", "serverType{2}"), "httpServer_readServer: invalid server type"},
      {withLine("10.0.0.1 10.0.0.2}", "10.0.0.1 255.255.255.255}"),
       "httpServer_readServer: Malformed IP Address: 255.255.255.255"},
      {withLine("mNumOfIPAddresses{2}", "mNumOfIPAddresses{33}"),
       "httpServer_readServer: too many server addresses"},
      {withLine("mNumOfAltDNSes{2}", "mNumOfAltDNSes{33}"),
       "httpServer_readServer: too many DNS addresses"},
      {withLine("paramMaskCount{1}", "paramMaskCount{513}"), "too many parameter masks"},
      {withLine("10.0.0.1 10.0.0.9\n", "10.0.0.1\n"),
       "readServer_1_2: Invalid address range. 10.0.0.1"},
  };
  for (const Case& c : cases) {
    expectQuit(
        [&] {
          OB_HTTPServer s;
          readText(&s, c.text);
        },
        c.message);
  }
  expectQuit(
      [] {
        OB_HTTPServer s;
        s.setServerType(3);
        s.isAltDNS("x");
      },
      "httpServer_isAltDNS: invalid server type for this function");
}

}  // namespace
