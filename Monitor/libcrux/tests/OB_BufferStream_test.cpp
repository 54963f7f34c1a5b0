#include "OB_BufferStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

int liveBuffers = 0;

// A buffer that frees its own storage, so the stream's releases leave nothing behind.
class OwnedBuffer : public OB_Buffer {
 public:
  OwnedBuffer() { ++liveBuffers; }
  ~OwnedBuffer() override {
    resetBuffer();
    --liveBuffers;
  }
};

// A stream whose total can be set, as the packet stream keeps it.
class CountedStream : public OB_BufferStream {
 public:
  void setTotal(uint32_t total) { total_ = total; }
  OB_List<OB_Object>& list() { return buffers_; }
};

// Builds a stream from pieces, one buffer each: "" is a buffer of length 0, and kNoData a buffer
// that claims bytes but has no storage.
const char* const kNoData = "\x01no-data";

void addPieces(OB_BufferStream& stream, const std::vector<std::string>& pieces) {
  for (const std::string& piece : pieces) {
    auto* buffer = new OwnedBuffer();
    if (piece == kNoData) {
      buffer->initBuffer(4);
      buffer->copyBuffer(reinterpret_cast<const unsigned char*>("lost"), 4);
      buffer->resetBuffer();  // length stays 4, storage gone
    } else if (!piece.empty()) {
      buffer->initBuffer(static_cast<uint32_t>(piece.size()));
      buffer->copyBuffer(reinterpret_cast<const unsigned char*>(piece.data()),
                         static_cast<uint32_t>(piece.size()));
    }
    ASSERT_EQ(stream.add(buffer), 0);
  }
}

// Every byte from the cursor on, stepping with incNext.
std::string readRest(OB_BufferStream& stream) {
  std::string out;
  if (stream.getNextPtr() == nullptr) return out;
  do out += static_cast<char>(stream.getNext());
  while (stream.incNext() == 1);
  return out;
}

class BufferStreamTest : public ::testing::Test {
 protected:
  void TearDown() override {
    stream.reset();
    EXPECT_EQ(liveBuffers, 0);
  }
  CountedStream stream;
};

TEST_F(BufferStreamTest, EmptyStreamHasNoCursor) {
  EXPECT_EQ(stream.setFirst(), -1);
  EXPECT_EQ(stream.isNext(), 0);
  EXPECT_EQ(stream.getNextPtr(), nullptr);
  EXPECT_EQ(stream.getNext(), 0);
  EXPECT_EQ(stream.incNext(), 0);
  EXPECT_EQ(stream.bumpToNext(1), 0);
  EXPECT_EQ(stream.lookNextIndex(0), nullptr);
  EXPECT_EQ(stream.getLastPtr(), nullptr);
  EXPECT_EQ(stream.copy(0u), nullptr);
  EXPECT_EQ(stream.findPattern("HTTP/"), 0);

  addPieces(stream, {"", kNoData, ""});
  EXPECT_EQ(stream.setFirst(), -1);
  EXPECT_EQ(stream.getNextPtr(), nullptr);
  EXPECT_EQ(stream.getLastPtr(), nullptr);
}

TEST_F(BufferStreamTest, CursorWalksAcrossBuffersSkippingEmptyOnes) {
  addPieces(stream, {"", "abc", "", kNoData, "d", "", "ef", ""});
  ASSERT_EQ(stream.setFirst(), 0);
  EXPECT_EQ(stream.getNext(), 'a');
  EXPECT_EQ(readRest(stream), "abcdef");

  // At the last byte: nothing follows, incNext stays, ontoNext repeats the byte.
  EXPECT_EQ(stream.getNext(), 'f');
  EXPECT_EQ(stream.isNext(), 0);
  unsigned char* last = stream.getNextPtr();
  EXPECT_EQ(stream.incNext(), 0);
  EXPECT_EQ(stream.ontoNext(), 'f');
  EXPECT_EQ(stream.getNextPtr(), last);
  EXPECT_EQ(stream.getLastPtr(), last + 1);
  EXPECT_EQ(stream.getNextPtr(), last);  // getLastPtr does not move the cursor

  // isNext looks past empty buffers.
  stream.setFirst();
  stream.bumpToNext(2);
  EXPECT_EQ(stream.getNext(), 'c');
  EXPECT_EQ(stream.isNext(), 1);
  EXPECT_EQ(stream.ontoNext(), 'd');
  EXPECT_EQ(stream.isNext(), 1);
}

