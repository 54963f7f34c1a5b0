// The grammar rules below the header fields: comments and quoted strings, URIs, the request and
// status lines, and dates. Each rule follows the conventions stated in OB_HTTPGrammar.h.
#include "http/OB_HTTPGrammar.h"

#include <cstring>

namespace {

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Two day digits, 00 to 39 with 30 and 31 the only ones from 30 up.
bool isDay(unsigned char first, unsigned char second) {
  return first >= '0' && first <= '3' && isDigit(second) && (first != '3' || second <= '1');
}

unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

// Index of the name among count names of length 3 laid end to end, or -1.
int findTriple(const unsigned char* bytes, const char* names, int count) {
  for (int i = 0; i < count; ++i) {
    const char* name = names + 3 * i;
    if (upper(bytes[0]) == name[0] && upper(bytes[1]) == name[1] && upper(bytes[2]) == name[2]) {
      return i;
    }
  }
  return -1;
}

// Counts the nesting of comments for as long as one is being read.
class DepthCount {
 public:
  explicit DepthCount(int& depth) : depth_(depth) { ++depth_; }
  ~DepthCount() { --depth_; }
  DepthCount(const DepthCount&) = delete;
  DepthCount& operator=(const DepthCount&) = delete;

 private:
  int& depth_;
};

}  // namespace

// ---- Lexical rules ----

int OB_HTTPGrammar::comment() {
  Backtrack mark(this);
  if (stream_->getNext() != '(') return 0;
  // Nesting costs a stack frame per level: a deeper run of "(" is not taken as a comment.
  if (commentDepth_ >= kMaxCommentDepth) return 0;
  DepthCount depth(commentDepth_);
  if (stream_->incNext() == 0) return mark.accepted();  // "(" was the last byte
  for (;;) {
    ctext();
    const unsigned char c = stream_->getNext();
    if (c == ')') break;
    if (c == '(') {
      if (!comment()) return 0;
    } else if (CTLchar(c) && c != '\t' && c != '\r' && c != '\n') {
      return 0;  // a control byte inside the comment
    }
    // Otherwise the text ran to the end of the data: the comment ends there.
    if (stream_->isNext() == 0) break;
  }
  if (stream_->getNext() == ')') stream_->incNext();
  return mark.accepted();
}

int OB_HTTPGrammar::quoted_string() {
  Backtrack mark(this);
  if (stream_->getNext() != '"' || stream_->isNext() == 0) return 0;
  stream_->incNext();
  qdtext();
  if (stream_->getNext() != '"') return 0;
  stream_->incNext();
  return mark.accepted();
}

int OB_HTTPGrammar::addr_string() {
  Backtrack mark(this);
  if (stream_->getNext() != '<' || stream_->isNext() == 0) return 0;
  stream_->incNext();
  qatext();
  if (stream_->getNext() != '>') return 0;
  stream_->incNext();
  return mark.accepted();
}

int OB_HTTPGrammar::word() { return token() || quoted_string() ? 1 : 0; }

// ---- URIs ----

int OB_HTTPGrammar::fsegment() {
  if (!pchar(stream_->getNext())) return 0;
  if (stream_->incNext() != 0) segment();
  return 1;
}

void OB_HTTPGrammar::segment() {
  consumeWhile([this](unsigned char c) { return pchar(c) != 0; });
}

int OB_HTTPGrammar::path() {
  if (!fsegment()) return 0;
  while (stream_->getNext() == '/' && stream_->incNext() != 0) segment();
  return 1;
}

void OB_HTTPGrammar::param() {
  consumeWhile([this](unsigned char c) { return c == '/' || pchar(c) != 0; });
}

void OB_HTTPGrammar::params() {
  param();
  while (stream_->getNext() == ';' && stream_->incNext() != 0) param();
}

void OB_HTTPGrammar::query() {
  consumeWhile([this](unsigned char c) { return uchar(c) || reservedchar(c); });
}

void OB_HTTPGrammar::fragment() { query(); }

void OB_HTTPGrammar::net_loc() {
  consumeWhile([this](unsigned char c) { return c == ';' || c == '?' || pchar(c) != 0; });
}

