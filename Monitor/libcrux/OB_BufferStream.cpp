#include "OB_BufferStream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "OB_Log.h"
#include "OB_Mutex.h"

namespace {

// The bytes a link's buffer can be read from: null when the item is no buffer or holds none.
// A length above the storage's size is cut to the size.
unsigned char* readable(OB_Link<OB_Object>* link, uint32_t& length) {
  OB_Buffer* buffer = obQuery<OB_Buffer>(link->getItemObject());
  if (buffer == nullptr) return nullptr;
  unsigned char* data = buffer->getBuffer();
  length = std::min(buffer->getLength(), buffer->getSize());
  return (data != nullptr && length > 0) ? data : nullptr;
}

// Offset of p inside [data, data + length), or length when p lies outside. Compared as
// addresses, so pointers into other arrays are safe to test.
uint32_t offsetIn(const unsigned char* data, uint32_t length, const unsigned char* p) {
  uintptr_t distance = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(data);
  return distance < length ? static_cast<uint32_t>(distance) : length;
}

}  // namespace

OB_BufferStream::OB_BufferStream() {
  buffers_.setOwner(1);
  buffers_.setSpareLimit(kSpareLinks);
}

OB_BufferStream::~OB_BufferStream() { buffers_.clear(); }

int OB_BufferStream::add(OB_Buffer* buffer) {
  if (buffer == nullptr) return -1;
  return buffers_.append(static_cast<OB_Object*>(buffer));
}

int OB_BufferStream::reset() {
  buffers_.clear();
  at_ = Position();
  for (Position& mark : marks_) mark = Position();
  total_ = 0;
  return 0;
}

int OB_BufferStream::print(FILE* stream) {
  OB_Log::flog(stream, "m_iTotal: %d\n", static_cast<int>(total_));
  return 0;
}

bool OB_BufferStream::enterForward(Link* link, Position& pos) {
  for (; link != nullptr; link = link->getNext()) {
    uint32_t length = 0;
    unsigned char* data = readable(link, length);
    if (data != nullptr) {
      pos.link = link;
      pos.data = data;
      pos.length = length;
      pos.offset = 0;
      return true;
    }
  }
  return false;
}

bool OB_BufferStream::enterBackward(Link* link, Position& pos, bool onLastByte) {
  for (; link != nullptr; link = link->getPrev()) {
    uint32_t length = 0;
    unsigned char* data = readable(link, length);
    if (data != nullptr) {
      pos.link = link;
      pos.data = data;
      pos.length = length;
      pos.offset = onLastByte ? length - 1 : 0;
      return true;
    }
  }
  return false;
}

bool OB_BufferStream::stepIntoNextBuffer(Position& pos) {
  if (pos.link == nullptr) return false;
  OB_MutexHold hold(&buffers_);
  return enterForward(pos.link->getNext(), pos);
}

bool OB_BufferStream::firstPosition(Position& pos) {
  OB_MutexHold hold(&buffers_);
  buffers_.first();
  return enterForward(buffers_.getCurrentLink(), pos);
}

int OB_BufferStream::setFirst() {
  Position pos;
  if (!firstPosition(pos)) return -1;
  at_ = pos;
  return 0;
}

int OB_BufferStream::isNext() {
  if (at_.data == nullptr) return 0;
  if (at_.offset + 1 < at_.length) return 1;
  Position probe = at_;
  return stepIntoNextBuffer(probe) ? 1 : 0;
}

unsigned char* OB_BufferStream::getLastPtr() {
  OB_MutexHold hold(&buffers_);
  buffers_.last();
  Position pos;
  if (!enterBackward(buffers_.getCurrentLink(), pos, true)) return nullptr;
  return pos.data + pos.length;
}

bool OB_BufferStream::locate(Position& pos, int64_t n) {
  if (pos.data == nullptr) return false;
  int64_t inside = pos.offset + n;
  if (inside >= 0 && inside < pos.length) {
    pos.offset = static_cast<uint32_t>(inside);
    return true;
  }
  Position walk = pos;
  OB_MutexHold hold(&buffers_);
  if (n >= 0) {
    while (walk.offset + n >= walk.length) {
      n -= walk.length - walk.offset;
      if (!enterForward(walk.link->getNext(), walk)) return false;
    }
  } else {
    while (walk.offset + n < 0) {
      n += static_cast<int64_t>(walk.offset) + 1;
      if (!enterBackward(walk.link->getPrev(), walk, true)) return false;
    }
  }
  walk.offset = static_cast<uint32_t>(walk.offset + n);
  pos = walk;
  return true;
}

int OB_BufferStream::bumpToNext(int32_t n) { return locate(at_, n) ? 1 : 0; }

unsigned char* OB_BufferStream::lookNextIndex(int n) {
  Position probe = at_;
  if (!locate(probe, n)) return nullptr;
  return probe.data + probe.offset;
}

