#include "tcp/OB_Packet.h"

#include "OB_Log.h"
#include "OB_Tools.h"
#include "tcp/OB_PacketBuffer.h"
#include "tcp/protoSpec.h"

namespace {

// Header fields are big-endian on the wire; frames carry them at any alignment.
inline uint16_t load16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t load32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

constexpr uint32_t kEthernetHeader = 14;
constexpr uint16_t kTypeIPv4 = 0x0800;
constexpr uint16_t kMax8023Length = 1500;
constexpr uint32_t kMinIPHeader = 20;
constexpr uint32_t kMinTCPHeader = 20;
constexpr uint8_t kProtocolTCP = 6;

// Where the IPv4 header starts, or 0 when the frame announces none that is present.
uint32_t findIPHeader(const unsigned char* frame, uint32_t length, uint16_t type) {
  if (type == kTypeIPv4) return kEthernetHeader;
  if (type > kMax8023Length) return 0;
  // 802.2 LLC with the IP service access point.
  if (length >= 16 && frame[14] == 0x06 && frame[15] == 0x06) return 17;
  // 802.2 SNAP carrying the IPv4 ethertype.
  static const unsigned char kSnapIPv4[8] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
  if (length >= 22) {
    for (int i = 0; i < 8; ++i) {
      if (frame[14 + i] != kSnapIPv4[i]) return 0;
    }
    return 22;
  }
  return 0;
}

}  // namespace

int OB_Packet::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == getClassID()) {
    *out = this;
    return 0;
  }
  if (OB_Object::queryInterface(id, out) == 0) return 0;
  if (buffer != nullptr) return buffer->queryInterface(id, out);
  *out = nullptr;
  return -1;
}

int OB_Packet::addressMatch(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport) {
  return src == srcIP && sport == srcPort && dst == dstIP && dport == dstPort ? 1 : 0;
}

int OB_Packet::setPacketInfo(const void* frame, int length) {
  clearDecoded();
  data = static_cast<const unsigned char*>(frame);
  capturedLength = (length > 0 && data != nullptr) ? static_cast<uint32_t>(length) : 0;
  packetSize = static_cast<uint16_t>(capturedLength);
  if (capturedLength < kEthernetHeader) return 0;

  const uint16_t type = load16(data + 12);
  protoSpecId = ComparePacketProtoSpec(
      data, capturedLength,
      type <= kMax8023Length ? protoSpec_GetRoot8023() : protoSpec_GetRootEthernetII());

  const uint32_t ip = findIPHeader(data, capturedLength, type);
  if (ip == 0 || capturedLength < ip + kMinIPHeader) return 0;
  const unsigned char* iph = data + ip;
  const uint32_t ihl = (iph[0] & 0x0Fu) * 4;
  if ((iph[0] >> 4) != 4 || ihl < kMinIPHeader || capturedLength < ip + ihl) return 0;

  ipFound = 1;
  srcIP = load32(iph + 12);
  dstIP = load32(iph + 16);
  ipType = iph[9];
  if (ipType != kProtocolTCP) return 0;

  // Only the first fragment starts with the TCP header.
  if ((load16(iph + 6) & 0x1FFF) != 0) return 0;

  const uint32_t total = load16(iph + 2);
  const uint32_t tcp = ip + ihl;
  if (capturedLength < tcp + kMinTCPHeader) return 0;
  const unsigned char* tcph = data + tcp;
  const uint32_t dataOffset = (tcph[12] >> 2) & 0x3C;
  if (dataOffset < kMinTCPHeader || capturedLength < tcp + dataOffset ||
      total < ihl + dataOffset) {
    return 0;
  }

  m_iCode = tcph[13] & 0x3F;
  srcPort = load16(tcph);
  dstPort = load16(tcph + 2);
  seqno = load32(tcph + 4);
  ackno = load32(tcph + 8);
  // A segment length of exactly one bare header carries nothing, whatever options the data
  // offset announces; otherwise the payload is what follows the TCP header.
  const uint32_t segmentLength = total - ihl;
  if (segmentLength > kMinTCPHeader) {
    contentSize = static_cast<uint16_t>(segmentLength - dataOffset);
    if (contentSize > 0) payloadOffset = tcp + dataOffset;
  }
  segmentSeqno = seqno;
  segmentContentSize = contentSize;
  segmentPayloadOffset = payloadOffset;
  segmentCode = m_iCode;
  segmentPacketSize = packetSize;
  return 0;
}

int OB_Packet::selectPayload(uint32_t offset, uint32_t length) {
  if (segmentPayloadOffset == 0 || offset > segmentContentSize ||
      length > segmentContentSize - offset) {
    return -1;
  }
  const bool whole = offset == 0 && length == segmentContentSize;
  seqno = segmentSeqno + offset;
  contentSize = static_cast<uint16_t>(length);
  payloadOffset = segmentPayloadOffset + offset;
  // A piece counts its headers and its own bytes.
  packetSize = whole ? segmentPacketSize : static_cast<uint16_t>(segmentPayloadOffset + length);
  m_iCode = segmentCode;
  if (offset != 0) m_iCode &= static_cast<uint8_t>(~kSYN);
  if (offset + length != segmentContentSize) m_iCode &= static_cast<uint8_t>(~(kFIN | kRST));
  return 0;
}

int OB_Packet::copyBuffer() {
  if (buffer == nullptr) return -1;
  if (contentSize == 0 || contentSize > buffer->getSize()) return 0;
  if (payloadOffset == 0 || payloadOffset > capturedLength ||
      contentSize > capturedLength - payloadOffset) {
    return 0;
  }
  return buffer->copyBuffer(data + payloadOffset, contentSize) == 0 ? 0 : -1;
}

int OB_Packet::setBuffer(OB_Buffer* newBuffer) {
  buffer = newBuffer;
  OB_PacketBuffer* packetBuffer = obQuery<OB_PacketBuffer>(newBuffer);
  if (packetBuffer == nullptr) return -1;
  return packetBuffer->setSeqNo(seqno);
}

void OB_Packet::clearDecoded() {
  srcIP = 0;
  dstIP = 0;
  protoSpecId = 0;
  seqno = 0;
  ackno = 0;
  srcPort = 0;
  dstPort = 0;
  ipType = 0;
  packetSize = 0;
  contentSize = 0;
  m_iCode = 0;
  ipFound = 0;
  data = nullptr;
  capturedLength = 0;
  payloadOffset = 0;
  segmentSeqno = 0;
  segmentContentSize = 0;
  segmentPayloadOffset = 0;
  segmentCode = 0;
  segmentPacketSize = 0;
}

int OB_Packet::reset() {
  clearDecoded();
  tv_sec = 0;
  tv_usec = 0;
  if (buffer != nullptr) {
    OB_Buffer* attached = buffer;
    buffer = nullptr;
    attached->release();
  }
  return 0;
}

int OB_Packet::print(FILE* stream) {
  char src[16];
  char dst[16];
  OB_Tools::IPAddressString(srcIP, src);
  OB_Tools::IPAddressString(dstIP, dst);
  OB_Log::flog(stream, "length: %4d", buffer != nullptr ? static_cast<int>(buffer->getLength()) : 0);
  OB_Log::flog(stream,
               "\n\nsrcIP:%s srcPort:%d dstIP:%s dstPort:%d seqno:%10u m_iCode:%d ipType:%d "
               "tv_sec:%10u ",
               src, srcPort, dst, dstPort, seqno, m_iCode, ipType, tv_sec);
  if (buffer != nullptr) buffer->print(stream);
  return 0;
}
