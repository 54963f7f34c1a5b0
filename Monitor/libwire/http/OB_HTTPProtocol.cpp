#include "http/OB_HTTPProtocol.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "http/OB_HTTPCarry.h"
#include "http/OB_HTTPGrammar.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

int parseResponsesSwitch = 1;
int parseParametersSwitch = 1;
const OB_HTTPMIMETable* mimeTable = nullptr;

// Values are counted no further than this: wider than every field and than the 29 digits a
// byte count may have, so a huge value costs no more than a long one.
constexpr size_t kValueScanLimit = 4096;
// Extensions longer than this match no table entry.
constexpr size_t kMaxExtension = 63;

constexpr const char* kOctetStream = "application/octet-stream";

OB_TCPSessionStats::Counter* stopCounter(OB_HTTPProtocol::ParseStop stop) {
  OB_TCPSessionStats& stats = *getTCPSessionStats();
  switch (stop) {
    case OB_HTTPProtocol::ParseStop::MessageLine:
      return &stats.httpStopMessageLine;
    case OB_HTTPProtocol::ParseStop::Chunk:
      return &stats.httpStopChunk;
    case OB_HTTPProtocol::ParseStop::CutShort:
      return &stats.httpStopCutShort;
    case OB_HTTPProtocol::ParseStop::Full:
    case OB_HTTPProtocol::ParseStop::None:
      break;
  }
  return &stats.httpStopFull;
}

void copyText(char* out, size_t width, const char* text) {
  if (out == nullptr || width == 0) return;
  size_t n = std::strlen(text);
  if (n > width - 1) n = width - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

template <size_t Width>
void normaliseContentType(OB_TextField<Width>& field) {
  char* text = field.data();
  if (char* semicolon = std::strchr(text, ';'); semicolon != nullptr) *semicolon = '\0';
  OB_Tools::toLowerCase(text);
}

}  // namespace

const char* HTTPMIMEInfo_search(const OB_HTTPMIMETable& table, const char* extension) {
  if (extension == nullptr) return nullptr;
  const int types = table.getMIMETypeCount();
  for (int t = 0; t < types; ++t) {
    const int extensions = table.getExtensionCount(t);
    for (int e = 0; e < extensions; ++e) {
      const char* candidate = table.getExtension(t, e);
      if (candidate != nullptr && std::strcmp(candidate, extension) == 0) {
        return table.getMIMEType(t);
      }
    }
  }
  return nullptr;
}

void HTTPMIMEInfo_setTable(const OB_HTTPMIMETable* table) { mimeTable = table; }

OB_HTTPProtocol::OB_HTTPProtocol() : OB_HTTPProtocol(kPoolQueues, kPoolObjectsPerQueue) {}

OB_HTTPProtocol::OB_HTTPProtocol(int maxQueues, int objectsPerQueue) {
  stream_ = &emptyStream_;
  pool_ = new OB_MemoryPool<OB_PooledHTTPXact>(maxQueues, objectsPerQueue);
  // The parsing thread must never block on its own pool: within one session nothing comes back
  // before the object is reset, so waiting would wait forever.
  if (pool_ != nullptr) pool_->setWait(0);
  try {
    xacts_.reserve(64);
  } catch (const std::bad_alloc&) {
    OB_Log::quit("OB_HTTPProtocol: no memory");
  }
}

OB_HTTPProtocol::~OB_HTTPProtocol() {
  // The transactions go back to the pool before the pool goes.
  OB_Protocol::reset();
  xacts_.clear();
  if (pending_ != nullptr) pending_->release();
  delete pool_;
}

void OB_HTTPProtocol::setStream(OB_Stream* stream) {
  stream_ = stream != nullptr ? stream : &emptyStream_;
}

void OB_HTTPProtocol::enableParseResponses(int on) { parseResponsesSwitch = on; }
void OB_HTTPProtocol::enableParseParameters(int on) { parseParametersSwitch = on; }
int OB_HTTPProtocol::isParseResponses() { return parseResponsesSwitch; }
int OB_HTTPProtocol::isParseParameters() { return parseParametersSwitch; }

