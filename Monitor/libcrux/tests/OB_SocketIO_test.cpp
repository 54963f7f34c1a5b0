#include "OB_SocketIO.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A connected pair of stream sockets: one end for the code under test, the other for the
// test's raw bytes.
class SocketPair {
 public:
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0); }
  ~SocketPair() {
    closeNear();
    closeFar();
  }
  int near() const { return ends_[0]; }
  void feed(const Bytes& bytes) {
    ASSERT_EQ(::write(ends_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void feed(const std::string& text) { feed(Bytes(text.begin(), text.end())); }
  // Everything written to the near end so far (the far end is read without blocking).
  Bytes drain() {
    Bytes out;
    uint8_t chunk[64];
    ssize_t got;
    while ((got = recv(ends_[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
      out.insert(out.end(), chunk, chunk + got);
    return out;
  }
  void closeFar() {
    if (ends_[1] >= 0) ::close(ends_[1]);
    ends_[1] = -1;
  }
  void closeNear() {
    if (ends_[0] >= 0) ::close(ends_[0]);
    ends_[0] = -1;
  }

 private:
  int ends_[2] = {-1, -1};
};

TEST(SocketIO, WritersPutBigEndianFieldsTwiceAsWideForUnsigned) {
  SocketPair pair;
  int s = pair.near();
  ASSERT_EQ(writeJ_Boolean(s, 1), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0x00, 0x01}));
  ASSERT_EQ(writeJ_Boolean(s, 0x1FF), 0);  // only the low byte goes
  EXPECT_EQ(pair.drain(), (Bytes{0x00, 0xFF}));
  ASSERT_EQ(writeJ_UInt8(s, 200), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0x00, 0xC8}));
  ASSERT_EQ(writeJ_UInt16(s, 0x1234), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0x00, 0x00, 0x12, 0x34}));
  ASSERT_EQ(writeJ_SInt32(s, -2), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
  ASSERT_EQ(writeJ_SInt32(s, 0x01020304), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0x01, 0x02, 0x03, 0x04}));
  ASSERT_EQ(writeJ_UInt32(s, 1), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
  ASSERT_EQ(writeJ_UInt32(s, 0xDEADBEEF), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF}));
  ASSERT_EQ(writeJ_SInt64(s, 200), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0, 0, 0, 0, 0, 0, 0, 0xC8}));
  ASSERT_EQ(writeJ_SInt64(s, -2), 0);
  EXPECT_EQ(pair.drain(), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST(SocketIO, ReadersTakeExactlyTheirFieldAndIgnoreHighHalves) {
  SocketPair pair;
  int s = pair.near();
  // Boolean: ONE byte in, though two go out.
  pair.feed(Bytes{0x01, 0x00, 0xC8, 0xAB, 0xCD, 0xFF, 0xFF, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFE,
                  0xAA, 0xBB, 0xCC, 0xDD, 0xDE, 0xAD, 0xBE, 0xEF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                  0xFF, 0xFF, 0xFE, 0x80, 0x01});
  int flag = -1;
  ASSERT_EQ(readJ_Boolean(s, &flag), 0);
  EXPECT_EQ(flag, 1);
  uint8_t u8 = 0;
  ASSERT_EQ(readJ_UInt8(s, &u8), 0);
  EXPECT_EQ(u8, 200);
  uint16_t u16 = 0;
  ASSERT_EQ(readJ_UInt16(s, &u16), 0);  // the high half AB CD is not looked at
  EXPECT_EQ(u16, 0xFFFF);
  int16_t s16 = 0;
  ASSERT_EQ(readJ_SInt16(s, &s16), 0);
  EXPECT_EQ(s16, 0x1234);
  int32_t s32 = 0;
  ASSERT_EQ(readJ_SInt32(s, &s32), 0);
  EXPECT_EQ(s32, -2);
  uint32_t u32 = 0;
  ASSERT_EQ(readJ_UInt32(s, &u32), 0);  // AA BB CC DD is not looked at
  EXPECT_EQ(u32, 0xDEADBEEFu);
  int64_t s64 = 0;
  ASSERT_EQ(readJ_SInt64(s, &s64), 0);
  EXPECT_EQ(s64, -2);
  ASSERT_EQ(readJ_SInt16(s, &s16), 0);
  EXPECT_EQ(s16, -32767);
}

TEST(SocketIO, PeerClosingBeforeOrInsideAFieldIsAFailure) {
  {
    SocketPair pair;
    pair.closeFar();
    int32_t value = 7;
    EXPECT_EQ(readJ_SInt32(pair.near(), &value), -1);
    EXPECT_EQ(value, 0);
  }
  {
    SocketPair pair;
    pair.feed(Bytes{0x12, 0x34, 0x56});
    pair.closeFar();
    int32_t value = 7;
    EXPECT_EQ(readJ_SInt32(pair.near(), &value), -1);  // a cut number is not a number
    EXPECT_EQ(value, 0);
  }
  {
    SocketPair pair;
    pair.feed(Bytes{0, 0, 0, 0, 0, 0, 1});
    pair.closeFar();
    uint32_t value = 7;
    EXPECT_EQ(readJ_UInt32(pair.near(), &value), -1);
    EXPECT_EQ(value, 0u);
  }
  {
    SocketPair pair;
    pair.feed(Bytes{0x00});
    pair.closeFar();
    uint8_t value = 7;
    EXPECT_EQ(readJ_UInt8(pair.near(), &value), -1);
    EXPECT_EQ(value, 0);
    int flag = 3;
    EXPECT_EQ(readJ_Boolean(pair.near(), &flag), -1);
    EXPECT_EQ(flag, 0);
  }
}

TEST(SocketIO, ReadLineKeepsLimitsAndLeavesTheRestForTheNextCall) {
  SocketPair pair;
  int s = pair.near();
  char buffer[16];
  pair.feed("abcdef\nab\r\nlast");
  EXPECT_EQ(readJ_line(s, buffer, 5), 4);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(readJ_line(s, buffer, 5), 2);
  EXPECT_STREQ(buffer, "ef");
  EXPECT_EQ(readJ_line(s, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "ab\r");
  buffer[0] = 'x';
  EXPECT_EQ(readJ_line(s, buffer, 1), 0);  // room for the terminator only; nothing is read
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(readJ_line(s, buffer, 0), 0);
  pair.closeFar();
  EXPECT_EQ(readJ_line(s, buffer, sizeof buffer), 4);  // the peer's close ends the line
  EXPECT_STREQ(buffer, "last");
  EXPECT_EQ(readJ_line(s, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(SocketIO, ReadLineRulesForWholeFieldsAndRequestLines) {
  char buffer[5];
  {
    // A configuration field: an overlong line's rest is dropped, never the next field.
    SocketPair pair;
    pair.feed("abcdefgh\nnext\ncut");
    pair.closeFar();
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, kWholeLine), 4);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, kWholeLine), 4);
    EXPECT_STREQ(buffer, "next");
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, kWholeLine), -1);  // no "\n"
    EXPECT_STREQ(buffer, "cut");
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, kWholeLine), -1);
  }
  {
    // A request line: a peer gone before the line began has sent nothing; a line cut by the
    // close is what arrived.
    const OB_LineRules started{
        .dropRest = false, .needEnd = false, .needStart = true, .deadline = std::nullopt};
    SocketPair pair;
    pair.feed("\nhalf");
    pair.closeFar();
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, started), 0);
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, started), 4);
    EXPECT_STREQ(buffer, "half");
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, started), -1);
  }
}