TEST_F(BufferStreamTest, SpansCountTheCursorsBufferAroundIt) {
  EXPECT_EQ(stream.getNextSpan(), 0u);
  EXPECT_EQ(stream.getPrevSpan(), 0u);
  addPieces(stream, {"", "abc", "", kNoData, "d", "", "ef", ""});
  ASSERT_EQ(stream.setFirst(), 0);
  // Each byte: the bytes from it to its buffer's end, and those before it in the buffer; every
  // span lies at the cursor's address, so a reader may walk it in place.
  const struct {
    char byte;
    uint32_t next, prev;
  } expected[] = {{'a', 3, 0}, {'b', 2, 1}, {'c', 1, 2}, {'d', 1, 0}, {'e', 2, 0}, {'f', 1, 1}};
  for (const auto& e : expected) {
    const unsigned char* at = stream.getNextPtr();
    EXPECT_EQ(*at, e.byte);
    EXPECT_EQ(stream.getNextSpan(), e.next) << e.byte;
    EXPECT_EQ(stream.getPrevSpan(), e.prev) << e.byte;
    EXPECT_EQ(at[e.next - 1], e.byte + e.next - 1) << e.byte;
    if (e.prev > 0) {
      EXPECT_EQ(at[-static_cast<int>(e.prev)], e.byte - e.prev) << e.byte;
    }
    stream.incNext();
  }
}

TEST_F(BufferStreamTest, BumpToNextWithinAndAcrossBuffers) {
  addPieces(stream, {"abc", "def"});
  ASSERT_EQ(stream.setFirst(), 0);
  EXPECT_EQ(stream.bumpToNext(4), 1);
  EXPECT_EQ(stream.getNext(), 'e');
  EXPECT_EQ(stream.bumpToNext(-4), 1);
  EXPECT_EQ(stream.getNext(), 'a');

  unsigned char* before = stream.getNextPtr();
  EXPECT_EQ(stream.bumpToNext(10), 0);
  EXPECT_EQ(stream.getNextPtr(), before);
  EXPECT_EQ(stream.bumpToNext(6), 0);  // one past the last byte
  EXPECT_EQ(stream.getNextPtr(), before);
  EXPECT_EQ(stream.bumpToNext(-1), 0);  // before the first byte
  EXPECT_EQ(stream.getNextPtr(), before);

  EXPECT_EQ(stream.bumpToNext(5), 1);  // exactly the last byte
  EXPECT_EQ(stream.getNext(), 'f');
  EXPECT_EQ(stream.incNext(), 0);
  EXPECT_EQ(stream.bumpToNext(0), 1);
  EXPECT_EQ(stream.getNext(), 'f');
  EXPECT_EQ(stream.bumpToNext(-3), 1);  // back onto the last byte of the first buffer
  EXPECT_EQ(stream.getNext(), 'c');
  EXPECT_EQ(stream.bumpToNext(1), 1);   // forward onto the first byte of the second
  EXPECT_EQ(stream.getNext(), 'd');
}

TEST_F(BufferStreamTest, LookNextIndexLeavesTheCursor) {
  addPieces(stream, {"ab", "", "cd"});
  stream.setFirst();
  stream.incNext();
  unsigned char* at = stream.getNextPtr();
  unsigned char* ahead = stream.lookNextIndex(2);
  ASSERT_NE(ahead, nullptr);
  EXPECT_EQ(*ahead, 'd');
  ASSERT_NE(stream.lookNextIndex(-1), nullptr);
  EXPECT_EQ(*stream.lookNextIndex(-1), 'a');
  EXPECT_EQ(stream.lookNextIndex(3), nullptr);
  EXPECT_EQ(stream.lookNextIndex(-2), nullptr);
  EXPECT_EQ(stream.getNextPtr(), at);
}

