// The HTTP consumer: its identity, its factory, and the session counters it raises around the
// consumer's own work.
#include "OB_HTTPConsumer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsumerTestSupport.h"
#include "OB_FTPConsumer.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"

using namespace consumertest;

namespace {

TEST(OB_HTTPConsumer, AnswersTheConsumerFacesAndMakesHTTPProtocolObjects) {
  OB_HTTPConsumer* consumer = OB_HTTPConsumer::create();
  EXPECT_STREQ(consumer->getClassName(), "OB_HTTPConsumer");
  EXPECT_STREQ(consumer->getProtocolName(), "http");
  for (OB_ClassID id : {OB_HTTPConsumer::getClassID(), OB_Consumer::getClassID(),
                        OB_Thread::getClassID(), OB_Runnable::getClassID(),
                        OB_List<OB_Object>::getClassID(), OB_Object::getClassID(),
                        OB_Processor::getClassID()}) {
    void* out = nullptr;
    EXPECT_EQ(consumer->queryInterface(id, &out), 0) << std::hex << id;
  }
  OB_ProtocolFactory* factory = consumer;
  OB_Data* made = factory->createProtocol();
  ASSERT_NE(obQuery<OB_HTTPProtocol>(made), nullptr);
  made->release();
  consumer->release();
}

TEST(OB_HTTPConsumer, ClaimedSessionRaisesEachHTTPCounterByOne) {
  tcpSessionStats_init();
  OB_HTTPConsumer* http = OB_HTTPConsumer::create();
  OB_FTPConsumer* ftp = OB_FTPConsumer::create();
  std::vector<std::string> methods;
  auto* writer = new PortWriter(80, [&](OB_Object* object) {
    OB_HTTPProtocol* parsed = obQuery<OB_HTTPProtocol>(object);
    ASSERT_NE(parsed, nullptr);
    OB_HTTPXact* xact = obQuery<OB_HTTPXact>(parsed->head);
    methods.push_back(xact != nullptr ? xact->req_method.c_str() : "none");
  });
  http->append(writer);
  writer->release();
  auto* ftpWriter = new PortWriter(21, [](OB_Object*) {});
  ftp->append(ftpWriter);
  ftpWriter->release();

  // The stream builder offers each finished session to both consumers in turn.
  auto web = sessionOf(80,
                       {"GET /index.html HTTP/1.0\r\nHost: example\r\n\r\n",
                        "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nhello"},
                       false);
  EXPECT_EQ(http->processObject(web.get()), 0);
  EXPECT_EQ(ftp->processObject(web.get()), 0);
  EXPECT_EQ(methods, (std::vector<std::string>{"GET"}));
  EXPECT_EQ(httpCounts(), (Counts{1, 1, 1}));
  EXPECT_EQ(ftpCounts(), (Counts{0, 0, 0}));

  // A session no HTTP writer claims leaves the HTTP counters alone.
  auto other = sessionOf(8080, {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"}, false);
  EXPECT_EQ(http->processObject(other.get()), 0);
  EXPECT_EQ(httpCounts(), (Counts{1, 1, 1}));
  ftp->release();
  http->release();
}

}  // namespace
