#include "OB_PacketStream.h"

#include "OB_Log.h"
#include "OB_PacketBuffer.h"
#include "OB_Tools.h"

namespace {

// Serial-number order of 32-bit sequence numbers: correct across the wrap at 2^32 as long as
// the two lie less than 2^31 apart.
inline int32_t seqDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

inline OB_PacketBuffer* storedBuffer(OB_Link<OB_Object>* link) {
  return obQuery<OB_PacketBuffer>(link->getItemObject());
}

}  // namespace

OB_PacketStream::OB_PacketStream() { clearFields(); }

void OB_PacketStream::clearFields() {
  xIPAddr = 0;
  xPort = 0;
  xStatus = 0;
  xTtlPkts = 0;
  xErrPkts = 0;
  xRepPkts = 0;
  xRanAcks = 0;
  xZeroLen = 0;
  xBytXfer = 0;
  xFinAck = 0;
  xMinSeq = 0xFFFFFFFF;
  xMaxSeq = 0;
  xOutOfOrder = 0;
  xBeginSynch = OB_PacketTime();
  xAckSynch = OB_PacketTime();
  xBeginTime = OB_PacketTime();
  xEndTime = OB_PacketTime();
}

int OB_PacketStream::init() {
  clearFields();
  return 0;
}

int OB_PacketStream::reset() {
  OB_BufferStream::reset();
  clearFields();
  return 0;
}

int OB_PacketStream::add(OB_Packet* packet) {
  if (packet == nullptr) return 0;
  OB_Buffer* buffer = packet->getBuffer();
  if (buffer == nullptr || buffer->getLength() == 0) return 0;
  total_ += buffer->getLength();
  xEndTime.tv_sec = packet->tv_sec;
  xEndTime.tv_usec = packet->tv_usec;

  OB_PacketBuffer* incoming = obQuery<OB_PacketBuffer>(buffer);
  if (incoming == nullptr) return 0;
  incoming->setSeqNo(packet->seqno);

  OB_MutexHold hold(&buffers_);
  OB_Object* item = static_cast<OB_Object*>(buffer);
  // As last() would, but without asking the tail's item for a face it already has.
  Link* before = buffers_.getLastLink();
  buffers_.setCurrentLink(before);
  if (before == nullptr) {
    buffer->addRef();
    buffers_.append(item);
    return 0;
  }

  // The last stored buffer that starts at or before the new one; in-order arrival stops at once.
  while (before != nullptr) {
    OB_PacketBuffer* stored = storedBuffer(before);
    if (stored != nullptr && seqDiff(incoming->getSeqNo(), stored->getSeqNo()) >= 0) break;
    before = before->getPrev();
  }
  if (before == nullptr) return 0;  // starts below the first stored segment

  // Cut what the stored buffers already hold from the front, stepping over every stored buffer
  // that the new one starts inside of or after.
  Link* after = nullptr;
  for (;;) {
    OB_PacketBuffer* stored = storedBuffer(before);
    const uint32_t storedEnd = stored->getSeqNo() + stored->getLength();
    const int32_t overlap = seqDiff(storedEnd, incoming->getSeqNo());
    if (overlap > 0) {
      if (static_cast<uint32_t>(overlap) >= incoming->getLength()) {
        ++xRepPkts;
        return 0;
      }
      incoming->trimFront(static_cast<uint32_t>(overlap));
    }
    after = before->getNext();
    OB_PacketBuffer* following = after != nullptr ? storedBuffer(after) : nullptr;
    if (following == nullptr || seqDiff(following->getSeqNo(), incoming->getSeqNo()) > 0) break;
    before = after;
  }

  if (after == nullptr) {
    buffer->addRef();
    buffers_.append(item);
    return 0;
  }
  // Keep only the bytes of the gap before the following stored buffer.
  if (OB_PacketBuffer* following = storedBuffer(after); following != nullptr) {
    const uint32_t room =
        static_cast<uint32_t>(seqDiff(following->getSeqNo(), incoming->getSeqNo()));
    if (room < incoming->getLength()) incoming->trimBack(room);
  }
  buffer->addRef();
  buffers_.setCurrentLink(after);
  buffers_.insert(item);
  ++xOutOfOrder;
  return 0;
}

int OB_PacketStream::hasGap(int fromSyn) {
  if ((xStatus & kSynSeen) == 0) return xTtlPkts > xZeroLen ? 1 : 0;
  uint32_t end = xMaxSeq - ((xStatus & kFinSeen) != 0 ? 1 : 0);
  OB_MutexHold hold(&buffers_);
  // From the last stored segment back to the first, each must end where the next one begins.
  for (Link* link = buffers_.getLastLink(); link != nullptr; link = link->getPrev()) {
    OB_PacketBuffer* stored = storedBuffer(link);
    if (stored == nullptr) continue;
    if (seqDiff(end, stored->getSeqNo() + stored->getLength()) > 0) return 1;
    end = stored->getSeqNo();
  }
  return fromSyn != 0 && seqDiff(end, xMinSeq + 1) > 0 ? 1 : 0;
}

int OB_PacketStream::print(FILE* stream) {
  char address[16];
  OB_Tools::IPAddressString(xIPAddr, address);
  OB_Log::flog(stream,
               "xIPAddr[%15s] xStatus[%4u]  xFinAck[%10u] xMinSeq[%10u] xMaxSeq[%10u] "
               "xBeginSynch[%10u] xAckSynch[%10u] xBeginTime[%10u] xEndTime[%10u]\n",
               address, xStatus, xFinAck, xMinSeq, xMaxSeq, xBeginSynch.tv_sec, xAckSynch.tv_sec,
               xBeginTime.tv_sec, xEndTime.tv_sec);
  return OB_BufferStream::print(stream);
}
