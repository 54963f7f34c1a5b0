#include "tcp/protoSpec.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/PSpcWriter.h"
#include "FileText.h"
#include "OB_Log.h"
#include "TempDir.h"

namespace {

using pspc::Node;
using Bytes = std::vector<uint8_t>;

// Each test runs in its own process (and in parallel with others), so each has its own folder.
corrana_test::TempDir& scratch() {
  static corrana_test::TempDir dir;
  return dir;
}

std::string tempPath(const std::string& name) { return scratch().file(name); }

std::string writeTree(const std::string& name, const std::vector<Node>& nodes) {
  Bytes bytes;
  EXPECT_TRUE(pspc::encode(nodes, bytes));
  std::string path = tempPath(name);
  EXPECT_TRUE(pspc::writeFile(path, bytes));
  return path;
}

// Frames: Ethernet II or 802.3 head, an IPv4 header of ihl words, a TCP header.
Bytes ipv4Tcp(uint8_t ihl, uint16_t srcPort, uint16_t dstPort, uint8_t protocol = 6,
              uint16_t fragment = 0) {
  Bytes ip(4 * ihl, 0);
  ip[0] = static_cast<uint8_t>(0x40 | ihl);
  ip[6] = static_cast<uint8_t>(fragment >> 8);
  ip[7] = static_cast<uint8_t>(fragment);
  ip[9] = protocol;
  Bytes tcp(20, 0);
  tcp[0] = static_cast<uint8_t>(srcPort >> 8);
  tcp[1] = static_cast<uint8_t>(srcPort);
  tcp[2] = static_cast<uint8_t>(dstPort >> 8);
  tcp[3] = static_cast<uint8_t>(dstPort);
  tcp[12] = 0x50;
  ip.insert(ip.end(), tcp.begin(), tcp.end());
  return ip;
}

Bytes ethernetII(uint16_t type, const Bytes& payload) {
  Bytes frame(12, 0x11);
  frame.push_back(static_cast<uint8_t>(type >> 8));
  frame.push_back(static_cast<uint8_t>(type));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes ieee8023(const Bytes& llc, const Bytes& payload) {
  Bytes frame(12, 0x22);
  uint16_t length = static_cast<uint16_t>(llc.size() + payload.size());
  frame.push_back(static_cast<uint8_t>(length >> 8));
  frame.push_back(static_cast<uint8_t>(length));
  frame.insert(frame.end(), llc.begin(), llc.end());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

uint16_t classify(const Bytes& frame, const PSTreeNode* root) {
  return ComparePacketProtoSpec(frame.data(), static_cast<uint32_t>(frame.size()), root);
}
uint16_t classifyEthernetII(const Bytes& frame) {
  return classify(frame, protoSpec_GetRootEthernetII());
}

class ProtoSpec : public ::testing::Test {
 protected:
  void TearDown() override { protoSpec_FreeProtoSpecUtils(); }
};

TEST_F(ProtoSpec, DescendsIntoTheFirstMatchingChild) {
  std::vector<Node> nodes = {
      {1, 0, {}},
      {2, 0, {{}}},                                   // one alternative without tests
      {3, 2, {{{12, 0xFF, 0x08}, {13, 0xFF, 0x00}}}},  // IPv4
      {4, 2, {{}}},                                   // never reached for IPv4: 3 matched first
      {5, 3, {{{23, 0xFF, 17}}, {{23, 0xFF, 6}}}},     // second alternative takes TCP
  };
  ASSERT_EQ(protoSpec_InitProtoSpecUtils(writeTree("descend", nodes).c_str()), 0);
  Bytes tcp = ethernetII(0x0800, ipv4Tcp(5, 1, 2));
  EXPECT_EQ(classifyEthernetII(tcp), 5);
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(5, 1, 2, 1))), 3);
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0806, Bytes(28, 0))), 4);
  EXPECT_EQ(classify(tcp, protoSpec_GetRoot8023()), 1);
  EXPECT_EQ(classify(tcp, nullptr), 0);
  EXPECT_EQ(protoSpec_GetParentID(5), 3);
  EXPECT_EQ(protoSpec_GetParentID(3), 2);
  EXPECT_EQ(protoSpec_GetParentID(2), 0);
  EXPECT_EQ(protoSpec_GetParentID(999), 0);
}

