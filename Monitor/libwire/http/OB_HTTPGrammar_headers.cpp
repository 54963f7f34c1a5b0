// The header-field rules: the four groups the driver tries on each header line, one rule per
// known header (most of them one shared shape driven by a table), and the value rules they use.
// Each rule follows the conventions stated in OB_HTTPGrammar.h.
#include "http/OB_HTTPGrammar.h"

#include <cstring>
#include <string_view>

namespace {

bool isLineEnd(unsigned char c) { return c == '\r' || c == '\n'; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

}  // namespace

// The value parts of the table-driven header rules and the small steps the rules share.
struct HTTPHeaderValues {
  using P = OB_HTTPGrammar;

  static unsigned char at(P& p) { return p.stream_->getNext(); }
  static unsigned char* here(P& p) { return p.stream_->getNextPtr(); }
  static bool follows(P& p) { return p.stream_->isNext() != 0; }
  // Steps over c when it is at the cursor and a byte follows it.
  static bool stepOver(P& p, unsigned char c) {
    return at(p) == c && p.stream_->isNext() != 0 && p.stream_->incNext() != 0;
  }
  // Spaces and tabs within the line. List separators are looked for with this rather than LWS,
  // so that a list that ends its line never reads on into the next line or a body.
  static void blanks(P& p) { p.consumeWhile(isBlank); }
  static bool digits(P& p) {
    if (!isDigit(at(p))) return false;
    p.consumeWhile(isDigit);
    return true;
  }
  static void toLineEnd(P& p) {
    p.consumeWhile([](unsigned char c) { return !isLineEnd(c); });
  }
  // The cursor is neither on a line end nor just after one: a value stopped inside its line.
  static bool insideLine(P& p) {
    if (isLineEnd(at(p))) return false;
    const unsigned char* before = p.stream_->lookNextIndex(-1);
    return before != nullptr && !isLineEnd(*before);
  }
  // A list element's weight: ";" "q" "=" qvalue, white space allowed around each. Browsers
  // send one with nearly every Accept-Language, Accept-Charset and Accept-Encoding element.
  static bool quality(P& p) {
    P::Backtrack b(&p);
    blanks(p);
    if (!stepOver(p, ';')) return false;
    blanks(p);
    if ((at(p) != 'q' && at(p) != 'Q') || !follows(p)) return false;
    p.stream_->incNext();
    blanks(p);
    if (!stepOver(p, '=')) return false;
    blanks(p);
    if (!p.qvalue()) return false;
    return b.accepted() != 0;
  }
  // element *( "," element ), each with an optional q-value. When strict an element that fails
  // fails the list; otherwise only the first must accept (firstMust). Each round must consume
  // something.
  template <class Element>
  static int list(P& p, Element element, bool strict, bool firstMust = true) {
    if (!element() && firstMust) return 0;
    for (;;) {
      unsigned char* before = here(p);
      quality(p);
      blanks(p);
      if (!stepOver(p, ',')) return 1;
      blanks(p);
      if (!element() && strict) return 0;
      if (here(p) == before) return 1;
    }
  }

