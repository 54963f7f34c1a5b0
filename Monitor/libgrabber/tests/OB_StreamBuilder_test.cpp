// The stream builder fed with the decoded frames of built conversations: which packets make and
// find sessions, what reaches the consumers and in what order, the idle sweep's limits against
// the test clock, an exhausted session pool, and exceptions raised while sessions are handed on.
#include "OB_StreamBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DriverControl.h"
#include "FrameBuilder.h"
#include "OB_Exception.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"
#include "UTimeStamp.h"
#include "http/OB_HTTPProtocol.h"
#include "records/OB_Consumer.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_PacketBuffer.h"
#include "tcp/OB_TCPSessionStats.h"

using corrana_test::Bytes;
using corrana_test::Frame;
using corrana_test::TcpConversation;

namespace {

constexpr uint64_t kSecond = 1000000;            // µs
constexpr uint64_t kStart = 1700000000 * kSecond;  // µs since 1970
constexpr uint16_t kTriggerPort = 7;

TcpConversation::Endpoint endpoint(const char* address, uint16_t port) {
  return {corrana_test::ipv4Address(address), port,
          {0x02, 0, 0, 0, 0, static_cast<uint8_t>(port)}};
}

TcpConversation conversation(uint16_t clientPort, uint16_t serverPort, uint64_t start = kStart) {
  return TcpConversation(endpoint("10.0.0.1", clientPort), endpoint("10.0.0.2", serverPort), start);
}

// A payload buffer with storage of its own, counted as the capture engine's pooled ones are.
class TestBuffer : public OB_PacketBuffer, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(TestBuffer, 0x7E570101, "TestBuffer", OB_PacketBuffer, OB_ReferenceCounter)

 public:
  TestBuffer() { initBuffer(1460); }
  ~TestBuffer() override { resetBuffer(); }
};

// What a consumer saw of a session.
struct Seen {
  uint16_t clientPort;
  uint16_t serverPort;
  uint32_t clientBytes;
  uint32_t serverBytes;
};

// A consumer that records every session offered to it, and can throw instead.
class RecordingConsumer : public OB_Consumer {
 public:
  int processObject(OB_Object* object) override {
    OB_TCPSession* session = obQuery<OB_TCPSession>(object);
    if (session == nullptr) return -1;
    if (throwCode != 0 || (throwOnClientPort != 0 && session->client.xPort == throwOnClientPort))
      throw OB_Exception(throwCode != 0 ? throwCode : -1, "consumer failed", "test", 1);
    std::lock_guard<std::mutex> hold(lock);
    seen.push_back({session->client.xPort, session->server.xPort, session->client.xBytXfer,
                    session->server.xBytXfer});
    changed.notify_all();
    return 0;
  }
  // The sessions seen other than the sweep triggers.
  std::vector<Seen> sessions() {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<Seen> out;
    for (const Seen& s : seen)
      if (s.serverPort != kTriggerPort) out.push_back(s);
    return out;
  }
  std::vector<uint16_t> clientPorts() {
    std::vector<uint16_t> ports;
    for (const Seen& s : sessions()) ports.push_back(s.clientPort);
    return ports;
  }
  // Waits (for an event, not a time) until n sessions were seen; gives up after a minute.
  bool waitFor(size_t n) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(60), [&] { return seen.size() >= n; });
  }

  int throwCode = 0;
  uint16_t throwOnClientPort = 0;  // throws for this client's session only
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Seen> seen;
};

class CountingListener : public OB_Listener<OB_TCPSession> {
 public:
  int notify(OB_TCPSession* /*session*/) override { return ++calls; }
  int calls = 0;
};

class StreamBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UTimeStamp::setClock(kStart);
    build();
  }
  void TearDown() override {
    obRelease(builder);
    obRelease(consumer);
    setOptions(nullptr);
    delete options;
    UTimeStamp::clearClock();
  }

  void build(bool synchronous = true) {
    obRelease(builder);
    builder = OB_StreamBuilder::create(nullptr);
    ASSERT_NE(builder, nullptr);
    builder->setSynchronous(synchronous ? 1 : 0);
    builder->append(consumer);
  }
  // Rebuilds the stream builder under these options.
  void buildWith(std::vector<std::pair<const char*, const char*>> entries, bool sync = true) {
    setOptions(nullptr);
    delete options;
    options = new OB_NamedStringList();
    options->setOwner(1);
    for (auto& [name, value] : entries) options->append(new OB_String(value), name);
    setOptions(options);
    build(sync);
  }

  // Decodes the frame into the reusable packet as the packet manager does and hands it on.
  int feed(const Frame& frame) {
    packet.reset();
    packet.setPacketInfo(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
    packet.tv_sec = static_cast<uint32_t>(frame.time / kSecond);
    packet.tv_usec = static_cast<uint32_t>(frame.time % kSecond);
    if (packet.getContentSize() > 0) {
      packet.setBuffer(new TestBuffer());
      packet.copyBuffer();
    }
    int result = builder->processObject(&packet);
    packet.reset();
    return result;
  }
  void feedAll(const TcpConversation& c, size_t from = 0, size_t to = SIZE_MAX) {
    for (size_t i = from; i < c.size() && i < to; ++i) feed(c.frames()[i]);
  }
  // Moves the clock to start + seconds and finishes a short conversation there, so that a
  // synchronous pass runs (and sweeps when due).
  void passAt(uint64_t seconds) {
    UTimeStamp::setClock(kStart + seconds * kSecond);
    TcpConversation trigger = conversation(nextTriggerPort++, kTriggerPort, kStart + seconds * kSecond);
    trigger.segment(TcpConversation::kClient, corrana_test::kSyn).rst(TcpConversation::kClient);
    feedAll(trigger);
  }

  static uint32_t v(const OB_TCPSessionStats::Counter& c) { return OB_TCPSessionStats::value(c); }
  OB_TCPSessionStats& stats = *getTCPSessionStats();
  RecordingConsumer* consumer = new RecordingConsumer();
  OB_StreamBuilder* builder = nullptr;
  OB_NamedStringList* options = nullptr;
  OB_Packet packet;
  uint16_t nextTriggerPort = 40000;
};

