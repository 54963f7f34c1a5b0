// The recogniser behind OB_HTTPProtocol: a hand-written recursive-descent grammar, one member
// function per rule, that moves a stream's cursor in place and hands the stretches it recognises
// to the analyser's dataOutput. Only the analyser's sources, their tests and the fuzz target use
// it; it is no part of libwire's interface. One is made for each direction parsed and lives on
// the parsing thread's stack.
//
// Rule conventions, shared by every rule here and by those built on them:
//  - int rules answer 1 (accepted) or 0; a rule that does not accept leaves the cursor where it
//    was when it began (after the white space it skips first, for rules that begin with LWS).
//    Take a Backtrack at that point and return accepted() when the rule accepts.
//  - The cursor always stands on a byte; loops stop on the last byte of the data, so a value that
//    runs to the end of the data ends on its last byte. Every loop ends when an iteration
//    consumed nothing.
//  - Fixed-width look-aheads (keywords aside) go through peek, or take for a fixed text; keywords
//    go through GetNextKWT, then skipKeyword, which knows each keyword's length.
//  - Values are handed over with reportValue(type, start, end); only dataOutput decides what is
//    kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "OB_Stream.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_PacketStream.h"

class OB_HTTPGrammar {
 public:
  using enum OB_HTTPProtocol::AnalysisType;
  using ParseStop = OB_HTTPProtocol::ParseStop;

  // What GetNextKWT found at the cursor: KW_NONE for no keyword, KW_LINE_END for CR or LF.
  enum keywords : int {
    KW_ACCEPT = 0,
    KW_ACCEPT_CHARSET = 1,
    KW_ACCEPT_ENCODING = 2,
    KW_ACCEPT_LANGUAGE = 3,
    KW_ALLOW = 4,
    KW_AUTHORIZATION = 5,
    KW_NONE = 6,
    KW_BASE64 = 7,
    KW_BASIC = 8,
    KW_BINARY = 9,
    KW_BY = 10,
    KW_CHARSET = 11,
    KW_COMPRESS = 12,
    KW_CONNECTION = 13,
    KW_CONTENT_ENCODING = 14,
    KW_CONTENT_LANGUAGE = 15,
    KW_CONTENT_LENGTH = 16,
    KW_CONTENT_TRANSFER_ENCODING = 17,
    KW_CONTENT_TYPE = 18,
    KW_LINE_END = 19,
    KW_DATE = 20,
    KW_DELETE = 21,
    KW_ENCODING = 22,
    KW_EXPIRES = 23,
    KW_FOR = 24,
    KW_FORWARDED = 25,
    KW_FROM = 26,
    KW_GET = 27,
    KW_GZIP = 28,
    KW_HEAD = 29,
    KW_HOST = 30,
    KW_HTTP = 31,
    KW_IF_MODIFIED_SINCE = 32,
    KW_KEEP_ALIVE = 33,
    KW_LANGUAGE = 34,
    KW_LAST_MODIFIED = 35,
    KW_LENGTH = 36,
    KW_LINK = 37,
    KW_LOCATION = 38,
    KW_MAX_AGE = 39,
    KW_MIME_VERSION = 40,
    KW_NO_CACHE = 41,
    KW_ORIG_URI = 42,  // never answered: no header rule waits for it
    KW_PERSIST = 43,
    KW_POST = 44,
    KW_PRAGMA = 45,
    KW_PUBLIC = 46,
    KW_PUT = 47,
    KW_QUOTED_PRINTABLE = 48,
    KW_REALM = 49,
    KW_REFERER = 50,
    KW_RETRY_AFTER = 51,
    KW_SERVER = 52,
    KW_TITLE = 53,
    KW_TYPE = 54,
    KW_UA = 55,
    KW_UNLINK = 56,
    KW_URI = 57,
    KW_USER_AGENT = 58,
    KW_VARY = 59,
    KW_VERSION = 60,
    KW_WWW_AUTHENTICATE = 61,
    KW_7BIT = 62,
    KW_8BIT = 63
  };

  // Comments nested deeper than this are not comments.
  static constexpr int kMaxCommentDepth = 256;

