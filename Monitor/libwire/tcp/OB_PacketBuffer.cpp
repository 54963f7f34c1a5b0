#include "tcp/OB_PacketBuffer.h"

int OB_PacketBuffer::trimFront(uint32_t count) {
  uint32_t length = getLength();
  if (count == 0) return 0;
  segmentStart_ = false;
  if (count >= length) {
    seqNo_ += length;
    return OB_Buffer::reset();
  }
  seqNo_ += count;
  // copyBuffer moves overlapping bytes safely.
  return OB_Buffer::copyBuffer(getBuffer() + count, length - count);
}

int OB_PacketBuffer::trimBack(uint32_t count) {
  if (count >= getLength()) return 0;
  return OB_Buffer::copyBuffer(getBuffer(), count);
}

int OB_PacketBuffer::reset() {
  seqNo_ = 0;
  ackNo_ = 0;
  acked_ = false;
  segmentStart_ = false;
  return OB_Buffer::reset();
}
