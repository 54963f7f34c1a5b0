#include "ftp/OB_FTPProtocol.h"

#include <algorithm>

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "OB_Link.h"
#include "OB_Log.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"
#include "tcp/OB_PacketBuffer.h"
#include "tcp/OB_PacketStream.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The bytes the direction really stores. Its total counts every byte offered, repeated segments
// included, so it can exceed them; the stored bytes are found by probing the stream itself.
uint32_t storedBytes(OB_PacketStream& stream) {
  if (stream.setFirst() != 0) return 0;
  // Byte n exists for n < count: grow a bound that lies past the last byte, then halve.
  int64_t known = 0;  // lookNextIndex(known) exists
  int64_t beyond = 1;
  while (stream.lookNextIndex(static_cast<int>(beyond)) != nullptr) {
    known = beyond;
    if (beyond >= INT32_MAX / 2) return static_cast<uint32_t>(known + 1);
    beyond *= 2;
  }
  while (beyond - known > 1) {
    int64_t middle = known + (beyond - known) / 2;
    if (stream.lookNextIndex(static_cast<int>(middle)) != nullptr) {
      known = middle;
    } else {
      beyond = middle;
    }
  }
  return static_cast<uint32_t>(known + 1);
}

// Whether the command has had its final reply (2xx to 5xx), or as many replies as it stores:
// either way the pairing goes on with the next command.
bool hasFinalReply(const OB_FTPXact* xact) {
  return xact != nullptr && xact->replyCount > 0 &&
         (xact->replyCount >= OB_FTPXact::kMaxReplies ||
          xact->replyCodes[xact->replyCount - 1] >= 200);
}

// Whether the piece's direction d begins right where the earlier piece's parse left it: at the
// start of a line, nothing lost between.
bool startsWhereLeft(OB_PacketStream& stream, const OB_ParseCarry& carry, int d) {
  if (!carry.nextKnown[d] || stream.startsAfterGap()) return false;
  OB_StreamPosition first;
  uint32_t seq = 0;
  if (stream.setFirst() == -1) return true;
  stream.savePosition(first);
  return stream.sequenceAt(first, &seq) && seq == carry.next[d];
}

constexpr uint32_t kNoGap = UINT32_MAX;

inline int32_t seqDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

// Where each stored buffer of a direction lies in the direction's copy (Direction), with
// what its segment carried: where bytes are missing, and, for a parse that lost its place, what
// each side had received when it sent a segment.
class SegmentLayout {
 public:
  // fromStart: bytes missing before the first stored one (after the SYN) count as a gap.
  SegmentLayout(OB_PacketStream& stream, bool fromStart) {
    if (stream.setFirst() != 0) return;
    const bool headGap = fromStart && stream.startsAfterGap();
    uint32_t offset = 0;
    try {
      for (;;) {
        OB_StreamPosition at;
        stream.savePosition(at);
        Span span;
        span.offset = offset;
        span.length = at.length - at.offset;
        auto* link = static_cast<OB_Link<OB_Object>*>(at.link);
        OB_PacketBuffer* buffer =
            link != nullptr ? obQuery<OB_PacketBuffer>(link->getItemObject()) : nullptr;
        if (buffer != nullptr) {
          span.seq = buffer->getSeqNo();
          span.starts = buffer->startsSegment();
          span.acked = buffer->getAckNo(&span.ack);
        } else {
          sequenced_ = false;  // a buffer without a number is taken to follow its predecessor
        }
        if (spans_.empty()) {
          span.follows = !headGap;
        } else if (sequenced_) {
          const Span& before = spans_.back();
          span.follows = before.seq + before.length == span.seq;
        }
        span.run = span.follows && !spans_.empty() ? spans_.back().run : spans_.size();
        spans_.push_back(span);
        offset += span.length;
        if (stream.bumpToNext(static_cast<int32_t>(span.length)) == 0) break;
      }
    } catch (const std::bad_alloc&) {
      OB_Log::quit("OB_FTPProtocol: no memory for a direction's layout");
    }
  }

  // The offset of the first missing bytes at or after `from` (after them, the first stored
  // byte); kNoGap when none are missing there.
  uint32_t gapFrom(uint32_t from) const {
    for (size_t i = firstAtOrAfter(from); i < spans_.size(); ++i)
      if (!spans_[i].follows) return spans_[i].offset;
    return kNoGap;
  }
  // Whether bytes are missing inside [from, to) of the copy.
  bool intact(uint32_t from, uint32_t to) const {
    for (size_t i = firstAtOrAfter(from + 1); i < spans_.size() && spans_[i].offset < to; ++i)
      if (!spans_[i].follows) return false;
    return true;
  }
  // The segment whose payload begins exactly at offset: its sequence number and, when it had
  // one, its acknowledgement. False when no segment begins there or numbers are not known.
  bool segmentAt(uint32_t offset, uint32_t* seq, uint32_t* ack) const {
    const size_t i = firstAtOrAfter(offset);
    if (!sequenced_ || i >= spans_.size() || spans_[i].offset != offset) return false;
    const Span& span = spans_[i];
    *seq = span.seq;
    *ack = span.ack;
    return span.starts && span.acked;
  }
  // Where the bytes up to offset run without a gap from: the offset of the first of them, and
  // whether missing bytes lie right before it (*afterGap) and a segment's payload began there
  // (*startsSegment). offset must lie inside the copy.
  uint32_t runStart(uint32_t offset, bool* afterGap, bool* startsSegment) const {
    size_t i = firstAtOrAfter(offset + 1);
    const Span& first = spans_[spans_[i - 1].run];
    *afterGap = !first.follows;
    *startsSegment = first.starts;
    return first.offset;
  }
  // The sequence number of the stored byte at offset of the copy; false when numbers are not
  // known or offset lies past the stored bytes.
  bool seqAt(uint32_t offset, uint32_t* seq) const {
    const size_t i = firstAtOrAfter(offset + 1);
    if (!sequenced_ || i == 0) return false;
    const Span& span = spans_[i - 1];
    if (offset - span.offset >= span.length) return false;
    *seq = span.seq + (offset - span.offset);
    return true;
  }
  // The acknowledgement numbers the direction's segments carried, sorted: how far the other
  // direction had been received each time this one sent. Empty without sequence numbers.
  std::vector<uint32_t> acknowledgements() const {
    std::vector<uint32_t> acks;
    if (!sequenced_) return acks;
    try {
      for (const Span& span : spans_)
        if (span.starts && span.acked) acks.push_back(span.ack);
    } catch (const std::bad_alloc&) {
      OB_Log::quit("OB_FTPProtocol: no memory for a direction's acknowledgements");
    }
    std::sort(acks.begin(), acks.end());
    return acks;
  }
  // The copy offset of the stored byte with sequence number seq; false when it was not stored.
  bool offsetOf(uint32_t seq, uint32_t* offset) const {
    if (!sequenced_ || spans_.empty()) return false;
    // Spans lie in ascending sequence order; counted from the first, the order is plain.
    const uint32_t base = spans_.front().seq;
    const uint32_t key = seq - base;
    auto after = std::upper_bound(spans_.begin(), spans_.end(), key,
                                  [base](uint32_t k, const Span& s) { return k < s.seq - base; });
    if (after == spans_.begin()) return false;
    const Span& span = *(after - 1);
    if (seqDiff(seq, span.seq) < 0 || seq - span.seq >= span.length) return false;
    *offset = span.offset + (seq - span.seq);
    return true;
  }