  // Reads stream (not owned; null: an empty one) for parser (not owned), which keeps the values;
  // both outlive this. The parser reads the same stream while the grammar lives.
  OB_HTTPGrammar(OB_HTTPProtocol& parser, OB_Stream* stream);
  // Leaves the parser without a stream.
  ~OB_HTTPGrammar();
  OB_HTTPGrammar(const OB_HTTPGrammar&) = delete;
  OB_HTTPGrammar& operator=(const OB_HTTPGrammar&) = delete;

  // Another stream (or the same one refilled) to read; forgets the keyword memo.
  void setStream(OB_Stream* stream);
  OB_Stream* getStream() { return stream_; }

  // ---- Message driver ----
  // Walks the direction request by request (response by response), each paired with its request
  // by the parser. When the parser resynchronises (a session that continues one cut off at the
  // byte limit begins inside a message) the direction is parsed from its first request or
  // status line. Returns why the walk stopped before the data ended (the first reason met), or
  // ParseStop::None.
  ParseStop parseRequests();
  ParseStop parseResponses();
  // 1 when the header block ends at the cursor: the run of CR/LF bytes around it holds an empty
  // line (its second LF: CR LF CR LF, LF LF, LF CR LF), or reaches the end of the data. The
  // cursor is left right after that empty line, where the body begins, or after the run.
  int checkForDone();
  // 1 when a CR or LF directly followed by another lies after the cursor's byte; the cursor
  // stays.
  int ScanLine();
  // Moves over a request body of length bytes: 1, or 0 (cursor kept) when the data holds fewer.
  int Entity_Body_Request(int length);
  // Moves over length bytes, then to the next "HTTP/": 1 with the cursor there, else 0 with the
  // cursor kept.
  int Entity_Body_Response(int length);
  // Moves over a chunked body (chunk-size lines, data, the last chunk and its trailer), adding
  // the chunk sizes into *sum. 1 with the cursor after the body; 0 when the data ends first; -1
  // when a size line or a chunk's line end is malformed or the sizes pass 2^31 - 1 (the cursor
  // then anywhere in the body); kLostBytes when bytes of a size line or of the line end after a
  // chunk's data were never captured (the resume point is then where the bytes come back).
  // afterData: the cursor is on the line end that closes a chunk's data; inTrailer: on the
  // trailer that follows the last chunk (a piece continuing one cut there).
  int Entity_Body_Chunked(int32_t* sum, bool afterData = false, bool inTrailer = false);
  static constexpr int kLostBytes = -2;
  // One chunk of a chunked body from its size line: 1 with the cursor after its data (or,
  // chunkDone_ set, after the last chunk and its trailer); otherwise as Entity_Body_Chunked.
  int chunk(int32_t* sum);

  // ---- Scanner ----
  // The keyword at the cursor (case-insensitive, on the word's leading letters); the cursor
  // stays.
  keywords GetNextKWT();
  void LWS();
  int token();
  void ctext();
  void qdtext();
  void qatext();
  void star_text();

  int CTLchar(unsigned char c);
  int noCTLchar(unsigned char c);
  int reservedchar(unsigned char c);
  int safechar(unsigned char c);
  int extrachar(unsigned char c);
  int UPALPHAchar(unsigned char c);
  int LOALPHAchar(unsigned char c);
  int ALPHAchar(unsigned char c);
  int DIGITchar(unsigned char c);
  int hexchar(unsigned char c);
  // c is the byte at the cursor: 1 when it is "%" and two hex digits follow, the cursor then
  // moved onto the second of them.
  int escapechar(unsigned char c);
  int nationalchar(unsigned char c);
  int unreservedchar(unsigned char c);
  int uchar(unsigned char c);
  int pchar(unsigned char c);
  int tspecials(unsigned char c);

  // ---- Grammar: lexical rules ----
  int comment();
  int quoted_string();
  int addr_string();
  int word();

  // ---- Grammar: URIs ----
  int fsegment();
  void segment();
  int path();
  void param();
  void params();
  void query();
  void fragment();
  void net_loc();
  int scheme();
  void rel_path();
  int abs_path();
  int net_path();
  int absoluteURI();
  int relativeURI();
  int URI();
  int Request_URI();

  // ---- Grammar: request and status lines ----
  int Method();
  int HTTP_Version(int report);
  int Request_Line();
  int Status_Code();
  void Reason_Phrase();
  int Status_Line();

