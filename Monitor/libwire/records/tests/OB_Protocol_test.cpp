// Protocol records: the connection record's bytes, its chain of transactions, the response-time
// rule and the interfaces the factories and writers answer.
#include "records/OB_Protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "coding/OB_ArchiveIO.h"
#include "http/OB_HTTPXact.h"
#include "records/OB_ProtocolWriter.h"
#include "records/OB_Xact.h"
#include "tcp/OB_PacketStream.h"
#include "tcp/OB_TCPSession.h"

namespace {

// A protocol whose transactions are plain HTTP transactions; counts what createXLink made.
class TestProtocol : public OB_Protocol {
 public:
  OB_Xact* createXLink() override {
    ++made;
    return OB_HTTPXact::create();
  }
  int readBytes(OB_ArchiveBytes& bytes) override { return readConnectionBytes(bytes); }
  int made = 0;
};

TestProtocol* makeProtocol() { return new TestProtocol(); }

std::vector<unsigned char> bytesOf(FILE* file) {
  std::vector<unsigned char> bytes;
  std::rewind(file);
  int c;
  while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
  std::rewind(file);
  return bytes;
}

std::vector<unsigned char> written(OB_Object* record) {
  FILE* file = std::tmpfile();
  EXPECT_EQ(record->write(file), 0);
  std::vector<unsigned char> bytes = bytesOf(file);
  std::fclose(file);
  return bytes;
}

FILE* fileWith(const std::vector<unsigned char>& bytes) {
  FILE* file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  return file;
}

OB_HTTPXact* http(OB_Xact* xact) { return obQuery<OB_HTTPXact>(xact); }

TEST(OB_ProtocolRecord, EmptyRecordIsFortySixGoldenBytes) {
  TestProtocol* protocol = makeProtocol();
  protocol->connTime = 0x5F5E1000;
  protocol->clientIP = 0x0A000001;
  protocol->serverIP = 0xC0A80102;
  protocol->serverPort = 8080;
  protocol->serverRespTime = 1500;
  protocol->networkRespTime = -2;
  protocol->rejectConnect = 1;
  protocol->problemPairing = 1;
  protocol->respCount = 0x0102;
  const std::vector<unsigned char> golden = {
      'q', 'v', 'x', 0,                   // tag
      0x00, 0x10, 0x5E, 0x5F,             // xTime
      0x01, 0x00, 0x00, 0x0A,             // clientIP
      0x00, 0x00,                         // reserved text A
      0x02, 0x01, 0xA8, 0xC0,             // serverIP
      0x00, 0x00,                         // reserved text B
      0x90, 0x1F,                         // serverPort
      0xDC, 0x05, 0x00, 0x00,             // serverRespTime
      0xFE, 0xFF, 0xFF, 0xFF,             // networkRespTime
      0x01, 0x00, 0x00, 0x00,             // rejectConnect
      0x00, 0x00, 0x00, 0x00,             // unackedConnect
      0x01, 0x00, 0x00, 0x00,             // problemPairing
      0x00, 0x00,                         // commRespCount
      0x02, 0x01};                        // respCount
  ASSERT_EQ(golden.size(), 46u);
  EXPECT_EQ(written(protocol), golden);

  TestProtocol* back = makeProtocol();
  FILE* file = fileWith(golden);
  ASSERT_EQ(back->read(file), 0);
  EXPECT_EQ(std::fgetc(file), EOF);
  std::fclose(file);
  EXPECT_EQ(back->xTime(), 0x5F5E1000u);
  EXPECT_EQ(back->serverPort, 8080);
  EXPECT_EQ(back->networkRespTime, -2);
  EXPECT_EQ(back->rejectConnect, 1);
  EXPECT_EQ(back->unackedConnect, 0);
  EXPECT_EQ(back->problemPairing, 1);
  EXPECT_EQ(back->head, nullptr);
  EXPECT_EQ(back->made, 0);
  EXPECT_EQ(written(back), golden);
  obRelease(back);
  obRelease(protocol);
}

TEST(OB_ProtocolRecord, ChainRoundTripsInOrderAndRewritesTheSameBytes) {
  TestProtocol* protocol = makeProtocol();
  const char* uris[] = {"/a", "/bb", "/ccc"};
  for (const char* uri : uris) {
    OB_HTTPXact* xact = http(protocol->addXLink());
    ASSERT_NE(xact, nullptr);
    xact->req_request_uri = uri;
    xact->res_status_code = "200";
    ++protocol->commRespCount;
  }
  std::vector<unsigned char> first = written(protocol);
  ASSERT_EQ(first.size(), 46u + 3 * 34u + 2 + 3 + 4 + 3 * 3);

  TestProtocol* back = makeProtocol();
  FILE* file = fileWith(first);
  ASSERT_EQ(back->read(file), 0);
  std::fclose(file);
  EXPECT_EQ(back->made, 3);
  EXPECT_EQ(back->commRespCount, 3);
  for (int n = 1; n <= 3; ++n) {
    OB_HTTPXact* xact = http(back->getCurrentLink(n));
    ASSERT_NE(xact, nullptr);
    EXPECT_STREQ(xact->req_request_uri.c_str(), uris[n - 1]);
  }
  EXPECT_EQ(back->tail, back->getCurrentLink(3));
  EXPECT_EQ(written(back), first);
  obRelease(back);
  obRelease(protocol);
}

// The archive reader's buffered road parses records from memory: every cut of a record is
// short, a whole one comes out as the stream road reads it (a NUL inside a text ends the text),
// and what the stream road refuses it refuses.
TEST(OB_ProtocolRecord, BytesRoadReadsWhatTheStreamRoadReads) {
  TestProtocol* protocol = makeProtocol();
  protocol->connTime = 0x5F5E1000;
  protocol->serverPort = 8080;
  for (const char* uri : {"/index.html", "/logo.gif"}) {
    OB_HTTPXact* xact = http(protocol->addXLink());
    xact->req_method = "GET";
    xact->req_request_uri = uri;
    xact->req_referer = "http://example.com/";
    xact->res_bytes = 1234;
    ++protocol->commRespCount;
  }
  std::vector<unsigned char> bytes = written(protocol);
  const size_t x = std::string(bytes.begin(), bytes.end()).find("x.html");
  ASSERT_NE(x, std::string::npos);
  bytes[x] = '\0';

  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    TestProtocol* part = makeProtocol();
    OB_ArchiveBytes in(bytes.data(), bytes.data() + cut);
    EXPECT_EQ(part->readBytes(in), OB_ArchiveBytes::kShort) << cut;
    obRelease(part);
  }
  TestProtocol* streamed = makeProtocol();
  FILE* file = fileWith(bytes);
  ASSERT_EQ(streamed->read(file), 0);
  std::fclose(file);
  TestProtocol* parsed = makeProtocol();
  OB_ArchiveBytes in(bytes.data(), bytes.data() + bytes.size());
  ASSERT_EQ(parsed->readBytes(in), 0);
  EXPECT_EQ(in.position(), bytes.data() + bytes.size());
  EXPECT_STREQ(http(parsed->getCurrentLink(1))->req_request_uri.c_str(), "/inde");
  EXPECT_EQ(http(parsed->getCurrentLink(2))->res_bytes, 1234);
  EXPECT_EQ(written(parsed), written(streamed));