OB_Xact* OB_HTTPProtocol::createXLink() {
  OB_PooledHTTPXact* xact = pending_;
  pending_ = nullptr;
  if (xact == nullptr && pool_ != nullptr) xact = pool_->getObject();
  return xact;
}

OB_Xact* OB_HTTPProtocol::addXLink() {
  if (pool_ == nullptr) return nullptr;
  // Taken here so that an exhausted pool is a refusal, not the base class's fatal stop.
  pending_ = pool_->getObject();
  if (pending_ == nullptr) return nullptr;
  OB_Xact* added = OB_Protocol::addXLink();
  if (pending_ != nullptr) {
    // The chain is full and did not take it.
    pending_->release();
    pending_ = nullptr;
  }
  if (added == nullptr) return nullptr;
  OB_HTTPXact* xact = obQuery<OB_HTTPXact>(added);
  try {
    xacts_.push_back(xact);
  } catch (const std::bad_alloc&) {
    OB_Log::quit("OB_HTTPProtocol::addXLink: no memory");
  }
  return added;
}

OB_Xact* OB_HTTPProtocol::getCurrentLink(int n) {
  if (xacts_.empty()) return nullptr;
  if (n <= 1) return xacts_.front();
  return static_cast<size_t>(n) <= xacts_.size() ? xacts_[n - 1] : nullptr;
}

int OB_HTTPProtocol::reset() {
  OB_Protocol::reset();
  forgetParse();
  carryIn_ = nullptr;
  owedIn_ = 0;
  setStream(nullptr);
  return 0;
}

int OB_HTTPProtocol::read(FILE* stream) {
  forgetParse();
  return OB_Protocol::read(stream);
}

int OB_HTTPProtocol::readBytes(OB_ArchiveBytes& bytes) {
  forgetParse();
  return readConnectionBytes(bytes);
}

void OB_HTTPProtocol::forgetParse() {
  xacts_.clear();
  state_ = 0;
  responseTarget_ = nullptr;
  requestsDropped_ = false;
  responseDropped_ = false;
  parseStop_ = ParseStop::None;
  gapLoss_ = GapLoss::None;
  places_.clear();
  gapPending_ = blind_ = false;
  anchor_ = 0;
  anchorWork_ = 0;
  framing_ = HeadFraming{};
  droppedOwed_ = false;
  pipelined_ = serverShownChecked_ = false;
  awaitingIn_ = 0;
  priorAnswerKnown_ = false;
  priorAnswerEnd_ = 0;
  serverStartKnown_ = false;
  serverStart_ = 0;
  trailer_[0] = trailer_[1] = false;
  serverEnded_ = false;
  endSizeUnknown_ = false;
}

int OB_HTTPProtocol::writeCLF(FILE* stream) {
  char client[16];
  OB_Tools::IPAddressString(clientIP, client);
  for (OB_HTTPXact* xact : xacts_) {
    OB_Log::flog(stream, "%s ", client);
    OB_Log::flog(stream, "%s", xact->req_request_uri.c_str());
    OB_Log::flog(stream, "\n");
  }
  return 0;
}

