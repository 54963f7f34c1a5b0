#include "OB_String.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OB_Exception.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"

namespace {

// Longest line that read() and readJ() take in one piece.
constexpr int kLineChunk = 2048;
// A line from a socket longer than this is refused: the peer is not to be trusted with our heap.
constexpr uint32_t kMaxWireLine = 1u << 20;

uint32_t lengthOf(const char* s) { return s == nullptr ? 0 : static_cast<uint32_t>(strlen(s)); }

bool isBlank(unsigned char c) { return c < 128 && isspace(c) && !iscntrl(c); }

// Room for a + b characters, refused (as exhausted memory) when that cannot be a capacity.
unsigned int roomFor(uint64_t a, uint64_t b) {
  if (a + b >= UINT32_MAX) throw OB_NoMoreMemoryException();
  return static_cast<unsigned int>(a + b);
}

int collate(const char* a, const char* b) {
  return strcoll(a != nullptr ? a : "", b != nullptr ? b : "");
}

}  // namespace

char* OB_String::allocate(uint64_t n) {
  if (n + 1 > UINT32_MAX) throw OB_NoMoreMemoryException();
  char* storage = static_cast<char*>(malloc(static_cast<size_t>(n + 1)));
  if (storage == nullptr) throw OB_NoMoreMemoryException();
  return storage;
}

void OB_String::dropStorage() {
  if (capacity_ != 0) free(text_);
  text_ = nullptr;
  capacity_ = 0;
}

OB_String::OB_String() { init2(32); }

OB_String::OB_String(int n) { init2(n < 0 ? 0u : static_cast<unsigned int>(n)); }

OB_String::OB_String(unsigned int n) { init2(n); }

OB_String::OB_String(const char* s, int flags) {
  if (s == nullptr) {
    init2(1);
  } else if ((flags & kBorrow) != 0) {
    setItem(this);
    setKey(0xFFFFFFFFu);
    text_ = const_cast<char*>(s);
    length_ = lengthOf(s);
    capacity_ = 0;
  } else {
    uint32_t n = lengthOf(s);
    init2(n);
    memcpy(text_, s, n + 1);
    length_ = n;
  }
}

OB_String::OB_String(const char* s, unsigned int extra) {
  uint32_t n = lengthOf(s);
  init2(roomFor(n, extra));
  if (n != 0) memcpy(text_, s, n + 1);
  length_ = n;
}

// A borrowed text has capacity 0, so the room is never less than the text itself.
OB_String::OB_String(const OB_String& other, unsigned int extra)
    : OB_Object(), OB_CalcHash(), OB_Compare(), OB_Key<uint32_t>(), OB_Link<OB_String>() {
  uint32_t room = other.capacity_ > other.length_ ? other.capacity_ : other.length_;
  init2(roomFor(room, extra));
  memcpy(text_, other.text_, other.length_ + 1);
  length_ = other.length_;
}

OB_String::OB_String(const OB_String& other)
    : OB_Object(), OB_CalcHash(), OB_Compare(), OB_Key<uint32_t>(), OB_Link<OB_String>() {
  uint32_t room = other.capacity_ > other.length_ ? other.capacity_ : other.length_;
  init2(room);
  memcpy(text_, other.text_, other.length_ + 1);
  length_ = other.length_;
}

OB_String::~OB_String() { dropStorage(); }

int OB_String::init2(unsigned int n) {
  setItem(this);
  setKey(0xFFFFFFFFu);
  text_ = allocate(n);
  text_[0] = '\0';
  capacity_ = n + 1;
  length_ = 0;
  return 0;
}

OB_Object* OB_String::copy() {
  try {
    return new OB_String(*this);
  } catch (const OB_NoMoreMemoryException&) {
    return nullptr;
  }
}

void OB_String::newBuffer(uint32_t n) {
  if (capacity_ <= n) {
    char* storage = allocate(n);
    dropStorage();
    text_ = storage;
    capacity_ = n + 1;
  }
  text_[0] = '\0';
  length_ = 0;
}

void OB_String::grow(uint32_t n) {
  if (n < capacity_) return;
  char* storage = allocate(n);
  memcpy(storage, text_, length_ + 1);
  dropStorage();
  text_ = storage;
  capacity_ = n + 1;
}

void OB_String::assign(const char* s, uint32_t n) {
  if (s == text_ && n == length_) return;
  // The source may be a piece of this very text: move it down where it stands when it fits,
  // else copy it to new storage before the old goes.
  if (capacity_ > n) {
    memmove(text_, s, n);
  } else {
    char* storage = allocate(n);
    memcpy(storage, s, n);
    dropStorage();
    text_ = storage;
    capacity_ = n + 1;
  }
  text_[n] = '\0';
  length_ = n;
}

