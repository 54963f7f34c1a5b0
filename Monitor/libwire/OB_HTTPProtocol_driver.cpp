// The message driver: walks the client's byte stream request by request and the server's
// response by response, runs the request, status and header rules on each message head, skips
// bodies, and leaves one paired transaction per request in the chain.
#include <cstring>

#include "OB_HTTPProtocol.h"
#include "OB_TCPSession.h"

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

}  // namespace

int OB_HTTPProtocol::processObject(OB_Object* object) {
  // A rejected or unacknowledged connection is parsed all the same: its flags are already set.
  OB_Protocol::processObject(object);
  OB_TCPSession* session = obQuery<OB_TCPSession>(object);
  if (session == nullptr) return 0;
  state_ = 1;
  if (responseTarget_ == nullptr && !xacts_.empty()) responseTarget_ = xacts_.front();
  parseRequests(&session->client);
  session->client.reset();
  parseResponses(&session->server);
  session->server.reset();
  if (session->isFinished() && commRespCount != respCount) problemPairing = 1;
  HTTPMIMEInfo_fill();
  return 0;
}

void OB_HTTPProtocol::headerBlock(bool request) {
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

void OB_HTTPProtocol::parseRequests(OB_Stream* stream) {
  setStream(stream);
  if (stream_->setFirst() == -1) {
    setStream(nullptr);
    return;
  }
  LWS();
  unsigned char* lineStart = stream_->markNext(kLineStartSlot);
  if (Request_Line() != 0) {
    for (;;) {
      headerBlock(true);
      // Once the pool has run out the request's length is not known: nothing further of this
      // direction can be recorded or found.
      if (requestsDropped_) break;
      OB_HTTPXact* xact = xactAt(commRespCount);
      // A body that is not all there ends the direction: its bytes are no request lines.
      if (xact != nullptr && xact->req_bytes > 0 && Entity_Body_Request(xact->req_bytes) == 0) {
        break;
      }
      if (Request_Line() == 0) break;
    }
    setStream(nullptr);
    return;
  }

  // A simple request: GET and a URI, no version, then the end of the head.
  stream_->resetNext(lineStart, kLineStartSlot);
  if (GetNextKWT() == KW_GET && stream_->bumpToNext(3) != 0) {
    unsigned char* methodEnd = stream_->markNext(kMethodEndSlot);
    LWS();
    unsigned char* uriStart = stream_->markNext(kURIStartSlot);
    if (Request_URI() != 0) {
      unsigned char* uriEnd = stream_->markNext(0);
      if (checkForDone() == 1) {
        reportValue(AT_Method, lineStart, methodEnd);
        reportValue(AT_RequestURI, uriStart, uriEnd);
        Entity_Body_Request(0);
      }
    }
  }
  setStream(nullptr);
}

void OB_HTTPProtocol::parseResponses(OB_Stream* stream) {
  setStream(stream);
  if (stream_->setFirst() == -1) {
    setStream(nullptr);
    return;
  }
  LWS();
  stream_->markNext(kLineStartSlot);
  if (Status_Line() != 0) {
    for (;;) {
      headerBlock(false);
      OB_HTTPXact* xact = xactAt(respCount);
      // The body of the last expected response is not scanned: nothing follows it that could
      // be paired.
      if (xact != nullptr && commRespCount != respCount && !hasNoBody(*xact) &&
          Entity_Body_Response(xact->res_bytes) == 0) {
        break;
      }
      if (Status_Line() == 0) break;
    }
  }
  setStream(nullptr);
}

int OB_HTTPProtocol::checkForDone() {
  if (stream_->bumpToNext(-1) == 0) return 0;
  while (isLineEnd(stream_->getNext()) && stream_->bumpToNext(-1) != 0) {
  }
  // At the start of the data the run may begin on the first byte itself.
  if (!isLineEnd(stream_->getNext()) && stream_->incNext() == 0) return 0;
  int count = 0;
  bool endOfData = false;
  while (isLineEnd(stream_->getNext())) {
    ++count;
    if (stream_->incNext() == 0) {
      endOfData = true;
      break;
    }
  }
  return count < 3 && !endOfData ? 0 : 1;
}

int OB_HTTPProtocol::ScanLine() {
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

int OB_HTTPProtocol::Entity_Body_Request(int length) {
  unsigned char* start = stream_->markNext(kRequestBodySlot);
  if (length < 0) return 0;
  if (length > 0 && stream_->bumpToNext(length) == 0) return 0;
  reportValue(AT_EntityBody, start, stream_->getNextPtr());
  return 1;
}

int OB_HTTPProtocol::Entity_Body_Response(int length) {
  unsigned char* start = stream_->markNext(kResponseBodySlot);
  if (length < 0) return 0;
  if ((length > 0 && stream_->bumpToNext(length) == 0) || stream_->findPattern("HTTP/") == 0) {
    stream_->resetNext(start, kResponseBodySlot);
    return 0;
  }
  return 1;
}
