// The configuration writers' common road: owner-only private files, one writer at a time under
// cfg.lock, and a failed write (full or read-only disk) that leaves the old file as it was.
#include "OB_ConfigFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "FileText.h"
#include "OB_Config.h"
#include "OB_FileLock.h"
#include "OB_Log.h"
#include "SmallDisk.h"
#include "TempDir.h"

namespace {

using corrana_test::readFile;
using corrana_test::writeFile;

int modeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 0777) : -1;
}

// The admin folder's files, but the temporaries a writer may have left.
int leftovers(const std::string& admin) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(admin)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".cfg.") != std::string::npos) ++count;
  }
  return count;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void use(const std::string& install) {
    install_ = install;
    std::filesystem::create_directories(install + "/admin");
    std::filesystem::create_directories(install + "/logs");
    setenv("OB_INSTALLDIR", install.c_str(), 1);
  }
  void SetUp() override {
    use(dir_.path());
    previousMask_ = umask(022);
  }
  void TearDown() override {
    umask(previousMask_);
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
  }
  std::string admin(const std::string& name = "") const { return install_ + "/admin/" + name; }

  corrana_test::TempDir dir_;
  std::string install_;
  mode_t previousMask_ = 0;
};

TEST_F(ConfigFileTest, PrivateFilesAreTheOwnersAloneAndOthersKeepTheirMode) {
  OB_Config config;
  config.setName("cengine");
  snprintf(config.password, sizeof config.password, "secret");
  ASSERT_EQ(config.save(), 0);
  EXPECT_EQ(modeOf(admin("cengine_prvt.cfg")), 0600);
  // A file that was readable by all becomes the owner's alone when it is rewritten.
  chmod(admin("cengine_prvt.cfg").c_str(), 0644);
  ASSERT_EQ(config.save(), 0);
  EXPECT_EQ(modeOf(admin("cengine_prvt.cfg")), 0600);

  writeFile(admin("cengineInstall.cfg"), "port 8189\n");
  chmod(admin("cengineInstall.cfg").c_str(), 0640);
  ASSERT_EQ(OB_ConfigFile::replace(admin("cengineInstall.cfg"), OB_ConfigFile::Access::kKeepMode,
                                   [](FILE* out) { return fputs("port 8190\n", out) >= 0; }),
            0);
  EXPECT_EQ(readFile(admin("cengineInstall.cfg")), "port 8190\n");
  EXPECT_EQ(modeOf(admin("cengineInstall.cfg")), 0640);
  EXPECT_EQ(leftovers(admin()), 0);
}

TEST_F(ConfigFileTest, AWriterWaitsWhileAnotherHoldsTheLock) {
  writeFile(admin("aengine_prvt.cfg"), "old\n");
  OB_FileLock other;
  ASSERT_EQ(other.open(admin("cfg.lock").c_str()), 0);
  ASSERT_EQ(other.lock(), 0);
  std::atomic<int> result{1};
  std::thread writer([&] {
    result = OB_ConfigFile::replace(admin("aengine_prvt.cfg"), OB_ConfigFile::Access::kPrivate,
                                    [](FILE* out) { return fputs("new\n", out) >= 0; });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(readFile(admin("aengine_prvt.cfg")), "old\n");
  other.unlock();
  writer.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(readFile(admin("aengine_prvt.cfg")), "new\n");

  // A holder on this thread already has it: a writer inside it does not wait for itself.
  OB_ConfigFileLock outer;
  ASSERT_TRUE(outer.held());
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(OB_ConfigFile::replace(admin("aengine_prvt.cfg"), OB_ConfigFile::Access::kPrivate,
                                   [](FILE* out) { return fputs("again\n", out) >= 0; }),
            0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
}

TEST_F(ConfigFileTest, TwoWritersAtOnceLeaveOneWholeFile) {
  const std::string a(64 * 1024, 'a');
  const std::string b(64 * 1024, 'b');
  auto write = [&](const std::string& text) {
    for (int i = 0; i < 20; ++i)
      EXPECT_EQ(OB_ConfigFile::replace(admin("aengine_prvt.cfg"), OB_ConfigFile::Access::kPrivate,
                                       [&](FILE* out) { return fputs(text.c_str(), out) >= 0; }),
                0);
  };
  std::thread first(write, a);
  std::thread second(write, b);
  first.join();
  second.join();
  const std::string left = readFile(admin("aengine_prvt.cfg"));
  EXPECT_TRUE(left == a || left == b);
  EXPECT_EQ(leftovers(admin()), 0);
}

TEST_F(ConfigFileTest, AFullOrReadOnlyDiskLeavesTheOldFile) {
  corrana_test::SmallDisk disk(256);
  if (!disk.mounted()) GTEST_SKIP() << disk.why();
  use(disk.path());
  OB_Config config;
  config.setName("cengine");
  snprintf(config.password, sizeof config.password, "old");
  ASSERT_EQ(config.save(), 0);
  const std::string before = readFile(admin("cengine_prvt.cfg"));
  snprintf(config.password, sizeof config.password, "new");

  disk.fill();
  EXPECT_EQ(config.save(), -1);
  EXPECT_EQ(readFile(admin("cengine_prvt.cfg")), before);
  disk.release();
  EXPECT_EQ(leftovers(admin()), 0);

  ASSERT_TRUE(disk.readOnly());
  EXPECT_EQ(config.save(), -1);
  EXPECT_EQ(readFile(admin("cengine_prvt.cfg")), before);
  ASSERT_TRUE(disk.readOnly(false));
  EXPECT_EQ(config.save(), 0);
  EXPECT_NE(readFile(admin("cengine_prvt.cfg")), before);
}

}  // namespace