  std::vector<unsigned char> badTag = bytes, longMethod = bytes;
  badTag[1] = 'w';
  longMethod[46] = 16;  // the first transaction's method: one more than its field holds
  for (const std::vector<unsigned char>* refused : {&badTag, &longMethod}) {
    TestProtocol* back = makeProtocol();
    OB_ArchiveBytes from(refused->data(), refused->data() + refused->size());
    EXPECT_EQ(back->readBytes(from), -1);
    obRelease(back);
  }
  obRelease(parsed);
  obRelease(streamed);
  obRelease(protocol);
}

// A piece that continues a connection cut at the byte limit is marked in bit 1 of the pairing
// field: the record keeps its size, older records (0 or 1 there) read as no piece, and the
// pairing flag reads back as it was, by either road.
TEST(OB_ProtocolRecord, TheContinuationMarkSharesThePairingField) {
  TestProtocol* piece = makeProtocol();
  piece->continued = 1;
  piece->problemPairing = 1;
  TestProtocol* whole = makeProtocol();
  whole->problemPairing = 1;
  const std::vector<unsigned char> marked = written(piece);
  const std::vector<unsigned char> plain = written(whole);
  ASSERT_EQ(marked.size(), plain.size());
  // connTime, clientIP, reservedA, serverIP, reservedB, port and four 32-bit fields before it.
  const size_t field = 4 + 4 + 4 + 2 + 4 + 2 + 2 + 4 + 4 + 4 + 4;
  EXPECT_EQ(marked[field], 3);
  EXPECT_EQ(plain[field], 1);
  for (const std::vector<unsigned char>* bytes : {&marked, &plain}) {
    TestProtocol* streamed = makeProtocol();
    FILE* file = fileWith(*bytes);
    ASSERT_EQ(streamed->read(file), 0);
    std::fclose(file);
    TestProtocol* parsed = makeProtocol();
    OB_ArchiveBytes in(bytes->data(), bytes->data() + bytes->size());
    ASSERT_EQ(parsed->readBytes(in), 0);
    const int32_t want = bytes == &marked ? 1 : 0;
    EXPECT_EQ(streamed->continued, want);
    EXPECT_EQ(parsed->continued, want);
    EXPECT_EQ(streamed->problemPairing, 1);
    EXPECT_EQ(parsed->problemPairing, 1);
    obRelease(parsed);
    obRelease(streamed);
  }
  obRelease(whole);
  obRelease(piece);
}