  static int accept(P& p) {
    for (;;) {
      unsigned char* before = here(p);
      while (at(p) == ',' && p.stream_->incNext() != 0) {
      }
      if (!p.media_range()) return 0;
      // Parameters of the range, "q" and "mxb" among them.
      for (;;) {
        P::Backtrack b(&p);
        blanks(p);
        if (!stepOver(p, ';')) break;
        blanks(p);
        if (!p.parameter()) break;
        b.accepted();
      }
      blanks(p);
      if (at(p) != ',' || here(p) == before) return 1;
    }
  }
  static int acceptCharset(P& p) {
    return list(p, [&p] { return p.charset(); }, true);
  }
  static int acceptEncoding(P& p) {
    return list(p, [&p] { return p.encoding_mechanism(); }, true);
  }
  static int acceptLanguage(P& p) {
    list(
        p,
        [&p] {
          blanks(p);
          if (at(p) != '*') return p.language_tag();
          p.stream_->incNext();
          return 1;
        },
        false, false);
    return 1;
  }
  static int authorization(P& p) {
    if (!p.Credentials()) return 0;
    for (;;) {
      unsigned char* before = here(p);
      blanks(p);
      if (!stepOver(p, ',')) return 1;
      p.LWS();
      p.Credentials();
      if (here(p) == before) return 1;
    }
  }
  static int from(P& p) { return p.mailbox(); }
  static int host(P& p) {
    if (!p.field_name()) return 0;
    P::Backtrack port(&p);
    blanks(p);
    if (at(p) != ':') return 1;  // no port: the value ends after the name
    if (!follows(p)) return 0;
    p.stream_->incNext();
    blanks(p);
    if (!digits(p)) return 0;
    return port.accepted();
  }
  static int date(P& p) { return p.HTTP_date(); }
  static int origURI(P& p) {
    if (!p.absoluteURI()) return 0;
    if (stepOver(p, '#')) p.fragment();
    return 1;
  }
  static int referer(P& p) { return p.absoluteURI() || p.relativeURI() ? 1 : 0; }
  // Products on the rest of the line; one that does not parse ends them.
  static int products(P& p) {
    if (!p.product()) return 0;
    while (!isLineEnd(at(p))) {
      unsigned char* before = here(p);
      if (!p.product() || here(p) == before) break;
    }
    return 1;
  }
  static int userAgent(P& p) {
    if (!p.product()) return 0;
    toLineEnd(p);
    return 1;
  }
  static int location(P& p) { return p.absoluteURI(); }
  static int methods(P& p) { return p.Method_List(); }
  static int retryAfter(P& p) { return p.HTTP_date() || p.delta_seconds() ? 1 : 0; }
  static int wwwAuthenticate(P& p) { return p.challenge(); }
  static int mimeVersion(P& p) {
    P::Backtrack b(&p);
    if (!digits(p) || !stepOver(p, '.') || !digits(p)) return 0;
    return b.accepted();
  }
  static int connectKeepAlive(P& p) {
    if (p.GetNextKWT() != P::KW_KEEP_ALIVE) return 0;
    p.skipKeyword(P::KW_KEEP_ALIVE);
    P::Backtrack b(&p);
    blanks(p);
    if (at(p) != ',') return 1;  // the value ends after Keep-Alive
    if (!stepOver(p, ',')) return 0;
    p.LWS();
    if (p.GetNextKWT() != P::KW_PERSIST) return 0;
    p.skipKeyword(P::KW_PERSIST);
    return b.accepted();
  }
  static int keepAlive(P& p) {
    p.parameter_list();
    return 1;
  }
  static int pragma(P& p) {
    if (!p.pragma_directive()) return 1;
    for (;;) {
      unsigned char* before = here(p);
      P::Backtrack b(&p);
      blanks(p);
      if (!stepOver(p, ',') || !p.pragma_directive() || here(p) == before) return 1;
      b.accepted();
    }
  }
  static int contentEncoding(P& p) {
    return list(p, [&p] { return p.encoding_mechanism(); }, false);
  }
  static int contentLanguage(P& p) {
    list(p, [&p] { return p.language_tag(); }, false, false);
    return 1;
  }
  static int contentLength(P& p) { return digits(p) ? 1 : 0; }
  static int transferEncoding(P& p) { return p.transfer_encoding(); }
  static int contentType(P& p) { return p.media_type(); }
  // Printable text and tabs up to the line's end: a title never runs on into the next line.
  static int title(P& p) {
    p.consumeWhile([](unsigned char c) { return (c >= 32 && c <= 126) || c == '\t'; });
    return 1;
  }
};

struct OB_HTTPGrammar::HeaderField {
  keywords keyword;  // the name, or for kNameContinues its beginning
  OB_HTTPProtocol::AnalysisType type;
  int (*value)(OB_HTTPGrammar&);
  int flags;
};

namespace {

using H = HTTPHeaderValues;
using P = OB_HTTPGrammar;

constexpr int kNoLWSAfterColon = 1;  // the value begins with the white space after ":"
constexpr int kValueFromColon = 2;   // the reported value begins on the ":"
constexpr int kNameContinues = 4;    // a token follows the keyword in the name (UA-...)

constexpr P::HeaderField kAccept{P::KW_ACCEPT, P::AT_Accept, H::accept, 0};
constexpr P::HeaderField kAcceptCharset{P::KW_ACCEPT_CHARSET, P::AT_AcceptCharset,
                                        H::acceptCharset, 0};
constexpr P::HeaderField kAcceptEncoding{P::KW_ACCEPT_ENCODING, P::AT_AcceptEncoding,
                                         H::acceptEncoding, 0};
constexpr P::HeaderField kAcceptLanguage{P::KW_ACCEPT_LANGUAGE, P::AT_AcceptLanguage,
                                         H::acceptLanguage, 0};
constexpr P::HeaderField kAuthorization{P::KW_AUTHORIZATION, P::AT_Authorization,
                                        H::authorization, 0};
constexpr P::HeaderField kFrom{P::KW_FROM, P::AT_From, H::from, 0};
constexpr P::HeaderField kHost{P::KW_HOST, P::AT_Host, H::host, 0};
constexpr P::HeaderField kIfModifiedSince{P::KW_IF_MODIFIED_SINCE, P::AT_IfModifiedSince,
                                          H::date, 0};
constexpr P::HeaderField kOrigURI{P::KW_ORIG_URI, P::AT_OrigURI, H::origURI, 0};
constexpr P::HeaderField kReferer{P::KW_REFERER, P::AT_Referer, H::referer, 0};
constexpr P::HeaderField kUACharacteristic{P::KW_UA, P::AT_UACharacteristic, H::products,
                                           kNameContinues};
constexpr P::HeaderField kUserAgent{P::KW_USER_AGENT, P::AT_UserAgent, H::userAgent, 0};
constexpr P::HeaderField kLocation{P::KW_LOCATION, P::AT_Location, H::location, 0};
constexpr P::HeaderField kPublic{P::KW_PUBLIC, P::AT_Public, H::methods, 0};
constexpr P::HeaderField kRetryAfter{P::KW_RETRY_AFTER, P::AT_RetryAfter, H::retryAfter, 0};
constexpr P::HeaderField kServer{P::KW_SERVER, P::AT_Server, H::products, 0};
constexpr P::HeaderField kWWWAuthenticate{P::KW_WWW_AUTHENTICATE, P::AT_WWWAuthenticate,
                                          H::wwwAuthenticate, kValueFromColon};
constexpr P::HeaderField kDate{P::KW_DATE, P::AT_Date, H::date, 0};
constexpr P::HeaderField kMIMEVersion{P::KW_MIME_VERSION, P::AT_MIMEVersion, H::mimeVersion, 0};
constexpr P::HeaderField kConnectKeepAlive{P::KW_CONNECTION, P::AT_ConnectKeepAlive,
                                           H::connectKeepAlive, 0};
constexpr P::HeaderField kKeepAlive{P::KW_KEEP_ALIVE, P::AT_KeepAlive, H::keepAlive, 0};
constexpr P::HeaderField kPragma{P::KW_PRAGMA, P::AT_Pragma, H::pragma, 0};
constexpr P::HeaderField kAllow{P::KW_ALLOW, P::AT_Allow, H::methods, 0};
constexpr P::HeaderField kContentEncoding{P::KW_CONTENT_ENCODING, P::AT_ContentEncoding,
                                          H::contentEncoding, 0};
constexpr P::HeaderField kContentLanguage{P::KW_CONTENT_LANGUAGE, P::AT_ContentLanguage,
                                          H::contentLanguage, 0};
constexpr P::HeaderField kContentLength{P::KW_CONTENT_LENGTH, P::AT_ContentLength,
                                        H::contentLength, 0};
constexpr P::HeaderField kContentTransferEncoding{P::KW_CONTENT_TRANSFER_ENCODING,
                                                  P::AT_ContentTransferEncoding,
                                                  H::transferEncoding, kNoLWSAfterColon};
constexpr P::HeaderField kContentType{P::KW_CONTENT_TYPE, P::AT_ContentType, H::contentType, 0};
constexpr P::HeaderField kExpires{P::KW_EXPIRES, P::AT_Expires, H::date, 0};
constexpr P::HeaderField kLastModified{P::KW_LAST_MODIFIED, P::AT_LastModified, H::date, 0};
constexpr P::HeaderField kTitle{P::KW_TITLE, P::AT_Title, H::title, 0};

}  // namespace

// ---- Small steps of the rules below ----

bool OB_HTTPGrammar::takeKeyword(keywords keyword) {
  if (GetNextKWT() != keyword) return false;
  skipKeyword(keyword);
  return true;
}

bool OB_HTTPGrammar::takeEquals() {
  LWS();
  if (!H::stepOver(*this, '=')) return false;
  LWS();
  return true;
}

// ---- The shared shape ----

int OB_HTTPGrammar::headerField(const HeaderField& field) {
  // Groups try their members one by one at the same place: a name that is not this one is
  // turned away before anything is saved (the lookup leaves the cursor where it is). After the
  // first member the cursor already stands past the white space, on the name last looked up.
  const unsigned char* here = stream_->getNextPtr();
  const bool lookedUp = here != nullptr && here == keywordAt_ && *here != ' ' && *here != '\t' &&
                        *here != '\r' && *here != '\n';
  if (lookedUp) {
    if (keywordFound_ != field.keyword) return 0;
  } else {
    LWS();
    if (GetNextKWT() != field.keyword) return 0;
  }
  return headerFieldAfterName(field);
}

// Apart from headerField, so that the many members a header line turns away cost a call that
// saves no registers and sets up no backtrack.
[[gnu::noinline]] int OB_HTTPGrammar::headerFieldAfterName(const HeaderField& field) {
  Backtrack b(this);
  unsigned char* valueStart = nullptr;
  if ((field.flags & kNameContinues) != 0) {
    if (stream_->bumpToNext(static_cast<int32_t>(keywordLength(field.keyword))) == 0) return 0;
    valueStart = stream_->getNextPtr();
    if (!token()) return 0;
  } else {
    skipKeyword(field.keyword);
  }
  LWS();
  if ((field.flags & kValueFromColon) != 0) valueStart = stream_->getNextPtr();
  // A ":" that ends the data has no value after it.
  if (stream_->getNext() != ':' || stream_->incNext() == 0) return 0;
  if ((field.flags & kNoLWSAfterColon) == 0) LWS();
  if (valueStart == nullptr) valueStart = stream_->markNext(kValueStartSlot);
  if (!field.value(*this)) return 0;
  reportValue(field.type, valueStart, stream_->markNext(kValueEndSlot));
  return b.accepted();
}

int OB_HTTPGrammar::Accept() { return headerField(kAccept); }
int OB_HTTPGrammar::Accept_Charset() { return headerField(kAcceptCharset); }
int OB_HTTPGrammar::Accept_Encoding() { return headerField(kAcceptEncoding); }
int OB_HTTPGrammar::Accept_Language() { return headerField(kAcceptLanguage); }
int OB_HTTPGrammar::Allow() { return headerField(kAllow); }
int OB_HTTPGrammar::Authorization() { return headerField(kAuthorization); }
int OB_HTTPGrammar::Connect_Keep_Alive() { return headerField(kConnectKeepAlive); }
int OB_HTTPGrammar::Content_Encoding() { return headerField(kContentEncoding); }
int OB_HTTPGrammar::Content_Language() { return headerField(kContentLanguage); }
int OB_HTTPGrammar::Content_Length() { return headerField(kContentLength); }
int OB_HTTPGrammar::Content_Transfer_Encoding() { return headerField(kContentTransferEncoding); }
int OB_HTTPGrammar::Content_Type() { return headerField(kContentType); }
int OB_HTTPGrammar::Date() { return headerField(kDate); }
int OB_HTTPGrammar::Expires() { return headerField(kExpires); }
int OB_HTTPGrammar::From() { return headerField(kFrom); }
int OB_HTTPGrammar::Host() { return headerField(kHost); }
int OB_HTTPGrammar::If_Modified_Since() { return headerField(kIfModifiedSince); }
int OB_HTTPGrammar::Keep_Alive() { return headerField(kKeepAlive); }
int OB_HTTPGrammar::Last_Modified() { return headerField(kLastModified); }
int OB_HTTPGrammar::Location() { return headerField(kLocation); }
int OB_HTTPGrammar::MIME_Version() { return headerField(kMIMEVersion); }
int OB_HTTPGrammar::Orig_URI() { return headerField(kOrigURI); }
int OB_HTTPGrammar::Pragma() { return headerField(kPragma); }
int OB_HTTPGrammar::Public() { return headerField(kPublic); }
int OB_HTTPGrammar::Referer() { return headerField(kReferer); }
int OB_HTTPGrammar::Retry_After() { return headerField(kRetryAfter); }
int OB_HTTPGrammar::Server() { return headerField(kServer); }
int OB_HTTPGrammar::Title() { return headerField(kTitle); }
int OB_HTTPGrammar::UA_Characteristic() { return headerField(kUACharacteristic); }
int OB_HTTPGrammar::User_Agent() { return headerField(kUserAgent); }
int OB_HTTPGrammar::WWW_Authenticate() { return headerField(kWWWAuthenticate); }

// ---- Groups ----

int OB_HTTPGrammar::finishHeaderLine() {
  if (stream_->getNext() == '(' && !comment()) return 0;
  if (stream_->getNext() == ';' && stream_->incNext() != 0) parameter_list();
  if (H::insideLine(*this)) H::toLineEnd(*this);
  while (GetNextKWT() == KW_LINE_END && stream_->incNext() != 0) {
  }
  return 1;
}

int OB_HTTPGrammar::General_Header() {
  LWS();
  if (!(Date() || Forwarded() || MIME_Version() || Connect_Keep_Alive() || Keep_Alive() ||
        Pragma())) {
    return 0;
  }
  if (stream_->isNext() != 0) finishHeaderLine();
  return 1;
}

int OB_HTTPGrammar::Request_Header() {
  LWS();
  if (!(Accept() || Accept_Charset() || Accept_Encoding() || Accept_Language() ||
        Authorization() || From() || Host() || If_Modified_Since() || Orig_URI() || Referer() ||
        UA_Characteristic() || User_Agent())) {
    return 0;
  }
  finishHeaderLine();
  return 1;
}

int OB_HTTPGrammar::Response_Header() {
  LWS();
  auto member = [this] {
    return Location() || Public() || Retry_After() || Server() || WWW_Authenticate();
  };
  if (!member()) return 0;
  for (;;) {
    unsigned char* before = stream_->getNextPtr();
    if (!finishHeaderLine() || !member() || stream_->getNextPtr() == before) return 1;
  }
}

int OB_HTTPGrammar::Entity_Header() {
  LWS();
  if (!(Allow() || Content_Encoding() || Content_Language() || Content_Length() ||
        Content_Transfer_Encoding() || Content_Type() || Expires() || Last_Modified() || Link() ||
        Title() || URI_header() || HTTP_header())) {
    return 0;
  }
  finishHeaderLine();
  return 1;
}

// ---- Header rules with shapes of their own ----

int OB_HTTPGrammar::Forwarded() {
  LWS();
  Backtrack b(this);
  if (!takeKeyword(KW_FORWARDED)) return 0;
  LWS();
  if (stream_->getNext() != ':' || stream_->isNext() == 0) return 0;
  unsigned char* start = stream_->markNext(kValueStartSlot);
  for (;;) {
    unsigned char* before = stream_->getNextPtr();
    stream_->incNext();  // the ":" or ","
    H::blanks(*this);
    if (takeKeyword(KW_BY)) {
      LWS();
      if (!URI()) return 0;
      H::blanks(*this);
      if (stream_->getNext() == '(' && stream_->isNext() != 0) {
        stream_->incNext();
        LWS();
        if (!product()) return 0;
        LWS();
        if (stream_->getNext() != ')') return 0;
        stream_->incNext();
      }
    }
    H::blanks(*this);
    if (takeKeyword(KW_FOR)) FQDN();
    H::blanks(*this);
    if (stream_->getNext() != ',' || stream_->isNext() == 0 ||
        stream_->getNextPtr() == before) {
      break;
    }
  }
  reportValue(AT_Forwarded, start, stream_->markNext(kValueEndSlot));
  return b.accepted();
}

int OB_HTTPGrammar::Link() {
  LWS();
  Backtrack b(this);
  if (!takeKeyword(KW_LINK)) return 0;
  LWS();
  if (stream_->getNext() != ':' || stream_->incNext() == 0) return 0;
  unsigned char* start = nullptr;
  // Each required piece of an element's "; rel=...; rev=...; title=..." tail.
  auto lower = [this](std::string_view word) {
    LWS();
    return take(word);
  };
  auto mark = [this](unsigned char c) {
    LWS();
    return H::stepOver(*this, c);
  };
  for (;;) {
    unsigned char* before = stream_->getNextPtr();
    H::blanks(*this);
    if (stream_->getNext() == '<' && stream_->isNext() != 0) {
      stream_->incNext();
      LWS();
      start = stream_->getNextPtr();
      if (URI() && stream_->getNext() == '>') {
        stream_->incNext();
        if (!mark(';') || !lower("rel") || !mark('=') || (LWS(), !relationship()) ||
            !mark(';') || !lower("rev") || !mark('=') || (LWS(), !relationship()) ||
            !mark(';') || !lower("title") || !mark('=') || (LWS(), !quoted_string())) {
          return 0;
        }
        H::blanks(*this);
      }
    }
    // Elements are separated by ","; the separator is stepped over.
    if (!H::stepOver(*this, ',') || stream_->getNextPtr() == before) break;
  }
  unsigned char* end = stream_->markNext(kValueEndSlot);
  reportValue(AT_Link, start != nullptr ? start : end, end);
  return b.accepted();
}

int OB_HTTPGrammar::URI_header() {
  LWS();
  Backtrack b(this);
  if (!takeKeyword(KW_URI)) return 0;
  LWS();
  if (stream_->getNext() != ':' || stream_->incNext() == 0) return 0;
  LWS();
  unsigned char* start = stream_->markNext(kValueStartSlot);
  while (stream_->getNext() == '<') {
    unsigned char* before = stream_->getNextPtr();
    if (stream_->incNext() == 0) return 0;
    LWS();
    if (!absoluteURI()) relativeURI();
    // The URI rules take ">" as a URI byte.
    if (stream_->getNext() != '>') {
      const unsigned char* previous = stream_->lookNextIndex(-1);
      if (previous != nullptr && *previous == '>') stream_->bumpToNext(-1);
    }
    if (!H::stepOver(*this, '>')) return 0;
    LWS();
    if (H::stepOver(*this, ';')) {
      LWS();
      if (!vary() && !characteristic()) return 0;
    }
    LWS();
    while (H::stepOver(*this, ';')) {
      LWS();
      if (!characteristic()) return 0;
      LWS();
    }
    if (!H::stepOver(*this, ',') || stream_->getNextPtr() == before) break;
    LWS();
    start = stream_->markNext(kValueStartSlot);
  }
  reportValue(AT_URIHeader, start, stream_->markNext(kValueEndSlot));
  return b.accepted();
}

int OB_HTTPGrammar::field_name() {
  int taken = 0;
  for (;;) {
    const unsigned char c = stream_->getNext();
    if (c < 33 || c > 126 || c == ':') break;
    ++taken;
    if (stream_->incNext() == 0) break;
  }
  return taken > 0 ? 1 : 0;
}

void OB_HTTPGrammar::field_value() {
  H::toLineEnd(*this);
  skipLineEnds();
}

int OB_HTTPGrammar::HTTP_header() {
  LWS();
  Backtrack b(this);
  static constexpr char kTransferEncoding[] = "TRANSFER-ENCODING";
  static constexpr size_t kTransferEncodingLength = sizeof kTransferEncoding - 1;
  const unsigned char* afterName = stream_->lookNextIndex(kTransferEncodingLength);
  const bool transferEncoding =
      peekIs(kTransferEncoding, kTransferEncodingLength, true) && afterName != nullptr &&
      (*afterName == ':' || isBlank(*afterName));
  if (!field_name()) return 0;
  LWS();
  if (stream_->getNext() != ':' || stream_->incNext() == 0) return 0;
  if (transferEncoding) chunked_ = lastCodingIsChunked();
  field_value();
  return b.accepted();
}

bool OB_HTTPGrammar::lastCodingIsChunked() {
  OB_StreamPosition start;
  stream_->savePosition(start);
  // The last element of the comma-separated list, blanks around it dropped; only its first
  // bytes are kept, enough to tell "chunked" from anything else.
  char last[8];
  size_t length = 0;
  bool tooLong = false;
  bool blankSeen = false;
  for (;;) {
    const unsigned char c = stream_->getNext();
    if (isLineEnd(c)) break;
    if (c == ',') {
      length = 0;
      tooLong = false;
      blankSeen = false;
    } else if (isBlank(c)) {
      blankSeen = length > 0;
    } else if (blankSeen || length == sizeof last) {
      tooLong = true;
    } else {
      last[length++] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (stream_->incNext() == 0) break;
  }
  stream_->restorePosition(start);
  return !tooLong && length == 7 && std::memcmp(last, "chunked", 7) == 0;
}

// ---- Value rules ----

int OB_HTTPGrammar::charset() {
  // In order of preference: the longer of two names sharing a beginning first.
  static constexpr std::string_view kNames[] = {
      "US-ASCII",         "ISO-2022-JP-2",    "ISO-2022-JP", "ISO-2022-KR",
      "UNICODE1-1-UTF-7", "UNICODE1-1-UTF-8", "UNICODE1-1",
  };
  static constexpr std::string_view kLatin = "ISO-8859-";  // and one digit
  unsigned char latin[kLatin.size() + 1];
  if (peek(latin, sizeof latin) == sizeof latin && peekIs(kLatin.data(), kLatin.size(), false) &&
      isDigit(latin[kLatin.size()])) {
    skipBytes(sizeof latin);
    return 1;
  }
  for (std::string_view name : kNames) {
    if (take(name)) return 1;
  }
  return token();
}

int OB_HTTPGrammar::media_range() {
  LWS();
  Backtrack b(this);
  if (take("*/*")) return b.accepted();
  if (!token()) return 0;
  if (stream_->getNext() != '/' || stream_->incNext() == 0) return 0;
  if (stream_->getNext() == '*') {
    stream_->incNext();
    return b.accepted();
  }
  if (!token()) return 0;
  return b.accepted();
}

int OB_HTTPGrammar::qvalue() {
  LWS();
  Backtrack b(this);
  const unsigned char c = stream_->getNext();
  if (c == '0') {
    if (stream_->incNext() != 0 && H::stepOver(*this, '.')) H::digits(*this);
  } else if (c == '.') {
    if (stream_->incNext() != 0) H::digits(*this);
  } else if (c == '1') {
    if (stream_->incNext() != 0 && H::stepOver(*this, '.')) {
      consumeWhile([](unsigned char d) { return d == '0'; });
    }
  } else {
    return 0;
  }
  return b.accepted();
}

int OB_HTTPGrammar::Method_List() {
  LWS();
  Method();
  H::blanks(*this);
  for (;;) {
    unsigned char* before = stream_->getNextPtr();
    if (!H::stepOver(*this, ',')) break;
    LWS();
    if (!Method()) break;
    H::blanks(*this);
    if (stream_->getNextPtr() == before) break;
  }
  return 1;
}

int OB_HTTPGrammar::auth_scheme() {
  LWS();
  Backtrack b(this);
  return (takeKeyword(KW_BASIC) || token()) ? b.accepted() : 0;
}

int OB_HTTPGrammar::auth_param() {
  LWS();
  Backtrack b(this);
  if (!token()) return 0;
  LWS();
  if (stream_->getNext() != '=' || stream_->incNext() == 0) return 0;
  LWS();
  if (!quoted_string()) return 0;
  return b.accepted();
}

void OB_HTTPGrammar::encoded_cookie() {
  consumeWhile([](unsigned char c) { return c != '\n'; });
}

int OB_HTTPGrammar::Credentials() {
  LWS();
  Backtrack b(this);
  if (!auth_scheme()) return 0;
  // Only blanks lead to the credentials: a scheme that ends its line takes nothing of the next.
  if (isBlank(stream_->getNext()) && stream_->incNext() != 0) encoded_cookie();
  for (;;) {
    unsigned char* before = stream_->getNextPtr();
    if (!H::stepOver(*this, ';')) break;
    LWS();
    if (!auth_param()) return 0;
    LWS();
    if (stream_->getNextPtr() == before) break;
  }
  return b.accepted();
}

int OB_HTTPGrammar::encoding_mechanism() {
  LWS();
  Backtrack b(this);
  switch (const keywords found = GetNextKWT()) {
    case KW_GZIP:
    case KW_COMPRESS:
      skipKeyword(found);
      return b.accepted();
    default:
      return token() ? b.accepted() : 0;
  }
}

int OB_HTTPGrammar::alpha1to8() {
  LWS();
  Backtrack b(this);
  int letters = 0;
  while (isAlpha(stream_->getNext())) {
    if (++letters > 8) return 0;
    if (stream_->incNext() == 0) break;
  }
  return b.accepted();
}

int OB_HTTPGrammar::language_tag() {
  LWS();
  Backtrack b(this);
  if (!alpha1to8()) return 0;
  H::blanks(*this);
  while (H::stepOver(*this, '-')) {
    H::blanks(*this);
    alpha1to8();
    H::blanks(*this);
  }
  return b.accepted();
}

int OB_HTTPGrammar::transfer_encoding() {
  LWS();
  Backtrack b(this);
  switch (const keywords found = GetNextKWT()) {
    case KW_BINARY:
    case KW_BASE64:
    case KW_8BIT:
    case KW_7BIT:
    case KW_QUOTED_PRINTABLE:
      skipKeyword(found);
      return b.accepted();
    default:
      return token() ? b.accepted() : 0;
  }
}

int OB_HTTPGrammar::parameter() {
  LWS();
  Backtrack b(this);
  if (!token()) return 0;
  LWS();
  if (stream_->getNext() != '=' || stream_->incNext() == 0) return 0;
  LWS();
  if (!token() && !quoted_string()) return 0;
  return b.accepted();
}

void OB_HTTPGrammar::parameter_list() {
  LWS();
  if (!parameter()) return;
  H::blanks(*this);
  for (;;) {
    unsigned char* before = stream_->getNextPtr();
    if (!H::stepOver(*this, ',') || !parameter()) break;
    H::blanks(*this);
    if (stream_->getNextPtr() == before) break;
  }
}

int OB_HTTPGrammar::media_type() {
  LWS();
  Backtrack b(this);
  if (!token()) return 0;
  if (stream_->getNext() != '/' || stream_->incNext() == 0) return 0;
  if (!token()) return 0;
  while (H::stepOver(*this, ';')) {
    LWS();
    if (!parameter()) return 0;
  }
  return b.accepted();
}

int OB_HTTPGrammar::product() {
  LWS();
  Backtrack b(this);
  if (!token()) return 0;
  if (H::stepOver(*this, '/') && !token()) return 0;
  return b.accepted();
}

// A host name or address token, up to white space, "," or ";".
int OB_HTTPGrammar::FQDN() {
  LWS();
  consumeWhile([](unsigned char c) { return c > 32 && c < 127 && c != ',' && c != ';'; });
  return 1;
}

// An address with its display name: the rest of the line.
int OB_HTTPGrammar::mailbox() {
  H::toLineEnd(*this);
  return 1;
}

int OB_HTTPGrammar::sgml_name() {
  if (!isAlpha(stream_->getNext())) return 0;
  consumeWhile([](unsigned char c) { return isAlpha(c) || isDigit(c) || c == '.' || c == '-'; });
  return 1;
}

int OB_HTTPGrammar::relationship() {
  LWS();
  Backtrack b(this);
  if (stream_->getNext() == '"') {
    if (stream_->incNext() == 0) return 0;
    LWS();
    if (!sgml_name()) return 0;
    while (stream_->getNext() == ' ' && stream_->incNext() != 0) {
      if (!sgml_name()) break;
    }
    LWS();
    if (stream_->getNext() != '"' || stream_->incNext() == 0) return 0;
    return b.accepted();
  }
  return sgml_name() ? b.accepted() : 0;
}

int OB_HTTPGrammar::pragma_directive() {
  LWS();
  Backtrack b(this);
  switch (GetNextKWT()) {
    case KW_NO_CACHE:
      skipKeyword(KW_NO_CACHE);
      return b.accepted();
    case KW_MAX_AGE:
      skipKeyword(KW_MAX_AGE);
      if (takeEquals() && delta_seconds()) return b.accepted();
      b.restore();
      break;
    default:
      break;
  }
  if (!token() || !takeEquals() || !word()) return 0;
  return b.accepted();
}

int OB_HTTPGrammar::vary_dimension() {
  LWS();
  switch (const keywords found = GetNextKWT()) {
    case KW_TYPE:
    case KW_CHARSET:
    case KW_VERSION:
    case KW_ENCODING:
    case KW_LANGUAGE:
    case KW_USER_AGENT:
      skipKeyword(found);
      return 1;
    case KW_NONE:
      return token();
    default:
      return 0;
  }
}

int OB_HTTPGrammar::vary() {
  LWS();
  Backtrack b(this);
  if (!takeKeyword(KW_VARY) || !takeEquals()) return 0;
  if (stream_->getNext() == '"') {
    if (stream_->incNext() == 0) return 0;
    LWS();
    if (!vary_dimension()) return 0;
    for (;;) {
      unsigned char* before = stream_->getNextPtr();
      LWS();
      if (stream_->getNext() == '"') return b.accepted();
      if (!vary_dimension() || stream_->getNextPtr() == before) return 0;
    }
  }
  return vary_dimension() ? b.accepted() : 0;
}

int OB_HTTPGrammar::characteristic() {
  LWS();
  Backtrack b(this);
  // "={" then a list of elements closed by "}".
  auto braced = [this](auto element, bool needOne) {
    if (!takeFollowed("={")) return false;
    LWS();
    if (!element() && needOne) return false;
    for (;;) {
      unsigned char* before = stream_->getNextPtr();
      if (!H::stepOver(*this, ',')) break;
      LWS();
      element();
      LWS();
      if (stream_->getNextPtr() == before) break;
    }
    return H::stepOver(*this, '}');
  };
  switch (const keywords found = GetNextKWT()) {
    case KW_NONE:
      if (!takeFollowed("qs=")) return 0;
      LWS();
      return qvalue() ? b.accepted() : 0;
    case KW_ENCODING:
      skipKeyword(found);
      return braced([this] { return encoding_mechanism(); }, true) ? b.accepted() : 0;
    case KW_LANGUAGE:
      skipKeyword(found);
      return braced([this] { return language_tag(); }, true) ? b.accepted() : 0;
    case KW_LENGTH:
      skipKeyword(found);
      if (!H::stepOver(*this, '=')) return 0;
      LWS();
      return H::digits(*this) ? b.accepted() : 0;
    case KW_TYPE:
      skipKeyword(found);
      if (!takeFollowed("={")) return 0;
      LWS();
      if (!media_type() || !H::stepOver(*this, '}')) return 0;
      return b.accepted();
    default:
      return 0;
  }
}

int OB_HTTPGrammar::realm() {
  LWS();
  Backtrack b(this);
  if (!takeKeyword(KW_REALM) || !takeEquals()) return 0;
  return quoted_string() ? b.accepted() : 0;
}

int OB_HTTPGrammar::challenge() {
  LWS();
  Backtrack b(this);
  if (!auth_scheme() || stream_->getNext() != ' ') return 0;
  skipSpaces();
  if (!realm()) return 0;
  H::blanks(*this);
  for (;;) {
    unsigned char* before = stream_->getNextPtr();
    if (!H::stepOver(*this, ';')) break;
    LWS();
    if (!auth_param()) return 0;
    H::blanks(*this);
    if (stream_->getNextPtr() == before) break;
  }
  return b.accepted();
}