 private:
  struct Span {
    uint32_t offset = 0;  // in the copy
    uint32_t length = 0;
    uint32_t seq = 0;
    uint32_t ack = 0;
    bool starts = false;  // its first byte begins the payload of a segment
    bool acked = false;   // that segment carried an acknowledgement
    bool follows = true;  // no byte is missing between the span before and this one
    size_t run = 0;       // the first span of the run without a gap that this one belongs to
  };
  // The first span that begins at or after offset.
  size_t firstAtOrAfter(uint32_t offset) const {
    return static_cast<size_t>(
        std::lower_bound(spans_.begin(), spans_.end(), offset,
                         [](const Span& s, uint32_t o) { return s.offset < o; }) -
        spans_.begin());
  }

  std::vector<Span> spans_;
  bool sequenced_ = true;
};

// Telnet's "interpret as command" byte and the commands that take an option byte after them.
constexpr unsigned char kIAC = 255;
constexpr unsigned char kWill = 251;
constexpr unsigned char kDont = 254;

// One direction of the control connection: its stored bytes as captured, copied in one piece,
// and the text the parser reads, which is those bytes without the Telnet commands the control
// connection may carry (an interrupt before ABOR, option negotiation). Both are followed by a NUL
// (the stream's copy zero-fills what it does not hold), so that no parsing step can run off its
// end. Offsets of the text map to offsets of the copy, where the layout and the sequence
// numbers are.
class Direction {
 public:
  // Copies the stream's stored bytes; false when it holds none (or no memory is left).
  bool copy(OB_PacketStream& stream) {
    capturedLength_ = storedBytes(stream);
    if (capturedLength_ == 0) return false;
    captured_.reset(stream.copy(capturedLength_ + 1));
    length_ = capturedLength_;
    return captured_ != nullptr;
  }

  // Takes the Telnet commands out of the text: IAC and the command byte after it, with WILL,
  // WONT, DO and DONT also their option byte; IAC IAC is one data byte 255. A command never spans
  // bytes missing from the copy (layout) or its end: one cut short there goes as far as it came.
  void strip(const SegmentLayout& layout) {
    const unsigned char* in = captured_.get();
    // Most control connections carry none: the copy is then the text.
    if (memchr(in, kIAC, capturedLength_) == nullptr) return;
    try {
      text_.reset(new unsigned char[capturedLength_ + 1]);
      uint32_t out = 0;
      uint32_t removed = 0;
      uint32_t gap = layout.gapFrom(1);  // the first missing bytes after the command at hand
      for (uint32_t i = 0; i < capturedLength_;) {
        if (in[i] != kIAC) {
          text_[out++] = in[i++];
          continue;
        }
        if (gap != kNoGap && gap <= i) gap = layout.gapFrom(i + 1);
        const uint32_t limit = gap != kNoGap && gap < capturedLength_ ? gap : capturedLength_;
        uint32_t n = 2;
        bool data = false;
        if (limit - i < 2) {
          n = 1;
        } else if (in[i + 1] == kIAC) {
          data = true;
        } else if (in[i + 1] >= kWill && in[i + 1] <= kDont) {
          n = std::min<uint32_t>(3, limit - i);
        }
        if (data) text_[out++] = kIAC;
        removed += data ? 1 : n;
        if (!cuts_.empty() && cuts_.back().at == out) {
          cuts_.back().removed = removed;
        } else {
          cuts_.push_back(Cut{out, data ? i + 1 : i, removed});
        }
        i += n;
      }
      text_[out] = 0;
      length_ = out;
    } catch (const std::bad_alloc&) {
      OB_Log::quit("OB_FTPProtocol: no memory for a direction's text");
    }
  }

  const char* text() const {
    return reinterpret_cast<const char*>(text_ != nullptr ? text_.get() : captured_.get());
  }
  uint32_t length() const { return length_; }
  const unsigned char* captured() const { return captured_.get(); }
  uint32_t capturedLength() const { return capturedLength_; }

