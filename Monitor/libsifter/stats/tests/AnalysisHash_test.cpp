#include "stats/AnalysisHash.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "FileText.h"
#include "OB_Tools.h"
#include "SifterTestSupport.h"
#include "TempDir.h"

namespace {

using sifter_test::ip;

// The resolver thread reads these while a test writes them: names under namesLock.
std::map<uint32_t, std::string> names;
std::mutex namesLock;
std::atomic<int> lookups{0};

int fakeLookup(uint32_t address, char* name, size_t size) {
  ++lookups;
  std::lock_guard<std::mutex> hold(namesLock);
  auto found = names.find(address);
  if (found == names.end()) return -1;
  snprintf(name, size, "%s", found->second.c_str());
  return 0;
}

std::string u32(uint32_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
std::string u16le(uint16_t v) { return {char(v), char(v >> 8)}; }
// One record of the cache file, in the bucket its address belongs to unless told otherwise.
std::string record(uint32_t address, const std::string& name, int64_t bucket = -1) {
  uint32_t b = bucket < 0 ? address % kDomainHashBuckets : static_cast<uint32_t>(bucket);
  return u32(b) + u32(address) + u16le(static_cast<uint16_t>(name.size())) + name;
}

// A resolver that does not answer until the gate opens, and one that answers a while late.
std::mutex gateLock;
std::condition_variable gateOpened;
bool gateOpen = false;
std::atomic<int> silentAsked{0};
int silentLookup(uint32_t, char*, size_t) {
  ++silentAsked;
  std::unique_lock<std::mutex> hold(gateLock);
  gateOpened.wait(hold, [] { return gateOpen; });
  return -1;
}
int lateLookup(uint32_t address, char* name, size_t size) {
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  snprintf(name, size, "host-%u.example.org", address & 0xFF);
  return 0;
}

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class AnalysisHashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.file("db"));
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
    OB_Tools::setReverseLookup(fakeLookup);
    names = {{ip(10, 0, 0, 1), "www.example.org"}, {ip(10, 0, 0, 2), "mail.example.org"}};
    lookups = 0;
  }
  void TearDown() override {
    AnalysisHash_free();
    OB_Tools::setReverseLookup(nullptr);
  }

  std::string dbPath() const { return dir_.file("db/domains.db"); }
  std::string fileBytes() const { return corrana_test::readFile(dbPath()); }
  void putFile(const std::string& bytes) const {
    std::ofstream(dbPath(), std::ios::binary) << bytes;
  }

  corrana_test::TempDir dir_;
};

TEST_F(AnalysisHashTest, NameTablesInternEachNameOnce) {
  EXPECT_EQ(getResourceHash(), nullptr);
  AnalysisHash_init();
  OB_LinkedHash<OB_String>* resources = getResourceHash();
  OB_LinkedHash<OB_String>* types = getMimeTypeHash();
  ASSERT_NE(resources, nullptr);
  ASSERT_NE(types, nullptr);
  EXPECT_EQ(resources->getNumBuckets(), 2039);
  EXPECT_EQ(types->getNumBuckets(), 57);

  std::string uri = "/index.html";
  const char* first = AnalysisHash_internName(resources, uri.c_str());
  uri[1] = 'x';  // the table keeps its own copy
  const char* other = AnalysisHash_internName(resources, uri.c_str());
  EXPECT_STREQ(first, "/index.html");
  EXPECT_EQ(AnalysisHash_internName(resources, "/index.html"), first);
  EXPECT_NE(other, first);
  EXPECT_EQ(resources->getCount(), 2);

  EXPECT_NE(AnalysisHash_internName(types, "text/html"), nullptr);
  EXPECT_EQ(types->getCount(), 1);

  AnalysisHash_free();
  EXPECT_EQ(getResourceHash(), nullptr);
  EXPECT_EQ(getMimeTypeHash(), nullptr);
  EXPECT_EQ(getDomainNameHash(), nullptr);
}

