// The protocol reader's two roads: the replay of a window's archive files on its own thread, and
// live objects handed to processObject; a stop during the replay and a window move.
#include "windows/OB_ProtocolReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <ctime>
#include <utility>
#include <vector>

#include "../../../libwire/tests/ArchiveTestSupport.h"
#include "TempDir.h"
#include "OB_Exception.h"
#include "archive/OB_ArchiveWriter.h"
#include "config/OB_AEngineConfig.h"
#include "records/OB_Consumer.h"
#include "windows/OB_IndexChanger.h"

namespace {

// Records the time of each object it analyses and whether the reader's lock was already held
// when it came in (the replay road holds it; a live caller does not).
class TestReader : public OB_ProtocolReader {
 public:
  TestReader(OB_AEngineConfig* config, OB_IndexChanger* window)
      : OB_Stats(config, window), OB_ProtocolReader(config, window, "http") {}

  OB_Data* createProtocol() override { return new OB_HTTPProtocol(1, 8); }
  int processObject(OB_Object* object) override {
    const bool heldByCaller = isLocked() != 0;
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    if (!takesObject()) return 0;
    OB_Data* data = obQuery<OB_Data>(object);
    seen.emplace_back(data != nullptr ? data->xTime() : 0, heldByCaller);
    if (stopAfter != 0 && seen.size() == stopAfter) stop();
    if (duringReplay && heldByCaller) std::exchange(duringReplay, nullptr)();
    return 0;
  }
  // The statistics of the old window go; a derived reader rebuilds them here.
  int reset() override {
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    seen.clear();
    return OB_ProtocolReader::reset();
  }

  std::vector<uint32_t> times() {
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    std::vector<uint32_t> out;
    for (const auto& entry : seen) out.push_back(entry.first);
    return out;
  }

  std::vector<std::pair<uint32_t, bool>> seen;  // under the reader's lock
  size_t stopAfter = 0;
  // Runs once, inside the first replayed record's analysis.
  std::function<void()> duringReplay;
};

// Counts by the hand-over the capture's objects take (queued while another thread holds the
// lock, counted by the next holder), and throws on the replayed record of time `poison`, as a
// statistic that finds no memory does.
class HandOverReader : public OB_ProtocolReader {
 public:
  HandOverReader(OB_AEngineConfig* config, OB_IndexChanger* window)
      : OB_Stats(config, window), OB_ProtocolReader(config, window, "http") {}

  OB_Data* createProtocol() override { return new OB_HTTPProtocol(1, 8); }
  int processObject(OB_Object* object) override {
    OB_Data* data = obQuery<OB_Data>(object);
    if (data == nullptr) return 0;
    if (poison != 0 && data->xTime() == poison)
      throw OB_Exception(1, "no memory for a statistic", __FILE__, __LINE__);
    return handOver(data);
  }
  int countObject(OB_Data* record) override {
    if (takesObject()) counted.push_back(record->xTime());
    return 0;
  }
  int reset() override {
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    counted.clear();
    return OB_ProtocolReader::reset();
  }
  // One replay step on the caller's thread.
  int step() { return doTask(); }
  std::vector<uint32_t> countedTimes() {
    OB_MutexHold hold(static_cast<OB_Mutex*>(this));
    return counted;
  }