  // ---- Grammar: dates ----
  int HTTP_date();
  int rfc1123_date();
  int rfc850_date();
  int asctime_date();
  int dig3_wkday();
  int dig9_weekday();
  int dig3_month();
  int dig8_time();
  int date1();
  int date2();
  int date3();
  int delta_seconds();

  // ---- Grammar: header fields ----
  // The groups the driver tries on each header line. One that accepts finishes the line: a
  // trailing comment or ";" parameters are taken, what else is left of the line is skipped
  // (nothing on such a remainder is stored), and the line ends are consumed.
  int General_Header();
  int Request_Header();
  // Takes as many consecutive lines as its members accept.
  int Response_Header();
  int Entity_Header();

  // One rule per known header, called by its group. Only Host, Referer, User-Agent,
  // Content-Type and Content-Length store anything.
  int Accept();
  int Accept_Charset();
  int Accept_Encoding();
  int Accept_Language();
  int Allow();
  int Authorization();
  int Connect_Keep_Alive();
  int Content_Encoding();
  int Content_Language();
  int Content_Length();
  int Content_Transfer_Encoding();
  int Content_Type();
  int Date();
  int Expires();
  int Forwarded();
  int From();
  int Host();
  int If_Modified_Since();
  int Keep_Alive();
  int Last_Modified();
  int Link();
  int Location();
  int MIME_Version();
  int Orig_URI();
  int Pragma();
  int Public();
  int Referer();
  int Retry_After();
  int Server();
  int Title();
  int UA_Characteristic();
  int URI_header();
  int User_Agent();
  int WWW_Authenticate();
  // Any other "name: value" line, up to the first byte of the next non-empty line.
  int HTTP_header();

  // Value rules the header rules share.
  int charset();
  int media_range();
  int qvalue();
  int Method_List();
  int auth_scheme();
  int auth_param();
  void encoded_cookie();
  int Credentials();
  int encoding_mechanism();
  int alpha1to8();
  int language_tag();
  int transfer_encoding();
  void parameter_list();
  int parameter();
  int media_type();
  int product();
  int FQDN();
  int mailbox();
  int sgml_name();
  int relationship();
  int pragma_directive();
  int vary_dimension();
  int vary();
  int characteristic();
  int realm();
  int challenge();
  int field_name();
  void field_value();

  // One known header: its keyword, value rule, hand-over type and shape. Defined, with the table
  // of known headers, beside the header rules.
  struct HeaderField;

 private:
  // Mark slots of the stream. The driver loops own 7 to 9 and the body and line scanners 0
  // and 1; a slot only speeds up returning to a position, so sharing one is never wrong.
  static constexpr int kValueStartSlot = 1;
  static constexpr int kValueEndSlot = 2;

  // Remembers the cursor; when the rule returns without accepted(), puts it back there. The
  // cursor is kept as a saved stream position, not in a mark slot: rules nest deeper than the
  // slots go, and a copy is cheaper than a slot's address search.
  class Backtrack {
   public:
    explicit Backtrack(OB_HTTPGrammar* grammar);
    ~Backtrack();
    Backtrack(const Backtrack&) = delete;
    Backtrack& operator=(const Backtrack&) = delete;
    // Keeps the cursor where it is; returns 1 for "return b.accepted();".
    int accepted() {
      accepted_ = true;
      return 1;
    }
    // Puts the cursor back now (to try an alternative); still restores on return.
    void restore();

   private:
    OB_HTTPGrammar* grammar_;
    OB_StreamPosition saved_;
    bool accepted_ = false;
  };

