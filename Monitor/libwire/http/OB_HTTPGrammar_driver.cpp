// The message driver: walks the client's byte stream request by request and the server's
// response by response, runs the request, status and header rules on each message head, skips
// bodies, and leaves one paired transaction per request in the chain.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "OB_Log.h"
#include "http/OB_HTTPGrammar.h"
#include "http/OB_HTTPCarry.h"
#include "tcp/OB_TCPSession.h"

namespace {

// Mark slots of the driver loops and the body scanners.
constexpr int kMethodEndSlot = 7;
constexpr int kURIStartSlot = 8;
constexpr int kLineStartSlot = 9;
constexpr int kRequestBodySlot = 0;
constexpr int kResponseBodySlot = 1;

bool isLineEnd(unsigned char c) { return c == '\r' || c == '\n'; }

// Whether text is exactly code: as strcmp, without a call for each response's few checks.
template <size_t N>
bool isText(const char* text, const char (&code)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (text[i] != code[i]) return false;
  }
  return true;
}

bool isHeadRequest(const OB_HTTPXact& xact) { return isText(xact.req_method.c_str(), "HEAD"); }

// Responses that carry no body whatever their headers say (status: the status line's three
// digits): skipping one would run over the responses that follow it.
bool hasNoBody(const char* status, bool headRequest) {
  return isText(status, "304") || isText(status, "204") || status[0] == '1' || headRequest;
}

// An interim response (100 Continue, 102 Processing, 103 Early Hints) precedes the final one
// and is not the request's answer; 101 Switching Protocols is final.
bool isInterim(const char* status) { return status[0] == '1' && !isText(status, "101"); }

int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void OB_HTTPGrammar::headerBlock(bool request) {
  for (;;) {
    unsigned char* start = stream_->markNext(kLineStartSlot);
    int accepted = General_Header();
    if (accepted == 0) {
      stream_->resetNext(start, kLineStartSlot);
      accepted = request ? Request_Header() : Response_Header();
    }
    if (accepted == 0) {
      stream_->resetNext(start, kLineStartSlot);
      accepted = Entity_Header();
    }
    if (accepted == 0) {
      stream_->resetNext(start, kLineStartSlot);
      return;
    }
    // A header that ends the data leaves the cursor where it began.
    if (checkForDone() == 1 || stream_->getNextPtr() == start) return;
  }
}

bool OB_HTTPGrammar::atEmptyLine() {
  const unsigned char c = stream_->getNext();
  if (c == '\n') return true;
  const unsigned char* following = stream_->lookNextIndex(1);
  return c == '\r' && following != nullptr && *following == '\n';
}

int OB_HTTPGrammar::nextLine() {
  if (stream_->getNext() != '\n') {
    // A search that fails leaves the cursor at the start of the last buffer: put it back.
    OB_StreamPosition here;
    stream_->savePosition(here);
    if (stream_->findPattern("\n") == 0) {
      stream_->restorePosition(here);
      return 0;
    }
  }
  return stream_->incNext();
}

int OB_HTTPGrammar::skipThroughEmptyLine() {
  for (;;) {
    if (atEmptyLine()) {
      if (stream_->getNext() == '\r') stream_->incNext();
      return stream_->incNext();
    }
    if (nextLine() == 0) return -1;
  }
}

int OB_HTTPGrammar::findHeadEnd(OB_StreamPosition* end) {
  OB_StreamPosition start;
  stream_->savePosition(start);
  int found = 0;
  // The head's first line is never empty: a message begins with its request or status line.
  if (nextLine() != 0) {
    const bool bare = atEmptyLine();
    const int through = skipThroughEmptyLine();
    if (through > 0) {
      stream_->savePosition(*end);
      found = bare ? kHeadWithoutHeaders : kHeadWithHeaders;
    } else if (through == 0) {
      found = kHeadEndsData;
    }
  }
  stream_->restorePosition(start);
  return found;
}

void OB_HTTPGrammar::messageHead(bool request, int head, const OB_StreamPosition& bodyStart) {
  chunked_ = false;
  bodyAfterData_ = head == kHeadEndsData;
  // A head whose first line is followed by its empty line has no header lines: what the rules
  // would read next is the body.
  if (head != kHeadWithoutHeaders) headerBlock(request);
  // The body begins right after the head's first empty line, whatever the header rules made of
  // the lines before it.
  if (head == kHeadWithHeaders || head == kHeadWithoutHeaders) stream_->restorePosition(bodyStart);
}

OB_HTTPGrammar::ParseStop OB_HTTPGrammar::noMessageHere() {
  OB_StreamPosition here;
  stream_->savePosition(here);
  ParseStop stop = ParseStop::None;
  for (bool blank = true;;) {
    const unsigned char c = stream_->getNext();
    if (blank && (c == ' ' || c == '\t' || isLineEnd(c))) {
      if (stream_->incNext() == 0) break;  // only white space to the end
      continue;
    }
    blank = false;
    // A whole line, or bytes no line of text holds, where a message line was due.
    if (c == '\n' || (c < 32 && c != '\t' && c != '\r') || c == 127) {
      stop = ParseStop::MessageLine;
      break;
    }
    if (stream_->incNext() == 0) {
      stop = ParseStop::CutShort;
      break;
    }
  }
  stream_->restorePosition(here);
  return stop;
}

OB_HTTPGrammar::ParseStop OB_HTTPGrammar::afterBody(int32_t length) {
  if (length <= 0 || stream_->lookNextIndex(length) == nullptr) {
    return length > 0 && stream_->lookNextIndex(length - 1) == nullptr ? ParseStop::CutShort
                                                                       : ParseStop::None;
  }
  OB_StreamPosition here;
  stream_->savePosition(here);
  stream_->bumpToNext(length);
  const ParseStop stop = noMessageHere();
  stream_->restorePosition(here);
  return stop;
}

