// The HTTP analyser: turns one reassembled TCP connection into a protocol object whose chain holds
// one OB_HTTPXact per request, each paired with its response. Each direction is read by a
// hand-written recursive-descent recogniser, one member function per grammar rule, that moves the
// stream's cursor in place and hands the stretches it recognises to dataOutput, which copies the
// few stored values into fixed-width fields. The HTTP consumer makes one through its factory and
// resets it after every session; the archive reader fills one with read. One thread drives an
// object at a time (the consumer's, under its lock).
//
// Rule conventions, shared by every rule here and by those built on them:
//  - int rules answer 1 (accepted) or 0; a rule that does not accept leaves the cursor where it
//    was when it began (after the white space it skips first, for rules that begin with LWS).
//    Take a Backtrack at that point and return accepted() when the rule accepts.
//  - The cursor always stands on a byte; loops stop on the last byte of the data, so a value that
//    runs to the end of the data ends on its last byte. Every loop ends when an iteration
//    consumed nothing.
//  - Fixed-width look-aheads (keywords aside) go through peek, which fails when fewer bytes
//    remain; keywords go through GetNextKWT, then skipKeyword.
//  - Values are handed over with reportValue(type, start, end); only dataOutput decides what is
//    kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "OB_BufferStream.h"
#include "OB_HTTPXact.h"
#include "OB_MemoryPool.h"
#include "OB_PooledHTTPXact.h"
#include "OB_Protocol.h"
#include "OB_Stream.h"

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

  // Transactions the default pool holds: 128 blocks of 128.
  static constexpr int kPoolQueues = 128;
  static constexpr int kPoolObjectsPerQueue = 128;
  // Comments nested deeper than this are not comments.
  static constexpr int kMaxCommentDepth = 256;

  OB_HTTPProtocol();
  // A pool of maxQueues blocks of objectsPerQueue transactions (tests use small ones).
  OB_HTTPProtocol(int maxQueues, int objectsPerQueue);
  ~OB_HTTPProtocol() override;
  OB_HTTPProtocol(const OB_HTTPProtocol&) = delete;
  OB_HTTPProtocol& operator=(const OB_HTTPProtocol&) = delete;

  // The stream the rules read (not owned; null: an empty one). Forgets the keyword memo, so it
  // must be called whenever a different stream, or the same one refilled, is to be parsed.
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
  // Empties the chain and the pairing state (state, response target, dropped halves); 0.
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

  // One known header: its keyword, name length, value rule and hand-over type. Defined, with
  // the table of known headers, beside the header rules.
  struct HeaderField;

  // ---- Message driver ----
  // Parses an OB_TCPSession (anything else is left alone): requests from the client's stream,
  // then responses from the server's, each paired with its request; both streams are reset
  // afterwards (their buffers go back). A session that continues one cut off at the byte limit
  // begins inside a message: each direction is parsed from its first request or status line.
  // 0.
  int processObject(OB_Object* object) override;
  // Walks one direction request by request (response by response); the stream is not owned and
  // is forgotten (setStream(nullptr)) before they return.
  void parseRequests(OB_Stream* stream);
  void parseResponses(OB_Stream* stream);
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
  // the chunk sizes into *sum. 1 with the cursor after the body; 0 when the data ends first, a
  // size line is malformed or the sizes pass 2^31 - 1 (the cursor then anywhere in the body).
  int Entity_Body_Chunked(int32_t* sum);

 protected:
  // Mark slots of the stream. The driver loops own 7 to 9 and the body and line scanners 0
  // and 1; a slot only speeds up returning to a position, so sharing one is never wrong.
  static constexpr int kValueStartSlot = 1;
  static constexpr int kValueEndSlot = 2;

  // Remembers the cursor; when the rule returns without accepted(), puts it back there. The
  // cursor is kept as a saved stream position, not in a mark slot: rules nest deeper than the
  // slots go, and a copy is cheaper than a slot's address search.
  class Backtrack {
   public:
    explicit Backtrack(OB_HTTPProtocol* parser);
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
    unsigned char* position() const {
      return saved_.data != nullptr ? saved_.data + saved_.offset : nullptr;
    }

   private:
    OB_HTTPProtocol* parser_;
    OB_StreamPosition saved_;
    bool accepted_ = false;
  };

  // Copies up to n bytes from the cursor into out without moving it; the number copied.
  size_t peek(unsigned char* out, size_t n);
  // Whether the n bytes from the cursor are text (case-folded to upper case when fold).
  bool peekIs(const char* text, size_t n, bool fold);
  // Moves over a keyword of n bytes the lookup saw; a keyword that ends the data leaves the
  // cursor on its last byte.
  void skipKeyword(int n);
  // Moves over " " bytes while a byte follows.
  void skipSpaces();
  // Moves over CR and LF bytes while a byte follows.
  void skipLineEnds();
  // Moves over bytes while the class accepts the byte at the cursor and a byte follows.
  template <class Accepts>
  void consumeWhile(Accepts accepts) {
    while (accepts(stream_->getNext()) && stream_->incNext() != 0) {
    }
  }
  // Hands [start, end) to dataOutput and leaves the cursor on end.
  void reportValue(AnalysisType type, unsigned char* start, unsigned char* end);

  // The shape every known header shares: name, ":", value, hand-over.
  int headerField(const HeaderField& field);
  // A group's ending after its member accepted: comment, parameters, rest of line, line ends.
  // 0 only when a comment was there and did not parse.
  int finishHeaderLine();
  // Header lines until the block ends or a line is taken by no group.
  void headerBlock(bool request);
  // What findHeadEnd found.
  static constexpr int kHeadNotFound = 0;        // the data ends before the head's empty line
  static constexpr int kHeadWithHeaders = 1;
  static constexpr int kHeadWithoutHeaders = 2;  // the first line is followed by the empty line
  // From a message's first line, where its head ends: the position after its first empty line
  // into *end. The cursor stays.
  int findHeadEnd(OB_StreamPosition* end);
  // After a request or status line: the header block (when the head has one), then the cursor
  // to bodyStart when the head's end was found.
  void messageHead(bool request, int head, const OB_StreamPosition& bodyStart);
  // Whether the cursor is on an empty line (LF, or CR LF).
  bool atEmptyLine();
  // Onto the byte after the next LF at or after the cursor: 1, or 0 when there is none.
  int nextLine();
  // From a line's start, over lines up to and including the first empty one: 1 with the cursor
  // on the byte after it, 0 when the data ends first or right after it.
  int skipThroughEmptyLine();
  // Takes back the pairing of the last response (an interim one), emptying its fields.
  void unpairResponse();
  // From the start of a Transfer-Encoding value: whether the last coding it lists is chunked.
  // The cursor stays.
  bool lastCodingIsChunked();
  friend struct HTTPHeaderValues;

  int state_ = 0;                           // 1 storing request values, 2 response values
  OB_HTTPXact* responseTarget_ = nullptr;   // not owned: a transaction of the chain, or null
  OB_Stream* stream_ = nullptr;             // not owned; emptyStream_ when none is set

 private:
  OB_HTTPXact* currentRequest();
  OB_HTTPXact* currentResponse();
  void forgetKeyword();
  // Before a record is read in: no pairing state, no transactions listed.
  void forgetParse();

  OB_MemoryPool<OB_PooledHTTPXact>* pool_ = nullptr;  // owned; null when it could not be made
  OB_PooledHTTPXact* pending_ = nullptr;  // taken by addXLink for createXLink to hand over
  std::vector<OB_HTTPXact*> xacts_;       // the chain in order, for constant-time pairing
  bool requestsDropped_ = false;  // the pool ran out: later requests are not recorded
  bool responseDropped_ = false;  // the response being read pairs with no request
  // The message whose head is being read names chunked as its last transfer coding: its body
  // is framed by chunk sizes, whatever Content-Length says.
  bool chunked_ = false;
  // The session continues one cut off: each direction is searched for its first message.
  bool resync_ = false;
  int commentDepth_ = 0;
  // The last keyword lookup, valid while the stream is unchanged.
  unsigned char* keywordAt_ = nullptr;
  keywords keywordFound_ = KW_NONE;
  OB_BufferStream emptyStream_;
};