int OB_HTTPProtocol::processObject(OB_Object* object) {
  // A rejected or unacknowledged connection is parsed all the same: its flags are already set.
  OB_Protocol::processObject(object);
  OB_TCPSession* session = obQuery<OB_TCPSession>(object);
  if (session == nullptr) return 0;
  state_ = 1;
  if (responseTarget_ == nullptr && !xacts_.empty()) responseTarget_ = xacts_.front();
  // The rest of a connection cut off at the byte limit begins inside a message: where the
  // earlier piece's parse said each direction's next message begins, or searched for.
  OB_ParseCarry* carry = session->carry.get();
  resync_ = session->isContinued() != 0;
  carryIn_ = resync_ && carry != nullptr && carry->set ? carry : nullptr;
  owedIn_ = carryIn_ != nullptr ? carryIn_->owed : 0;
  // Once an earlier piece lost its pairing, no response of the connection is placed.
  if (carryIn_ != nullptr && carryIn_->lost) blind_ = true;
  for (int d = 0; d < 2; ++d) nextKnown_[d] = chunked_[d] = afterData_[d] = trailer_[d] = false;
  httpIn_ = carryIn_ != nullptr ? OB_HTTPCarry::in(*carryIn_) : nullptr;
  pipelined_ = httpIn_ != nullptr && httpIn_->pipelined;
  serverShownChecked_ = false;
  awaitingIn_ = 0;
  // The earlier piece ended between responses with every request answered: the next response
  // begins where the last one ended.
  priorAnswerKnown_ = carryIn_ != nullptr && !carryIn_->lost && carryIn_->owed == 0 &&
                      carryIn_->nextKnown[1] && carryIn_->tail[1].empty() && httpIn_ != nullptr &&
                      !httpIn_->chunked[1] && httpIn_->awaiting.empty() &&
                      httpIn_->inFlight == nullptr;
  priorAnswerEnd_ = priorAnswerKnown_ ? carryIn_->next[1] : 0;
  serverStartKnown_ = !resync_ && (session->server.xStatus & OB_PacketStream::kSynSeen) != 0;
  serverStart_ = serverStartKnown_ ? session->server.xMinSeq + 1 : 0;
  const bool serverClosed = (session->server.xStatus & OB_PacketStream::kFinSeen) != 0 ||
                            (session->server.xStatus & OB_PacketStream::kRstSeen) != 0;
  const bool clientReset = (session->client.xStatus & OB_PacketStream::kRstSeen) != 0;
  serverEnded_ = serverClosed || clientReset;
  endSizeUnknown_ = clientReset && !serverClosed;
  held_ = nullptr;
  heldBytes_ = 0;
  inFlightIn_ = httpIn_ != nullptr ? httpIn_->inFlight : nullptr;
  inFlightBytes_ = 0;
  inFlightGoesOn_ = true;  // until the server's bytes of this piece say otherwise
  // A piece whose rest could not be followed (no session was free at the cut) ends the
  // connection: it records what it holds, as a last piece does.
  const bool goesOn = session->isCutOff() != 0 && session->isFollowed() != 0;
  cutting_ = goesOn && carry != nullptr;
  for (int d = 0; d < 2; ++d) tail_[d].clear();
  if (carryIn_ != nullptr) {
    // The line or head the earlier piece ended inside of is read as this piece's first bytes.
    OB_PacketStream* streams[2] = {&session->client, &session->server};
    for (int d = 0; d < 2; ++d) {
      const std::string& tail = carryIn_->tail[d];
      if (!carryIn_->nextKnown[d] || tail.empty() || tail.size() > OB_ParseCarry::kTailLimit) {
        continue;
      }
      streams[d]->prependCarried(reinterpret_cast<const unsigned char*>(tail.data()),
                                 static_cast<uint32_t>(tail.size()), carryIn_->next[d]);
    }
    recordAwaiting();
  }
  ParseStop requests = parseRequests(&session->client);
  session->client.reset();
  const ParseStop responses = parseResponses(&session->server);
  session->server.reset();
  if (carry != nullptr) {
    // A body that goes on into a next piece is recorded there, whole; the last piece records
    // what it has.
    std::shared_ptr<OB_HTTPXact> inFlight;
    if (inFlightIn_ != nullptr) {
      // Each piece counts up to 2^31 - 1 bytes; the body's count, like a length, stops there.
      const int64_t bytes = static_cast<int64_t>(inFlightIn_->res_bytes) + inFlightBytes_;
      if (inFlightIn_->res_bytes == OB_HTTPXact::kUnknownBytes ||
          inFlightBytes_ == OB_HTTPXact::kUnknownBytes) {
        // Bytes of the body were never captured in one of the pieces.
        inFlightIn_->res_bytes = OB_HTTPXact::kUnknownBytes;
      } else {
        inFlightIn_->res_bytes = static_cast<int32_t>(bytes < INT32_MAX ? bytes : INT32_MAX);
      }
      if (inFlightGoesOn_ && goesOn) {
        inFlight = inFlightIn_;
      } else {
        recordInFlight();
      }
    }
    if (held_ != nullptr && goesOn) inFlight = unrecordHeld();
    // Without room for its own part the carry says only that the pairing cannot go on.
    OB_HTTPCarry* out = OB_HTTPCarry::of(*carry);
    if (out != nullptr) {
      out->inFlight = inFlight;
      out->awaiting.clear();
      out->pipelined = pipelined_;
      if (goesOn) handOnUnanswered(out);
    }
    // Pairing goes on by order in the next piece only when this one ended with it.
    carry->lost = blind_ || gapPending_ || out == nullptr;
    uint32_t unanswered = 0;
    for (size_t n = respCount > 0 ? static_cast<size_t>(respCount) : 0; n < xacts_.size(); ++n) {
      if (xacts_[n]->res_status_code.empty()) ++unanswered;
    }
    carry->owed = owedIn_ + unanswered;
    for (int d = 0; d < 2; ++d) {
      carry->nextKnown[d] = nextKnown_[d];
      carry->next[d] = next_[d];
      if (out != nullptr) {
        out->chunked[d] = nextKnown_[d] && chunked_[d];
        out->afterData[d] = nextKnown_[d] && afterData_[d];
        out->trailer[d] = nextKnown_[d] && trailer_[d];
      }
      carry->tail[d].swap(tail_[d]);
      tail_[d].clear();
    }
    carry->set = true;
  }
  carryIn_ = nullptr;
  httpIn_ = nullptr;
  inFlightIn_ = nullptr;
  held_ = nullptr;
  cutting_ = false;
  resync_ = false;
  if (session->isFinished() && commRespCount != respCount) problemPairing = 1;
  HTTPMIMEInfo_fill();

  // After a tunnel's request or a switch of protocols the client's bytes are another
  // protocol's, whatever they look like.
  const bool otherBytes = requests == ParseStop::MessageLine || requests == ParseStop::CutShort;
  if (otherBytes && !xacts_.empty() &&
      (std::strcmp(xacts_.back()->req_method.c_str(), "CONNECT") == 0 ||
       std::strcmp(xacts_.back()->res_status_code.c_str(), "101") == 0)) {
    requests = ParseStop::None;
  }
  parseStop_ = requests != ParseStop::None ? requests : responses;
  if (parseStop_ != ParseStop::None) {
    countParseStop(*stopCounter(parseStop_), "HTTP",
                   requests != ParseStop::None ? "client" : "server", parseStopText(parseStop_));
  }
  if (gapLoss_ != GapLoss::None) countGapLoss();
  return 0;
}

