#include "FrameBuilder.h"

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>

namespace corrana_test {

namespace {

void put16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void put32(Bytes& out, uint32_t value) {
  put16(out, static_cast<uint16_t>(value >> 16));
  put16(out, static_cast<uint16_t>(value));
}

void set16(Bytes& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value);
}

Bytes paddedToWords(const Bytes& options) {
  Bytes padded = options;
  while (padded.size() % 4 != 0) padded.push_back(0);
  return padded;
}

uint32_t sumWords(const uint8_t* data, size_t length, uint32_t sum) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  return sum;
}

}  // namespace

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

uint32_t ipv4Address(const char* dotted) {
  in_addr address;
  if (inet_pton(AF_INET, dotted, &address) != 1) return 0;
  return ntohl(address.s_addr);
}

uint16_t internetChecksum(const uint8_t* data, size_t length, uint32_t initial) {
  uint32_t sum = sumWords(data, length, initial);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

Bytes tcpNop() { return {1}; }
Bytes tcpMss(uint16_t mss) { return {2, 4, static_cast<uint8_t>(mss >> 8), static_cast<uint8_t>(mss)}; }
Bytes tcpWindowScale(uint8_t shift) { return {3, 3, shift}; }
Bytes tcpSackPermitted() { return {4, 2}; }
Bytes tcpTimestamps(uint32_t value, uint32_t echo) {
  Bytes option{8, 10};
  put32(option, value);
  put32(option, echo);
  return option;
}

Bytes ipv4Option(uint8_t type, const Bytes& data) {
  if (type <= 1) return {type};
  Bytes option{type, static_cast<uint8_t>(data.size() + 2)};
  option.insert(option.end(), data.begin(), data.end());
  return option;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

FrameBuilder& FrameBuilder::ethernet(const EthernetHeader& header) {
  ethernet_ = header;
  return *this;
}

FrameBuilder& FrameBuilder::ipv4(const Ipv4Header& header) {
  ipv4_ = header;
  return *this;
}

FrameBuilder& FrameBuilder::tcp(const TcpHeader& header) {
  tcp_ = header;
  return *this;
}

FrameBuilder& FrameBuilder::payload(const Bytes& data) {
  payload_ = data;
  return *this;
}

FrameBuilder& FrameBuilder::payload(std::string_view text) { return payload(bytesOf(text)); }

FrameBuilder& FrameBuilder::padTo(size_t frameLength) {
  padTo_ = frameLength;
  return *this;
}

FrameBuilder& FrameBuilder::truncateTo(size_t capturedLength) {
  truncateTo_ = capturedLength;
  return *this;
}

// The TCP segment (with its checksum over the IPv4 pseudo header) or the bare payload.
Bytes FrameBuilder::ipPayload() const {
  if (!tcp_) return payload_;
  const TcpHeader& t = *tcp_;
  Bytes options = paddedToWords(t.options);
  Bytes segment;
  put16(segment, t.sourcePort);
  put16(segment, t.destinationPort);
  put32(segment, t.seq);
  put32(segment, t.ack);
  uint8_t words = t.dataOffsetWords.value_or(static_cast<uint8_t>(5 + options.size() / 4));
  segment.push_back(static_cast<uint8_t>(words << 4));
  segment.push_back(t.flags);
  put16(segment, t.window);
  put16(segment, 0);
  put16(segment, t.urgent);
  segment.insert(segment.end(), options.begin(), options.end());
  segment.insert(segment.end(), payload_.begin(), payload_.end());
  uint16_t checksum = 0;
  if (t.checksum) {
    checksum = *t.checksum;
  } else if (ipv4_) {
    Bytes pseudo;
    put32(pseudo, ipv4_->source);
    put32(pseudo, ipv4_->destination);
    put16(pseudo, ipv4_->protocol);
    put16(pseudo, static_cast<uint16_t>(segment.size()));
    checksum = internetChecksum(segment.data(), segment.size(),
                                sumWords(pseudo.data(), pseudo.size(), 0));
  }
  set16(segment, 16, checksum);
  return segment;
}

Bytes FrameBuilder::ipDatagram(const Bytes& payload, uint16_t offsetUnits,
                               bool moreFragments) const {
  const Ipv4Header& h = *ipv4_;
  Bytes options = paddedToWords(h.options);
  Bytes datagram;
  uint8_t words = h.headerWords.value_or(static_cast<uint8_t>(5 + options.size() / 4));
  datagram.push_back(static_cast<uint8_t>(0x40 | (words & 0x0F)));
  datagram.push_back(h.tos);
  put16(datagram, h.totalLength.value_or(
                      static_cast<uint16_t>(20 + options.size() + payload.size())));
  put16(datagram, h.id);
  uint16_t fragment = static_cast<uint16_t>(offsetUnits & 0x1FFF);
  if (h.dontFragment) fragment |= 0x4000;
  if (moreFragments) fragment |= 0x2000;
  put16(datagram, fragment);
  datagram.push_back(h.ttl);
  datagram.push_back(h.protocol);
  put16(datagram, 0);
  put32(datagram, h.source);
  put32(datagram, h.destination);
  datagram.insert(datagram.end(), options.begin(), options.end());
  set16(datagram, 10, h.checksum.value_or(internetChecksum(datagram.data(), datagram.size())));
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  return datagram;
}

Bytes FrameBuilder::frameAround(const Bytes& networkBytes) const {
  const EthernetHeader& e = ethernet_;
  Bytes frame(e.destination.begin(), e.destination.end());
  frame.insert(frame.end(), e.source.begin(), e.source.end());
  if (e.vlanTag) {
    put16(frame, kEtherTypeVlan);
    put16(frame, *e.vlanTag);
  }
  if (e.llcSnap) {
    put16(frame, static_cast<uint16_t>(8 + networkBytes.size()));
    frame.insert(frame.end(), {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00});
  }
  put16(frame, e.etherType);
  frame.insert(frame.end(), networkBytes.begin(), networkBytes.end());
  if (frame.size() < padTo_) frame.resize(padTo_, 0);
  return frame;
}

Bytes FrameBuilder::wireBytes() const {
  Bytes inner = ipPayload();
  return frameAround(ipv4_ ? ipDatagram(inner, ipv4_->fragmentOffset, ipv4_->moreFragments)
                           : inner);
}

Frame FrameBuilder::build(uint64_t time) const {
  Frame frame;
  frame.time = time;
  frame.bytes = wireBytes();
  frame.wireLength = static_cast<uint32_t>(frame.bytes.size());
  if (truncateTo_ && *truncateTo_ < frame.bytes.size()) frame.bytes.resize(*truncateTo_);
  return frame;
}

std::vector<Frame> FrameBuilder::buildFragments(size_t maxFragmentPayload, uint64_t time) const {
  if (!ipv4_) throw std::logic_error("buildFragments needs an IPv4 header");
  size_t piece = maxFragmentPayload / 8 * 8;
  if (piece == 0) throw std::logic_error("fragments hold at least 8 bytes");
  Bytes whole = ipPayload();
  std::vector<Frame> frames;
  for (size_t at = 0; at < whole.size() || frames.empty(); at += piece) {
    size_t length = std::min(piece, whole.size() - at);
    Bytes part(whole.begin() + static_cast<std::ptrdiff_t>(at),
               whole.begin() + static_cast<std::ptrdiff_t>(at + length));
    bool more = at + length < whole.size() || ipv4_->moreFragments;
    Frame frame;
    frame.time = time;
    frame.bytes = frameAround(ipDatagram(
        part, static_cast<uint16_t>(ipv4_->fragmentOffset + at / 8), more));
    frame.wireLength = static_cast<uint32_t>(frame.bytes.size());
    frames.push_back(std::move(frame));
    if (length == 0) break;
  }
  return frames;
}

TcpConversation::TcpConversation(Endpoint client, Endpoint server, uint64_t startTime,
                                 uint32_t clientIsn, uint32_t serverIsn)
    : client_(client), server_(server), time_(startTime), clientSeq_(clientIsn),
      serverSeq_(serverIsn) {}

TcpConversation& TcpConversation::step(uint64_t microseconds) {
  step_ = microseconds;
  return *this;
}

TcpConversation& TcpConversation::at(uint64_t time) {
  time_ = time;
  return *this;
}

uint64_t TcpConversation::nextTime() {
  uint64_t now = time_;
  time_ += step_;
  return now;
}

TcpConversation& TcpConversation::segment(Side from, uint8_t flags, const Bytes& payload,
                                          const Bytes& tcpOptions) {
  const Endpoint& self = from == kClient ? client_ : server_;
  const Endpoint& peer = from == kClient ? server_ : client_;
  uint32_t& seq = from == kClient ? clientSeq_ : serverSeq_;
  uint32_t peerSeq = from == kClient ? serverSeq_ : clientSeq_;
  EthernetHeader ethernet;
  ethernet.source = self.mac;
  ethernet.destination = peer.mac;
  Ipv4Header ip;
  ip.source = self.address;
  ip.destination = peer.address;
  ip.id = ipId_++;
  ip.dontFragment = true;
  TcpHeader tcp;
  tcp.sourcePort = self.port;
  tcp.destinationPort = peer.port;
  tcp.seq = seq;
  tcp.ack = (flags & kAck) != 0 ? peerSeq : 0;
  tcp.flags = flags;
  tcp.options = tcpOptions;
  frames_.push_back(FrameBuilder().ethernet(ethernet).ipv4(ip).tcp(tcp).payload(payload).build(
      nextTime()));
  Bytes& data = from == kClient ? clientData_ : serverData_;
  data.insert(data.end(), payload.begin(), payload.end());
  seq += static_cast<uint32_t>(payload.size());
  if ((flags & (kSyn | kFin)) != 0) seq += 1;
  return *this;
}

TcpConversation& TcpConversation::handshake() {
  segment(kClient, kSyn, {}, tcpMss(1460));
  segment(kServer, kSyn | kAck, {}, tcpMss(1460));
  return segment(kClient, kAck);
}

TcpConversation& TcpConversation::send(Side from, const Bytes& data, size_t segmentSize) {
  if (segmentSize == 0) throw std::logic_error("segments hold at least one byte");
  for (size_t at = 0; at < data.size(); at += segmentSize) {
    size_t length = std::min(segmentSize, data.size() - at);
    bool last = at + length == data.size();
    Bytes part(data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(at + length));
    segment(from, last ? kAck | kPsh : kAck, part);
  }
  return *this;
}

TcpConversation& TcpConversation::send(Side from, std::string_view text, size_t segmentSize) {
  return send(from, bytesOf(text), segmentSize);
}

TcpConversation& TcpConversation::ack(Side from) { return segment(from, kAck); }

TcpConversation& TcpConversation::fin(Side from) { return segment(from, kFin | kAck); }

TcpConversation& TcpConversation::rst(Side from) { return segment(from, kRst | kAck); }

TcpConversation& TcpConversation::close(Side initiator) {
  Side peer = initiator == kClient ? kServer : kClient;
  fin(initiator);
  fin(peer);
  return ack(initiator);
}

TcpConversation& TcpConversation::skip(Side from, uint32_t bytes) {
  (from == kClient ? clientSeq_ : serverSeq_) += bytes;
  return *this;
}

TcpConversation& TcpConversation::retransmit(size_t index) {
  Frame again = frames_.at(index);
  again.time = nextTime();
  frames_.push_back(std::move(again));
  return *this;
}

TcpConversation& TcpConversation::swap(size_t first, size_t second) {
  std::swap(frames_.at(first).bytes, frames_.at(second).bytes);
  std::swap(frames_.at(first).wireLength, frames_.at(second).wireLength);
  return *this;
}

TcpConversation& TcpConversation::remove(size_t index) {
  if (index >= frames_.size()) throw std::out_of_range("no such frame");
  frames_.erase(frames_.begin() + static_cast<std::ptrdiff_t>(index));
  return *this;
}

}  // namespace corrana_test