OB_HTTPGrammar::ParseStop OB_HTTPGrammar::parseRequests() {
  direction_ = 0;
  if (stream_->setFirst() == -1) return ParseStop::None;
  // Searching: the next request line begins the next whole request (a session that continues
  // one cut off, or bytes after a gap, begin inside a message).
  bool searching = parser_.resync_;
  if (parser_.resync_) {
    const int placed = placeFromCarry(0);
    if (placed == 0) return ParseStop::None;
    if (placed == 1) searching = false;
    if (placed == kPlaceLost) {
      // The request the earlier piece said begins here was never captured: what follows is
      // searched as after any lost head.
      parser_.noteRequestGap(OB_HTTPProtocol::GapLoss::Head);
      resume();
    }
  } else if (packets_ != nullptr && packets_->startsAfterGap()) {
    parser_.noteRequestGap(OB_HTTPProtocol::GapLoss::Head);
    searching = true;
  }
  ParseStop stop = ParseStop::None;
  auto note = [&stop](ParseStop why) {
    if (stop == ParseStop::None) stop = why;
  };
  // After lost bytes the requests that follow are recorded, but how many were lost is not
  // known: their responses are not paired (the parser's pairing limit).
  auto lost = [&](OB_HTTPProtocol::GapLoss why) {
    parser_.noteRequestGap(why);
    resume();
    searching = true;
  };
  unsigned char* lineStart = nullptr;
  bool first = true;
  for (;;) {
    OB_StreamPosition before;
    stream_->savePosition(before);
    LWS();
    lineStart = stream_->markNext(kLineStartSlot);
    OB_StreamPosition headAt;
    stream_->savePosition(headAt);
    OB_StreamPosition bodyStart;
    int head = findHeadEnd(&bodyStart);
    // While searching, the gap before the cursor is already accounted for.
    if (!headIntact(before, head, bodyStart, !searching)) {
      lost(OB_HTTPProtocol::GapLoss::Head);
      continue;
    }
    // A search resumes at a line's start, or at the first byte after lost bytes (where a
    // segment, and most often a request, begins), and takes only a method's own letters: body
    // bytes run into the next request line make no method.
    if (head == kHeadNotFound && !searching && carryRequestHead(headAt)) return stop;
    strictMethod_ = searching;
    const int requestLine = Request_Line();
    strictMethod_ = false;
    if (requestLine == 0) {
      if (searching) {
        if (nextCandidate()) continue;
        return stop;
      }
      if (!first) {
        stop = noMessageHere();
        if (stop == ParseStop::None) noteNextAtEnd(0);
        return stop;
      }
      break;  // the first message of a whole direction: perhaps a simple request
    }
    placeRequest(headAt, false);
    first = false;
    searching = false;
    bool again = false;
    while (!again) {
      if (head == kHeadNotFound) note(ParseStop::CutShort);
      messageHead(true, head, bodyStart);
      // Once the pool has run out the request's length is not known: nothing further of this
      // direction can be recorded or found.
      if (parser_.requestsDropped_) {
        note(ParseStop::Full);
        return stop;
      }
      OB_HTTPXact* xact = parser_.xactAt(parser_.commRespCount);
      // The body was skipped in sequence space: bytes lost inside it, up to its very end, are
      // accounted for, and the next head follows it with nothing lost between.
      bool bodyPlaced = false;
      if (chunked_) {
        int32_t sum = 0;
        const int complete = Entity_Body_Chunked(&sum);
        // The chunks counted before lost bytes are not the body's size.
        if (xact != nullptr) {
          xact->req_bytes = complete == kLostBytes ? OB_HTTPXact::kUnknownBytes : sum;
        }
        if (complete == kLostBytes) {
          lost(OB_HTTPProtocol::GapLoss::ChunkLine);
          break;
        }
        if (complete <= 0) {
          note(complete < 0 ? ParseStop::Chunk : ParseStop::CutShort);
          return stop;
        }
      } else if (xact != nullptr && xact->req_bytes > 0) {
        const int skipped = skipBody(xact->req_bytes);
        if (skipped == kLostBytes) {
          lost(OB_HTTPProtocol::GapLoss::Head);
          break;
        }
        if (skipped == 0) {
          // A body that is not all there ends the direction: its bytes are no request lines.
          if (uint32_t end = 0; bodyEndSeq(xact->req_bytes, &end)) noteNext(0, end);
          note(afterBody(xact->req_bytes));
          return stop;
        }
        bodyPlaced = packets_ != nullptr;
      }
      OB_StreamPosition after;
      stream_->savePosition(after);
      LWS();
      stream_->savePosition(headAt);
      head = findHeadEnd(&bodyStart);
      if (!headIntact(after, head, bodyStart, !bodyPlaced)) {
        lost(OB_HTTPProtocol::GapLoss::Head);
        again = true;
      } else if (head == kHeadNotFound && carryRequestHead(headAt)) {
        // The request before ends where the carried one begins.
        OB_HTTPProtocol::RequestPlace* place = parser_.placeOf(parser_.commRespCount);
        if (place != nullptr && place->known && !parser_.gapPending_) {
          place->end = parser_.next_[0];
          place->endKnown = true;
        }
        return stop;
      } else if (Request_Line() == 0) {
        note(noMessageHere());
        if (stop == ParseStop::None) {
          noteNextAtEnd(0);
          placeLastEnd();
        }
        return stop;
      } else {
        placeRequest(headAt, true);
      }
    }
  }

  // A simple request: GET and a URI, no version, then the end of the head.
  stream_->resetNext(lineStart, kLineStartSlot);
  if (GetNextKWT() == KW_GET &&
      stream_->bumpToNext(static_cast<int32_t>(keywordLength(KW_GET))) != 0) {
    unsigned char* methodEnd = stream_->markNext(kMethodEndSlot);
    LWS();
    unsigned char* uriStart = stream_->markNext(kURIStartSlot);
    if (Request_URI() != 0) {
      unsigned char* uriEnd = stream_->markNext(0);
      if (checkForDone() == 1) {
        reportValue(AT_Method, lineStart, methodEnd);
        reportValue(AT_RequestURI, uriStart, uriEnd);
        Entity_Body_Request(0);
        return ParseStop::None;
      }
    }
  }
  stream_->resetNext(lineStart, kLineStartSlot);
  return noMessageHere();
}