std::shared_ptr<OB_HTTPXact> OB_HTTPProtocol::unrecordHeld() {
  std::shared_ptr<OB_HTTPXact> taken(new OB_HTTPXact(),
                                     [](OB_HTTPXact* xact) {
                                       if (xact != nullptr) xact->release();
                                     });
  const auto at = std::find(xacts_.begin(), xacts_.end(), held_);
  if (taken == nullptr || at == xacts_.end()) return nullptr;
  held_->copy(taken.get());
  taken->res_bytes = heldBytes_;
  // The transaction was paired in order: the requests after it stay without a response here.
  const size_t n = static_cast<size_t>(at - xacts_.begin());
  if (n < places_.size()) places_.erase(places_.begin() + static_cast<std::ptrdiff_t>(n));
  xacts_.erase(at);
  unchainXLink(held_);
  if (commRespCount > 0) --commRespCount;
  if (respCount > 0) --respCount;
  if (responseTarget_ == held_) responseTarget_ = respCount > 0 ? xactAt(respCount) : nullptr;
  held_->release();
  held_ = nullptr;
  return taken;
}

bool OB_HTTPProtocol::canHandOnUnanswered() {
  return !needsAnchor() && !gapPending_ && owedIn_ == 0 && !requestsDropped_ &&
         respCount < commRespCount;
}

