#include "OB_Tools.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FileText.h"
#include "OB_Log.h"
#include "OB_Object.h"

namespace {

using corrana_test::readFile;

// A scratch install directory (with "logs") named by OB_INSTALLDIR for the test's length.
class ScratchInstall {
 public:
  ScratchInstall() {
    char pattern[] = "/tmp/corrana-tools-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    mkdir((path_ + "/logs").c_str(), 0755);
    setenv("OB_INSTALLDIR", path_.c_str(), 1);
  }
  ~ScratchInstall() {
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << command;
  }
  const std::string& path() const { return path_; }
  std::string log(const char* name) const { return readFile(path_ + "/logs/" + name + ".log"); }

 private:
  std::string path_;
};

// A stream over the given bytes, read from the start.
FILE* streamOf(const std::string& bytes) {
  FILE* stream = tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), stream);
  rewind(stream);
  return stream;
}

std::string contents(FILE* stream) {
  rewind(stream);
  std::string bytes;
  for (int c; (c = getc(stream)) != EOF;) bytes.push_back(static_cast<char>(c));
  return bytes;
}

// ---- install directory

TEST(InstallDir, ComesFromEnvironment) {
  ScratchInstall install;
  EXPECT_EQ(std::string(OB_Tools::getInstallDir()), install.path());
  EXPECT_EQ(OB_Tools::getInstallDir(), OB_Tools::getInstallDir());
}