int OB_HTTPGrammar::scheme() {
  auto isScheme = [this](unsigned char c) {
    return ALPHAchar(c) || DIGITchar(c) || c == '+' || c == '-';
  };
  if (!isScheme(stream_->getNext())) return 0;
  if (stream_->incNext() != 0) consumeWhile(isScheme);
  return 1;
}

void OB_HTTPGrammar::rel_path() {
  path();
  if (stream_->getNext() == ';') {
    if (stream_->incNext() == 0) return;
    params();
  }
  if (stream_->getNext() == '?' && stream_->incNext() != 0) query();
}

int OB_HTTPGrammar::abs_path() {
  if (stream_->getNext() != '/' || stream_->incNext() == 0) return 0;
  rel_path();
  return 1;
}

int OB_HTTPGrammar::net_path() {
  unsigned char bytes[3];
  if (peek(bytes, 3) != 3 || bytes[0] != '/' || bytes[1] != '/') return 0;
  stream_->bumpToNext(2);
  net_loc();
  abs_path();
  return 1;
}

int OB_HTTPGrammar::absoluteURI() {
  Backtrack mark(this);
  if (!scheme()) return 0;
  if (stream_->getNext() != ':' || stream_->isNext() == 0) return 0;
  consumeWhile([this](unsigned char c) { return uchar(c) || reservedchar(c); });
  return mark.accepted();
}

int OB_HTTPGrammar::relativeURI() {
  Backtrack mark(this);
  if (net_path()) return mark.accepted();
  mark.restore();
  if (abs_path()) return mark.accepted();
  mark.restore();
  rel_path();
  return mark.accepted();
}

int OB_HTTPGrammar::URI() {
  Backtrack mark(this);
  if (!absoluteURI()) relativeURI();
  if (stream_->isNext() == 0) return 0;
  if (stream_->getNext() == '#' && stream_->incNext() != 0) fragment();
  return mark.accepted();
}

int OB_HTTPGrammar::Request_URI() {
  Backtrack mark(this);
  if (abs_path()) return mark.accepted();
  mark.restore();
  if (absoluteURI()) return mark.accepted();
  mark.restore();
  if (stream_->getNext() == '*') {
    stream_->incNext();
    return mark.accepted();
  }
  return 0;
}

// ---- Request and status lines ----

int OB_HTTPGrammar::Method() {
  LWS();
  Backtrack mark(this);
  switch (const keywords found = GetNextKWT()) {
    case KW_GET:
    case KW_PUT:
    case KW_HEAD:
    case KW_POST:
    case KW_LINK:
    case KW_UNLINK:
    case KW_DELETE:
      skipKeyword(found);
      return mark.accepted();
    case KW_HTTP:
    case KW_LINE_END:
      return 0;
    default:
      if (strictMethod_) {
        // Where the walk searches for a request, an extension method is upper-case letters and
        // "-" only, as every registered method is, and a space follows it.
        auto methodLetter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || c == '-'; };
        if (!methodLetter(stream_->getNext())) return 0;
        consumeWhile(methodLetter);
        return stream_->getNext() == ' ' ? mark.accepted() : 0;
      }
      // Extension methods, including those that begin like a header keyword (BYE, FORGET).
      return token() ? mark.accepted() : 0;
  }
}

int OB_HTTPGrammar::HTTP_Version(int report) {
  Backtrack mark(this);
  if (GetNextKWT() != KW_HTTP) return 0;
  skipKeyword(KW_HTTP);
  LWS();
  if (stream_->getNext() != '/' || stream_->incNext() == 0) return 0;
  LWS();
  unsigned char* digits = stream_->markNext(kValueStartSlot);
  auto digitRun = [this]() {
    if (!isDigit(stream_->getNext())) return false;
    consumeWhile(isDigit);
    return true;
  };
  if (!digitRun()) return 0;
  if (stream_->getNext() != '.' || stream_->incNext() == 0) return 0;
  if (!digitRun()) return 0;
  if (report != 0) reportValue(AT_ResponseVersion, digits, stream_->markNext(kValueEndSlot));
  return mark.accepted();
}