// Text that OB_MemoryPool::print writes for the session pool.
std::string poolReport(OB_StreamBuilder* builder) {
  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  builder->getSessionPool()->print(stream);
  fclose(stream);
  std::string out(text, size);
  free(text);
  return out;
}

TEST_F(StreamBuilderTest, AnswersItsFacesAndRefusesWhatIsNotATCPPacket) {
  EXPECT_EQ(obQuery<OB_StreamBuilder>(static_cast<OB_Processor*>(builder)), builder);
  EXPECT_NE(obQuery<OB_Processor>(builder), nullptr);
  EXPECT_NE(obQuery<OB_Thread>(builder), nullptr);
  EXPECT_NE(obQuery<OB_List<OB_Object>>(builder), nullptr);

  OB_String notAPacket("x");
  EXPECT_EQ(builder->processObject(&notAPacket), -1);
  corrana_test::EthernetHeader arpHeader;
  arpHeader.etherType = corrana_test::kEtherTypeArp;
  Frame arp = corrana_test::FrameBuilder().ethernet(arpHeader).payload(Bytes(28, 0)).build(kStart);
  EXPECT_EQ(feed(arp), 0);
  corrana_test::Ipv4Header udpHeader;
  udpHeader.source = 1;
  udpHeader.destination = 2;
  udpHeader.protocol = corrana_test::kIpProtocolUdp;
  Frame udp = corrana_test::FrameBuilder().ipv4(udpHeader).payload(Bytes(8, 0)).build(kStart);
  EXPECT_EQ(feed(udp), -1);
  EXPECT_EQ(v(stats.segmentsReceived), 0u);
}

TEST_F(StreamBuilderTest, FindsSessionsInBothDirectionsAndHandsThemOnWhenFinished) {
  CountingListener listener;
  builder->addListener(&listener);
  TcpConversation first = conversation(1025, 80);
  first.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n");
  first.send(TcpConversation::kServer, "HTTP/1.0 200 OK\r\n\r\nhello").fin(TcpConversation::kClient);
  first.fin(TcpConversation::kServer);
  TcpConversation second = conversation(1026, 80);
  second.handshake().send(TcpConversation::kClient, "GET /a HTTP/1.0\r\n\r\n");
  second.fin(TcpConversation::kClient).fin(TcpConversation::kServer);

  // Interleaved: each packet must find its own session, from either side.
  feedAll(first, 0, 5);
  feedAll(second, 0, 3);
  EXPECT_EQ(builder->getSessionCount(), 2);
  feedAll(second, 3);
  feedAll(first, 5);

  EXPECT_EQ(builder->getSessionCount(), 0);
  std::vector<Seen> seen = consumer->sessions();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].clientPort, 1026);  // finished first
  EXPECT_EQ(seen[0].clientBytes, second.sent(TcpConversation::kClient).size());
  EXPECT_EQ(seen[1].clientPort, 1025);
  EXPECT_EQ(seen[1].serverPort, 80);
  EXPECT_EQ(seen[1].clientBytes, first.sent(TcpConversation::kClient).size());
  EXPECT_EQ(seen[1].serverBytes, first.sent(TcpConversation::kServer).size());

  const uint32_t frames = static_cast<uint32_t>(first.size() + second.size());
  EXPECT_EQ(v(stats.segmentsReceived), frames);
  EXPECT_EQ(v(stats.segmentsExtraneous), 0u);
  EXPECT_EQ(v(stats.sessionsRetrieved), 2u);
  EXPECT_EQ(v(stats.sessionsReturned), 2u);
  EXPECT_EQ(v(stats.connectionsBuilt), 2u);
  EXPECT_EQ(listener.calls, static_cast<int>(frames));
  builder->removeListener(&listener);
  feedAll(conversation(1027, 80).handshake());
  EXPECT_EQ(listener.calls, static_cast<int>(frames));
}

TEST_F(StreamBuilderTest, QueuedSessionsReachTheConsumersInTheOrderTheyFinished) {
  build(false);
  std::vector<TcpConversation> talks;
  for (uint16_t port : {2001, 2002, 2003}) {
    talks.push_back(conversation(port, 80));
    talks.back().handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n");
    feedAll(talks.back());
  }
  for (int i : {2, 0, 1}) {
    talks[i].fin(TcpConversation::kServer).fin(TcpConversation::kClient);
    feedAll(talks[i], talks[i].size() - 2);
  }
  EXPECT_EQ(builder->getQueuedCount(), 3);
  EXPECT_TRUE(consumer->sessions().empty());

  for (int i = 0; i < 3; ++i) builder->doTask();
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{2003, 2001, 2002}));
  EXPECT_EQ(builder->getQueuedCount(), 0);
}

