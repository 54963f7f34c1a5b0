#include "OB_String.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <string>

#include "OB_List.h"
#include "OB_SocketIO.h"
#include "SocketPair.h"

namespace {

using corrana_test::SocketPair;

TEST(OB_String, ConstructorsSetRoomAndText) {
  OB_String empty;
  EXPECT_EQ(empty.getLength(), 0u);
  EXPECT_EQ(empty.getCapacity(), 33u);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(OB_String(10).getCapacity(), 11u);
  EXPECT_EQ(OB_String(10u).getCapacity(), 11u);

  OB_String fromNull(static_cast<const char*>(nullptr));
  EXPECT_EQ(fromNull.getLength(), 0u);
  EXPECT_EQ(fromNull.getCapacity(), 2u);

  OB_String exact("hello");
  EXPECT_EQ(exact.getLength(), 5u);
  EXPECT_EQ(exact.getCapacity(), 6u);
  OB_String roomy("hello", 10u);
  EXPECT_EQ(roomy.getCapacity(), 16u);
  EXPECT_STREQ(roomy, "hello");
  OB_String copy(roomy, 4u);
  EXPECT_EQ(copy.getCapacity(), 21u);
  EXPECT_STREQ(copy, "hello");
  EXPECT_NE(static_cast<const char*>(copy), static_cast<const char*>(roomy));
}

TEST(OB_String, BorrowedStorageIsNeverWrittenAndCopiesGetRoom) {
  char caller[] = "borrowed";
  OB_String borrowed(caller, OB_String::kBorrow);
  EXPECT_EQ(borrowed.getCapacity(), 0u);
  EXPECT_EQ(static_cast<const char*>(borrowed), caller);

  // A copy of a borrowed text owns room for the whole text, not one byte.
  OB_String copy(borrowed);
  EXPECT_GE(copy.getCapacity(), 9u);
  EXPECT_STREQ(copy, "borrowed");
  copy &= "!";
  EXPECT_STREQ(copy, "borrowed!");
  OB_String joined = borrowed & borrowed;
  EXPECT_STREQ(joined, "borrowedborrowed");

  borrowed &= "+";
  borrowed.toUpper();
  borrowed.truncateString(3);
  EXPECT_STREQ(borrowed, "BOR");
  OB_String shorter(caller, OB_String::kBorrow);
  shorter = "x";
  shorter.stpcvt(OB_String::kUpper);
  EXPECT_STREQ(shorter, "X");
  EXPECT_STREQ(caller, "borrowed");
}

TEST(OB_String, AssignmentFromItsOwnStorage) {
  OB_String s("hello world");
  s = static_cast<const char*>(s);
  EXPECT_STREQ(s, "hello world");
  s = static_cast<const char*>(s) + 6;
  EXPECT_STREQ(s, "world");
  EXPECT_EQ(s.getLength(), 5u);
  s = static_cast<const char*>(nullptr);
  EXPECT_STREQ(s, "");
  OB_String other("abc");
  s = other;
  EXPECT_STREQ(s, "abc");
  s = s;
  EXPECT_STREQ(s, "abc");
}

TEST(OB_String, ConcatenationAndRemoval) {
  OB_String s("ab");
  s &= "cd";
  s &= static_cast<const char*>(nullptr);
  s &= OB_String("ef");
  EXPECT_STREQ(s, "abcdef");
  EXPECT_EQ(s.getLength(), 6u);
  EXPECT_STREQ(s & "!", "abcdef!");
  EXPECT_STREQ("<" & s, "<abcdef");
  EXPECT_STREQ(s, "abcdef");

  OB_String banana("banana");
  EXPECT_STREQ(banana % "an", "bana");
  EXPECT_STREQ("xanax" % OB_String("an"), "xax");
  banana %= "a";
  EXPECT_STREQ(banana, "bnana");
  banana.extractSubString("a", OB_String::kAll);
  EXPECT_STREQ(banana, "bnn");
  OB_String nested("aabb");
  nested.extractSubString("ab", OB_String::kAll);
  EXPECT_STREQ(nested, "");

  OB_String out;
  out << "n=" << static_cast<uint32_t>(4000000000u) << " " << static_cast<int32_t>(-5) << " "
      << static_cast<int16_t>(-7) << " " << static_cast<uint16_t>(65535) << " " << 1.5;
  EXPECT_STREQ(out, "n=4000000000 -5 -7 65535 1.500000");
}

TEST(OB_String, SearchAndSubstrings) {
  OB_String hello("hello");
  EXPECT_EQ(hello.findSubString("ll"), 2);
  EXPECT_EQ(hello.findSubString("lo", 7), 3);
  EXPECT_EQ(hello.findSubString("x"), -1);
  EXPECT_EQ(hello.findSubString(""), -1);
  EXPECT_EQ(hello.findSubString(static_cast<const char*>(nullptr)), -1);
  EXPECT_EQ(OB_String("").findSubString("a"), -1);

  EXPECT_STREQ(hello.getSubString(2, 0), "llo");
  EXPECT_STREQ(hello.getSubString(1, 3), "ell");
  EXPECT_STREQ(hello.getSubString(1, 99), "ello");
  EXPECT_STREQ(hello.getSubString(5, 1), "");
  EXPECT_STREQ(hello.getSubString(9, 1), "");
  EXPECT_STREQ(hello.getSubString(-1, 2), "");

  OB_String abc("abc");
  abc.setSubString("XY", 1, 0);
  EXPECT_STREQ(abc, "aXYbc");
  abc.setSubString("123", -4, 2);
  EXPECT_STREQ(abc, "12aXYbc");
  abc.setSubString("!", 7, 0);
  EXPECT_STREQ(abc, "12aXYbc!");
  abc.setSubString("?", 9, 0);
  abc.setSubString("", 0, 0);
  EXPECT_STREQ(abc, "12aXYbc!");

  OB_String t("hello");
  t.truncateString(-1);
  t.truncateString(5);
  EXPECT_STREQ(t, "hello");
  t.truncateString(2);
  EXPECT_STREQ(t, "he");

  EXPECT_EQ(hello[0], 'h');
  EXPECT_EQ(hello[-3], 'h');
  EXPECT_EQ(hello[99u], '\0');
  hello[1] = 'a';
  EXPECT_STREQ(hello, "hallo");
  EXPECT_EQ(!OB_String(""), 1);
  EXPECT_EQ(!hello, 0);
}

TEST(OB_String, WildcardsAndConversions) {
  EXPECT_TRUE(OB_String("hello").wildcardSearch("h%l*"));
  EXPECT_FALSE(OB_String("hexo").wildcardSearch("h%l*"));
  EXPECT_FALSE(OB_String("").wildcardSearch("*"));
  EXPECT_FALSE(OB_String("abc").wildcardSearch(""));
  EXPECT_TRUE(OB_String("abc").wildcardSearch("*"));
  EXPECT_TRUE(OB_String("a.b.c.d").wildcardSearch("a*c*d"));
  EXPECT_FALSE(OB_String("a.b.c.d").wildcardSearch("a*c"));
  EXPECT_FALSE(OB_String("Hello").wildcardSearch("h*"));
  EXPECT_TRUE(OB_String("aaab").wildcardSearch("*a%"));

  OB_String s("  a   b  ");
  EXPECT_STREQ(s.stpcvt(OB_String::kSqueezeBlanks | OB_String::kTrimTrailing |
                        OB_String::kTrimLeading),
               "a b");
  EXPECT_EQ(s.getLength(), 3u);
  OB_String quoted(" x 'a  b' \t y ");
  EXPECT_STREQ(quoted.stpcvt(OB_String::kRemoveBlanks | OB_String::kKeepQuoted |
                             OB_String::kRemoveControls | OB_String::kUpper),
               "X'a  b'Y");
  OB_String mixed("MiXeD 1");
  EXPECT_STREQ(mixed.stpcvt(OB_String::kUpper | OB_String::kLower), "mixed 1");

  OB_String hex;
  const unsigned char bytes[] = {0x0A, 0xFF};
  hex.hexify(bytes, 2);
  EXPECT_STREQ(hex, "0AFF");
  hex.hexify(nullptr, 4);
  EXPECT_STREQ(hex, "");

  OB_String word("MiXed");
  word.toLower();
  EXPECT_STREQ(word, "mixed");
  word.toUpper();
  EXPECT_STREQ(word, "MIXED");
}

TEST(OB_String, HashStaysInRangeForEveryByte) {
  EXPECT_EQ(OB_String("ab").calcHash(1000), 417);
  EXPECT_EQ(OB_String("").calcHash(7), 0);
  EXPECT_EQ(OB_String("ab").calcHash(0), -1);
  EXPECT_EQ(OB_String("ab").calcHash(-3), -1);
  // Bytes of 0x80 and above count as negative; the bucket is still in 0 .. n-1.
  EXPECT_EQ(OB_String("\x80").calcHash(1000), 872);
  EXPECT_EQ(OB_String("\xff").calcHash(1000), 999);
  EXPECT_EQ(OB_String("a\x80").calcHash(1000), 191);
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  for (int n : {1, 2, 4093, 65536, 2147483647}) {
    int h = OB_String(all.c_str()).calcHash(n);
    EXPECT_GE(h, 0);
    EXPECT_LT(h, n);
  }
}

TEST(OB_String, ComparesByCollationInTheCLocale) {
  ASSERT_NE(setlocale(LC_COLLATE, "C"), nullptr);
  OB_String a("apple"), b("banana"), upper("Zebra");
  EXPECT_TRUE(a < b);
  EXPECT_TRUE(b > a);
  EXPECT_TRUE(a <= a);
  EXPECT_TRUE(a >= a);
  EXPECT_TRUE(a == "apple");
  EXPECT_TRUE("apple" == a);
  EXPECT_TRUE(a != b);
  EXPECT_TRUE("banana" > a);
  EXPECT_TRUE(a >= "apple");
  EXPECT_TRUE(upper < a);  // byte order: upper case first
  EXPECT_EQ(a.compare(&a, 0), 0);
  OB_String same("apple");
  EXPECT_EQ(a.compare(&same, 0), 0);
  EXPECT_EQ(a.compare(&b, 0), -1);
  OB_Compare notAString;
  EXPECT_EQ(a.compare(&notAString, 0), -1);
}

TEST(OB_String, FacesAndItsOwnListLink) {
  OB_String* s = OB_String::create();
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->getClassName(), "OB_String");
  EXPECT_EQ(s->getKey(), 0xFFFFFFFFu);
  EXPECT_EQ(obQuery<OB_String>(static_cast<OB_CalcHash*>(s)), s);
  EXPECT_NE(obQuery<OB_Link<OB_String>>(s), nullptr);
  EXPECT_NE(obQuery<OB_Key<uint32_t>>(s), nullptr);
  EXPECT_NE(obQuery<OB_Object>(s), nullptr);
  EXPECT_EQ(obQuery<OB_Link<OB_String>>(s)->getItem(), s);
  OB_Object* copy = s->copy();
  ASSERT_NE(obQuery<OB_String>(copy), nullptr);
  obRelease(copy);

