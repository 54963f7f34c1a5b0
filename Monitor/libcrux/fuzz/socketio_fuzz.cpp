// Fuzzes the socket value decoders (readJ_* and OB_String::readJ) over a socketpair whose peer
// sent the input and hung up. The input's first byte gives the number of reads, the next bytes
// pick them, the rest is what arrives. Each read is checked against a model of the encoding: the
// bytes it takes, the value it gives, and that a cut field gives 0 and -1. A pick of 250 or more
// reads a configuration's wire form (OB_Config::readJ) and ends the reads: how much of the wire
// that takes is not modelled.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "OB_Config.h"
#include "OB_SocketIO.h"
#include "OB_String.h"

namespace {

constexpr size_t kMaxWire = 32768;  // under the socket buffer, so the peer never blocks

void check(bool condition) {
  if (!condition) abort();
}

struct Wire {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  size_t left() const { return size - at; }
  uint64_t bigEndian(size_t offset, size_t width) const {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | data[at + offset + i];
    return v;
  }
};

// A number field of the given width whose value is the low valueWidth bytes.
template <class T>
void number(int (*reader)(int, T*), int socket, Wire& wire, size_t width, size_t valueWidth) {
  T value = static_cast<T>(0x5A);
  const int result = reader(socket, &value);
  if (wire.left() < width) {
    check(result == -1 && value == 0);
    wire.at = wire.size;
    return;
  }
  const uint64_t raw = wire.bigEndian(width - valueWidth, valueWidth);
  check(result == 0);
  if constexpr (sizeof(T) == 8) {
    check(static_cast<uint64_t>(value) == raw);
  } else {
    check(static_cast<T>(raw) == value);
  }
  wire.at += width;
}

void line(int socket, Wire& wire, int max) {
  std::vector<char> buffer(static_cast<size_t>(max > 0 ? max : 1));
  const int result = readJ_line(socket, max > 0 ? buffer.data() : nullptr, max);
  if (max <= 0) {
    check(result == -1);
    return;
  }
  if (max == 1) {
    check(result == 0 && buffer[0] == '\0');
    return;
  }
  size_t stored = 0;
  while (stored < static_cast<size_t>(max - 1) && stored < wire.left() &&
         wire.data[wire.at + stored] != '\n') {
    ++stored;
  }
  check(result == static_cast<int>(stored));
  check(memcmp(buffer.data(), wire.data + wire.at, stored) == 0 && buffer[stored] == '\0');
  wire.at += stored;
  if (stored < static_cast<size_t>(max - 1) && wire.left() > 0) ++wire.at;  // the "\n"
}

void chars(int socket, Wire& wire, int n) {
  std::vector<char> buffer(static_cast<size_t>(n));
  const int result = readJ_n_chars(socket, buffer.data(), n);
  const size_t expected = std::min(static_cast<size_t>(n), wire.left());
  check(result == static_cast<int>(expected));
  check(memcmp(buffer.data(), wire.data + wire.at, expected) == 0);
  wire.at += expected;
}

// Whole lines of any length up to the wire limit; the text is what a C string holds of it.
void string(int socket, Wire& wire) {
  OB_String text;
  const int result = text.readJ(socket);
  size_t length = 0;
  while (length < wire.left() && wire.data[wire.at + length] != '\n') ++length;
  check(result == 0);
  if (length < 2047) {
    const size_t cText = strnlen(reinterpret_cast<const char*>(wire.data + wire.at), length);
    check(text.getLength() == cText);
    check(memcmp(static_cast<const char*>(text), wire.data + wire.at, cText) == 0);
  } else {
    check(text.getLength() <= length);
  }
  wire.at += length;
  if (wire.left() > 0) ++wire.at;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("socketio_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t reads = data[0] % 16 + 1;
  if (size < 1 + reads) return 0;
  const uint8_t* ops = data + 1;
  Wire wire{data + 1 + reads, std::min(size - 1 - reads, kMaxWire)};

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
  for (size_t done = 0; done < wire.size;) {
    ssize_t n = send(pair[1], wire.data + done, wire.size - done, 0);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  shutdown(pair[1], SHUT_WR);

  for (size_t i = 0; i < reads; ++i) {
    const uint8_t op = ops[i];
    if (op >= 250) {
      OB_Config config;
      config.readJ(pair[0]);
      break;
    }
    switch (op % 10) {
      case 0: {
        int value = 7;
        const int result = readJ_Boolean(pair[0], &value);
        if (wire.left() < 1) {
          check(result == -1 && value == 0);
        } else {
          check(result == 0 && value == wire.data[wire.at]);
          ++wire.at;
        }
        break;
      }
      case 1: number<uint8_t>(readJ_UInt8, pair[0], wire, 2, 1); break;
      case 2: number<int16_t>(readJ_SInt16, pair[0], wire, 2, 2); break;
      case 3: number<uint16_t>(readJ_UInt16, pair[0], wire, 4, 2); break;
      case 4: number<int32_t>(readJ_SInt32, pair[0], wire, 4, 4); break;
      case 5: number<uint32_t>(readJ_UInt32, pair[0], wire, 8, 4); break;
      case 6: number<int64_t>(readJ_SInt64, pair[0], wire, 8, 8); break;
      case 7: line(pair[0], wire, static_cast<int>(op / 10) - 2); break;  // max -2 ... 23
      case 8: chars(pair[0], wire, op / 10 + 1); break;
      case 9: string(pair[0], wire); break;
    }
  }
  close(pair[0]);
  close(pair[1]);
  return 0;
}