// Sessions finished while the thread was busy go on together in its next pass; a consumer's
// exception ends the pass, and what the batch still held goes on in the pass after.
TEST_F(StreamBuilderTest, OnePassHandsOnTheWholeBatchAndAFailedOneKeepsTheRest) {
  build(false);
  consumer->throwOnClientPort = 2102;
  for (uint16_t port : {2101, 2102, 2103}) {
    TcpConversation c = conversation(port, 80);
    feedAll(c.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n").close());
  }
  EXPECT_EQ(builder->getQueuedCount(), 3);
  EXPECT_EQ(builder->doTask(), -1);
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{2101}));
  EXPECT_EQ(builder->getQueuedCount(), 1) << "the failed session is gone, the third waits";

  TcpConversation d = conversation(2104, 80);
  feedAll(d.handshake().close());
  builder->doTask();
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{2101, 2103, 2104}));
  EXPECT_EQ(builder->getQueuedCount(), 0);
  EXPECT_EQ(v(stats.sessionsReturned), v(stats.sessionsRetrieved));
}

// A consumer that holds the stream builder's thread in its first session until opened.
class GateConsumer : public OB_Consumer {
 public:
  int processObject(OB_Object* /*object*/) override {
    std::unique_lock<std::mutex> hold(lock);
    ++entered;
    changed.notify_all();
    changed.wait(hold, [&] { return open; });
    return 0;
  }
  void waitEntered() {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return entered > 0; });
  }
  void openGate() {
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    changed.notify_all();
  }
  std::mutex lock;
  std::condition_variable changed;
  int entered = 0;
  bool open = false;
};

// Past its hand-over limit (a replay's) the road waits while the thread is busy, so that on one
// core it cannot run ahead of the consumers; it goes on once the thread takes what waits.
TEST_F(StreamBuilderTest, PastTheHandOverLimitTheRoadWaitsForTheThread) {
  build(false);
  auto* gate = new GateConsumer();
  builder->append(gate);
  builder->setHandOverLimit(1);
  ASSERT_EQ(builder->start(), 0);
  TcpConversation a = conversation(2201, 80);
  a.handshake().send(TcpConversation::kClient, "GET /a HTTP/1.0\r\n\r\n").close();
  TcpConversation b = conversation(2202, 80);
  b.handshake().send(TcpConversation::kClient, "GET /b HTTP/1.0\r\n\r\n").close();
  std::atomic<bool> fedB{false};
  std::thread road([&] {
    feedAll(a);
    feedAll(b);
    fedB = true;
  });
  gate->waitEntered();  // the thread holds a's session
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(fedB) << "b's end waits for the thread, which is busy with a";
  gate->openGate();
  road.join();
  ASSERT_TRUE(consumer->waitFor(2));
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{2201, 2202}));
  builder->stop();
  EXPECT_EQ(builder->join(nullptr, 0), 0);
  builder->remove(gate);
  gate->release();
}

// A thread that does not run is waited for once, for a bounded time, and not again.
TEST_F(StreamBuilderTest, PastTheHandOverLimitARoadWhoseThreadDoesNotRunGoesOn) {
  build(false);
  builder->setHandOverLimit(1);
  const auto start = std::chrono::steady_clock::now();
  for (uint16_t port = 2301; port < 2311; ++port) {
    TcpConversation c = conversation(port, 80);
    feedAll(c.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n").close());
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::milliseconds(OB_StreamBuilder::kStalledMs * 5));
  EXPECT_EQ(builder->getQueuedCount(), 10);
  EXPECT_EQ(v(stats.segmentsNoMemory), 0u);
}

TEST_F(StreamBuilderTest, CreatesSessionsOnlyOnSyn) {
  TcpConversation late = conversation(3000, 80);
  late.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n");
  // The handshake was missed: the data packet belongs to nobody.
  const Frame& data = late.frames()[3];
  EXPECT_EQ(feed(data), 0);
  EXPECT_EQ(v(stats.segmentsExtraneous), 1u);
  EXPECT_EQ(v(stats.bytesExtraneous), data.bytes.size());
  EXPECT_EQ(builder->getSessionCount(), 0);
  EXPECT_EQ(v(stats.sessionsRetrieved), 0u);

  // A SYN makes one; a repeated SYN of the same connection goes to that one.
  feed(late.frames()[0]);
  feed(late.frames()[0]);
  EXPECT_EQ(builder->getSessionCount(), 1);
  EXPECT_EQ(v(stats.sessionsRetrieved), 1u);
  feedAll(late, 1);
  EXPECT_EQ(v(stats.segmentsExtraneous), 1u);
}

TEST_F(StreamBuilderTest, ANewConnectionOnAHeldSessionsAddressesEndsIt) {
  // The first connection's end is never captured; the client then reuses its port.
  TcpConversation first = conversation(4000, 80);
  first.handshake().send(TcpConversation::kClient, "GET /one HTTP/1.1\r\n\r\n");
  first.send(TcpConversation::kServer, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  TcpConversation second = TcpConversation(endpoint("10.0.0.1", 4000), endpoint("10.0.0.2", 80),
                                           kStart + 5 * kSecond, 777777, 900000);
  second.handshake().send(TcpConversation::kClient, "GET /two HTTP/1.1\r\n\r\n");
  second.close();
  feedAll(first);
  feed(first.frames()[0]);  // a retransmitted SYN is the same connection
  EXPECT_TRUE(consumer->sessions().empty());
  feedAll(second);

  std::vector<Seen> seen = consumer->sessions();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].clientBytes, first.sent(TcpConversation::kClient).size());
  EXPECT_EQ(seen[0].serverBytes, first.sent(TcpConversation::kServer).size());
  EXPECT_EQ(seen[1].clientBytes, second.sent(TcpConversation::kClient).size());
  EXPECT_EQ(seen[1].serverBytes, 0u);
  EXPECT_EQ(v(stats.timedOutComplete), 1u);
  EXPECT_EQ(v(stats.sessionsRetrieved), 2u);
  EXPECT_EQ(v(stats.sessionsReturned), 2u);
  EXPECT_EQ(builder->getSessionCount(), 0);
}

