// Builds Ethernet frames for tests: Ethernet II or 802.3 LLC/SNAP (optionally VLAN-tagged)
// carrying IPv4 and TCP or any other payload, with lengths and checksums filled in unless a test
// overrides them, plus padding, truncation and IPv4 fragments. TcpConversation builds whole
// time-stamped TCP conversations on top. Used by the capture driver, packet decoder and TCP
// session tests; PcapWriter.h turns the frames into savefiles.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corrana_test {

using Bytes = std::vector<uint8_t>;
using MacAddress = std::array<uint8_t, 6>;

Bytes bytesOf(std::string_view text);
// Host-order IPv4 address of "a.b.c.d"; 0 for a malformed text.
uint32_t ipv4Address(const char* dotted);

// One captured frame: its time (µs since 1970), the captured bytes and its length on the wire
// (at least bytes.size(); more when the capture was truncated).
struct Frame {
  uint64_t time = 0;
  Bytes bytes;
  uint32_t wireLength = 0;
};

enum TcpFlag : uint8_t {
  kFin = 0x01,
  kSyn = 0x02,
  kRst = 0x04,
  kPsh = 0x08,
  kAck = 0x10,
  kUrg = 0x20,
  kEce = 0x40,
  kCwr = 0x80,
};

inline constexpr uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr uint16_t kEtherTypeArp = 0x0806;
inline constexpr uint16_t kEtherTypeVlan = 0x8100;
inline constexpr uint8_t kIpProtocolTcp = 6;
inline constexpr uint8_t kIpProtocolUdp = 17;