TEST_F(ProtoSpec, HighOffsetBitsAndTestsPastTheCapturedBytes) {
  std::vector<Node> nodes = {{1, 0, {}}, {2, 0, {}}, {7, 2, {{{272, 0xF0, 0xA0}}}}};
  Bytes bytes;
  ASSERT_TRUE(pspc::encode(nodes, bytes));
  // The test's offset bytes follow the file head, two bare records and its record, body and
  // alternative heads.
  const size_t at = 6 + 16 + 16 + 4 + 12 + 4;
  EXPECT_EQ(bytes[at], 0x20);
  EXPECT_EQ(bytes[at + 1], 0x10);
  std::string path = tempPath("offset");
  ASSERT_TRUE(pspc::writeFile(path, bytes));
  ASSERT_EQ(protoSpec_InitProtoSpecUtils(path.c_str()), 0);

  Bytes frame(300, 0);
  frame[272] = 0xA5;
  EXPECT_EQ(classifyEthernetII(frame), 7);
  frame.resize(272);  // captured short: byte 272 is not there, so the test fails
  EXPECT_EQ(classifyEthernetII(frame), 2);
}

TEST_F(ProtoSpec, OrphanGoesRightAfterTheFirstNode) {
  // Without an Ethernet II root the top-level chain stays as linked: 1, then the orphan.
  std::vector<Node> nodes = {{1, 0, {{{0, 0xFF, 0x99}}}}, {8, 0, {}}, {9, 77, {}}};
  ASSERT_EQ(protoSpec_InitProtoSpecUtils(writeTree("orphan", nodes).c_str()), 0);
  EXPECT_EQ(protoSpec_GetRootEthernetII(), nullptr);
  ASSERT_NE(protoSpec_GetRoot8023(), nullptr);
  EXPECT_EQ(classify(Bytes(20, 0), protoSpec_GetRoot8023()), 9);
  EXPECT_EQ(protoSpec_GetParentID(9), 77);
}

TEST_F(ProtoSpec, FirstNodeOfTheFileAnswersForADuplicateId) {
  std::vector<Node> nodes = {{1, 0, {}}, {2, 0, {}}, {6, 1, {}}, {6, 2, {}}, {263, 6, {}}};
  ASSERT_EQ(protoSpec_InitProtoSpecUtils(writeTree("dup", nodes).c_str()), 0);
  EXPECT_EQ(protoSpec_GetParentID(6), 1);
  EXPECT_EQ(protoSpec_GetParentID(263), 6);  // same bucket as 6 (263 mod 257)
}

TEST_F(ProtoSpec, LoopingParentIdsEndAtZero) {
  std::vector<Node> nodes = {{1, 0, {}}, {2, 0, {}},   {5, 6, {}},
                             {6, 5, {}}, {7, 7, {}},   {8, 5, {}}};
  ASSERT_EQ(protoSpec_InitProtoSpecUtils(writeTree("loop", nodes).c_str()), 0);
  for (uint16_t id : {5, 6, 7, 8}) {
    uint16_t at = id;
    int steps = 0;
    while (at != 0 && steps < 100) {
      at = protoSpec_GetParentID(at);
      ++steps;
    }
    EXPECT_EQ(at, 0) << "climb from " << id;
  }
  EXPECT_EQ(protoSpec_GetParentID(5), 6);
  EXPECT_EQ(protoSpec_GetParentID(8), 5);
  // Classification still ends and takes the deepest node that matches.
  EXPECT_NE(classify(Bytes(60, 0), protoSpec_GetRoot8023()), 0);
  EXPECT_EQ(classifyEthernetII(Bytes(60, 0)), 2);
}