void OB_HTTPProtocol::handOnUnanswered(OB_HTTPCarry* carry) {
  // The next response is the first unanswered request's only where this piece's parse said
  // where it begins.
  if (!nextKnown_[1] || !canHandOnUnanswered()) return;
  const size_t first = static_cast<size_t>(respCount);
  if (first > xacts_.size()) return;
  for (size_t n = first; n < xacts_.size(); ++n) {
    if (!xacts_[n]->res_status_code.empty()) return;
  }
  // The first ones get the next piece's first responses; any beyond the limit stay here
  // without a response, and their responses are owed (skipped there).
  const size_t last = std::min(xacts_.size(), first + OB_HTTPCarry::kAwaitingLimit);
  try {
    carry->awaiting.reserve(last - first);
    for (size_t n = first; n < last; ++n) {
      std::shared_ptr<OB_HTTPXact> taken(new OB_HTTPXact(), [](OB_HTTPXact* xact) {
        if (xact != nullptr) xact->release();
      });
      if (taken == nullptr) throw std::bad_alloc();
      xacts_[n]->copy(taken.get());
      carry->awaiting.push_back(std::move(taken));
    }
  } catch (const std::bad_alloc&) {
    carry->awaiting.clear();  // they stay here, owed, as when nothing is handed on
    return;
  }
  for (size_t n = last; n-- > first;) {
    OB_HTTPXact* held = xacts_[n];
    xacts_.erase(xacts_.begin() + static_cast<std::ptrdiff_t>(n));
    if (n < places_.size()) places_.erase(places_.begin() + static_cast<std::ptrdiff_t>(n));
    unchainXLink(held);
    --commRespCount;
    if (responseTarget_ == held) responseTarget_ = xacts_.empty() ? nullptr : xacts_.front();
    held->release();
  }
}

void OB_HTTPProtocol::recordAwaiting() {
  if (httpIn_ == nullptr) return;
  for (const std::shared_ptr<OB_HTTPXact>& waiting : httpIn_->awaiting) {
    const int before = commRespCount;
    newRequest(nullptr, nullptr);
    if (commRespCount == before || xacts_.empty()) return;
    waiting->copy(xacts_.back());
    ++awaitingIn_;
  }
}

void OB_HTTPProtocol::recordInFlight() {
  OB_Xact* added = addXLinkFirst();
  OB_HTTPXact* xact = added != nullptr ? obQuery<OB_HTTPXact>(added) : nullptr;
  if (xact == nullptr || xacts_.empty() || xacts_.back() != xact) return;
  inFlightIn_->copy(xact);
  xacts_.pop_back();
  xacts_.insert(xacts_.begin(), xact);
  places_.insert(places_.begin(), RequestPlace{});
  ++commRespCount;
  ++respCount;
}

void OB_HTTPProtocol::countGapLoss() {
  OB_TCPSessionStats& stats = *getTCPSessionStats();
  problemPairing = 1;
  OB_TCPSessionStats::count(gapLoss_ == GapLoss::ChunkLine       ? stats.httpGapChunkLine
                            : gapLoss_ == GapLoss::UnknownLength ? stats.httpGapUnknownLength
                                                                 : stats.httpGapHead);
  uint32_t unanswered = 0;
  for (OB_HTTPXact* xact : xacts_) {
    if (xact->res_status_code.empty()) ++unanswered;
  }
  OB_TCPSessionStats::count(stats.httpGapXacts, unanswered);
  char client[16];
  char server[16];
  OB_Tools::IPAddressString(clientIP, client);
  OB_Tools::IPAddressString(serverIP, server);
  OB_Log::debug("HTTP: %s > %s:%u: bytes never captured (%s): %u requests left without a "
                "response\n",
                client, server, static_cast<unsigned>(serverPort), gapLossText(gapLoss_),
                unanswered);
}

void OB_HTTPProtocol::noteRequestGap(GapLoss why) {
  if (gapLoss_ == GapLoss::None) gapLoss_ = why;
  gapPending_ = true;
}

void OB_HTTPProtocol::noteResponseGap(GapLoss why) {
  if (gapLoss_ == GapLoss::None) gapLoss_ = why;
  blind_ = true;
}

bool OB_HTTPProtocol::needsAnchor() {
  if (blind_) return true;
  const RequestPlace* next = placeOf(static_cast<uint32_t>(respCount) + 1);
  return next != nullptr && next->gapBefore;
}

