// The message driver: walks the client's byte stream request by request and the server's
// response by response, runs the request, status and header rules on each message head, skips
// bodies, and leaves one paired transaction per request in the chain.
#include <cstdint>
#include <cstring>

#include "OB_HTTPGrammar.h"

namespace {

// Mark slots of the driver loops and the body scanners.
constexpr int kMethodEndSlot = 7;
constexpr int kURIStartSlot = 8;
constexpr int kLineStartSlot = 9;
constexpr int kRequestBodySlot = 0;
constexpr int kResponseBodySlot = 1;

bool isLineEnd(unsigned char c) { return c == '\r' || c == '\n'; }

// Responses that carry no body whatever their headers say: skipping one would run over the
// responses that follow it.
bool hasNoBody(const OB_HTTPXact& xact) {
  const char* status = xact.res_status_code.c_str();
  return std::strcmp(status, "304") == 0 || std::strcmp(status, "204") == 0 || status[0] == '1' ||
         std::strcmp(xact.req_method.c_str(), "HEAD") == 0;
}

// An interim response (100 Continue, 102 Processing, 103 Early Hints) precedes the final one
// and is not the request's answer; 101 Switching Protocols is final.
bool isInterim(const OB_HTTPXact& xact) {
  const char* status = xact.res_status_code.c_str();
  return status[0] == '1' && std::strcmp(status, "101") != 0;
}

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
  if (stream_->setFirst() == -1) return ParseStop::None;
  LWS();
  unsigned char* lineStart = stream_->markNext(kLineStartSlot);
  OB_StreamPosition bodyStart;
  int head = findHeadEnd(&bodyStart);
  bool found = Request_Line() != 0;
  // Resynchronising: the first line that is a request line begins the first whole request.
  while (!found && parser_.resync_ && nextLine() != 0) {
    LWS();
    lineStart = stream_->markNext(kLineStartSlot);
    head = findHeadEnd(&bodyStart);
    found = Request_Line() != 0;
  }
  if (found) {
    ParseStop stop = ParseStop::None;
    auto note = [&stop](ParseStop why) {
      if (stop == ParseStop::None) stop = why;
    };
    for (;;) {
      if (head == kHeadNotFound) note(ParseStop::CutShort);
      messageHead(true, head, bodyStart);
      // Once the pool has run out the request's length is not known: nothing further of this
      // direction can be recorded or found.
      if (parser_.requestsDropped_) {
        note(ParseStop::Full);
        break;
      }
      OB_HTTPXact* xact = parser_.xactAt(parser_.commRespCount);
      if (chunked_) {
        int32_t sum = 0;
        const int complete = Entity_Body_Chunked(&sum);
        if (xact != nullptr) xact->req_bytes = sum;
        if (complete <= 0) {
          note(complete < 0 ? ParseStop::Chunk : ParseStop::CutShort);
          break;
        }
      } else if (xact != nullptr && xact->req_bytes > 0 &&
                 Entity_Body_Request(xact->req_bytes) == 0) {
        // A body that is not all there ends the direction: its bytes are no request lines.
        note(afterBody(xact->req_bytes));
        break;
      }
      LWS();
      head = findHeadEnd(&bodyStart);
      if (Request_Line() == 0) {
        note(noMessageHere());
        break;
      }
    }
    return stop;
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
  // A session that continues one cut off may hold no whole request: a long body goes on.
  if (parser_.resync_) return ParseStop::None;
  stream_->resetNext(lineStart, kLineStartSlot);
  return noMessageHere();
}

OB_HTTPGrammar::ParseStop OB_HTTPGrammar::parseResponses() {
  if (stream_->setFirst() == -1) return ParseStop::None;
  LWS();
  stream_->markNext(kLineStartSlot);
  OB_StreamPosition bodyStart;
  int head = findHeadEnd(&bodyStart);
  bool found = Status_Line() != 0;
  // Resynchronising: the first status line begins the first whole response.
  while (!found && parser_.resync_ && stream_->incNext() != 0 &&
         stream_->findPattern("HTTP/") != 0) {
    head = findHeadEnd(&bodyStart);
    found = Status_Line() != 0;
  }
  // A session that continues one cut off may hold no whole response: a long body goes on.
  if (!found) return parser_.resync_ ? ParseStop::None : noMessageHere();
  ParseStop stop = ParseStop::None;
  auto note = [&stop](ParseStop why) {
    if (stop == ParseStop::None) stop = why;
  };
  for (;;) {
    if (head == kHeadNotFound) note(ParseStop::CutShort);
    messageHead(false, head, bodyStart);
    OB_HTTPXact* xact = parser_.xactAt(parser_.respCount);
    OB_HTTPXact* paired = parser_.currentResponse();
    // Such a response sends no body: a Content-Length it carries announces what a GET would
    // have had, not bytes sent.
    if (paired != nullptr && hasNoBody(*paired)) paired->res_bytes = 0;
    const bool moreExpected = xact != nullptr && parser_.commRespCount != parser_.respCount;
    // Whether the response's framing says where the next one begins: not after the last
    // expected response (its body may run to the end), a body of unknown length (searched for
    // the next "HTTP/", which it may hold itself) or a switch to another protocol.
    bool framed = true;
    if (paired != nullptr && isInterim(*paired)) {
      // The final response that follows is the request's answer.
      parser_.unpairResponse();
    } else if (chunked_ && (paired == nullptr || !hasNoBody(*paired))) {
      int32_t sum = 0;
      const int complete = Entity_Body_Chunked(&sum);
      if (paired != nullptr) paired->res_bytes = sum;
      if (complete <= 0) {
        note(complete < 0 ? ParseStop::Chunk : ParseStop::CutShort);
        break;
      }
    } else if (moreExpected && !hasNoBody(*xact)) {
      if (Entity_Body_Response(xact->res_bytes) == 0) {
        note(afterBody(xact->res_bytes));
        break;
      }
      framed = xact->res_bytes > 0;
    } else {
      // The body of the last expected response is not scanned: nothing follows it that could
      // be paired.
      framed = moreExpected && std::strcmp(xact->res_status_code.c_str(), "101") != 0;
    }
    LWS();
    head = findHeadEnd(&bodyStart);
    if (Status_Line() == 0) {
      if (framed) note(noMessageHere());
      break;
    }
  }
  return stop;
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

int OB_HTTPGrammar::Entity_Body_Chunked(int32_t* sum) {
  *sum = 0;
  for (;;) {
    // The chunk's size: hexadecimal, then extensions up to the line's end.
    int64_t size = 0;
    int digits = 0;
    for (int value; (value = hexValue(stream_->getNext())) >= 0; ++digits) {
      size = size * 16 + value;
      if (size > INT32_MAX - static_cast<int64_t>(*sum)) return -1;  // the sum overflows
      if (stream_->incNext() == 0) return 0;
    }
    if (digits == 0) return -1;
    const int more = nextLine();
    if (size == 0) {
      // The last chunk; the trailer's header lines end with an empty line.
      if (more != 0) skipThroughEmptyLine();
      return 1;
    }
    if (more == 0 || stream_->bumpToNext(static_cast<int32_t>(size)) == 0) return 0;
    *sum += static_cast<int32_t>(size);
    // The data's own line end.
    if (stream_->getNext() == '\r' && stream_->incNext() == 0) return 0;
    if (stream_->getNext() != '\n') return -1;
    if (stream_->incNext() == 0) return 0;
  }
}
