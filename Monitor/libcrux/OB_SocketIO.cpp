#include "OB_SocketIO.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>


void obPutBigEndian(uint8_t* out, uint64_t value, size_t width) {
  for (size_t i = width; i > 0; --i) {
    out[i - 1] = static_cast<uint8_t>(value & 0xFF);
    value >>= 8;
  }
}

uint64_t obGetBigEndian(const uint8_t* in, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | in[i];
  return value;
}

namespace {

using Clock = std::chrono::steady_clock;

// The calling thread's deadline (see OB_SocketDeadline); none while hasDeadline is false.
thread_local bool hasDeadline = false;
thread_local Clock::time_point deadline;

// Waits until the socket is ready for events or the thread's deadline passes. False (errno
// ETIMEDOUT) at the deadline; true otherwise, also on a poll error, which the following call
// then reports itself.
bool readyBeforeDeadline(int socket, short events) {
  if (!hasDeadline) return true;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    struct pollfd wanted = {socket, events, 0};
    const int ready = poll(&wanted, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
  }
}

// The calling thread's OB_SocketReply: sends to replySocket go to *replyBytes.
thread_local int replySocket = -1;
thread_local std::string* replyBytes = nullptr;

// The inputs received ahead on this thread (see OB_SocketInput): the innermost, linked outwards.
thread_local OB_SocketInput* ahead = nullptr;
// Set when a reader ran out of bytes received ahead: that is no receive error to report.
thread_local bool ranOutAhead = false;
// Why the calling thread's last receive or send failed (see obSocketFailure).
thread_local std::string lastFailure;

void failed(const char* why) {
  if (!ranOutAhead) lastFailure = why;
}

// One receive call, retried when a signal interrupts it. Bytes received ahead come first and
// never wait, whatever the deadline.
ssize_t receive(int socket, void* into, size_t n) {
  bool ended = false;
  const ssize_t taken = OB_SocketInput::take(socket, into, n, &ended);
  if (taken >= 0) return taken;
  if (ended) return -1;
  ssize_t got;
  do {
    if (!readyBeforeDeadline(socket, POLLIN)) {
      failed("timed out");
      return -1;
    }
    got = recv(socket, into, n, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) failed(strerror(errno));
  if (got == 0) failed("the peer closed the connection");
  return got;
}

// Sends all n bytes; false on an error. MSG_NOSIGNAL: a peer that hung up yields an error here
// instead of a SIGPIPE that would end the engine.
bool sendAll(int socket, const uint8_t* bytes, size_t n) {
  if (socket == replySocket && replyBytes != nullptr) {
    replyBytes->append(reinterpret_cast<const char*>(bytes), n);
    return true;
  }
  while (n > 0) {
    if (!readyBeforeDeadline(socket, POLLOUT)) {
      failed("timed out");
      return false;
    }
    ssize_t sent = send(socket, bytes, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      failed(sent < 0 ? strerror(errno) : "nothing sent");
      return false;
    }
    bytes += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

// Receives a whole field of width bytes one byte per call. -1 when the peer closes before it is
// complete (a cut field is never taken for a value) or on a receive error; the caller, who
// knows the peer, reports it (obSocketFailure says why).
int receiveField(int socket, uint8_t* field, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    ssize_t got = receive(socket, field + i, 1);
    if (got == 0 && i > 0) failed("the peer closed the connection inside a value");
    if (got <= 0) return -1;
  }
  return 0;
}

int sendField(int socket, const uint8_t* field, size_t width) {
  return sendAll(socket, field, width) ? 0 : -1;
}

}  // namespace

OB_SocketDeadline::OB_SocketDeadline(Clock::time_point limit)
    : hadOuter_(hasDeadline), outer_(deadline) {
  if (!hadOuter_) lastFailure.clear();
  // An inner deadline never extends an outer one.
  deadline = hadOuter_ && outer_ < limit ? outer_ : limit;
  hasDeadline = true;
}

OB_SocketDeadline::~OB_SocketDeadline() {
  hasDeadline = hadOuter_;
  deadline = outer_;
}

OB_SocketReply::OB_SocketReply(int socket, std::string* reply) {
  replySocket = socket;
  replyBytes = reply;
}

OB_SocketReply::~OB_SocketReply() {
  replySocket = -1;
  replyBytes = nullptr;
}

OB_SocketInput::OB_SocketInput(int socket, const char* bytes, size_t n, Rest rest)
    : socket_(socket), bytes_(bytes), size_(bytes != nullptr ? n : 0), rest_(rest), outer_(ahead) {
  ahead = this;
}

OB_SocketInput::~OB_SocketInput() {
  ahead = outer_;
  ranOutAhead = false;
}

int OB_SocketInput::takeWaiting(int socket, std::string* into, size_t most, bool* ended) {
  char chunk[4096];
  size_t taken = 0;
  while (taken < most) {
    const ssize_t got = recv(socket, chunk, std::min(sizeof chunk, most - taken), MSG_DONTWAIT);
    if (got > 0) {
      into->append(chunk, static_cast<size_t>(got));
      taken += static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (ended != nullptr) *ended = true;
    if (got < 0) return -1;
    break;
  }
  return static_cast<int>(taken);
}

ssize_t OB_SocketInput::take(int socket, void* into, size_t n, bool* ended) {
  // The outermost input of the socket with bytes left was received first.
  OB_SocketInput* innermost = nullptr;
  OB_SocketInput* first = nullptr;
  for (OB_SocketInput* input = ahead; input != nullptr; input = input->outer_) {
    if (input->socket_ != socket) continue;
    if (innermost == nullptr) innermost = input;
    if (input->used_ < input->size_) first = input;
  }
  if (first != nullptr) {
    const size_t count = std::min(n, first->size_ - first->used_);
    memcpy(into, first->bytes_ + first->used_, count);
    first->used_ += count;
    return static_cast<ssize_t>(count);
  }
  if (innermost == nullptr || innermost->rest_ == kThenSocket) return -1;
  innermost->ranOut_ = true;
  ranOutAhead = true;
  *ended = true;
  errno = EWOULDBLOCK;
  return -1;
}

int OB_SocketDeadline::passed() { return hasDeadline && Clock::now() >= deadline ? 1 : 0; }

std::optional<std::chrono::steady_clock::time_point> OB_SocketDeadline::current() {
  if (!hasDeadline) return std::nullopt;
  return deadline;
}

int readJ_Boolean(int socket, int* value) {
  *value = 0;
  uint8_t field[1];
  if (receiveField(socket, field, sizeof field) != 0) return -1;
  *value = field[0];
  return 0;
}

int readJ_UInt8(int socket, uint8_t* value) {
  *value = 0;
  uint8_t field[2];
  if (receiveField(socket, field, sizeof field) != 0) return -1;
  *value = field[1];
  return 0;
}

int readJ_SInt16(int socket, int16_t* value) {
  *value = 0;
  uint8_t field[2];
  if (receiveField(socket, field, sizeof field) != 0) return -1;
  *value = static_cast<int16_t>(obGetBigEndian(field, 2));
  return 0;
}

int readJ_UInt16(int socket, uint16_t* value) {
  *value = 0;
  uint8_t field[4];
  if (receiveField(socket, field, sizeof field) != 0) return -1;
  *value = static_cast<uint16_t>(obGetBigEndian(field + 2, 2));
  return 0;
}

int readJ_SInt32(int socket, int32_t* value) {
  *value = 0;
  uint8_t field[4];
  if (receiveField(socket, field, sizeof field) != 0) return -1;
  *value = static_cast<int32_t>(obGetBigEndian(field, 4));
  return 0;
}

int readJ_UInt32(int socket, uint32_t* value) {
  *value = 0;
  uint8_t field[8];
  if (receiveField(socket, field, sizeof field) != 0) return -1;
  *value = static_cast<uint32_t>(obGetBigEndian(field + 4, 4));
  return 0;
}

int readJ_SInt64(int socket, int64_t* value) {
  *value = 0;
  uint8_t field[8];
  if (receiveField(socket, field, sizeof field) != 0) return -1;
  *value = static_cast<int64_t>(obGetBigEndian(field, 8));
  return 0;
}

int writeJ_Boolean(int socket, int value) {
  return writeJ_UInt8(socket, static_cast<uint8_t>(value & 0xFF));
}

int writeJ_UInt8(int socket, uint8_t value) {
  uint8_t field[2];
  obPutBigEndian(field, value, 2);
  return sendField(socket, field, sizeof field);
}

int writeJ_UInt16(int socket, uint16_t value) {
  uint8_t field[4];
  obPutBigEndian(field, value, 4);
  return sendField(socket, field, sizeof field);
}

int writeJ_SInt32(int socket, int32_t value) {
  uint8_t field[4];
  obPutBigEndian(field, static_cast<uint32_t>(value), 4);
  return sendField(socket, field, sizeof field);
}

int writeJ_UInt32(int socket, uint32_t value) {
  uint8_t field[8];
  obPutBigEndian(field, value, 8);
  return sendField(socket, field, sizeof field);
}

int writeJ_SInt64(int socket, int64_t value) {
  uint8_t field[8];
  obPutBigEndian(field, static_cast<uint64_t>(value), 8);
  return sendField(socket, field, sizeof field);
}

int readJ_line(int socket, char* buffer, int max, const OB_LineRules& rules) {
  if (buffer == nullptr) return -1;
  if (max <= 1 && !rules.dropRest) {
    if (max == 1) buffer[0] = '\0';
    return 0;
  }
  std::optional<OB_SocketDeadline> limit;
  if (rules.deadline.has_value()) limit.emplace(*rules.deadline);
  int stored = 0;
  int received = 0;
  auto end = [&](int result) {
    if (max > 0) buffer[stored] = '\0';
    return result;
  };
  for (;;) {
    if (stored >= max - 1 && !rules.dropRest) return end(stored);
    char byte;
    const ssize_t got = receive(socket, &byte, 1);
    if (got < 0) return end(-1);
    if (got == 0) {
      const bool failed = rules.needEnd || (rules.needStart && received == 0);
      return end(failed ? -1 : stored);
    }
    ++received;
    if (byte == '\n') return end(stored);
    if (stored < max - 1) buffer[stored++] = byte;
  }
}

int writeJ_line(int socket, const char* text) {
  std::string line(text != nullptr ? text : "");
  line += '\n';
  const int n = static_cast<int>(line.size());
  return writeJ_n_chars(socket, line.data(), n) == n ? 0 : -1;
}

int readJ_n_chars(int socket, char* buffer, int n) {
  if (n < 1) return 0;
  if (buffer == nullptr) return -1;
  int have = 0;
  while (have < n) {
    ssize_t got = receive(socket, buffer + have, static_cast<size_t>(n - have));
    if (got < 0) return -1;
    if (got == 0) break;
    have += static_cast<int>(got);
  }
  return have;
}

int writeJ_n_chars(int socket, const char* buffer, int n) {
  if (n < 1) return 0;
  if (buffer != nullptr && sendAll(socket, reinterpret_cast<const uint8_t*>(buffer),
                                   static_cast<size_t>(n)))
    return n;
  return -1;
}

const char* obSocketFailure() { return lastFailure.c_str(); }