  // Copies up to n bytes from the cursor into out without moving it; the number copied.
  size_t peek(unsigned char* out, size_t n);
  // Whether the n bytes from the cursor are text (case-folded to upper case when fold).
  bool peekIs(const char* text, size_t n, bool fold);
  // Moves over n bytes a look-ahead saw; n bytes that end the data leave the cursor on the last.
  void skipBytes(size_t n);
  // Moves over the keyword the lookup saw, as skipBytes does.
  void skipKeyword(keywords keyword);
  // When the lookup sees keyword at the cursor, moves over it as skipKeyword does.
  bool takeKeyword(keywords keyword);
  // An "=" with optional white space on both sides, as a "name = value" parameter has; on
  // failure the cursor may have moved over the leading white space.
  bool takeEquals();
  // The keyword's length in the keyword table; 0 for the values that name no text of it.
  static size_t keywordLength(keywords keyword);
  // When the bytes from the cursor are text (exactly), moves over them as skipBytes does.
  bool take(std::string_view text);
  // As take, but only when a byte follows the text; the cursor then stands on that byte.
  bool takeFollowed(std::string_view text);
  // Moves over " " bytes while a byte follows.
  void skipSpaces();
  // Moves over CR and LF bytes while a byte follows.
  void skipLineEnds();
  // Moves over bytes while the class accepts the byte at the cursor and a byte follows.
  template <class Accepts>
  void consumeWhile(Accepts accepts) {
    // Most calls find nothing to take: the cursor's byte alone decides them. Past it the walk
    // goes in place over the cursor's buffer, a buffer at a time; as a byte-by-byte walk would,
    // it stops on the first byte not accepted, or on the last byte of the data.
    const unsigned char* at = stream_->getNextPtr();
    if (at == nullptr || !accepts(*at)) return;
    consumeOn(accepts, at);
  }
  // The walk of consumeWhile once the byte at the cursor (at) is accepted: apart, so that the
  // many calls that take nothing save no registers for it.
  template <class Accepts>
  [[gnu::noinline]] void consumeOn(Accepts accepts, const unsigned char* at) {
    for (;;) {
      const uint32_t span = stream_->getNextSpan();
      if (span == 0) return;
      uint32_t taken = 1;
      while (taken < span && accepts(at[taken])) ++taken;
      if (taken < span) {
        if (taken == 1) {
          stream_->incNext();
        } else {
          stream_->bumpToNext(static_cast<int32_t>(taken));
        }
        return;
      }
      if (span > 1) stream_->bumpToNext(static_cast<int32_t>(span - 1));
      if (stream_->incNext() == 0) return;
      at = stream_->getNextPtr();
      if (!accepts(*at)) return;
    }
  }
  // Hands [start, end) to the parser's dataOutput and leaves the cursor on end.
  void reportValue(OB_HTTPProtocol::AnalysisType type, unsigned char* start, unsigned char* end);
  void forgetKeyword();

