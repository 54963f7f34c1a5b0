// A fixed-width, always zero-terminated text held inside a record (transaction fields, the
// protocol record's reserved texts). Assigning cuts the text to Width - 1 characters; reading an
// archive text refuses a stored length above Width - 1, so no field can overflow.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"

template <size_t Width>
class OB_TextField {
  static_assert(Width >= 1, "a text field needs room for its terminator");

 public:
  static constexpr size_t width = Width;
  static constexpr size_t maxLength = Width - 1;

  OB_TextField() { text_[0] = '\0'; }
  OB_TextField(const OB_TextField&) = default;
  OB_TextField& operator=(const OB_TextField&) = default;
  OB_TextField& operator=(const char* text) {
    assign(text);
    return *this;
  }

  // Copies at most maxLength characters of text (null: empty).
  void assign(const char* text) { assign(text, text == nullptr ? 0 : std::strlen(text)); }
  // Copies at most maxLength of the n bytes at text; the bytes need no terminator.
  void assign(const char* text, size_t n) {
    if (text == nullptr) n = 0;
    if (n > maxLength) n = maxLength;
    if (n > 0) std::memmove(text_, text, n);
    text_[n] = '\0';
  }
  void clear() { text_[0] = '\0'; }

  const char* c_str() const { return text_; }
  // For in-place edits (case changes); the terminator must stay within Width bytes.
  char* data() { return text_; }
  size_t length() const { return std::strlen(text_); }
  bool empty() const { return text_[0] == '\0'; }
  bool equals(const char* text) const { return std::strcmp(text_, text == nullptr ? "" : text) == 0; }

  // The archive form: 16-bit little-endian length, then the bytes without terminator.
  int write(FILE* stream) const { return OB_Tools::writeString(text_, stream); }
  // -1 on a short read or a stored length above maxLength; the field then keeps its old text.
  int read(FILE* stream) {
    char incoming[Width];
    if (OB_Tools::readStringNoMalloc(incoming, static_cast<int>(maxLength), stream) != 0) return -1;
    incoming[maxLength] = '\0';
    assign(incoming);
    return 0;
  }
  // The same from bytes in memory: 0, -1 as above, or OB_ArchiveBytes::kShort when the text
  // runs past them (the field is then unchanged too). A stored NUL ends the text, as above.
  int read(OB_ArchiveBytes& bytes) {
    const char* text;
    size_t n;
    if (!bytes.getText(&text, &n)) {
      uint16_t length;
      OB_ArchiveBytes probe = bytes;
      return probe.getU16(&length) && length > maxLength ? -1 : OB_ArchiveBytes::kShort;
    }
    if (n > maxLength) return -1;
    const void* stop = std::memchr(text, '\0', n);
    assign(text, stop != nullptr ? static_cast<size_t>(static_cast<const char*>(stop) - text) : n);
    return 0;
  }

 private:
  char text_[Width];
};