TEST(OB_ProtocolRecord, RefusesWrongTagBeforeReadingOn) {
  TestProtocol* protocol = makeProtocol();
  std::vector<unsigned char> bytes = written(protocol);
  bytes[2] = 'y';
  TestProtocol* back = makeProtocol();
  back->clientIP = 77;
  FILE* file = fileWith(bytes);
  EXPECT_EQ(back->read(file), -1);
  EXPECT_EQ(std::ftell(file), 4);
  EXPECT_EQ(back->clientIP, 77u);
  std::fclose(file);
  obRelease(back);
  obRelease(protocol);
}

TEST(OB_ProtocolRecord, WritesTheChainLengthWhenTheTallyDrifted) {
  TestProtocol* protocol = makeProtocol();
  protocol->addXLink();
  protocol->addXLink();
  protocol->commRespCount = 5;  // a parser's count that no longer matches its chain
  std::vector<unsigned char> bytes = written(protocol);
  EXPECT_EQ(bytes[42] | (bytes[43] << 8), 2);
  TestProtocol* back = makeProtocol();
  FILE* file = fileWith(bytes);
  EXPECT_EQ(back->read(file), 0);
  EXPECT_EQ(std::fgetc(file), EOF);
  std::fclose(file);
  EXPECT_EQ(back->getXactCount(), 2u);
  obRelease(back);
  obRelease(protocol);
}

TEST(OB_ProtocolChain, CurrentLinkCountsFromOne) {
  TestProtocol* protocol = makeProtocol();
  EXPECT_EQ(protocol->getCurrentLink(1), nullptr);
  OB_Xact* first = protocol->addXLink();
  OB_Xact* second = protocol->addXLink();
  EXPECT_EQ(protocol->getCurrentLink(0), first);
  EXPECT_EQ(protocol->getCurrentLink(1), first);
  EXPECT_EQ(protocol->getCurrentLink(2), second);
  EXPECT_EQ(protocol->getCurrentLink(3), nullptr);
  EXPECT_EQ(first->nextItem(), second);
  protocol->reset();
  EXPECT_EQ(protocol->head, nullptr);
  EXPECT_EQ(protocol->tail, nullptr);
  EXPECT_EQ(protocol->getCurrentLink(1), nullptr);
  obRelease(protocol);
}

TEST(OB_ProtocolChain, StopsAtTheCountTheRecordCanHold) {
  TestProtocol* protocol = makeProtocol();
  for (uint32_t i = 0; i < OB_Protocol::maxXacts; ++i) {
    ASSERT_NE(protocol->addXLink(), nullptr);
    ++protocol->commRespCount;
  }
  EXPECT_EQ(protocol->commRespCount, 65535);
  EXPECT_EQ(protocol->problemPairing, 0);
  EXPECT_EQ(protocol->addXLink(), nullptr);
  EXPECT_EQ(protocol->problemPairing, 1);
  EXPECT_EQ(protocol->made, 65535);

  // A chain this long is written, read back and released without deep recursion.
  FILE* file = std::tmpfile();
  ASSERT_EQ(protocol->write(file), 0);
  EXPECT_EQ(std::ftell(file), 46 + 65535L * 34);
  std::rewind(file);
  TestProtocol* back = makeProtocol();
  ASSERT_EQ(back->read(file), 0);
  EXPECT_EQ(back->getXactCount(), 65535u);
  std::rewind(file);
  EXPECT_EQ(back->head->readList(file), -1);  // the tag is not a transaction record
  std::fclose(file);
  obRelease(back);
  protocol->reset();
  EXPECT_EQ(protocol->problemPairing, 0);
  EXPECT_NE(protocol->addXLink(), nullptr);
  obRelease(protocol);
}

OB_PacketTime at(uint32_t sec, uint32_t usec) {
  OB_PacketTime t;
  t.tv_sec = sec;
  t.tv_usec = usec;
  return t;
}