// Random buffer sizes, empty ones included, against the bytes laid out flat.
TEST_F(BufferStreamTest, RandomJumpsMatchAFlatCopy) {
  std::mt19937 random(7);
  std::vector<std::string> pieces;
  std::string flat;
  for (int i = 0; i < 60; ++i) {
    std::string piece(random() % 5 == 0 ? 0 : random() % 40 + 1, ' ');
    for (char& c : piece) c = static_cast<char>('!' + random() % 90);
    flat += piece;
    pieces.push_back(piece);
  }
  addPieces(stream, pieces);
  ASSERT_EQ(stream.setFirst(), 0);
  EXPECT_EQ(readRest(stream), flat);

  stream.setFirst();
  int64_t index = 0;
  const auto size = static_cast<int64_t>(flat.size());
  for (int i = 0; i < 2000; ++i) {
    int32_t step = static_cast<int32_t>(random() % 301) - 150;
    int result = stream.bumpToNext(step);
    bool inside = index + step >= 0 && index + step < size;
    ASSERT_EQ(result, inside ? 1 : 0) << "from " << index << " by " << step;
    if (inside) index += step;
    ASSERT_EQ(stream.getNext(), static_cast<unsigned char>(flat[static_cast<size_t>(index)]));
  }
}

TEST_F(BufferStreamTest, MarksRestoreExactly) {
  addPieces(stream, {"GET ", "", "/index", ".html"});
  stream.setFirst();
  stream.bumpToNext(2);
  unsigned char* mark3 = stream.markNext(3);
  EXPECT_EQ(*mark3, 'T');
  stream.bumpToNext(7);
  unsigned char* mark4 = stream.markNext(4);
  EXPECT_EQ(*mark4, 'x');
  stream.bumpToNext(2);
  EXPECT_EQ(stream.getNext(), 'h');

  stream.resetNext(mark3, 3);
  EXPECT_EQ(stream.getNextPtr(), mark3);
  EXPECT_EQ(readRest(stream), "T /index.html");

  // A position stays good whatever its slot now holds.
  stream.resetNext(mark4, 3);
  EXPECT_EQ(stream.getNextPtr(), mark4);
  EXPECT_EQ(readRest(stream), "x.html");

  // Slots outside 0..19 save and restore nothing.
  stream.setFirst();
  unsigned char* first = stream.getNextPtr();
  EXPECT_EQ(stream.markNext(20), first);
  EXPECT_EQ(stream.markNext(-1), first);
  stream.bumpToNext(5);
  unsigned char* here = stream.getNextPtr();
  stream.resetNext(first, 20);
  EXPECT_EQ(stream.getNextPtr(), here);
  stream.resetNext(first, -1);
  EXPECT_EQ(stream.getNextPtr(), here);
}

TEST_F(BufferStreamTest, SavedPositionsRestoreExactlyAcrossBuffers) {
  addPieces(stream, {"GET ", "", "/index", ".html"});
  OB_StreamPosition unplaced;
  stream.savePosition(unplaced);  // before setFirst: nothing to return to
  stream.setFirst();
  stream.bumpToNext(3);
  OB_StreamPosition saved;
  stream.savePosition(saved);
  unsigned char* at = stream.getNextPtr();
  // Marks in every slot do not disturb a saved position.
  stream.bumpToNext(5);
  for (int slot = 0; slot < OB_BufferStream::kMarkSlots; ++slot) stream.markNext(slot);
  stream.restorePosition(saved);
  EXPECT_EQ(stream.getNextPtr(), at);
  EXPECT_EQ(readRest(stream), " /index.html");

  // An unplaced save leaves the cursor where it is.
  unsigned char* here = stream.getNextPtr();
  stream.restorePosition(unplaced);
  EXPECT_EQ(stream.getNextPtr(), here);

  // The stream-neutral defaults, which go through the address, land on the same byte.
  OB_StreamPosition byAddress;
  stream.setFirst();
  stream.bumpToNext(5);
  stream.OB_Stream::savePosition(byAddress);
  unsigned char* sixth = stream.getNextPtr();
  stream.setFirst();
  stream.OB_Stream::restorePosition(byAddress);
  EXPECT_EQ(stream.getNextPtr(), sixth);
  EXPECT_EQ(readRest(stream), "index.html");
}

