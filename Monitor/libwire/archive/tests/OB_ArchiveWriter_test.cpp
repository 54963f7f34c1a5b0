// The archive writer and the file list: files named and headed as they are opened, records
// appended, the midnight rotation, the cleaning of old and unclosed files, the database list and
// the kind's lock file.
#include "archive/OB_ArchiveWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "ArchiveTestSupport.h"
#include "FileText.h"
#include "OB_Log.h"
#include "OB_ResetThread.h"
#include "SmallDisk.h"
#include "SocketPair.h"
#include "TempDir.h"
#include "archive/OB_ArchiveFileList.h"
#include "archive/OB_ArchiveReader.h"
#include "net/OB_AllNetData.h"
#include "records/OB_Consumer.h"

using namespace archivetest;

namespace {

constexpr uint32_t kDay = 86400;

uint32_t now() { return static_cast<uint32_t>(time(nullptr)); }

// Whether a descriptor of its own could take the lock file's byte 0 now (it is given back).
bool lockIsFree(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return false;
  struct flock region = {};
  region.l_type = F_WRLCK;
  region.l_whence = SEEK_SET;
  region.l_len = 1;
  bool free = fcntl(fd, F_OFD_SETLK, &region) == 0;
  close(fd);
  return free;
}

class LockingWriter : public OB_ArchiveWriter {
 public:
  using OB_ArchiveWriter::OB_ArchiveWriter;
  OB_FileLock& kindLock() { return lockFile; }
};

class NoPauseReset : public OB_ResetThread {
 protected:
  int sleep(int /*seconds*/) override { return 0; }
};

TEST(OB_ArchiveWriter, OpensANamedFileAndAppendsEveryRecordItIsHanded) {
  corrana_test::TempDir dir;
  const uint32_t before = now();
  OB_ArchiveWriter* writer =
      new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "eth0", "port 80", 0);
  ASSERT_NE(writer->getHeader(), nullptr);
  const std::string path = writer->getHeader()->getName();
  const uint32_t start = writer->getHeader()->openTime();
  EXPECT_GE(start, before);
  EXPECT_EQ(path, dir.path() + "/" + static_cast<const char*>(OB_Archive::fileName("http", start)));
  EXPECT_EQ(path.find_first_of(": \n", dir.path().size()), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir.file("http.lock")));

  // The header is on disk at once, with no stop time.
  OB_ArchiveHeader open = headerOf(path);
  EXPECT_EQ(open.closeTime(), 0u);
  EXPECT_STREQ(open.getDevice(), "eth0");
  EXPECT_STREQ(open.getFilter(), "port 80");

  OB_HTTPProtocol* a = httpRecord(1000, {"/a", "/b"});
  OB_HTTPProtocol* b = httpRecord(1001, {"/c"});
  EXPECT_EQ(writer->processObject(a), 0);
  EXPECT_EQ(writer->processObject(b), 0);
  OB_Object notARecord;
  EXPECT_EQ(writer->processObject(&notARecord), 0);
  EXPECT_EQ(writer->isMatch(0x0A000002, 80), 0);
  EXPECT_EQ(obQuery<OB_ProtocolWriter>(static_cast<OB_Archive*>(writer)),
            static_cast<OB_ProtocolWriter*>(writer));
  writer->release();

  // Closed: the stop time is patched, the records follow the header.
  Bytes expected = fileBytes(path);
  OB_ArchiveHeader closed = headerOf(path);
  EXPECT_GE(closed.closeTime(), start);
  Bytes records = recordBytes(a);
  Bytes second = recordBytes(b);
  records.insert(records.end(), second.begin(), second.end());
  ASSERT_EQ(expected.size(), closed.getDataOffset() + records.size());
  EXPECT_TRUE(std::equal(records.begin(), records.end(), expected.begin() + closed.getDataOffset()));
  a->release();
  b->release();
}

TEST(OB_ArchiveWriter, SharedWithAConsumerItLivesUntilBothLetGo) {
  corrana_test::TempDir dir;
  OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "", "", 0);
  OB_Consumer* consumer = new OB_Consumer();
  ASSERT_EQ(consumer->append(writer), 0);
  writer->release();  // the consumer's reference keeps it
  EXPECT_EQ(writer->write(const_cast<char*>("still here")), 0);
  consumer->release();
}

