#include "OB_FileLock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

class OBFileLock : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corrana-filelock-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/archive.lock";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
  std::string path_;
};

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// How many of this process's descriptors are open on the file.
int descriptorsOn(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) ++count;
  }
  return count;
}

TEST_F(OBFileLock, OpenCreatesTheFileForItsOwnerOnly) {
  OB_FileLock lock;
  ASSERT_EQ(lock.open(path_.c_str()), 0);
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(lock.lock(), 0);
  EXPECT_EQ(lock.unlock(), 0);
}

TEST_F(OBFileLock, OpenFailsForAnUnreachablePath) {
  OB_FileLock lock;
  EXPECT_EQ(lock.open((dir_ + "/missing/x.lock").c_str()), -1);
  EXPECT_EQ(lock.lock(), -1);  // no descriptor: nothing was locked
}

// Two locks of one process on one file exclude each other; the second is told it failed, and
// gets the byte once the first gives it back.
TEST_F(OBFileLock, TwoLocksInOneProcessExcludeEachOther) {
  OB_FileLock first, second;
  ASSERT_EQ(first.open(path_.c_str()), 0);
  ASSERT_EQ(second.open(path_.c_str()), 0);
  ASSERT_EQ(first.lock(), 0);
  EXPECT_EQ(second.lock(), -1);  // about ten one-second tries
  ASSERT_EQ(first.unlock(), 0);
  EXPECT_EQ(second.lock(), 0);

  std::atomic<int> firstResult{1};
  std::thread waiter([&] { firstResult = first.lock(); });
  std::this_thread::sleep_for(1500ms);
  second.unlock();  // the waiting lock's next try succeeds
  waiter.join();
  EXPECT_EQ(firstResult.load(), 0);
}

TEST_F(OBFileLock, BorrowedDescriptorsAreNotClosed) {
  int fd = ::open(path_.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  {
    OB_FileLock lock;
    ASSERT_EQ(lock.setFD(fd), 0);
    EXPECT_EQ(lock.lock(), 0);
    EXPECT_EQ(lock.unlock(), 0);
  }
  EXPECT_TRUE(isOpen(fd));
  FILE* stream = fdopen(fd, "r+");
  ASSERT_NE(stream, nullptr);
  {
    OB_FileLock lock;
    ASSERT_EQ(lock.setFD(stream), 0);
    EXPECT_EQ(lock.lock(), 0);
  }
  EXPECT_TRUE(isOpen(fd));
  fclose(stream);
  OB_FileLock never;  // holds no descriptor: closes nothing, even descriptor 0
  (void)never;
}

TEST_F(OBFileLock, OwnDescriptorIsClosedWithTheLock) {
  {
    OB_FileLock lock;
    ASSERT_EQ(lock.open(path_.c_str()), 0);
    EXPECT_EQ(descriptorsOn(path_), 1);
  }
  EXPECT_EQ(descriptorsOn(path_), 0);
}

TEST_F(OBFileLock, ReopeningReleasesThePreviousDescriptor) {
  OB_FileLock lock, other;
  ASSERT_EQ(lock.open(path_.c_str()), 0);
  ASSERT_EQ(lock.lock(), 0);
  ASSERT_EQ(lock.open(path_.c_str()), 0);  // the old descriptor, and its lock, are gone
  EXPECT_EQ(descriptorsOn(path_), 1);
  ASSERT_EQ(other.open(path_.c_str()), 0);
  EXPECT_EQ(other.lock(), 0);
}

}  // namespace
