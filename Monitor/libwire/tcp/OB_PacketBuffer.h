// The payload copy of one TCP segment: an OB_Buffer that also remembers the sequence number of
// its first byte. The capture engine's pooled, fixed-capacity packet buffers derive from it and
// give it its storage; a packet stream keeps these buffers in sequence order.
#pragma once

#include <cstdint>

#include "OB_Buffer.h"

class OB_PacketBuffer : public virtual OB_Buffer {
  OB_CLASS_IDENTITY(OB_PacketBuffer, 0x2BE2BF95, "OB_PacketBuffer", OB_Buffer)

 public:
  OB_PacketBuffer() = default;
  // Shares the bytes of the original (data pointer, length and size), never duplicates them.
  OB_PacketBuffer(const OB_PacketBuffer&) = default;
  OB_PacketBuffer& operator=(const OB_PacketBuffer&) = default;

  virtual int setSeqNo(uint32_t seqNo) {
    seqNo_ = seqNo;
    return 0;
  }
  virtual uint32_t getSeqNo() { return seqNo_; }
  // The acknowledgement number the segment carried (valid when it had ACK set), and whether the
  // buffer's first byte is the first byte of the segment's payload: a parser that lost its place
  // learns from these what the sender had received when it sent the segment.
  void setSegment(bool acked, uint32_t ackNo, bool segmentStart) {
    acked_ = acked;
    ackNo_ = ackNo;
    segmentStart_ = segmentStart;
  }
  bool getAckNo(uint32_t* ackNo) const {
    *ackNo = ackNo_;
    return acked_;
  }
  bool startsSegment() const { return segmentStart_; }

  // Drops the first `count` bytes of the payload (they are covered elsewhere): the rest moves to
  // the front and the sequence number advances by count. Dropping everything leaves length 0.
  int trimFront(uint32_t count);
  // Keeps only the first `count` bytes of the payload.
  int trimBack(uint32_t count);

  // Sequence and acknowledgement numbers 0 and length 0; the storage stays. 0.
  int reset() override;

 private:
  uint32_t seqNo_ = 0;
  uint32_t ackNo_ = 0;
  bool acked_ = false;
  bool segmentStart_ = false;
};
