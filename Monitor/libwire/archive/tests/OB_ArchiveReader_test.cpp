// The archive reader: records back in order across files for static and real-time windows,
// records still being written, resynchronisation after bad bytes, and hostile files.
#include "archive/OB_ArchiveReader.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveTestSupport.h"
#include "FileText.h"
#include "OB_Log.h"
#include "TempDir.h"
#include "archive/OB_ArchiveWriter.h"
#include "coding/OB_ArchiveIO.h"

using namespace archivetest;

namespace {

constexpr uint32_t kFarFuture = 0xFFFFFFF0u;

Bytes cat(std::vector<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes httpBytes(uint32_t time, const char* uri) {
  OB_HTTPProtocol* p = httpRecord(time, {uri});
  Bytes bytes = recordBytes(p);
  p->release();
  return bytes;
}

void patchStop(const std::string& path, uint32_t stop) {
  FILE* file = fopen(path.c_str(), "rb+");
  fseek(file, OB_ArchiveHeader::kStopTimeOffset, SEEK_SET);
  OB_ArchiveIO::writeU32(file, stop);
  fclose(file);
}

// Reads until done or until attempts run out; the bytes of every record returned.
std::vector<Bytes> drain(OB_ArchiveReader& reader, int attempts = 50) {
  std::vector<Bytes> out;
  for (int i = 0; i < attempts && reader.isDone() == 0; ++i) {
    if (OB_Data* record = reader.read()) {
      out.push_back(recordBytes(record));
      record->release();
    }
  }
  return out;
}

// The next record's bytes, or empty when read gives none.
Bytes next(OB_ArchiveReader& reader) {
  OB_Data* record = reader.read();
  if (record == nullptr) return {};
  Bytes bytes = recordBytes(record);
  record->release();
  return bytes;
}

class OB_ArchiveReaderTest : public ::testing::Test {
 protected:
  std::string file(const char* name) { return dir.file(name); }
  corrana_test::TempDir dir;
  HTTPFactory http;
  FTPFactory ftp;
};

TEST_F(OB_ArchiveReaderTest, HttpAndFtpRecordsComeBackThroughWriterAndReader) {
  std::vector<Bytes> httpWritten, ftpWritten;
  OB_ArchiveWriter* httpWriter =
      new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "", "", 0);
  OB_ArchiveWriter* ftpWriter = new OB_ArchiveWriter(nullptr, dir.path().c_str(), "ftp", "", "", 0);
  for (uint32_t t = 1000; t < 1003; ++t) {
    OB_HTTPProtocol* record = httpRecord(t, {"/index.html", "/logo.gif"});
    httpWriter->processObject(record);
    httpWritten.push_back(recordBytes(record));
    record->release();
  }
  for (const char* login : {"alice", "bob"}) {
    OB_FTPProtocol* record = ftpRecord(2000, login);
    ftpWriter->processObject(record);
    ftpWritten.push_back(recordBytes(record));
    record->release();
  }
  httpWriter->release();
  ftpWriter->release();

  OB_ArchiveReader httpReader(&http, dir.path().c_str(), "http", 1, kFarFuture, 0);
  ASSERT_EQ(httpReader.init(), 0);
  EXPECT_EQ(drain(httpReader), httpWritten);
  EXPECT_EQ(httpReader.isDone(), 1);
  OB_ArchiveReader ftpReader(&ftp, dir.path().c_str(), "ftp", 1, kFarFuture, 0);
  ASSERT_EQ(ftpReader.init(), 0);
  EXPECT_EQ(drain(ftpReader), ftpWritten);
  EXPECT_EQ(ftpReader.read(), nullptr);
}

TEST_F(OB_ArchiveReaderTest, StaticWindowReadsEveryFileItMeetsInStartOrder) {
  makeArchive(file("http-3"), 3000, 4000, cat({httpBytes(3100, "/c1"), httpBytes(3600, "/c2")}));
  makeArchive(file("http-1"), 100, 200, httpBytes(150, "/a"));
  makeArchive(file("http-2"), 1000, 2000, httpBytes(1500, "/b"));

  // A window inside one file's span reads that file.
  OB_ArchiveReader inside(&http, dir.path().c_str(), "http", 1, 1800, 1200);
  inside.init();
  EXPECT_EQ(drain(inside), std::vector<Bytes>{httpBytes(1500, "/b")});

  // A window between two files' spans reads nothing.
  OB_ArchiveReader between(&http, dir.path().c_str(), "http", 1, 2900, 2100);
  between.init();
  EXPECT_EQ(between.getCurrentHeader(), nullptr);
  EXPECT_TRUE(drain(between).empty());
  EXPECT_EQ(between.isDone(), 1);
  EXPECT_EQ(between.waitOnNoFiles(), -1);  // nothing can come to a static window

  // Across files in start order; a record past the now time ends the window.
  OB_ArchiveReader across(&http, dir.path().c_str(), "http", 1, 3500, 150);
  across.init();
  EXPECT_EQ(drain(across), (std::vector<Bytes>{httpBytes(150, "/a"), httpBytes(1500, "/b"),
                                               httpBytes(3100, "/c1")}));
}

TEST_F(OB_ArchiveReaderTest, GarbageInAFinishedFileCostsOnlyTheGarbage) {
  const std::vector<Bytes> records = {httpBytes(1, "/1"), httpBytes(2, "/2"), httpBytes(3, "/3"),
                                      httpBytes(4, "/4"), httpBytes(5, "/5")};
  makeArchive(file("http-a"), 1, 10,
              cat({records[0], text("xq"), records[1], text("qvqvx"), records[2],
                   Bytes(37, 0xEE), records[3], Bytes(records[4].begin(), records[4].begin() + 9),
                   records[4]}));
  OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 1, kFarFuture, 0);
  reader.init();
  EXPECT_EQ(drain(reader), records);
}

