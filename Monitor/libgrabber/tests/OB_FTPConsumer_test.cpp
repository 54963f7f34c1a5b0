// The FTP consumer: its identity, its factory, and the session counters it raises around the
// consumer's own work.
#include "OB_FTPConsumer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsumerTestSupport.h"
#include "OB_HTTPConsumer.h"
#include "OB_Thread.h"
#include "ftp/OB_FTPProtocol.h"

using namespace consumertest;

namespace {

const std::vector<std::string> kFtpTurns = {"220 ready\r\n", "USER carol\r\n", "230 in\r\n",
                                            "RETR /pub/a.txt\r\n", "150 go\r\n226 done\r\n"};

TEST(OB_FTPConsumer, AnswersTheConsumerFacesAndMakesFTPProtocolObjects) {
  OB_FTPConsumer* consumer = OB_FTPConsumer::create();
  EXPECT_STREQ(consumer->getClassName(), "OB_FTPConsumer");
  EXPECT_STREQ(consumer->getProtocolName(), "ftp");
  for (OB_ClassID id : {OB_FTPConsumer::getClassID(), OB_Consumer::getClassID(),
                        OB_Thread::getClassID(), OB_Runnable::getClassID(),
                        OB_List<OB_Object>::getClassID(), OB_Object::getClassID(),
                        OB_Processor::getClassID()}) {
    void* out = nullptr;
    EXPECT_EQ(consumer->queryInterface(id, &out), 0) << std::hex << id;
    EXPECT_NE(out, nullptr);
  }
  void* out = &out;
  EXPECT_EQ(consumer->queryInterface(OB_HTTPConsumer::getClassID(), &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(obQuery<OB_Consumer>(obQuery<OB_Processor>(consumer)), consumer);

  OB_ProtocolFactory* factory = consumer;
  OB_Data* made = factory->createProtocol();
  ASSERT_NE(obQuery<OB_FTPProtocol>(made), nullptr);
  made->release();
  consumer->release();
}

TEST(OB_FTPConsumer, ClaimedSessionIsParsedHandedOnAndCountedOnce) {
  tcpSessionStats_init();
  OB_FTPConsumer* consumer = OB_FTPConsumer::create();
  std::vector<std::string> seen;
  auto* writer = new PortWriter(21, [&](OB_Object* object) {
    OB_FTPProtocol* ftp = obQuery<OB_FTPProtocol>(object);
    ASSERT_NE(ftp, nullptr);
    seen.push_back(std::string(ftp->loginName.c_str()) + " " +
                   std::to_string(ftp->commRespCount) + " " + std::to_string(ftp->m_ftranCount) +
                   " " + ftp->getFirstTransfer()->file.c_str());
  });
  ASSERT_EQ(consumer->append(writer), 0);
  writer->release();

  auto session = sessionOf(21, kFtpTurns, true);
  EXPECT_EQ(consumer->processObject(session.get()), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"carol 2 1 a.txt"}));
  EXPECT_EQ(ftpCounts(), (Counts{1, 1, 1}));
  EXPECT_EQ(httpCounts(), (Counts{0, 0, 0}));

  EXPECT_EQ(consumer->processObject(session.get()), 0);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], seen[0]);  // the reused object started empty
  EXPECT_EQ(ftpCounts(), (Counts{2, 2, 2}));
  consumer->release();
}

TEST(OB_FTPConsumer, UnclaimedSessionsAndOtherObjectsChangeNoCounterAndGiveZero) {
  tcpSessionStats_init();
  OB_FTPConsumer* consumer = OB_FTPConsumer::create();
  int handed = 0;
  auto* writer = new PortWriter(21, [&](OB_Object*) { ++handed; });
  consumer->append(writer);
  writer->release();

  auto web = sessionOf(80, {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"}, false);
  EXPECT_EQ(consumer->processObject(web.get()), 0);
  OB_Object plain;
  EXPECT_EQ(consumer->processObject(&plain), 0);
  EXPECT_EQ(consumer->processObject(nullptr), 0);
  EXPECT_EQ(handed, 0);
  EXPECT_EQ(ftpCounts(), (Counts{0, 0, 0}));

  OB_FTPConsumer* empty = OB_FTPConsumer::create();  // no writers at all
  auto ftp = sessionOf(21, kFtpTurns, true);
  EXPECT_EQ(empty->processObject(ftp.get()), 0);
  EXPECT_EQ(ftpCounts(), (Counts{0, 0, 0}));
  empty->release();
  consumer->release();
}

}  // namespace