OB_HTTPGrammar::ParseStop OB_HTTPGrammar::parseResponses() {
  direction_ = 1;
  if (stream_->setFirst() == -1) {
    // No server byte in this piece: the next response begins where it would have, the
    // earlier piece's place or the first byte after the server's SYN.
    const OB_ParseCarry* carry = parser_.carryIn_;
    const OB_HTTPCarry* http = parser_.httpIn_;
    if (carry != nullptr && carry->nextKnown[1]) {
      parser_.nextKnown_[1] = true;
      parser_.next_[1] = carry->next[1];
      parser_.chunked_[1] = http != nullptr && http->chunked[1];
      parser_.afterData_[1] = http != nullptr && http->afterData[1];
      parser_.trailer_[1] = http != nullptr && http->trailer[1];
    } else if (!parser_.resync_ && packets_ != nullptr &&
               (packets_->xStatus & OB_PacketStream::kSynSeen) != 0) {
      parser_.nextKnown_[1] = true;
      parser_.next_[1] = packets_->xMinSeq + 1;
    }
    return ParseStop::None;
  }
  // Responses are paired by their order. Once bytes are lost where a response's place cannot
  // be known, no later response can be told whose it is by its order: the requests left are
  // recorded without a response, and pairing resumes only at a response whose segment shows
  // for certain which request it answers (anchoredRequest).
  using GapLoss = OB_HTTPProtocol::GapLoss;
  bool searching = parser_.resync_;
  // The walk lost its place: the next response is looked for at the segments from resume_.
  bool lostPlace = false;
  bool inclusive = true;
  if (parser_.resync_) {
    const int placed = placeFromCarry(1);
    if (placed == 0) return ParseStop::None;
    if (placed == 1) searching = false;
    if (placed == kPlaceLost) {
      // Where the earlier piece said the next response begins was never captured: a head
      // lost, as in a whole connection.
      parser_.noteResponseGap(GapLoss::Head);
      lostPlace = true;
    }
  } else if (packets_ != nullptr && packets_->startsAfterGap()) {
    parser_.noteResponseGap(GapLoss::Head);
    stream_->savePosition(resume_);
    lostPlace = true;
  }
  ParseStop stop = ParseStop::None;
  auto note = [&stop](ParseStop why) {
    if (stop == ParseStop::None) stop = why;
  };
  OB_StreamPosition bodyStart;
  OB_StreamPosition headAt;
  int head = kHeadNotFound;
  if (!lostPlace) {
    OB_StreamPosition before;
    stream_->savePosition(before);
    LWS();
    stream_->markNext(kLineStartSlot);
    stream_->savePosition(headAt);
    head = findHeadEnd(&bodyStart);
    if (!headIntact(before, head, bodyStart, true)) {
      parser_.noteResponseGap(GapLoss::Head);
      lostPlace = true;
    } else {
      // A head cut at the piece's end is carried only from where a response certainly begins.
      if (head == kHeadNotFound && !searching && carryResponseHead(headAt)) return stop;
      prepareAnchor(headAt);
      bool found = Status_Line() != 0;
      // Resynchronising: the first status line begins the first whole response.
      while (!found && searching && stream_->incNext() != 0 &&
             stream_->findPattern("HTTP/") != 0) {
        stream_->savePosition(headAt);
        head = findHeadEnd(&bodyStart);
        prepareAnchor(headAt);
        found = Status_Line() != 0;
      }
      // A session that continues one cut off may hold no whole response: a long body goes on.
      if (!found) return searching ? ParseStop::None : noMessageHere();
    }
  }
  for (;;) {
    if (lostPlace) {
      // The next run of responses begins at an anchored head after the lost bytes.
      bool found = false;
      while (!found && findAnchor(inclusive)) {
        inclusive = false;
        stream_->savePosition(headAt);
        resume_ = headAt;
        head = findHeadEnd(&bodyStart);
        found = headIntact(headAt, head, bodyStart, false) && Status_Line() != 0;
        if (!found) {
          parser_.anchor_ = 0;
          resume_ = headAt;
        }
      }
      if (!found) break;
      lostPlace = false;
      inclusive = true;
    }
    if (head == kHeadNotFound) note(ParseStop::CutShort);
    messageHead(false, head, bodyStart);
    OB_HTTPXact* paired = parser_.currentResponse();
    if (paired == nullptr && parser_.blind_) {
      // A response that pairs with no request: its length was not kept, so the next one is
      // looked for by its anchor.
      resume_ = headAt;
      inclusive = false;
      lostPlace = true;
      continue;
    }
    // The framing comes from the head itself, also for a response whose values are not
    // recorded (one owed to an earlier piece's request is skipped by it).
    const OB_HTTPProtocol::HeadFraming& framing = parser_.framing_;
    const bool interim = isInterim(framing.status);
    // Such a response sends no body: a Content-Length it carries announces what a GET would
    // have had, not bytes sent.
    const bool noBody = hasNoBody(framing.status, paired != nullptr && isHeadRequest(*paired));
    if (paired != nullptr && noBody) paired->res_bytes = 0;
    // An interim response of an owed request leaves its final response owed.
    if (interim && parser_.droppedOwed_) ++parser_.owedIn_;
    const bool moreExpected = parser_.respCount < parser_.commRespCount || parser_.owedIn_ > 0;
    // Whether the response's framing says where the next one begins: not after the last
    // expected response (its body may run to the end), a body of unknown length (searched for
    // the next "HTTP/", which it may hold itself) or a switch to another protocol.
    bool framed = true;
    // The body was skipped in sequence space to its very end (see parseRequests).
    bool bodyPlaced = false;
    // The cursor rests where the next response certainly begins: a head cut off there can be
    // carried to the next piece.
    bool atNext = false;
    OB_StreamPosition body;
    stream_->savePosition(body);
    if (isText(framing.status, "101")) {
      // What follows a switch of protocols is another protocol's.
      break;
    } else if (interim) {
      // The final response that follows is the request's answer.
      if (paired != nullptr) parser_.unpairResponse();
      atNext = true;
      // A head that ends the data: the final response begins in the next piece.
      if (head == kHeadEndsData) noteNextAtEnd(1);
    } else if (chunked_ && !noBody) {
      int32_t sum = 0;
      const int complete = Entity_Body_Chunked(&sum);
      if (paired != nullptr) {
        paired->res_bytes = complete == kLostBytes ? OB_HTTPXact::kUnknownBytes : sum;
      }
      if (complete == kLostBytes) {
        parser_.noteResponseGap(GapLoss::ChunkLine);
        lostPlace = true;
        continue;
      }
      if (complete == 0 && paired != nullptr && parser_.nextKnown_[1] && parser_.chunked_[1]) {
        // The body goes on past these bytes: the piece where it ends records the transaction.
        parser_.held_ = paired;
        parser_.heldBytes_ = sum + cutChunk_;
      }
      if (complete <= 0) {
        note(complete < 0 ? ParseStop::Chunk : ParseStop::CutShort);
        break;
      }
      atNext = true;
    } else if (moreExpected && (noBody || framing.lengthSeen)) {
      // A known length (none at all included) says where the body ends, whether or not its
      // bytes were captured.
      const int32_t length = noBody ? 0 : framing.length;
      if (uint32_t end = 0; paired != nullptr && bodyEndSeq(length, &end)) noteAnswerEnd(end);
      const int skipped = skipBody(length);
      if (skipped == kLostBytes) {
        parser_.noteResponseGap(GapLoss::Head);
        lostPlace = true;
        continue;
      }
      if (skipped == 0) {
        stream_->restorePosition(body);
        if (uint32_t end = 0; bodyEndSeq(length, &end)) noteNext(1, end);
        if (paired != nullptr) cutShortByTheEnd(paired, length);
        note(afterBody(length));
        break;
      }
      if (length == 0 && head == kHeadEndsData) {
        // The head ended the data: the next response begins in the next piece.
        noteNextAtEnd(1);
        break;
      }
      OB_StreamPosition bodyEnd;
      stream_->savePosition(bodyEnd);
      if (Entity_Body_Response(0) == 0) {
        // No further status line: what is left after the body is no message.
        if (packets_ != nullptr && packets_->afterGap(bodyEnd, &resume_)) {
          parser_.noteResponseGap(GapLoss::Head);
          lostPlace = true;
          continue;
        }
        // Fewer bytes than "HTTP/" left after a framed body: a head cut off at once.
        if (carryResponseHead(bodyEnd)) break;
        note(noMessageHere());
        break;
      }
      // The next "HTTP/" lies beyond lost bytes: what follows the body may hold whole
      // responses.
      bodyPlaced = length > 0 && packets_ != nullptr;
      if (lostSince(bodyEnd, !bodyPlaced)) {
        parser_.noteResponseGap(GapLoss::Head);
        lostPlace = true;
        continue;
      }
      atNext = true;
    } else if (moreExpected) {
      // A body of unknown length: searched for the next "HTTP/".
      OB_StreamPosition bodyEnd;
      stream_->savePosition(bodyEnd);
      if (Entity_Body_Response(0) == 0) {
        if (packets_ != nullptr && packets_->afterGap(bodyEnd, &resume_)) {
          parser_.noteResponseGap(GapLoss::UnknownLength);
          lostPlace = true;
          continue;
        }
        // It ran to the server's close.
        if (paired != nullptr && parser_.serverEnded_) paired->res_bytes = bytesToTheEnd();
        break;
      }
      // The next "HTTP/" lies beyond lost bytes: the body may hold whole responses.
      if (lostSince(bodyEnd)) {
        parser_.noteResponseGap(GapLoss::UnknownLength);
        lostPlace = true;
        continue;
      }
      framed = false;
    } else {
      // The body of the last expected response is not scanned: nothing follows it that could
      // be paired. Where it ends is kept for a piece that continues this one.
      framed = false;
      if (paired != nullptr) {
        if (noBody || framing.lengthSeen) {
          const int32_t length = noBody ? 0 : framing.length;
          if (uint32_t end = 0; bodyEndSeq(length, &end)) {
            noteNext(1, end);
            noteAnswerEnd(end);
          }
          cutShortByTheEnd(paired, length);
        } else if (parser_.serverEnded_) {
          // Without a length or chunks the body runs to the server's close.
          paired->res_bytes = bytesToTheEnd();
        }
      }
    }
    OB_StreamPosition after;
    stream_->savePosition(after);
    LWS();
    stream_->savePosition(headAt);
    head = findHeadEnd(&bodyStart);
    if (!headIntact(after, head, bodyStart, !bodyPlaced)) {
      if (moreExpected) {
        parser_.noteResponseGap(GapLoss::Head);
        lostPlace = true;
        continue;
      }
      break;
    }
    if (head == kHeadNotFound && atNext && carryResponseHead(headAt)) break;
    prepareAnchor(headAt);
    if (Status_Line() == 0) {
      if (framed) note(noMessageHere());
      break;
    }
  }
  // A piece cut at the byte limit hands on whether its client showed pipelining.
  if (parser_.cutting_) pipeliningShown();
  return stop;
}