TEST_F(AnalysisHashTest, HashNameUsesSignedCharactersAndCRemainder) {
  uint16_t length = 99;
  EXPECT_EQ(hashName("", 2039, &length), 0);
  EXPECT_EQ(length, 0);
  // 97 % 2039 = 97; (97 * 127 + 98) % 2039 = 183.
  EXPECT_EQ(hashName("ab", 2039, &length), 183);
  EXPECT_EQ(length, 2);
  // 0x80 is -128: -128 % 57 = -14, which ends as 14.
  EXPECT_EQ(hashName("\x80", 57, nullptr), 14);
  OB_String same("/images/logo.gif");
  EXPECT_EQ(hashName("/images/logo.gif", 2039, nullptr), same.calcHash(2039));
}

TEST_F(AnalysisHashTest, HashNameAgreesWithTheDivisionAtEveryModulus) {
  auto byDivision = [](const std::string& text, int n) {
    int64_t h = 0;
    for (char c : text) h = (h * 127 + static_cast<int8_t>(c)) % n;
    return static_cast<uint16_t>(h < 0 ? -h % n : h);
  };
  uint32_t seed = 7;
  for (int n : {1, 2, 57, 251, 1021, 2039, 4093, 65535, 65536}) {
    for (int round = 0; round < 200; ++round) {
      std::string text;
      for (int i = 0; i < round % 90; ++i) {
        seed = seed * 1103515245u + 12345u;
        const char c = static_cast<char>(seed >> 16);
        text.push_back(c != 0 ? c : 'x');
      }
      ASSERT_EQ(hashName(text.c_str(), n, nullptr), byDivision(text, n)) << n << " " << round;
    }
  }
}

TEST_F(AnalysisHashTest, DomainLookUpsResolveOnceAndFallBackToDottedQuad) {
  EXPECT_EQ(AnalysisHash_getDomainName(ip(10, 0, 0, 1)), nullptr);  // no table yet
  AnalysisHash_init();
  const char* www = AnalysisHash_getDomainName(ip(10, 0, 0, 1));
  EXPECT_STREQ(www, "www.example.org");
  EXPECT_EQ(AnalysisHash_getDomainName(ip(10, 0, 0, 1)), www);
  EXPECT_EQ(lookups, 1);
  // Same bucket, other address: a separate entry.
  const uint32_t neighbour = ip(10, 0, 0, 1) + kDomainHashBuckets;
  EXPECT_STREQ(AnalysisHash_getDomainName(neighbour), "10.0.3.254");
  EXPECT_EQ(getDomainNameHash()->getCount(), 2);
  EXPECT_EQ(lookups, 2);
}

TEST_F(AnalysisHashTest, DomainCacheSurvivesARestart) {
  AnalysisHash_init();  // first start: no file
  EXPECT_EQ(getDomainNameHash()->getCount(), 0);
  AnalysisHash_getDomainName(ip(10, 0, 0, 1));
  AnalysisHash_free();
  EXPECT_EQ(fileBytes(), u32(1) + record(ip(10, 0, 0, 1), "www.example.org"));
  EXPECT_FALSE(std::filesystem::exists(dbPath() + ".tmp." + std::to_string(getpid())));

  AnalysisHash_init();
  lookups = 0;
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 0, 0, 1)), "www.example.org");
  EXPECT_EQ(lookups, 0);
  AnalysisHash_getDomainName(ip(10, 0, 0, 2));
  AnalysisHash_free();

  AnalysisHash_init();
  lookups = 0;
  EXPECT_EQ(getDomainNameHash()->getCount(), 2);
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 0, 0, 2)), "mail.example.org");
  EXPECT_EQ(lookups, 0);
}

TEST_F(AnalysisHashTest, EmptyNameLoadsAsEmptyText) {
  putFile(u32(1) + record(ip(10, 0, 0, 9), ""));
  AnalysisHash_init();
  const char* name = AnalysisHash_getDomainName(ip(10, 0, 0, 9));
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(lookups, 0);
}