TEST_F(BufferStreamTest, UnknownAddressKeepsAPlacedCursor) {
  addPieces(stream, {"abc", "def"});
  unsigned char foreign[4] = {'z', 'z', 'z', 'z'};
  stream.setFirst();
  unsigned char* b = stream.lookNextIndex(1);
  stream.bumpToNext(4);
  unsigned char* mark = stream.markNext(5);
  stream.setFirst();

  EXPECT_EQ(stream.find(foreign), 0);
  EXPECT_EQ(stream.getNext(), 'a');
  EXPECT_EQ(stream.find(nullptr), 0);
  EXPECT_EQ(stream.getNext(), 'a');

  // resetNext to an address no buffer holds returns to the mark itself.
  stream.resetNext(foreign, 5);
  EXPECT_EQ(stream.getNextPtr(), mark);
  // A slot never set leaves the cursor where it is.
  stream.resetNext(foreign, 6);
  EXPECT_EQ(stream.getNextPtr(), mark);

  EXPECT_EQ(stream.find(b), 1);  // an address of the first buffer, searched backward
  EXPECT_EQ(stream.getNext(), 'b');
  EXPECT_EQ(stream.find(mark), 1);      // and forward
  EXPECT_EQ(stream.getNext(), 'e');
  EXPECT_EQ(readRest(stream), "ef");
}

TEST_F(BufferStreamTest, FindPatternWithinAndAcrossBuffers) {
  addPieces(stream, {"xxHTTP/1.0 200", " OK\r\n\r\nbodyHT", "", "TP/1.1 304 x", "H", "TTP"});
  ASSERT_EQ(stream.setFirst(), 0);
  ASSERT_EQ(stream.findPattern("HTTP/"), 1);
  EXPECT_EQ(stream.bumpToNext(5), 1);
  EXPECT_EQ(stream.getNext(), '1');

  // A match whose first bytes end one buffer and whose rest begins a later one.
  ASSERT_EQ(stream.findPattern("HTTP/"), 1);
  EXPECT_EQ(readRest(stream).substr(0, 14), "HTTP/1.1 304 x");

  // The search includes the byte at the cursor; only five characters count.
  stream.setFirst();
  ASSERT_EQ(stream.findPattern("HTTP/1.1 and more"), 1);
  EXPECT_EQ(stream.lookNextIndex(-1)[0], 'x');
  // A shorter pattern is compared in full, not past its end.
  ASSERT_EQ(stream.findPattern("OK"), 1);
  EXPECT_EQ(stream.lookNextIndex(-1)[0], ' ');

  // The stream ends inside a partial match ("H" | "TTP"): not found, and the cursor is left on
  // the first byte of the last buffer.
  ASSERT_EQ(stream.findPattern("TP/1.1"), 1);
  ASSERT_EQ(stream.findPattern("HTTP/"), 0);
  EXPECT_EQ(readRest(stream), "TTP");
  EXPECT_EQ(stream.findPattern(""), 0);
  EXPECT_EQ(stream.findPattern(nullptr), 0);
}

TEST_F(BufferStreamTest, CopyGathersFromTheFirstBufferAndZeroFills) {
  addPieces(stream, {"ab", "", "cde", "f"});
  stream.setFirst();
  stream.bumpToNext(3);
  unsigned char* at = stream.getNextPtr();

  unsigned char* part = stream.copy(4u);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(part), 4), "abcd");
  delete[] part;

  unsigned char* longer = stream.copy(9u);
  ASSERT_NE(longer, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(longer), 9), std::string("abcdef\0\0\0", 9));
  delete[] longer;

  // n = 0 takes the total, which may count bytes the buffers no longer hold.
  stream.setTotal(8);
  unsigned char* all = stream.copy(0u);
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(all), 8), std::string("abcdef\0\0", 8));
  delete[] all;

  EXPECT_EQ(stream.getNextPtr(), at);
}

