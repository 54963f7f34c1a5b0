// The pieces every grammar rule uses: the cursor helpers, the keyword lookup, the character
// classes and the small text scanners.
#include <cstring>
#include <string_view>

#include "http/OB_HTTPGrammar.h"

namespace {

enum : uint16_t {
  kCTL = 1 << 0,
  kUpAlpha = 1 << 1,
  kLoAlpha = 1 << 2,
  kDigit = 1 << 3,
  kHex = 1 << 4,
  kReserved = 1 << 5,
  kSafe = 1 << 6,
  kExtra = 1 << 7,
  kTSpecial = 1 << 8,
};

struct CharClasses {
  uint16_t bits[256];
  constexpr CharClasses() : bits() {
    for (int c = 0; c < 32; ++c) bits[c] |= kCTL;
    bits[127] |= kCTL;
    for (int c = 'A'; c <= 'Z'; ++c) bits[c] |= kUpAlpha;
    for (int c = 'a'; c <= 'z'; ++c) bits[c] |= kLoAlpha;
    for (int c = '0'; c <= '9'; ++c) bits[c] |= kDigit | kHex;
    for (int c = 'A'; c <= 'F'; ++c) bits[c] |= kHex;
    for (int c = 'a'; c <= 'f'; ++c) bits[c] |= kHex;
    for (unsigned char c : {';', '/', '?', ':', '@', '&', '='}) bits[c] |= kReserved;
    for (unsigned char c : {'$', '-', '_', '.', '+'}) bits[c] |= kSafe;
    for (unsigned char c : {'!', '*', '\'', '(', ')', ','}) bits[c] |= kExtra;
    for (unsigned char c : {'(', ')', '<', '>', '@', ',', ';', ':', '\\', '/', '[', ']', '?', '=',
                            ' ', '\t', '"'}) {
      bits[c] |= kTSpecial;
    }
  }
  constexpr bool is(unsigned char c, uint16_t mask) const { return (bits[c] & mask) != 0; }
};

constexpr CharClasses kClasses;

struct Keyword {
  std::string_view text;
  OB_HTTPGrammar::keywords value;
};

// Longest first, so that of two keywords sharing a beginning the longer is tried first.
constexpr Keyword kKeywords[] = {
    {"CONTENT-TRANSFER-ENCODING", OB_HTTPGrammar::KW_CONTENT_TRANSFER_ENCODING},
    {"IF-MODIFIED-SINCE", OB_HTTPGrammar::KW_IF_MODIFIED_SINCE},
    {"CONTENT-ENCODING", OB_HTTPGrammar::KW_CONTENT_ENCODING},
    {"CONTENT-LANGUAGE", OB_HTTPGrammar::KW_CONTENT_LANGUAGE},
    {"QUOTED-PRINTABLE", OB_HTTPGrammar::KW_QUOTED_PRINTABLE},
    {"WWW-AUTHENTICATE", OB_HTTPGrammar::KW_WWW_AUTHENTICATE},
    {"ACCEPT-ENCODING", OB_HTTPGrammar::KW_ACCEPT_ENCODING},
    {"ACCEPT-LANGUAGE", OB_HTTPGrammar::KW_ACCEPT_LANGUAGE},
    {"ACCEPT-CHARSET", OB_HTTPGrammar::KW_ACCEPT_CHARSET},
    {"CONTENT-LENGTH", OB_HTTPGrammar::KW_CONTENT_LENGTH},
    {"AUTHORIZATION", OB_HTTPGrammar::KW_AUTHORIZATION},
    {"LAST-MODIFIED", OB_HTTPGrammar::KW_LAST_MODIFIED},
    {"CONTENT-TYPE", OB_HTTPGrammar::KW_CONTENT_TYPE},
    {"MIME-VERSION", OB_HTTPGrammar::KW_MIME_VERSION},
    {"RETRY-AFTER", OB_HTTPGrammar::KW_RETRY_AFTER},
    {"CONNECTION", OB_HTTPGrammar::KW_CONNECTION},
    {"KEEP-ALIVE", OB_HTTPGrammar::KW_KEEP_ALIVE},
    {"USER-AGENT", OB_HTTPGrammar::KW_USER_AGENT},
    {"FORWARDED", OB_HTTPGrammar::KW_FORWARDED},
    {"COMPRESS", OB_HTTPGrammar::KW_COMPRESS},
    {"ENCODING", OB_HTTPGrammar::KW_ENCODING},
    {"LANGUAGE", OB_HTTPGrammar::KW_LANGUAGE},
    {"LOCATION", OB_HTTPGrammar::KW_LOCATION},
    {"NO-CACHE", OB_HTTPGrammar::KW_NO_CACHE},
    {"CHARSET", OB_HTTPGrammar::KW_CHARSET},
    {"EXPIRES", OB_HTTPGrammar::KW_EXPIRES},
    {"MAX-AGE", OB_HTTPGrammar::KW_MAX_AGE},
    {"PERSIST", OB_HTTPGrammar::KW_PERSIST},
    {"REFERER", OB_HTTPGrammar::KW_REFERER},
    {"VERSION", OB_HTTPGrammar::KW_VERSION},
    {"ACCEPT", OB_HTTPGrammar::KW_ACCEPT},
    {"BASE64", OB_HTTPGrammar::KW_BASE64},
    {"BINARY", OB_HTTPGrammar::KW_BINARY},
    {"DELETE", OB_HTTPGrammar::KW_DELETE},
    {"LENGTH", OB_HTTPGrammar::KW_LENGTH},
    {"PRAGMA", OB_HTTPGrammar::KW_PRAGMA},
    {"PUBLIC", OB_HTTPGrammar::KW_PUBLIC},
    {"SERVER", OB_HTTPGrammar::KW_SERVER},
    {"UNLINK", OB_HTTPGrammar::KW_UNLINK},
    {"ALLOW", OB_HTTPGrammar::KW_ALLOW},
    {"BASIC", OB_HTTPGrammar::KW_BASIC},
    {"REALM", OB_HTTPGrammar::KW_REALM},
    {"TITLE", OB_HTTPGrammar::KW_TITLE},
    {"DATE", OB_HTTPGrammar::KW_DATE},
    {"FROM", OB_HTTPGrammar::KW_FROM},
    {"GZIP", OB_HTTPGrammar::KW_GZIP},
    {"HEAD", OB_HTTPGrammar::KW_HEAD},
    {"HOST", OB_HTTPGrammar::KW_HOST},
    {"HTTP", OB_HTTPGrammar::KW_HTTP},
    {"LINK", OB_HTTPGrammar::KW_LINK},
    {"POST", OB_HTTPGrammar::KW_POST},
    {"TYPE", OB_HTTPGrammar::KW_TYPE},
    {"VARY", OB_HTTPGrammar::KW_VARY},
    {"7BIT", OB_HTTPGrammar::KW_7BIT},
    {"8BIT", OB_HTTPGrammar::KW_8BIT},
    {"FOR", OB_HTTPGrammar::KW_FOR},
    {"GET", OB_HTTPGrammar::KW_GET},
    {"PUT", OB_HTTPGrammar::KW_PUT},
    {"UA-", OB_HTTPGrammar::KW_UA},
    {"URI", OB_HTTPGrammar::KW_URI},
    {"BY", OB_HTTPGrammar::KW_BY},
};

// The longest word the lookup reads; longer than every keyword.
constexpr size_t kMaxWord = 30;

// Each keyword's length by its value; 0 for the values that name no text of the table.
struct KeywordLengths {
  size_t length[OB_HTTPGrammar::KW_8BIT + 1];
  constexpr KeywordLengths() : length() {
    for (const Keyword& keyword : kKeywords) length[keyword.value] = keyword.text.size();
  }
  constexpr size_t longest() const {
    size_t most = 0;
    for (size_t n : length) most = n > most ? n : most;
    return most;
  }
};

constexpr KeywordLengths kLengths;
static_assert(kLengths.longest() < kMaxWord);

// The letters some keyword begins with.
struct KeywordLeads {
  bool lead[256];
  constexpr KeywordLeads() : lead() {
    for (const Keyword& keyword : kKeywords) {
      lead[static_cast<unsigned char>(keyword.text[0])] = true;
    }
  }
};

constexpr KeywordLeads kLeads;

// The keywords by their first letter, each letter's in table order, so a lookup compares only
// the few that can match.
struct KeywordsByLead {
  static constexpr int kPerLead = 16;
  uint8_t index[256][kPerLead];
  uint8_t count[256];
  constexpr KeywordsByLead() : index(), count() {
    for (size_t i = 0; i < sizeof(kKeywords) / sizeof(kKeywords[0]); ++i) {
      unsigned char lead = static_cast<unsigned char>(kKeywords[i].text[0]);
      index[lead][count[lead]++] = static_cast<uint8_t>(i);  // a constant: overflow fails to build
    }
  }
};

constexpr KeywordsByLead kByLead;

bool endsWord(unsigned char c) {
  return c == ':' || c == '\r' || c == '\n' || c == ' ' || c == '/';
}

unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

}  // namespace

