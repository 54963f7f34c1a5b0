#include "OB_SocketIO.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "SocketPair.h"

namespace {

using Bytes = std::vector<uint8_t>;

using corrana_test::SocketPair;

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(SocketIO, WritersPutBigEndianFieldsTwiceAsWideForUnsigned) {
  SocketPair pair;
  int s = pair.near();
  ASSERT_EQ(writeJ_Boolean(s, 1), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0x00, 0x01}));
  ASSERT_EQ(writeJ_Boolean(s, 0x1FF), 0);  // only the low byte goes
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0x00, 0xFF}));
  ASSERT_EQ(writeJ_UInt8(s, 200), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0x00, 0xC8}));
  ASSERT_EQ(writeJ_UInt16(s, 0x1234), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0x00, 0x00, 0x12, 0x34}));
  ASSERT_EQ(writeJ_SInt32(s, -2), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
  ASSERT_EQ(writeJ_SInt32(s, 0x01020304), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0x01, 0x02, 0x03, 0x04}));
  ASSERT_EQ(writeJ_UInt32(s, 1), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
  ASSERT_EQ(writeJ_UInt32(s, 0xDEADBEEF), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF}));
  ASSERT_EQ(writeJ_SInt64(s, 200), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0, 0, 0, 0, 0, 0, 0, 0xC8}));
  ASSERT_EQ(writeJ_SInt64(s, -2), 0);
  EXPECT_EQ(bytes(pair.sent()), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST(SocketIO, ReadersTakeExactlyTheirFieldAndIgnoreHighHalves) {
  SocketPair pair;
  int s = pair.near();
  // Boolean: ONE byte in, though two go out.
  ASSERT_TRUE(pair.send(text(Bytes{0x01, 0x00, 0xC8, 0xAB, 0xCD, 0xFF, 0xFF, 0x12, 0x34, 0xFF, 0xFF,
                                   0xFF, 0xFE, 0xAA, 0xBB, 0xCC, 0xDD, 0xDE, 0xAD, 0xBE, 0xEF, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x80, 0x01})));
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
    pair.hangUp();
    int32_t value = 7;
    EXPECT_EQ(readJ_SInt32(pair.near(), &value), -1);
    EXPECT_EQ(value, 0);
  }
  {
    SocketPair pair;
    ASSERT_TRUE(pair.send(text(Bytes{0x12, 0x34, 0x56})));
    pair.hangUp();
    int32_t value = 7;
    EXPECT_EQ(readJ_SInt32(pair.near(), &value), -1);  // a cut number is not a number
    EXPECT_EQ(value, 0);
  }
  {
    SocketPair pair;
    ASSERT_TRUE(pair.send(text(Bytes{0, 0, 0, 0, 0, 0, 1})));
    pair.hangUp();
    uint32_t value = 7;
    EXPECT_EQ(readJ_UInt32(pair.near(), &value), -1);
    EXPECT_EQ(value, 0u);
  }
  {
    SocketPair pair;
    ASSERT_TRUE(pair.send(text(Bytes{0x00})));
    pair.hangUp();
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
  ASSERT_TRUE(pair.send("abcdef\nab\r\nlast"));
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
  pair.hangUp();
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
    ASSERT_TRUE(pair.send("abcdefgh\nnext\ncut"));
    pair.hangUp();
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
    ASSERT_TRUE(pair.send("\nhalf"));
    pair.hangUp();
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, started), 0);
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, started), 4);
    EXPECT_STREQ(buffer, "half");
    EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, started), -1);
  }
}

TEST(SocketIO, ReadLineDeadlineEndsATricklingPeer) {
  using namespace std::chrono;
  SocketPair pair;
  ASSERT_TRUE(pair.send("no end yet"));
  char buffer[32];
  const auto start = steady_clock::now();
  const OB_LineRules soon{.dropRest = false,
                          .needEnd = false,
                          .needStart = false,
                          .deadline = steady_clock::now() + milliseconds(100)};
  EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer, soon), -1);
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  EXPECT_EQ(OB_SocketDeadline::passed(), 0);  // the read's own deadline ends with it
  ASSERT_TRUE(pair.send("!\n"));  // what arrived before the deadline was taken by the failed read
  EXPECT_EQ(readJ_line(pair.near(), buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "!");
}

TEST(SocketIO, WriteLineSendsTheTextAndALineFeed) {
  SocketPair pair;
  EXPECT_EQ(writeJ_line(pair.near(), "a b\r"), 0);
  EXPECT_EQ(writeJ_line(pair.near(), nullptr), 0);  // an empty line
  EXPECT_EQ(pair.sent(), "a b\r\n\n");
  pair.hangUp();
  EXPECT_EQ(writeJ_line(pair.near(), "gone"), -1);
}

