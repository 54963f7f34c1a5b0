// Helpers for the HTTP analyser tests: a byte stream made of text pieces (as a reassembled
// direction is made of packet payloads), cursor offsets into the whole text, and a runner that
// tries a rule on the same text split at every position.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "OB_Buffer.h"
#include "OB_BufferStream.h"
#include "http/OB_HTTPGrammar.h"

namespace httptest {

// A buffer that frees its own storage, as the pooled packet buffers do.
class OwnedBuffer : public OB_Buffer {
 public:
  explicit OwnedBuffer(const std::string& bytes) {
    initBuffer(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) {
      copyBuffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<uint32_t>(bytes.size()));
    }
  }
  ~OwnedBuffer() override { resetBuffer(); }
};

// A stream over pieces of text, with the cursor's offset in the whole text.
class PieceStream {
 public:
  explicit PieceStream(const std::vector<std::string>& pieces) {
    size_t base = 0;
    for (const std::string& piece : pieces) {
      auto* buffer = new OwnedBuffer(piece);
      stream_.add(buffer);
      spans_.push_back({buffer->getBuffer(), piece.size(), base});
      base += piece.size();
    }
    stream_.setFirst();
  }
  // The text cut before each of the given offsets.
  static std::vector<std::string> split(const std::string& text, std::vector<size_t> cuts) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t cut : cuts) {
      pieces.push_back(text.substr(from, cut - from));
      from = cut;
    }
    pieces.push_back(text.substr(from));
    return pieces;
  }

  OB_BufferStream* stream() { return &stream_; }
  // Offset of a byte address in the whole text, or -1.
  long offsetOf(const unsigned char* p) const {
    for (const Span& span : spans_) {
      if (span.data != nullptr && p >= span.data && p < span.data + span.length) {
        return static_cast<long>(span.base + (p - span.data));
      }
    }
    return -1;
  }
  long cursor() { return offsetOf(stream_.getNextPtr()); }
  // Address of the byte at offset, or null.
  unsigned char* at(size_t offset) const {
    for (const Span& span : spans_) {
      if (offset >= span.base && offset < span.base + span.length) {
        return span.data + (offset - span.base);
      }
    }
    return nullptr;
  }
  // Puts the cursor on the byte at offset.
  void moveTo(size_t offset) { stream_.find(at(offset)); }

 private:
  struct Span {
    unsigned char* data;
    size_t length;
    size_t base;
  };
  OB_BufferStream stream_;
  std::vector<Span> spans_;
};

// What one rule did: its answer and where it left the cursor.
struct Outcome {
  int result;
  long cursor;
  bool operator==(const Outcome& other) const {
    return result == other.result && cursor == other.cursor;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << "{result " << outcome.result << ", cursor " << outcome.cursor << "}";
}

using Rule = std::function<int(OB_HTTPGrammar&)>;

// Runs rule from offset start of the text, held in the given pieces.
inline Outcome runRule(const std::vector<std::string>& pieces, const Rule& rule, size_t start = 0) {
  PieceStream stream(pieces);
  OB_HTTPProtocol parser(1, 4);
  OB_HTTPGrammar grammar(parser, stream.stream());
  if (start > 0) stream.moveTo(start);
  int result = rule(grammar);
  return {result, stream.cursor()};
}

// The outcome for the text in one piece, checked to be the same when the text is cut at any one
// position, and when every byte is a buffer of its own (with empty buffers between).
inline Outcome runEverySplit(const std::string& text, const Rule& rule, size_t start = 0) {
  Outcome whole = runRule({text}, rule, start);
  for (size_t cut = 1; cut < text.size(); ++cut) {
    EXPECT_EQ(whole, runRule(PieceStream::split(text, {cut}), rule, start))
        << "text \"" << text << "\" cut at " << cut;
  }
  std::vector<std::string> bytes;
  for (char c : text) {
    bytes.emplace_back(1, c);
    bytes.emplace_back();
  }
  EXPECT_EQ(whole, runRule(bytes, rule, start)) << "text \"" << text << "\" byte by byte";
  return whole;
}

}  // namespace httptest