  // The shape every known header shares: name, ":", value, hand-over.
  int headerField(const HeaderField& field);
  // What follows the field's name once headerField found it at the cursor.
  int headerFieldAfterName(const HeaderField& field);
  // A group's ending after its member accepted: comment, parameters, rest of line, line ends.
  // 0 only when a comment was there and did not parse.
  int finishHeaderLine();
  // Header lines until the block ends or a line is taken by no group.
  void headerBlock(bool request);
  // What findHeadEnd found.
  static constexpr int kHeadNotFound = 0;        // the data ends before the head's empty line
  static constexpr int kHeadWithHeaders = 1;
  static constexpr int kHeadWithoutHeaders = 2;  // the first line is followed by the empty line
  static constexpr int kHeadEndsData = 3;        // the head's empty line is the data's last bytes
  // From a message's first line, where its head ends: the position after its first empty line
  // into *end (kHeadWithHeaders, kHeadWithoutHeaders). The cursor stays.
  int findHeadEnd(OB_StreamPosition* end);
  // After a request or status line: the header block (when the head has one), then the cursor
  // to bodyStart when the head's end was found within the data.
  void messageHead(bool request, int head, const OB_StreamPosition& bodyStart);
  // Whether the cursor is on an empty line (LF, or CR LF).
  bool atEmptyLine();
  // Onto the byte after the next LF at or after the cursor: 1, or 0 when there is none (the
  // cursor kept) or the LF is the data's last byte (the cursor on it).
  int nextLine();
  // From a line's start, over lines up to and including the first empty one: 1 with the cursor
  // on the byte after it; 0 when the data ends right after it (the cursor on its last byte); -1
  // when the data ends first.
  int skipThroughEmptyLine();
  // From the start of a Transfer-Encoding value: whether the last coding it lists is chunked.
  // The cursor stays.
  bool lastCodingIsChunked();
  // Where a message should begin and none does: why, from the bytes left (the cursor stays).
  // None when only white space is left; CutShort when the data ends inside a line of text;
  // otherwise MessageLine.
  ParseStop noMessageHere();
  // After a body of length bytes from the cursor could not be skipped to a next message: None
  // when the length is unknown (0) or the data ends with the body, CutShort when it ends inside
  // it, otherwise what noMessageHere finds after it. The cursor stays.
  ParseStop afterBody(int32_t length);
  // ---- Lost bytes ----
  // Whether the head that begins at `from` (its end found as findHeadEnd said) holds no gap,
  // nor (withEdge) follows one; resume_ otherwise holds the first byte after the gap.
  bool headIntact(const OB_StreamPosition& from, int head, const OB_StreamPosition& bodyStart,
                  bool withEdge);
  // Moves over n body bytes in sequence space, so that bytes never captured inside the body do
  // not shift what follows: 1, 0 when the data ends first (cursor kept), kLostBytes when the
  // body's end was never captured (resume_ then holds where the bytes come back).
  int skipBody(int32_t n);
  // Whether bytes are missing between `from` and the cursor (withEdge: or right before `from`);
  // resume_ then holds the first byte after the first such gap.
  bool lostSince(const OB_StreamPosition& from, bool withEdge = true);
  // The position of the byte before `at` into *before (at itself, and false, when none is).
  // The cursor stays.
  bool stepBack(const OB_StreamPosition& at, OB_StreamPosition* before);
  // Where the body that begins at the cursor and runs n bytes ends, in sequence numbers; false
  // without them.
  bool bodyEndSeq(int32_t n, uint32_t* seq);
  // For the piece that continues this one: the next message of this direction (0 client,
  // 1 server) begins at seq when that lies at or past the end of the stored bytes.
  void noteNext(int direction, uint32_t seq, bool chunked = false, bool afterData = false);
  // The walk ended between messages: the next one begins right after the stored bytes.
  void noteNextAtEnd(int direction);
  // A piece cut at the byte limit ends inside the line or head that begins at `from`: its bytes
  // are kept for the next piece, which parses them in front of its own, and this direction's
  // next message begins there. False (nothing kept) when the piece is not cut, the bytes are
  // more than the carry holds, or some of them were never captured.
  bool carryTail(const OB_StreamPosition& from, bool chunked, bool afterData);
  // The same for a response head: the requests still without a response wait for theirs in the
  // next piece. When the response cannot be placed there (the pairing was already uncertain,
  // or the head cannot be kept), no further response pairs by its order. False when the piece
  // is not cut.
  bool carryResponseHead(const OB_StreamPosition& at);
  // The same for a request head; when it cannot be kept, the next piece's requests are taken
  // as following lost bytes.
  bool carryRequestHead(const OB_StreamPosition& at);
  // Whether the byte at `at` is a line end (the cursor stays).
  bool atLastLineEnd(const OB_StreamPosition& at);
  // A piece continuing one whose parse said where this direction's next message begins: puts
  // the cursor there. 1 when it is here; 0 when the piece lies wholly inside a body (nothing to
  // read; passed on); -1 when it is unknown (the piece is then searched); kPlaceLost when its
  // bytes were never captured (resume_ then holds the first byte after them).
  int placeFromCarry(int direction);
  static constexpr int kPlaceLost = -2;
  // While a request is searched for after lost bytes: onto the next place where one may begin,
  // the next line's start or the next segment's first byte, whichever comes first. False when
  // neither lies in the data.
  bool nextCandidate();
  // The trailer after a chunked body's last chunk, from the cursor: 1 with the cursor after its
  // empty line (or on the data's last byte when it ends there); 0 when the data ends first (a
  // piece cut there carries it); kLostBytes when bytes of it were never captured.
  int chunkTrailer();
  // The bytes of the body that begins at the cursor up to the end of the direction's stored
  // bytes, or kUnknownBytes when some of them, or bytes after them, were never captured.
  int32_t bytesToTheEnd();
  // A response whose body of length bytes (at the cursor) the end of the server's direction (its
  // FIN or a RST) cut short: the bytes it sent go in xact, as bytesToTheEnd counts them.
  void cutShortByTheEnd(OB_HTTPXact* xact, int32_t length);
  // Whether the client of the connection has shown pipelining (OB_HTTPProtocol::pipelined_):
  // what the requests showed as they were recorded, or, looked at once a piece, a request
  // whose segment acknowledged server bytes that are not the start of a response head.
  bool pipeliningShown();
  // Whether the byte at `at` begins a status line ("HTTP/"); the cursor stays.
  bool statusLineAt(const OB_StreamPosition& at);
  // Where the response to request n ended (n 0: the responses before the piece's first
  // request): false when unknown; *nothing when no response went before (its place then
  // unknown), else *end.
  bool answerEndOf(uint32_t n, bool* nothing, uint32_t* end);
  // For a connection that has shown pipelining: whether the response of request k - 1 is known
  // not to be the one whose head (seq) answers request k, sent at sentAck.
  bool answeredBefore(uint32_t k, uint32_t seq, uint32_t sentAck);
  // Puts the cursor on resume_, where a search for the next message begins.
  void resume();
  // ---- Pairing again after lost bytes ----
  // The request just recorded begins at `at`: its sequence number and what its first segment
  // acknowledged; with follows, the request before it ends there (nothing was lost between).
  void placeRequest(const OB_StreamPosition& at, bool follows);
  // The last request recorded ends where the client's stored bytes end.
  void placeLastEnd();
  // The request (counting from 1) a response head at `at` answers for certain, else 0. Only a
  // head that begins a segment qualifies, for a request k not yet passed by the pairing whose
  // end that segment acknowledges exactly (the server had requests up to k and nothing of
  // k + 1), whose own first segment acknowledged exactly the head's first byte (the client had
  // every byte the server sent before it, none of it), and after which request k + 1, if any,
  // was sent once the head's first byte had reached the client. A client that waits for each
  // response sends its requests so: unless the connection has shown pipelining, that is
  // enough, whatever was lost before. Otherwise (answeredBefore) k's own place must be known
  // with nothing lost before it, and the response to k - 1 known not to be at the head: read to
  // end before it; or begun before k was sent while the responses before it had ended when
  // k - 1 was sent; or begun where the response before it ended, before the head, k - 1
  // carrying no body (so no interim response precedes its final one).
  uint32_t anchoredRequest(const OB_StreamPosition& at);
  // The response paired last ends at end (server sequence numbers).
  void noteAnswerEnd(uint32_t end);
  // Fills requestEnds_ from the requests recorded so far.
  void indexRequestEnds();
  // Before a response head at `at` is read: tells the parser whether it pairs by an anchor.
  void prepareAnchor(const OB_StreamPosition& at);
  // From resume_ (inclusive: its own segment too), the first segment that begins with a status
  // line anchored to a request: the cursor there, the anchor set, true. False when none does.
  bool findAnchor(bool inclusive);
  friend struct HTTPHeaderValues;