TEST_F(OB_ArchiveReaderTest, TruncatedAndGarbageFilesGiveOnlyCompleteRecords) {
  const Bytes first = httpBytes(1, "/first");
  const Bytes second = httpBytes(2, "/second");
  makeArchive(file("http-whole"), 1, 2, cat({first, second}));
  const Bytes whole = fileBytes(file("http-whole"));
  std::filesystem::remove(file("http-whole"));
  const size_t dataOffset = whole.size() - first.size() - second.size();
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    const std::string path = file("http-cut");
    std::filesystem::remove(path);
    appendBytes(path, Bytes(whole.begin(), whole.begin() + cut));
    OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 1, kFarFuture, 0);
    reader.init();
    const size_t complete = cut < dataOffset + first.size() ? 0 : 1;
    EXPECT_EQ(drain(reader).size(), complete) << cut;
    EXPECT_EQ(reader.isDone(), 1) << cut;
  }
  std::filesystem::remove(file("http-cut"));
  appendBytes(file("http-noise"), Bytes(4096, 'q'));
  OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 0, kFarFuture, 0);
  reader.init();
  EXPECT_EQ(reader.getCurrentHeader(), nullptr);
  EXPECT_EQ(reader.read(), nullptr);
}

// The reader reads ahead in blocks: records cut by a block's end, one longer than a block, and
// bad bytes between them all come out as the records written, in order.
TEST_F(OB_ArchiveReaderTest, RecordsAcrossAndLongerThanTheReadAheadComeBackWhole) {
  class WideFactory : public OB_ProtocolFactory {
   public:
    OB_Data* createProtocol() override { return new OB_HTTPProtocol(128, 1); }
  } wide;
  OB_HTTPProtocol* longRecord = new OB_HTTPProtocol(128, 1);
  longRecord->connTime = 5000;
  const std::string filler(1023, 'f');
  for (int i = 0; i < 80; ++i) {
    OB_HTTPXact* xact = obQuery<OB_HTTPXact>(longRecord->addXLink());
    ASSERT_NE(xact, nullptr);
    xact->req_request_uri = filler.c_str();
    xact->req_referer = filler.c_str();
    xact->req_cookie = filler.c_str();
    xact->res_cookie = filler.c_str();
    ++longRecord->commRespCount;
  }
  std::vector<Bytes> records;
  const Bytes small = httpBytes(1, "/small"), longer = httpBytes(2, "/a-little-longer-uri");
  for (uint32_t i = 1; i <= 3000; ++i) records.push_back(i % 7 != 0 ? small : longer);
  records.insert(records.begin() + 2000, recordBytes(longRecord));
  longRecord->release();
  ASSERT_GT(records[2000].size(), 300000u);

  Bytes all;
  for (size_t i = 0; i < records.size(); ++i) {
    all.insert(all.end(), records[i].begin(), records[i].end());
    if (i == 2500) all.insert(all.end(), 40, 0xEE);
  }
  all.insert(all.end(), records[1].begin(), records[1].begin() + 30);  // cut short: skipped
  makeArchive(file("http-big"), 1, 9999, all);
  OB_ArchiveReader reader(&wide, dir.path().c_str(), "http", 1, kFarFuture, 0);
  reader.init();
  EXPECT_EQ(drain(reader, 4000), records);
  EXPECT_EQ(reader.isDone(), 1);
}