TEST(OB_ArchiveWriter, MidnightRotationNeverOverwritesAndLeavesTheSettingsToTheFirstFile) {
  corrana_test::TempDir dir;
  OB_ArchiveWriter* writer =
      new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "eth0", "port 80", 0);
  OB_HTTPProtocol* record = httpRecord(5, {"/first"});
  writer->processObject(record);
  const std::string first = writer->getHeader()->getName();

  // The reset thread's midnight pass, at once and (most likely) in the second the file began.
  NoPauseReset* resets = new NoPauseReset();
  resets->append(writer);
  resets->doTask();
  resets->doTask();
  resets->release();
  writer->processObject(record);
  writer->release();
  const Bytes one = recordBytes(record);
  record->release();

  const std::vector<std::string> files = filesOf(dir.path(), "http-");
  ASSERT_EQ(files.size(), 3u);
  std::set<uint32_t> starts;  // one second each: names never collide
  size_t withRecord = 0;
  for (const std::string& path : files) {
    OB_ArchiveHeader header = headerOf(path);
    starts.insert(header.openTime());
    EXPECT_GE(header.closeTime(), header.openTime());
    // The capture settings are in the file the writer began with; the day's later files carry
    // none.
    EXPECT_STREQ(header.getDevice(), path == first ? "eth0" : "");
    EXPECT_STREQ(header.getFilter(), path == first ? "port 80" : "");
    const size_t size = fileBytes(path).size();
    const size_t offset = static_cast<size_t>(header.getDataOffset());
    if (size == offset + one.size()) {
      ++withRecord;
    } else {
      EXPECT_EQ(size, offset);
    }
    if (path == first) {
      EXPECT_EQ(size, offset + one.size());
    }
  }
  EXPECT_EQ(withRecord, 2u);
  EXPECT_EQ(starts.size(), 3u);
}

TEST(OB_ArchiveWriter, WithoutAFileRecordsAreRefusedAndNothingIsPatched) {
  corrana_test::TempDir dir;
  const std::string db = dir.file("db");
  std::filesystem::create_directory(db);
  OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, db.c_str(), "http", "", "", 0);
  ASSERT_NE(writer->getHeader(), nullptr);
  std::filesystem::remove_all(db);
  EXPECT_EQ(writer->reset(), 0);  // the old file is closed, no new one can be made
  EXPECT_EQ(writer->getHeader(), nullptr);
  OB_HTTPProtocol* record = httpRecord(5, {"/lost"});
  EXPECT_EQ(writer->processObject(record), 0);
  EXPECT_EQ(writer->write(const_cast<char*>("x")), -1);
  record->release();
  writer->release();
}

