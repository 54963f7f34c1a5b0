// makePSpc: writes the protocol-spec tree that the monitor ships, "PSpc.bin", to the path given
// (the build writes it to <build>/Monitor/conf/admin/PSpc.bin, the default install directory of
// the programs built beside it, and installs it to conf/admin). The network statistics count
// frames per node of this tree and roll counts up to the parents.
//
// Usage: makePSpc OUTPUT   (makePSpc --help prints the usage)
//
// The tree (id: node; children indented). Roots 1 and 2 carry no tests: the packet decoder picks
// root 1 for frames whose type/length field is 1500 or less, root 2 for all others.
//
//    1  IEEE 802.3
//      10  IPv4 over 802.2 LLC      bytes 14-15 = 06 06, IPv4 header at 17
//        11  TCP
//          12  HTTP                 source or destination port 80
//          13  FTP                  source or destination port 21 (control connection)
//      30  IPv4 over 802.2 SNAP     bytes 14-21 = AA AA 03 00 00 00 08 00, IPv4 header at 22
//        31  TCP
//          32  HTTP
//          33  FTP
//    2  Ethernet II
//      20  IPv4                     type 0x0800, IPv4 header at 14
//        21  TCP
//          22  HTTP
//          23  FTP
//
// IPv4: version 4 with a header length of 20 to 60 bytes (one alternative per length).
// TCP: protocol 6 in a packet that is not a later fragment (fragment offset 0), since only the
// first fragment starts with the TCP header. HTTP and FTP: one alternative per IPv4 header length
// and port side, because the TCP header's place depends on that length. Frames cut before a tested
// byte stop at the deepest node whose tests they still pass.
//
// To classify something more, add its node here with a new id and its parent's id; a node must
// follow its parent in the file.
#include <cstdio>
#include <cstring>
#include <vector>

#include "PSpcWriter.h"

namespace {

using pspc::Alternative;
using pspc::Node;
using pspc::Test;

constexpr const char* kUsage =
    "usage: makePSpc OUTPUT\n"
    "Writes the protocol-spec tree the monitor ships (PSpc.bin) to the file OUTPUT.\n"
    "  --help   print this and exit\n";

constexpr uint16_t kIPv4 = 0, kTCP = 1, kHTTP = 2, kFTP = 3;

// Version 4, header length 5..15 words: one alternative each, after the encapsulation's tests.
std::vector<Alternative> ipv4(const Alternative& encapsulation, uint16_t ip) {
  std::vector<Alternative> alternatives;
  for (uint8_t ihl = 5; ihl <= 15; ++ihl) {
    Alternative alt = encapsulation;
    alt.push_back({ip, 0xFF, static_cast<uint8_t>(0x40 | ihl)});
    alternatives.push_back(alt);
  }
  return alternatives;
}

std::vector<Alternative> tcp(uint16_t ip) {
  return {{{static_cast<uint16_t>(ip + 9), 0xFF, 6},
           {static_cast<uint16_t>(ip + 6), 0x1F, 0},
           {static_cast<uint16_t>(ip + 7), 0xFF, 0}}};
}

std::vector<Alternative> port(uint16_t ip, uint16_t number) {
  std::vector<Alternative> alternatives;
  for (uint8_t ihl = 5; ihl <= 15; ++ihl) {
    const uint16_t tcpAt = static_cast<uint16_t>(ip + 4 * ihl);
    for (uint16_t side : {0, 2}) {  // source port, destination port
      alternatives.push_back({{ip, 0x0F, ihl},
                              {static_cast<uint16_t>(tcpAt + side), 0xFF,
                               static_cast<uint8_t>(number >> 8)},
                              {static_cast<uint16_t>(tcpAt + side + 1), 0xFF,
                               static_cast<uint8_t>(number & 0xFF)}});
    }
  }
  return alternatives;
}

// IPv4, TCP, HTTP and FTP below parent, with ids base + 0..3.
void addIPBranch(std::vector<Node>& nodes, uint16_t parent, uint16_t base,
                 const Alternative& encapsulation, uint16_t ip) {
  nodes.push_back({static_cast<uint16_t>(base + kIPv4), parent, ipv4(encapsulation, ip)});
  nodes.push_back({static_cast<uint16_t>(base + kTCP), static_cast<uint16_t>(base + kIPv4), tcp(ip)});
  nodes.push_back({static_cast<uint16_t>(base + kHTTP), static_cast<uint16_t>(base + kTCP), port(ip, 80)});
  nodes.push_back({static_cast<uint16_t>(base + kFTP), static_cast<uint16_t>(base + kTCP), port(ip, 21)});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  // An option is never taken for the output file's name.
  if (argc == 2 && argv[1][0] == '-') fprintf(stderr, "makePSpc: unknown option %s\n", argv[1]);
  if (argc != 2 || argv[1][0] == '-') {
    fputs(kUsage, stderr);
    return 2;
  }
  std::vector<Node> nodes;
  nodes.push_back({1, 0, {}});
  nodes.push_back({2, 0, {}});
  addIPBranch(nodes, 1, 10, {{14, 0xFF, 0x06}, {15, 0xFF, 0x06}}, 17);
  addIPBranch(nodes, 1, 30,
              {{14, 0xFF, 0xAA}, {15, 0xFF, 0xAA}, {16, 0xFF, 0x03}, {17, 0xFF, 0x00},
               {18, 0xFF, 0x00}, {19, 0xFF, 0x00}, {20, 0xFF, 0x08}, {21, 0xFF, 0x00}},
              22);
  addIPBranch(nodes, 2, 20, {{12, 0xFF, 0x08}, {13, 0xFF, 0x00}}, 14);

  std::vector<uint8_t> bytes;
  if (!pspc::encode(nodes, bytes)) {
    fprintf(stderr, "makePSpc: the tree can't be encoded\n");
    return 1;
  }
  if (!pspc::writeFile(argv[1], bytes)) {
    perror("makePSpc");
    remove(argv[1]);
    return 1;
  }
  return 0;
}