unsigned char* OB_BufferStream::markNext(int slot) {
  if (slot >= 0 && slot < kMarkSlots) marks_[slot] = at_;
  return getNextPtr();
}

void OB_BufferStream::resetNext(unsigned char* p, int slot) {
  if (slot < 0 || slot >= kMarkSlots) return;
  const Position& mark = marks_[slot];
  if (mark.data != nullptr) {
    at_ = mark;
    uint32_t offset = offsetIn(at_.data, at_.length, p);
    if (offset < at_.length) {
      at_.offset = offset;
      return;
    }
  }
  find(p);
}

int OB_BufferStream::find(unsigned char* p) {
  if (p != nullptr) {
    OB_MutexHold hold(&buffers_);
    Link* start = at_.link;
    if (start == nullptr) {
      buffers_.first();
      start = buffers_.getCurrentLink();
    }
    // Backward from the cursor's buffer first: parsers return to earlier positions far more
    // often than they jump ahead.
    for (Link* link = start; link != nullptr; link = link->getPrev()) {
      if (placeOn(link, p)) return 1;
    }
    for (Link* link = start != nullptr ? start->getNext() : nullptr; link != nullptr;
         link = link->getNext()) {
      if (placeOn(link, p)) return 1;
    }
  }
  OB_Log::flog(nullptr, "dataOutput: could not find location of token data");
  return 0;
}

bool OB_BufferStream::placeOn(Link* link, const unsigned char* p) {
  uint32_t length = 0;
  unsigned char* data = readable(link, length);
  if (data == nullptr) return false;
  uint32_t offset = offsetIn(data, length, p);
  if (offset >= length) return false;
  at_ = Position{link, data, length, offset};
  return true;
}

bool OB_BufferStream::matchesAt(const Position& pos, const unsigned char* pattern,
                                uint32_t count) {
  Position walk = pos;
  for (uint32_t i = 0; i < count; ++i) {
    if (walk.data[walk.offset] != pattern[i]) return false;
    if (i + 1 == count) break;
    if (walk.offset + 1 < walk.length) {
      ++walk.offset;
    } else if (!stepIntoNextBuffer(walk)) {
      return false;
    }
  }
  return true;
}

int OB_BufferStream::findPattern(const char* pattern) {
  if (pattern == nullptr || at_.data == nullptr) return 0;
  const auto* wanted = reinterpret_cast<const unsigned char*>(pattern);
  uint32_t count = static_cast<uint32_t>(strnlen(pattern, 5));
  if (count == 0) return 0;
  Position scan = at_;
  for (;;) {
    uint32_t from = scan.offset;
    while (from < scan.length) {
      const void* hit = std::memchr(scan.data + from, wanted[0], scan.length - from);
      if (hit == nullptr) break;
      Position candidate = scan;
      candidate.offset = static_cast<uint32_t>(static_cast<const unsigned char*>(hit) - scan.data);
      if (matchesAt(candidate, wanted, count)) {
        at_ = candidate;
        return 1;
      }
      from = candidate.offset + 1;
    }
    Position next = scan;
    if (!stepIntoNextBuffer(next)) break;
    scan = next;
  }
  scan.offset = 0;
  at_ = scan;
  return 0;
}

unsigned char* OB_BufferStream::copy(uint32_t n) {
  uint32_t want = n != 0 ? n : total_;
  OB_MutexHold hold(&buffers_);
  // The list answers items through their OB_Object face, which a buffer does not give, so
  // links are walked directly.
  buffers_.first();
  Link* head = buffers_.getCurrentLink();
  if (head == nullptr) return nullptr;
  auto* out = new (std::nothrow) unsigned char[want];
  if (out == nullptr) {
    OB_Log::log("OB_BufferStream::copy: no memory for %u bytes\n", want);
    return nullptr;
  }
  uint32_t filled = 0;
  Link* last = nullptr;
  for (Link* link = head; link != nullptr && filled < want; link = link->getNext()) {
    uint32_t length = 0;
    unsigned char* data = readable(link, length);
    if (data == nullptr) continue;
    uint32_t take = std::min(length, want - filled);
    std::memcpy(out + filled, data, take);
    filled += take;
    last = link;
  }
  if (filled < want) std::memset(out + filled, 0, want - filled);
  if (last != nullptr) buffers_.setCurrentLink(last);
  return out;
}

int OB_BufferStream::copy(unsigned char* dst, int n) {
  if (dst == nullptr) return -1;
  dst[0] = 0;
  if (n < 0 || (n > 0 && lookNextIndex(n) == nullptr)) return -1;
  int copied = 0;
  while (copied < n) {
    unsigned char c = getNext();
    if (c == '\r' || c == '\n') break;
    dst[copied++] = (c >= 0x20 && c < 0x7F) ? c : '*';
    if (incNext() == 0) break;
  }
  dst[copied] = 0;
  return 0;
}