int OB_HTTPGrammar::Request_Line() {
  LWS();
  Backtrack mark(this);
  unsigned char* methodStart = stream_->markNext(1);
  if (!Method()) return 0;
  unsigned char* methodEnd = stream_->markNext(2);
  skipSpaces();
  LWS();
  unsigned char* uriStart = stream_->markNext(3);
  if (!Request_URI()) return 0;
  unsigned char* uriEnd = stream_->markNext(4);
  skipSpaces();
  unsigned char* versionStart = stream_->markNext(5);
  if (!HTTP_Version(0)) return 0;
  unsigned char* versionEnd = stream_->markNext(6);
  if (GetNextKWT() != KW_LINE_END) return 0;
  skipLineEnds();

  reportValue(AT_Method, methodStart, methodEnd);
  reportValue(AT_RequestURI, uriStart, uriEnd);
  // The version's digits begin after its "/" and any spaces.
  stream_->resetNext(versionStart, 5);
  while (stream_->getNext() != '/' && stream_->incNext() != 0) {
  }
  stream_->incNext();
  skipSpaces();
  reportValue(AT_RequestVersion, stream_->getNextPtr(), versionEnd);
  stream_->resetNext(versionEnd, 6);
  return mark.accepted();
}

int OB_HTTPGrammar::Status_Code() {
  LWS();
  Backtrack mark(this);
  unsigned char* start = stream_->markNext(kValueStartSlot);
  char digits[4] = {0, 0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    digits[i] = static_cast<char>(stream_->getNext());
    if (!isDigit(stream_->getNext()) || stream_->incNext() == 0) return 0;
  }
  // The framing of the response depends on it whether or not its values are recorded.
  std::memcpy(parser_.framing_.status, digits, sizeof digits);
  reportValue(AT_StatusCode, start, stream_->markNext(kValueEndSlot));
  return mark.accepted();
}

void OB_HTTPGrammar::Reason_Phrase() {
  unsigned char* start = stream_->markNext(kValueStartSlot);
  consumeWhile([](unsigned char c) { return c != '\r' && c != '\n'; });
  reportValue(AT_ReasonPhrase, start, stream_->markNext(kValueEndSlot));
}

int OB_HTTPGrammar::Status_Line() {
  LWS();
  Backtrack mark(this);
  if (!HTTP_Version(1)) return 0;
  skipSpaces();
  if (!Status_Code()) return 0;
  skipSpaces();
  Reason_Phrase();
  if (GetNextKWT() != KW_LINE_END) return 0;
  skipLineEnds();
  return mark.accepted();
}

// ---- Dates ----

int OB_HTTPGrammar::HTTP_date() {
  return rfc1123_date() || rfc850_date() || asctime_date() ? 1 : 0;
}

int OB_HTTPGrammar::rfc1123_date() {
  Backtrack mark(this);
  if (!dig3_wkday()) return 0;
  if (!take(", ")) return 0;
  if (!date1()) return 0;
  if (stream_->getNext() != ' ') return 0;
  stream_->incNext();
  if (!dig8_time()) return 0;
  if (stream_->getNext() != ' ') return 0;
  stream_->incNext();
  if (!take("GMT")) return 0;
  return mark.accepted();
}

int OB_HTTPGrammar::rfc850_date() {
  Backtrack mark(this);
  if (!dig9_weekday()) return 0;
  if (!takeFollowed(", ")) return 0;
  if (!date2()) return 0;
  if (stream_->getNext() != ' ' || stream_->incNext() == 0) return 0;
  if (!dig8_time()) return 0;
  if (stream_->getNext() != ' ' || stream_->incNext() == 0) return 0;
  if (!take("GMT")) return 0;
  return mark.accepted();
}

int OB_HTTPGrammar::asctime_date() {
  Backtrack mark(this);
  if (!dig3_wkday()) return 0;
  if (stream_->getNext() != ' ' || stream_->incNext() == 0) return 0;
  if (!date3()) return 0;
  if (stream_->getNext() != ' ') return 0;
  stream_->incNext();
  if (!dig8_time()) return 0;
  if (stream_->getNext() != ' ') return 0;
  stream_->incNext();
  unsigned char year[4];
  if (peek(year, 4) != 4 || (year[0] != '1' && year[0] != '2') || !isDigit(year[1]) ||
      !isDigit(year[2]) || !isDigit(year[3])) {
    return 0;
  }
  skipBytes(sizeof year);
  return mark.accepted();
}

