// The common log file writer: the lines it writes for parsed HTTP connections, where its file
// lies and how it is opened, and how it answers a failing file.
#include "OB_CLFWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "ConsumerTestSupport.h"
#include "FileText.h"
#include "OB_HTTPConsumer.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"
#include "OB_Tools.h"
#include "SmallDisk.h"
#include "TempDir.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"

using namespace consumertest;

namespace {

// An install directory with a "logs" folder, an option list naming "clf.log", and a local zone
// two hours east of UTC, so a line written in local time would be told from one in UTC.
class CLFWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(install_.file("logs"));
    setenv("OB_INSTALLDIR", install_.path().c_str(), 1);
    std::lock_guard<std::mutex> hold(OB_Tools::timeZoneLock());
    setenv("TZ", "XST-2", 1);
    tzset();
    options_.setOwner(1);
    options_.append(new OB_String("clf.log"), "CommonLogFile");
    setOptions(&options_);
  }
  void TearDown() override {
    setOptions(nullptr);
    unsetenv("OB_INSTALLDIR");
  }

  std::string logPath() const { return install_.file("logs/clf.log"); }
  std::string logText() const { return corrana_test::readFile(logPath()); }

  corrana_test::TempDir install_;
  OB_NamedStringList options_;
};

// A connection 10.0.0.1 -> 10.0.0.2 at 2023-11-14 22:13:20 UTC with one transaction.
void fillConnection(OB_HTTPProtocol& http, const char* userAgent) {
  http.clientIP = 0x0A000001;
  http.serverIP = 0x0A000002;
  http.connTime = 1700000000;
  OB_HTTPXact* xact = obQuery<OB_HTTPXact>(http.addXLink());
  ASSERT_NE(xact, nullptr);
  xact->req_method = "GET";
  xact->req_request_uri = "/";
  xact->req_http_vers = "1.1";
  xact->res_status_code = "200";
  xact->res_bytes = 7;
  xact->req_user_agent = userAgent;
}

TEST_F(CLFWriterTest, WritesOneLinePerTransactionOfAParsedConnection) {
  tcpSessionStats_init();
  OB_HTTPConsumer* consumer = OB_HTTPConsumer::create();
  auto* claimer = new PortWriter(80, [](OB_Object*) {});
  consumer->append(claimer);
  claimer->release();
  OB_CLFWriter* writer = OB_CLFWriter::create();
  ASSERT_EQ(writer->isOpen(), 1);
  EXPECT_EQ(writer->getPath(), logPath());
  ASSERT_EQ(consumer->append(writer), 0);
  writer->release();

  // Three pipelined requests; the server answers two, the third gets no response.
  auto session = sessionOf(
      80,
      {"GET /index.html HTTP/1.0\r\nReferer: http://example/start\r\nUser-Agent: Agent/1.0\r\n\r\n"
       "GET /missing.gif HTTP/1.0\r\nUser-Agent: Agent/1.0\r\n\r\n"
       "GET /late HTTP/1.1\r\nHost: example\r\n\r\n",
       "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"
       "HTTP/1.0 404 Not Found\r\n\r\n"},
      false);
  EXPECT_EQ(consumer->processObject(session.get()), 0);
  consumer->release();  // releases the writer, which closes the file

  // UTC whatever the local zone; the client is followed by two blanks before the dash, and
  // empty texts keep their blank.
  EXPECT_EQ(logText(),
            "10.0.0.1  - 10.0.0.2 [14/Nov/2023:22:13:20 +0000] \"GET /index.html HTTP/1.0\" 200 5 "
            "http://example/start Agent/1.0 \n"
            "10.0.0.1  - 10.0.0.2 [14/Nov/2023:22:13:20 +0000] \"GET /missing.gif HTTP/1.0\" 404 "
            "0  Agent/1.0 \n"
            "10.0.0.1  - 10.0.0.2 [14/Nov/2023:22:13:20 +0000] \"GET /late HTTP/1.1\" 500 0   \n");
}

TEST_F(CLFWriterTest, TimesAreUTCWithAFixedZoneWhateverTheLocalZone) {
  char text[OB_AccessLogLine::kTimeSize];
  for (const char* zone : {"XST+3:30", "XST-2", "UTC0"}) {
    {
      std::lock_guard<std::mutex> hold(OB_Tools::timeZoneLock());
      setenv("TZ", zone, 1);
      tzset();
    }
    OB_AccessLogLine::formatTime(1700000000, text);
    EXPECT_STREQ(text, "[14/Nov/2023:22:13:20 +0000]") << zone;
  }
  OB_AccessLogLine::formatTime(0, text);
  EXPECT_STREQ(text, "[01/Jan/1970:00:00:00 +0000]");
  OB_AccessLogLine::formatTime(0xFFFFFFFFu, text);
  EXPECT_STREQ(text, "[07/Feb/2106:06:28:15 +0000]");
}