OB_HTTPGrammar::OB_HTTPGrammar(OB_HTTPProtocol& parser, OB_Stream* stream)
    : parser_(parser), stream_(nullptr) {
  setStream(stream);
}

OB_HTTPGrammar::~OB_HTTPGrammar() { parser_.setStream(nullptr); }

void OB_HTTPGrammar::setStream(OB_Stream* stream) {
  // The parser reads the values it stores from the same stream.
  parser_.setStream(stream);
  stream_ = parser_.getStream();
  packets_ = obQuery<OB_PacketStream>(stream_);
  resume_ = OB_StreamPosition();
  requestEndsMade_ = false;
  forgetKeyword();
}

void OB_HTTPGrammar::forgetKeyword() {
  keywordAt_ = nullptr;
  keywordFound_ = KW_NONE;
}

// ---- Cursor helpers ----

OB_HTTPGrammar::Backtrack::Backtrack(OB_HTTPGrammar* grammar) : grammar_(grammar) {
  grammar_->stream_->savePosition(saved_);
}

OB_HTTPGrammar::Backtrack::~Backtrack() {
  if (!accepted_) restore();
}

void OB_HTTPGrammar::Backtrack::restore() { grammar_->stream_->restorePosition(saved_); }

size_t OB_HTTPGrammar::peek(unsigned char* out, size_t n) {
  const unsigned char* at = stream_->getNextPtr();
  if (at == nullptr || n == 0) return 0;
  // Nearly always the bytes lie in the cursor's buffer.
  if (n <= stream_->getNextSpan()) {
    std::memcpy(out, at, n);
    return n;
  }
  OB_StreamPosition here;
  stream_->savePosition(here);
  size_t got = 0;
  for (;;) {
    out[got++] = stream_->getNext();
    if (got == n || stream_->incNext() == 0) break;
  }
  stream_->restorePosition(here);
  return got;
}