// Parses every session it is offered as HTTP and keeps "URI status" of each transaction.
class HTTPConsumer : public OB_Consumer {
 public:
  int processObject(OB_Object* object) override {
    OB_TCPSession* session = obQuery<OB_TCPSession>(object);
    if (session == nullptr) return -1;
    ++sessions;
    parser.reset();
    parser.processObject(session);
    continued.push_back(parser.continued);
    for (int n = 1; OB_HTTPXact* x = parser.xactAt(n); ++n) {
      seen.push_back(std::string(x->req_request_uri.c_str()) + " " + x->res_status_code.c_str());
      bytes.push_back(std::string(x->req_request_uri.c_str()) + " " +
                      std::to_string(x->res_bytes));
    }
    parser.reset();
    return 0;
  }
  int sessions = 0;
  std::vector<std::string> seen;
  std::vector<std::string> bytes;  // "URI response-bytes" of each transaction
  std::vector<int32_t> continued;  // the protocol record's mark, per session
  OB_HTTPProtocol parser{1, 64};
};

// An HTTPConsumer on the builder for as long as it lives.
class AttachedHTTP {
 public:
  explicit AttachedHTTP(OB_StreamBuilder* builder) : builder_(builder), http_(new HTTPConsumer()) {
    builder_->append(http_);
  }
  ~AttachedHTTP() {
    builder_->remove(http_);
    http_->release();
  }
  AttachedHTTP(const AttachedHTTP&) = delete;
  AttachedHTTP& operator=(const AttachedHTTP&) = delete;
  HTTPConsumer* operator->() const { return http_; }

 private:
  OB_StreamBuilder* builder_;
  HTTPConsumer* http_;
};