TEST(SocketIO, ReadLineDeadlineEndsATricklingPeer) {
  using namespace std::chrono;
  SocketPair pair;
  pair.feed("no end yet");
  char buffer[32];
  const auto start = steady_clock::now();
  const OB_LineRules soon{.dropRest = false,
                          .needEnd = false,
                          .needStart = false,
                          .deadline = steady_clock::now() + milliseconds(100)};
  EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, soon), -1);
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  EXPECT_EQ(OB_SocketDeadline::passed(), 0);  // the read's own deadline ends with it
  pair.feed("!\n");  // what arrived before the deadline was taken by the failed read
  EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "!");
}

TEST(SocketIO, CharacterRuns) {
  SocketPair pair;
  int s = pair.near();
  EXPECT_EQ(writeJ_n_chars(s, "hello\n", 6), 6);
  EXPECT_EQ(writeJ_n_chars(s, "ignored", 0), 0);
  Bytes sent = pair.drain();
  EXPECT_EQ(std::string(sent.begin(), sent.end()), "hello\n");

  char buffer[8] = {};
  pair.feed("abcdefgh");
  EXPECT_EQ(readJ_n_chars(s, buffer, 5), 5);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
  EXPECT_EQ(readJ_n_chars(s, buffer, 0), 0);
  pair.closeFar();
  EXPECT_EQ(readJ_n_chars(s, buffer, 8), 3);  // the peer closed: what arrived
  EXPECT_EQ(std::string(buffer, 3), "fgh");
}

// A peer that hung up must give -1, not a SIGPIPE that ends the process.
TEST(SocketIO, WritingToAClosedPeerFailsWithoutEndingTheProcess) {
  SocketPair pair;
  pair.closeFar();
  EXPECT_EQ(writeJ_SInt32(pair.near(), 1), -1);
  EXPECT_EQ(writeJ_Boolean(pair.near(), 1), -1);
  EXPECT_EQ(writeJ_n_chars(pair.near(), "x", 1), -1);
}

}  // namespace

TEST(SocketDeadline, HoldsReadsAndWritesToItAndNestedOnesNeverExtendIt) {
  using namespace std::chrono;
  SocketPair pair;
  pair.feed("ab");
  char got[4] = {};
  {
    OB_SocketDeadline limit(steady_clock::now() + milliseconds(100));
    EXPECT_EQ(readJ_n_chars(pair.near(), got, 2), 2);  // what is there is read at once
    EXPECT_EQ(OB_SocketDeadline::passed(), 0);
    const auto start = steady_clock::now();
    {
      OB_SocketDeadline later(steady_clock::now() + seconds(30));
      uint32_t value = 0;
      EXPECT_EQ(readJ_UInt32(pair.near(), &value), -1);  // the outer deadline still rules
    }
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    EXPECT_EQ(OB_SocketDeadline::passed(), 1);
    // A peer that reads nothing: a send that cannot go out fails at the deadline too.
    std::string lots(1 << 22, 'x');
    EXPECT_EQ(writeJ_n_chars(pair.near(), lots.data(), static_cast<int>(lots.size())), -1);
  }
  EXPECT_EQ(OB_SocketDeadline::passed(), 0);  // gone with its holder
  pair.feed("c");
  EXPECT_EQ(readJ_n_chars(pair.near(), got, 1), 1);
}