bool OB_HTTPGrammar::peekIs(const char* text, size_t n, bool fold) {
  unsigned char bytes[32];
  if (n > sizeof(bytes) || peek(bytes, n) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = fold ? upper(bytes[i]) : bytes[i];
    if (c != static_cast<unsigned char>(text[i])) return false;
  }
  return true;
}

void OB_HTTPGrammar::skipBytes(size_t n) {
  if (n == 0) return;
  const auto steps = static_cast<int32_t>(n);
  if (stream_->bumpToNext(steps) == 0) stream_->bumpToNext(steps - 1);
}

size_t OB_HTTPGrammar::keywordLength(keywords keyword) {
  return keyword >= 0 && keyword <= KW_8BIT ? kLengths.length[keyword] : 0;
}

void OB_HTTPGrammar::skipKeyword(keywords keyword) { skipBytes(keywordLength(keyword)); }

bool OB_HTTPGrammar::take(std::string_view text) {
  if (!peekIs(text.data(), text.size(), false)) return false;
  skipBytes(text.size());
  return true;
}

bool OB_HTTPGrammar::takeFollowed(std::string_view text) {
  return peekIs(text.data(), text.size(), false) &&
         stream_->bumpToNext(static_cast<int32_t>(text.size())) != 0;
}

void OB_HTTPGrammar::skipSpaces() {
  consumeWhile([](unsigned char c) { return c == ' '; });
}