// A 200 response whose body is framed by its Content-Length.
std::string okWithLength(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// data as one chunk of a chunked body.
std::string chunk(const std::string& data) {
  char size[16];
  snprintf(size, sizeof size, "%zx", data.size());
  return std::string(size) + "\r\n" + data + "\r\n";
}

// Three megabytes on one keep-alive connection: one connection in every count, whatever the
// pieces the byte limit cuts it into; the response that straddles the cuts keeps its whole
// length and the next request still gets its own response.
TEST_F(StreamBuilderTest, AThreeMegabyteConnectionCountsOnce) {
  AttachedHTTP http(builder);
  TcpConversation c = conversation(4200, 80);
  c.handshake();
  const std::string body(3 * 1024 * 1024, 'x');
  c.send(TcpConversation::kClient, "GET /big HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer, okWithLength(body));
  c.ack(TcpConversation::kClient);
  c.send(TcpConversation::kClient, "GET /small HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer, "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno");
  c.close();
  feedAll(c);
  ASSERT_EQ(http->sessions, 3);
  EXPECT_EQ(http->continued, (std::vector<int32_t>{0, 1, 1}));
  EXPECT_EQ(http->seen, (std::vector<std::string>{"/big 200", "/small 404"}));
  EXPECT_EQ(v(stats.connectionsStarted), 1u);
  EXPECT_EQ(v(stats.connectionsBuilt), 1u);
  EXPECT_EQ(v(stats.sessionsRetrieved), 1u);
  EXPECT_EQ(v(stats.sessionsReturned), 1u);
  // The pieces' payload spans add up to the connection's, each byte once.
  EXPECT_EQ(v(stats.effectiveBytes), c.sent(TcpConversation::kClient).size() +
                                         c.sent(TcpConversation::kServer).size());
}

// A keep-alive connection whose responses pass the byte limit: the part up to the limit is
// handed on, and the rest of the connection, followed in a session of its own, gives the
// requests and responses after it.
TEST_F(StreamBuilderTest, AConnectionCutOffAtTheByteLimitGoesOnInASessionOfItsOwn) {
  AttachedHTTP http(builder);
  TcpConversation c = conversation(4100, 80);
  c.handshake();
  const std::string body(50000, 'x');
  std::vector<std::string> want;
  for (int i = 1; i <= 30; ++i) {
    const std::string uri = "/pic" + std::to_string(i);
    c.send(TcpConversation::kClient, "GET " + uri + " HTTP/1.1\r\nHost: h\r\n\r\n");
    c.send(TcpConversation::kServer, okWithLength(body));
    c.ack(TcpConversation::kClient);
    want.push_back(uri + " 200");
  }
  c.close();
  feedAll(c);
  EXPECT_EQ(http->sessions, 2);
  EXPECT_EQ(http->seen, want);
  // Only the closing ACK after the second FIN, as for any session, finds no session.
  EXPECT_EQ(v(stats.segmentsExtraneous), 1u);
  EXPECT_EQ(builder->getSessionCount(), 0);
}

// The piece after a cut goes on where the earlier piece's parse said: a body that holds a
// status line is not taken for a response, and a response to a request of the earlier piece
// answers that request, never one of this piece.
TEST_F(StreamBuilderTest, APieceAfterACutGoesOnWhereTheEarlierPieceLeftOff) {
  AttachedHTTP http(builder);
  TcpConversation c = conversation(4300, 80);
  c.handshake();
  std::string body(2 * 1024 * 1024, 'x');
  const std::string fake = "\r\nHTTP/1.1 500 Fake\r\nContent-Length: 0\r\n\r\n";
  body.replace(1500 * 1024, fake.size(), fake);
  c.send(TcpConversation::kClient, "GET /big HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer, okWithLength(body));
  c.ack(TcpConversation::kClient);
  c.send(TcpConversation::kClient, "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer, "HTTP/1.1 204 No Content\r\n\r\n");
  const std::string upload(2 * 1024 * 1024, 'u');
  c.send(TcpConversation::kClient, "POST /upload HTTP/1.1\r\nContent-Length: " +
                                       std::to_string(upload.size()) + "\r\n\r\n" + upload);
  c.send(TcpConversation::kServer, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
  c.send(TcpConversation::kClient, "GET /after HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  c.close();
  feedAll(c);
  ASSERT_GE(http->sessions, 3);
  // The 201 of the upload arrives in a later piece than the upload, which waits for it there:
  // it answers the upload, not /after.
  EXPECT_EQ(http->seen, (std::vector<std::string>{"/big 200", "/next 204", "/upload 201",
                                                  "/after 200"}));
  EXPECT_EQ(v(stats.connectionsBuilt), 1u);
}

// A chunked response straddling the cuts is read on chunk by chunk in the later pieces, so a
// status line inside its data is never taken for a response.
TEST_F(StreamBuilderTest, AChunkedBodyGoesOnAcrossTheCuts) {
  AttachedHTTP http(builder);
  TcpConversation c = conversation(4400, 80);
  c.handshake();
  std::string data(700 * 1024, 'c');
  const std::string fake = "\r\nHTTP/1.1 500 Fake\r\nContent-Length: 0\r\n\r\n";
  data.replace(650 * 1024, fake.size(), fake);
  std::string body;
  for (int i = 0; i < 4; ++i) body += chunk(data);
  body += "0\r\n\r\n";
  c.send(TcpConversation::kClient, "GET /chunked HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer,
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body);
  c.ack(TcpConversation::kClient);
  c.send(TcpConversation::kClient, "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer, "HTTP/1.1 204 No Content\r\n\r\n");
  c.close();
  feedAll(c);
  EXPECT_EQ(http->sessions, 3);
  EXPECT_EQ(http->seen, (std::vector<std::string>{"/chunked 200", "/next 204"}));
}

// A keep-alive response in flight at the cut is recorded once, in whichever piece, with the
// bytes of its whole body: chunked and length-framed alike.
TEST_F(StreamBuilderTest, AResponseInFlightAtTheCutKeepsItsWholeBody) {
  for (const bool chunked : {true, false}) {
    SCOPED_TRACE(chunked ? "chunked" : "Content-Length");
    AttachedHTTP http(builder);
    TcpConversation c = conversation(chunked ? 4500 : 4501, 80);
    c.handshake();
    const std::string data(3 * 1024 * 1024, 'd');
    std::string response;
    if (chunked) {
      response = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
      for (size_t at = 0; at < data.size(); at += 100000) response += chunk(data.substr(at, 100000));
      response += "0\r\n\r\n";
    } else {
      response = okWithLength(data);
    }
    c.send(TcpConversation::kClient, "GET /first HTTP/1.1\r\nHost: h\r\n\r\n");
    c.send(TcpConversation::kServer, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    c.ack(TcpConversation::kClient);
    c.send(TcpConversation::kClient, "GET /big HTTP/1.1\r\nHost: h\r\n\r\n");
    c.send(TcpConversation::kServer, response);
    c.ack(TcpConversation::kClient);
    c.send(TcpConversation::kClient, "GET /last HTTP/1.1\r\nHost: h\r\n\r\n");
    c.send(TcpConversation::kServer, "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno");
    c.close();
    feedAll(c);
    EXPECT_GE(http->sessions, 3);
    EXPECT_EQ(http->seen, (std::vector<std::string>{"/first 200", "/big 200", "/last 404"}));
    EXPECT_EQ(http->bytes, (std::vector<std::string>{"/first 5", "/big " + std::to_string(data.size()),
                                                     "/last 2"}));
  }
}

// Requests still waiting for their responses at a cut are recorded once, by a later piece:
// with their responses when those come, without when the connection ends first.
TEST_F(StreamBuilderTest, RequestsWaitingAtTheCutAreRecordedOnceByALaterPiece) {
  for (const bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "answered after the cut" : "the connection ends first");
    AttachedHTTP http(builder);
    TcpConversation c = conversation(answered ? 4600 : 4601, 80);
    c.handshake();
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1234567\r\n\r\n";
    const std::string body(OB_TCPSession::kByteLimit - head.size(), 'w');
    c.send(TcpConversation::kClient, "GET /a HTTP/1.1\r\nHost: h\r\n\r\n");
    c.send(TcpConversation::kClient, "GET /b HTTP/1.1\r\nHost: h\r\n\r\n");
    c.send(TcpConversation::kServer, okWithLength(body));
    if (answered) c.send(TcpConversation::kServer, okWithLength("late"));
    c.close();
    feedAll(c);
    EXPECT_EQ(http->sessions, 2);
    EXPECT_EQ(http->seen, (std::vector<std::string>{"/a 200", answered ? "/b 200" : "/b "}));
  }
  // No frame after the cut: the rest of the connection is handed on at the stop all the same.
  AttachedHTTP http(builder);
  TcpConversation c = conversation(4602, 80);
  c.handshake();
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1234567\r\n\r\n";
  c.send(TcpConversation::kClient, "GET /a HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kClient, "GET /b HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer,
         okWithLength(std::string(OB_TCPSession::kByteLimit - head.size(), 'w')));
  feedAll(c);
  int open = 0;
  int queued = 0;
  builder->handOnAll(&open, &queued);
  EXPECT_EQ(http->seen, (std::vector<std::string>{"/a 200", "/b "}));
}

// A second cut that finds no free session for the rest of the connection: that piece is the
// last one, and the request still waiting there is recorded by it, without its response.
TEST_F(StreamBuilderTest, RequestsWaitingAtACutWithoutARestAreRecordedByThePiece) {
  buildWith({{"SessionPools", "1"}, {"SessionsPerPool", "2"}});
  AttachedHTTP http(builder);
  TcpConversation c = conversation(4603, 80);
  c.handshake();
  c.send(TcpConversation::kClient, "GET /a HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kClient, "GET /b HTTP/1.1\r\nHost: h\r\n\r\n");
  const size_t bodyStart = c.size();
  c.send(TcpConversation::kServer, okWithLength(std::string(3 * OB_TCPSession::kByteLimit, 'w')));
  c.send(TcpConversation::kServer, okWithLength("late"));
  c.close();
  // Another connection takes the session the first piece gave back, once the second piece
  // has begun.
  const size_t secondPiece = bodyStart + OB_TCPSession::kByteLimit / 1460 + 10;
  feedAll(c, 0, secondPiece);
  TcpConversation other = conversation(4604, 80);
  feedAll(other.handshake());
  feedAll(c, secondPiece);
  EXPECT_EQ(http->sessions, 2);
  EXPECT_EQ(http->seen, (std::vector<std::string>{"/a 200", "/b "}));
}

// A connection that ends inside a chunked body the cut handed on: its last piece records the
// transaction, once, with the chunks that came.
TEST_F(StreamBuilderTest, AChunkedBodyEndingWithTheConnectionAfterACutIsRecordedOnce) {
  AttachedHTTP http(builder);
  TcpConversation c = conversation(4502, 80);
  c.handshake();
  std::string response = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 15; ++i) response += chunk(std::string(100000, 'e'));
  c.send(TcpConversation::kClient, "GET /cut HTTP/1.1\r\nHost: h\r\n\r\n");
  c.send(TcpConversation::kServer, response);
  c.close();
  feedAll(c);
  EXPECT_EQ(http->sessions, 2);
  EXPECT_EQ(http->bytes, (std::vector<std::string>{"/cut 1500000"}));
}

TEST_F(StreamBuilderTest, SweepDropsIdleSessionsByTheirPorts) {
  auto open = [&](uint16_t client, uint16_t server, int64_t second) {
    TcpConversation c = conversation(client, server, kStart + second * static_cast<int64_t>(kSecond));
    feedAll(c.handshake());
  };
  open(5001, 21, 0);   // FTP
  open(5002, 21, 1);
  open(21, 80, 0);     // between the FTP and the HTTP port
  open(5003, 80, -1);  // HTTP
  open(5004, 443, 0);  // another port
  open(5005, 443, 1);
  ASSERT_EQ(builder->getSessionCount(), 6);

  passAt(1);  // the first pass always sweeps; nothing is idle long enough yet
  EXPECT_EQ(builder->getSessionCount(), 6);
  passAt(61);  // the HTTP session is idle 62 s, but 60 s after the last sweep none runs
  EXPECT_EQ(builder->getSessionCount(), 6);
  passAt(62);  // more than 60 s idle with port 80 on either end
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{21, 5003}));
  passAt(3600);  // idle exactly 3600 s: kept on port 21 and on other ports
  EXPECT_EQ(builder->getSessionCount(), 4);
  passAt(3661);
  EXPECT_EQ(builder->getSessionCount(), 0);
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{21, 5003, 5001, 5002, 5004, 5005}));
  EXPECT_EQ(v(stats.timedOutComplete), 6u);
  EXPECT_EQ(v(stats.sessionsReturned), v(stats.sessionsRetrieved));
}

// A client's FIN ends its direction, not the connection: the response sent after it reaches
// the consumers with the connection once the server has closed too. One whose server never
// closes stays only until the idle sweep hands it on, so half-closed connections cannot fill
// the hash.
TEST_F(StreamBuilderTest, AHalfClosedConnectionEndsWithItsOtherSideOrTheSweep) {
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  TcpConversation a = conversation(9001, 80);
  a.handshake().send(TcpConversation::kClient, "GET / HTTP/1.1\r\n\r\n");
  a.fin(TcpConversation::kClient).send(TcpConversation::kServer, response);
  a.fin(TcpConversation::kServer).ack(TcpConversation::kClient);
  feedAll(a);
  TcpConversation b = conversation(9002, 80);
  b.handshake().send(TcpConversation::kClient, "GET / HTTP/1.1\r\n\r\n");
  b.fin(TcpConversation::kClient).send(TcpConversation::kServer, response);
  feedAll(b);
  std::vector<Seen> seen = consumer->sessions();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].clientPort, 9001);
  EXPECT_EQ(seen[0].serverBytes, response.size());
  EXPECT_EQ(builder->getSessionCount(), 1);
  passAt(1);
  passAt(62);
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{9001, 9002}));
  EXPECT_EQ(consumer->sessions().back().serverBytes, response.size());
  EXPECT_EQ(builder->getSessionCount(), 0);
}

