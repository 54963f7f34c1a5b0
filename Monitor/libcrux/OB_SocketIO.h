// The one encoding of values on the system's TCP connections (console requests, engine replies,
// every object's readJ/writeJ): numbers big-endian, unsigned types in a field twice their width
// with the value in the low half, texts as "\n"-ended lines or exact runs of bytes.
// Every function takes a connected stream socket, never closes it, and returns -1 on failure;
// after a -1 the connection's position is unknown and the caller drops it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The big-endian encoder: width bytes of value, most significant first (width 1 ... 8).
void obPutBigEndian(uint8_t* out, uint64_t value, size_t width);
// The big-endian decoder, the inverse of obPutBigEndian.
uint64_t obGetBigEndian(const uint8_t* in, size_t width);

// Number readers: *value is 0 unless the whole field arrived. 0 on success; -1 when the peer
// closed (before or inside the field) or on a receive error (obSocketFailure says which). Each byte is received on
// its own, so a reader never takes bytes of the next field.
// A boolean arrives as ONE byte (0 ... 255), though writeJ_Boolean sends two: the console and
// the engines rely on this difference.
int readJ_Boolean(int socket, int* value);
int readJ_UInt8(int socket, uint8_t* value);    // 2 bytes: 0x00, value
int readJ_SInt16(int socket, int16_t* value);   // 2 bytes
int readJ_UInt16(int socket, uint16_t* value);  // 4 bytes: 0x0000, value
int readJ_SInt32(int socket, int32_t* value);   // 4 bytes
int readJ_UInt32(int socket, uint32_t* value);  // 8 bytes: the first four are not looked at
int readJ_SInt64(int socket, int64_t* value);   // 8 bytes

// Number writers: 0 when the whole field went out, else -1 (obSocketFailure says why).
int writeJ_Boolean(int socket, int value);  // 2 bytes: 0x00, the value's low byte
int writeJ_UInt8(int socket, uint8_t value);
int writeJ_UInt16(int socket, uint16_t value);
int writeJ_SInt32(int socket, int32_t value);
int writeJ_UInt32(int socket, uint32_t value);
int writeJ_SInt64(int socket, int64_t value);

// How readJ_line takes a line; the defaults are the console's text fields.
struct OB_LineRules {
  // A line longer than the buffer: its rest is received and dropped, so that it never spills
  // into the next field (else it is left for the next read).
  bool dropRest = false;
  // The peer closing before the line's "\n" fails the read (else the bytes so far are the line).
  bool needEnd = false;
  // The peer closing before the line's first byte fails the read (else it is an empty line).
  bool needStart = false;
  // No receive of this read waits past it (besides the thread's OB_SocketDeadline, the earlier
  // of the two holding).
  std::optional<std::chrono::steady_clock::time_point> deadline;
};
// A configuration field: one whole line, or a failure.
inline constexpr OB_LineRules kWholeLine{
    .dropRest = true, .needEnd = true, .needStart = false, .deadline = std::nullopt};

// Reads one line into buffer (max bytes including the terminator). "\n" ends it and is not
// stored; a carriage return is an ordinary byte. A line longer than max - 1 bytes is cut there.
// Returns the stored length (0 when the peer closed before any byte; the text so far when it
// closed inside the line), or -1 on a receive error, a passed deadline or as the rules say; the
// buffer always ends with a NUL (max > 0).
int readJ_line(int socket, char* buffer, int max, const OB_LineRules& rules = {});
// Sends text (null: "") and "\n" as one line: 0, or -1 when not all of it went out.
int writeJ_line(int socket, const char* text);
// Receives exactly n bytes unless the peer closes first: the count received, -1 on error.
// No terminator is added; n < 1 gives 0.
int readJ_n_chars(int socket, char* buffer, int n);
// Sends all n bytes: n, or -1 on error; n < 1 gives 0.
int writeJ_n_chars(int socket, const char* buffer, int n);

// Why the calling thread's last receive or send of the functions above failed: the system's
// text ("Connection reset by peer"), "timed out" at the thread's deadline, or that the peer
// closed; "" when none failed since the thread's outermost OB_SocketDeadline began. The
// functions log nothing themselves: whoever knows the peer writes one line with this.
const char* obSocketFailure();

// Holds every receive and send of the functions above, on the calling thread, to one deadline
// while it lives: a call that would wait past it fails (-1, errno ETIMEDOUT) instead, however
// the peer trickles its bytes. The command servers put one around each whole request, so a slow
// client cannot hold their one-at-a-time accept thread. Nested deadlines restore the outer one.
class OB_SocketDeadline {
 public:
  explicit OB_SocketDeadline(std::chrono::steady_clock::time_point deadline);
  OB_SocketDeadline(const OB_SocketDeadline&) = delete;
  OB_SocketDeadline& operator=(const OB_SocketDeadline&) = delete;
  ~OB_SocketDeadline();

  // 1 when the calling thread has a deadline and it has passed, else 0.
  static int passed();
  // The calling thread's deadline, if it has one.
  static std::optional<std::chrono::steady_clock::time_point> current();

 private:
  bool hadOuter_;
  std::chrono::steady_clock::time_point outer_;
};

// Holds a reply in memory while it lives: every send of the functions above to socket on the
// calling thread is appended to *reply instead of going out. Whoever answers under locks the
// capture needs builds the reply with one (and gives the request's rest taken beforehand to an
// OB_SocketInput), releases the locks, then sends it: a client that reads slowly, or not at
// all, then holds nothing but its own connection. One per thread at a time.
class OB_SocketReply {
 public:
  OB_SocketReply(int socket, std::string* reply);
  OB_SocketReply(const OB_SocketReply&) = delete;
  OB_SocketReply& operator=(const OB_SocketReply&) = delete;
  ~OB_SocketReply();
};

// Input of one socket that was received ahead: while one lives, the readers above take that
// socket's input on the calling thread from these bytes first. Past them they go on with the
// socket itself (kThenSocket), or fail as if the data had not come yet (kNothingMore: -1, errno
// EWOULDBLOCK, nothing logged, and ranOut tells), which lets a reader be tried on the bytes so
// far. A command server reads requests ahead on one thread and serves them on another. Inputs
// of one socket may nest: an inner one holds bytes received after the outer ones', which are
// read first; past all of them the innermost's rest applies.
class OB_SocketInput {
 public:
  enum Rest { kThenSocket, kNothingMore };
  // bytes: not owned; they must outlive this and stay unchanged while it lives.
  OB_SocketInput(int socket, const char* bytes, size_t n, Rest rest);
  OB_SocketInput(const OB_SocketInput&) = delete;
  OB_SocketInput& operator=(const OB_SocketInput&) = delete;
  ~OB_SocketInput();

  // Appends to *into what socket has already received, without waiting, most bytes at most (no
  // more than an int holds). The count taken (0 when nothing was waiting or the peer has
  // closed), or -1 on a receive error; *ended, when given, is set once the peer has closed or
  // the receive failed.
  static int takeWaiting(int socket, std::string* into, size_t most, bool* ended = nullptr);
  // Whether a read wanted more than the bytes (kNothingMore only).
  bool ranOut() const { return ranOut_; }
  // Takes up to n of the bytes not yet read for the socket: the count, or -1 when the socket
  // has no input of this kind on this thread or its bytes are used up (*ended then says whether
  // the readers must stop there). Called by the readers.
  static ssize_t take(int socket, void* into, size_t n, bool* ended);

 private:
  int socket_;
  const char* bytes_;
  size_t size_;
  size_t used_ = 0;
  Rest rest_;
  bool ranOut_ = false;
  OB_SocketInput* outer_;
};
