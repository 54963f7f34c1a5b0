// The system's text class: a NUL-terminated string in heap storage it owns (or, on request, in
// storage the caller keeps). It is its own list node, is keyed by its hash, compares by collation
// order and travels as a line on a C stream or a socket. `&` appends, `%` removes; there is no `+`.
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_Object.h"

class OB_String : public virtual OB_CalcHash,
                  public virtual OB_Compare,
                  public virtual OB_Key<uint32_t>,
                  public virtual OB_Link<OB_String> {
  OB_CLASS_IDENTITY(OB_String, 0x2371E481, "OB_String", OB_Link<OB_String>, OB_Compare,
                    OB_Key<uint32_t>, OB_Object, OB_CalcHash)
  OB_CLASS_CREATE(OB_String)

 public:
  // flags bit 0 of the (const char*, int) form: use the caller's text as the storage; it is
  // never freed or written past by the string, which moves to storage of its own to grow.
  static constexpr int kBorrow = 1;
  // extractSubString flag: remove every occurrence, not only the first.
  static constexpr int kAll = 2;

  // stpcvt flags. A blank is a space character that is not a control character (tabs and line
  // ends are control characters).
  static constexpr int kRemoveBlanks = 1;
  static constexpr int kTrimLeading = 2;
  static constexpr int kTrimTrailing = 4;
  static constexpr int kSqueezeBlanks = 8;
  static constexpr int kKeepQuoted = 16;
  static constexpr int kUpper = 32;
  static constexpr int kLower = 64;
  static constexpr int kRemoveControls = 128;

  // Empty, with room for 32 characters.
  OB_String();
  // Empty, with room for n characters.
  explicit OB_String(int n);
  explicit OB_String(unsigned int n);
  // s null: empty with room for 1. Else an own copy with room for exactly its length, or with
  // kBorrow the caller's storage itself (capacity 0; the caller keeps it alive).
  OB_String(const char* s, int flags = 0);  // NOLINT: implicit from text on purpose
  // An own copy of s with room for strlen(s) + extra characters.
  OB_String(const char* s, unsigned int extra);
  // A copy with room for other's capacity + extra characters, and never less than its text.
  OB_String(const OB_String& other, unsigned int extra);
  OB_String(const OB_String& other);
  ~OB_String() override;

  // Used by the constructors: fresh storage for n characters holding "" (earlier storage is not
  // freed). Throws OB_NoMoreMemoryException.
  virtual int init2(unsigned int n);
  using OB_Object::copy;
  // A new equal string, or null when memory is exhausted.
  virtual OB_Object* copy();

  // Moves the text into storage for n characters when n >= capacity; otherwise nothing.
  void grow(uint32_t n);

  OB_String& operator=(const OB_String& other);
  OB_String& operator=(const char* s);

  operator const char*() const { return text_; }
  operator char*() { return text_; }
  uint32_t getLength() const { return length_; }
  // Bytes of storage including the NUL; 0 when borrowed.
  uint32_t getCapacity() const { return capacity_; }
  int operator!() const { return length_ == 0 ? 1 : 0; }

  // The character at i, or the terminating NUL when i is past the text; a negative int gives the
  // first character.
  char& operator[](unsigned int i) { return text_[i < length_ ? i : length_]; }
  char& operator[](int i) { return (*this)[i < 0 ? 0u : static_cast<unsigned int>(i)]; }
  char operator[](unsigned int i) const { return i < length_ ? text_[i] : '\0'; }
  char operator[](int i) const { return (*this)[i < 0 ? 0u : static_cast<unsigned int>(i)]; }

  // Cuts the text to n characters when 0 <= n < length.
  void truncateString(int n);
  void toLower();
  void toUpper();

  OB_String& operator&=(const char* s);
  OB_String& operator&=(const OB_String& s);
  OB_String operator&(const char* s) const;
  OB_String operator&(const OB_String& s) const;
  OB_String& operator%=(const char* s);
  OB_String& operator%=(const OB_String& s);
  OB_String operator%(const char* s) const;
  OB_String operator%(const OB_String& s) const;

  OB_String& operator<<(const char* s);
  OB_String& operator<<(uint32_t value);
  OB_String& operator<<(uint16_t value);
  OB_String& operator<<(int32_t value);
  OB_String& operator<<(int16_t value);
  OB_String& operator<<(double value);  // "%f"
  OB_String& operator<<(float value);   // "%f"

  // Index of the first occurrence of s (byte comparison); -1 when none, s null or empty, or the
  // text empty. The flags do not change the search.
  int findSubString(const char* s, int flags = 0) const;
  int findSubString(const OB_String& s, int flags = 0) const;
  // Removes the first occurrence of s, or with kAll every one until none is left.
  int extractSubString(const char* s, int flags = 0);
  int extractSubString(const OB_String& s, int flags = 0);
  // count characters from start, or all from start when count is not in 1 .. rest; empty when
  // start lies past the text (a negative start does too: taken as unsigned).
  OB_String getSubString(int start, int count) const;
  // Inserts s.getSubString(0, count) at start (negative start and count count as 0) when s is not
  // empty and start <= length.
  int setSubString(const OB_String& s, int start, int count);
  int setSubString(const char* s, int start, int count);
  // True when the whole text matches: '*' any run (empty too), '%' exactly one character. An
  // empty text or pattern never matches.
  bool wildcardSearch(const char* pattern) const;
  bool wildcardSearch(const OB_String& pattern) const;
  // Rewrites the text in place by the k* flags above; returns the storage.
  char* stpcvt(int flags);
  // Two upper-case hex digits per byte of data; "" for null data or n 0.
  int hexify(const void* data, uint32_t n);

  // Bucket in 0 .. n-1 from h = (h * 127 + signed char) % n per character; -1 when n <= 0.
  int calcHash(int n) override;
  // 0 when other is a string whose text collates equal (strcoll), else -1.
  int compare(OB_Compare* other, int how) override;
  // Clears the list links; the text is kept.
  int init() override;
  int print(FILE* f) override;
  // The text, no line end.
  int write(FILE* f) override;
  // One line of up to 2048 characters; the text between the braces of a key{value} line.
  int read(FILE* f) override;
  // The characters and one "\n"; -1 unless both went out whole.
  int writeJ(int socket) override;
  // One line up to its "\n" (a longer one is taken whole); empty at end of stream. -1 on error.
  int readJ(int socket) override;

 protected:
  // Room for n characters and an empty text; storage is replaced only when too small.
  void newBuffer(uint32_t n);

 private:
  // Replaces the text with n bytes from s, which may lie in this string's own storage.
  void assign(const char* s, uint32_t n);
  void append(const char* s, uint32_t n);
  // Removes n characters at position at.
  void erase(uint32_t at, uint32_t n);
  // Storage large enough for n characters and the NUL, or throws.
  static char* allocate(uint64_t n);
  // Frees the storage when owned.
  void dropStorage();

  uint32_t length_ = 0;
  uint32_t capacity_ = 0;  // bytes including the NUL; 0 = borrowed, never freed
  char* text_ = nullptr;
};

OB_String operator&(const char* s, const OB_String& t);
OB_String operator%(const char* s, const OB_String& t);

// strcoll of the two texts against 0; a null text counts as "".
bool operator==(const OB_String& a, const OB_String& b);
bool operator!=(const OB_String& a, const OB_String& b);
bool operator<(const OB_String& a, const OB_String& b);
bool operator>(const OB_String& a, const OB_String& b);
bool operator<=(const OB_String& a, const OB_String& b);
bool operator>=(const OB_String& a, const OB_String& b);
bool operator==(const OB_String& a, const char* b);
bool operator!=(const OB_String& a, const char* b);
bool operator<(const OB_String& a, const char* b);
bool operator>(const OB_String& a, const char* b);
bool operator<=(const OB_String& a, const char* b);
bool operator>=(const OB_String& a, const char* b);
bool operator==(const char* a, const OB_String& b);
bool operator!=(const char* a, const OB_String& b);
bool operator<(const char* a, const OB_String& b);
bool operator>(const char* a, const OB_String& b);
bool operator<=(const char* a, const OB_String& b);
bool operator>=(const char* a, const OB_String& b);