struct EthernetHeader {
  MacAddress destination{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
  MacAddress source{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  uint16_t etherType = kEtherTypeIpv4;
  // 802.3: a length field, then LLC AA AA 03 and SNAP OUI 00 00 00 with etherType.
  bool llcSnap = false;
  std::optional<uint16_t> vlanTag;  // 802.1Q tag control (priority and VLAN id)
};

struct Ipv4Header {
  uint32_t source = 0;  // host order
  uint32_t destination = 0;
  uint8_t protocol = kIpProtocolTcp;
  uint8_t ttl = 64;
  uint8_t tos = 0;
  uint16_t id = 0;
  bool dontFragment = false;
  bool moreFragments = false;
  uint16_t fragmentOffset = 0;  // in 8-byte units
  Bytes options;                // padded with zeros (end of options) to whole words
  // Overrides of the computed fields, for malformed headers.
  std::optional<uint8_t> headerWords;  // IHL
  std::optional<uint16_t> totalLength;
  std::optional<uint16_t> checksum;
};

struct TcpHeader {
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint8_t flags = kAck;
  uint16_t window = 65535;
  uint16_t urgent = 0;
  Bytes options;  // padded with zeros (end of options) to whole words
  std::optional<uint8_t> dataOffsetWords;
  std::optional<uint16_t> checksum;
};

// TCP options, to be joined into TcpHeader::options.
Bytes tcpNop();
Bytes tcpMss(uint16_t mss);
Bytes tcpWindowScale(uint8_t shift);
Bytes tcpSackPermitted();
Bytes tcpTimestamps(uint32_t value, uint32_t echo);
// An IPv4 option of the given type with its length byte and data (type only for 0 and 1).
Bytes ipv4Option(uint8_t type, const Bytes& data = {});
Bytes concat(std::initializer_list<Bytes> parts);

// Lays the headers given, then the payload: with a TCP header the payload is TCP data; with only
// an IPv4 header it is the IP payload; with neither it follows the Ethernet header directly.
class FrameBuilder {
 public:
  FrameBuilder& ethernet(const EthernetHeader& header);
  FrameBuilder& ipv4(const Ipv4Header& header);
  FrameBuilder& tcp(const TcpHeader& header);
  FrameBuilder& payload(const Bytes& data);
  FrameBuilder& payload(std::string_view text);
  // Zero bytes after the IP datagram up to this frame length (not counted in the IP length).
  FrameBuilder& padTo(size_t frameLength);
  // Keeps only the first capturedLength bytes; the wire length stays the full length.
  FrameBuilder& truncateTo(size_t capturedLength);
  // Whole bytes of the frame as it is on the wire (padding included, truncation ignored).
  Bytes wireBytes() const;
  Frame build(uint64_t time = 0) const;
  // The datagram cut into IPv4 fragments whose payloads hold at most maxFragmentPayload bytes
  // (rounded down to a multiple of 8), each with the same headers and its offset and
  // more-fragments flag set. Needs an IPv4 header.
  std::vector<Frame> buildFragments(size_t maxFragmentPayload, uint64_t time = 0) const;

 private:
  Bytes ipPayload() const;
  Bytes ipDatagram(const Bytes& payload, uint16_t offsetUnits, bool moreFragments) const;
  Bytes frameAround(const Bytes& networkBytes) const;

  EthernetHeader ethernet_;
  std::optional<Ipv4Header> ipv4_;
  std::optional<TcpHeader> tcp_;
  Bytes payload_;
  size_t padTo_ = 0;
  std::optional<size_t> truncateTo_;
};

// Internet checksum (one's complement of the one's complement sum) of the bytes.
uint16_t internetChecksum(const uint8_t* data, size_t length, uint32_t initial = 0);

// A TCP conversation between a client and a server, built frame by frame with time stamps that
// advance by a fixed step. Sequence numbers follow what each side has sent; ACKs carry what the
// peer has sent. Frames can be re-sent, reordered or removed afterwards.
class TcpConversation {
 public:
  enum Side { kClient, kServer };
  struct Endpoint {
    uint32_t address;  // host order
    uint16_t port;
    MacAddress mac;
  };

  TcpConversation(Endpoint client, Endpoint server, uint64_t startTime = 1700000000000000ull,
                  uint32_t clientIsn = 1000, uint32_t serverIsn = 500000);

  // Time between consecutive frames in µs (default 1000).
  TcpConversation& step(uint64_t microseconds);
  // The next frame's time; later frames follow it by the step.
  TcpConversation& at(uint64_t time);
  // SYN (with MSS 1460), SYN/ACK (MSS 1460), ACK.
  TcpConversation& handshake();
  // The data in segments of at most segmentSize bytes, each with ACK, the last also with PSH.
  TcpConversation& send(Side from, const Bytes& data, size_t segmentSize = 1460);
  TcpConversation& send(Side from, std::string_view text, size_t segmentSize = 1460);
  // A bare ACK of everything the peer has sent.
  TcpConversation& ack(Side from);
  // One segment with these flags and payload at the side's next sequence number (SYN and FIN
  // take one number each); ACK carries the peer's next number when kAck is among the flags.
  TcpConversation& segment(Side from, uint8_t flags, const Bytes& payload = {},
                           const Bytes& tcpOptions = {});
  // FIN/ACK from one side.
  TcpConversation& fin(Side from);
  // RST/ACK from one side.
  TcpConversation& rst(Side from);
  // FIN/ACK from initiator, FIN/ACK from the peer, ACK from the initiator.
  TcpConversation& close(Side initiator = kClient);
  // Moves a side's next sequence number on without sending (bytes lost before capture).
  TcpConversation& skip(Side from, uint32_t bytes);

  // Sends frame index again (same bytes) at the next time.
  TcpConversation& retransmit(size_t index);
  // Exchanges the bytes of two frames; the times stay in order.
  TcpConversation& swap(size_t first, size_t second);
  TcpConversation& remove(size_t index);

  const std::vector<Frame>& frames() const { return frames_; }
  size_t size() const { return frames_.size(); }
  uint32_t nextSeq(Side side) const { return side == kClient ? clientSeq_ : serverSeq_; }
  // Every payload byte the side has sent, in order (retransmissions not repeated).
  const Bytes& sent(Side side) const { return side == kClient ? clientData_ : serverData_; }

 private:
  uint64_t nextTime();

  Endpoint client_;
  Endpoint server_;
  uint64_t time_;
  uint64_t step_ = 1000;
  uint32_t clientSeq_;
  uint32_t serverSeq_;
  uint16_t ipId_ = 1;
  Bytes clientData_;
  Bytes serverData_;
  std::vector<Frame> frames_;
};

}  // namespace corrana_test
