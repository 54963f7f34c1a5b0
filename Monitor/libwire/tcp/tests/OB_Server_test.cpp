// Watched servers: matching of one address and of address lists, the global list's membership,
// and the capture filter while definitions come and go on another thread.
#include "tcp/OB_Server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "tcp/OB_Packet.h"

namespace {

constexpr uint32_t ip(int a, int b, int c, int d) {
  return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
         (static_cast<uint32_t>(c) << 8) | static_cast<uint32_t>(d);
}

// A definition as the analysis engine fills one in: fields set, then published.
class TestServer : public OB_Server {
 public:
  TestServer() = default;
  TestServer(uint32_t address, uint16_t serverPort) {
    setIPAddress(address);
    setPort(serverPort);
  }
  TestServer(std::initializer_list<uint32_t> list, uint16_t count, uint16_t serverPort) {
    int i = 0;
    for (uint32_t address : list) addresses[i++] = address;
    numAddresses = count;
    serverType = 1;
    port = serverPort;
    publish();
  }
  int isInRange(uint32_t address) override {
    ++rangeAsked;
    return OB_Server::isInRange(address);
  }
  // Direct access to the fields for the tests.
  uint16_t& count() { return numAddresses; }
  char* second() { return filterName; }
  int rangeAsked = 0;
};

class RefusingServer : public TestServer {
 public:
  RefusingServer(uint32_t address, uint16_t serverPort) : TestServer(address, serverPort) {
    publish();
  }
  int isNeeded(OB_Packet*) override { return 0; }
};

OB_Packet packet(uint32_t src, uint16_t srcPort, uint32_t dst, uint16_t dstPort) {
  OB_Packet p;
  p.srcIP = src;
  p.srcPort = srcPort;
  p.dstIP = dst;
  p.dstPort = dstPort;
  return p;
}

const uint32_t kServer = ip(10, 0, 0, 80);
const uint32_t kClient = ip(192, 168, 1, 7);

class OBServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(getServerList()->getCount(), 0); }
};

TEST_F(OBServer, TypeZeroMatchesItsAddressAndPortAndAsksNoRangeForAnotherPort) {
  TestServer server(kServer, 80);
  EXPECT_EQ(server.isMatch(kServer, 80), 1);
  EXPECT_EQ(server.isMatch(kServer + 1, 80), 0);
  EXPECT_EQ(server.rangeAsked, 2);
  EXPECT_EQ(server.isMatch(kServer, 8080), 0);
  EXPECT_EQ(server.rangeAsked, 2);
}

TEST_F(OBServer, TypeOneMatchesOnlyTheUsedEntriesOfItsList) {
  TestServer server({ip(10, 0, 0, 1), ip(10, 0, 0, 2), ip(10, 0, 0, 3), ip(10, 0, 0, 4)}, 3, 21);
  EXPECT_EQ(server.isInRange(ip(10, 0, 0, 1)), 1);
  EXPECT_EQ(server.isInRange(ip(10, 0, 0, 3)), 1);
  EXPECT_EQ(server.isInRange(ip(10, 0, 0, 4)), 0);
  server.count() = 0;
  EXPECT_EQ(server.isInRange(ip(10, 0, 0, 1)), 0);
  EXPECT_EQ(server.isInRange(0), 0);
}

// A count beyond the array must not read what lies behind it (here the port and the second
// name, whose bytes would read as the address 65.65.65.65).
TEST_F(OBServer, AddressCountPastTheArrayWalksOnlyItsThirtyTwoEntries) {
  TestServer server({ip(10, 0, 0, 1)}, 1, 80);
  std::memset(server.second(), 'A', 64);
  server.count() = 65535;
  server.publish();
  EXPECT_EQ(server.isInRange(ip(65, 65, 65, 65)), 0);
  EXPECT_EQ(server.isInRange(ip(10, 0, 0, 1)), 1);
  EXPECT_EQ(server.isInRange(0), 1);  // the unused entries are 0
  OB_Packet toServer = packet(kClient, 5000, ip(65, 65, 65, 65), 80);
  EXPECT_EQ(isWatchedPacket(&toServer), 0);
}

TEST_F(OBServer, AnInvalidTypeEndsTheProcess) {
  EXPECT_EXIT(
      {
        TestServer server(kServer, 80);
        server.setServerType(2);
        server.isInRange(kServer);
      },
      ::testing::ExitedWithCode(1), "");
}