const char* OB_HTTPProtocol::gapLossText(GapLoss loss) {
  switch (loss) {
    case GapLoss::Head:
      return "a message head lost";
    case GapLoss::ChunkLine:
      return "a chunk-size line lost";
    case GapLoss::UnknownLength:
      return "gap in a body of unknown length";
    case GapLoss::None:
      break;
  }
  return "none";
}

OB_HTTPProtocol::ParseStop OB_HTTPProtocol::parseRequests(OB_Stream* stream) {
  OB_HTTPGrammar grammar(*this, stream);
  return grammar.parseRequests();
}

OB_HTTPProtocol::ParseStop OB_HTTPProtocol::parseResponses(OB_Stream* stream) {
  OB_HTTPGrammar grammar(*this, stream);
  const ParseStop stop = grammar.parseResponses();
  anchor_ = 0;  // a head that was no status line left it unused
  return stop;
}

const char* OB_HTTPProtocol::parseStopText(ParseStop stop) {
  switch (stop) {
    case ParseStop::MessageLine:
      return "not a request or status line";
    case ParseStop::Chunk:
      return "malformed chunk";
    case ParseStop::CutShort:
      return "data ended inside a message";
    case ParseStop::Full:
      return "no transaction left";
    case ParseStop::None:
      break;
  }
  return "none";
}

void OB_HTTPProtocol::unpairResponse() {
  if (respCount <= 0 || responseDropped_) return;
  if (OB_HTTPXact* xact = xactAt(respCount); xact != nullptr) xact->resetResponse();
  --respCount;
  responseTarget_ = xactAt(respCount > 0 ? respCount : 1);
}

OB_HTTPXact* OB_HTTPProtocol::currentRequest() {
  return requestsDropped_ || xacts_.empty() ? nullptr : xacts_.back();
}

OB_HTTPXact* OB_HTTPProtocol::currentResponse() {
  return responseDropped_ ? nullptr : responseTarget_;
}

int OB_HTTPProtocol::dataOutput(AnalysisType type, unsigned char* start, unsigned char* end) {
  switch (type) {
    case AT_ContentLength:
    case AT_ContentType:
    case AT_Method:
    case AT_Host:
    case AT_RequestVersion:
    case AT_Referer:
    case AT_RequestURI:
    case AT_UserAgent:
    case AT_ResponseVersion:
    case AT_ReasonPhrase:
    case AT_StatusCode:
      break;
    default:
      // Most header values are recognised only: they are not measured, and the cursor stays.
      return 0;
  }
  OB_StreamPosition saved;
  stream_->savePosition(saved);

  size_t length = 0;
  if (start != nullptr && start != end) {
    if (stream_->getNextPtr() != start) stream_->find(start);
    OB_StreamPosition from;
    stream_->savePosition(from);
    while (length < kValueScanLimit && stream_->getNextPtr() != end && stream_->incNext() != 0) {
      ++length;
    }
    // The copy below reads from where the measuring began: go back there, not search for it.
    stream_->restorePosition(from);
  }

  // Request values go to the last transaction, response values to the paired one; a half that
  // is not being recorded (the pool ran out, or a response that pairs with no request) is refused.
  OB_HTTPXact* request = currentRequest();
  OB_HTTPXact* response = currentResponse();
  auto fill = [&](auto& field) {
    fillStringField(field.data(), field.width, start, length);
  };
  auto refused = [&](bool quiet) {
    if (!quiet) OB_Log::debug("HTTP: Problem pairing. Ignoring field.\n");
  };
  switch (type) {
    case AT_ContentLength:
      fillBytes(&framing_.length, start, length);
      framing_.lengthSeen = true;
      if (state_ == 1 && request != nullptr) {
        request->req_bytes = framing_.length;
      } else if (state_ == 2 && response != nullptr) {
        response->res_bytes = framing_.length;
      }
      break;
    case AT_ContentType:
      if (state_ == 1 && request != nullptr) {
        fill(request->req_content_type);
      } else if (state_ == 2 && response != nullptr) {
        fill(response->res_content_type);
      }
      break;
    case AT_Method:
      newRequest(start, end);
      request = currentRequest();
      if (request != nullptr) fill(request->req_method);
      break;
    case AT_Host:
    case AT_RequestVersion:
    case AT_Referer:
    case AT_RequestURI:
    case AT_UserAgent:
      if (request == nullptr) {
        // A request the pool could not hold was announced once; its values go quietly.
        refused(requestsDropped_);
      } else if (type == AT_Host) {
        fill(request->req_host);
      } else if (type == AT_RequestVersion) {
        fill(request->req_http_vers);
      } else if (type == AT_Referer) {
        fill(request->req_referer);
      } else if (type == AT_RequestURI) {
        fill(request->req_request_uri);
      } else {
        fill(request->req_user_agent);
      }
      break;
    case AT_ResponseVersion:
    case AT_ReasonPhrase:
    case AT_StatusCode:
      if (type == AT_ResponseVersion) {
        newResponse(start, end);
        response = currentResponse();
      }
      if (response == nullptr) {
        refused(false);
      } else if (type == AT_ResponseVersion) {
        fill(response->res_http_vers);
      } else if (type == AT_ReasonPhrase) {
        fill(response->res_reason_phrase);
      } else {
        fill(response->res_status_code);
      }
      break;
    default:
      break;
  }

  stream_->restorePosition(saved);
  return 0;
}