TEST(OB_ProtocolResponseTime, KnownOnlyWhenBothHandshakeTimesWereSeen) {
  EXPECT_EQ(OB_Protocol::responseTime(at(1000, 250), at(999, 750), "serverRespTime"), 999500);
  // An acknowledgement never seen leaves its time at 0.
  EXPECT_EQ(OB_Protocol::responseTime(at(0, 0), at(1700000000, 5), "serverRespTime"), 0);
  EXPECT_EQ(OB_Protocol::responseTime(at(1700000000, 5), at(0, 0), "networkRespTime"), 0);
  // Acknowledged before it began: clock step or reordered capture.
  EXPECT_EQ(OB_Protocol::responseTime(at(1000, 0), at(1000, 1), "serverRespTime"), 0);
  // Beyond 32 bits of microseconds.
  EXPECT_EQ(OB_Protocol::responseTime(at(4000, 0), at(1000, 0), "serverRespTime"), 2147483647);
}

// A session whose handshake was seen: client SYN at 100.000100, server SYN-ACK at 100.000350,
// client ACK at 100.000900; last segment at 160.
OB_TCPSession* handshakeSession() {
  OB_TCPSession* session = OB_TCPSession::create();
  session->setAddressInfo(0x0A000001, 1025, 0x0A000002, 80);
  session->client.xStatus = OB_PacketStream::kSynSeen | OB_PacketStream::kSynAcked;
  session->server.xStatus = OB_PacketStream::kSynSeen | OB_PacketStream::kSynAcked;
  session->client.xBeginSynch = at(100, 100);
  session->client.xAckSynch = at(100, 350);
  session->server.xBeginSynch = at(100, 350);
  session->server.xAckSynch = at(100, 900);
  session->lastTime = 160;
  return session;
}

TEST(OB_ProtocolFromSession, TakesAddressesHandshakeAndTheSessionsOwnTime) {
  OB_TCPSession* session = handshakeSession();
  TestProtocol* protocol = makeProtocol();
  EXPECT_EQ(protocol->processObject(session), 0);
  EXPECT_EQ(protocol->clientIP, 0x0A000001u);
  EXPECT_EQ(protocol->serverIP, 0x0A000002u);
  EXPECT_EQ(protocol->serverPort, 80);
  EXPECT_EQ(protocol->serverRespTime, 250);
  EXPECT_EQ(protocol->networkRespTime, 550);
  // The record's time is the connection's, not that of the object's last reset.
  EXPECT_EQ(protocol->xTime(), 160u);
  protocol->reset();
  EXPECT_NE(protocol->xTime(), 160u);
  obRelease(protocol);
  obRelease(session);
}

TEST(OB_ProtocolFromSession, UnansweredHandshakeStoresNoResponseTime) {
  OB_TCPSession* session = handshakeSession();
  // The server never answered: no SYN-ACK, so neither acknowledge time was set.
  session->client.xStatus = OB_PacketStream::kSynSeen;
  session->server.xStatus = 0;
  session->client.xAckSynch = at(0, 0);
  session->server.xBeginSynch = at(0, 0);
  session->server.xAckSynch = at(0, 0);
  TestProtocol* protocol = makeProtocol();
  EXPECT_EQ(protocol->processObject(session), -1);
  EXPECT_EQ(protocol->unackedConnect, 1);
  EXPECT_EQ(protocol->rejectConnect, 0);
  EXPECT_EQ(protocol->serverRespTime, 0);
  EXPECT_EQ(protocol->networkRespTime, 0);

  protocol->reset();
  session->server.xStatus = OB_PacketStream::kRstSeen;
  EXPECT_EQ(protocol->processObject(session), -1);
  EXPECT_EQ(protocol->rejectConnect, 1);
  EXPECT_EQ(protocol->unackedConnect, 0);

  // Not a session: nothing changes.
  protocol->reset();
  protocol->clientIP = 5;
  OB_HTTPXact* other = OB_HTTPXact::create();
  EXPECT_EQ(protocol->processObject(other), 0);
  EXPECT_EQ(protocol->processObject(nullptr), 0);
  EXPECT_EQ(protocol->clientIP, 5u);
  obRelease(other);
  obRelease(protocol);
  obRelease(session);
}

TEST(OB_ProtocolWriter, DoesNotAnswerTheRootIdentifier) {
  OB_ProtocolWriter writer;
  void* out = &out;
  EXPECT_EQ(writer.queryInterface(OB_Processor::getClassID(), &out), 0);
  EXPECT_EQ(writer.queryInterface(OB_Object::getClassID(), &out), -1);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
