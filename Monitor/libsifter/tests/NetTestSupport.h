// Helpers for the network statistics tests: a small protocol tree, network records built from
// hand-made frames, a configuration with network groups, HTTP and FTP servers and subsets, and
// the socket encoding of the network replies.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../../libwire/tools/PSpcWriter.h"
#include "StatsTestSupport.h"
#include "TempDir.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_FTPServer.h"
#include "net/OB_AllNetData.h"
#include "tcp/OB_Packet.h"
#include "tcp/protoSpec.h"

namespace net_test {

using corrana_test::wireS32;
using corrana_test::wireU16;
using corrana_test::wireU32;
using sifter_test::ip;

// Protocol-spec ids of the tree: Ethernet II (2) > IPv4 (3) > TCP (5) and UDP (6); IEEE 802.3
// (1) alone.
constexpr uint16_t kEth = 2, kIPv4 = 3, kTCP = 5, kUDP = 6, k8023 = 1;

class ProtoTree {
 public:
  ProtoTree() {
    std::vector<pspc::Node> nodes = {
        {k8023, 0, {}}, {kEth, 0, {}}, {kIPv4, kEth, {}}, {kTCP, kIPv4, {}}, {kUDP, kIPv4, {}}};
    std::vector<uint8_t> file;
    EXPECT_TRUE(pspc::encode(nodes, file));
    EXPECT_TRUE(pspc::writeFile(dir_.file("PSpc.bin"), file));
    EXPECT_EQ(protoSpec_InitProtoSpecUtils(dir_.file("PSpc.bin").c_str()), 0);
  }
  ~ProtoTree() { protoSpec_FreeProtoSpecUtils(); }
  ProtoTree(const ProtoTree&) = delete;
  ProtoTree& operator=(const ProtoTree&) = delete;

 private:
  corrana_test::TempDir dir_;
};

inline std::string wireS64(int64_t value) {
  uint64_t v = static_cast<uint64_t>(value);
  std::string out;
  for (int shift = 56; shift >= 0; shift -= 8) out += char(v >> shift);
  return out;
}
// A flag as the engine sends it: two bytes.
inline std::string wireBool(bool v) { return std::string(1, '\0') + char(v ? 1 : 0); }
inline std::string s64s(std::initializer_list<int64_t> values) {
  std::string out;
  for (int64_t v : values) out += wireS64(v);
  return out;
}

// One interval's network record, as the capture engine's network consumer fills it.
class Record {
 public:
  Record(uint32_t start, uint32_t stop, int pathTracking = 1)
      : record_(new OB_AllNetData(pathTracking)) {
    record_->init();
    record_->startTime = start;
    record_->stopTime = stop;
  }
  ~Record() { record_->release(); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  Record& totals(uint32_t packsSeen, uint32_t bytesSeen, uint32_t packsAccepted,
                 uint32_t bytesAccepted, uint32_t dropped) {
    record_->packsSeen = packsSeen;
    record_->bytesSeen = bytesSeen;
    record_->packsAccepted = packsAccepted;
    record_->bytesAccepted = bytesAccepted;
    record_->reportedDropped = dropped;
    return *this;
  }
  // `times` frames of `size` bytes from src to dst, classified as psid.
  Record& frames(uint32_t src, uint32_t dst, uint16_t psid, uint16_t size, int times = 1) {
    for (int i = 0; i < times; ++i) {
      OB_Packet packet;
      packet.srcIP = src;
      packet.dstIP = dst;
      packet.protoSpecId = psid;
      packet.packetSize = size;
      packet.ipFound = 1;
      record_->processObject(&packet);
    }
    return *this;
  }
  OB_AllNetData* get() { return record_; }

 private:
  OB_AllNetData* record_;
};

// Addresses of the configuration below.
constexpr uint32_t kWeb = ip(10, 0, 0, 80);     // HTTP server 0
constexpr uint32_t kFtp = ip(10, 0, 0, 21);     // FTP server 0
constexpr uint32_t kLanHost = ip(192, 168, 1, 7);
constexpr uint32_t kRemote = ip(172, 16, 0, 9);

inline void setNet(uint16_t* count, uint32_t* example, uint32_t* mask, uint32_t* network,
                   uint32_t address, uint32_t netmask) {
  example[*count] = address;
  mask[*count] = netmask;
  network[*count] = address & netmask;
  ++*count;
}

// HTTP servers 10.0.0.80 and .81; FTP server 10.0.0.21 (and 10.0.0.22 with `ftpServers` 2);
// group 0 the LAN 192.168.1.0/24, group 1 the servers' 10.0.0.0/24; subset 0 only
// 172.16.0.0/16, subset 1 everyone.
inline std::unique_ptr<OB_AEngineConfig> makeConfig(int ftpServers = 1) {
  auto config = stats_test::makeConfig(2, 2, 2);
  networkGroup_t* lan = config->networkGroups[0];
  setNet(&lan->numOfNets, lan->exampleAddress, lan->maskAddress, lan->network, ip(192, 168, 1, 0),
         ip(255, 255, 255, 0));
  networkGroup_t* servers = config->networkGroups[1];
  setNet(&servers->numOfNets, servers->exampleAddress, servers->maskAddress, servers->network,
         ip(10, 0, 0, 0), ip(255, 255, 255, 0));
  XSubset_t* remote = config->xSubSets[0];
  remote->acceptMatching = 1;
  setNet(&remote->numOfNets, remote->exampleAddress, remote->maskAddress, remote->network,
         ip(172, 16, 0, 0), ip(255, 255, 0, 0));
  config->numOfFTPServers = static_cast<uint16_t>(ftpServers);
  config->ftpServers = stats_test::newArray<OB_FTPServer>(ftpServers);
  for (int i = 0; i < ftpServers; ++i) {
    config->ftpServers[i] = OB_FTPServer::create();
    config->ftpServers[i]->setIPAddress(kFtp + static_cast<uint32_t>(i));
  }
  return config;
}

}  // namespace net_test