int OB_HTTPGrammar::dig3_wkday() {
  LWS();
  unsigned char bytes[3];
  if (peek(bytes, sizeof bytes) != sizeof bytes ||
      findTriple(bytes, "MONTUEWEDTHUFRISATSUN", 7) < 0) {
    return 0;
  }
  skipBytes(sizeof bytes);
  return 1;
}

int OB_HTTPGrammar::dig9_weekday() {
  static constexpr const char* kWeekdays[] = {"MONDAY", "TUESDAY", "WEDNESDAY", "THURSDAY",
                                              "FRIDAY", "SATURDAY", "SUNDAY"};
  LWS();
  unsigned char bytes[9];
  const size_t seen = peek(bytes, 9);
  for (size_t i = 0; i < seen; ++i) bytes[i] = upper(bytes[i]);
  for (const char* name : kWeekdays) {
    size_t length = 0;
    while (name[length] != '\0' && length < seen &&
           bytes[length] == static_cast<unsigned char>(name[length])) {
      ++length;
    }
    if (name[length] == '\0') {
      skipBytes(length);
      return 1;
    }
  }
  return 0;
}

int OB_HTTPGrammar::dig3_month() {
  LWS();
  unsigned char bytes[3];
  if (peek(bytes, sizeof bytes) != sizeof bytes ||
      findTriple(bytes, "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC", 12) < 0) {
    return 0;
  }
  skipBytes(sizeof bytes);
  return 1;
}

int OB_HTTPGrammar::dig8_time() {
  LWS();
  unsigned char t[8];
  if (peek(t, sizeof t) != sizeof t) return 0;
  const bool hour = t[0] >= '0' && t[0] <= '2' && isDigit(t[1]) && (t[0] != '2' || t[1] < '4');
  const bool minute = t[3] >= '0' && t[3] <= '5' && isDigit(t[4]);
  const bool second = t[6] >= '0' && t[6] <= '5' && isDigit(t[7]);
  if (!hour || t[2] != ':' || !minute || t[5] != ':' || !second) return 0;
  skipBytes(sizeof t);
  return 1;
}

int OB_HTTPGrammar::date1() {
  LWS();
  Backtrack mark(this);
  unsigned char d[11];
  if (peek(d, 11) != 11) return 0;
  if (!isDay(d[0], d[1]) || d[2] != ' ' || d[6] != ' ' || (d[7] != '1' && d[7] != '2') ||
      !isDigit(d[8]) || !isDigit(d[9]) || !isDigit(d[10])) {
    return 0;
  }
  // "dd Mon yyyy": past the day and its blank, the month, then the blank and the year.
  stream_->bumpToNext(3);
  if (!dig3_month()) return 0;
  skipBytes(sizeof d - 6);
  return mark.accepted();
}

int OB_HTTPGrammar::date2() {
  LWS();
  Backtrack mark(this);
  unsigned char d[10];
  if (peek(d, 10) != 10) return 0;
  if (!isDay(d[0], d[1]) || d[2] != '-' || d[6] != '-' || !isDigit(d[7]) || !isDigit(d[8])) {
    return 0;
  }
  stream_->bumpToNext(3);
  if (!dig3_month()) return 0;
  stream_->bumpToNext(3);
  // A four-digit year: its last two bytes are taken as they are.
  if (stream_->getNext() != ' ' && stream_->lookNextIndex(2) != nullptr) stream_->bumpToNext(2);
  return mark.accepted();
}

int OB_HTTPGrammar::date3() {
  LWS();
  Backtrack mark(this);
  if (!dig3_month()) return 0;
  if (stream_->getNext() != ' ' || stream_->incNext() == 0) return 0;
  unsigned char d[2];
  if (peek(d, 2) != 2) return 0;
  const bool first = (d[0] >= '0' && d[0] <= '3') || d[0] == ' ';
  if (!first || !isDigit(d[1]) || (d[0] == '3' && d[1] > '1')) return 0;
  skipBytes(sizeof d);
  return mark.accepted();
}

int OB_HTTPGrammar::delta_seconds() {
  if (!isDigit(stream_->getNext())) return 0;
  consumeWhile(isDigit);
  return 1;
}