  // The offset in the copy of the place before text byte t (a line's start or end): right after
  // the byte before it, so that Telnet commands before a line belong to that line.
  uint32_t capturedAt(uint32_t t) const {
    const auto after = std::lower_bound(cuts_.begin(), cuts_.end(), t,
                                        [](const Cut& cut, uint32_t v) { return cut.at < v; });
    return after == cuts_.begin() ? t : t + (after - 1)->removed;
  }
  // The text offset of the copy's byte c; of the byte after it when c was taken out.
  uint32_t textAt(uint32_t c) const {
    const auto after = std::upper_bound(cuts_.begin(), cuts_.end(), c,
                                        [](uint32_t v, const Cut& cut) { return v < cut.from; });
    if (after == cuts_.begin()) return c;
    const Cut& cut = *(after - 1);
    return c < cut.at + cut.removed ? cut.at : c - cut.removed;
  }

 private:
  // Bytes taken out right before text offset `at`: from the copy's offset `from` on; `removed`
  // counts every byte taken out up to there.
  struct Cut {
    uint32_t at;
    uint32_t from;
    uint32_t removed;
  };

  std::unique_ptr<unsigned char[]> captured_;
  uint32_t capturedLength_ = 0;
  std::unique_ptr<unsigned char[]> text_;  // null when it would equal the copy
  uint32_t length_ = 0;
  std::vector<Cut> cuts_;
};

// Whether the stored bytes from offset `at` of a direction's copy, right after missing bytes,
// begin a line: a segment began there and the other direction acknowledged exactly their first
// byte in a segment of its own (peerAcks, sorted). It had then received every byte before them,
// and a peer sends its commands or replies after whole lines of the other; bytes that resume
// inside a line (its start lost) show no such acknowledgement.
bool beginsLineAfterGap(const SegmentLayout& layout, uint32_t at,
                        const std::vector<uint32_t>& peerAcks) {
  bool afterGap = false;
  bool startsSegment = false;
  uint32_t seq = 0;
  return layout.runStart(at, &afterGap, &startsSegment) == at && startsSegment &&
         layout.seqAt(at, &seq) && std::binary_search(peerAcks.begin(), peerAcks.end(), seq);
}

// The code of a reply's last line [p, end) (three digits, then a blank or the line's end), when
// it is a final one (200 to 599); 0 otherwise.
int finalCodeAt(const char* p, const char* end) {
  if (end - p < 3 || !isDigit(p[0]) || !isDigit(p[1]) || !isDigit(p[2])) return 0;
  const int code = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
  if (code < 200 || code > 599 || (end - p > 3 && p[3] != ' ')) return 0;
  return code;
}

// The code of the multi-line reply that begins at p, after blanks (three digits between 100 and
// 600, then '-'); 0 when none begins there.
int multiLineCodeAt(const char* p, const char* end) {
  OB_Tools::LWS(&p, end);
  if (end - p < 4 || !isDigit(p[0]) || !isDigit(p[1]) || !isDigit(p[2]) || p[3] != '-') return 0;
  const int code = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
  return code >= 100 && code <= 600 ? code : 0;
}

// Moves *pos, at the start of a line inside a multi-line reply with this code, over its lines
// through the one that ends it (it begins with the code and a space, no blank before): true; false
// with *pos after the last whole line when the data up to end holds no such line.
bool finishReply(const char** pos, const char* end, int code) {
  const char digits[3] = {static_cast<char>('0' + code / 100),
                          static_cast<char>('0' + code / 10 % 10),
                          static_cast<char>('0' + code % 10)};
  for (;;) {
    const char* p = *pos;
    if (end - p >= 4 && memcmp(p, digits, 3) == 0 && p[3] == ' ') {
      OB_Tools::IgnoreLine_r(pos, end);
      return true;
    }
    if (OB_Tools::IgnoreLine_r(&p, end) == 0) return false;
    *pos = p;
  }
}

// The FTP analyser's part of a parse carry: the multi-line reply the earlier piece ended inside
// of, whose lines run on in the piece that continues it.
struct FTPCarry : OB_ProtocolCarry {
  int openReply = 0;  // its code; 0 when the earlier piece ended between replies
};

// Where the command whose line runs from `line` to `end` in the client's copy is answered for
// certain, after the pairing lost its place: its line began a segment and was captured whole;
// that segment acknowledged exactly the end of a whole final reply line the server's text holds
// (the client had seen an answer, not one in progress); and a segment beginning right there
// acknowledged exactly the command's end (the server had read the command and nothing after
// it). That last line is whole when a captured line end comes before it, or it begins the
// stream, or it follows missing bytes where a line is known to begin (beginsLineAfterGap, with
// the client's acknowledgements, commandAcks). *replyAt: that reply's offset in the server's
// copy; its text lies at or after text offset `from` and before `length`. startKnown: the
// server's copy begins at the start of its stream.
bool answeredAt(const SegmentLayout& commands, const std::vector<uint32_t>& commandAcks,
                uint32_t line, uint32_t end, const SegmentLayout& replies,
                const Direction& server, uint32_t from, uint32_t length, bool startKnown,
                uint32_t* replyAt) {
  uint32_t seq = 0;
  uint32_t sawUpTo = 0;
  if (!commands.segmentAt(line, &seq, &sawUpTo) || !commands.intact(line, end)) return false;
  const uint32_t commandEnd = seq + (end - line);
  uint32_t at = 0;
  uint32_t replySeq = 0;
  uint32_t replyAck = 0;
  if (!replies.offsetOf(sawUpTo, &at) || !replies.segmentAt(at, &replySeq, &replyAck) ||
      replyAck != commandEnd)
    return false;
  // The reply and the lines before it are read in the text, as the parser reads them.
  const char* text = server.text();
  const uint32_t reply = server.textAt(at);
  if (reply < from || reply < 2 || reply >= length || !isDigit(text[reply])) return false;
  // The line before ends right there, nothing missing up to the reply's first byte.
  if (!isLineEnd(text[reply - 2]) || !isLineEnd(text[reply - 1])) return false;
  bool afterGap = false;
  bool startsSegment = false;
  const uint32_t runFrom = replies.runStart(at, &afterGap, &startsSegment);
  const uint32_t run = server.textAt(runFrom);
  if (run == reply) return false;
  uint32_t start = reply - 2;
  while (start >= run + 2 && !(isLineEnd(text[start - 2]) && isLineEnd(text[start - 1])))
    --start;
  if (start < run + 2) {
    if (afterGap ? !beginsLineAfterGap(replies, runFrom, commandAcks)
                 : runFrom != 0 || !startKnown)
      return false;
    start = run;
  }
  const char* p = text + start;
  while (p < text + reply && (*p == ' ' || *p == '\t')) ++p;
  if (finalCodeAt(p, text + reply - 2) == 0) return false;
  *replyAt = at;
  return true;
}

