// The byte cursor through which the HTTP and FTP parsers read a conversation, one byte at a time,
// with numbered marks to return to. OB_BufferStream implements it over a chain of buffers.
#pragma once

#include <cstdint>

#include "OB_Object.h"

// A cursor saved by OB_Stream::savePosition. Its fields belong to the stream that filled it:
// callers only hand it back to that same stream.
struct OB_StreamPosition {
  void* link = nullptr;
  unsigned char* data = nullptr;
  uint32_t length = 0;
  uint32_t offset = 0;
};

class OB_Stream : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Stream, 0x411CDB02, "OB_Stream")

 public:
  // Places the cursor on the first byte; 0, or -1 when there is no byte.
  virtual int setFirst() = 0;
  // 1 when a byte follows the cursor's byte, else 0 (also when the cursor is not placed).
  virtual int isNext() = 0;
  // The byte at the cursor.
  virtual unsigned char getNext() = 0;
  // The cursor's address, null when not placed.
  virtual unsigned char* getNextPtr() = 0;
  // How many bytes from the cursor on lie one after the other at getNextPtr (the cursor's byte
  // included), so that a reader may scan them in place and then move the cursor by what it
  // took; 0 when the cursor is not placed. At least 1 otherwise: a stream that cannot tell
  // answers 1.
  virtual uint32_t getNextSpan() { return getNextPtr() != nullptr ? 1 : 0; }
  // How many bytes lie one after the other right before getNextPtr, in the same storage (the
  // cursor's byte not included), so that a reader may look back in place; 0 when the cursor is
  // not placed or a stream cannot tell.
  virtual uint32_t getPrevSpan() { return 0; }
  // Just past the last byte of the stream, null when there is none. Does not move the cursor.
  virtual unsigned char* getLastPtr() = 0;
  // One byte on: 1, or 0 with the cursor kept on the last byte.
  virtual int incNext() = 0;
  // incNext, then the byte at the cursor (the last byte again at the end).
  virtual unsigned char ontoNext() = 0;
  // n bytes on (back when negative): 1, or 0 with the cursor kept when the target is outside.
  virtual int bumpToNext(int32_t n) = 0;
  // Remembers the cursor in mark slot (0..19) and returns its address.
  virtual unsigned char* markNext(int slot) = 0;
  // Puts the cursor on p, an address markNext or getNextPtr returned; the slot only speeds up
  // the search.
  virtual void resetNext(unsigned char* p, int slot) = 0;
  // Saves the cursor without using a mark slot, for parsers that return to a position many times
  // a message: restorePosition puts the cursor back exactly there (a saved unplaced cursor
  // leaves it where it is). Valid while the stream keeps its bytes, that is until reset. The
  // defaults go through the cursor's address and find; streams override them with a copy.
  virtual void savePosition(OB_StreamPosition& saved) {
    saved = OB_StreamPosition();
    saved.data = getNextPtr();
  }
  virtual void restorePosition(const OB_StreamPosition& saved) {
    if (saved.data != nullptr) find(saved.data + saved.offset);
  }
  // The cursor's address. Only the bytes up to the end of the cursor's buffer lie behind it:
  // compare further bytes through lookNextIndex or by stepping.
  virtual unsigned char* aheadNext(short n) = 0;
  virtual void relNext() = 0;
  // The address of the byte n ahead (behind when negative), null when none; the cursor stays.
  virtual unsigned char* lookNextIndex(int n) = 0;
  // Puts the cursor on address p: 1, or 0 with the cursor kept when no byte has that address.
  virtual int find(unsigned char* p) = 0;
  // Moves the cursor to the next occurrence (from the cursor on) of the first five characters of
  // pattern: 1, or 0.
  virtual int findPattern(const char* pattern) = 0;
  // A new[] array with the first n bytes of the stream (n = 0: the stream's total); the caller
  // frees it with delete[].
  using OB_Object::copy;  // copying another object stays available beside the byte copies
  virtual unsigned char* copy(uint32_t n) = 0;
  // Copies one printable line stretch of at most n bytes from the cursor into dst (n + 1 bytes).
  virtual int copy(unsigned char* dst, int n) = 0;
};