TEST_F(AnalysisHashTest, DamagedFileIsRefusedWhole) {
  const uint32_t a = ip(10, 0, 0, 1);
  const std::string good = record(a, "www.example.org");
  const std::string damaged[] = {
      u32(2),                                                  // count beyond the records
      u32(2) + good,                                           // truncated after one record
      u32(1) + good.substr(0, good.size() - 3),                // name cut short
      u32(1) + record(a, "x", (a + 1) % kDomainHashBuckets),   // in a bucket look-ups miss
      u32(1) + record(a, "x", 1021),                           // bucket past the table
      u32(2) + good + record(a, "again"),                      // address twice
      u32(1) + good + "z",                                     // bytes after the last record
      u32(1) + u32(a % kDomainHashBuckets) + u32(a) + u16le(2049) + std::string(2049, 'n'),
      "\x01\x00",                                              // count cut short
  };
  for (const std::string& bytes : damaged) {
    SCOPED_TRACE(::testing::PrintToString(bytes.substr(0, 40)));
    putFile(bytes);
    AnalysisHash_init();
    EXPECT_EQ(getDomainNameHash()->getCount(), 0);
    AnalysisHash_free();
    EXPECT_EQ(fileBytes(), u32(0));  // rewritten sound
  }
}

}  // namespace

// With the engine's resolver thread a resolver that never answers costs the askers nothing: an
// unknown address is its dotted quad at once, and the end of the cache does not wait for the
// look-up. What never got its name is not written to the file, so the next run asks again.
TEST_F(AnalysisHashTest, ASilentResolverHoldsNeitherTheAskerNorTheEnd) {
  silentAsked = 0;
  gateOpen = false;
  OB_Tools::setReverseLookup(silentLookup);
  AnalysisHash_init(OB_NameLookups::kBackground);
  const Clock::time_point start = Clock::now();
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 0, 0, 9)), "10.0.0.9");
  for (int i = 0; i < 500 && silentAsked == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(silentAsked, 1);
  // Asked again while the resolver hangs: the same text, still at once.
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 0, 0, 9)), "10.0.0.9");
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 0, 0, 10)), "10.0.0.10");
  EXPECT_LT(secondsSince(start), 1.0);

  const Clock::time_point stopping = Clock::now();
  AnalysisHash_free();
  EXPECT_LT(secondsSince(stopping), 1.0);
  EXPECT_EQ(fileBytes(), u32(0));
  {
    std::lock_guard<std::mutex> hold(gateLock);
    gateOpen = true;
  }
  gateOpened.notify_all();
}

// An address that finds the resolver's queue full keeps its dotted quad for this run only: like
// those still waiting, it is left out of the file, so that the next run asks again.
TEST_F(AnalysisHashTest, AnAddressBeyondAFullQueueIsNotKeptAsItsQuad) {
  silentAsked = 0;
  gateOpen = false;
  OB_Tools::setReverseLookup(silentLookup);
  AnalysisHash_init(OB_NameLookups::kBackground);
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 1, 0, 0)), "10.1.0.0");
  for (int i = 0; i < 500 && silentAsked == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(silentAsked, 1);
  // The resolver hangs on the first: these fill its queue and go beyond it.
  for (uint32_t i = 1; i <= 5000; ++i) AnalysisHash_getDomainName(ip(10, 1, 0, 0) + i);
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 1, 0, 0) + 5000), "10.1.19.136");
  AnalysisHash_free();
  const std::string bytes = fileBytes();
  EXPECT_EQ(bytes.substr(0, 4), u32(0)) << bytes.size() << " bytes written";
  {
    std::lock_guard<std::mutex> hold(gateLock);
    gateOpen = true;
  }
  gateOpened.notify_all();
}

// A late answer names the cache entry for those who ask afterwards; a text handed out before
// stays as it was, so whatever counted under it goes on counting under it. The name is kept.
TEST_F(AnalysisHashTest, ALateAnswerNamesTheEntryWithoutChangingTextsHandedOut) {
  OB_Tools::setReverseLookup(lateLookup);
  AnalysisHash_init(OB_NameLookups::kBackground);
  const char* before = AnalysisHash_getDomainName(ip(10, 0, 0, 7));
  EXPECT_STREQ(before, "10.0.0.7");
  const char* after = before;
  for (int i = 0; i < 250 && std::string(after) == "10.0.0.7"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    after = AnalysisHash_getDomainName(ip(10, 0, 0, 7));
  }
  EXPECT_STREQ(after, "host-7.example.org");
  EXPECT_STREQ(before, "10.0.0.7");
  AnalysisHash_free();
  EXPECT_EQ(fileBytes(), u32(1) + record(ip(10, 0, 0, 7), "host-7.example.org"));
}