// 1 when bytes other than blanks lie in [p, end) and no line end (CR LF) follows them: the data
// ends inside a line.
int cutInsideLine(const char* p, const char* end) {
  OB_Tools::LWS(&p, end);
  return p < end && OB_Tools::ScanLine_r(p, end) == 0 ? 1 : 0;
}

// The length of text up to the end of its last whole line (its last pair of line-end bytes); 0
// when it holds none.
uint32_t wholeLines(const char* text, uint32_t length) {
  for (uint32_t n = length; n >= 2; --n)
    if (isLineEnd(text[n - 1]) && isLineEnd(text[n - 2])) return n;
  return 0;
}

// Puts the line an earlier piece of the connection ended inside of in front of this piece's
// bytes of the same direction, where the earlier piece's parse said it begins.
void prependTails(OB_TCPSession& session, const OB_ParseCarry& carry) {
  OB_PacketStream* streams[2] = {&session.client, &session.server};
  for (int d = 0; d < 2; ++d) {
    const std::string& tail = carry.tail[d];
    if (!carry.nextKnown[d] || tail.empty() || tail.size() > OB_ParseCarry::kTailLimit) continue;
    // Without memory for it the piece does not begin where the earlier one left off.
    streams[d]->prependCarried(reinterpret_cast<const unsigned char*>(tail.data()),
                               static_cast<uint32_t>(tail.size()), carry.next[d]);
  }
}

// Where the piece that continues this one begins its parse of a direction, when this parse read
// every whole line of it up to pos: *next, the sequence number of the unfinished line after
// them, whose bytes as captured (Telnet commands and all) go to *tail. False when whole lines
// are left unread, bytes were never captured from the end of the last line read on (the line
// may have begun in them), or the line runs longer than the carry holds. startKnown: the text
// begins at the start of a line.
bool carryRest(const Direction& direction, const char* pos, bool startKnown,
               OB_PacketStream& stream, const SegmentLayout& layout, std::string* tail,
               uint32_t* next) {
  const char* const text = direction.text();
  const char* const end = text + direction.length();
  OB_Tools::LWS(&pos, end);
  if (OB_Tools::ScanLine_r(pos, end) != 0) return false;
  const char* last = pos;  // right after the last byte of the lines read
  while (last > text && (last[-1] == ' ' || last[-1] == '\t' || isLineEnd(last[-1]))) --last;
  if (last == text && !startKnown) return false;
  const uint32_t length = direction.capturedLength();
  const uint32_t lastRead = last > text ? direction.capturedAt(last - text) - 1 : 0;
  const uint32_t from = direction.capturedAt(static_cast<uint32_t>(pos - text));
  const uint32_t n = length - from;
  uint32_t endSeq = 0;
  uint32_t seq = 0;
  if (n > OB_ParseCarry::kTailLimit || !stream.endSequence(&endSeq) ||
      !layout.intact(lastRead, length))
    return false;
  if (n > 0 && (!layout.seqAt(from, &seq) || endSeq - seq != n)) return false;
  try {
    tail->assign(reinterpret_cast<const char*>(direction.captured()) + from, n);
  } catch (const std::bad_alloc&) {
    tail->clear();
    return false;
  }
  *next = endSeq - n;
  return true;
}