  std::vector<uint32_t> counted;  // under the reader's lock
  uint32_t poison = 0;
};

// What a consumer does with a finished connection: under its lock, into the archive and then to
// the reader live.
void handOver(OB_Consumer* consumer, OB_ArchiveWriter* writer, OB_Processor* reader, uint32_t t) {
  OB_HTTPProtocol* record = archivetest::httpRecord(t, {"/"});
  OB_MutexHold hold(consumer);
  writer->processObject(record);
  reader->processObject(record);
  record->release();
}

class OB_ProtocolReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::strcpy(config.databaseDir, dir.path().c_str());
    // The writer's file opens and closes around now; the window must meet that span.
    base = static_cast<uint32_t>(time(nullptr));
    fixed.windowType = OB_IndexChanger::kStaticWindow;
    fixed.staticAgoTime = base - 100;
    fixed.staticNowTime = base + 100;
    fixed.staticNumOfBins = 10;
    window = new OB_IndexChanger();
    window->setConfig(&config);
    window->setTimeWindow(&fixed);
    ASSERT_EQ(window->init(), 0);
  }
  void TearDown() override { window->release(); }

  void archive(std::vector<uint32_t> times) {
    OB_ArchiveWriter* writer =
        new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "", "", 0);
    for (uint32_t t : times) {
      OB_HTTPProtocol* record = archivetest::httpRecord(t, {"/"});
      writer->processObject(record);
      record->release();
    }
    writer->release();  // closes the file with its stop time: old data for a reader
  }

  std::string onlyArchiveFile() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      if (entry.path().filename().string().rfind("http-", 0) == 0) files.push_back(entry.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::string() : files.front();
  }
  // Clears the file's stop time: the file is the one the writer is still writing.
  static void reopen(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseek(file, OB_ArchiveHeader::kStopTimeOffset, SEEK_SET), 0);
    const uint32_t open = 0;
    ASSERT_EQ(fwrite(&open, sizeof open, 1, file), 1u);
    fclose(file);
  }
  // What the writer appends for a record, on disk at once.
  static void appendRecord(const std::string& path, OB_HTTPProtocol* record) {
    FILE* file = fopen(path.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(record->write(file), 0);
    fclose(file);
  }

  TestReader* startedReader() {
    TestReader* reader = new TestReader(&config, window);
    EXPECT_EQ(reader->init(), 0);
    EXPECT_EQ(reader->start(), 0);
    return reader;
  }

  corrana_test::TempDir dir;
  OB_AEngineConfig config;
  timeWindow_t fixed = {};
  OB_IndexChanger* window = nullptr;
  uint32_t base = 0;
};

TEST_F(OB_ProtocolReaderTest, ReplaysFromTheWindowStartToJustBeforeItsEndThenTakesLiveObjects) {
  const uint32_t ago = base - 100, now = base + 100;
  archive({ago - 1, ago, base, now, now + 1, base + 1});
  TestReader* reader = startedReader();
  EXPECT_EQ(obQuery<OB_Mutex>(reader), static_cast<OB_Mutex*>(reader));  // the window moves it
  EXPECT_NE(obQuery<OB_ProtocolWriter>(reader), nullptr);

  EXPECT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(reader->isRunning(), 0);
  // Before the window, at its end (the next period's first second) and past it (which ends the
  // replay) are not analysed.
  EXPECT_EQ(reader->times(), (std::vector<uint32_t>{ago, base}));
  EXPECT_EQ(reader->getReplayCount(), 2u);
  for (const auto& entry : reader->seen) EXPECT_TRUE(entry.second);

  OB_HTTPProtocol* live = archivetest::httpRecord(base + 5, {"/live"});
  EXPECT_EQ(obQuery<OB_Processor>(reader)->processObject(live), 0);
  live->release();
  ASSERT_EQ(reader->seen.size(), 3u);
  EXPECT_EQ(reader->seen.back(), std::make_pair(base + 5, false));
  reader->release();
}

TEST_F(OB_ProtocolReaderTest, AReaderMayOutliveItsWindow) {
  // The replay thread may give up the last reference after the window's owner has let it go.
  OB_IndexChanger* other = new OB_IndexChanger();
  other->setConfig(&config);
  other->setTimeWindow(&fixed);
  ASSERT_EQ(other->init(), 0);
  TestReader* reader = new TestReader(&config, other);
  other->release();
  reader->release();
}

TEST_F(OB_ProtocolReaderTest, AStopDuringTheReplayEndsItAtOnce) {
  archive({base, base + 1, base + 2, base + 3});
  TestReader* reader = new TestReader(&config, window);
  reader->stopAfter = 1;
  ASSERT_EQ(reader->init(), 0);
  ASSERT_EQ(reader->start(), 0);
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  // Nothing read after the stop is analysed.
  EXPECT_EQ(reader->times(), (std::vector<uint32_t>{base}));
  EXPECT_EQ(reader->getReplayCount(), 1u);
  reader->release();
}

