#include "tcp/OB_PacketStream.h"

#include "OB_Log.h"
#include "OB_Tools.h"
#include "tcp/OB_PacketBuffer.h"

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
  mayHaveGaps_ = false;
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

int OB_PacketStream::add(OB_Buffer* buffer) {
  // Whether it carries a sequence number or not, the walks answer for it.
  if (buffer != nullptr) mayHaveGaps_ = true;
  return OB_BufferStream::add(buffer);
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
  incoming->setSegment((packet->m_iCode & OB_Packet::kACK) != 0, packet->ackno,
                       packet->startsSegment());

  OB_MutexHold hold(&buffers_);
  OB_Object* item = static_cast<OB_Object*>(buffer);
  // A direction's payload begins right after its SYN: bytes before that (a retransmission from
  // before a cut, for a piece that continues one) are not the direction's to store.
  if ((xStatus & kSynSeen) != 0) {
    const int32_t early = seqDiff(xMinSeq + 1, packet->seqno);
    if (early > 0) {
      if (static_cast<uint32_t>(early) >= incoming->getLength()) {
        ++xRepPkts;
        return 0;
      }
      incoming->trimFront(static_cast<uint32_t>(early));
    }
  }
  // As last() would, but without asking the tail's item for a face it already has.
  Link* before = buffers_.getLastLink();
  buffers_.setCurrentLink(before);
  if (before == nullptr) {
    buffer->addRef();
    buffers_.append(item);
    return 0;
  }

  // The last stored buffer that starts at or before the new one; in-order arrival stops at once.
  OB_PacketBuffer* stored = nullptr;  // before's buffer, asked for once
  while (before != nullptr) {
    stored = storedBuffer(before);
    if (stored != nullptr && seqDiff(incoming->getSeqNo(), stored->getSeqNo()) >= 0) break;
    before = before->getPrev();
  }
  if (before == nullptr) {
    // Below the first stored segment. After a SYN it is the direction's start arriving late
    // (its first segments swapped), and goes first; without one the direction's start is not
    // known, and what came first stays first.
    if ((xStatus & kSynSeen) != 0) insertBefore(firstLink(), incoming, buffer);
    return 0;
  }

  // Cut what the stored buffers already hold from the front, stepping over every stored buffer
  // that the new one starts inside of or after.
  Link* after = nullptr;
  uint32_t storedEnd = 0;  // one past stored's last byte
  for (;;) {
    storedEnd = stored->getSeqNo() + stored->getLength();
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
    stored = following;
  }

  if (after == nullptr) {
    // After the last stored buffer: in order, and without a gap when it begins where that ends.
    if (storedEnd != incoming->getSeqNo()) mayHaveGaps_ = true;
    buffer->addRef();
    buffers_.append(item);
    return 0;
  }
  insertBefore(after, incoming, buffer);
  return 0;
}

namespace {

// The bytes an earlier piece carried over: storage of its own, freed with its last user.
class CarriedBuffer : public OB_PacketBuffer, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(CarriedBuffer, 0x411CDB0A, "CarriedBuffer", OB_PacketBuffer,
                    OB_ReferenceCounter)

 public:
  CarriedBuffer() = default;
  ~CarriedBuffer() override { resetBuffer(); }
};

}  // namespace

int OB_PacketStream::prependCarried(const unsigned char* data, uint32_t n, uint32_t seq) {
  if (data == nullptr || n == 0) return -1;
  CarriedBuffer* carried = new CarriedBuffer();  // null when out of memory
  if (carried == nullptr) return -1;
  if (carried->initBuffer(n) != 0 || carried->copyBuffer(data, n) != 0) {
    delete carried;
    return -1;
  }
  carried->setSeqNo(seq);
  carried->setSegment(false, 0, false);
  OB_MutexHold hold(&buffers_);
  // The list holds the one reference the buffer starts with.
  Link* first = firstLink();
  if (first == nullptr) {
    buffers_.append(static_cast<OB_Object*>(static_cast<OB_Buffer*>(carried)));
  } else {
    // Bytes lost right after the cut now lie between two stored buffers: the walks must look.
    OB_PacketBuffer* following = storedBuffer(first);
    if (following == nullptr || following->getSeqNo() != seq + n) mayHaveGaps_ = true;
    buffers_.setCurrentLink(first);
    buffers_.insert(static_cast<OB_Object*>(static_cast<OB_Buffer*>(carried)));
  }
  if (seqDiff(xMinSeq + 1, seq) > 0) xMinSeq = seq - 1;
  return 0;
}