TEST_F(CLFWriterTest, AppendsToTheFileAcrossReopening) {
  { std::ofstream(logPath()) << "earlier line\n"; }
  const std::string line =
      "10.0.0.1  - 10.0.0.2 [14/Nov/2023:22:13:20 +0000] \"GET / HTTP/1.1\" 200 7  UA \n";
  for (int round = 0; round < 2; ++round) {
    OB_HTTPProtocol http(1, 4);
    fillConnection(http, "UA");
    OB_CLFWriter* writer = OB_CLFWriter::create();
    EXPECT_EQ(writer->processObject(&http), 0);
    writer->release();
  }
  EXPECT_EQ(logText(), "earlier line\n" + line + line);
}

TEST_F(CLFWriterTest, ControlBytesFromTheTrafficCannotBreakTheLine) {
  OB_HTTPProtocol http(1, 4);
  fillConnection(http, "evil\r\n10.9.9.9  - forged\x1b[2J");
  OB_CLFWriter* writer = OB_CLFWriter::create();
  EXPECT_EQ(writer->processObject(&http), 0);
  writer->release();
  EXPECT_EQ(logText(),
            "10.0.0.1  - 10.0.0.2 [14/Nov/2023:22:13:20 +0000] \"GET / HTTP/1.1\" 200 7  "
            "evil\\x0D\\x0A10.9.9.9  - forged\\x1B[2J \n");
}

TEST_F(CLFWriterTest, WithoutTheOptionOrAFileNothingIsWrittenAndConnectionsAreAccepted) {
  OB_HTTPProtocol http(1, 4);
  fillConnection(http, "UA");
  OB_Object notHTTP;

  setOptions(nullptr);
  OB_CLFWriter* noOptions = OB_CLFWriter::create();
  EXPECT_EQ(noOptions->isOpen(), 0);
  EXPECT_EQ(noOptions->processObject(&http), 0);
  noOptions->release();
  EXPECT_TRUE(std::filesystem::is_empty(install_.file("logs")));

  // A name in a folder that does not exist: logged, nothing opened.
  OB_NamedStringList missing;
  missing.setOwner(1);
  missing.append(new OB_String("nofolder/clf.log"), "CommonLogFile");
  setOptions(&missing);
  OB_CLFWriter* unopened = OB_CLFWriter::create();
  EXPECT_EQ(unopened->isOpen(), 0);
  EXPECT_EQ(unopened->processObject(&http), 0);
  unopened->release();

  setOptions(&options_);
  OB_CLFWriter* writer = OB_CLFWriter::create();
  EXPECT_EQ(writer->processObject(nullptr), 0);
  EXPECT_EQ(writer->processObject(&notHTTP), 0);
  writer->release();
  EXPECT_EQ(logText(), "");
}

TEST_F(CLFWriterTest, AFullDiskNeverLeavesAPartOfALine) {
  corrana_test::SmallDisk disk(64);
  if (!disk.mounted()) GTEST_SKIP() << disk.why();
  std::filesystem::create_directory_symlink(disk.path(), install_.file("logs/disk"));
  OB_NamedStringList options;
  options.setOwner(1);
  options.append(new OB_String("disk/clf.log"), "CommonLogFile");
  setOptions(&options);
  OB_Log::init("clf", 0, nullptr);  // the process log stays on the roomy disk

  const std::string agent(255, 'a');  // the field's whole width
  const std::string line =
      "10.0.0.1  - 10.0.0.2 [14/Nov/2023:22:13:20 +0000] \"GET / HTTP/1.1\" "
      "200 7  " +
      agent + " \n";
  OB_HTTPProtocol http(1, 4);
  fillConnection(http, agent.c_str());
  OB_CLFWriter* writer = OB_CLFWriter::create();
  ASSERT_EQ(writer->processObject(&http), 0);

  // The file's last page takes lines until one fits only in part.
  disk.fill();
  size_t written = 1;
  while (written < 100 && writer->processObject(&http) == 0) ++written;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(writer->processObject(&http), -1);
  EXPECT_EQ(writer->getDroppedCount(), 4u);
  std::string expected;
  for (size_t i = 0; i < written; ++i) expected += line;
  EXPECT_EQ(corrana_test::readFile(disk.file("clf.log")), expected);

  disk.release();
  EXPECT_EQ(writer->processObject(&http), 0);
  writer->release();
  const std::string failed = "OB_CLFWriter: write to the common log file " +
                             install_.file("logs/disk/clf.log") +
                             " failed (No space left on device, errno = 28)";
  const std::string all = corrana_test::readFile(install_.file("logs/clf.log"));
  EXPECT_NE(all.find(failed), std::string::npos) << failed << " in:\n" << all;
  EXPECT_EQ(all.find(failed), all.rfind(failed));  // once for the whole run of failures
  EXPECT_NE(all.find("clf.log again; 4 lines were lost"), std::string::npos) << all;
  OB_Log::reset();
  setOptions(&options_);
}

TEST_F(CLFWriterTest, AFailedWriteIsReportedEveryTime) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  std::filesystem::create_symlink("/dev/full", logPath());
  OB_HTTPProtocol http(1, 4);
  fillConnection(http, "UA");
  OB_CLFWriter* writer = OB_CLFWriter::create();
  ASSERT_EQ(writer->isOpen(), 1);
  EXPECT_EQ(writer->processObject(&http), -1);
  EXPECT_EQ(writer->processObject(&http), -1);
  writer->release();
}

}  // namespace