bool OB_HTTPGrammar::stepBack(const OB_StreamPosition& at, OB_StreamPosition* before) {
  OB_StreamPosition here;
  stream_->savePosition(here);
  stream_->restorePosition(at);
  const bool stepped = stream_->bumpToNext(-1) != 0;
  stream_->savePosition(*before);
  stream_->restorePosition(here);
  return stepped;
}

bool OB_HTTPGrammar::headIntact(const OB_StreamPosition& from, int head,
                                const OB_StreamPosition& bodyStart, bool withEdge) {
  // Stored bytes without gaps between them: no head lost any.
  if (packets_ == nullptr || packets_->storedInOrder()) return true;
  // From the byte before the head: lost bytes right before it (a whole message, perhaps) count.
  OB_StreamPosition edge = from;
  if (withEdge) stepBack(from, &edge);
  if (head == kHeadWithHeaders || head == kHeadWithoutHeaders) {
    // Up to the head's last byte: a gap after it is the body's (or the next message's).
    OB_StreamPosition last;
    stepBack(bodyStart, &last);
    if (!packets_->gapBetween(edge, last)) return true;
    return !packets_->afterGap(edge, &resume_);
  }
  // The head runs to the end of the data: any gap after its start lies inside it.
  return !packets_->afterGap(edge, &resume_);
}

int OB_HTTPGrammar::skipBody(int32_t n) {
  if (n <= 0) return 1;
  if (bodyAfterData_) return 0;
  // Stored bytes without gaps between them: the body's end lies n bytes on, as the search in
  // sequence space below would find it.
  if (packets_ == nullptr || packets_->storedInOrder()) return stream_->bumpToNext(n) != 0 ? 1 : 0;
  OB_StreamPosition from;
  stream_->savePosition(from);
  // The body begins right after the byte before it, even when bytes between were lost.
  OB_StreamPosition edge;
  const bool stepped = stepBack(from, &edge);
  uint32_t seq = 0;
  if (!packets_->sequenceAt(edge, &seq)) return stream_->bumpToNext(n) != 0 ? 1 : 0;
  if (stepped) ++seq;
  OB_StreamPosition to;
  // Searched from the body's first stored byte, which lies at most n bytes before its end.
  switch (packets_->seekSequence(from, seq + static_cast<uint32_t>(n), &to)) {
    case OB_PacketStream::Seek::Found:
      stream_->restorePosition(to);
      return 1;
    case OB_PacketStream::Seek::InGap:
      resume_ = to;
      return kLostBytes;
    case OB_PacketStream::Seek::PastEnd:
      break;
  }
  return 0;
}