// A connection whose capture missed a frame of its handshake ends with its FINs as a whole one
// does, its client the client and both directions' bytes kept: a SYN/ACK stands for the SYN it
// acknowledges, and the client's first segment after its SYN acknowledges the server's. A server
// that sent before any such acknowledgement (a greeting) keeps its bytes out, but its FIN still
// ends its direction.
TEST_F(StreamBuilderTest, AConnectionMissingAHandshakeFrameEndsWithItsFins) {
  using C = TcpConversation;
  const std::string request = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  // Frames: 0 SYN, 1 SYN/ACK, 2 ACK, 3 request, 4 response, 5 to 7 the close.
  for (auto [port, lost] : {std::pair<uint16_t, std::vector<size_t>>{9201, {1}},
                            {9202, {0}},
                            {9203, {2, 1}}}) {
    C c = conversation(port, 80);
    c.handshake().send(C::kClient, request).send(C::kServer, response).close();
    for (size_t frame : lost) c.remove(frame);
    feedAll(c);
  }
  C ftp = conversation(9204, 21);
  ftp.handshake().send(C::kServer, "220 ready\r\n").send(C::kClient, "QUIT\r\n");
  ftp.send(C::kServer, "221 bye\r\n").close(C::kServer);
  ftp.remove(2).remove(1);
  feedAll(ftp);

  EXPECT_EQ(builder->getSessionCount(), 0);
  std::vector<Seen> seen = consumer->sessions();
  ASSERT_EQ(seen.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[i].clientPort, 9201 + i);
    EXPECT_EQ(seen[i].serverPort, 80);
    EXPECT_EQ(seen[i].clientBytes, request.size()) << seen[i].clientPort;
    EXPECT_EQ(seen[i].serverBytes, response.size()) << seen[i].clientPort;
  }
  EXPECT_EQ(seen[3].clientPort, 9204);
  EXPECT_EQ(seen[3].clientBytes, 6u);
  EXPECT_EQ(v(stats.connectionsBuilt), 4u);
  EXPECT_EQ(v(stats.timedOutUnacked) + v(stats.timedOutComplete), 0u);
}