void OB_String::append(const char* s, uint32_t n) {
  if (s == nullptr || n == 0) return;
  uint64_t total = static_cast<uint64_t>(length_) + n;
  if (capacity_ <= total) {
    // Exactly what is needed: callers that build long texts reserve room first.
    char* storage = allocate(total);
    memcpy(storage, text_, length_);
    memcpy(storage + length_, s, n);
    dropStorage();
    text_ = storage;
    capacity_ = static_cast<uint32_t>(total + 1);
  } else {
    memmove(text_ + length_, s, n);
  }
  length_ = static_cast<uint32_t>(total);
  text_[length_] = '\0';
}

void OB_String::erase(uint32_t at, uint32_t n) {
  if (capacity_ == 0) grow(length_);  // never write into the caller's storage
  memmove(text_ + at, text_ + at + n, length_ - at - n + 1);
  length_ -= n;
}

OB_String& OB_String::operator=(const OB_String& other) {
  if (this == &other || collate(text_, other.text_) == 0) return *this;
  assign(other.text_, other.length_);
  return *this;
}

OB_String& OB_String::operator=(const char* s) {
  if (s == text_) return *this;
  if (s == nullptr) {
    if (capacity_ == 0) {
      assign("", 0);
    } else {
      text_[0] = '\0';
      length_ = 0;
    }
    return *this;
  }
  assign(s, lengthOf(s));
  return *this;
}

void OB_String::truncateString(int n) {
  if (n < 0 || static_cast<uint32_t>(n) >= length_) return;
  if (capacity_ == 0) grow(length_);
  text_[n] = '\0';
  length_ = static_cast<uint32_t>(n);
}

void OB_String::toLower() {
  if (capacity_ == 0) grow(length_);
  OB_Tools::toLowerCase(text_);
}

void OB_String::toUpper() {
  if (capacity_ == 0) grow(length_);
  OB_Tools::toUpperCase(text_);
}

OB_String& OB_String::operator&=(const char* s) {
  append(s, lengthOf(s));
  return *this;
}

OB_String& OB_String::operator&=(const OB_String& s) {
  append(s.text_, s.length_);
  return *this;
}

OB_String OB_String::operator&(const char* s) const {
  OB_String result(*this, lengthOf(s));
  result &= s;
  return result;
}

OB_String OB_String::operator&(const OB_String& s) const {
  OB_String result(*this, s.capacity_ > s.length_ ? s.capacity_ : s.length_);
  result &= s;
  return result;
}

OB_String operator&(const char* s, const OB_String& t) {
  OB_String result(s, t.getLength());
  result &= t;
  return result;
}

OB_String& OB_String::operator%=(const char* s) {
  extractSubString(s, 0);
  return *this;
}

OB_String& OB_String::operator%=(const OB_String& s) {
  extractSubString(s, 0);
  return *this;
}

OB_String OB_String::operator%(const char* s) const {
  OB_String result(*this);
  result.extractSubString(s, 0);
  return result;
}

OB_String OB_String::operator%(const OB_String& s) const {
  OB_String result(*this);
  result.extractSubString(s, 0);
  return result;
}

OB_String operator%(const char* s, const OB_String& t) {
  OB_String result(s);
  result.extractSubString(t, 0);
  return result;
}

OB_String& OB_String::operator<<(const char* s) { return *this &= s; }

OB_String& OB_String::operator<<(uint32_t value) {
  char digits[16];
  snprintf(digits, sizeof digits, "%u", value);
  return *this &= digits;
}

OB_String& OB_String::operator<<(uint16_t value) { return *this << static_cast<uint32_t>(value); }

OB_String& OB_String::operator<<(int32_t value) {
  char digits[16];
  snprintf(digits, sizeof digits, "%d", value);
  return *this &= digits;
}

OB_String& OB_String::operator<<(int16_t value) { return *this << static_cast<int32_t>(value); }

OB_String& OB_String::operator<<(double value) {
  char digits[400];  // "%f" of the largest double has 309 digits before the point
  snprintf(digits, sizeof digits, "%f", value);
  return *this &= digits;
}

OB_String& OB_String::operator<<(float value) { return *this << static_cast<double>(value); }

int OB_String::findSubString(const char* s, int /*flags*/) const {
  if (s == nullptr || s[0] == '\0' || length_ == 0) return -1;
  const char* found = strstr(text_, s);
  return found == nullptr ? -1 : static_cast<int>(found - text_);
}