bool OB_HTTPGrammar::lostSince(const OB_StreamPosition& from, bool withEdge) {
  if (packets_ == nullptr || packets_->storedInOrder()) return false;
  OB_StreamPosition here;
  stream_->savePosition(here);
  OB_StreamPosition edge = from;
  if (withEdge) stepBack(from, &edge);
  if (!packets_->gapBetween(edge, here)) return false;
  return packets_->afterGap(edge, &resume_);
}

bool OB_HTTPGrammar::bodyEndSeq(int32_t n, uint32_t* seq) {
  if (packets_ == nullptr) return false;
  if (bodyAfterData_) {
    if (!packets_->endSequence(seq)) return false;
    *seq += static_cast<uint32_t>(n > 0 ? n : 0);
    return true;
  }
  OB_StreamPosition from;
  stream_->savePosition(from);
  const uint32_t length = static_cast<uint32_t>(n > 0 ? n : 0);
  // Stored bytes without gaps between them: the body's first byte follows the byte before it.
  if (packets_->storedInOrder()) {
    if (!packets_->sequenceAt(from, seq)) return false;
    *seq += length;
    return true;
  }
  OB_StreamPosition edge;
  const bool stepped = stepBack(from, &edge);
  if (!packets_->sequenceAt(edge, seq)) return false;
  *seq += (stepped ? 1u : 0u) + length;
  return true;
}

void OB_HTTPGrammar::noteNext(int direction, uint32_t seq, bool chunked, bool afterData) {
  uint32_t end = 0;
  if (packets_ == nullptr || !packets_->endSequence(&end)) return;
  if (static_cast<int32_t>(seq - end) < 0) return;
  parser_.nextKnown_[direction] = true;
  parser_.next_[direction] = seq;
  parser_.chunked_[direction] = chunked;
  parser_.afterData_[direction] = afterData;
  parser_.trailer_[direction] = false;
}

void OB_HTTPGrammar::noteNextAtEnd(int direction) {
  uint32_t end = 0;
  if (packets_ != nullptr && packets_->endSequence(&end)) noteNext(direction, end);
}