  // A string is its own node in an intrusive list.
  OB_List<OB_String> list;
  list.setIntrusive(1);
  list.setOwner(1);
  *s = "one";
  list.append(s);
  list.append(new OB_String("two"));
  ASSERT_EQ(list.getCount(), 2);
  EXPECT_STREQ(*list.first(), "one");
  EXPECT_STREQ(*list.next(), "two");
}

TEST(OB_String, FileForms) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  // A line of exactly 2048 characters: a one-letter key, brace, 2045 value characters, brace.
  std::string longValue(2045, 'v');
  fprintf(f, "name{value}\nk{%s}\nnothing\n", longValue.c_str());
  OB_String written("plain");
  written.write(f);
  rewind(f);
  OB_String s;
  EXPECT_EQ(s.read(f), 0);
  EXPECT_STREQ(s, "value");
  EXPECT_EQ(s.read(f), 0);
  EXPECT_EQ(std::string(s), longValue);
  EXPECT_EQ(s.read(f), 0);
  EXPECT_STREQ(s, "");
  char rest[16] = {};
  ASSERT_NE(fgets(rest, sizeof rest, f), nullptr);
  EXPECT_STREQ(rest, "plain");
  fclose(f);
}

TEST(OB_String, SocketFormsCarryLinesOfAnyLength) {
  SocketPair pair;
  OB_String("hi\r").writeJ(pair.near());
  EXPECT_EQ(pair.sent(), "hi\r\n");

  std::string exact(2047, 'e');  // fills one read chunk exactly
  std::string huge(5000, 'h');
  ASSERT_TRUE(pair.send(exact + "\nz\n" + huge + "\n\n"));
  OB_String s;
  ASSERT_EQ(s.readJ(pair.near()), 0);
  EXPECT_EQ(std::string(s), exact);
  ASSERT_EQ(s.readJ(pair.near()), 0);
  EXPECT_STREQ(s, "z");
  ASSERT_EQ(s.readJ(pair.near()), 0);
  EXPECT_EQ(std::string(s), huge);
  ASSERT_EQ(s.readJ(pair.near()), 0);
  EXPECT_STREQ(s, "");

  OB_String round(huge.c_str());
  ASSERT_EQ(round.writeJ(pair.far()), 0);
  OB_String back;
  ASSERT_EQ(back.readJ(pair.near()), 0);
  EXPECT_TRUE(back == round);

  pair.hangUp();
  s = "stale";
  EXPECT_EQ(s.readJ(pair.near()), 0);
  EXPECT_STREQ(s, "");
  EXPECT_EQ(s.readJ(-1), -1);
}

}  // namespace