TEST_F(BufferStreamTest, CopyLineStretchMasksAndStopsAtLineEnd) {
  addPieces(stream, {"ab\x01", "cd\r\nxyz", "0123456789"});
  stream.setFirst();
  unsigned char out[32];
  EXPECT_EQ(stream.copy(out, 10), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "ab*cd");
  EXPECT_EQ(stream.getNext(), '\r');

  stream.bumpToNext(2);
  EXPECT_EQ(stream.copy(out, 5), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "xyz01");
  EXPECT_EQ(stream.getNext(), '2');

  // Fewer than n bytes follow: nothing copied, cursor kept.
  std::memset(out, 'q', sizeof out);
  EXPECT_EQ(stream.copy(out, 8), -1);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(stream.getNext(), '2');
  EXPECT_EQ(stream.copy(out, 7), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "2345678");
  EXPECT_EQ(stream.getNext(), '9');
  EXPECT_EQ(stream.copy(out, 0), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "");
  EXPECT_EQ(stream.copy(out, -1), -1);
}

TEST_F(BufferStreamTest, ResetReleasesBuffersAndForgetsMarks) {
  addPieces(stream, {"abc", "def"});
  EXPECT_EQ(liveBuffers, 2);
  stream.setFirst();
  unsigned char* mark = stream.markNext(2);
  stream.setTotal(6);
  EXPECT_EQ(stream.reset(), 0);
  EXPECT_EQ(liveBuffers, 0);
  EXPECT_EQ(stream.total(), 0u);
  EXPECT_EQ(stream.getNextPtr(), nullptr);

  addPieces(stream, {"xy"});
  stream.setFirst();
  stream.incNext();
  stream.resetNext(mark, 2);  // the old buffers are gone: no stale position comes back
  EXPECT_EQ(stream.getNext(), 'y');

  {
    OB_BufferStream* owned = OB_BufferStream::create();
    addPieces(*owned, {"abc", ""});
    EXPECT_EQ(liveBuffers, 3);
    owned->release();
  }
  EXPECT_EQ(liveBuffers, 1);
  EXPECT_EQ(stream.add(nullptr), -1);
}

// A pooled stream is reset and refilled for every connection: once warm, refilling takes its
// list nodes from the ones the last reset kept, up to the bound, and allocates none.
TEST_F(BufferStreamTest, ResetKeepsBoundedListNodesForTheNextFill) {
  auto nodes = [this] {
    std::vector<OB_Link<OB_Object>*> out;
    for (auto* link = (stream.list().first(), stream.list().getCurrentLink()); link != nullptr;
         link = link->getNext())
      out.push_back(link);
    std::sort(out.begin(), out.end());
    return out;
  };
  addPieces(stream, {"GET ", "/ HTTP/1.1\r\n", "\r\n"});
  const auto first = nodes();
  stream.reset();
  EXPECT_EQ(liveBuffers, 0);
  EXPECT_EQ(stream.list().getSpareCount(), 3);
  addPieces(stream, {"HTTP/1.1 ", "200 OK\r\n", "\r\n"});
  EXPECT_EQ(nodes(), first);
  EXPECT_EQ(stream.list().getSpareCount(), 0);
  stream.setFirst();
  EXPECT_EQ(readRest(stream), "HTTP/1.1 200 OK\r\n\r\n");

  stream.reset();
  addPieces(stream, std::vector<std::string>(OB_BufferStream::kSpareLinks + 5, "x"));
  stream.reset();
  EXPECT_EQ(stream.list().getSpareCount(), OB_BufferStream::kSpareLinks);
  EXPECT_EQ(liveBuffers, 0);
}

}  // namespace