TEST_F(OB_ArchiveReaderTest, RealTimeWindowWaitsForHalfWrittenRecordsAndFollowsNewFiles) {
  const Bytes one = httpBytes(10, "/one"), two = httpBytes(11, "/two"), three = httpBytes(12, "/3");
  const std::string open = file("http-open");
  makeArchive(open, 1000, 0, one);
  HeldAsByAWriter writing(open);
  OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 0, kFarFuture, 0);
  reader.init();
  EXPECT_EQ(reader.isOldData(), 0);  // the only file is the one being written
  EXPECT_EQ(next(reader), one);
  EXPECT_TRUE(next(reader).empty());
  appendBytes(open, Bytes(two.begin(), two.begin() + 20));
  EXPECT_TRUE(next(reader).empty());
  EXPECT_TRUE(next(reader).empty());
  appendBytes(open, Bytes(two.begin() + 20, two.end()));
  EXPECT_EQ(next(reader), two);
  EXPECT_EQ(reader.isDone(), 0);

  // The writer's rotation: the file is closed and a new one begins.
  patchStop(open, 2000);
  makeArchive(file("http-new"), 2001, 0, three);
  HeldAsByAWriter writingNew(file("http-new"));
  EXPECT_EQ(drain(reader, 5), std::vector<Bytes>{three});
  EXPECT_STREQ(reader.getCurrentHeader()->getName(), file("http-new").c_str());
  EXPECT_EQ(reader.isOldData(), 0);
}

// Closes the file, as the writer's rotation does, between a failed read and the look at the
// stop time.
class ClosingMeanwhile : public OB_ArchiveReader {
 public:
  using OB_ArchiveReader::OB_ArchiveReader;
  std::string path;
  Bytes rest;

 protected:
  int isRealTimeFile() override {
    if (!rest.empty()) {
      appendBytes(path, rest);
      patchStop(path, 2000);
      rest.clear();
    }
    return OB_ArchiveReader::isRealTimeFile();
  }
};

TEST_F(OB_ArchiveReaderTest, ARecordCompletedAsTheWriterClosesIsNotLost) {
  const Bytes one = httpBytes(10, "/one"), two = httpBytes(11, "/two");
  const std::string path = file("http-a");
  makeArchive(path, 1000, 0, cat({one, Bytes(two.begin(), two.begin() + 30)}));
  HeldAsByAWriter writing(path);
  ClosingMeanwhile reader(&http, dir.path().c_str(), "http", 0, kFarFuture, 0);
  reader.path = path;
  reader.rest.assign(two.begin() + 30, two.end());
  reader.init();
  EXPECT_EQ(next(reader), one);
  EXPECT_TRUE(next(reader).empty());
  EXPECT_EQ(next(reader), two);
  EXPECT_EQ(reader.isOldData(), 1);
}

TEST_F(OB_ArchiveReaderTest, RealTimeReaderFollowsTheWriterAcrossItsRotation) {
  OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "", "", 0);
  OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 0, kFarFuture, 0);
  reader.init();
  OB_HTTPProtocol* a = httpRecord(10, {"/a"});
  OB_HTTPProtocol* b = httpRecord(11, {"/b"});
  writer->processObject(a);
  writer->reset();  // closing flushes the records
  writer->processObject(b);
  writer->release();
  EXPECT_EQ(drain(reader, 10), (std::vector<Bytes>{recordBytes(a), recordBytes(b)}));
  a->release();
  b->release();
}