// Without look-ups (the export tool without -resolve) nobody is asked, and the quads are not
// kept; a caller that may wait resolves on its own thread, once.
TEST_F(AnalysisHashTest, WithoutLookUpsOnlyAnExplicitResolveAsks) {
  AnalysisHash_init(OB_NameLookups::kNone);
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 0, 0, 1)), "10.0.0.1");
  EXPECT_STREQ(AnalysisHash_getDomainName(ip(10, 0, 0, 2)), "10.0.0.2");
  EXPECT_EQ(lookups, 0);
  EXPECT_STREQ(AnalysisHash_resolveDomainName(ip(10, 0, 0, 1)), "www.example.org");
  EXPECT_STREQ(AnalysisHash_resolveDomainName(ip(10, 0, 0, 1)), "www.example.org");
  EXPECT_EQ(lookups, 1);
  AnalysisHash_free();
  EXPECT_EQ(fileBytes(), u32(1) + record(ip(10, 0, 0, 1), "www.example.org"));
}

// A look-up that finds no name is a negative entry: its quad is not asked again before the
// entry expires, is never written to the file (so a restart with a working resolver names it),
// and once expired the next ask looks it up again, on either kind of look-up.
TEST_F(AnalysisHashTest, AFailedLookUpIsRetriedLaterAndNeverKept) {
  const uint32_t unnamed = ip(10, 0, 0, 9);
  AnalysisHash_setRetryAfter(3600);
  AnalysisHash_init();
  EXPECT_STREQ(AnalysisHash_getDomainName(unnamed), "10.0.0.9");
  EXPECT_STREQ(AnalysisHash_getDomainName(unnamed), "10.0.0.9");
  EXPECT_EQ(lookups, 1) << "asked again before its retry";
  AnalysisHash_free();
  EXPECT_EQ(fileBytes(), u32(0));

  names[unnamed] = "late.example.org";
  AnalysisHash_init();
  EXPECT_STREQ(AnalysisHash_getDomainName(unnamed), "late.example.org");
  AnalysisHash_free();

  // In one run: expired at once, the next ask looks again and takes the name it now finds.
  names.erase(unnamed);
  AnalysisHash_setRetryAfter(0);
  AnalysisHash_init();
  const uint32_t other = ip(10, 0, 0, 11);
  EXPECT_STREQ(AnalysisHash_getDomainName(other), "10.0.0.11");
  lookups = 0;
  names[other] = "other.example.org";
  EXPECT_STREQ(AnalysisHash_getDomainName(other), "other.example.org");
  EXPECT_EQ(lookups, 1);
  AnalysisHash_free();

  // The resolver thread's failure is a negative entry too.
  names.erase(other);
  OB_Tools::setReverseLookup(fakeLookup);
  AnalysisHash_init(OB_NameLookups::kBackground);
  const uint32_t third = ip(10, 0, 0, 12);
  lookups = 0;
  AnalysisHash_getDomainName(third);
  for (int i = 0; i < 500 && lookups < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    AnalysisHash_getDomainName(third);  // expired at once: queued again after each failure
  }
  EXPECT_GE(lookups, 3);
  {
    std::lock_guard<std::mutex> hold(namesLock);
    names[third] = "third.example.org";
  }
  const char* named = AnalysisHash_getDomainName(third);
  for (int i = 0; i < 500 && std::string(named) != "third.example.org"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    named = AnalysisHash_getDomainName(third);
  }
  EXPECT_STREQ(named, "third.example.org");
  AnalysisHash_free();
  AnalysisHash_setRetryAfter(600);
  EXPECT_EQ(fileBytes(), u32(3) + record(unnamed, "late.example.org") +
                            record(other, "other.example.org") +
                            record(third, "third.example.org"));
}
