#include "OB_NamedStringList.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OB_Options.h"
#include "OB_SocketIO.h"
#include "FileText.h"
#include "SocketPair.h"
#include "TempDir.h"

namespace {

using corrana_test::TempDir;
using corrana_test::readFile;
using corrana_test::writeFile;

// "name=value|..." in list order.
std::string dump(OB_NamedStringList& list) {
  std::string out;
  for (OB_String* s = list.first(); s != nullptr; s = list.next())
    out += std::string(list.getCurrentName()) + "=" + static_cast<const char*>(*s) + "|";
  return out;
}

// An owning list, so that the values read are released with it.
struct OwningList : OB_NamedStringList {
  OwningList() { setOwner(1); }
};

TEST(OB_NamedStringList, ReadsNamesValuesCommentsAndSeparators) {
  TempDir dir;
  writeFile(dir.file("a.cfg"),
            "Debug: 2\n"
            "key:value # note\n"
            "no separator here\n"
            "\n"
            "# only a comment\n"
            "  spaced name :\t  both: colons  \n"
            "empty:\n"
            "comment#Name:hidden\n"
            "last:no line feed");
  OwningList list;
  ASSERT_EQ(list.readFile(dir.file("a.cfg").c_str(), ':', nullptr), 0);
  EXPECT_EQ(dump(list),
            "Debug=2|key=value |  spaced name =both: colons  |empty=|last=no line feed|");
}

TEST(OB_NamedStringList, SqueezesNameCharactersAndDropsCarriageReturns) {
  TempDir dir;
  writeFile(dir.file("w.cfg"), "Packet Pools = 8\r\nSession\tPools=4 \r\n\r\nplain=x\r");
  OwningList list;
  ASSERT_EQ(list.readFile(dir.file("w.cfg").c_str(), '=', " \t"), 0);
  EXPECT_EQ(dump(list), "PacketPools=8|SessionPools=4 |plain=x|");
}

TEST(OB_NamedStringList, ReadsLongLinesWholeAndRoundTripsThem) {
  TempDir dir;
  const std::string longValue(3000, 'v');
  const std::string edge(255 - 5, 'e');  // "edge:" + 250 characters: exactly 255 on the line
  writeFile(dir.file("long.cfg"), "big:" + longValue + "\nedge:" + edge + "\nafter:1\n");
  OwningList list;
  ASSERT_EQ(list.readFile(dir.file("long.cfg").c_str(), ':', nullptr), 0);
  ASSERT_EQ(list.getCount(), 3);  // the rest of a long line is no entry of its own
  EXPECT_EQ(std::string(*list.find("big")), longValue);
  EXPECT_EQ(std::string(*list.find("edge")), edge);
  EXPECT_STREQ(*list.find("after"), "1");

  ASSERT_EQ(list.writeFile(dir.file("out.cfg").c_str(), ':'), 0);
  EXPECT_EQ(readFile(dir.file("out.cfg")),
            "big:" + longValue + "\nedge:" + edge + "\nafter:1\n");  // nothing cut
  OwningList again;
  ASSERT_EQ(again.readFile(dir.file("out.cfg").c_str(), ':', nullptr), 0);
  EXPECT_EQ(dump(again), dump(list));
}

TEST(OB_NamedStringList, ReadingTwiceAppendsAndFindGivesTheFirst) {
  TempDir dir;
  writeFile(dir.file("a.cfg"), "k:1\n");
  writeFile(dir.file("b.cfg"), "k:2\n");
  OwningList list;
  ASSERT_EQ(list.readFile(dir.file("a.cfg").c_str(), ':', nullptr), 0);
  ASSERT_EQ(list.readFile(dir.file("b.cfg").c_str(), ':', nullptr), 0);
  EXPECT_EQ(list.getCount(), 2);
  EXPECT_STREQ(*list.find("k"), "1");
  EXPECT_EQ(list.readFile(dir.file("missing.cfg").c_str(), ':', nullptr), -1);
  EXPECT_EQ(list.getCount(), 2);
  EXPECT_EQ(list.writeFile(dir.file("no/such/dir.cfg").c_str(), ':'), -1);
}

TEST(OB_NamedStringList, ValuesOutliveANonOwningList) {
  TempDir dir;
  writeFile(dir.file("a.cfg"), "k:kept\n");
  OB_String* value = nullptr;
  {
    OB_NamedStringList list;
    ASSERT_EQ(list.readFile(dir.file("a.cfg").c_str(), ':', nullptr), 0);
    value = list.find("k");
    ASSERT_NE(value, nullptr);
  }
  EXPECT_STREQ(*value, "kept");  // still alive: the caller may keep what it found
  value->release();
}

TEST(OB_NamedStringList, WritesCountAndValuesToStreamAndSocket) {
  OwningList list;
  list.append(new OB_String("one"), "a");
  list.append(new OB_String("two"), "b");

  FILE* stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(list.write(stream), 0);
  rewind(stream);
  char text[64] = {};
  fread(text, 1, sizeof text - 1, stream);
  fclose(stream);
  EXPECT_STREQ(text, "Count{2}\nonetwo");

  corrana_test::SocketPair pair;
  ASSERT_TRUE(pair.ok());
  EXPECT_EQ(list.writeJ(pair.far()), 0);
  uint16_t count = 0;
  char line[16];
  EXPECT_EQ(readJ_UInt16(pair.near(), &count), 0);
  EXPECT_EQ(count, 2);
  readJ_line(pair.near(), line, sizeof line);
  EXPECT_STREQ(line, "one");
  readJ_line(pair.near(), line, sizeof line);
  EXPECT_STREQ(line, "two");
}

TEST(OB_Options, PublishedListIsSeenWholeByEveryThread) {
  EXPECT_EQ(getOptions(), nullptr);

  OwningList first;
  OwningList second;
  second.append(new OB_String("2"), "Debug");
  std::atomic<int> agreed{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      OB_NamedStringList* options;
      while ((options = getOptions()) != &second) std::this_thread::yield();
      for (int n = 0; n < 1000; ++n) {
        OB_String* debug = options->find("Debug");
        if (debug == nullptr || std::string(*debug) != "2") return;
      }
      agreed.fetch_add(1);
    });
  }
  EXPECT_EQ(setOptions(&first), 0);
  EXPECT_EQ(getOptions(), &first);
  EXPECT_EQ(setOptions(&second), 0);  // replaces; the first list stays its owner's
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(agreed.load(), 4);
  EXPECT_EQ(first.getCount(), 0);
  setOptions(nullptr);
  EXPECT_EQ(getOptions(), nullptr);
}

}  // namespace
