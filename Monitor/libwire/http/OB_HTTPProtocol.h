// The HTTP analyser: turns one reassembled TCP connection into a protocol object whose chain holds
// one OB_HTTPXact per request, each paired with its response. Each direction is read by the
// recogniser OB_HTTPGrammar (in the implementation), which hands the stretches it recognises to
// dataOutput; dataOutput copies the few stored values into fixed-width fields. The HTTP consumer
// makes one through its factory and resets it after every session; the archive reader fills one
// with read. One thread drives an object at a time (the consumer's, under its lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "OB_BufferStream.h"
#include "OB_Stream.h"
#include "http/OB_HTTPXact.h"
#include "http/OB_PooledHTTPXact.h"
#include "pool/OB_MemoryPool.h"
#include "records/OB_Protocol.h"

struct OB_HTTPCarry;
struct OB_ParseCarry;

// The MIME table guessContentType searches: types in table order, each with its file extensions
// (lower case, without the full stop). The engine's configuration provides it; not owned by the
// analyser, and it must outlive every session parsed while it is installed.
class OB_HTTPMIMETable {
 public:
  virtual ~OB_HTTPMIMETable() = default;
  virtual int getMIMETypeCount() const = 0;
  virtual const char* getMIMEType(int type) const = 0;
  virtual int getExtensionCount(int type) const = 0;
  virtual const char* getExtension(int type, int extension) const = 0;
};

// The first type of the table that lists extension (exact comparison), or null.
const char* HTTPMIMEInfo_search(const OB_HTTPMIMETable& table, const char* extension);
// Installs the table (null: none) for every analyser; called once at start-up, before sessions
// flow.
void HTTPMIMEInfo_setTable(const OB_HTTPMIMETable* table);
// Installs the MIME table of an engine's configuration (not owned; it must outlive the parsing;
// null: none). The capture engine manager calls it once with its configuration.
class OB_Config;
void HTTPMIMEInfo_init(OB_Config* config);