// At a stop every session the builder holds goes on to the consumers: those finished but not
// yet taken by the thread, then the open ones as the idle sweep would give them up.
TEST_F(StreamBuilderTest, HandingAllOnAtAStopLeavesNoSessionBehind) {
  build(false);
  for (uint16_t port : {9101, 9102}) {
    TcpConversation c = conversation(port, 80);
    c.handshake().send(TcpConversation::kClient, "GET / HTTP/1.1\r\n\r\n");
    feedAll(c.send(TcpConversation::kServer, "HTTP/1.1 204 No Content\r\n\r\n"));
  }
  TcpConversation closed = conversation(9103, 80);
  feedAll(closed.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n").close());
  ASSERT_EQ(builder->getSessionCount(), 2);
  ASSERT_EQ(builder->getQueuedCount(), 1);
  int open = 0;
  int queued = 0;
  builder->handOnAll(&open, &queued);
  EXPECT_EQ(open, 2);
  EXPECT_EQ(queued, 1);
  std::vector<uint16_t> ports = consumer->clientPorts();
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0], 9103);
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(ports, (std::vector<uint16_t>{9101, 9102, 9103}));
  EXPECT_EQ(builder->getSessionCount(), 0);
  EXPECT_EQ(builder->getQueuedCount(), 0);
  EXPECT_EQ(v(stats.timedOutComplete), 2u);
  EXPECT_EQ(v(stats.sessionsReturned), v(stats.sessionsRetrieved));
}