TEST_F(OB_ProtocolReaderTest, TheFileBeingWrittenIsReplayedUpToTheReaderStartAndNoRecordTwice) {
  // Today's file as the writer leaves it while it still writes: no stop time, records on disk.
  archive({base - 20, base - 10});
  const std::string path = onlyArchiveFile();
  reopen(path);
  TestReader* reader = new TestReader(&config, window);
  const uint32_t started = reader->getStartTime();
  ASSERT_EQ(reader->init(), 0);
  // A connection that finished after the reader started reaches it live, and the file.
  OB_HTTPProtocol* late = archivetest::httpRecord(started + 5, {"/late"});
  reader->processObject(late);
  appendRecord(path, late);
  late->release();
  ASSERT_EQ(reader->start(), 0);
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(reader->times(), (std::vector<uint32_t>{started + 5, base - 20, base - 10}));
  EXPECT_EQ(reader->getReplayCount(), 2u);
  reader->release();
}

TEST_F(OB_ProtocolReaderTest, TheReplayStopsAtTheEndOfWhatTheOpenFileHolds) {
  archive({base - 20});
  reopen(onlyArchiveFile());
  TestReader* reader = startedReader();
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(reader->times(), (std::vector<uint32_t>{base - 20}));
  OB_HTTPProtocol* live = archivetest::httpRecord(base + 1, {"/"});
  reader->processObject(live);
  live->release();
  EXPECT_EQ(reader->times(), (std::vector<uint32_t>{base - 20, base + 1}));
  reader->release();
}

TEST_F(OB_ProtocolReaderTest, AWindowMoveReplaysFromTheNewStart) {
  archive({base - 50, base, base + 50});
  TestReader* reader = startedReader();
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(reader->times(), (std::vector<uint32_t>{base - 50, base, base + 50}));

  fixed.staticAgoTime = base;
  ASSERT_EQ(window->init(), 0);
  {
    // What the index changer does for each of its readers when the window moves.
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    EXPECT_EQ(reader->reset(), 0);
    EXPECT_EQ(reader->init(), 0);
    EXPECT_EQ(reader->start(), 0);
  }
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(reader->times(), (std::vector<uint32_t>{base, base + 50}));
  reader->release();
}

}  // namespace

namespace {

TEST_F(OB_ProtocolReaderTest, AConnectionInTheOpenFileAndHandedOverLiveIsCountedOnce) {
  // A replayed trace: every time is older than the reader's start.
  OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "", "", 0);
  OB_Consumer* consumer = new OB_Consumer();
  ASSERT_EQ(consumer->append(writer), 0);
  for (uint32_t t : {base - 50, base - 40}) {
    OB_HTTPProtocol* record = archivetest::httpRecord(t, {"/"});
    writer->processObject(record);
    record->release();
  }

  TestReader* reader = new TestReader(&config, window);
  ASSERT_EQ(reader->init(), 0);
  OB_Processor* live = obQuery<OB_Processor>(reader);
  {
    OB_MutexHold hold(consumer);
    ASSERT_EQ(consumer->append(static_cast<OB_Object*>(reader)), 0);
    reader->joinConsumer(consumer);
  }
  // Written and handed over after the join, before the replay began: the file counts it.
  handOver(consumer, writer, live, base - 30);
  // Written and handed over while the replay runs, before it reaches the record: live counts it.
  // The consumer's thread writes it to the file and then waits for the reader's lock, which
  // the replay holds, the way the capture's hand-over meets a replay.
  std::thread consumerThread;
  std::atomic<bool> written{false};
  reader->duringReplay = [&] {
    consumerThread = std::thread([&] {
      OB_HTTPProtocol* record = archivetest::httpRecord(base - 10, {"/"});
      OB_MutexHold hold(consumer);
      writer->processObject(record);
      written = true;
      live->processObject(record);
      record->release();
    });
    while (!written) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_EQ(reader->start(), 0);
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  consumerThread.join();
  std::vector<uint32_t> counted = reader->times();
  std::sort(counted.begin(), counted.end());
  EXPECT_EQ(counted, (std::vector<uint32_t>{base - 50, base - 40, base - 30, base - 10}));
  EXPECT_EQ(reader->getReplayCount(), 3u);

  // A window move counts afresh from a new cut; a connection handed over before it is taken is
  // again left to the file.
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    EXPECT_EQ(reader->reset(), 0);
    EXPECT_EQ(reader->init(), 0);
  }
  handOver(consumer, writer, live, base - 5);
  ASSERT_EQ(reader->start(), 0);
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(reader->times(),
            (std::vector<uint32_t>{base - 50, base - 40, base - 30, base - 10, base - 5}));

