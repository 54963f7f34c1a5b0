// One captured Ethernet frame seen through its decoded Ethernet, IPv4 and TCP header fields. The
// capture engine keeps one reusable packet: per frame it calls reset, setPacketInfo, fills in the
// capture time, attaches a pooled payload buffer with setBuffer and fills it with copyBuffer. The
// stream builder and the TCP sessions read the decoded fields.
//
// The frame bytes belong to the capture driver and are valid only during the capture callback.
// The packet has no lock: the capture engine serialises the use of its one packet.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Buffer.h"
#include "OB_Object.h"

class OB_Packet : public virtual OB_Object {
 public:
  static OB_ClassID getClassID() { return 0xB2139192; }
  const char* getClassName() override { return "OB_Packet"; }
  // Its own identifier and OB_Object's; any other is asked of the attached payload buffer, so a
  // packet answers the faces of its buffer.
  int queryInterface(OB_ClassID id, void** out) override;
  OB_CLASS_CREATE(OB_Packet)

  static constexpr uint8_t kFIN = 0x01;
  static constexpr uint8_t kSYN = 0x02;
  static constexpr uint8_t kRST = 0x04;
  static constexpr uint8_t kPSH = 0x08;
  static constexpr uint8_t kACK = 0x10;
  static constexpr uint8_t kURG = 0x20;

  OB_Packet() = default;
  // Copies every field, the buffer pointer included (no reference is taken).
  OB_Packet(const OB_Packet&) = default;
  OB_Packet& operator=(const OB_Packet&) = default;

  // 1 when the four values equal the packet's source and destination, else 0.
  virtual int addressMatch(uint32_t srcIP, uint16_t srcPort, uint32_t dstIP, uint16_t dstPort);
  // Decodes the frame. length is the captured length, the bytes really present: nothing past it
  // is read. A frame whose IPv4 header is cut short or malformed is not IP; a TCP header that is
  // cut short or malformed, or a fragment other than the first, leaves the TCP fields and the
  // content size 0. Returns 0.
  virtual int setPacketInfo(const void* frame, int length);
  // Copies the TCP payload into the attached buffer when it fits the buffer and lies wholly in
  // the captured bytes; otherwise copies nothing (the buffer stays empty). 0, or -1 without a
  // buffer.
  virtual int copyBuffer();
  virtual uint8_t getCode() { return m_iCode; }
  virtual int isIP() { return ipFound; }
  virtual uint16_t getPacketSize() { return packetSize; }
  virtual uint16_t getContentSize() { return contentSize; }
  virtual uint8_t getIPType() { return ipType; }
  virtual const unsigned char* getPacketData() { return data; }
  // Attaches a payload buffer (no reference taken; an earlier one is not released) and sets its
  // sequence number to the packet's. 0, or -1 when it is not an OB_PacketBuffer.
  virtual int setBuffer(OB_Buffer* buffer);
  virtual OB_Buffer* getBuffer() { return buffer; }

  // Clears every field, releasing the attached buffer. 0.
  int reset() override;
  int print(FILE* stream) override;

  // Offset of the TCP payload in the frame (0 when there is none).
  uint32_t getPayloadOffset() const { return payloadOffset; }
  // Whether the whole TCP payload lies in the captured bytes.
  bool isPayloadCaptured() const {
    return payloadOffset != 0 && payloadOffset <= capturedLength &&
           contentSize <= capturedLength - payloadOffset;
  }
  // Makes the packet stand for the payload bytes [offset, offset + length) of the decoded
  // segment as if they had come as a segment of their own: sequence number, content size,
  // payload offset and size follow; SYN stays only on the piece that begins the payload, FIN and
  // RST only on the one that ends it. selectPayload(0, whole content size) restores the segment.
  // The attached buffer is left alone. 0, or -1 (nothing changed) for bytes outside the payload.
  int selectPayload(uint32_t offset, uint32_t length);
  // Whether the selected payload begins where the segment's payload begins.
  bool startsSegment() const { return seqno == segmentSeqno; }

  // Decoded fields, host byte order. Set by setPacketInfo, except the capture time, which the
  // capture engine sets.
  uint32_t tv_sec = 0;   // seconds since 1970
  uint32_t tv_usec = 0;  // microseconds within the second
  uint32_t srcIP = 0;
  uint32_t dstIP = 0;
  uint16_t protoSpecId = 0xFFFF;  // deepest protocol-spec node that matched; 0 after reset
  uint32_t seqno = 0;
  uint32_t ackno = 0;
  uint16_t srcPort = 0;
  uint16_t dstPort = 0;
  uint8_t ipType = 0;        // IP protocol number, 6 for TCP
  uint16_t packetSize = 0;   // captured frame length (low 16 bits)
  uint16_t contentSize = 0;  // TCP payload length as the IP and TCP headers give it
  uint8_t m_iCode = 0;       // the six TCP flag bits
  int ipFound = 0;           // 1 when the frame carries a well-formed IPv4 header
  const unsigned char* data = nullptr;  // not owned; valid during the capture callback only

 private:
  // Every field that setPacketInfo fills, so each decode starts clean.
  void clearDecoded();

  OB_Buffer* buffer = nullptr;   // owned once attached: reset releases it
  uint32_t capturedLength = 0;   // bytes of the frame really present
  uint32_t payloadOffset = 0;
  // The decoded segment as a whole, for selectPayload.
  uint32_t segmentSeqno = 0;
  uint16_t segmentContentSize = 0;
  uint32_t segmentPayloadOffset = 0;
  uint8_t segmentCode = 0;
  uint16_t segmentPacketSize = 0;
};
