// Consumers: which sessions get parsed, how often, who sees the parsed object and in what order,
// and what the writer list owns.
#include "records/OB_Consumer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "http/OB_HTTPXact.h"
#include "records/OB_Protocol.h"
#include "records/OB_ProtocolWriter.h"
#include "tcp/OB_Server.h"
#include "tcp/OB_TCPSession.h"

namespace {

std::vector<std::string> events;  // what happened, in order, across the objects of one test

class CountingProtocol : public OB_Protocol {
 public:
  CountingProtocol() { ++alive; }
  ~CountingProtocol() override { --alive; }
  OB_Xact* createXLink() override { return OB_HTTPXact::create(); }
  int processObject(OB_Object* object) override {
    events.push_back("parse");
    int result = OB_Protocol::processObject(object);
    addXLink();
    ++commRespCount;
    return result;
  }
  int reset() override {
    events.push_back("reset protocol");
    return OB_Protocol::reset();
  }
  static int alive;
};
int CountingProtocol::alive = 0;

// A writer that answers only the writer faces (not OB_Object's), as the interface itself does.
class TestWriter : public virtual OB_ProtocolWriter, public virtual OB_ReferenceCounter {
 public:
  TestWriter(std::string name, bool claims, int resetResult = 0)
      : name_(std::move(name)), claims_(claims), resetResult_(resetResult) {}
  const char* getClassName() override { return "TestWriter"; }
  int queryInterface(OB_ClassID id, void** out) override {
    return OB_ProtocolWriter::queryInterface(id, out);
  }
  int isMatch(uint32_t serverIP, uint16_t serverPort) override {
    events.push_back(name_ + " asked " + std::to_string(serverIP) + ":" +
                     std::to_string(serverPort));
    return claims_ ? 1 : 0;
  }
  int processObject(OB_Object* object) override {
    OB_Protocol* protocol = obQuery<OB_Protocol>(object);
    // What the writer sees must be the filled object, before it is reset.
    events.push_back(name_ + " got " +
                     (protocol != nullptr ? std::to_string(protocol->getXactCount()) : "none"));
    return -1;  // a failing writer does not stop the others
  }
  int reset() override {
    events.push_back(name_ + " reset");
    return resetResult_;
  }

 private:
  std::string name_;
  bool claims_;
  int resetResult_;
};

class TestConsumer : public OB_Consumer {
 public:
  TestConsumer() { name = "HTTP"; }
  OB_Data* createProtocol() override {
    events.push_back("create");
    return new CountingProtocol();
  }
  OB_Protocol* current() { return protocol; }
};

OB_TCPSession* session(uint32_t server, uint16_t port) {
  OB_TCPSession* s = OB_TCPSession::create();
  s->setAddressInfo(0x0A000001, 40000, server, port);
  s->client.xStatus = OB_PacketStream::kSynSeen | OB_PacketStream::kSynAcked;
  s->server.xStatus = OB_PacketStream::kSynSeen | OB_PacketStream::kSynAcked;
  return s;
}

class OB_ConsumerTest : public ::testing::Test {
 protected:
  void SetUp() override { events.clear(); }
  void TearDown() override {
    obRelease(consumer);
    obRelease(tcp);
    EXPECT_EQ(CountingProtocol::alive, 0);
  }
  TestWriter* add(const char* name, bool claims, int resetResult = 0) {
    TestWriter* writer = new TestWriter(name, claims, resetResult);
    EXPECT_EQ(consumer->append(writer), 0);
    writer->release();  // the list holds its own reference
    return writer;
  }
  TestConsumer* consumer = new TestConsumer();
  OB_TCPSession* tcp = session(7, 80);
};

TEST_F(OB_ConsumerTest, WithoutWritersNothingIsParsed) {
  EXPECT_EQ(consumer->processObject(tcp), -1);
  EXPECT_EQ(consumer->processObject(tcp), -1);
  EXPECT_EQ(consumer->current(), nullptr);
  EXPECT_TRUE(events.empty());
  EXPECT_STREQ(consumer->getProtocolName(), "HTTP");
}

TEST_F(OB_ConsumerTest, WritersThatDoNotClaimTheServerGetNothing) {
  add("archive", false);
  add("other", false);
  EXPECT_EQ(consumer->processObject(tcp), -1);
  EXPECT_EQ(events, (std::vector<std::string>{"archive asked 7:80", "other asked 7:80"}));
  EXPECT_EQ(consumer->current(), nullptr);
}

TEST_F(OB_ConsumerTest, ClaimedSessionIsParsedOnceAndHandedToEveryWriterInOrder) {
  add("archive", false);
  OB_ReferenceCounter* plain = new OB_ReferenceCounter();  // no writer face: passed over
  consumer->append(plain);
  plain->release();
  add("reader1", true);
  add("reader2", true);
  EXPECT_EQ(consumer->processObject(tcp), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"archive asked 7:80", "reader1 asked 7:80", "create",
                                              "parse", "archive got 1", "reader1 got 1",
                                              "reader2 got 1", "reset protocol"}));
  ASSERT_NE(consumer->current(), nullptr);
  EXPECT_EQ(consumer->current()->head, nullptr);
  EXPECT_EQ(consumer->current()->serverIP, 0u);

  // The next session reuses the same, now empty, object.
  events.clear();
  EXPECT_EQ(consumer->processObject(tcp), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "create"), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "archive got 1"), 1);
}