TEST(InstallDir, DefaultsToConfBesideProgramFolder) {
  unsetenv("OB_INSTALLDIR");
  char program[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", program, sizeof program - 1), 0);
  std::string folder(program);
  folder = folder.substr(0, folder.rfind('/'));
  mkdir((folder + "/../conf").c_str(), 0755);
  // Named as the folder it is, without the "..".
  const std::string expected = folder.substr(0, folder.rfind('/')) + "/conf";
  EXPECT_EQ(std::string(OB_Tools::getInstallDir()), expected);
}

TEST(InstallDir, FileOrOverlongNameEndsProcessWithMessage) {
  ScratchInstall install;
  std::string file = install.path() + "/plain";
  std::ofstream(file) << "x";
  EXPECT_EXIT(
      {
        OB_Log::init("dir", 0, nullptr);
        setenv("OB_INSTALLDIR", file.c_str(), 1);
        OB_Tools::getInstallDir();
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(corrana_test::untimed(install.log("dir")),
            "the install directory " + file + " (OB_INSTALLDIR) does not exist or is no folder\n");

  std::string overlong = install.path() + "/" + std::string(300, 'a');
  EXPECT_EXIT(
      {
        OB_Log::init("long", 0, nullptr);
        setenv("OB_INSTALLDIR", overlong.c_str(), 1);
        OB_Tools::getInstallDir();
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_NE(install.log("long").find("the install directory " + overlong), std::string::npos);
}

// ---- texts and lines

TEST(Squeeze, DropsLeadingRunsOrEverySetCharacter) {
  char text[] = "  a b ";
  char out[16];
  EXPECT_STREQ(OB_Tools::squeeze(text, out, 1, nullptr), "a b ");
  EXPECT_STREQ(OB_Tools::squeeze(text, out, 0, nullptr), "ab");
  EXPECT_STREQ(OB_Tools::squeeze(text, out, 2, nullptr), "ab ");
  char date[] = "Tue Dec  8 07:31:46 2026\n";
  EXPECT_STREQ(OB_Tools::squeeze(date, nullptr, 0, ": \n"), "TueDec8073146" "2026");
  EXPECT_STREQ(date, "TueDec80731462026");
}

TEST(GetLine, ReportsEndOfFileButKeepsLastLineText) {
  FILE* stream = streamOf("first\nlast");
  char buffer[8];
  EXPECT_EQ(OB_Tools::getline(stream, buffer, 7), 5);
  EXPECT_STREQ(buffer, "first");
  EXPECT_EQ(OB_Tools::getline(stream, buffer, 7), -1);
  EXPECT_STREQ(buffer, "last");
  fclose(stream);

  // A CR LF line end leaves no CR in the line; a CR inside the line stays.
  stream = streamOf("Ti{}\r\na\rb\r\n");
  EXPECT_EQ(OB_Tools::getline(stream, buffer, 7), 4);
  EXPECT_STREQ(buffer, "Ti{}");
  EXPECT_EQ(OB_Tools::getline(stream, buffer, 7), 3);
  EXPECT_STREQ(buffer, "a\rb");
  fclose(stream);

  stream = streamOf("abcdefghij\n");
  char exact[5];
  EXPECT_EQ(OB_Tools::getline(stream, exact, 4), 4);
  EXPECT_STREQ(exact, "abcd");
  fclose(stream);
}

TEST(GetConfigValue, TakesTextBetweenBraces) {
  char line[] = "mName{www.example.org}\n";
  EXPECT_STREQ(OB_Tools::getConfigValue(nullptr, line), "www.example.org");
  char empty[] = "Title{}\n";
  EXPECT_EQ(OB_Tools::getConfigValue(nullptr, empty), nullptr);
  char bare[] = "plain\n";
  EXPECT_EQ(OB_Tools::getConfigValue(nullptr, bare), nullptr);
}

// ---- readConfig

struct Seen {
  std::vector<std::string> values;
};

void remember(const char* value, void* context) {
  static_cast<Seen*>(context)->values.push_back(value);
}

void readTable(const std::string& file, OB_Tools::Configuration* table, Seen* seen) {
  FILE* stream = streamOf(file);
  OB_Tools::readConfig(stream, table, seen);
  fclose(stream);
}

TEST(ReadConfig, CutsTrailingCommentAndBlanksButKeepsInnerBlanks) {
  OB_Tools::Configuration table[] = {
      {"port", "default", nullptr},
      {"dbpath", "default", nullptr},
      {"range", "", remember},
      {"device", "default", nullptr},
      {nullptr, "", nullptr},
  };
  Seen seen;
  readTable(
      "# installation\n"
      "\n"
      "   port: 8189  # default\n"
      "dbpath = /srv/my db  \r\n"
      "range 10.0.0.1 10.0.0.9  # office\n"
      "device:eth0", table, &seen);
  EXPECT_STREQ(table[0].value, "8189");
  EXPECT_STREQ(table[1].value, "/srv/my db");
  EXPECT_STREQ(table[2].value, "10.0.0.1 10.0.0.9  # office");
  EXPECT_STREQ(table[3].value, "eth0");
  ASSERT_EQ(seen.values.size(), 1u);
  EXPECT_EQ(seen.values[0], "10.0.0.1 10.0.0.9  # office");
}

TEST(ReadConfig, FirstPrefixRowTakesLineAndHandlerSeesEveryOccurrence) {
  OB_Tools::Configuration table[] = {
      {"port", "default", nullptr},
      {"portal", "default", nullptr},
      {"range", "", remember},
      {nullptr, "", nullptr},
  };
  Seen seen;
  readTable("range a b\nportal: x\nrange c d\n# range e f\n", table, &seen);
  EXPECT_STREQ(table[0].value, "al: x");
  EXPECT_STREQ(table[1].value, "default");
  ASSERT_EQ(seen.values.size(), 2u);
  EXPECT_EQ(seen.values[1], "c d");
  EXPECT_STREQ(table[2].value, "c d");
}

TEST(ReadConfig, LongValuesAreCutAndLongLinesDoNotSpillIntoNextLine) {
  OB_Tools::Configuration table[] = {
      {"dbpath", "default", nullptr},
      {"port", "default", nullptr},
      {nullptr, "", nullptr},
  };
  std::string longValue(300, 'v');
  // The 1100-character line ends in text that would read as a port line of its own.
  std::string longLine = "dbpath " + std::string(1024 - 7, 'w') + "port 1";
  readTable("dbpath " + longValue + "\nport 2\n" + longLine + "\n", table, nullptr);
  EXPECT_EQ(std::string(table[0].value), std::string(127, 'w'));
  EXPECT_STREQ(table[1].value, "2");

  readTable("dbpath " + longValue, table, nullptr);
  EXPECT_EQ(std::string(table[0].value), std::string(127, 'v'));
}

// ---- addresses

int fakeLookup(uint32_t address, char* name, size_t size) {
  if (address == 0x0A000001) {
    snprintf(name, size, "%s", "Gateway.Example.ORG");
    return 0;
  }
  if (address == 0x0A000002) {
    name[0] = '\0';
    return 0;
  }
  return -1;
}

TEST(Addresses, DottedQuadAndReverseLookup) {
  char quad[16];
  EXPECT_STREQ(OB_Tools::IPAddressString(0xC0A80A01, quad), "192.168.10.1");
  EXPECT_STREQ(OB_Tools::IPAddressString(0xFFFFFFFF, quad), "255.255.255.255");

  OB_Tools::setReverseLookup(fakeLookup);
  char name[128];
  uint32_t named = 0x0A000001, empty = 0x0A000002, unknown = 0x0A000003;
  EXPECT_STREQ(OB_Tools::resolveIP(&named, name, sizeof name), "gateway.example.org");
  EXPECT_STREQ(OB_Tools::resolveIP(&empty, name, sizeof name), "10.0.0.2");
  EXPECT_STREQ(OB_Tools::resolveIP(&unknown, name, sizeof name), "10.0.0.3");
  char small[8];
  EXPECT_STREQ(OB_Tools::resolveIP(&named, small, sizeof small), "gateway");
  EXPECT_STREQ(OB_Tools::resolveIP(&unknown, small, sizeof small), "10.0.0.");
  OB_Tools::setReverseLookup(nullptr);
}

// ---- time

TEST(TimeSubtract, BorrowsMicrosecondsAndSpansLargeGaps) {
  timeval a{5, 100}, b{3, 200};
  EXPECT_EQ(OB_Tools::timeSubtract(&a, &b), 1999900);
  EXPECT_EQ(OB_Tools::timeSubtract(&b, &a), -1999900);
  timeval later{1700003000, 0}, earlier{1700000000, 1};
  EXPECT_EQ(OB_Tools::timeSubtract(&later, &earlier), 2999999999LL);
  EXPECT_EQ(OB_Tools::timeSubtract32(&later, &earlier), INT32_MAX);
  EXPECT_EQ(OB_Tools::timeSubtract32(&earlier, &later), INT32_MIN);
  EXPECT_EQ(OB_Tools::timeSubtract32(&a, &b), 1999900);

  timeval now{0, 77};
  EXPECT_EQ(OB_Tools::gettimeofday(&now, nullptr), 0);
  EXPECT_EQ(now.tv_usec, 0);
  EXPECT_GT(now.tv_sec, 1600000000);
}

// ---- page tests

TEST(PageTests, StatusMimeSpaceAndEntryPoint) {
  EXPECT_EQ(OB_Tools::isValidPage("2045"), 0);
  EXPECT_EQ(OB_Tools::isValidPage("2031"), 1);
  EXPECT_EQ(OB_Tools::isValidPage("304"), 1);
  EXPECT_EQ(OB_Tools::isValidPage("20"), 0);
  EXPECT_EQ(OB_Tools::isValidPage(nullptr), 0);

  EXPECT_EQ(OB_Tools::isContentMIME("text/html"), 1);
  EXPECT_EQ(OB_Tools::isContentMIME("x-application/zip"), 1);
  EXPECT_EQ(OB_Tools::isContentMIME("Text/html"), 0);
  EXPECT_EQ(OB_Tools::isContentMIME("image/gif"), 0);

  EXPECT_EQ(OB_Tools::isAllSpace(""), 1);
  EXPECT_EQ(OB_Tools::isAllSpace(" \t\r\n"), 1);
  EXPECT_EQ(OB_Tools::isAllSpace("  x "), 0);

  char host[] = "WWW.Example.Org";
  EXPECT_EQ(OB_Tools::isEntryPoint(host, "http://WWW.EXAMPLE.ORG/index.html", "text/html"), 0);
  EXPECT_STREQ(host, "www.example.org");
  EXPECT_EQ(OB_Tools::isEntryPoint(host, "http://other.net/", "text/html"), 1);
  EXPECT_EQ(OB_Tools::isEntryPoint(host, "", "image/gif"), 0);
  EXPECT_EQ(OB_Tools::isEntryPoint(host, nullptr, "text/plain"), 1);
  std::string farReferer = std::string(1100, 'x') + "www.example.org";
  EXPECT_EQ(OB_Tools::isEntryPoint(host, farReferer.c_str(), "text/html"), 1);
}

// The rule in place of a lower-cased copy: same answers, the pattern left as given.
TEST(Tools, EntryPointIgnoringCaseMatchesTheCopyingRule) {
  EXPECT_EQ(OB_Tools::isContentMIME("multipart/x-video/mp4"), 1);
  EXPECT_EQ(OB_Tools::isContentMIME("textual/plain"), 0);
  EXPECT_EQ(OB_Tools::isContentMIME("/text"), 0);

  const char host[] = "WWW.Example.Org";
  EXPECT_EQ(OB_Tools::isEntryPointIgnoringCase(host, "HTTP://www.example.ORG/a", "text/html"), 0);
  EXPECT_STREQ(host, "WWW.Example.Org");
  EXPECT_EQ(OB_Tools::isEntryPointIgnoringCase(host, "http://www.example.co/", "text/html"), 1);
  EXPECT_EQ(OB_Tools::isEntryPointIgnoringCase(nullptr, "http://a/", "text/html"), 0);
  EXPECT_EQ(OB_Tools::isEntryPointIgnoringCase(host, "", "video/mp4"), 1);

  // Only the referer's first 1022 characters are searched: a name ending at the 1022nd counts.
  const std::string name = "www.example.org";
  const std::string within = std::string(1022 - name.size(), 'x') + name;
  EXPECT_EQ(OB_Tools::isEntryPointIgnoringCase(host, within.c_str(), "text/html"), 0);
  EXPECT_EQ(OB_Tools::isEntryPointIgnoringCase(host, ("y" + within).c_str(), "text/html"), 1);
  char copy[] = "WWW.Example.Org";
  EXPECT_EQ(OB_Tools::isEntryPoint(copy, ("y" + within).c_str(), "text/html"), 1);
  EXPECT_EQ(OB_Tools::containsIgnoringCase("abc", 3, "ABC"), true);
  EXPECT_EQ(OB_Tools::containsIgnoringCase("abc", 2, "ABC"), false);
}

// ---- 16-bit length texts

TEST(LengthText, WritesLittleEndianLengthAndAtMost65535Bytes) {
  FILE* stream = tmpfile();
  EXPECT_EQ(OB_Tools::writeString("abc", stream), 0);
  EXPECT_EQ(OB_Tools::writeString("", stream), 0);
  EXPECT_EQ(contents(stream), std::string("\x03\x00" "abc" "\x00\x00", 7));
  fclose(stream);

  stream = tmpfile();
  EXPECT_EQ(OB_Tools::writeString(std::string(300, 'z').c_str(), stream), 0);
  std::string bytes = contents(stream);
  ASSERT_EQ(bytes.size(), 302u);
  EXPECT_EQ(bytes.substr(0, 2), std::string("\x2C\x01", 2));
  fclose(stream);

  stream = tmpfile();
  EXPECT_EQ(OB_Tools::writeString(std::string(70000, 'q').c_str(), stream), 0);
  bytes = contents(stream);
  ASSERT_EQ(bytes.size(), 2u + 65535u);
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFF", 2));
  fclose(stream);
}

TEST(LengthText, ReadersRoundTripAndRefuseBadLengths) {
  FILE* stream = tmpfile();
  OB_Tools::writeString("ambervolte", stream);
  OB_Tools::writeString("", stream);
  OB_Tools::writeString("eth0", stream);
  rewind(stream);
  char magic[16];
  EXPECT_EQ(OB_Tools::readStringNoMalloc(magic, 15, stream), 0);
  EXPECT_STREQ(magic, "ambervolte");
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(OB_Tools::readStringMalloc(&text, stream), 0);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(OB_Tools::readStringMalloc(&text, stream), 0);
  EXPECT_STREQ(text, "eth0");
  free(text);
  EXPECT_EQ(OB_Tools::readStringMalloc(&text, stream), -1);
  EXPECT_EQ(text, nullptr);
  fclose(stream);

  char prefix[9];
  stream = streamOf(std::string("\x09\x00" "123456789", 11));
  EXPECT_EQ(OB_Tools::readStringNoMalloc(prefix, 8, stream), -1);
  fclose(stream);
  stream = streamOf(std::string("\x08\x00" "1234", 6));
  EXPECT_EQ(OB_Tools::readStringNoMalloc(prefix, 8, stream), -1);
  EXPECT_STREQ(prefix, "1234");
  fclose(stream);
}

TEST(LengthText, MallocReaderFreesAndNullsOnShortOrLongText) {
  FILE* stream = streamOf(std::string("\x05\x00" "ab", 4));
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(OB_Tools::readStringMalloc(&text, stream), -1);
  EXPECT_EQ(text, nullptr);
  fclose(stream);

  stream = streamOf(std::string("\x01\x08", 2) + std::string(2049, 'x'));
  text = reinterpret_cast<char*>(1);
  EXPECT_EQ(OB_Tools::readStringMalloc(&text, stream), -1);
  EXPECT_EQ(text, nullptr);
  fclose(stream);

  stream = streamOf(std::string("\x00\x08", 2) + std::string(2048, 'x'));
  EXPECT_EQ(OB_Tools::readStringMalloc(&text, stream), 0);
  EXPECT_EQ(strlen(text), 2048u);
  free(text);
  fclose(stream);
}

// ---- scanners

TEST(Scanners, WhiteSpaceAndLineEnds) {
  const char text[] = " \t\r\nword \tnext\r\n\r\nbody";
  const char* end = text + sizeof text - 1;
  const char* p = text;
  OB_Tools::LWS(&p, text + 2);
  EXPECT_EQ(p, text + 2);
  OB_Tools::LWS_r(&p);
  EXPECT_EQ(p, text + 4);
  p += 4;
  OB_Tools::RmWhiteSpace_r(&p);
  EXPECT_EQ(*p, 'n');

  EXPECT_EQ(OB_Tools::ScanLine_r(text + 4, end), 1);
  EXPECT_EQ(OB_Tools::ScanLine_r(text + 4, text + 15), 0);
  EXPECT_EQ(OB_Tools::ScanLine_r(end, end), 0);

  p = text + 4;
  EXPECT_EQ(OB_Tools::IgnoreLine_r(&p, end), 1);
  EXPECT_EQ(std::string(p), "\r\nbody");
  p = text + 16;
  EXPECT_EQ(OB_Tools::IgnoreLine_r(&p, end), 1);
  EXPECT_STREQ(p, "body");
  EXPECT_EQ(OB_Tools::IgnoreLine_r(&p, end), 0);
  EXPECT_EQ(p, end);
}

TEST(Tokens, SavePointersKeepTokenisersApart) {
  char first[] = "a;b;c";
  char second[] = "x y";
  char* saveFirst = nullptr;
  char* saveSecond = nullptr;
  EXPECT_STREQ(OB_Tools::strtok(first, ";", &saveFirst), "a");
  EXPECT_STREQ(OB_Tools::strtok(second, " ", &saveSecond), "x");
  EXPECT_STREQ(OB_Tools::strtok(nullptr, ";", &saveFirst), "b");
  EXPECT_STREQ(OB_Tools::strtok(nullptr, " ", &saveSecond), "y");
  EXPECT_STREQ(OB_Tools::strtok(nullptr, ";", &saveFirst), "c");
  EXPECT_EQ(OB_Tools::strtok(nullptr, ";", &saveFirst), nullptr);
  char* copy = OB_Tools::strdup("dup");
  EXPECT_STREQ(copy, "dup");
  free(copy);
  EXPECT_EQ(OB_Tools::strdup(nullptr), nullptr);
}

// ---- findPattern

TEST(FindPattern, FindsFirstOccurrenceAtOrAfterStart) {
  const char buffer[] = "aaabHTTP/1.0";
  int length = sizeof buffer - 1;
  EXPECT_EQ(OB_Tools::findPattern("aab", 3, buffer, length, 1, 0), 1);
  EXPECT_EQ(OB_Tools::findPattern("HTTP/", 5, buffer, length, 1, 0), 4);
  EXPECT_EQ(OB_Tools::findPattern("HTTP/", 5, buffer, length, 1, 5), -1);
  EXPECT_EQ(OB_Tools::findPattern("z", 1, buffer, length, 1, 0), -1);
  EXPECT_EQ(OB_Tools::findPattern("1.0", 3, buffer, length, 1, 9), 9);
  EXPECT_EQ(OB_Tools::findPattern("1.0x", 4, buffer, length, 1, 9), -1);
  EXPECT_EQ(OB_Tools::findPattern("a", 1, buffer, length, 1, length), -1);
  EXPECT_EQ(OB_Tools::findPattern("a", 1, buffer, length, 1, -1), -1);
  EXPECT_EQ(OB_Tools::findPattern("a", 0, buffer, length, 1, 0), -1);
  EXPECT_EQ(OB_Tools::findPattern(nullptr, 1, buffer, length, 1, 0), -1);
  EXPECT_EQ(OB_Tools::findPattern("http/", 5, buffer, length, 1, 0), -1);
  EXPECT_EQ(OB_Tools::findPattern("http/", 5, buffer, length, 0, 0), 4);
}

// ---- sort

class Keyed : public virtual OB_Compare {
  OB_CLASS_IDENTITY(Keyed, 0x7E570001, "Keyed", OB_Compare)

 public:
  Keyed(int key, int serial) : key_(key), serial_(serial) {}
  // Three-way by key when how is 0, as the default comparison asks.
  int compare(OB_Compare* other, int how) override {
    Keyed* that = obQuery<Keyed>(other);
    if (how != 0 || that == nullptr) return -1;
    return key_ < that->key_ ? -1 : key_ > that->key_ ? 1 : 0;
  }
  int key_;
  int serial_;
};

int equalityOnly(OB_Object* a, OB_Object* b) {
  return obQuery<Keyed>(a)->key_ == obQuery<Keyed>(b)->key_ ? 0 : -1;
}

int descending(OB_Object* a, OB_Object* b) {
  return obQuery<Keyed>(b)->key_ - obQuery<Keyed>(a)->key_;
}

std::vector<Keyed*> makeKeyed(int n) {
  std::vector<Keyed*> items;
  unsigned seed = 12345;
  for (int i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    items.push_back(new Keyed(static_cast<int>((seed >> 16) % 17), i));
  }
  return items;
}

std::vector<OB_Object*> faces(const std::vector<Keyed*>& items) {
  std::vector<OB_Object*> objects;
  for (Keyed* item : items) objects.push_back(obQuery<OB_Object>(item));
  return objects;
}

TEST(Sort, DefaultComparisonSortsStablyThroughCompareFace) {
  std::vector<Keyed*> items = makeKeyed(1000);
  std::vector<OB_Object*> objects = faces(items);
  OB_Tools::sort(objects.data(), static_cast<int>(objects.size()), nullptr);
  for (size_t i = 1; i < objects.size(); ++i) {
    Keyed* before = obQuery<Keyed>(objects[i - 1]);
    Keyed* after = obQuery<Keyed>(objects[i]);
    ASSERT_LE(before->key_, after->key_);
    if (before->key_ == after->key_) {
      ASSERT_LT(before->serial_, after->serial_);
    }
  }
  OB_Tools::sort(objects.data(), static_cast<int>(objects.size()), descending);
  for (size_t i = 1; i < objects.size(); ++i)
    ASSERT_GE(obQuery<Keyed>(objects[i - 1])->key_, obQuery<Keyed>(objects[i])->key_);
  for (Keyed* item : items) obRelease(item);
}

TEST(Sort, EqualityOnlyOrMissingFacesLeaveOrderAlone) {
  std::vector<Keyed*> items = makeKeyed(257);
  std::vector<OB_Object*> objects = faces(items);
  std::vector<OB_Object*> original = objects;
  OB_Tools::sort(objects.data(), static_cast<int>(objects.size()), equalityOnly);
  EXPECT_EQ(objects, original);

  std::vector<OB_Object*> plain;
  for (int i = 0; i < 5; ++i) plain.push_back(OB_Object::create());
  plain.push_back(original[0]);
  std::vector<OB_Object*> plainOrder = plain;
  OB_Tools::sort(plain.data(), static_cast<int>(plain.size()), nullptr);
  EXPECT_EQ(plain, plainOrder);
  for (int i = 0; i < 5; ++i) obRelease(plain[i]);
  OB_Tools::sort(nullptr, 3, nullptr);
  OB_Tools::sort(objects.data(), 0, nullptr);
  for (Keyed* item : items) obRelease(item);
}

// ---- sockets

int openFds() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

TEST(TestSocket, ClosesItsSocketAndTakesOwnListeningPortsAsFree) {
  ScratchInstall install;
  OB_Log::init("socket", 0, nullptr);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  int port = ntohs(address.sin_port);

  int fds = openFds();
  EXPECT_EQ(OB_Tools::testSocket(port), 0);
  EXPECT_EQ(openFds(), fds);
  OB_Tools::registerListeningPort(port);
  OB_Tools::registerListeningPort(port);
  EXPECT_EQ(OB_Tools::testSocket(port), 1);
  OB_Tools::unregisterListeningPort(port);
  EXPECT_EQ(OB_Tools::testSocket(port), 1);
  OB_Tools::unregisterListeningPort(port);
  EXPECT_EQ(OB_Tools::testSocket(port), 0);
  close(listener);
  EXPECT_EQ(OB_Tools::testSocket(port), 1);
  EXPECT_EQ(openFds(), fds - 1);
  EXPECT_EQ(OB_Tools::testSocket(70000), 0);
  OB_Log::reset();

  std::string log = install.log("socket");
  size_t first = log.find(" - bind: Address already in use\n");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(" - bind: Address already in use\n", first + 1), std::string::npos);
  EXPECT_NE(log.find(" - bind: Invalid argument\n"), std::string::npos);
}

TEST(SocketErrors, TextsByCodeAndCodesFromErrno) {
  EXPECT_STREQ(socketErrorString(10048), "Address already in use");
  EXPECT_STREQ(socketErrorString(10004), "Interrupted system call");
  EXPECT_STREQ(socketErrorString(11004), "No data record available");
  EXPECT_STREQ(socketErrorString(0), "Unknown");
  EXPECT_STREQ(socketErrorString(10000), "Unknown");
  EXPECT_EQ(socketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(socketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(socketErrorFromErrno(0), 0);
}

}  // namespace