// Runs a writer of "http" in a child process that hands it the records and is then killed
// with SIGKILL, before it can close anything.
void writeAndBeKilled(const std::string& directory, const std::vector<OB_HTTPProtocol*>& records) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, directory.c_str(), "http", "", "", 0);
    for (OB_HTTPProtocol* record : records) writer->processObject(record);
    const char done = 1;
    if (write(ready[1], &done, 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  struct pollfd wait = {ready[0], POLLIN, 0};
  EXPECT_EQ(poll(&wait, 1, 10000), 1) << "the writer never got its records out";
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
}

TEST_F(OB_ArchiveReaderTest, AFileWhoseWriterWasKilledIsReadToItsLastRecordAndFinished) {
  corrana_test::TempDir install;
  std::filesystem::create_directory(install.file("logs"));
  setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  OB_Log::init("reader", 0, nullptr);
  auto log = [&] { return corrana_test::readFile(install.file("logs/reader.log")); };
  std::vector<OB_HTTPProtocol*> records = {httpRecord(1, {"/a"}), httpRecord(2, {"/b", "/c"}),
                                           httpRecord(3, {"/d"})};
  std::vector<Bytes> written;
  for (OB_HTTPProtocol* record : records) written.push_back(recordBytes(record));
  writeAndBeKilled(dir.path(), records);
  for (OB_HTTPProtocol* record : records) record->release();

  const std::vector<std::string> files = filesOf(dir.path(), "http-");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(headerOf(files[0]).closeTime(), 0u);  // never closed
  {
    OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 1, kFarFuture, 0);
    reader.init();
    EXPECT_EQ(drain(reader), written);  // every record the writer was handed
    EXPECT_EQ(reader.isDone(), 1);
  }
  EXPECT_NE(log().find("OB_ArchiveReader: " + files[0] +
                       " was left unclosed by its writer; read to its end\n"),
            std::string::npos)
      << log();

  // The same with a record cut short at the end, as a full disk or a crash mid-write leaves it.
  appendBytes(files[0], Bytes(written[1].begin(), written[1].begin() + 25));
  {
    OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 1, kFarFuture, 0);
    reader.init();
    EXPECT_EQ(drain(reader), written);
    EXPECT_EQ(reader.isDone(), 1);
  }
  EXPECT_NE(log().find("OB_ArchiveReader: " + files[0] +
                       " was left unclosed by its writer; read to its last complete record, the "
                       "25 bytes of a record cut short after it are skipped\n"),
            std::string::npos)
      << log();
  OB_Log::reset();
  unsetenv("OB_INSTALLDIR");
}

// A real-time window whose end has passed is done once its last file is read, and says nothing
// in the log: reaching the end is how a run that goes well ends.
TEST_F(OB_ArchiveReaderTest, ARealTimeWindowPastItsEndIsDoneWithoutALogLine) {
  corrana_test::TempDir install;
  std::filesystem::create_directory(install.file("logs"));
  setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  OB_Log::init("reader", 0, nullptr);
  const Bytes one = httpBytes(10, "/one");
  makeArchive(file("http-a"), 5, 20, one);
  {
    OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 0, 1000, 0);
    reader.init();
    EXPECT_EQ(drain(reader), std::vector<Bytes>{one});
    EXPECT_EQ(reader.isDone(), 1);
  }
  EXPECT_EQ(corrana_test::readFile(install.file("logs/reader.log")), "");
  OB_Log::reset();
  unsetenv("OB_INSTALLDIR");
}

TEST_F(OB_ArchiveReaderTest, WaitOnNoFilesTakesTheFirstFileThatAppears) {
  OB_ArchiveReader reader(&http, dir.path().c_str(), "http", 0, kFarFuture, 0);
  reader.init();
  makeArchive(file("http-late"), 500, 0, httpBytes(501, "/late"));
  std::thread waker([&reader] {
    while (reader.getEvent()->numWaiting() == 0) std::this_thread::yield();
    reader.getEvent()->signal();
  });
  EXPECT_EQ(reader.waitOnNoFiles(), 0);
  waker.join();
  EXPECT_EQ(next(reader), httpBytes(501, "/late"));
}

}  // namespace