  OB_HTTPProtocol& parser_;  // not owned, outlives this
  OB_Stream* stream_;        // not owned; the parser's empty stream when none is set
  // The stream as a packet stream, whose sequence numbers show bytes never captured; null for
  // other streams (which then have no gaps).
  OB_PacketStream* packets_ = nullptr;
  OB_StreamPosition resume_;
  int direction_ = 0;  // 0 while the client's stream is walked, 1 the server's
  bool chunkDone_ = false;  // chunk read the last chunk
  // Method takes an extension method only of a method's own letters (while a request is
  // searched for).
  bool strictMethod_ = false;
  int32_t cutChunk_ = 0;    // the size of the chunk whose data chunk left for the next piece
  // The last head read ended with the data: the cursor rests on its last byte, and its body
  // begins right after the stored bytes.
  bool bodyAfterData_ = false;
  // The known ends of the recorded requests with their numbers, sorted, made at the first
  // anchor looked for: the requests do not change while the server's stream is walked.
  std::vector<std::pair<uint32_t, uint32_t>> requestEnds_;
  bool requestEndsMade_ = false;
  // The message whose head is being read names chunked as its last transfer coding: its body
  // is framed by chunk sizes, whatever Content-Length says.
  bool chunked_ = false;
  int commentDepth_ = 0;
  // The last keyword lookup, valid while the stream is unchanged.
  unsigned char* keywordAt_ = nullptr;
  keywords keywordFound_ = KW_NONE;
  // GetNextKWT's lookup of the word at here (the cursor, neither CR nor LF), kept as the last.
  keywords lookUpKeyword(unsigned char* here);
};