// A malformed file ends the process with the reading message in the log.
class ProtoSpecDeath : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = scratch().file("install");
    mkdir(install_.c_str(), 0755);
    mkdir((install_ + "/logs").c_str(), 0755);
  }
  void expectRefused(const Bytes& bytes) {
    std::string path = tempPath("bad");
    ASSERT_TRUE(pspc::writeFile(path, bytes));
    EXPECT_EXIT(
        {
          setenv("OB_INSTALLDIR", install_.c_str(), 1);
          OB_Log::init("pspc", 0, nullptr);
          protoSpec_InitProtoSpecUtils(path.c_str());
          std::exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    const std::string log = corrana_test::readFile(install_ + "/logs/pspc.log");
    std::string wanted = "protoSpec_InitProtoSpecUtils: problem reading file " + path;
    EXPECT_NE(log.find(wanted), std::string::npos) << log;
    std::remove((install_ + "/logs/pspc.log").c_str());
  }
  std::string install_;
};

TEST_F(ProtoSpecDeath, MalformedFilesAreRefused) {
  std::vector<Node> nodes = {{1, 0, {}}, {2, 0, {{{12, 0xFF, 8}, {13, 0xFF, 0}}}}};
  Bytes good;
  ASSERT_TRUE(pspc::encode(nodes, good));
  // Layout: head 6; record 1 at 6 (4 + 12); record 2 at 22: head 4, body 12 + 4 + 8.
  const size_t second = 22;

  expectRefused(Bytes(good.begin(), good.begin() + 5));  // short file head

  Bytes more = good;
  more[4] = 3;  // three records announced, two present
  expectRefused(more);

  Bytes shortBody = good;
  shortBody[second + 2] = 11;  // body length below the 12-byte body head
  expectRefused(shortBody);

  Bytes manyAlternatives = good;
  manyAlternatives[second + 4 + 11] = 2;  // a second alternative past the body
  expectRefused(manyAlternatives);

  Bytes manyTests = good;
  manyTests[second + 4 + 12 + 3] = 3;  // a third test past the body
  expectRefused(manyTests);

  Bytes truncatedBody(good.begin(), good.end() - 1);
  expectRefused(truncatedBody);
}

TEST_F(ProtoSpecDeath, MissingFileEndsTheProcess) {
  std::string missing = tempPath("does_not_exist");
  EXPECT_EXIT(
      {
        setenv("OB_INSTALLDIR", install_.c_str(), 1);
        OB_Log::init("pspc", 0, nullptr);
        protoSpec_InitProtoSpecUtils(missing.c_str());
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "protoSpec_InitProtoSpecUtils");
  const std::string log = corrana_test::readFile(install_ + "/logs/pspc.log");
  EXPECT_NE(log.find("protoSpec_InitProtoSpecUtils: problem opening file " + missing),
            std::string::npos);
  EXPECT_NE(log.find("protoSpec_InitProtoSpecUtils: ProtoSpec defs not loaded!!"),
            std::string::npos);
}

// The tree the build ships: each encapsulation, IPv4 header length and port side.
TEST_F(ProtoSpec, ShippedTreeClassifiesWhatTheMonitorCounts) {
  ASSERT_EQ(protoSpec_InitProtoSpecUtils(CORRANA_PSPC_BIN), 0);
  ASSERT_NE(protoSpec_GetRoot8023(), nullptr);
  ASSERT_NE(protoSpec_GetRootEthernetII(), nullptr);

  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(5, 40000, 80))), 22);
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(5, 80, 40000))), 22);
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(7, 40000, 80))), 22);  // IP options
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(15, 21, 40000))), 23);
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(5, 40000, 443))), 21);
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(5, 40000, 80, 17))), 20);  // UDP
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(5, 40000, 80, 6, 0x00B9))), 20);  // later fragment
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0800, ipv4Tcp(5, 40000, 80, 6, 0x4000))), 22);  // DF only
  EXPECT_EQ(classifyEthernetII(ethernetII(0x0806, Bytes(28, 0))), 2);

  Bytes badIhl = ethernetII(0x0800, ipv4Tcp(5, 40000, 80));
  badIhl[14] = 0x44;  // header length 16 bytes: not a usable IPv4 header
  EXPECT_EQ(classifyEthernetII(badIhl), 2);

  Bytes cut = ethernetII(0x0800, ipv4Tcp(5, 40000, 80));
  cut.resize(14 + 20 + 2);  // the destination port is not captured
  EXPECT_EQ(classifyEthernetII(cut), 21);

  const PSTreeNode* ieee = protoSpec_GetRoot8023();
  EXPECT_EQ(classify(ieee8023({0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00}, ipv4Tcp(5, 40000, 80)), ieee), 32);
  EXPECT_EQ(classify(ieee8023({0x06, 0x06, 0x03}, ipv4Tcp(6, 21, 40000)), ieee), 13);
  EXPECT_EQ(classify(ieee8023({0x42, 0x42, 0x03}, Bytes(40, 0)), ieee), 1);

  const uint16_t chain[] = {22, 21, 20, 2, 0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(protoSpec_GetParentID(chain[i]), chain[i + 1]);
  EXPECT_EQ(protoSpec_GetParentID(33), 31);
  EXPECT_EQ(protoSpec_GetParentID(30), 1);
}

}  // namespace