void OB_PacketStream::insertBefore(Link* after, OB_PacketBuffer* incoming, OB_Buffer* buffer) {
  // Keep only the bytes of the gap before the following stored buffer.
  if (OB_PacketBuffer* following = storedBuffer(after); following != nullptr) {
    const uint32_t room =
        static_cast<uint32_t>(seqDiff(following->getSeqNo(), incoming->getSeqNo()));
    if (room < incoming->getLength()) incoming->trimBack(room);
  }
  buffer->addRef();
  buffers_.setCurrentLink(after);
  buffers_.insert(static_cast<OB_Object*>(buffer));
  ++xOutOfOrder;
  // Whether it closes the gap it went into or leaves bytes missing on either side, the walk tells.
  mayHaveGaps_ = true;
}

int OB_PacketStream::hasGap(int fromSyn) {
  if ((xStatus & kSynSeen) == 0) return xTtlPkts > xZeroLen ? 1 : 0;
  uint32_t end = xMaxSeq - ((xStatus & kFinSeen) != 0 ? 1 : 0);
  OB_MutexHold hold(&buffers_);
  if (!mayHaveGaps_) {
    // Stored buffers that follow each other: only the ends can miss bytes.
    Link* last = buffers_.getLastLink();
    if (last != nullptr) {
      OB_PacketBuffer* stored = storedBuffer(last);
      if (seqDiff(end, stored->getSeqNo() + stored->getLength()) > 0) return 1;
      end = storedBuffer(firstLink())->getSeqNo();
    }
    return fromSyn != 0 && seqDiff(end, xMinSeq + 1) > 0 ? 1 : 0;
  }
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

namespace {

// The stored bytes of a link's buffer (null, 0 for none).
unsigned char* bytesOf(OB_Link<OB_Object>* link, uint32_t* length) {
  OB_Buffer* buffer = link != nullptr ? obQuery<OB_Buffer>(link->getItemObject()) : nullptr;
  *length = buffer != nullptr && buffer->getBuffer() != nullptr ? buffer->getLength() : 0;
  return *length > 0 ? buffer->getBuffer() : nullptr;
}

}  // namespace

OB_PacketStream::Link* OB_PacketStream::firstLink() {
  buffers_.first();
  return buffers_.getCurrentLink();
}

bool OB_PacketStream::follows(Link* a, Link* b) {
  OB_PacketBuffer* before = storedBuffer(a);
  OB_PacketBuffer* after = storedBuffer(b);
  if (before == nullptr || after == nullptr) return true;
  return before->getSeqNo() + before->getLength() == after->getSeqNo();
}

bool OB_PacketStream::sequenceAt(const OB_StreamPosition& at, uint32_t* seq) {
  OB_PacketBuffer* buffer = at.link != nullptr ? storedBuffer(static_cast<Link*>(at.link)) : nullptr;
  if (buffer == nullptr) return false;
  *seq = buffer->getSeqNo() + at.offset;
  return true;
}

OB_PacketStream::Seek OB_PacketStream::seekSequence(const OB_StreamPosition& from, uint32_t seq,
                                                    OB_StreamPosition* out) {
  OB_MutexHold hold(&buffers_);
  uint32_t base = 0;
  if (!sequenceAt(from, &base)) base = 0;
  // Where the buffer of `from` begins, in the same count as seq.
  uint32_t start = base - from.offset;
  Link* previous = nullptr;
  for (Link* link = static_cast<Link*>(from.link); link != nullptr; link = link->getNext()) {
    uint32_t length = 0;
    unsigned char* data = bytesOf(link, &length);
    if (data == nullptr) continue;
    // Buffers that follow each other begin where the count has got to already.
    if (previous != nullptr && mayHaveGaps_) {
      OB_PacketBuffer* buffer = storedBuffer(link);
      start = buffer != nullptr ? buffer->getSeqNo() : start;
    }
    // In from's own buffer the distance is taken from the byte at `from`: a byte up to
    // 2^31 - 1 ahead of it is then never taken for one behind the buffer's start.
    if (seqDiff(seq, previous != nullptr ? start : base) < 0) {
      *out = OB_StreamPosition{link, data, length, 0};
      return Seek::InGap;
    }
    if (seqDiff(seq, start + length) < 0) {
      *out = OB_StreamPosition{link, data, length, seq - start};
      return Seek::Found;
    }
    previous = link;
    start += length;
  }
  return Seek::PastEnd;
}

bool OB_PacketStream::gapBetween(const OB_StreamPosition& from, const OB_StreamPosition& to) {
  if (!mayHaveGaps_) return false;
  OB_MutexHold hold(&buffers_);
  Link* last = static_cast<Link*>(to.link);
  Link* previous = nullptr;
  for (Link* link = static_cast<Link*>(from.link); link != nullptr; link = link->getNext()) {
    uint32_t length = 0;
    if (bytesOf(link, &length) == nullptr && link != last) continue;
    if (previous != nullptr && !follows(previous, link)) return true;
    if (link == last) return false;
    previous = link;
  }
  return false;
}

bool OB_PacketStream::afterGap(const OB_StreamPosition& from, OB_StreamPosition* out) {
  if (!mayHaveGaps_) return false;
  OB_MutexHold hold(&buffers_);
  Link* previous = nullptr;
  for (Link* link = static_cast<Link*>(from.link); link != nullptr; link = link->getNext()) {
    uint32_t length = 0;
    unsigned char* data = bytesOf(link, &length);
    if (data == nullptr) continue;
    if (previous != nullptr && !follows(previous, link)) {
      *out = OB_StreamPosition{link, data, length, 0};
      return true;
    }
    previous = link;
  }
  return false;
}

bool OB_PacketStream::startsAfterGap() {
  if ((xStatus & kSynSeen) == 0) return false;
  OB_MutexHold hold(&buffers_);
  for (Link* link = firstLink(); link != nullptr; link = link->getNext()) {
    uint32_t length = 0;
    if (bytesOf(link, &length) == nullptr) continue;
    OB_PacketBuffer* buffer = storedBuffer(link);
    return buffer != nullptr && buffer->getSeqNo() != xMinSeq + 1;
  }
  return false;
}

bool OB_PacketStream::endSequence(uint32_t* seq) {
  OB_MutexHold hold(&buffers_);
  for (Link* link = buffers_.getLastLink(); link != nullptr; link = link->getPrev()) {
    uint32_t length = 0;
    if (bytesOf(link, &length) == nullptr) continue;
    OB_PacketBuffer* buffer = storedBuffer(link);
    if (buffer == nullptr) return false;
    *seq = buffer->getSeqNo() + length;
    // A FIN takes one number after the payload.
    const uint32_t sent = xMaxSeq - ((xStatus & kFinSeen) != 0 ? 1 : 0);
    return *seq == sent;
  }
  return false;
}

bool OB_PacketStream::segmentStartFrom(const OB_StreamPosition& from, bool inclusive,
                                       OB_StreamPosition* out, uint32_t* seq, uint32_t* ack) {
  OB_MutexHold hold(&buffers_);
  Link* link = static_cast<Link*>(from.link);
  if (link != nullptr && (!inclusive || from.offset != 0)) link = link->getNext();
  for (; link != nullptr; link = link->getNext()) {
    uint32_t length = 0;
    unsigned char* data = bytesOf(link, &length);
    OB_PacketBuffer* buffer = storedBuffer(link);
    if (data == nullptr || buffer == nullptr || !buffer->startsSegment()) continue;
    if (!buffer->getAckNo(ack)) continue;
    *seq = buffer->getSeqNo();
    *out = OB_StreamPosition{link, data, length, 0};
    return true;
  }
  return false;
}

bool OB_PacketStream::segmentAt(const OB_StreamPosition& at, uint32_t* seq, uint32_t* ack) {
  Link* link = static_cast<Link*>(at.link);
  OB_PacketBuffer* buffer = link != nullptr ? storedBuffer(link) : nullptr;
  if (buffer == nullptr || !buffer->getAckNo(ack)) return false;
  *seq = buffer->getSeqNo() + at.offset;
  return true;
}

bool OB_PacketStream::beginsSegment(const OB_StreamPosition& at) {
  Link* link = static_cast<Link*>(at.link);
  OB_PacketBuffer* buffer = link != nullptr && at.offset == 0 ? storedBuffer(link) : nullptr;
  uint32_t ack = 0;
  return buffer != nullptr && buffer->startsSegment() && buffer->getAckNo(&ack);
}

bool OB_PacketStream::ackAt(const OB_StreamPosition& at, uint32_t* ack) {
  Link* link = static_cast<Link*>(at.link);
  OB_PacketBuffer* buffer = link != nullptr ? storedBuffer(link) : nullptr;
  return buffer != nullptr && buffer->getAckNo(ack);
}
