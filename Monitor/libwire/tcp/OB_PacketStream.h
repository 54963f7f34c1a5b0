// One direction of a TCP connection: a buffer stream whose buffers are the payload copies of the
// direction's segments, kept in ascending sequence order without overlaps, plus the direction's
// state and counters that the TCP session keeps. The HTTP and FTP parsers read it as one stream.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_BufferStream.h"
#include "OB_Stream.h"
#include "tcp/OB_Packet.h"

class OB_PacketBuffer;

// A capture time: seconds since 1970 and microseconds within the second.
struct OB_PacketTime {
  uint32_t tv_sec = 0;
  uint32_t tv_usec = 0;
};

class OB_PacketStream : public OB_BufferStream, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_PacketStream, 0x411CDB06, "OB_PacketStream", OB_BufferStream)
  OB_CLASS_CREATE(OB_PacketStream)

 public:
  // Direction flags kept in xStatus.
  static constexpr uint16_t kFinSeen = 0x01;
  static constexpr uint16_t kSynSeen = 0x04;
  static constexpr uint16_t kSynAcked = 0x08;
  static constexpr uint16_t kRstSeen = 0x10;

  OB_PacketStream();

  // Appends the buffer as the buffer stream does, in no sequence order: from then on the gap
  // queries below walk the stored buffers. Returns 0.
  int add(OB_Buffer* buffer) override;
  // Stores the packet's payload buffer in sequence order, taking one reference on it. Sequence
  // numbers compare in serial-number arithmetic, so a direction may pass 2^32. Bytes that stored
  // buffers already hold are cut from the new buffer (which may change its bytes); a buffer that
  // adds nothing is not stored and counts as a repeat. After the direction's SYN, bytes before
  // the first after it are cut too, and a buffer below the first stored one goes first (the
  // direction's first segments may arrive swapped); without a SYN such a buffer is dropped
  // uncounted. The stream total counts every byte offered, repeats included. Returns 0.
  virtual int add(OB_Packet* packet);

  // 1 when the direction's sequence numbers show payload it sent that is not stored (lost before
  // the capture, dropped by it, or left without a buffer): a hole before the first stored byte
  // (counted from the SYN; with fromSyn 0, as for a stream that begins inside the conversation,
  // not looked for there), between stored segments, or after the last one up to the highest
  // sequence number used (a FIN's aside); or payload sent by a direction whose SYN was never
  // seen. Else 0.
  virtual int hasGap(int fromSyn);

  // ---- Sequence view, for parsers that must not read across lost bytes ----
  // Positions are those savePosition fills for this stream. A buffer that is no OB_PacketBuffer
  // carries no sequence number: it is taken to follow its predecessor without a gap.
  enum class Seek { Found, InGap, PastEnd };
  // The sequence number of the byte at `at`; false when its buffer carries none.
  bool sequenceAt(const OB_StreamPosition& at, uint32_t* seq);
  // The position of the byte with sequence number seq, searched from `from` onwards: Found (in
  // *out), InGap when that byte was never stored or lies before `from` (*out: the first stored
  // byte after it, or the start of from's buffer), PastEnd when the stored bytes end before it.
  // Without sequence numbers, seq counts bytes from `from`'s sequence 0.
  Seek seekSequence(const OB_StreamPosition& from, uint32_t seq, OB_StreamPosition* out);
  // Whether bytes are missing between the byte at `from` and the byte at `to` (to after from).
  bool gapBetween(const OB_StreamPosition& from, const OB_StreamPosition& to);
  // The first byte after the first gap that follows the byte at `from`; false when none does.
  bool afterGap(const OB_StreamPosition& from, OB_StreamPosition* out);
  // Whether the direction's first payload bytes (right after its SYN) were not stored.
  bool startsAfterGap();
  // True while every stored buffer is a packet buffer stored in order right where the one
  // before it ends, as a lossless direction stores them: no bytes are missing between stored
  // bytes, and the byte n after a stored byte has that byte's sequence number plus n. Parsers
  // then move by counting bytes rather than by searching sequence numbers. (Bytes missing
  // before the first or after the last stored byte are hasGap's and startsAfterGap's.)
  bool storedInOrder() const { return !mayHaveGaps_; }
  // The sequence number right after the last stored byte, when no byte the direction sent
  // after it is known to be missing; false otherwise or without sequence numbers.
  bool endSequence(uint32_t* seq);
  // The first stored buffer at or after `from` (after it, without inclusive) whose first byte
  // begins a segment's payload and whose segment carried an acknowledgement: its position into
  // *out, that byte's sequence number and the segment's acknowledgement number. False when none.
  bool segmentStartFrom(const OB_StreamPosition& from, bool inclusive, OB_StreamPosition* out,
                        uint32_t* seq, uint32_t* ack);
  // Whether the byte at `at` is the first of a segment's payload whose segment carried an
  // acknowledgement (what segmentStartFrom finds).
  bool beginsSegment(const OB_StreamPosition& at);
  // The acknowledgement number of the segment that holds the byte at `at`; false when its
  // buffer carries none.
  bool ackAt(const OB_StreamPosition& at, uint32_t* ack);
  // sequenceAt and ackAt at once: false when either would be.
  bool segmentAt(const OB_StreamPosition& at, uint32_t* seq, uint32_t* ack);

  // Puts the n bytes at data (copied) in front of the stored ones as the direction's bytes from
  // seq on: the unfinished line or head an earlier piece of the connection left at its end, which
  // this piece parses as its first bytes. They begin no segment, so no anchor is taken there.
  // 0, or -1 (nothing stored) when there is nothing to put or no memory.
  int prependCarried(const unsigned char* data, uint32_t n, uint32_t seq);

  // Every field below to 0, xMinSeq to 0xFFFFFFFF. 0.
  int init() override;
  // Releases the stored buffers (back to their pools) and clears every field as init does, so a
  // reused stream starts like a new one. 0.
  int reset() override;
  int print(FILE* stream) override;

  uint32_t xIPAddr = 0;   // this direction's sender, host order
  uint16_t xPort = 0;     // this direction's sender port
  uint16_t xStatus = 0;   // kFinSeen, kSynSeen, kSynAcked, kRstSeen
  uint32_t xTtlPkts = 0;  // segments of this direction taken by the session
  uint32_t xErrPkts = 0;  // reported, never counted
  uint32_t xRepPkts = 0;  // segments add dropped because stored buffers held all their bytes
  uint32_t xRanAcks = 0;  // reported, never counted
  uint32_t xZeroLen = 0;  // segments without payload
  uint32_t xBytXfer = 0;  // payload bytes handed to add
  uint32_t xFinAck = 0;   // reported, never counted
  uint32_t xMinSeq = 0xFFFFFFFF;  // sequence number of the direction's SYN
  uint32_t xMaxSeq = 0;   // one past the highest sequence number the direction used
  uint32_t xOutOfOrder = 0;  // segments placed before the last stored one
  OB_PacketTime xBeginSynch;  // time of the direction's SYN
  OB_PacketTime xAckSynch;    // time of the segment that acknowledged that SYN
  OB_PacketTime xBeginTime;   // start of the direction (its SYN)
  OB_PacketTime xEndTime;     // time of the last segment handed to add

 private:
  void clearFields();
  // The first stored buffer's link, or null; the list's cursor is moved there.
  Link* firstLink();
  // Under the list's lock: stores the new buffer (its segment's payload, incoming) before the
  // stored one at after, keeping only the bytes up to that one; one reference taken.
  void insertBefore(Link* after, OB_PacketBuffer* incoming, OB_Buffer* buffer);
  // Whether the buffer of link b follows that of link a without missing bytes.
  static bool follows(Link* a, Link* b);

  // False while every stored buffer is known to begin where the one before it ends (buffers
  // appended in order, as a lossless direction stores them): the gap queries between stored
  // buffers then answer without walking them. Set once a buffer is stored anywhere else or
  // apart from its predecessor; cleared by init and reset.
  bool mayHaveGaps_ = false;
};