bool OB_HTTPGrammar::carryTail(const OB_StreamPosition& from, bool chunked, bool afterData) {
  if (!parser_.cutting_ || packets_ == nullptr) return false;
  // A head never begins with a line end: the cursor rests on the last byte of the message
  // before when the data end right after it.
  if (!chunked && !afterData && atLastLineEnd(from)) return false;
  uint32_t seq = 0;
  uint32_t end = 0;
  if (!packets_->sequenceAt(from, &seq) || !packets_->endSequence(&end)) return false;
  // The stored bytes from `from` on are exactly those up to the end only when none is missing.
  const uint32_t span = end - seq;
  if (span == 0 || span > OB_ParseCarry::kTailLimit) return false;
  OB_StreamPosition here;
  stream_->savePosition(here);
  stream_->restorePosition(from);
  std::string& tail = parser_.tail_[direction_];
  tail.clear();
  bool atEnd = false;
  try {
    while (tail.size() < span) {
      tail.push_back(static_cast<char>(stream_->getNext()));
      if (stream_->incNext() == 0) {
        atEnd = true;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    atEnd = false;
  }
  stream_->restorePosition(here);
  if (!atEnd || tail.size() != span) {
    tail.clear();
    return false;
  }
  parser_.nextKnown_[direction_] = true;
  parser_.next_[direction_] = seq;
  parser_.chunked_[direction_] = chunked;
  parser_.afterData_[direction_] = afterData;
  parser_.trailer_[direction_] = false;
  return true;
}

bool OB_HTTPGrammar::atLastLineEnd(const OB_StreamPosition& at) {
  OB_StreamPosition here;
  stream_->savePosition(here);
  stream_->restorePosition(at);
  const bool lineEnd = isLineEnd(stream_->getNext());
  stream_->restorePosition(here);
  return lineEnd;
}

bool OB_HTTPGrammar::carryRequestHead(const OB_StreamPosition& at) {
  if (!parser_.cutting_ || atLastLineEnd(at)) return false;
  if (carryTail(at, false, false)) return true;
  // The request is read as far as it goes here, but where the next piece's requests begin is
  // not known: its responses pair only where certain.
  parser_.gapPending_ = true;
  return false;
}

bool OB_HTTPGrammar::carryResponseHead(const OB_StreamPosition& at) {
  if (!parser_.cutting_ || atLastLineEnd(at)) return false;
  // It answers the first request still without a response, which waits for it in the next
  // piece with those after it, paired there by order.
  if (parser_.canHandOnUnanswered() && carryTail(at, false, false)) return true;
  parser_.blind_ = true;
  return true;
}

int OB_HTTPGrammar::placeFromCarry(int direction) {
  const OB_ParseCarry* carry = parser_.carryIn_;
  const OB_HTTPCarry* http = parser_.httpIn_;
  if (carry == nullptr || packets_ == nullptr || !carry->nextKnown[direction]) return -1;
  const bool chunked = http != nullptr && http->chunked[direction];
  const bool afterData = http != nullptr && http->afterData[direction];
  OB_StreamPosition first;
  stream_->savePosition(first);
  OB_StreamPosition to;
  switch (packets_->seekSequence(first, carry->next[direction], &to)) {
    case OB_PacketStream::Seek::Found: {
      stream_->restorePosition(to);
      forgetKeyword();
      if (!chunked) return 1;
      // The chunked body the earlier piece was reading goes on.
      int32_t sum = 0;
      const int complete =
          Entity_Body_Chunked(&sum, afterData, http != nullptr && http->trailer[direction]);
      if (direction == 1) {
        parser_.inFlightBytes_ = complete == kLostBytes ? OB_HTTPXact::kUnknownBytes
                                 : complete == 0        ? sum + cutChunk_
                                                        : sum;
        parser_.inFlightGoesOn_ = complete == 0 && parser_.nextKnown_[1] && parser_.chunked_[1];
      }
      if (complete == 1) return 1;
      if (complete == kLostBytes) return kPlaceLost;
      return 0;
    }
    case OB_PacketStream::Seek::PastEnd:
      noteNext(direction, carry->next[direction], chunked, afterData);
      parser_.trailer_[direction] = http != nullptr && http->trailer[direction];
      return 0;
    case OB_PacketStream::Seek::InGap:
      resume_ = to;
      break;
  }
  if (direction == 1) {
    parser_.inFlightGoesOn_ = false;
    // Where the chunked body the earlier piece was reading goes on was never captured.
    if (chunked) parser_.inFlightBytes_ = OB_HTTPXact::kUnknownBytes;
  }
  return kPlaceLost;
}

void OB_HTTPGrammar::resume() {
  stream_->restorePosition(resume_);
  forgetKeyword();
}

int OB_HTTPGrammar::checkForDone() {
  // Nearly always the run of line ends and a byte on either side of it lie in the cursor's
  // buffer: it is read there in place, and the walk below is left for the runs that do not.
  if (const unsigned char* at = stream_->getNextPtr(); at != nullptr) {
    const int64_t before = stream_->getPrevSpan();
    const int64_t after = stream_->getNextSpan();
    int64_t i = -1;
    while (i >= -before && isLineEnd(at[i])) --i;
    // Not when the run reaches back to the buffer's start.
    if (i >= -before) {
      ++i;  // onto the run's first byte, or back onto the cursor when there is no run
      int lineFeeds = 0;
      for (;;) {
        if (!isLineEnd(at[i])) {
          if (i != 0) stream_->bumpToNext(static_cast<int32_t>(i));
          return 0;
        }
        // Not when the next step would leave the buffer.
        if (i + 1 >= after) break;
        if (at[i] == '\n' && ++lineFeeds == 2) {
          stream_->bumpToNext(static_cast<int32_t>(i + 1));
          return 1;
        }
        ++i;
      }
    }
  }
  if (stream_->bumpToNext(-1) == 0) return 0;
  while (isLineEnd(stream_->getNext()) && stream_->bumpToNext(-1) != 0) {
  }
  // At the start of the data the run may begin on the first byte itself.
  if (!isLineEnd(stream_->getNext()) && stream_->incNext() == 0) return 0;
  // The head ends at its first empty line: the run's second LF. The body, whatever bytes it
  // begins with, starts right after it.
  int lineFeeds = 0;
  while (isLineEnd(stream_->getNext())) {
    if (stream_->getNext() == '\n' && ++lineFeeds == 2) {
      stream_->incNext();
      return 1;
    }
    if (stream_->incNext() == 0) return 1;  // the end of the data
  }
  return 0;
}

int OB_HTTPGrammar::ScanLine() {
  unsigned char* start = stream_->markNext(kRequestBodySlot);
  int found = 0;
  bool previousEnded = false;
  while (stream_->incNext() != 0) {
    const bool ends = isLineEnd(stream_->getNext());
    if (ends && previousEnded) {
      found = 1;
      break;
    }
    previousEnded = ends;
  }
  stream_->resetNext(start, kRequestBodySlot);
  return found;
}

int OB_HTTPGrammar::Entity_Body_Request(int length) {
  unsigned char* start = stream_->markNext(kRequestBodySlot);
  if (length < 0) return 0;
  if (length > 0 && stream_->bumpToNext(length) == 0) return 0;
  reportValue(AT_EntityBody, start, stream_->getNextPtr());
  return 1;
}

int OB_HTTPGrammar::Entity_Body_Response(int length) {
  unsigned char* start = stream_->markNext(kResponseBodySlot);
  if (length < 0) return 0;
  if ((length > 0 && stream_->bumpToNext(length) == 0) || stream_->findPattern("HTTP/") == 0) {
    stream_->resetNext(start, kResponseBodySlot);
    return 0;
  }
  return 1;
}

int OB_HTTPGrammar::Entity_Body_Chunked(int32_t* sum, bool afterData, bool inTrailer) {
  *sum = 0;
  if (inTrailer) return chunkTrailer();
  if (bodyAfterData_) {
    // The head ended the data: the body's first size line is the next piece's.
    bodyAfterData_ = false;
    uint32_t end = 0;
    if (packets_ != nullptr && packets_->endSequence(&end)) noteNext(direction_, end, true);
    cutChunk_ = 0;
    return 0;
  }
  for (bool first = true;; first = false) {
    // A piece that continues a body cut inside a chunk's data begins at the data's line end.
    if (!first || !afterData) {
      const int sized = chunk(sum);
      if (sized != 1) return sized;
      if (chunkDone_) return 1;
    }
    OB_StreamPosition dataEnd;
    stream_->savePosition(dataEnd);
    // The data's own line end.
    if (stream_->getNext() == '\r' && stream_->incNext() == 0) {
      carryTail(dataEnd, true, true);
      return 0;
    }
    if (lostSince(dataEnd)) return kLostBytes;
    if (stream_->getNext() != '\n') return -1;
    if (stream_->incNext() == 0) {
      // The data ended right after the line end: the next size line is the next piece's.
      noteNextAtEnd(direction_);
      if (parser_.nextKnown_[direction_]) parser_.chunked_[direction_] = true;
      return 0;
    }
  }
}

int OB_HTTPGrammar::chunk(int32_t* sum) {
  chunkDone_ = false;
  cutChunk_ = 0;
  OB_StreamPosition line;
  stream_->savePosition(line);
  // The chunk's size: hexadecimal, then extensions up to the line's end.
  int64_t size = 0;
  int digits = 0;
  for (int value; (value = hexValue(stream_->getNext())) >= 0; ++digits) {
    size = size * 16 + value;
    // Digits read on across bytes never captured are no size: the line is lost, not malformed.
    if (size > INT32_MAX - static_cast<int64_t>(*sum)) return lostSince(line) ? kLostBytes : -1;
    if (stream_->incNext() == 0) {
      if (lostSince(line)) return kLostBytes;
      carryTail(line, true, false);
      return 0;
    }
  }
  if (digits == 0) return lostSince(line) ? kLostBytes : -1;
  const int more = nextLine();
  // A size line with bytes missing: neither its size nor where the body goes on is known.
  if (lostSince(line)) return kLostBytes;
  if (more == 0 && packets_ != nullptr && packets_->afterGap(line, &resume_)) return kLostBytes;
  if (size == 0) {
    // The last chunk; the trailer's header lines end with an empty line.
    chunkDone_ = true;
    if (more != 0) return chunkTrailer();
    if (stream_->getNext() != '\n') {
      // The data ends inside the last chunk's line.
      chunkDone_ = false;
      carryTail(line, true, false);
      return 0;
    }
    // The line was the data's last: the trailer is the next piece's.
    noteNextAtEnd(direction_);
    if (parser_.nextKnown_[direction_]) {
      parser_.chunked_[direction_] = true;
      parser_.trailer_[direction_] = true;
    }
    chunkDone_ = false;
    return 0;
  }
  if (more == 0) {
    carryTail(line, true, false);
    return 0;
  }
  uint32_t dataEndSeq = 0;
  const bool placed = bodyEndSeq(static_cast<int32_t>(size), &dataEndSeq);
  const int skipped = skipBody(static_cast<int32_t>(size));
  if (skipped != 1) {
    // The data go on beyond these bytes: a piece that continues them reads on from there.
    if (skipped == 0 && placed) {
      noteNext(direction_, dataEndSeq, true, true);
      cutChunk_ = static_cast<int32_t>(size);
    }
    return skipped;
  }
  *sum += static_cast<int32_t>(size);
  return 1;
}

int OB_HTTPGrammar::chunkTrailer() {
  OB_StreamPosition trailer;
  stream_->savePosition(trailer);
  const int through = skipThroughEmptyLine();
  if (lostSince(trailer)) return kLostBytes;
  if (through >= 0) {
    chunkDone_ = true;
    return 1;
  }
  chunkDone_ = false;
  if (carryTail(trailer, true, false)) parser_.trailer_[direction_] = true;
  return 0;
}

bool OB_HTTPGrammar::nextCandidate() {
  OB_StreamPosition from;
  stream_->savePosition(from);
  OB_StreamPosition segment;
  uint32_t segmentSeq = 0;
  uint32_t ack = 0;
  const bool segmentFollows =
      packets_ != nullptr && packets_->segmentStartFrom(from, false, &segment, &segmentSeq, &ack);
  const int more = nextLine();
  if (segmentFollows) {
    OB_StreamPosition lineStart;
    stream_->savePosition(lineStart);
    uint32_t lineSeq = 0;
    if (more == 0 || !packets_->sequenceAt(lineStart, &lineSeq) ||
        static_cast<int32_t>(segmentSeq - lineSeq) < 0) {
      stream_->restorePosition(segment);
      forgetKeyword();
      return true;
    }
  }
  return more != 0;
}

int32_t OB_HTTPGrammar::bytesToTheEnd() {
  uint32_t start = 0;
  uint32_t end = 0;
  if (parser_.endSizeUnknown_ || packets_ == nullptr || !bodyEndSeq(0, &start) ||
      !packets_->endSequence(&end)) {
    return OB_HTTPXact::kUnknownBytes;
  }
  if (!bodyAfterData_ && !packets_->storedInOrder()) {
    // From the byte before the body: bytes lost right at its start count.
    OB_StreamPosition here;
    stream_->savePosition(here);
    OB_StreamPosition edge;
    stepBack(here, &edge);
    OB_StreamPosition after;
    if (packets_->afterGap(edge, &after)) return OB_HTTPXact::kUnknownBytes;
  }
  const int32_t bytes = static_cast<int32_t>(end - start);
  return bytes > 0 ? bytes : 0;
}

void OB_HTTPGrammar::cutShortByTheEnd(OB_HTTPXact* xact, int32_t length) {
  if (!parser_.serverEnded_ || packets_ == nullptr || xact == nullptr || length <= 0) return;
  uint32_t end = 0;
  if (!bodyEndSeq(length, &end)) return;
  // The number after the last one the direction's payload took (a FIN takes one of its own).
  const uint32_t sent =
      packets_->xMaxSeq - ((packets_->xStatus & OB_PacketStream::kFinSeen) != 0 ? 1u : 0u);
  if (static_cast<int32_t>(end - sent) <= 0) return;
  xact->res_bytes = bytesToTheEnd();
}

bool OB_HTTPGrammar::statusLineAt(const OB_StreamPosition& at) {
  OB_StreamPosition here;
  stream_->savePosition(here);
  stream_->restorePosition(at);
  const bool status = peekIs("HTTP/", 5, false);
  stream_->restorePosition(here);
  return status;
}

bool OB_HTTPGrammar::pipeliningShown() {
  if (parser_.pipelined_ || parser_.serverShownChecked_ || packets_ == nullptr) {
    return parser_.pipelined_;
  }
  parser_.serverShownChecked_ = true;
  // A client that waits for each response acknowledges, with a request's first segment,
  // exactly the start of that request's response: a request that acknowledged captured server
  // bytes anywhere else was sent while a response was arriving. The acknowledgements grow
  // with the requests (one that did not grow showed pipelining already), so one walk over the
  // server's bytes finds
  // them all.
  OB_StreamPosition here;
  stream_->savePosition(here);
  if (stream_->setFirst() == -1) return false;
  OB_StreamPosition from;
  stream_->savePosition(from);
  stream_->restorePosition(here);
  for (uint32_t k = 1; k <= parser_.commRespCount; ++k) {
    const OB_HTTPProtocol::RequestPlace* place = parser_.placeOf(k);
    if (place == nullptr || !place->known) continue;
    ++parser_.anchorWork_;
    OB_StreamPosition at;
    const OB_PacketStream::Seek found = packets_->seekSequence(from, place->sentAck, &at);
    if (found == OB_PacketStream::Seek::PastEnd) break;
    if (found == OB_PacketStream::Seek::Found && at.data != nullptr) {
      // Carried bytes of an earlier piece carry no acknowledgements: nothing to tell there.
      uint32_t ack = 0;
      if (packets_->ackAt(at, &ack) && (!packets_->beginsSegment(at) || !statusLineAt(at))) {
        parser_.pipelined_ = true;
        break;
      }
    }
    if (at.data != nullptr) from = at;
  }
  return parser_.pipelined_;
}

void OB_HTTPGrammar::placeRequest(const OB_StreamPosition& at, bool follows) {
  OB_HTTPProtocol::RequestPlace* place = parser_.placeOf(parser_.commRespCount);
  uint32_t seq = 0;
  uint32_t ack = 0;
  if (packets_ == nullptr || place == nullptr || place->known) return;
  if (!packets_->segmentAt(at, &seq, &ack)) return;
  place->known = true;
  place->start = seq;
  place->sentAck = ack;
  OB_HTTPProtocol::RequestPlace* before = parser_.placeOf(parser_.commRespCount - 1u);
  if (follows && before != nullptr && !place->gapBefore) {
    before->end = seq;
    before->endKnown = true;
  }
  // A request that shares its segment with the bytes before it, or was sent without a byte of
  // the server's having arrived since the one before (whose response has at least its status
  // line), was sent without waiting for that response.
  if (!packets_->beginsSegment(at) ||
      (before != nullptr && before->known && static_cast<int32_t>(ack - before->sentAck) <= 0)) {
    parser_.pipelined_ = true;
  }
  // The same where client bytes were lost before the piece's first request: they were sent
  // before it with no response byte between them and it, when it acknowledged no more than
  // where the responses before the piece ended.
  bool nothing = false;
  uint32_t end = 0;
  if (before == nullptr && place->gapBefore && answerEndOf(0, &nothing, &end) && !nothing &&
      static_cast<int32_t>(ack - end) <= 0) {
    parser_.pipelined_ = true;
  }
}

void OB_HTTPGrammar::placeLastEnd() {
  OB_HTTPProtocol::RequestPlace* place = parser_.placeOf(parser_.commRespCount);
  uint32_t end = 0;
  if (packets_ == nullptr || place == nullptr || !place->known || parser_.gapPending_) return;
  if (!packets_->endSequence(&end)) return;
  place->end = end;
  place->endKnown = true;
}

uint32_t OB_HTTPGrammar::anchoredRequest(const OB_StreamPosition& at) {
  if (packets_ == nullptr || at.offset != 0) return 0;
  OB_StreamPosition start;
  uint32_t seq = 0;
  uint32_t ack = 0;
  if (!packets_->segmentStartFrom(at, true, &start, &seq, &ack) || start.link != at.link) {
    return 0;
  }
  const uint32_t requests = parser_.commRespCount;
  // The first request not yet passed by the pairing whose end the segment acknowledges: looked
  // up, as a walk over the requests for each segment of a connection of many would take their
  // product.
  if (!requestEndsMade_) indexRequestEnds();
  const uint32_t from = static_cast<uint32_t>(parser_.respCount) + 1;
  ++parser_.anchorWork_;
  const auto found = std::lower_bound(requestEnds_.begin(), requestEnds_.end(),
                                      std::pair<uint32_t, uint32_t>(ack, from));
  if (found == requestEnds_.end() || found->first != ack || found->second > requests) return 0;
  const uint32_t k = found->second;
  const OB_HTTPProtocol::RequestPlace& place = *parser_.placeOf(k);
  if (!place.known || place.sentAck != seq) return 0;
  if (k < requests) {
    const OB_HTTPProtocol::RequestPlace& after = *parser_.placeOf(k + 1);
    if (!after.known || static_cast<int32_t>(after.sentAck - seq) <= 0) return 0;
  }
  if (!pipeliningShown()) return k;
  if (place.gapBefore || !answeredBefore(k, seq, place.sentAck)) return 0;
  return k;
}

bool OB_HTTPGrammar::answerEndOf(uint32_t n, bool* nothing, uint32_t* end) {
  *nothing = false;
  if (n > 0) {
    const OB_HTTPProtocol::RequestPlace* place = parser_.placeOf(n);
    if (place == nullptr || !place->answerEndKnown) return false;
    *end = place->answerEnd;
    return true;
  }
  if (parser_.resync_) {
    // A continued piece: the earlier piece knew where its last response ended, none owed.
    *end = parser_.priorAnswerEnd_;
    return parser_.priorAnswerKnown_;
  }
  // Before a connection's first request nothing was answered; its first response begins
  // right after the server's SYN, when that was seen.
  *nothing = !parser_.serverStartKnown_;
  *end = parser_.serverStart_;
  return true;
}

bool OB_HTTPGrammar::answeredBefore(uint32_t k, uint32_t seq, uint32_t sentAck) {
  bool nothing = false;
  uint32_t end = 0;
  if (k == 1) return answerEndOf(0, &nothing, &end) && (nothing || static_cast<int32_t>(seq - end) >= 0);
  const OB_HTTPProtocol::RequestPlace& before = *parser_.placeOf(k - 1);
  if (!before.known) return false;
  // Read to its end before the head.
  if (before.answerEndKnown && static_cast<int32_t>(seq - before.answerEnd) >= 0) return true;
  if (!answerEndOf(k - 2, &nothing, &end)) return false;
  // Begun before k was sent (server bytes reached the client between sending k - 1 and k),
  // the responses before it having ended when k - 1 was sent: those bytes were its own.
  if (static_cast<int32_t>(sentAck - before.sentAck) > 0 &&
      (nothing || static_cast<int32_t>(before.sentAck - end) >= 0)) {
    return true;
  }
  // Begun where the response before it ended, before the head: the head is a later response's,
  // unless an interim response went first, which only a request with a body is sent.
  const OB_HTTPXact* previous = parser_.xactAt(static_cast<int>(k - 1));
  return !nothing && !before.gapBefore && previous != nullptr && previous->req_bytes == 0 &&
         static_cast<int32_t>(seq - end) > 0;
}

void OB_HTTPGrammar::noteAnswerEnd(uint32_t end) {
  if (parser_.responseDropped_) return;
  OB_HTTPProtocol::RequestPlace* place = parser_.placeOf(static_cast<uint32_t>(parser_.respCount));
  if (place == nullptr) return;
  place->answerEndKnown = true;
  place->answerEnd = end;
}

void OB_HTTPGrammar::indexRequestEnds() {
  requestEndsMade_ = true;
  requestEnds_.clear();
  try {
    for (uint32_t k = 1; k <= parser_.commRespCount; ++k) {
      ++parser_.anchorWork_;
      const OB_HTTPProtocol::RequestPlace* place = parser_.placeOf(k);
      if (place != nullptr && place->endKnown) requestEnds_.emplace_back(place->end, k);
    }
  } catch (const std::bad_alloc&) {
    OB_Log::quit("OB_HTTPGrammar::indexRequestEnds: no memory");
  }
  std::sort(requestEnds_.begin(), requestEnds_.end());
}

void OB_HTTPGrammar::prepareAnchor(const OB_StreamPosition& at) {
  parser_.anchor_ = parser_.needsAnchor() ? anchoredRequest(at) : 0;
}

bool OB_HTTPGrammar::findAnchor(bool inclusive) {
  if (packets_ == nullptr) return false;
  OB_StreamPosition from = resume_;
  OB_StreamPosition at;
  uint32_t seq = 0;
  uint32_t ack = 0;
  for (; packets_->segmentStartFrom(from, inclusive, &at, &seq, &ack); from = at) {
    ++parser_.anchorWork_;
    inclusive = false;
    stream_->restorePosition(at);
    forgetKeyword();
    if (!peekIs("HTTP/", 5, false)) continue;
    const uint32_t k = anchoredRequest(at);
    if (k == 0) continue;
    parser_.anchor_ = k;
    return true;
  }
  return false;
}
