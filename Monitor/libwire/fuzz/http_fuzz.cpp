// Fuzzes the HTTP analyser over streams cut at chosen places, as a reassembled direction is cut
// into packet payloads. The property: the same bytes cut differently give the same result.
//
// Input: a mode byte, a cut byte (its low three bits the number of cut bytes that follow, each
// placing one cut in proportion to the text; its top bit also cuts the text byte by byte), then
// the text. Mode 0 runs the message driver: the text is split into the client's and the server's
// bytes at its first NUL, requests are parsed from one and responses from the other, and the
// transactions (in their archive form) and why each direction's walk stopped must be the same
// whole and cut. Other modes run one grammar rule repeatedly through the text, moving to the
// next line when it refuses, and its answers and cursor positions must be the same whole and
// cut.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "OB_Buffer.h"
#include "OB_BufferStream.h"
#include "http/OB_HTTPGrammar.h"
#include "http/OB_HTTPProtocol.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

// A buffer of exactly the piece's bytes, so a read past a piece is caught.
class PieceBuffer : public OB_Buffer {
 public:
  PieceBuffer(const uint8_t* bytes, size_t n) {
    initBuffer(static_cast<uint32_t>(n));
    if (n > 0) copyBuffer(bytes, static_cast<uint32_t>(n));
  }
  ~PieceBuffer() override { resetBuffer(); }
};

// A stream over the text cut before each offset of cuts, with the text offset of a byte address.
class PieceStream {
 public:
  PieceStream(const uint8_t* text, size_t size, const std::vector<size_t>& cuts) {
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      const size_t to = i < cuts.size() ? cuts[i] : size;
      auto* buffer = new PieceBuffer(text + from, to - from);
      spans_.push_back({buffer->getBuffer(), to - from, from});
      stream_.add(buffer);
      from = to;
    }
  }
  OB_BufferStream* stream() { return &stream_; }
  long offsetOf(const unsigned char* p) const {
    if (p == nullptr) return -1;
    for (const Span& span : spans_)
      if (span.data != nullptr && p >= span.data && p < span.data + span.length)
        return static_cast<long>(span.base + static_cast<size_t>(p - span.data));
    return -2;  // an address the stream does not hold
  }

 private:
  struct Span {
    unsigned char* data;
    size_t length;
    size_t base;
  };
  OB_BufferStream stream_;
  std::vector<Span> spans_;
};

using Rule = std::function<int(OB_HTTPGrammar&)>;

const std::vector<Rule>& rules() {
  static const std::vector<Rule> all = {
      [](OB_HTTPGrammar& p) { return p.Request_Line(); },
      [](OB_HTTPGrammar& p) { return p.Status_Line(); },
      [](OB_HTTPGrammar& p) { return p.HTTP_date(); },
      [](OB_HTTPGrammar& p) { return p.Request_URI(); },
      [](OB_HTTPGrammar& p) { return p.URI(); },
      [](OB_HTTPGrammar& p) { return p.comment(); },
      [](OB_HTTPGrammar& p) { return p.quoted_string(); },
      [](OB_HTTPGrammar& p) { return p.word(); },
      [](OB_HTTPGrammar& p) { return p.HTTP_Version(1); },
      [](OB_HTTPGrammar& p) { return p.delta_seconds(); },
      [](OB_HTTPGrammar& p) { return p.General_Header(); },
      [](OB_HTTPGrammar& p) { return p.Request_Header(); },
      [](OB_HTTPGrammar& p) { return p.Response_Header(); },
      [](OB_HTTPGrammar& p) { return p.Entity_Header(); },
      [](OB_HTTPGrammar& p) { return p.checkForDone(); },
  };
  return all;
}

std::string archiveForm(OB_HTTPProtocol& parser) {
  parser.connTime = 0;  // the time of construction, not of the bytes
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  check(out != nullptr && parser.write(out) == 0);
  fclose(out);
  std::string bytes(text, length);
  free(text);
  return bytes;
}