void OB_HTTPGrammar::skipLineEnds() {
  consumeWhile([](unsigned char c) { return c == '\r' || c == '\n'; });
}

void OB_HTTPGrammar::reportValue(OB_HTTPProtocol::AnalysisType type, unsigned char* start,
                                 unsigned char* end) {
  if (start == nullptr || end == nullptr) return;
  stream_->resetNext(start, kValueStartSlot);
  parser_.dataOutput(type, start, end);
  stream_->resetNext(end, kValueEndSlot);
}

// ---- Keyword lookup ----

OB_HTTPGrammar::keywords OB_HTTPGrammar::GetNextKWT() {
  unsigned char* here = stream_->getNextPtr();
  if (here == nullptr) return KW_NONE;
  unsigned char first = *here;
  if (first == '\r' || first == '\n') return KW_LINE_END;
  // Groups of header rules ask again at the same place for every member they try.
  if (here == keywordAt_) return keywordFound_;
  return lookUpKeyword(here);
}

// Apart from GetNextKWT, so that the many lookups answered from the last one save no registers
// and set up no word for it.
[[gnu::noinline]] OB_HTTPGrammar::keywords OB_HTTPGrammar::lookUpKeyword(unsigned char* here) {
  const unsigned char first = *here;
  // The word is read only up to its end, and only when some keyword begins with its first
  // letter: many lookups land on values and field names that cannot match.
  keywords found = KW_NONE;
  unsigned char word[kMaxWord];
  size_t length = 0;
  if (!endsWord(first) && kLeads.lead[upper(first)]) {
    // In place when the word ends inside the cursor's buffer, else byte by byte across buffers.
    const uint32_t span = stream_->getNextSpan();
    bool whole = false;
    for (uint32_t i = 0; i < span; ++i) {
      const unsigned char c = here[i];
      if (endsWord(c)) {
        whole = true;
        break;
      }
      word[length++] = upper(c);
      if (length == kMaxWord) {
        whole = true;
        break;
      }
    }
    if (!whole) {
      length = 0;
      OB_StreamPosition start;
      stream_->savePosition(start);
      for (;;) {
        unsigned char c = stream_->getNext();
        if (endsWord(c)) break;
        word[length++] = upper(c);
        if (length == kMaxWord || stream_->incNext() == 0) break;
      }
      stream_->restorePosition(start);
    }
  }
  if (length > 0) {
    const unsigned char lead = word[0];
    for (int i = 0; i < kByLead.count[lead]; ++i) {
      const Keyword& keyword = kKeywords[kByLead.index[lead][i]];
      if (keyword.text.size() > length ||
          std::memcmp(word, keyword.text.data(), keyword.text.size()) != 0) {
        continue;
      }
      found = keyword.value;
      // FOR followed by W must be FORWARDED, which was tried first.
      if (found == KW_FOR && length > 3 && word[3] == 'W') found = KW_NONE;
      break;
    }
  }
  keywordAt_ = here;
  keywordFound_ = found;
  return found;
}

// ---- Character classes ----