int OB_HTTPProtocol::newRequest(unsigned char* /*start*/, unsigned char* /*end*/) {
  state_ = 1;
  framing_ = HeadFraming{};
  if (requestsDropped_) return 0;
  if (addXLink() == nullptr) {
    // Nothing comes back to the pool before this object is reset, so the rest of the connection
    // cannot be recorded; its values must not land in the last recorded request.
    requestsDropped_ = true;
    problemPairing = 1;
    OB_Log::debug("HTTP: no transaction left for request %u; the rest of the connection is not "
                  "recorded.\n",
                  static_cast<unsigned>(commRespCount) + 1);
    return 0;
  }
  ++commRespCount;
  if (commRespCount == 1) responseTarget_ = xacts_.front();
  try {
    places_.emplace_back();
  } catch (const std::bad_alloc&) {
    OB_Log::quit("OB_HTTPProtocol::newRequest: no memory");
  }
  places_.back().gapBefore = gapPending_;
  gapPending_ = false;
  return 0;
}

int OB_HTTPProtocol::newResponse(unsigned char* /*start*/, unsigned char* /*end*/) {
  framing_ = HeadFraming{};
  droppedOwed_ = false;
  if (commRespCount == 0 && owedIn_ == 0) {
    OB_Log::debug("HTTP: NO COMMANDS FOR THIS RESPONSE\n");
    problemPairing = 1;
    responseDropped_ = true;
    return 0;
  }
  uint32_t next = static_cast<uint32_t>(respCount) + 1;
  if (anchor_ != 0) {
    // Its segment acknowledges exactly the end of that request: the responses before it,
    // including those owed to an earlier piece, all went before.
    next = anchor_;
    anchor_ = 0;
    blind_ = false;
    owedIn_ = 0;
  } else if (owedIn_ > 0 && next > awaitingIn_) {
    // The answer to a request the earlier piece recorded without its response (the requests
    // it handed on, recorded here first, have theirs first).
    --owedIn_;
    droppedOwed_ = true;
    problemPairing = 1;
    responseDropped_ = true;
    return 0;
  } else if (needsAnchor()) {
    // Bytes were lost before this response or before the next recorded request: whose
    // response this is is unknown.
    blind_ = true;
    problemPairing = 1;
    responseDropped_ = true;
    return 0;
  }
  if (next <= static_cast<uint32_t>(commRespCount)) {
    state_ = 2;
    respCount = static_cast<uint16_t>(next);
    responseTarget_ = xactAt(respCount);
    responseDropped_ = false;
    return 1;
  }
  // An extra response: its values would overwrite those of the last paired one.
  OB_Log::debug("HTTP: More responses than commands.\n");
  problemPairing = 1;
  responseDropped_ = true;
  return 0;
}

