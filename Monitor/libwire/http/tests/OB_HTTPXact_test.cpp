// HTTP transactions: their archive record, field widths, the comparisons the analyser uses and
// the pooled form's way back to its pool.
#include "http/OB_HTTPXact.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "http/OB_PooledHTTPXact.h"
#include "pool/OB_MemoryPool.h"
#include "records/OB_Protocol.h"

namespace {

std::vector<unsigned char> recordOf(OB_HTTPXact* xact) {
  FILE* file = std::tmpfile();
  EXPECT_EQ(xact->write(file), 0);
  std::vector<unsigned char> bytes(static_cast<size_t>(std::ftell(file)));
  std::rewind(file);
  EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
  std::fclose(file);
  return bytes;
}

int readFrom(OB_HTTPXact* xact, const std::vector<unsigned char>& bytes) {
  FILE* file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  int result = xact->read(file);
  std::fclose(file);
  return result;
}

void fill(OB_HTTPXact* xact) {
  xact->req_method = "GET";
  xact->req_request_uri = "/index.html";
  xact->req_http_vers = "1.1";
  xact->req_host = "www.example.org";
  xact->req_referer = "http://other.example/";
  xact->req_user_agent = "probe/1";
  xact->req_content_type = "text/plain";
  xact->req_bytes = 12;
  xact->res_http_vers = "1.0";
  xact->res_status_code = "200";
  xact->res_reason_phrase = "OK";
  xact->res_content_type = "text/html";
  xact->res_bytes = 0x01020304;
}

TEST(OB_HTTPXactRecord, AllEmptyIsThirtyFourGoldenBytes) {
  OB_HTTPXact* xact = OB_HTTPXact::create();
  xact->req_bytes = 7;
  xact->res_bytes = -1;
  std::vector<unsigned char> golden(7 * 2, 0);
  golden.insert(golden.end(), {7, 0, 0, 0});              // req_bytes
  golden.insert(golden.end(), 1 * 2, 0);                  // req_cookie
  golden.insert(golden.end(), 4 * 2, 0);                  // response texts
  golden.insert(golden.end(), {0xFF, 0xFF, 0xFF, 0xFF});  // res_bytes
  golden.insert(golden.end(), 1 * 2, 0);                  // res_cookie
  ASSERT_EQ(golden.size(), 34u);
  EXPECT_EQ(recordOf(xact), golden);
  obRelease(xact);
}

TEST(OB_HTTPXactRecord, FilledTransactionRoundTrips) {
  OB_HTTPXact* xact = OB_HTTPXact::create();
  fill(xact);
  std::vector<unsigned char> bytes = recordOf(xact);
  // The method comes first: little-endian length, then the bytes without terminator.
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 5),
            (std::vector<unsigned char>{3, 0, 'G', 'E', 'T'}));
  OB_HTTPXact* back = OB_HTTPXact::create();
  ASSERT_EQ(readFrom(back, bytes), 0);
  EXPECT_STREQ(back->req_host.c_str(), "www.example.org");
  EXPECT_STREQ(back->res_reason_phrase.c_str(), "OK");
  EXPECT_EQ(back->req_bytes, 12);
  EXPECT_EQ(back->res_bytes, 0x01020304);
  EXPECT_EQ(recordOf(back), bytes);
  obRelease(back);
  obRelease(xact);
}

TEST(OB_HTTPXactRecord, TextsAreHeldToTheirFieldWidth) {
  OB_HTTPXact* xact = OB_HTTPXact::create();
  std::string fifteen(15, 'M');
  xact->req_method = fifteen.c_str();
  xact->res_status_code = "123456789";
  EXPECT_STREQ(xact->res_status_code.c_str(), "1234");
  std::vector<unsigned char> bytes = recordOf(xact);
  OB_HTTPXact* back = OB_HTTPXact::create();
  ASSERT_EQ(readFrom(back, bytes), 0);
  EXPECT_EQ(std::string(back->req_method.c_str()), fifteen);

  // A stored length of 16 does not fit the method's field: refused, nothing after it is read.
  std::vector<unsigned char> tooLong = {16, 0};
  tooLong.insert(tooLong.end(), 16, 'X');
  tooLong.insert(tooLong.end(), bytes.begin() + 2 + 15, bytes.end());
  back->req_request_uri = "/kept";
  EXPECT_EQ(readFrom(back, tooLong), -1);
  EXPECT_EQ(std::string(back->req_method.c_str()), fifteen);
  EXPECT_STREQ(back->req_request_uri.c_str(), "/kept");

  // A length that runs past the end of the record.
  EXPECT_EQ(readFrom(back, {3, 0, 'G', 'E'}), -1);
  obRelease(back);
  obRelease(xact);
}