// A definition of the watched-server list for one protocol.
class WatchedServer : public OB_Server {
 public:
  WatchedServer(const char* protocol, uint32_t address, uint16_t port) : protocol_(protocol) {
    setIPAddress(address);  // published now with the protocol
    setPort(port);
  }
  const char* getProtocolName() override { return protocol_; }

 private:
  const char* protocol_;
};

// What is watched is the server list's to say: with nobody claiming (the analysis rebuilding its
// readers, or no reader at all) the writers still get every session of a watched server, and
// only those of the consumer's own protocol.
TEST_F(OB_ConsumerTest, ASessionOfAWatchedServerGoesToTheWritersThoughNoneClaimsIt) {
  add("archive", false);
  {
    WatchedServer other("ftp", 7, 80);
    OB_Server filterOnly;
    filterOnly.setIPAddress(7);
    filterOnly.setPort(80);
    EXPECT_EQ(consumer->processObject(tcp), -1);
  }
  WatchedServer web("HTTP", 7, 80);
  events.clear();
  EXPECT_EQ(consumer->processObject(tcp), 0);
  EXPECT_EQ(events,
            (std::vector<std::string>{"create", "parse", "archive got 1", "reset protocol"}));
  OB_TCPSession* elsewhere = session(7, 8080);
  EXPECT_EQ(consumer->processObject(elsewhere), -1);
  obRelease(elsewhere);
}

TEST_F(OB_ConsumerTest, NonSessionIsRefusedBeforeAnyWriterIsAsked) {
  add("reader", true);
  OB_HTTPXact* notSession = OB_HTTPXact::create();
  EXPECT_EQ(consumer->processObject(notSession), -1);
  EXPECT_EQ(consumer->processObject(nullptr), -1);
  EXPECT_TRUE(events.empty());
  obRelease(notSession);
}

TEST_F(OB_ConsumerTest, InitDropsTheProtocolObjectAndTheNextSessionBuildsANewOne) {
  add("reader", true);
  EXPECT_EQ(consumer->processObject(tcp), 0);
  EXPECT_EQ(CountingProtocol::alive, 1);
  EXPECT_EQ(consumer->init(), 0);
  EXPECT_EQ(consumer->current(), nullptr);
  EXPECT_EQ(CountingProtocol::alive, 0);
  events.clear();
  EXPECT_EQ(consumer->processObject(tcp), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "create"), 1);
  EXPECT_EQ(CountingProtocol::alive, 1);
}

TEST_F(OB_ConsumerTest, ResetResetsWritersInOrderUntilOneFailsThenTheProtocol) {
  add("first", true);
  add("failing", false, -1);
  add("last", false);
  consumer->processObject(tcp);
  events.clear();
  EXPECT_EQ(consumer->reset(), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"first reset", "failing reset", "reset protocol"}));
}

TEST_F(OB_ConsumerTest, ListHoldsItsOwnReferenceOnEachWriter) {
  TestWriter* shared = new TestWriter("shared", true);
  TestConsumer* second = new TestConsumer();
  ASSERT_EQ(consumer->append(shared), 0);
  ASSERT_EQ(second->append(shared), 0);
  EXPECT_EQ(shared->getReferenceCount(), 3);
  obRelease(second);  // releases its reference only
  EXPECT_EQ(shared->getReferenceCount(), 2);
  consumer->remove(shared);
  EXPECT_EQ(shared->getReferenceCount(), 1);
  shared->release();
}

}  // namespace

#include "OB_NamedStringList.h"
#include "OB_Options.h"

namespace {

TEST(OB_ConsumerOptions, DebugOptionAboveZeroSetsTheLevel) {
  OB_NamedStringList options;
  options.setOwner(1);
  options.insert(OB_String::create(), "Debug");
  *options.find("Debug") = "2";
  setOptions(&options);
  OB_Consumer* verbose = new OB_Consumer;
  EXPECT_EQ(verbose->getDebugLevel(), 2);
  *options.find("Debug") = "-1";
  OB_Consumer* quiet = new OB_Consumer;
  EXPECT_EQ(quiet->getDebugLevel(), 0);
  setOptions(nullptr);
  obRelease(verbose);
  obRelease(quiet);
}

}  // namespace