// How often text occurs in all.
size_t occurrences(const std::string& all, const std::string& text) {
  size_t count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

TEST(OB_ArchiveWriter, AFullDiskDropsWholeRecordsAndWritingResumesWhenThereIsRoom) {
  corrana_test::SmallDisk disk(256);
  if (!disk.mounted()) GTEST_SKIP() << disk.why();
  corrana_test::TempDir install;
  std::filesystem::create_directory(install.file("logs"));
  setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  OB_Log::init("archive", 0, nullptr);
  auto log = [&] { return corrana_test::readFile(install.file("logs/archive.log")); };

  OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, disk.path().c_str(), "http", "", "", 0);
  const std::string first = writer->getHeader()->getName();
  std::vector<const char*> many(8, "/a-rather-long-resource-name/that/fills/the/page/faster.html");
  OB_HTTPProtocol* a = httpRecord(10, {"/a"});
  OB_HTTPProtocol* big = httpRecord(11, many);
  OB_HTTPProtocol* b = httpRecord(12, {"/b"});
  OB_HTTPProtocol* c = httpRecord(13, {"/c"});
  writer->processObject(a);

  // The file's last page still has room: records fill it until one fits only in part.
  disk.fill();
  size_t fitted = 0;
  for (; fitted < 20 && writer->getDroppedCount() == 0; ++fitted) writer->processObject(big);
  ASSERT_EQ(writer->getDroppedCount(), 1u);
  --fitted;
  const size_t whole = fileBytes(first).size();
  for (int i = 0; i < 4; ++i) writer->processObject(big);
  EXPECT_EQ(writer->getDroppedCount(), 5u);
  EXPECT_EQ(fileBytes(first).size(), whole);
  EXPECT_EQ(whole, headerOf(first).getDataOffset() + recordBytes(a).size() +
                       fitted * recordBytes(big).size());  // no part of a record stayed
  EXPECT_EQ(occurrences(log(), "archiving: can't write to " + first +
                                   " (No space left on device, errno = 28)"),
            1u)
      << log();

  disk.release();
  writer->processObject(b);
  EXPECT_NE(log().find("archiving: writing " + first + " again; 5 records were dropped"),
            std::string::npos);

  // Midnight on a full disk: the old file is closed all the same, the new one cannot be made.
  disk.fill();
  writer->reset();
  EXPECT_EQ(writer->getHeader(), nullptr);
  EXPECT_NE(headerOf(first).closeTime(), 0u);
  EXPECT_NE(log().find("archiving_openWriter: error opening " + disk.path() + "/http-"),
            std::string::npos);
  writer->processObject(c);  // no file: counted
  EXPECT_EQ(writer->getDroppedCount(), 6u);
  disk.release();
  writer->setRetryInterval(0);
  writer->processObject(c);
  ASSERT_NE(writer->getHeader(), nullptr);
  writer->release();

  HTTPFactory http;
  OB_ArchiveReader reader(&http, disk.path().c_str(), "http", 1, 0xFFFFFFF0u, 0);
  reader.init();
  std::vector<Bytes> read;
  for (int i = 0; i < 40 && reader.isDone() == 0; ++i) {
    if (OB_Data* record = reader.read()) {
      read.push_back(recordBytes(record));
      record->release();
    }
  }
  std::vector<Bytes> expected = {recordBytes(a)};
  expected.insert(expected.end(), fitted, recordBytes(big));
  expected.push_back(recordBytes(b));
  expected.push_back(recordBytes(c));
  EXPECT_EQ(read, expected);
  for (OB_HTTPProtocol* record : {a, big, b, c}) record->release();

  // The network record class ends the process when a write of its own fails; handed to the
  // writer on a full disk, it only costs the record.
  OB_ArchiveWriter* nets = new OB_ArchiveWriter(nullptr, disk.path().c_str(), "net", "", "", 0);
  const std::string netFile = nets->getHeader()->getName();
  disk.fill();
  OB_AllNetData* net = OB_AllNetData::create();
  size_t netsWritten = 0;
  for (; netsWritten < 500 && nets->getDroppedCount() == 0; ++netsWritten) nets->processObject(net);
  EXPECT_EQ(nets->getDroppedCount(), 1u);
  EXPECT_EQ(fileBytes(netFile).size(),
            headerOf(netFile).getDataOffset() + (netsWritten - 1) * recordBytes(net).size());
  net->release();
  nets->release();
  OB_Log::reset();
  unsetenv("OB_INSTALLDIR");
}

TEST(OB_ArchiveWriter, TheKindsLockFileIsFreeBetweenChangesAndExcludesOthersWhileHeld) {
  corrana_test::TempDir dir;
  LockingWriter* writer = new LockingWriter(nullptr, dir.path().c_str(), "ftp", "", "", 0);
  const std::string lock = dir.file("ftp.lock");
  EXPECT_TRUE(lockIsFree(lock));
  ASSERT_EQ(writer->kindLock().lock(), 0);
  EXPECT_FALSE(lockIsFree(lock));
  EXPECT_TRUE(lockIsFree(dir.file("http.lock")) || !std::filesystem::exists(dir.file("http.lock")));
  ASSERT_EQ(writer->kindLock().unlock(), 0);
  EXPECT_TRUE(lockIsFree(lock));
  writer->release();
}

TEST(OB_ArchiveFileList, CleanDeletesByStartTimeAndRepairsUnclosedFiles) {
  corrana_test::TempDir dir;
  const uint32_t t = now();
  makeArchive(dir.file("http-old"), t - 8 * kDay, t - 6 * kDay);
  makeArchive(dir.file("http-a"), t - 3 * kDay, 0);
  makeArchive(dir.file("http-b"), t - 2 * kDay, 0);
  makeArchive(dir.file("http-c"), t - 1 * kDay, 0);

  OB_ArchiveFileList keepAll(dir.path().c_str(), "http");
  EXPECT_EQ(keepAll.getCount(), 4);
  // Days so many that the limit lies before 1970: nothing is old.
  EXPECT_EQ(keepAll.clean(30000), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("http-old")));
  EXPECT_EQ(headerOf(dir.file("http-a")).closeTime(), t - 2 * kDay - 1);
  EXPECT_EQ(headerOf(dir.file("http-b")).closeTime(), t - 1 * kDay - 1);
  EXPECT_GE(headerOf(dir.file("http-c")).closeTime(), t);
  EXPECT_EQ(keepAll.first()->closeTime(), t - 6 * kDay);  // the list keeps what it read

  OB_ArchiveFileList week(dir.path().c_str(), "http");
  EXPECT_EQ(week.clean(0), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("http-old")));
  EXPECT_EQ(week.clean(7), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("http-old")));  // began 8 days ago
  EXPECT_EQ(week.getCount(), 3);
  EXPECT_STREQ(week.first()->getName(), dir.file("http-a").c_str());
}