int OB_String::findSubString(const OB_String& s, int flags) const {
  return findSubString(s.text_, flags);
}

int OB_String::extractSubString(const char* s, int flags) {
  if (s == nullptr || s[0] == '\0') return 0;
  // A copy, in case s lies in this very text.
  std::string pattern(s);
  int at;
  while ((at = findSubString(pattern.c_str())) >= 0) {
    erase(static_cast<uint32_t>(at), static_cast<uint32_t>(pattern.size()));
    if ((flags & kAll) == 0) break;
  }
  return 0;
}

int OB_String::extractSubString(const OB_String& s, int flags) {
  return extractSubString(s.text_, flags);
}

OB_String OB_String::getSubString(int start, int count) const {
  if (static_cast<uint32_t>(start) > length_) return OB_String(static_cast<const char*>(nullptr));
  uint32_t from = static_cast<uint32_t>(start);
  uint32_t rest = length_ - from;
  uint32_t n = count > 0 && static_cast<uint32_t>(count) <= rest ? static_cast<uint32_t>(count) : rest;
  OB_String result(n);
  result.append(text_ + from, n);
  return result;
}

int OB_String::setSubString(const OB_String& s, int start, int count) {
  if (s.length_ == 0) return 0;
  uint32_t at = start < 0 ? 0u : static_cast<uint32_t>(start);
  if (at > length_) return 0;
  OB_String inserted = s.getSubString(0, count < 0 ? 0 : count);
  OB_String result(roomFor(length_, inserted.length_));
  result.append(text_, at);
  result.append(inserted.text_, inserted.length_);
  result.append(text_ + at, length_ - at);
  assign(result.text_, result.length_);
  return 0;
}

int OB_String::setSubString(const char* s, int start, int count) {
  if (s == nullptr) return 0;
  return setSubString(OB_String(s), start, count);
}

bool OB_String::wildcardSearch(const char* pattern) const {
  if (pattern == nullptr || pattern[0] == '\0' || length_ == 0) return false;
  // Greedy scan with one back-tracking point: the last '*' seen and where its run ended.
  const char* t = text_;
  const char* p = pattern;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*t != '\0') {
    if (*p == '*') {
      star = p++;
      resume = t;
    } else if (*p != '\0' && (*p == '%' || *p == *t)) {
      ++p;
      ++t;
    } else if (star != nullptr) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0';
}

bool OB_String::wildcardSearch(const OB_String& pattern) const {
  return wildcardSearch(pattern.text_);
}