  {
    OB_MutexHold hold(consumer);
    consumer->remove(static_cast<OB_Object*>(reader));
    reader->joinConsumer(nullptr);
  }
  writer->release();
  consumer->release();
  reader->release();
}

// A record the capture queued while a window move held the reader's lock is one the move's new
// cut finds in the file: counted once, from there, and not again from the queue.
TEST_F(OB_ProtocolReaderTest, ARecordQueuedDuringAWindowMoveIsCountedOnceFromTheFile) {
  OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "", "", 0);
  OB_Consumer* consumer = new OB_Consumer();
  ASSERT_EQ(consumer->append(writer), 0);
  HandOverReader* reader = new HandOverReader(&config, window);
  ASSERT_EQ(reader->init(), 0);
  {
    OB_MutexHold hold(consumer);
    ASSERT_EQ(consumer->append(static_cast<OB_Object*>(reader)), 0);
    reader->joinConsumer(consumer);
  }
  ASSERT_EQ(reader->start(), 0);
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  OB_Processor* live = obQuery<OB_Processor>(reader);
  handOver(consumer, writer, live, base - 30);  // after the first cut: live
  EXPECT_EQ(reader->countedTimes(), (std::vector<uint32_t>{base - 30}));

  {
    // The move, as the index changer makes it, with the capture handing a record over meanwhile.
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    EXPECT_EQ(reader->reset(), 0);
    EXPECT_EQ(reader->init(), 0);
    std::thread capture([&] { handOver(consumer, writer, live, base - 20); });
    capture.join();
    EXPECT_EQ(reader->getDeferredCount(), 1u);
    EXPECT_EQ(reader->start(), 0);
  }
  EXPECT_EQ(reader->join(nullptr, 0), 0);
  EXPECT_EQ(reader->countedTimes(), (std::vector<uint32_t>{base - 30, base - 20}));
  EXPECT_EQ(reader->getReplayCount(), 2u);

  {
    OB_MutexHold hold(consumer);
    consumer->remove(static_cast<OB_Object*>(reader));
    reader->joinConsumer(nullptr);
  }
  writer->release();
  consumer->release();
  reader->release();
}

// A replayed record whose analysis throws leaves the reader as it was: a live object that comes
// before the cut is still the replay's, not counted live as if the replay had handed it over.
TEST_F(OB_ProtocolReaderTest, AnExceptionInAReplayedRecordLeavesLiveObjectsToTheCut) {
  archive({base - 50});
  OB_ArchiveWriter* writer = new OB_ArchiveWriter(nullptr, dir.path().c_str(), "http", "", "", 0);
  OB_Consumer* consumer = new OB_Consumer();
  ASSERT_EQ(consumer->append(writer), 0);
  HandOverReader* reader = new HandOverReader(&config, window);
  reader->poison = base - 50;
  ASSERT_EQ(reader->init(), 0);
  EXPECT_THROW(reader->step(), OB_Exception);

  {
    OB_MutexHold hold(consumer);
    ASSERT_EQ(consumer->append(static_cast<OB_Object*>(reader)), 0);
    reader->joinConsumer(consumer);
  }
  handOver(consumer, writer, obQuery<OB_Processor>(reader), base - 10);
  EXPECT_TRUE(reader->countedTimes().empty());

  {
    OB_MutexHold hold(consumer);
    consumer->remove(static_cast<OB_Object*>(reader));
    reader->joinConsumer(nullptr);
  }
  writer->release();
  consumer->release();
  reader->release();
}

}  // namespace