TEST(OB_ArchiveFileList, OrdersByStartTimeAndPassesOverWhatIsNoArchive) {
  corrana_test::TempDir dir;
  makeArchive(dir.file("http-z"), 100, 200);
  makeArchive(dir.file("http-m"), 300, 400);
  makeArchive(dir.file("http-a"), 200, 300);
  makeArchive(dir.file("http-b"), 200, 250);  // same start: name order
  makeArchive(dir.file("ftp-x"), 50, 60);
  makeArchive(dir.file("httpx"), 50, 60);
  appendBytes(dir.file("http-garbage"), Bytes(100, 0xFF));
  appendBytes(dir.file("http-empty"), {});
  std::filesystem::create_directory(dir.file("http-dir"));
  Bytes cut = fileBytes(dir.file("http-z"));
  cut.resize(30);
  appendBytes(dir.file("http-cut"), cut);

  OB_ArchiveFileList list(dir.path().c_str(), "http");
  std::vector<std::string> names;
  for (OB_ArchiveHeader* h = list.first(); h != nullptr; h = list.next())
    names.push_back(std::filesystem::path(h->getName()).filename());
  EXPECT_EQ(names, (std::vector<std::string>{"http-z", "http-a", "http-b", "http-m"}));
}

TEST(OB_ArchiveFileList, ADamagedHeaderIsLoggedOnceWithTheFileAndWhatWasWrong) {
  corrana_test::TempDir dir;
  corrana_test::TempDir install;
  std::filesystem::create_directory(install.file("logs"));
  setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  OB_Log::init("list", 0, nullptr);
  makeArchive(dir.file("http-good"), 100, 200);
  const Bytes good = fileBytes(dir.file("http-good"));
  auto damaged = [&](const char* name, size_t at, unsigned char value, size_t size) {
    Bytes bytes(good.begin(), good.begin() + static_cast<long>(size));
    if (at < size) bytes[at] = value;
    appendBytes(dir.file(name), bytes);
  };
  damaged("http-flipped", 7, 'V', good.size());    // "ambervolte" becomes "ambeVvolte"
  damaged("http-cut", 99, 0, 30);                  // ends inside the header
  damaged("http-counted", 35, 0x02, good.size());  // 512 values
  damaged("http-made", 99, 0, 0);                  // a writer has just created it
  HeldAsByAWriter making(dir.file("http-made"));

  OB_ArchiveFileList list(dir.path().c_str(), "http");
  EXPECT_EQ(list.getCount(), 1);
  OB_ArchiveFileList again(dir.path().c_str(), "http");
  const std::string log = corrana_test::readFile(install.file("logs/list.log"));
  for (const auto& [name, why] : std::vector<std::pair<std::string, std::string>>{
           {"http-flipped", "the magic word is not \"ambervolte\""},
           {"http-cut", "the file ends inside the header"},
           {"http-counted", "the value count is outside 0 to 256"}}) {
    const std::string line = "OB_ArchiveFileList: " + dir.file(name) +
                             " passed over, its header is damaged: " + why + "\n";
    EXPECT_EQ(occurrences(log, line), 1u) << line << " in:\n" << log;
  }
  EXPECT_EQ(log.find("http-made"), std::string::npos);
  OB_Log::reset();
  unsetenv("OB_INSTALLDIR");
}

TEST(OB_ArchiveFileList, DatabaseListIsTheCountThenEachEntry) {
  corrana_test::TempDir dir;
  corrana_test::SocketPair pair;
  OB_ArchiveFileList empty(dir.path().c_str(), "http");
  ASSERT_EQ(empty.writeJ(pair.near()), 0);
  makeArchive(dir.file("http-a"), 1, 2);
  OB_ArchiveFileList one(dir.path().c_str(), "http");
  ASSERT_EQ(one.writeJ(pair.near()), 0);
  const std::string got = pair.drain();
  const std::string entry = dir.file("http-a") + "\n" + std::string("\0\0\0\x03", 4) +
                            std::string("\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\x02", 16) +
                            "http\n\n\n";
  EXPECT_EQ(got, std::string("\0\0\0\0", 4) + std::string("\0\0\0\x01", 4) + entry);
}

}  // namespace