class OB_HTTPProtocol : public OB_Protocol, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_HTTPProtocol, 0x2A5A59FB, "OB_HTTPProtocol", OB_Protocol)
  OB_CLASS_CREATE(OB_HTTPProtocol)

 public:
  // What a stretch handed to dataOutput is. Only ContentLength, ContentType, Host,
  // RequestVersion, ResponseVersion, Method, ReasonPhrase, Referer, RequestURI, StatusCode and
  // UserAgent store anything; the rest are recognised and dropped.
  enum AnalysisType : int {
    AT_Accept = 0,
    AT_AcceptCharset = 1,
    AT_AcceptEncoding = 2,
    AT_AcceptLanguage = 3,
    AT_Allow = 4,
    AT_Authorization = 5,
    AT_ConnectKeepAlive = 7,
    AT_ContentEncoding = 8,
    AT_ContentLanguage = 9,
    AT_ContentLength = 10,
    AT_ContentTransferEncoding = 11,
    AT_ContentType = 12,
    AT_Date = 13,
    AT_EntityBody = 14,
    AT_Expires = 15,
    AT_Forwarded = 16,
    AT_From = 17,
    AT_Host = 18,
    AT_RequestVersion = 19,
    AT_ResponseVersion = 20,
    AT_IfModifiedSince = 21,
    AT_KeepAlive = 22,
    AT_LastModified = 23,
    AT_Link = 24,
    AT_Location = 25,
    AT_Method = 27,
    AT_MIMEVersion = 28,
    AT_OrigURI = 29,
    AT_Pragma = 30,
    AT_Public = 31,
    AT_ReasonPhrase = 32,
    AT_Referer = 33,
    AT_RequestURI = 34,
    AT_RetryAfter = 35,
    AT_Server = 36,
    AT_StatusCode = 37,
    AT_Title = 38,
    AT_UACharacteristic = 39,
    AT_URIHeader = 40,
    AT_UserAgent = 41,
    AT_WWWAuthenticate = 42
  };

  // Why the parse of a connection stopped before its data ended: the first reason met, client's
  // bytes first. Each is a counter of the TCP session statistics.
  enum class ParseStop : int {
    None = 0,
    MessageLine = 1,  // a request or status line was due and the bytes there are none
    Chunk = 2,        // a chunk-size line or a chunk's line end is malformed, or sizes overflow
    CutShort = 3,     // the data ends inside a message's head or body, or inside a line
    Full = 4,         // no transaction left for a request: the rest is not recorded
  };
  // The text the statistics print and the debug line give the reason.
  static const char* parseStopText(ParseStop stop);

  // Why bytes that were never captured left requests without a known response (a gap wholly
  // inside a body of known length loses nothing and is skipped): the first reason met in the
  // connection. Each is a counter of the TCP session statistics.
  enum class GapLoss : int {
    None = 0,
    Head = 1,           // a message's head, or where the next one began, was lost
    ChunkLine = 2,      // a chunk-size line (or the line end before it) was lost
    UnknownLength = 3,  // a body of unknown length ran into lost bytes
  };
  static const char* gapLossText(GapLoss loss);

  // Transactions the default pool holds: 128 blocks of 128.
  static constexpr int kPoolQueues = 128;
  static constexpr int kPoolObjectsPerQueue = 128;

  OB_HTTPProtocol();
  // A pool of maxQueues blocks of objectsPerQueue transactions (tests use small ones).
  OB_HTTPProtocol(int maxQueues, int objectsPerQueue);
  ~OB_HTTPProtocol() override;
  OB_HTTPProtocol(const OB_HTTPProtocol&) = delete;
  OB_HTTPProtocol& operator=(const OB_HTTPProtocol&) = delete;

  // The stream dataOutput reads values from (not owned; null: an empty one). The grammar sets it
  // for the direction it parses.
  void setStream(OB_Stream* stream);
  OB_Stream* getStream() { return stream_; }

  // ---- Object ----
  // A transaction from the pool, never waiting; null when the pool is exhausted.
  OB_Xact* createXLink() override;
  // As OB_Protocol's, but null (instead of ending the process) when the pool is exhausted.
  OB_Xact* addXLink() override;
  // Constant time.
  OB_Xact* getCurrentLink(int n) override;
  // One line per transaction: client address, one space, request URI.
  int writeCLF(FILE* stream) override;
  int print(FILE* stream) override { return writeCLF(stream); }
  // Empties the chain, the pairing state (state, response target, dropped halves) and the parse
  // stop; 0.
  int reset() override;
  // As OB_Protocol's; -1 also when the record holds more transactions than the pool.
  int read(FILE* stream) override;
  // The same from bytes in memory (OB_Data::readBytes).
  int readBytes(OB_ArchiveBytes& bytes) override;

  // ---- Value hand-over and pairing ----
  // Stores the stretch [start, end) by type as the current pairing state says; always 0. The
  // cursor is left where it was.
  virtual int dataOutput(AnalysisType type, unsigned char* start, unsigned char* end);
  // Starts a request transaction; 0. Once the pool is exhausted, this and every later request
  // of the connection are not recorded (problemPairing = 1).
  virtual int newRequest(unsigned char* start, unsigned char* end);
  // Pairs a response with the next unanswered request: 1, or 0 when there is none (the
  // response's values are then dropped, problemPairing = 1).
  virtual int newResponse(unsigned char* start, unsigned char* end);
  // Copies at most width - 1 of the length bytes at start into field, NUL-ended: 0, or -1 when
  // no transaction is being filled.
  virtual int fillStringField(char* field, size_t width, unsigned char* start, size_t length);
  // The decimal value of the length bytes at start into field: leading blanks skipped, stops at
  // the first non-digit, saturates at 2147483647, never negative; more than 29 bytes give 0 and
  // a log line. 0.
  virtual int fillBytes(int32_t* field, unsigned char* start, size_t length);
  // Normalises the stored content types and fills in those the headers did not give.
  virtual void HTTPMIMEInfo_fill();
  // The content type guessed from uri's path into out (width bytes, NUL-ended).
  virtual void guessContentType(const char* uri, char* out, size_t width);

  int getState() const { return state_; }
  OB_HTTPXact* getResponseTarget() { return responseTarget_; }
  // Transaction n counting from 1, or null.
  OB_HTTPXact* xactAt(int n) {
    return n >= 1 && static_cast<size_t>(n) <= xacts_.size() ? xacts_[n - 1] : nullptr;
  }

  // Process-wide switches, stored only: both directions are parsed whatever they hold.
  static void enableParseResponses(int on);
  static void enableParseParameters(int on);
  static int isParseResponses();
  static int isParseParameters();

  // ---- Message driver ----
  // Parses an OB_TCPSession (anything else is left alone): requests from the client's stream,
  // then responses from the server's, each paired with its request; both streams are reset
  // afterwards (their buffers go back). A session that continues one cut off at the byte limit
  // begins inside a message: each direction is parsed from its first request or status line.
  // A parse that stops before the data ends is counted by its reason and logged (debug). 0.
  int processObject(OB_Object* object) override;
  // Walks one direction request by request (response by response) with an OB_HTTPGrammar; the
  // stream is not owned and is forgotten (setStream(nullptr)) before they return. Why the walk
  // stopped before the data ended, or ParseStop::None.
  ParseStop parseRequests(OB_Stream* stream);
  ParseStop parseResponses(OB_Stream* stream);
  // Why the last session's parse stopped; None before and after reset.
  ParseStop getParseStop() const { return parseStop_; }
  // Why lost bytes left requests of the last session without a response; None before and
  // after reset.
  GapLoss getGapLoss() const { return gapLoss_; }
  // The steps the search for anchored responses took in the last session: segments looked at
  // and requests indexed or compared. It grows with their sum, never their product.
  uint64_t getAnchorWork() const { return anchorWork_; }
  // Lost bytes in the client's stream: the requests recorded so far may still be paired by
  // their order; the next one recorded is not (how many were lost is unknown), and responses
  // pair by their order again only from a response anchored by its acknowledgement.
  void noteRequestGap(GapLoss why);
  // Lost bytes in the server's stream where a response's place cannot be known: no further
  // response is paired by its order, only one anchored by its acknowledgement.
  void noteResponseGap(GapLoss why);

 protected:
  // Takes back the pairing of the last response (an interim one), emptying its fields.
  void unpairResponse();
  friend class OB_HTTPGrammar;

  int state_ = 0;                           // 1 storing request values, 2 response values
  OB_HTTPXact* responseTarget_ = nullptr;   // not owned: a transaction of the chain, or null
  OB_Stream* stream_ = nullptr;             // not owned; emptyStream_ when none is set

 private:
  OB_HTTPXact* currentRequest();
  OB_HTTPXact* currentResponse();
  // Before a record is read in: no pairing state, no transactions listed.
  void forgetParse();
  // Counts the connection by its gap loss and the requests it left without a response, and
  // logs one debug line.
  void countGapLoss();

  OB_MemoryPool<OB_PooledHTTPXact>* pool_ = nullptr;  // owned; null when it could not be made
  OB_PooledHTTPXact* pending_ = nullptr;  // taken by addXLink for createXLink to hand over
  std::vector<OB_HTTPXact*> xacts_;       // the chain in order, for constant-time pairing
  bool requestsDropped_ = false;  // the pool ran out: later requests are not recorded
  bool responseDropped_ = false;  // the response being read pairs with no request
  // The session continues one cut off: each direction is searched for its first message.
  bool resync_ = false;
  ParseStop parseStop_ = ParseStop::None;
  GapLoss gapLoss_ = GapLoss::None;
  // Where a recorded request lies in the client's sequence numbers: once lost bytes hide how
  // many responses went before, a response is paired only with the request whose end its
  // segment acknowledges (see OB_HTTPGrammar::anchoredRequest).
  struct RequestPlace {
    bool known = false;      // start and sentAck are set
    bool endKnown = false;   // end is set
    bool gapBefore = false;  // client bytes were lost between this request and the one before
    uint32_t start = 0;      // sequence number of its first byte
    uint32_t end = 0;        // sequence number right after its last byte (body included)
    uint32_t sentAck = 0;    // what the segment holding its first byte acknowledged
    // Where the response paired with it ends, in the server's sequence numbers, once read.
    bool answerEndKnown = false;
    uint32_t answerEnd = 0;
  };
  // The place of request n counting from 1, or null.
  RequestPlace* placeOf(uint32_t n) {
    return n >= 1 && n <= places_.size() ? &places_[n - 1] : nullptr;
  }
  // Whether the next response cannot be paired by its order (it needs an anchor).
  bool needsAnchor();
  // What the head being read says of its message's framing, kept whether or not its values are
  // recorded: a response owed to an earlier piece's request is skipped by it. Cleared at each
  // request or status line.
  struct HeadFraming {
    bool lengthSeen = false;  // a Content-Length was read
    int32_t length = 0;       // its value (saturated as fillBytes does)
    char status[4] = {0, 0, 0, 0};
  };
  HeadFraming framing_;
  // The response being read was dropped as owed to an earlier piece's request.
  bool droppedOwed_ = false;
  // The client has shown pipelining: two requests in one segment, a request sent without a
  // response byte having arrived since the one before, or one sent inside a response. Until it
  // does, a response that begins where a request's segment acknowledged and answers exactly
  // that request pairs with it after any loss (OB_HTTPGrammar::anchoredRequest).
  bool pipelined_ = false;
  // Whether the server's side has been looked at for such a request in this piece.
  bool serverShownChecked_ = false;
  // The earlier pieces' requests recorded first from the carry (OB_HTTPCarry::awaiting): the
  // first responses are theirs, before any still owed.
  uint32_t awaitingIn_ = 0;
  // A continued piece: where the earlier piece's last response ended, with every request
  // before this piece's first answered (its answer end counts as that of request 0).
  bool priorAnswerKnown_ = false;
  uint32_t priorAnswerEnd_ = 0;
  // A whole connection whose server's SYN was seen: the sequence number of its first byte.
  bool serverStartKnown_ = false;
  uint32_t serverStart_ = 0;
  // Per direction, where the next message begins lies inside a chunked body's trailer.
  bool trailer_[2] = {false, false};
  // The server's direction ended (its FIN, or a RST from either end): a body still short of its
  // length, or without one, ended there.
  bool serverEnded_ = false;
  // The client's RST ended it: the server's bytes already on their way were sent after it and
  // are not read, so what a body cut there held is unknown.
  bool endSizeUnknown_ = false;
  std::vector<RequestPlace> places_;  // one per recorded request, in order
  bool gapPending_ = false;  // client bytes were lost since the last recorded request
  bool blind_ = false;       // responses no longer pair by their order
  uint32_t anchor_ = 0;      // the request the next response pairs with by its acknowledgement
  uint64_t anchorWork_ = 0;  // see getAnchorWork
  // A piece continuing a connection cut at the byte limit: what the earlier piece's parse left
  // (not owned; the session's), the responses still owed to its requests (they are not this
  // piece's to pair), and, for the next piece, where each direction's next message begins.
  const OB_ParseCarry* carryIn_ = nullptr;
  const OB_HTTPCarry* httpIn_ = nullptr;  // carryIn_'s HTTP part, or null
  uint32_t owedIn_ = 0;
  bool nextKnown_[2] = {false, false};
  uint32_t next_[2] = {0, 0};
  bool chunked_[2] = {false, false};
  bool afterData_[2] = {false, false};
  // A chunked response body that goes on past this piece: its transaction, left out of this
  // piece's record, and the body's bytes counted so far (held_ null when none).
  OB_HTTPXact* held_ = nullptr;
  int32_t heldBytes_ = 0;
  // The earlier piece's such transaction, the bytes of its body read here, and whether the
  // body goes on past this piece too.
  std::shared_ptr<OB_HTTPXact> inFlightIn_;
  int32_t inFlightBytes_ = 0;
  bool inFlightGoesOn_ = false;
  // The piece is cut at the byte limit and its carry is there: an unfinished line or head at
  // its end is carried over (tail_) rather than parsed.
  bool cutting_ = false;
  std::string tail_[2];
  // Whether the requests still without a response can wait for theirs in the next piece:
  // the pairing is certain, nothing is owed to an earlier piece and the next response's place
  // is known.
  bool canHandOnUnanswered();
  // Takes the requests still without a response out of the record into carry->awaiting, when
  // canHandOnUnanswered and there are at most the carry's limit of them.
  void handOnUnanswered(OB_HTTPCarry* carry);
  // Records the earlier piece's awaiting requests as this record's first.
  void recordAwaiting();
  // Takes held_ out of the record into a transaction of its own (the next piece's to record).
  std::shared_ptr<OB_HTTPXact> unrecordHeld();
  // Records the earlier piece's in-flight transaction as this record's first.
  void recordInFlight();
  OB_BufferStream emptyStream_;  // the stream when none is set
};