char* OB_String::stpcvt(int flags) {
  if (capacity_ == 0) grow(length_);
  uint32_t out = 0;
  uint32_t kept = 0;  // output length up to the last character that trailing trim must keep
  bool seenNonBlank = false;
  bool lastWasBlank = false;
  char quote = '\0';
  for (uint32_t in = 0; in < length_; ++in) {
    char c = text_[in];
    unsigned char u = static_cast<unsigned char>(c);
    if (quote != '\0') {
      text_[out++] = c;
      kept = out;
      if (c == quote) quote = '\0';
      continue;
    }
    if ((flags & kKeepQuoted) != 0 && (c == '"' || c == '\'')) {
      quote = c;
      text_[out++] = c;
      kept = out;
      seenNonBlank = true;
      lastWasBlank = false;
      continue;
    }
    if (isBlank(u)) {
      if ((flags & kRemoveBlanks) != 0) continue;
      if ((flags & kTrimLeading) != 0 && !seenNonBlank) continue;
      if ((flags & kSqueezeBlanks) != 0) {
        if (lastWasBlank) continue;
        c = ' ';
      }
      text_[out++] = c;
      lastWasBlank = true;
      continue;
    }
    if (u < 128 && iscntrl(u) && (flags & kRemoveControls) != 0) continue;
    if (u < 128) {
      if ((flags & kUpper) != 0) c = static_cast<char>(toupper(u));
      if ((flags & kLower) != 0) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    text_[out++] = c;
    kept = out;
    seenNonBlank = true;
    lastWasBlank = false;
  }
  if ((flags & kTrimTrailing) != 0) {
    while (out > kept && isBlank(static_cast<unsigned char>(text_[out - 1]))) --out;
  }
  text_[out] = '\0';
  length_ = out;
  return text_;
}

int OB_String::hexify(const void* data, uint32_t n) {
  if (data == nullptr || n == 0) {
    *this = "";
    return 0;
  }
  static const char kDigits[] = "0123456789ABCDEF";
  uint64_t size = static_cast<uint64_t>(n) * 2;
  char* work = allocate(size);
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (uint32_t i = 0; i < n; ++i) {
    work[2 * i] = kDigits[bytes[i] >> 4];
    work[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  work[size] = '\0';
  dropStorage();
  text_ = work;
  capacity_ = static_cast<uint32_t>(size + 1);
  length_ = static_cast<uint32_t>(size);
  return 0;
}

int OB_String::calcHash(int n) {
  if (n <= 0) return -1;
  // 64-bit steps: h * 127 cannot overflow for any n. Bytes count as signed, so the running value
  // can go negative; the bucket is brought into 0 .. n-1 at the end.
  int64_t h = 0;
  for (uint32_t i = 0; i < length_; ++i) h = (h * 127 + static_cast<signed char>(text_[i])) % n;
  if (h < 0) h += n;
  return static_cast<int>(h);
}

int OB_String::compare(OB_Compare* other, int /*how*/) {
  OB_String* text = obQuery<OB_String>(other);
  if (text == nullptr) return -1;
  return collate(text_, text->text_) == 0 ? 0 : -1;
}

int OB_String::init() { return OB_Link<OB_String>::init(); }

int OB_String::print(FILE* f) {
  OB_Log::flog(f, "value\t\t: %s\n", text_);
  return 0;
}

int OB_String::write(FILE* f) {
  fprintf(f, "%s", text_);
  return 0;
}

int OB_String::read(FILE* f) {
  char line[kLineChunk + 1];
  // A line of exactly the limit is still one line: its line feed goes with it.
  if (OB_Tools::getline(f, line, kLineChunk) == kLineChunk) {
    int c = getc(f);
    if (c != '\n' && c != EOF) ungetc(c, f);
  }
  *this = OB_Tools::getConfigValue(f, line);
  return 0;
}

int OB_String::writeJ(int socket) {
  int n = length_ > INT32_MAX ? -1 : static_cast<int>(length_);
  if (n < 0) return -1;
  if (n > 0 && writeJ_n_chars(socket, text_, n) != n) return -1;
  char end[] = "\n";
  return writeJ_n_chars(socket, end, 1) == 1 ? 0 : -1;
}

int OB_String::readJ(int socket) {
  char chunk[kLineChunk];
  int got = readJ_line(socket, chunk, kLineChunk);
  if (got < 0) return -1;
  // A line that filled the chunk may go on: its rest arrives in further chunks up to the "\n".
  if (got < kLineChunk - 1) {
    *this = chunk;
    return 0;
  }
  OB_String line(chunk, static_cast<unsigned int>(kLineChunk));
  while (got == kLineChunk - 1) {
    got = readJ_line(socket, chunk, kLineChunk);
    if (got < 0) return -1;
    if (line.length_ + static_cast<uint32_t>(got) > kMaxWireLine) {
      OB_Log::ret("OB_String::readJ: line longer than %u bytes refused", kMaxWireLine);
      return -1;
    }
    line.append(chunk, static_cast<uint32_t>(got));
  }
  assign(line.text_, line.length_);
  return 0;
}

bool operator==(const OB_String& a, const OB_String& b) { return collate(a, b) == 0; }
bool operator!=(const OB_String& a, const OB_String& b) { return collate(a, b) != 0; }
bool operator<(const OB_String& a, const OB_String& b) { return collate(a, b) < 0; }
bool operator>(const OB_String& a, const OB_String& b) { return collate(a, b) > 0; }
bool operator<=(const OB_String& a, const OB_String& b) { return collate(a, b) <= 0; }
bool operator>=(const OB_String& a, const OB_String& b) { return collate(a, b) >= 0; }
bool operator==(const OB_String& a, const char* b) { return collate(a, b) == 0; }
bool operator!=(const OB_String& a, const char* b) { return collate(a, b) != 0; }
bool operator<(const OB_String& a, const char* b) { return collate(a, b) < 0; }
bool operator>(const OB_String& a, const char* b) { return collate(a, b) > 0; }
bool operator<=(const OB_String& a, const char* b) { return collate(a, b) <= 0; }
bool operator>=(const OB_String& a, const char* b) { return collate(a, b) >= 0; }
bool operator==(const char* a, const OB_String& b) { return collate(a, b) == 0; }
bool operator!=(const char* a, const OB_String& b) { return collate(a, b) != 0; }
bool operator<(const char* a, const OB_String& b) { return collate(a, b) < 0; }
bool operator>(const char* a, const OB_String& b) { return collate(a, b) > 0; }
bool operator<=(const char* a, const OB_String& b) { return collate(a, b) <= 0; }
bool operator>=(const char* a, const OB_String& b) { return collate(a, b) >= 0; }