int OB_HTTPProtocol::fillStringField(char* field, size_t width, unsigned char* start,
                                     size_t length) {
  if (xacts_.empty() || responseTarget_ == nullptr || field == nullptr || width == 0) {
    OB_Log::debug("HTTP: Problem pairing. Ignoring field.\n");
    return -1;
  }
  if (length > width - 1) length = width - 1;
  size_t copied = 0;
  if (length > 0 && start != nullptr &&
      (stream_->getNextPtr() == start || stream_->find(start) != 0)) {
    for (; copied < length; ++copied) {
      field[copied] = static_cast<char>(stream_->getNext());
      if (stream_->incNext() == 0) {
        ++copied;
        break;
      }
    }
  }
  field[copied] = '\0';
  return 0;
}

int OB_HTTPProtocol::fillBytes(int32_t* field, unsigned char* start, size_t length) {
  if (field == nullptr) return 0;
  *field = 0;
  if (length > 29) {
    OB_Log::flog(nullptr, "fillBytes: Whacked content-length in HTTP header: %d",
                 static_cast<int>(length));
    return 0;
  }
  if (length == 0 || start == nullptr ||
      (stream_->getNextPtr() != start && stream_->find(start) == 0)) {
    return 0;
  }
  char text[30];
  size_t n = 0;
  for (; n < length; ++n) {
    text[n] = static_cast<char>(stream_->getNext());
    if (stream_->incNext() == 0) {
      ++n;
      break;
    }
  }
  text[n] = '\0';

  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
  if (*p == '+') ++p;
  // A byte count is never negative, and more than 2^31 - 1 bytes are counted as that many.
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX) {
      value = INT32_MAX;
      break;
    }
  }
  *field = static_cast<int32_t>(value);
  return 0;
}

void OB_HTTPProtocol::HTTPMIMEInfo_fill() {
  for (OB_HTTPXact* xact : xacts_) {
    const bool requestTyped = !xact->req_content_type.empty();
    const bool responseTyped = !xact->res_content_type.empty();
    if (requestTyped) normaliseContentType(xact->req_content_type);
    if (responseTyped) normaliseContentType(xact->res_content_type);
    if (!requestTyped && xact->req_bytes != 0) {
      guessContentType(xact->req_request_uri.c_str(), xact->req_content_type.data(),
                       xact->req_content_type.width);
    }
    if (!responseTyped) {
      if (xact->res_status_code.empty()) {
        xact->res_content_type = "none";
      } else {
        guessContentType(xact->req_request_uri.c_str(), xact->res_content_type.data(),
                         xact->res_content_type.width);
      }
    }
  }
}

void OB_HTTPProtocol::guessContentType(const char* uri, char* out, size_t width) {
  if (out == nullptr || width == 0) return;
  if (uri == nullptr) uri = "";
  // The path is the first piece of the URI between the delimiters "?" and ";", leading
  // delimiters skipped.
  const char* path = uri + std::strspn(uri, "?;");
  const size_t pathLength = std::strcspn(path, "?;");
  if (pathLength == 0) {
    copyText(out, width, kOctetStream);
    return;
  }
  if (path[pathLength - 1] == '/') {
    copyText(out, width, "text/html");
    return;
  }
  const char* dot = nullptr;
  for (const char* p = path; p < path + pathLength; ++p) {
    if (*p == '.') dot = p;
  }
  if (dot == nullptr) {
    copyText(out, width, kOctetStream);
    return;
  }
  const size_t extensionLength = static_cast<size_t>(path + pathLength - (dot + 1));
  const char* type = nullptr;
  if (extensionLength <= kMaxExtension && mimeTable != nullptr) {
    char extension[kMaxExtension + 1];
    for (size_t i = 0; i < extensionLength; ++i) {
      extension[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(dot[1 + i])));
    }
    extension[extensionLength] = '\0';
    type = HTTPMIMEInfo_search(*mimeTable, extension);
  }
  copyText(out, width, type != nullptr ? type : kOctetStream);
}