TEST(OB_HTTPXact, EntryPointRule) {
  OB_HTTPXact* xact = OB_HTTPXact::create();
  xact->req_host = "WwW.Example.ORG";
  xact->req_referer = "HTTP://WWW.EXAMPLE.ORG/start";
  xact->res_content_type = "text/html";
  EXPECT_EQ(xact->isEntryPoint(), 0);
  EXPECT_STREQ(xact->req_host.c_str(), "www.example.org");
  EXPECT_STREQ(xact->req_referer.c_str(), "HTTP://WWW.EXAMPLE.ORG/start");

  xact->req_referer = "http://elsewhere.example/";
  EXPECT_EQ(xact->isEntryPoint(), 1);
  xact->req_referer.clear();
  xact->res_content_type = "image/gif";
  EXPECT_EQ(xact->isEntryPoint(), 0);
  xact->res_content_type = "application/pdf";
  EXPECT_EQ(xact->isEntryPoint(), 1);
  obRelease(xact);
}

TEST(OB_HTTPXact, CopyComparisonsAndResets) {
  OB_HTTPXact* a = OB_HTTPXact::create();
  OB_HTTPXact* b = OB_HTTPXact::create();
  fill(a);
  a->copy(b);
  EXPECT_TRUE(b->dupRequest(a));
  EXPECT_EQ(recordOf(b), recordOf(a));
  EXPECT_TRUE(b->dupResponse(a));
  b->res_bytes = a->res_bytes + 1;
  EXPECT_FALSE(b->dupResponse(a));
  b->res_bytes = a->res_bytes;
  b->res_status_code = "404";
  EXPECT_FALSE(b->dupResponse(a));
  b->req_request_uri = "/INDEX.html";
  EXPECT_FALSE(b->dupRequest(a));

  a->resetResponse();
  EXPECT_EQ(a->req_bytes, 12);
  EXPECT_STREQ(a->req_method.c_str(), "GET");
  EXPECT_STREQ(a->req_content_type.c_str(), "text/plain");
  EXPECT_TRUE(a->res_status_code.empty());
  EXPECT_EQ(a->res_bytes, 0);
  a->reset();
  EXPECT_TRUE(a->req_method.empty());
  EXPECT_EQ(a->req_bytes, 0);
  obRelease(a);
  obRelease(b);
}

// A protocol whose transactions come from a pool, as the HTTP analyser's do.
class PooledProtocol : public OB_Protocol {
 public:
  PooledProtocol() : pool(2, 2) { pool.setWait(0); }
  ~PooledProtocol() override { reset(); }
  OB_Xact* createXLink() override { return pool.getObject(); }
  OB_MemoryPool<OB_PooledHTTPXact> pool;
};

TEST(OB_PooledHTTPXact, GoesBackToItsPoolEmptiedWhenTheChainIsReleased) {
  PooledProtocol* protocol = new PooledProtocol();
  OB_HTTPXact* first = obQuery<OB_HTTPXact>(protocol->addXLink());
  ASSERT_NE(first, nullptr);
  fill(first);
  for (int i = 0; i < 3; ++i) ASSERT_NE(protocol->addXLink(), nullptr);
  protocol->reset();
  // All four came back: the pool hands them out again, emptied.
  for (int i = 0; i < 4; ++i) {
    OB_HTTPXact* again = obQuery<OB_HTTPXact>(protocol->addXLink());
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->req_method.empty());
    EXPECT_EQ(again->res_bytes, 0);
  }
  obRelease(protocol);
}

}  // namespace