TEST_F(StreamBuilderTest, SessionIdle3601SecondsIsDroppedOnPort21AndOthers) {
  feedAll(conversation(5001, 21, kStart).handshake());
  feedAll(conversation(5002, 21, kStart + kSecond).handshake());
  feedAll(conversation(5003, 443, kStart).handshake());
  feedAll(conversation(5004, 443, kStart + kSecond).handshake());
  passAt(1);
  passAt(3601);
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{5001, 5003}));
  EXPECT_EQ(builder->getSessionCount(), 2);
}

TEST_F(StreamBuilderTest, ExhaustedPoolCountsThePacketAndDoesNotWait) {
  buildWith({{"SessionPools", "1"}, {"SessionsPerPool", "2"}});
  TcpConversation a = conversation(6001, 80), b = conversation(6002, 80), c = conversation(6003, 80);
  feedAll(a.handshake());
  feedAll(b.handshake());
  c.handshake();
  EXPECT_EQ(feed(c.frames()[0]), 0);  // returns instead of waiting for a free session
  EXPECT_EQ(v(stats.segmentsNoMemory), 1u);
  EXPECT_EQ(v(stats.bytesNoMemory), c.frames()[0].bytes.size());
  EXPECT_EQ(builder->getSessionCount(), 2);
  EXPECT_EQ(v(stats.sessionsRetrieved), 2u);

  // Once a session is finished and handed on, its place serves the next SYN.
  a.fin(TcpConversation::kClient).fin(TcpConversation::kServer);
  feedAll(a, a.size() - 2);
  EXPECT_EQ(builder->getSessionCount(), 1);
  EXPECT_EQ(feed(c.frames()[0]), 0);
  EXPECT_EQ(builder->getSessionCount(), 2);
  EXPECT_EQ(v(stats.segmentsNoMemory), 1u);
}

TEST_F(StreamBuilderTest, PoolSizeOptionsThatAreNotPositiveKeepTheDefaults) {
  const struct {
    const char* pools;
    const char* perPool;
    int wantPools;
    int wantPerPool;
  } cases[] = {{"0", "abc", 4096, 64}, {"-5", "-1", 4096, 64}, {"99999999999", "7", 4096, 7},
               {"3", "5", 3, 5}};
  for (const auto& c : cases) {
    buildWith({{"SessionPools", c.pools}, {"SessionsPerPool", c.perPool}});
    std::string report = poolReport(builder);
    EXPECT_NE(report.find("max_mem_queues        = " + std::to_string(c.wantPools) + "\n"),
              std::string::npos)
        << c.pools << "\n" << report;
    EXPECT_NE(report.find("objects_per_mem_queue = " + std::to_string(c.wantPerPool) + "\n"),
              std::string::npos)
        << c.perPool << "\n" << report;
  }
}

TEST_F(StreamBuilderTest, ExceptionOfASynchronousPassIsReturnedAndTheSessionGoesBack) {
  buildWith({{"SessionPools", "1"}, {"SessionsPerPool", "1"}});
  consumer->throwCode = -7;
  TcpConversation a = conversation(7001, 80);
  feedAll(a.handshake());
  a.fin(TcpConversation::kClient).fin(TcpConversation::kServer);
  feed(a.frames()[a.size() - 2]);
  EXPECT_EQ(feed(a.frames().back()), -7);

  // The hash lock was let go and the one session is free again.
  consumer->throwCode = 0;
  TcpConversation b = conversation(7002, 80);
  b.handshake().close();
  feedAll(b);
  EXPECT_EQ(v(stats.segmentsNoMemory), 0u);
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{7002}));
}

TEST_F(StreamBuilderTest, ThreadHandsSessionsOnAndStopsWhenAskedWhileWaiting) {
  build(false);
  ASSERT_EQ(builder->start(), 0);
  for (uint16_t port : {8001, 8002}) {
    TcpConversation c = conversation(port, 80);
    feedAll(c.handshake().send(TcpConversation::kClient, "GET / HTTP/1.0\r\n\r\n").close());
  }
  ASSERT_TRUE(consumer->waitFor(2));
  EXPECT_EQ(consumer->clientPorts(), (std::vector<uint16_t>{8001, 8002}));
  // The thread now waits for the next finished session; the stop must end that wait.
  builder->stop();
  EXPECT_EQ(builder->join(nullptr, 0), 0);
}

TEST_F(StreamBuilderTest, ExceptionOnTheThreadIsCaughtAndStopsTheThread) {
  buildWith({{"SessionPools", "1"}, {"SessionsPerPool", "1"}}, false);
  consumer->throwCode = -9;
  ASSERT_EQ(builder->start(), 0);
  TcpConversation a = conversation(9001, 80);
  feedAll(a.handshake().close());
  EXPECT_EQ(builder->join(nullptr, 0), 0);  // the thread ended by itself
  EXPECT_EQ(builder->isRunning(), 0);
  EXPECT_EQ(builder->getQueuedCount(), 0);
  // The session that was being handed on went back to the pool.
  TcpConversation b = conversation(9002, 80);
  feed(b.handshake().frames()[0]);
  EXPECT_EQ(v(stats.segmentsNoMemory), 0u);
  EXPECT_EQ(builder->getSessionCount(), 1);
}

}  // namespace