// The driver over client and server bytes, each cut as given.
std::string drive(const uint8_t* client, size_t clientSize, const std::vector<size_t>& clientCuts,
                  const uint8_t* server, size_t serverSize, const std::vector<size_t>& serverCuts) {
  OB_HTTPProtocol parser(1, 64);
  PieceStream requests(client, clientSize, clientCuts);
  PieceStream responses(server, serverSize, serverCuts);
  const auto requestStop = parser.parseRequests(requests.stream());
  const auto responseStop = parser.parseResponses(responses.stream());
  parser.HTTPMIMEInfo_fill();
  // Why each direction stopped belongs to the result too.
  std::string form = archiveForm(parser) + static_cast<char>('0' + static_cast<int>(requestStop)) +
                     static_cast<char>('0' + static_cast<int>(responseStop));
  parser.reset();
  return form;
}

// The rule's answers and cursor offsets as it is run through the text again and again.
std::vector<long> walk(const Rule& rule, const uint8_t* text, size_t size,
                       const std::vector<size_t>& cuts, std::string* stored) {
  OB_HTTPProtocol parser(1, 64);
  PieceStream pieces(text, size, cuts);
  OB_BufferStream* stream = pieces.stream();
  OB_HTTPGrammar grammar(parser, stream);
  std::vector<long> trace;
  if (stream->setFirst() != 0) {
    trace.push_back(rule(grammar));
    trace.push_back(pieces.offsetOf(stream->getNextPtr()));
  }
  for (int step = 0; step < 256 && stream->getNextPtr() != nullptr; ++step) {
    unsigned char* before = stream->getNextPtr();
    trace.push_back(rule(grammar));
    trace.push_back(pieces.offsetOf(stream->getNextPtr()));
    check(trace.back() >= 0);
    if (stream->getNextPtr() == before) {
      // Refused or took nothing: on to the byte after the next line feed.
      while (stream->getNext() != '\n' && stream->incNext() != 0) {
      }
      if (stream->incNext() == 0) break;
    }
    grammar.setStream(stream);  // the rule may have left a keyword memo of this position
  }
  *stored = archiveForm(parser);
  parser.reset();
  return trace;
}

std::vector<size_t> cutsFrom(const uint8_t* cutBytes, size_t count, size_t size, bool everyByte) {
  std::vector<size_t> cuts;
  if (everyByte) {
    for (size_t i = 1; i < size; ++i) cuts.push_back(i);
    return cuts;
  }
  for (size_t i = 0; i < count; ++i) cuts.push_back(cutBytes[i] * size / 256);
  std::sort(cuts.begin(), cuts.end());
  return cuts;  // equal cuts make empty pieces, which the stream steps over
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("http_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t cutCount = data[1] & 7;
  const bool everyByte = (data[1] & 0x80) != 0;
  if (size < 2 + cutCount) return 0;
  const uint8_t* cutBytes = data + 2;
  const uint8_t* text = data + 2 + cutCount;
  const size_t textSize = size - 2 - cutCount;
  if (everyByte && textSize > 512) return 0;

  const size_t ruleCount = rules().size();
  if (mode % (ruleCount + 1) == 0) {
    const uint8_t* split = static_cast<const uint8_t*>(memchr(text, 0, textSize));
    const size_t clientSize = split != nullptr ? static_cast<size_t>(split - text) : textSize;
    const uint8_t* server = text + clientSize + (split != nullptr ? 1 : 0);
    const size_t serverSize = textSize - clientSize - (split != nullptr ? 1 : 0);
    const std::string whole = drive(text, clientSize, {}, server, serverSize, {});
    const std::string cut =
        drive(text, clientSize, cutsFrom(cutBytes, cutCount, clientSize, everyByte), server,
              serverSize, cutsFrom(cutBytes, cutCount, serverSize, everyByte));
    check(whole == cut);
    return 0;
  }
  const Rule& rule = rules()[mode % (ruleCount + 1) - 1];
  std::string wholeStored;
  std::string cutStored;
  const std::vector<long> whole = walk(rule, text, textSize, {}, &wholeStored);
  const std::vector<long> cut =
      walk(rule, text, textSize, cutsFrom(cutBytes, cutCount, textSize, everyByte), &cutStored);
  check(whole == cut);
  check(wholeStored == cutStored);
  return 0;
}
