// The archive file header: its exact bytes, what read refuses, the console's list entry, and the
// archive file and lock file names.
#include "archive/OB_ArchiveHeader.h"

#include <gtest/gtest.h>

#include "LocalZone.h"
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "OB_SocketIO.h"
#include "SocketPair.h"
#include "archive/OB_Archive.h"
#include "coding/OB_ArchiveIO.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes written(OB_ArchiveHeader& header) {
  FILE* file = tmpfile();
  EXPECT_EQ(header.write(file), 0);
  Bytes bytes(static_cast<size_t>(ftell(file)));
  rewind(file);
  EXPECT_EQ(fread(bytes.data(), 1, bytes.size(), file), bytes.size());
  fclose(file);
  return bytes;
}

// read over the bytes; the data offset on success, else -1.
int readBytes(OB_ArchiveHeader& header, const Bytes& bytes) {
  FILE* file = tmpfile();
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
  rewind(file);
  int result = header.read(file);
  fclose(file);
  return result == 0 ? header.getDataOffset() : -1;
}

void counted(Bytes& out, const std::string& text) {
  out.push_back(static_cast<unsigned char>(text.size()));
  out.push_back(static_cast<unsigned char>(text.size() >> 8));
  out.insert(out.end(), text.begin(), text.end());
}

// A header in file form with the given magic word, prefix and value count (values all 7).
Bytes headerBytes(const std::string& magic, const std::string& prefix, uint16_t count) {
  Bytes out;
  counted(out, magic);
  out.insert(out.end(), {3, 0, 0, 0, 0x10, 0x20, 0x30, 0x40, 0, 0, 0, 0});
  counted(out, prefix);
  counted(out, "eth0");
  counted(out, "tcp port 80");
  out.push_back(static_cast<unsigned char>(count));
  out.push_back(static_cast<unsigned char>(count >> 8));
  for (int i = 0; i < (count > 300 ? 0 : count); ++i) out.insert(out.end(), {7, 0});
  return out;
}

TEST(OB_ArchiveHeader, FreshHttpHeaderIsThirtySixGoldenBytes) {
  OB_ArchiveHeader header("/db/http-x", 3, 0x04030201, 0, "http", nullptr, nullptr, 0, nullptr);
  const Bytes expected = {10, 0, 'a', 'm', 'b', 'e', 'r', 'v', 'o', 'l', 't', 'e',
                          3, 0, 0, 0,              // type
                          1, 2, 3, 4,              // start
                          0, 0, 0, 0,              // stop, at offset 20
                          4, 0, 'h', 't', 't', 'p',  // prefix
                          0, 0, 0, 0,              // device, filter
                          0, 0};                   // no values
  EXPECT_EQ(written(header), expected);

  OB_ArchiveHeader back("/db/http-x");
  EXPECT_EQ(readBytes(back, expected), 36);
  EXPECT_EQ(back.getType(), 3);
  EXPECT_EQ(back.openTime(), 0x04030201u);
  EXPECT_EQ(back.closeTime(), 0u);
  EXPECT_STREQ(back.getPrefix(), "http");
  EXPECT_STREQ(back.getDevice(), "");
  EXPECT_STREQ(back.getFilter(), "");
}

TEST(OB_ArchiveHeader, ReadRefusesHostileHeadersAndKeepsWhatItHad) {
  OB_ArchiveHeader header("f");
  const Bytes good = headerBytes("ambervolte", "http", 2);
  ASSERT_EQ(readBytes(header, good), static_cast<int>(good.size()));
  EXPECT_EQ(readBytes(header, headerBytes("ambervolteX", "http", 0)), -1);
  EXPECT_EQ(readBytes(header, headerBytes(std::string(40000, 'a'), "http", 0)), -1);
  EXPECT_EQ(readBytes(header, headerBytes("AMBERVOLTE", "http", 0)), -1);
  EXPECT_EQ(readBytes(header, headerBytes("ambervolte", "httpxxxxx", 0)), -1);  // 9 letters
  EXPECT_EQ(readBytes(header, headerBytes("ambervolte", "httpxxxx", 0)), 55);   // 8 letters
  ASSERT_EQ(readBytes(header, good), static_cast<int>(good.size()));
  EXPECT_EQ(readBytes(header, headerBytes("ambervolte", "http", 257)), -1);
  EXPECT_EQ(readBytes(header, headerBytes("ambervolte", "http", 0xFFFF)), -1);  // negative
  Bytes longDevice;
  counted(longDevice, "ambervolte");
  longDevice.insert(longDevice.end(), 12, 0);
  counted(longDevice, "http");
  counted(longDevice, std::string(2049, 'd'));
  EXPECT_EQ(readBytes(header, longDevice), -1);
  for (size_t cut = 0; cut < good.size(); ++cut)
    EXPECT_EQ(readBytes(header, Bytes(good.begin(), good.begin() + cut)), -1) << cut;

  // None of the refused headers changed it.
  EXPECT_STREQ(header.getDevice(), "eth0");
  EXPECT_STREQ(header.getPrefix(), "http");
  EXPECT_EQ(header.getValueCount(), 2);
  EXPECT_EQ(header.openTime(), 0x40302010u);
}

TEST(OB_ArchiveHeader, ValueListAndPrefixAreHeldToTheirRoom) {
  std::vector<int16_t> many(300, 5);
  OB_ArchiveHeader header("f", 3, 1, 0, "networkstats", "eth0", "port 80", 300, many.data());
  EXPECT_EQ(header.getValueCount(), OB_ArchiveHeader::kMaxValues);
  EXPECT_STREQ(header.getPrefix(), "networks");
  // What is written can be read back.
  OB_ArchiveHeader back("f");
  const Bytes bytes = written(header);
  EXPECT_EQ(readBytes(back, bytes), static_cast<int>(bytes.size()));
  EXPECT_EQ(back.getValue(255), 5);
  OB_ArchiveHeader copy(&back);
  EXPECT_EQ(written(copy), bytes);
  EXPECT_STREQ(copy.getName(), "f");
}

TEST(OB_ArchiveHeader, DatabaseListEntrySendsTheTypeIn16BitsAndTextsAsLines) {
  corrana_test::SocketPair pair;
  OB_ArchiveHeader header("/db/http-a", 0x10003, 5, 6, "http", std::string(3000, 'd').c_str(),
                          "f", 0, nullptr);
  ASSERT_EQ(header.writeJ(pair.near()), 0);
  const std::string got = pair.drain();
  const std::string numbers("\0\0\0\x03\0\0\0\0\0\0\0\x05\0\0\0\0\0\0\0\x06", 20);
  EXPECT_EQ(got, "/db/http-a\n" + numbers + "http\n" + std::string(2047, 'd') + "\nf\n");
}

TEST(OB_ArchiveNames, FileNameIsPrefixAndSqueezedLocalAsctime) {
  LocalZone zone("UTC0");
  struct tm when = {};
  when.tm_year = 2026 - 1900;
  when.tm_mon = 11;
  when.tm_mday = 8;
  when.tm_hour = 7;
  when.tm_min = 31;
  when.tm_sec = 46;
  EXPECT_STREQ(OB_Archive::fileName("http", timegm(&when)), "http-TueDec80731462026");
  when.tm_mday = 18;
  when.tm_hour = 23;
  EXPECT_STREQ(OB_Archive::fileName("ftp", timegm(&when)), "ftp-FriDec182331462026");
  EXPECT_STREQ(OB_Archive::lockPath("/var/db", "http"), "/var/db/http.lock");
}

}  // namespace