TEST(SocketIO, CharacterRuns) {
  SocketPair pair;
  int s = pair.near();
  EXPECT_EQ(writeJ_n_chars(s, "hello\n", 6), 6);
  EXPECT_EQ(writeJ_n_chars(s, "ignored", 0), 0);
  EXPECT_EQ(pair.sent(), "hello\n");

  char buffer[8] = {};
  ASSERT_TRUE(pair.send("abcdefgh"));
  EXPECT_EQ(readJ_n_chars(s, buffer, 5), 5);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
  EXPECT_EQ(readJ_n_chars(s, buffer, 0), 0);
  pair.hangUp();
  EXPECT_EQ(readJ_n_chars(s, buffer, 8), 3);  // the peer closed: what arrived
  EXPECT_EQ(std::string(buffer, 3), "fgh");
}

// A peer that hung up must give -1, not a SIGPIPE that ends the process.
TEST(SocketIO, WritingToAClosedPeerFailsWithoutEndingTheProcess) {
  SocketPair pair;
  pair.hangUp();
  EXPECT_EQ(writeJ_SInt32(pair.near(), 1), -1);
  EXPECT_EQ(writeJ_Boolean(pair.near(), 1), -1);
  EXPECT_EQ(writeJ_n_chars(pair.near(), "x", 1), -1);
}

}  // namespace

TEST(SocketDeadline, HoldsReadsAndWritesToItAndNestedOnesNeverExtendIt) {
  using namespace std::chrono;
  SocketPair pair;
  ASSERT_TRUE(pair.send("ab"));
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
  ASSERT_TRUE(pair.send("c"));
  EXPECT_EQ(readJ_n_chars(pair.near(), got, 1), 1);
}

TEST(SocketInput, BytesReceivedAheadComeFirstThenTheSocketOrNothingMore) {
  using namespace std::chrono;
  SocketPair pair;
  ASSERT_TRUE(pair.send(std::string("\0\x2A", 2) + "cd"));
  const std::string ahead("\0\0", 2);
  {
    OB_SocketInput input(pair.near(), ahead.data(), ahead.size(), OB_SocketInput::kThenSocket);
    int32_t value = 0;
    EXPECT_EQ(readJ_SInt32(pair.near(), &value), 0);  // a field across both
    EXPECT_EQ(value, 42);
  }
  SocketPair other;
  ASSERT_TRUE(other.send("x"));
  const std::string line = "root\nse";
  {
    // Already past a deadline: what was received ahead is still there to read.
    OB_SocketDeadline limit(steady_clock::now() - milliseconds(1));
    OB_SocketInput input(pair.near(), line.data(), line.size(), OB_SocketInput::kNothingMore);
    char text[16];
    EXPECT_EQ(readJ_line(pair.near(), text, sizeof text), 4);
    EXPECT_STREQ(text, "root");
    EXPECT_FALSE(input.ranOut());
    EXPECT_EQ(readJ_line(pair.near(), text, sizeof text, kWholeLine), -1);
    EXPECT_TRUE(input.ranOut());
  }
  // Nothing more meant the socket was left alone; another socket never was its business.
  char rest[3] = {};
  EXPECT_EQ(readJ_n_chars(pair.near(), rest, 2), 2);
  EXPECT_STREQ(rest, "cd");
  EXPECT_EQ(readJ_n_chars(other.near(), rest, 1), 1);
}

// A reply built under locks: the request's rest taken off the socket beforehand is a nested
// input, read after what the outer one still holds and before the socket; sends stay in memory.
TEST(SocketInput, NestedInputsKeepTheOrderTheBytesArrivedIn) {
  SocketPair pair;
  ASSERT_TRUE(pair.send("ef"));
  const std::string outer = "xab";
  const std::string inner = "cd";
  OB_SocketInput first(pair.near(), outer.data(), outer.size(), OB_SocketInput::kThenSocket);
  char got[8] = {};
  ASSERT_EQ(readJ_n_chars(pair.near(), got, 1), 1);
  std::string reply;
  {
    OB_SocketInput later(pair.near(), inner.data(), inner.size(), OB_SocketInput::kThenSocket);
    OB_SocketReply capture(pair.near(), &reply);
    EXPECT_EQ(readJ_n_chars(pair.near(), got, 6), 6);
    EXPECT_STREQ(got, "abcdef");
    EXPECT_EQ(writeJ_line(pair.near(), "held"), 0);
  }
  EXPECT_EQ(reply, "held\n");
  const std::string more = "g";
  OB_SocketInput last(pair.near(), more.data(), more.size(), OB_SocketInput::kNothingMore);
  EXPECT_EQ(readJ_n_chars(pair.near(), got, 2), -1);
  EXPECT_TRUE(last.ranOut());
}
