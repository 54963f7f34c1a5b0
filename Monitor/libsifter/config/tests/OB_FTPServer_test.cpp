// FTP server definitions: the watched-server list, address matching, the text record with its
// reverse look-up, and the wire record.
#include "config/OB_FTPServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "OB_Tools.h"
#include "SifterTestSupport.h"
#include "stats/AnalysisHash.h"
#include "tcp/OB_Packet.h"

using namespace sifter_test;

namespace {

const uint32_t kServer = ip(10, 0, 0, 21);

int watched(uint32_t server, uint16_t port) {
  OB_Packet p;
  p.srcIP = server;
  p.srcPort = port;
  p.dstIP = ip(192, 168, 1, 7);
  p.dstPort = 40000;
  return isWatchedPacket(&p);
}

int fakeLookup(uint32_t address, char* name, size_t size) {
  if (address != kServer) return -1;
  snprintf(name, size, "FTP.Example");
  return 0;
}

class OBFTPServer : public QuitTest {
 protected:
  void SetUp() override {
    QuitTest::SetUp();
    OB_Tools::setReverseLookup(fakeLookup);
  }
  void TearDown() override {
    OB_Tools::setReverseLookup(nullptr);
    QuitTest::TearDown();
  }
};

const char* kSingleText =
    "# FTP Server\nserverType{0}\nsIPAddress{10.0.0.21}\nmName{}\nmNumOfIPAddresses{}\n"
    "mIPAddresses{}\n\n";
const char* kMultiText =
    "# FTP Server\nserverType{1}\nsIPAddress{}\nmName{files}\nmNumOfIPAddresses{2}\n"
    "mIPAddresses{10.0.0.1 10.0.0.2}\n\n";

TEST_F(OBFTPServer, FileRecordsAreExactAndNameTheServer) {
  OB_FTPServer single;
  single.setIPAddress(kServer);
  single.setName("from the console");
  single.setPort(2121);
  EXPECT_EQ(writeText(&single), kSingleText);

  OB_FTPServer back;
  std::string rest;
  ASSERT_EQ(readText(&back, std::string(kSingleText) + "# FTP Server\n", &rest), 0);
  EXPECT_EQ(rest, "# FTP Server\n");
  EXPECT_STREQ(back.getName(), "10.0.0.21");  // no domain cache: the dotted quad
  EXPECT_EQ(back.getPort(), 21);
  EXPECT_EQ(back.isMatch(&kServer), 1);
  EXPECT_EQ(watched(kServer, 21), 1);
  EXPECT_EQ(watched(kServer, 2121), 1);  // single itself, still listed

  OB_FTPServer multi;
  ASSERT_EQ(readText(&multi, kMultiText), 0);
  EXPECT_STREQ(multi.getName(), "files");
  EXPECT_EQ(writeText(&multi), kMultiText);
  const uint32_t second = ip(10, 0, 0, 2);
  EXPECT_EQ(multi.isMatch(&second), 1);
  EXPECT_EQ(multi.isMatch(&kServer), 0);
  EXPECT_EQ(watched(second, 21), 1);
}

// The look-ups made on the reading thread: a configuration read under cfg.lock waits on none.
std::thread::id readingThread;
std::atomic<int> lookUpsWhileReading{0};
int countingLookup(uint32_t address, char* name, size_t size) {
  if (std::this_thread::get_id() == readingThread) ++lookUpsWhileReading;
  return fakeLookup(address, name, size);
}

TEST_F(OBFTPServer, ARecordIsNamedFromTheDomainCacheWithoutALookUp) {
  std::filesystem::create_directories(dir_.path() + "/db");
  OB_Tools::setReverseLookup(countingLookup);
  readingThread = std::this_thread::get_id();
  const std::string unknown = std::string(kSingleText).replace(
      std::string(kSingleText).find("10.0.0.21"), 9, "10.0.0.22");
  // The export tool's cache, which would resolve on the asking thread, and the engine's, which
  // resolves on a thread of its own.
  for (OB_NameLookups lookups : {OB_NameLookups::kInline, OB_NameLookups::kBackground}) {
    AnalysisHash_init(lookups);
    AnalysisHash_getDomainName(kServer, "ftp.cached");
    lookUpsWhileReading = 0;
    OB_FTPServer known;
    ASSERT_EQ(readText(&known, kSingleText), 0);
    EXPECT_STREQ(known.getName(), "ftp.cached");
    OB_FTPServer other;
    ASSERT_EQ(readText(&other, unknown), 0);
    EXPECT_STREQ(other.getName(), "10.0.0.22");
    EXPECT_EQ(lookUpsWhileReading.load(), 0);
    AnalysisHash_free();
  }
}

TEST_F(OBFTPServer, StandsInTheWatchedListForItsLifetimeAndInitKeepsThePort) {
  {
    OB_FTPServer* server = OB_FTPServer::create();
    server->setIPAddress(kServer);
    EXPECT_EQ(getServerList()->getCount(), 1);
    EXPECT_EQ(watched(kServer, 21), 1);
    server->setPort(2121);
    server->init();
    EXPECT_EQ(server->getPort(), 2121);
    server->release();
  }
  EXPECT_EQ(getServerList()->getCount(), 0);
  EXPECT_EQ(watched(kServer, 21), 0);
}

TEST_F(OBFTPServer, WireRecordIsExactAndReadsBack) {
  OB_FTPServer multi;
  ASSERT_EQ(readText(&multi, kMultiText), 0);
  const std::string bytes = u8(1) + line("0.0.0.0") + line("files") + u16(2) + line("10.0.0.1") +
                            line("10.0.0.2") + line("files");
  {
    SocketPair pair;
    ASSERT_EQ(multi.writeJ(pair.near()), 0);
    EXPECT_EQ(pair.drain(), bytes);
  }
  SocketPair pair;
  pair.feed(bytes);
  OB_FTPServer back;
  back.setPort(2121);
  ASSERT_EQ(back.readJ(pair.near()), 0);
  EXPECT_EQ(writeText(&back), kMultiText);
  EXPECT_EQ(watched(ip(10, 0, 0, 1), 2121), 1);
}

TEST_F(OBFTPServer, WireRefusesBadTypesAddressesAndTooManyAddresses) {
  const std::string many(40, '\n');
  struct Case {
    std::string bytes;
    const char* logged;
  } cases[] = {
      {u8(5) + line("0.0.0.0") + line("") + u16(0) + line(""), "invalid server type: 5"},
      {u8(0) + line("255.255.255.255") + line("") + u16(0) + line(""),
       "Malformed IP Address(7): 255.255.255.255"},
      {u8(1) + line("0.0.0.0") + line("n") + u16(33) + many, "too many server addresses: 33"},
      {u8(1) + line("0.0.0.0") + line("n") + u16(1) + line("x.y"), "Malformed IP Address(2): x.y"},
      {u8(1) + line("0.0.0.0") + line("n") + u16(0) + "cut", ""},
  };
  for (const Case& c : cases) {
    startLog();
    SocketPair pair;
    pair.feed(c.bytes);
    OB_FTPServer s;
    EXPECT_EQ(s.readJ(pair.near()), -1) << c.logged;
    EXPECT_LE(s.getServerType(), 1);
    EXPECT_NE(logText().find(c.logged), std::string::npos) << "log: " << logText();
  }
}

TEST_F(OBFTPServer, MalformedRecordsEndTheProcessWithTheirMessage) {
  auto withLine = [](const char* text, const std::string& from, const std::string& to) {
    std::string s = text;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {withLine(kSingleText, "serverType{0}", "serverType{2}"),
       "ftpServer_readServer: invalid server type"},
      {withLine(kSingleText, "10.0.0.21", "255.255.255.255"),
       "ftpServer_readServer: Malformed IP Address: 255.255.255.255"},
      {withLine(kMultiText, "{2}", "{33}"), "ftpServer_readServer: too many server addresses"},
      {withLine(kMultiText, "{2}", "{3}"), "ftpServer_readServer: Malformed IP Address: "},
  };
  for (const Case& c : cases) {
    expectQuit(
        [&] {
          OB_FTPServer s;
          readText(&s, c.text);
        },
        c.message);
  }
  expectQuit(
      [] {
        OB_FTPServer s;
        s.setServerType(4);
        s.isMatch(&kServer);
      },
      "ftpServer_isMatch: invalid type");
}

}  // namespace