int OB_HTTPGrammar::CTLchar(unsigned char c) { return kClasses.is(c, kCTL) ? 1 : 0; }

int OB_HTTPGrammar::noCTLchar(unsigned char c) {
  return (c >= 32 && c <= 126) || c == '\t' || c == '\n' || c == '\r' ? 1 : 0;
}

int OB_HTTPGrammar::reservedchar(unsigned char c) { return kClasses.is(c, kReserved) ? 1 : 0; }
int OB_HTTPGrammar::safechar(unsigned char c) { return kClasses.is(c, kSafe) ? 1 : 0; }
int OB_HTTPGrammar::extrachar(unsigned char c) { return kClasses.is(c, kExtra) ? 1 : 0; }
int OB_HTTPGrammar::UPALPHAchar(unsigned char c) { return kClasses.is(c, kUpAlpha) ? 1 : 0; }
int OB_HTTPGrammar::LOALPHAchar(unsigned char c) { return kClasses.is(c, kLoAlpha) ? 1 : 0; }
int OB_HTTPGrammar::ALPHAchar(unsigned char c) {
  return kClasses.is(c, kUpAlpha | kLoAlpha) ? 1 : 0;
}
int OB_HTTPGrammar::DIGITchar(unsigned char c) { return kClasses.is(c, kDigit) ? 1 : 0; }
int OB_HTTPGrammar::hexchar(unsigned char c) { return kClasses.is(c, kHex) ? 1 : 0; }

int OB_HTTPGrammar::escapechar(unsigned char c) {
  if (c != '%') return 0;
  unsigned char bytes[3];
  if (peek(bytes, 3) != 3 || bytes[0] != '%' || !kClasses.is(bytes[1], kHex) ||
      !kClasses.is(bytes[2], kHex)) {
    return 0;
  }
  stream_->bumpToNext(2);
  return 1;
}

int OB_HTTPGrammar::nationalchar(unsigned char c) {
  return !kClasses.is(c, kCTL | kUpAlpha | kLoAlpha | kExtra | kDigit | kReserved | kSafe) &&
                 c != ' '
             ? 1
             : 0;
}

int OB_HTTPGrammar::unreservedchar(unsigned char c) {
  return !kClasses.is(c, kCTL | kReserved) && c != ' ' ? 1 : 0;
}

// "%" is itself unreserved, so an escape is taken byte by byte; the escape test is the fallback.
int OB_HTTPGrammar::uchar(unsigned char c) { return unreservedchar(c) || escapechar(c) ? 1 : 0; }

int OB_HTTPGrammar::pchar(unsigned char c) {
  return c == ':' || c == '@' || c == '&' || c == '=' || uchar(c) ? 1 : 0;
}

int OB_HTTPGrammar::tspecials(unsigned char c) { return kClasses.is(c, kTSpecial) ? 1 : 0; }

// ---- Text scanners ----

void OB_HTTPGrammar::LWS() {
  consumeWhile([](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

int OB_HTTPGrammar::token() {
  auto isToken = [](unsigned char c) { return c >= 32 && c < 127 && !kClasses.is(c, kTSpecial); };
  if (!isToken(stream_->getNext())) return 0;
  consumeWhile(isToken);
  return 1;
}

void OB_HTTPGrammar::ctext() {
  consumeWhile([](unsigned char c) {
    return c != '(' && c != ')' && (!kClasses.is(c, kCTL) || c == '\t' || c == '\r' || c == '\n');
  });
}

void OB_HTTPGrammar::qdtext() {
  consumeWhile([this](unsigned char c) { return c != '"' && noCTLchar(c); });
}

void OB_HTTPGrammar::qatext() {
  consumeWhile([this](unsigned char c) { return c != '<' && c != '>' && noCTLchar(c); });
}

void OB_HTTPGrammar::star_text() {
  consumeWhile([this](unsigned char c) { return noCTLchar(c) != 0; });
}
