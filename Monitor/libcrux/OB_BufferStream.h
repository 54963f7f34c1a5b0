// A byte stream over a chain of buffers read as one sequence: one direction of a reassembled TCP
// conversation, whose bytes lie in many packet buffers, is read through it by the HTTP and FTP
// parsers. Owns its buffers: they are released when the stream is reset or destroyed.
//
// The cursor is a position {buffer link, offset} that always names a byte of a stored buffer, or
// is unplaced. Buffers with no bytes (length 0 or no storage) are stepped over, so the cursor
// never rests in one. Stored buffers must not change their bytes or length, and are removed only
// by reset, while the stream holds them.
//
// One thread reads a stream at a time. The buffer list's lock guards the list (a subclass adds
// under it); the cursor takes it only when it crosses from one buffer to another.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Buffer.h"
#include "OB_List.h"
#include "OB_Stream.h"

class OB_BufferStream : public OB_Stream, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_BufferStream, 0x411CDB04, "OB_BufferStream", OB_Stream)
  OB_CLASS_CREATE(OB_BufferStream)

 public:
  static constexpr int kMarkSlots = 20;
  // List nodes a stream keeps across reset: a pooled stream is reset and refilled for every
  // connection it carries, and with these at hand most refills allocate nothing.
  static constexpr int kSpareLinks = 64;

  OB_BufferStream();
  ~OB_BufferStream() override;
  OB_BufferStream(const OB_BufferStream&) = delete;
  OB_BufferStream& operator=(const OB_BufferStream&) = delete;

  // Appends a buffer; the stream owns it from now on. 0, or -1 for a null buffer.
  virtual int add(OB_Buffer* buffer);
  // Bytes counted by subclasses (0 here).
  virtual uint32_t total() { return total_; }

  // Releases every buffer; cursor, marks and total are cleared. 0.
  int reset() override;
  int print(FILE* stream) override;

  int setFirst() override;
  int isNext() override;
  unsigned char getNext() override { return at_.data != nullptr ? at_.data[at_.offset] : 0; }
  unsigned char* getNextPtr() override {
    return at_.data != nullptr ? at_.data + at_.offset : nullptr;
  }
  // The rest of the cursor's buffer.
  uint32_t getNextSpan() override { return at_.data != nullptr ? at_.length - at_.offset : 0; }
  // The bytes of the cursor's buffer before it.
  uint32_t getPrevSpan() override { return at_.data != nullptr ? at_.offset : 0; }
  unsigned char* getLastPtr() override;
  int incNext() override {
    if (at_.offset + 1 < at_.length) {
      ++at_.offset;
      return 1;
    }
    return stepIntoNextBuffer(at_) ? 1 : 0;
  }
  unsigned char ontoNext() override {
    incNext();
    return getNext();
  }
  int bumpToNext(int32_t n) override;
  // An index outside 0..19 saves nothing.
  unsigned char* markNext(int slot) override;
  // An index outside 0..19 does nothing. When no stored byte has address p the cursor goes to
  // exactly where markNext(slot) left it (or stays, when the slot was never set).
  void resetNext(unsigned char* p, int slot) override;
  // A plain copy of the cursor both ways: no slot, no search.
  void savePosition(OB_StreamPosition& saved) override {
    saved.link = at_.link;
    saved.data = at_.data;
    saved.length = at_.length;
    saved.offset = at_.offset;
  }
  void restorePosition(const OB_StreamPosition& saved) override {
    if (saved.data == nullptr) return;
    at_ = Position{static_cast<Link*>(saved.link), saved.data, saved.length, saved.offset};
  }
  unsigned char* aheadNext(short /*n*/) override { return getNextPtr(); }
  void relNext() override {}
  unsigned char* lookNextIndex(int n) override;
  int find(unsigned char* p) override;
  // Finds matches that span buffers. A pattern shorter than five characters is compared in full;
  // a null or empty one is never found. When not found the cursor is left on the first byte of
  // the last buffer (callers mark first and go back with resetNext).
  int findPattern(const char* pattern) override;
  // Bytes the buffers do not hold are zero. Null when there is no buffer or no memory.
  using OB_Object::copy;  // copying another object stays available beside the byte copies
  unsigned char* copy(uint32_t n) override;
  // Copies the bytes from the cursor up to, not including, the byte n ahead; stops early before
  // a CR or LF. Unprintable bytes become '*'; dst is NUL-terminated and needs n + 1 bytes. The
  // cursor ends on the first byte not copied. 0, or -1 with nothing copied when fewer than n
  // bytes follow the cursor.
  int copy(unsigned char* dst, int n) override;

 protected:
  using Link = OB_Link<OB_Object>;

  // A byte of a stored buffer: data[offset] with offset < length. Unplaced: all null/0.
  struct Position {
    Link* link = nullptr;
    unsigned char* data = nullptr;
    uint32_t length = 0;
    uint32_t offset = 0;
  };

  // Owning list of the stored buffers; subclasses insert into it under its lock.
  OB_List<OB_Object> buffers_;
  // Kept by subclasses; cleared by reset.
  uint32_t total_ = 0;

 private:
  // Points pos at the first byte of link's buffer, or of the first buffer with bytes in the
  // given direction from it (inclusive); false, pos untouched, when there is none.
  bool enterForward(Link* link, Position& pos);
  bool enterBackward(Link* link, Position& pos, bool onLastByte);
  bool stepIntoNextBuffer(Position& pos);
  // Moves pos by n bytes across buffers; false, pos untouched, when the target is outside.
  bool locate(Position& pos, int64_t n);
  // True when the count bytes of pattern lie at pos, the match running on into later buffers.
  bool matchesAt(const Position& pos, const unsigned char* pattern, uint32_t count);
  // The first buffer of the list that holds bytes.
  bool firstPosition(Position& pos);
  // Puts the cursor on p when link's buffer holds it.
  bool placeOn(Link* link, const unsigned char* p);

  Position at_;
  Position marks_[kMarkSlots];
};