TEST_F(OBServer, NameIsCutAt511CharactersAndInitClearsEveryField) {
  TestServer server(kServer, 80);
  std::string longName(600, 'n');
  server.setName(longName.c_str());
  EXPECT_EQ(std::strlen(server.getName()), 511u);
  server.setName("www");
  EXPECT_STREQ(server.getName(), "www");
  server.setServerType(1);
  std::strcpy(server.second(), "filter");
  EXPECT_EQ(server.init(), 0);
  EXPECT_STREQ(server.getName(), "");
  EXPECT_STREQ(server.second(), "");
  EXPECT_EQ(server.getPort(), 0);
  EXPECT_EQ(server.getServerType(), 0);
  EXPECT_EQ(server.isInRange(kServer), 0);
  EXPECT_EQ(getServerList()->find(&server), &server);
}

TEST_F(OBServer, DefinitionsStandInTheListForTheirLifetimeAndCopiesDoNot) {
  auto server = std::make_unique<TestServer>(kServer, 80);
  EXPECT_EQ(getServerList()->getCount(), 1);
  EXPECT_EQ(getServerList()->find(server.get()), server.get());
  {
    OB_Server copy(*server);
    EXPECT_EQ(copy.isMatch(kServer, 80), 1);
    EXPECT_EQ(getServerList()->getCount(), 1);
  }
  OB_Packet toServer = packet(kClient, 5000, kServer, 80);
  EXPECT_EQ(isWatchedPacket(&toServer), 1);  // the copy's end took nothing out
  server.reset();
  EXPECT_EQ(getServerList()->getCount(), 0);
  EXPECT_EQ(isWatchedPacket(&toServer), 0);
}

TEST_F(OBServer, FilterKeepsFramesToOrFromAWatchedServerOnly) {
  OB_Packet toServer = packet(kClient, 5000, kServer, 80);
  OB_Packet fromServer = packet(kServer, 80, kClient, 5000);
  OB_Packet otherPort = packet(kClient, 5000, kServer, 443);
  OB_Packet otherHost = packet(kClient, 5000, kServer + 1, 80);
  EXPECT_EQ(isWatchedPacket(&toServer), 0);  // no definition: everything dropped

  TestServer server(kServer, 80);
  EXPECT_EQ(isWatchedPacket(&toServer), 1);
  EXPECT_EQ(isWatchedPacket(&fromServer), 1);
  EXPECT_EQ(isWatchedPacket(&otherPort), 0);
  EXPECT_EQ(isWatchedPacket(&otherHost), 0);

  // Changes to a listed definition reach the filter.
  server.setPort(443);
  EXPECT_EQ(isWatchedPacket(&toServer), 0);
  EXPECT_EQ(isWatchedPacket(&otherPort), 1);
}

TEST_F(OBServer, FilterMatchesTypeOneListsAndSkipsDefinitionsThatNeedNothing) {
  TestServer farm({ip(10, 1, 0, 1), ip(10, 1, 0, 2), ip(10, 1, 0, 3)}, 2, 21);
  RefusingServer refusing(kServer, 80);
  OB_Packet second = packet(kClient, 3000, ip(10, 1, 0, 2), 21);
  OB_Packet third = packet(ip(10, 1, 0, 3), 21, kClient, 3000);
  OB_Packet refused = packet(kClient, 3000, kServer, 80);
  EXPECT_EQ(isWatchedPacket(&second), 1);
  EXPECT_EQ(isWatchedPacket(&third), 0);
  EXPECT_EQ(isWatchedPacket(&refused), 0);

  TestServer wanting(kServer, 80);
  EXPECT_EQ(isWatchedPacket(&refused), 1);
}

// Definitions come and go while another thread filters: a lasting definition is matched on every
// pass, and the filter never reaches into a definition being built or destroyed (the sanitizer
// build checks the latter).
TEST_F(OBServer, DefinitionsAddedAndRemovedWhileAnotherThreadFilters) {
  TestServer lasting(kServer, 80);
  const uint32_t churned = ip(10, 9, 9, 9);
  OB_Packet toLasting = packet(kClient, 4000, kServer, 80);
  OB_Packet toChurned = packet(kClient, 4000, churned, 8080);

  std::atomic<bool> done{false};
  std::atomic<int> misses{0};
  std::atomic<long long> passes{0};
  std::thread filter([&] {
    while (!done.load() || passes.load() < 1000) {
      if (isWatchedPacket(&toLasting) != 1) ++misses;
      isWatchedPacket(&toChurned);
      ++passes;
    }
  });
  for (int i = 0; i < 2000; ++i) {
    auto server = std::make_unique<TestServer>(churned, 8080);
    if (i % 2 == 0) {
      RefusingServer refusing(churned, 8080);
    }
    server->setPort(static_cast<uint16_t>(8080 + i % 3));
  }
  done = true;
  filter.join();
  EXPECT_EQ(misses.load(), 0);
  EXPECT_EQ(isWatchedPacket(&toChurned), 0);
  EXPECT_EQ(getServerList()->getCount(), 1);
}

}  // namespace
