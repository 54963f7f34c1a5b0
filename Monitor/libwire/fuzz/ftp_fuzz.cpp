// Fuzzes the FTP analyser and its archive records. The input's first byte picks the mode:
//  0: the text up to its first NUL is the client's control bytes, the rest the server's; both
//     are parsed whole and cut where the second byte says, and must give the same record. The
//     same text sent as Telnet sends data (each 255 doubled) must give one record with and
//     without Telnet commands between its bytes (every 1 to 4 bytes, as the second byte says).
//  1: the rest is an FTP protocol record (commands, login, transfers) for the archive reader;
//  2: one command record; 3: one transfer record. A record that reads must write, read again
//     and write the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "OB_Buffer.h"
#include "ftp/OB_FTPProtocol.h"
#include "tcp/OB_TCPSession.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

class PieceBuffer : public OB_Buffer {
 public:
  PieceBuffer(const uint8_t* bytes, size_t n) {
    initBuffer(static_cast<uint32_t>(n));
    if (n > 0) copyBuffer(bytes, static_cast<uint32_t>(n));
  }
  ~PieceBuffer() override { resetBuffer(); }
};

// The bytes into the stream, cut every `step` bytes (0: whole).
void fill(OB_BufferStream& stream, const uint8_t* bytes, size_t n, size_t step) {
  if (step == 0) step = n > 0 ? n : 1;
  for (size_t at = 0; at < n; at += step) stream.add(new PieceBuffer(bytes + at, std::min(step, n - at)));
}

template <class T>
std::string written(T& object) {
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  check(out != nullptr);
  const int result = object.write(out);
  fclose(out);
  std::string bytes(text, length);
  free(text);
  return result == 0 ? bytes : std::string("write failed");
}

template <class T>
int readInto(T& object, const uint8_t* data, size_t size) {
  static uint8_t empty = 0;
  FILE* in = fmemopen(size > 0 ? const_cast<uint8_t*>(data) : &empty, size, "rb");
  check(in != nullptr);
  const int result = object.read(in);
  fclose(in);
  return result;
}

template <class T>
void roundTrip(const uint8_t* data, size_t size) {
  T first;
  if (readInto(first, data, size) != 0) return;
  const std::string once = written(first);
  T second;
  check(readInto(second, reinterpret_cast<const uint8_t*>(once.data()), once.size()) == 0);
  check(written(second) == once);
}

// The bytes as Telnet data: each 255 (IAC) doubled; with `every` > 0, a Telnet command (one
// taking an option byte, the byte at hand, in four of seven places) before every every-th byte.
std::string telnet(const uint8_t* bytes, size_t n, size_t every) {
  static const char* const kCommands[] = {"\xff\xf1", "\xff\xf4\xff\xf2", "\xff\xfb", "\xff\xfc",
                                          "\xff\xfd", "\xff\xfe", "\xff\xf9"};
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (every > 0 && i % every == 0) {
      const size_t pick = i / every % (sizeof kCommands / sizeof kCommands[0]);
      out += kCommands[pick];
      if (pick >= 2 && pick <= 5) out += static_cast<char>(bytes[i]);
    }
    out += static_cast<char>(bytes[i]);
    if (bytes[i] == 0xFF) out += static_cast<char>(0xFF);
  }
  return out;
}

const uint8_t* bytesOf(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

std::string parse(const uint8_t* client, size_t clientSize, const uint8_t* server,
                  size_t serverSize, size_t step) {
  OB_TCPSession session;
  fill(session.client, client, clientSize, step);
  fill(session.server, server, serverSize, step);
  OB_FTPProtocol parser;
  parser.processObject(&session);
  parser.connTime = 0;
  std::string form = written(parser);
  session.reset();
  return form;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("ftp_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t* rest = data + 1;
  const size_t restSize = size - 1;
  switch (data[0] % 4) {
    case 0: {
      const size_t step = data[1] % 64 + 1;
      const uint8_t* text = data + 2;
      const size_t textSize = size - 2;
      const uint8_t* split = static_cast<const uint8_t*>(memchr(text, 0, textSize));
      const size_t clientSize = split != nullptr ? static_cast<size_t>(split - text) : textSize;
      const uint8_t* server = text + clientSize + (split != nullptr ? 1 : 0);
      const size_t serverSize = textSize - clientSize - (split != nullptr ? 1 : 0);
      check(parse(text, clientSize, server, serverSize, 0) ==
            parse(text, clientSize, server, serverSize, step));
      const size_t every = data[1] / 64 + 1;
      const std::string plainClient = telnet(text, clientSize, 0);
      const std::string plainServer = telnet(server, serverSize, 0);
      const std::string busyClient = telnet(text, clientSize, every);
      const std::string busyServer = telnet(server, serverSize, every);
      check(parse(bytesOf(plainClient), plainClient.size(), bytesOf(plainServer),
                  plainServer.size(), 0) == parse(bytesOf(busyClient), busyClient.size(),
                                                  bytesOf(busyServer), busyServer.size(), step));
      break;
    }
    case 1: roundTrip<OB_FTPProtocol>(rest, restSize); break;
    case 2: roundTrip<OB_FTPXact>(rest, restSize); break;
    case 3: roundTrip<OB_FTPftranLink>(rest, restSize); break;
  }
  return 0;
}