// Notes in carry the multi-line reply the next piece begins inside of; false when no memory is
// left for the FTP part.
bool carryOpenReply(OB_ParseCarry& carry, int code) {
  auto* ftp = dynamic_cast<FTPCarry*>(carry.protocol.get());
  if (ftp == nullptr) {
    try {
      auto made = std::make_shared<FTPCarry>();
      ftp = made.get();
      carry.protocol = std::move(made);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  ftp->openReply = code;
  return true;
}

}  // namespace

OB_FTPProtocol::~OB_FTPProtocol() { releaseTransfers(); }

void OB_FTPProtocol::releaseTransfers() {
  // Deleting the first link deletes the whole chain.
  obRelease(firstTransfer);
  firstTransfer = nullptr;
  lastTransfer = nullptr;
  m_ftranCount = 0;
}

void OB_FTPProtocol::lostPairing(bool* pairing) {
  *pairing = false;
  gapLost_ = true;
}

int OB_FTPProtocol::reset() {
  OB_Protocol::reset();
  gapLost_ = false;
  releaseTransfers();
  loginName.clear();
  goodConnect = 1;
  parseStop_ = ParseStop::None;
  return 0;
}

OB_Xact* OB_FTPProtocol::createXLink() { return OB_FTPXact::create(); }

int OB_FTPProtocol::addFTPftranLink(OB_FTPftranLink* link) {
  if (link == nullptr) return 1;
  link->unlink();
  if (lastTransfer == nullptr) {
    firstTransfer = link;
  } else {
    lastTransfer->insertAfter(link);
  }
  lastTransfer = link;
  ++m_ftranCount;
  return 1;
}

int OB_FTPProtocol::processObject(OB_Object* object) {
  OB_Protocol::processObject(object);
  OB_TCPSession* session = obQuery<OB_TCPSession>(object);
  if (session == nullptr) return 0;
  // Filled in below where the parse pairs; a piece that continues one that did not is not
  // paired.
  OB_ParseCarry* carry = session->carry.get();
  OB_ParseCarry left;  // what the earlier piece left, before this parse fills carry in
  if (carry != nullptr) left = *carry;
  const OB_ParseCarry* carryIn = left.set ? &left : nullptr;
  const bool continued = session->isContinued() != 0;
  // A piece cut at the byte limit that another piece continues: the line either direction ends
  // inside of is read there, whole.
  const bool cutting = carry != nullptr && session->isCutOff() != 0 && session->isFollowed() != 0;
  // The multi-line reply the earlier piece ended inside of (its code), read before the carry,
  // whose part the copy shares, is filled in anew.
  const auto* ftpIn = carryIn != nullptr ? dynamic_cast<const FTPCarry*>(carryIn->protocol.get())
                                         : nullptr;
  const int openIn = ftpIn != nullptr ? ftpIn->openReply : 0;
  if (carry != nullptr) {
    carry->set = true;
    carry->lost = true;
    for (int d = 0; d < 2; ++d) {
      carry->nextKnown[d] = false;
      carry->tail[d].clear();
    }
    if (auto* ftp = dynamic_cast<FTPCarry*>(carry->protocol.get()); ftp != nullptr)
      ftp->openReply = 0;
  }
  if (continued && carryIn != nullptr) prependTails(*session, *carryIn);

  Direction clientText;
  if (!clientText.copy(session->client)) return 0;
  Direction serverText;
  if (!serverText.copy(session->server)) {
    FindFileTransfers();
    return 0;
  }
  const SegmentLayout clientLayout(session->client, !continued);
  const SegmentLayout serverLayout(session->server, !continued);
  clientText.strip(clientLayout);
  serverText.strip(serverLayout);

  const char* const clientBase = clientText.text();
  const char* const clientEnd = clientBase + clientText.length();
  const char* client = clientBase;
  const char* const serverBase = serverText.text();
  const char* const serverTextEnd = serverBase + serverText.length();
  // A reply line the cut leaves unfinished is not read here but in the next piece, whole.
  const char* const serverEnd =
      cutting ? serverBase + wholeLines(serverBase, serverText.length()) : serverTextEnd;
  const char* server = serverBase;
  // A piece that does not begin where the earlier one's parse left off may begin inside a
  // command line: its bytes up to the first line end are no command.
  const bool clientPlaced = continued ? carryIn != nullptr &&
                                            startsWhereLeft(session->client, *carryIn, 0)
                                      : !session->client.startsAfterGap();
  const bool serverPlaced = continued ? carryIn != nullptr &&
                                            startsWhereLeft(session->server, *carryIn, 1)
                                      : !session->server.startsAfterGap();
  if (continued && !clientPlaced) OB_Tools::IgnoreLine_r(&client, clientEnd);
  const char* const clientStart = client;  // where the client's first line begins
  OB_Tools::LWS(&client, clientEnd);
  OB_Tools::LWS(&server, serverEnd);
  ParseStop stop = ParseStop::None;
  bool serverSide = false;
  bool carried[2] = {false, false};  // the line the direction ends inside of goes to the next piece
  // What is left of a direction: only blanks, whole lines, or a line the data cut off.
  auto noteCut = [&]() {
    if (stop != ParseStop::None) return;
    if (!carried[0] && cutInsideLine(client, clientEnd) != 0) {
      stop = ParseStop::CutShort;
    } else if (!carried[1] && cutInsideLine(server, serverTextEnd) != 0) {
      stop = ParseStop::CutShort;
      serverSide = true;
    }
  };
  if (OB_Tools::ScanLine_r(client, clientEnd) == 0 ||
      OB_Tools::ScanLine_r(server, serverEnd) == 0) {
    noteCut();
  } else if (!continued && ConnectEstablish(&server, serverEnd) == 0) {
    // The rest of a connection cut off at the byte limit has had its greeting.
    stop = ParseStop::Greeting;
    serverSide = true;
  } else {
    // Every command is recorded; once the server's replies run out the rest stay unanswered.
    // Bytes never captured may hold commands or replies: replies pair only with commands
    // before the client's next gap and only up to the server's; past either, no reply can be
    // told whose it is, and the commands stay unanswered until one whose reply is known for
    // certain by the acknowledgements (answeredAt), from which the pairing goes on. Gaps and
    // acknowledgements lie in the copies as captured, the parse reads the texts.
    const bool serverStartKnown = !continued && serverPlaced;
    auto textOffset = [](const char* base, const char* p) {
      return static_cast<uint32_t>(p - base);
    };
    auto clientAt = [&](const char* p) {
      return clientText.capturedAt(textOffset(clientBase, p));
    };
    uint32_t clientGap = clientLayout.gapFrom(0);
    uint32_t serverGap = serverLayout.gapFrom(0);
    // What each side had received when it sent, for the places after the other's lost bytes.
    const std::vector<uint32_t> serverAcks =
        clientGap != kNoGap ? serverLayout.acknowledgements() : std::vector<uint32_t>();
    const std::vector<uint32_t> clientAcks =
        serverGap != kNoGap ? clientLayout.acknowledgements() : std::vector<uint32_t>();
    auto limitAt = [&](uint32_t gap) {
      if (gap == kNoGap) return serverEnd;
      return std::min(serverEnd, std::max(server, serverBase + serverText.textAt(gap)));
    };
    const char* serverLimit = limitAt(serverGap);
    bool pairing = true;
    // A multi-line reply whose last line lies past the limit holds every line up to there: none
    // is a reply of its own. Past lost bytes (its end may be among them) the pairing resumes
    // only where the acknowledgements show it; at the piece's end it cannot, and a piece that
    // continues this one reads on to the reply's last line (openReply: its code).
    bool serverDone = false;
    int openReply = 0;
    auto leaveOpen = [&](int code) {
      if (serverLimit < serverEnd) {
        server = serverLimit;
        return;
      }
      server = std::max(server, serverBase + wholeLines(serverBase, serverText.length()));
      server = std::min(server, serverEnd);
      serverDone = true;
      openReply = code;
    };
    // A piece that continues one cut at the byte limit pairs only where the earlier piece's
    // parse left both directions at the start of a line, and its first replies answer the
    // commands the earlier piece left waiting.
    uint32_t owed = 0;
    bool lost = false;
    if (continued) {
      lost = carryIn == nullptr || carryIn->lost || !clientPlaced || !serverPlaced;
      if (!lost) owed = carryIn->owed;
      if (serverPlaced && openIn != 0) {
        // The piece begins inside that reply, at a line's start, blanks and all.
        server = serverBase;
        if (!finishReply(&server, serverLimit, openIn)) {
          leaveOpen(openIn);
        } else if (openIn >= 200 && owed > 0) {
          --owed;
        }
      }
      for (; !lost && !serverDone && owed > 0 && skipReplies(&server, serverLimit); --owed) {
      }
      if (!serverDone && owed > 0) {
        const int code = multiLineCodeAt(server, serverLimit);
        if (code != 0) leaveOpen(code);
      }
      if (owed > 0 && serverGap != kNoGap) lost = true;
      if (lost || owed > 0) pairing = false;
    }
    const char* lineStart = clientStart;  // the start of the client's line at hand
    while (client < clientEnd) {
      OB_Tools::LWS(&client, clientEnd);
      // Where client bytes were lost before the end of the line at hand, that line is no
      // command, and the bytes after them may resume inside a line: up to its end they are
      // none either, unless the server's acknowledgement shows that a line begins there.
      for (; clientGap != kNoGap; clientGap = clientLayout.gapFrom(clientGap + 1)) {
        const char* lineEnd = client;
        if (OB_Tools::IgnoreLine_r(&lineEnd, clientEnd) == 0 || clientAt(lineEnd) <= clientGap)
          break;
        if (pairing) lostPairing(&pairing);
        const char* after = clientBase + clientText.textAt(clientGap);
        if (after < lineStart) continue;  // a captured line end lies between
        client = after;
        if (!beginsLineAfterGap(clientLayout, clientGap, serverAcks))
          OB_Tools::IgnoreLine_r(&client, clientEnd);
        lineStart = client;
        OB_Tools::LWS(&client, clientEnd);
      }
      const char* line = client;
      if (Command(&client, clientEnd) == 0) {
        if (getXactCount() >= maxXacts) stop = ParseStop::Full;
        break;
      }
      lineStart = client;
      uint32_t replyAt = 0;
      if (!pairing && !serverDone &&
          answeredAt(clientLayout, clientAcks, clientAt(line), clientAt(client), serverLayout,
                     serverText, textOffset(serverBase, server),
                     textOffset(serverBase, serverEnd), serverStartKnown, &replyAt)) {
        pairing = true;
        owed = 0;
        server = serverBase + serverText.textAt(replyAt);
        serverGap = serverLayout.gapFrom(replyAt + 1);
        serverLimit = limitAt(serverGap);
      }
      if (pairing && !serverDone) {
        Responses(&server, serverLimit);
        if (!hasFinalReply(obQuery<OB_FTPXact>(tail))) {
          const int code = multiLineCodeAt(server, serverLimit);
          if (code != 0) leaveOpen(code);
          if (serverGap != kNoGap) lostPairing(&pairing);
        }
      }
      if (OB_Tools::ScanLine_r(client, clientEnd) == 0) break;
    }
    if (carry != nullptr) {
      // For a piece that continues this one: whether pairing can go on, the commands still
      // waiting for their final reply, where each direction's next line begins and the reply
      // that line lies inside of.
      carry->lost = !pairing && (lost || gapLost_);
      carry->owed = owed + (owed > 0 ? static_cast<uint32_t>(getXactCount()) : unansweredAtEnd());
      if (cutting) {
        carried[0] = carryRest(clientText, client, clientPlaced, session->client,
                               clientLayout, &carry->tail[0], &carry->next[0]);
        carried[1] = carryRest(serverText, server, serverPlaced, session->server, serverLayout,
                               &carry->tail[1], &carry->next[1]);
        if (carried[1] && openReply != 0 && !carryOpenReply(*carry, openReply)) carried[1] = false;
        carry->nextKnown[0] = carried[0];
        carry->nextKnown[1] = carried[1];
      }
      carry->set = true;
    }
    noteCut();
    FindFileTransfers();
  }
  if (gapLost_) {
    uint32_t unanswered = 0;
    for (OB_Xact* x = head; x != nullptr; x = x->nextItem()) {
      OB_FTPXact* xact = obQuery<OB_FTPXact>(x);
      if (xact != nullptr && xact->replyCount == 0) ++unanswered;
    }
    OB_TCPSessionStats& stats = *getTCPSessionStats();
    OB_TCPSessionStats::count(stats.ftpGap);
    OB_TCPSessionStats::count(stats.ftpGapXacts, unanswered);
    problemPairing = 1;
    OB_Log::debug("FTP: bytes never captured: %u commands left without a reply\n", unanswered);
  }
  parseStop_ = stop;
  if (stop != ParseStop::None) {
    OB_TCPSessionStats& stats = *getTCPSessionStats();
    OB_TCPSessionStats::Counter& counter = stop == ParseStop::Greeting ? stats.ftpStopGreeting
                                           : stop == ParseStop::CutShort ? stats.ftpStopCutShort
                                                                         : stats.ftpStopFull;
    countParseStop(counter, "FTP", serverSide ? "server" : "client", parseStopText(stop));
  }
  return 0;
}

const char* OB_FTPProtocol::parseStopText(ParseStop stop) {
  switch (stop) {
    case ParseStop::Greeting:
      return "no 220 greeting";
    case ParseStop::CutShort:
      return "data ended inside a line";
    case ParseStop::Full:
      return "no command left";
    case ParseStop::None:
      break;
  }
  return "none";
}

int OB_FTPProtocol::ResponseCode(const char** pos, const char* end, int* code) {
  const char* p = *pos;
  OB_Tools::LWS(&p, end);
  if (end - p < 3 || !isDigit(p[0]) || !isDigit(p[1]) || !isDigit(p[2])) return 0;
  const int value = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
  if (value < 100 || value > 600) return 0;
  p += 3;
  if (p < end && *p == '-') {
    // A multi-line reply ends with the line that begins with the same code and a space.
    if (OB_Tools::IgnoreLine_r(&p, end) == 0 || !finishReply(&p, end, value)) return 0;
  } else {
    OB_Tools::IgnoreLine_r(&p, end);
  }
  *code = value;
  *pos = p;
  return 1;
}

int OB_FTPProtocol::ConnectEstablish(const char** pos, const char* end) {
  for (;;) {
    int code = 0;
    if (ResponseCode(pos, end, &code) == 0) break;
    if (code == 120) continue;  // service ready later: the real greeting follows
    if (code == 220) return 1;
    break;
  }
  goodConnect = 0;
  return 0;
}

int OB_FTPProtocol::Command(const char** pos, const char* end) {
  OB_Tools::LWS(pos, end);
  if (OB_Tools::ScanLine_r(*pos, end) == 0) return 0;

  char word[4];
  const size_t available = static_cast<size_t>(end - *pos) < sizeof word
                               ? static_cast<size_t>(end - *pos)
                               : sizeof word;
  for (size_t i = 0; i < available && i < sizeof word; ++i) {
    char c = (*pos)[i];
    word[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  // A name matches only a whole word: "TYPEEEE" or "CWDX" is no command of the table.
  int32_t code = OB_FTPXact::BAD_COMMAND;
  size_t matched = 0;
  for (int32_t candidate = OB_FTPXact::USER; candidate < OB_FTPXact::kCommandCount; ++candidate) {
    const char* name = OB_FTPXact::commandName(candidate);
    const size_t length = strlen(name);
    if (length > available || memcmp(word, name, length) != 0) continue;
    const char* after = *pos + length;
    if (after < end && *after != ' ' && *after != '\t' && !isLineEnd(*after)) continue;
    code = candidate;
    matched = length;
    break;
  }
  *pos += matched;

  OB_FTPXact* xact = obQuery<OB_FTPXact>(addXLink());
  if (xact == nullptr) return 0;  // the chain is full
  ++commRespCount;
  xact->command = code;
  CommandParam(pos, end, xact);
  if (commRespCount == 1 && code == OB_FTPXact::USER) {
    const char* name = xact->getParameter();
    const size_t length = name != nullptr ? strlen(name) : 0;
    loginName.assign(name, length < OB_FTPftranLink::kMaxUser ? length : OB_FTPftranLink::kMaxUser);
  }
  return 1;
}

int OB_FTPProtocol::CommandParam(const char** pos, const char* end, OB_FTPXact* xact) {
  const char* start = *pos;
  while (start < end && (*start == ' ' || *start == '\t')) ++start;
  const char* stop = start;
  bool lineEnd = false;
  for (; end - stop >= 2; ++stop) {
    if (isLineEnd(stop[0]) && isLineEnd(stop[1])) {
      lineEnd = true;
      break;
    }
  }
  if (!lineEnd) stop = end;
  if (xact != nullptr) xact->setParameter(start, static_cast<size_t>(stop - start));
  *pos = lineEnd ? stop + 2 : end;
  return lineEnd ? 1 : 0;
}

int OB_FTPProtocol::Responses(const char** pos, const char* end) {
  OB_FTPXact* xact = obQuery<OB_FTPXact>(tail);
  if (xact == nullptr) return 0;
  for (int code = 0; nextReplyCode(pos, end, &code);) {
    if (xact->replyCount == 0) ++respCount;
    xact->addReply(static_cast<uint16_t>(code));
    // Every count of stored codes, 63 included, lets the pairing go on.
    if (code >= 200 || xact->replyCount >= OB_FTPXact::kMaxReplies) break;
  }
  return xact->replyCount > 0 ? 1 : 0;
}

bool OB_FTPProtocol::nextReplyCode(const char** pos, const char* end, int* code) {
  while (ResponseCode(pos, end, code) == 0) {
    // A whole line without a reply code is passed over; a reply the data cuts short ends
    // the replies, and so does a multi-line reply whose last line lies past end: its lines are
    // none of their own, whatever they begin with.
    OB_Tools::LWS(pos, end);
    if (multiLineCodeAt(*pos, end) != 0 || OB_Tools::ScanLine_r(*pos, end) == 0 ||
        OB_Tools::IgnoreLine_r(pos, end) == 0) {
      return false;
    }
  }
  return true;
}

bool OB_FTPProtocol::skipReplies(const char** pos, const char* end) {
  for (int code = 0; nextReplyCode(pos, end, &code);) {
    if (code >= 200) return true;
  }
  return false;
}

uint32_t OB_FTPProtocol::unansweredAtEnd() {
  uint32_t count = 0;
  for (OB_Xact* x = head; x != nullptr; x = x->nextItem()) {
    count = hasFinalReply(obQuery<OB_FTPXact>(x)) ? 0 : count + 1;
  }
  return count;
}

int OB_FTPProtocol::DidPositiveComplete(OB_FTPXact* xact) {
  if (xact == nullptr) return 0;
  for (int i = 0; i < xact->replyCount && i < OB_FTPXact::kMaxReplies; ++i) {
    if (xact->replyCodes[i] >= 200 && xact->replyCodes[i] <= 299) return 1;
  }
  return 0;
}

uint32_t OB_FTPProtocol::GetPORTAddress(const char* parameter) {
  if (parameter == nullptr) return 0xFFFFFFFFu;
  char address[OB_FTPXact::kMaxParameter + 1];
  size_t length = strnlen(parameter, OB_FTPXact::kMaxParameter);
  memcpy(address, parameter, length);
  address[length] = '\0';
  int commas = 0;
  for (char* c = address; *c != '\0'; ++c) {
    if (*c != ',') continue;
    if (++commas == 4) {
      *c = '\0';
      break;
    }
    *c = '.';
  }
  return ntohl(inet_addr(address));
}

int OB_FTPProtocol::parseFileName(const char* path, char* directory, char* file) {
  if (directory == nullptr || file == nullptr) return -1;
  directory[0] = '\0';
  file[0] = '\0';
  if (path == nullptr) return -1;
  size_t directoryLength = 0;
  const char* previous = nullptr;  // the component before the current one
  size_t previousLength = 0;
  const char* p = path;
  for (;;) {
    while (*p == '/') ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && *p != '/') ++p;
    if (previous != nullptr) {
      size_t take = previousLength;
      if (take > kMaxPathPart - directoryLength) take = kMaxPathPart - directoryLength;
      memcpy(directory + directoryLength, previous, take);
      directoryLength += take;
      if (directoryLength < kMaxPathPart) directory[directoryLength++] = '/';
      directory[directoryLength] = '\0';
    }
    previous = start;
    previousLength = static_cast<size_t>(p - start);
  }
  if (previous != nullptr) {
    size_t take = previousLength < kMaxPathPart ? previousLength : kMaxPathPart;
    memcpy(file, previous, take);
    file[take] = '\0';
  }
  return (file[0] != '\0' && directory[0] != '\0') ? 0 : -1;
}

int OB_FTPProtocol::FindFileTransfers() {
  if (commRespCount == 0) return 0;
  // The chain outlives this walk, so the user can point into it rather than be copied.
  const char* user = loginName.c_str();
  uint32_t dataAddress = clientIP;
  for (OB_Xact* link = head; link != nullptr; link = link->nextItem()) {
    OB_FTPXact* xact = obQuery<OB_FTPXact>(link);
    if (xact == nullptr) continue;
    switch (xact->command) {
      case OB_FTPXact::PORT:
        dataAddress = GetPORTAddress(xact->getParameter());
        break;
      case OB_FTPXact::REIN: {
        OB_FTPXact* next = obQuery<OB_FTPXact>(link->nextItem());
        if (DidPositiveComplete(xact) != 0 && next != nullptr &&
            next->command == OB_FTPXact::USER && DidPositiveComplete(next) != 0) {
          user = next->getParameter() != nullptr ? next->getParameter() : "";
        }
        break;
      }
      case OB_FTPXact::RETR:
      case OB_FTPXact::STOR:
      case OB_FTPXact::STOU:
      case OB_FTPXact::APPE: {
        const char* path = xact->getParameter();
        // An unanswered command has 0 in its first slot: it is recorded as not completed.
        if (path == nullptr || path[0] == '\0' || xact->replyCodes[0] >= 500) break;
        char directory[kMaxPathPart + 1];
        char file[kMaxPathPart + 1];
        parseFileName(path, directory, file);
        const int32_t completed = DidPositiveComplete(xact);
        if (file[0] == '\0') break;
        if (lastTransfer != nullptr && lastTransfer->file.equals(file)) break;  // a retry
        OB_FTPftranLink* transfer =
            xact->command == OB_FTPXact::RETR
                ? new OB_FTPftranLink(user, serverIP, dataAddress, directory, file, completed)
                : new OB_FTPftranLink(user, clientIP, serverIP, directory, file, completed);
        if (transfer != nullptr) addFTPftranLink(transfer);
        break;
      }
      default:
        break;
    }
  }
  return 0;
}

int OB_FTPProtocol::print(FILE* stream) {
  OB_Protocol::print(stream);
  OB_Log::flog(stream, "loginName:       %s\n", loginName.c_str());
  OB_Log::flog(stream, "goodConnect   = %d\n", goodConnect);
  OB_Log::flog(stream, "m_ftranCount  =%d\n", m_ftranCount);
  OB_Log::flog(stream, "File transfers:\n");
  for (OB_FTPftranLink* link = firstTransfer; link != nullptr; link = link->nextItem()) {
    link->print(stream);
  }
  return 0;
}

int OB_FTPProtocol::write(FILE* stream) {
  if (OB_Protocol::write(stream) != 0 || loginName.write(stream) != 0 ||
      OB_ArchiveIO::writeI32(stream, goodConnect) != 0 ||
      OB_ArchiveIO::writeI32(stream, m_ftranCount) != 0) {
    if (stream != nullptr) fflush(stream);
    OB_Log::quit("archiving_writeFTPPO: failed writing to disk");
  }
  int result = firstTransfer != nullptr ? firstTransfer->write(stream) : 0;
  fflush(stream);
  return result;
}

int OB_FTPProtocol::read(FILE* stream) {
  releaseTransfers();
  if (OB_Protocol::read(stream) != 0) return -1;
  if (loginName.read(stream) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &goodConnect) != 0) return -1;
  int32_t count = 0;
  if (OB_ArchiveIO::readI32(stream, &count) != 0 || count < 0) return -1;
  for (int32_t i = 0; i < count; ++i) {
    OB_FTPftranLink* link = OB_FTPftranLink::create();
    if (link == nullptr) return -1;
    if (link->read(stream) != 0) {
      link->release();
      return -1;
    }
    addFTPftranLink(link);
  }
  return 0;
}
