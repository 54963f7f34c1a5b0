// The analysis configuration: its records (text, wire, address tests), the configuration file
// round trip, the section limits, the installation file and the installa.cfg additions.
#include "config/OB_AEngineConfig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "FileText.h"
#include "OB_ConfigFile.h"
#include "OB_FileLock.h"
#include "OB_Tools.h"
#include "SifterTestSupport.h"
#include "config/OB_AEngineConfigAdmin.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "config/OB_User.h"

using namespace sifter_test;

namespace {

template <class R>
std::string recordText(R* record, int (*write)(FILE*, const R*)) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buffer, &size);
  EXPECT_EQ(write(f, record), 0);
  fclose(f);
  std::string text(buffer, size);
  free(buffer);
  return text;
}

// Reads one record from text; what is left unread goes to rest.
template <class R>
R* recordFrom(const std::string& text, R* (*read)(FILE*), std::string* rest = nullptr) {
  std::string copy = text;
  FILE* f = fmemopen(copy.data(), copy.size(), "r");
  R* record = read(f);
  if (rest != nullptr) {
    rest->clear();
    int c;
    while ((c = getc(f)) != EOF) rest->push_back(static_cast<char>(c));
  }
  fclose(f);
  return record;
}

const char* kWindowText =
    "# Time Window\nname{Last week}\nwindowType{0}\nalignRTType{1}\nalignRTOffset{2}\n"
    "staticNowTime{3000000000}\nstaticAgoTime{2999000000}\nstaticNumOfBins{168}\n\n";
const char* kGroupText =
    "# Network Group\nname{Office}\nnumOfNets{2}\nexampleAddress{10.1.0.7 192.168.5.1}\n"
    "maskAddress{255.255.0.0 255.255.255.255}\n\n";
const char* kSubsetText =
    "# X Subset\nname{Outsiders}\nacceptMatching{0}\nnumOfNets{1}\nexampleAddress{10.0.0.0}\n"
    "maskAddress{255.0.0.0}\n\n";

TEST(AEngineRecords, TextFormsAreExactAndReadBack) {
  std::string rest;
  timeWindow_t* window = recordFrom(std::string(kWindowText) + "next", timeWindow_read, &rest);
  EXPECT_EQ(rest, "next");
  EXPECT_EQ(window->staticNowTime, 3000000000u);
  EXPECT_EQ(recordText(window, timeWindow_write), kWindowText);

  networkGroup_t* group =
      recordFrom(std::string(kGroupText) + "next", networkGroup_readGroup, &rest);
  EXPECT_EQ(rest, "next");
  EXPECT_EQ(group->network[0], ip(10, 1, 0, 0));
  EXPECT_EQ(group->network[1], ip(192, 168, 5, 1));
  EXPECT_EQ(recordText(group, networkGroup_write), kGroupText);

  XSubset_t* subset = recordFrom(std::string(kSubsetText) + "next", XSubset_readFilter, &rest);
  EXPECT_EQ(rest, "next");
  EXPECT_EQ(recordText(subset, XSubset_write), kSubsetText);

  XSubset_t copy{};
  XSubset_copy(&copy, subset);
  EXPECT_EQ(copy.network[0], ip(10, 0, 0, 0));
  EXPECT_EQ(recordText(&copy, XSubset_write), kSubsetText);
  delete window;
  delete group;
  delete subset;
}

TEST(AEngineRecords, GroupsAndSubsetsMatchAddresses) {
  std::string rest;
  networkGroup_t* none = recordFrom(
      std::string("# Network Group\nname{}\nnumOfNets{0}\nexampleAddress{}\nmaskAddress{}\n\nX"),
      networkGroup_readGroup, &rest);
  EXPECT_EQ(rest, "X");
  uint32_t inside = ip(10, 1, 9, 9);
  uint32_t host = ip(192, 168, 5, 1);
  uint32_t outside = ip(11, 0, 0, 1);
  EXPECT_EQ(networkGroup_isMatch(none, &inside), 0);

  networkGroup_t* group = recordFrom(std::string(kGroupText), networkGroup_readGroup);
  EXPECT_EQ(networkGroup_isMatch(group, &inside), 1);
  EXPECT_EQ(networkGroup_isMatch(group, &host), 1);
  EXPECT_EQ(networkGroup_isMatch(group, &outside), 0);

  XSubset_t* subset = recordFrom(std::string(kSubsetText), XSubset_readFilter);
  EXPECT_EQ(XSubset_isMatch(subset, &inside), 0);
  EXPECT_EQ(XSubset_isMatch(subset, &outside), 1);
  subset->acceptMatching = 7;
  EXPECT_EQ(XSubset_isMatch(subset, &inside), 1);
  EXPECT_EQ(XSubset_isMatch(subset, &outside), 0);
  subset->numOfNets = 0;
  EXPECT_EQ(XSubset_isMatch(subset, &inside), 0);
  subset->acceptMatching = 0;
  EXPECT_EQ(XSubset_isMatch(subset, &inside), 1);
  delete none;
  delete group;
  delete subset;
}

TEST(AEngineRecords, WireFormsAreExactAndReadBack) {
  XSubset_t* subset = recordFrom(std::string(kSubsetText), XSubset_readFilter);
  subset->acceptMatching = 256;  // any non-zero value travels as 1
  SocketPair out;
  ASSERT_EQ(XSubset_writeJ(out.near(), subset), 0);
  EXPECT_EQ(out.drain(), line("Outsiders") + u8(1) + u16(1) + line("10.0.0.0") + line("255.0.0.0"));

  SocketPair in;
  in.feed(line("Outsiders") + flagIn(1) + u16(1) + line("10.0.0.0") + line("255.0.0.0"));
  XSubset_t back{};
  ASSERT_EQ(XSubset_readJ(in.near(), &back), 0);
  EXPECT_EQ(back.acceptMatching, 1);
  EXPECT_EQ(back.network[0], ip(10, 0, 0, 0));

  networkGroup_t* group = recordFrom(std::string(kGroupText), networkGroup_readGroup);
  SocketPair groupOut;
  ASSERT_EQ(networkGroup_writeJ(groupOut.near(), group), 0);
  std::string groupWire = groupOut.drain();
  EXPECT_EQ(groupWire, line("Office") + u16(2) + line("10.1.0.7") + line("255.255.0.0") +
                           line("192.168.5.1") + line("255.255.255.255"));
  SocketPair groupIn;
  groupIn.feed(groupWire);
  networkGroup_t groupBack{};
  ASSERT_EQ(networkGroup_readJ(groupIn.near(), &groupBack), 0);
  EXPECT_EQ(recordText(&groupBack, networkGroup_write), kGroupText);

  timeWindow_t* window = recordFrom(std::string(kWindowText), timeWindow_read);
  SocketPair windowOut;
  ASSERT_EQ(timeWindow_writeJ(windowOut.near(), window), 0);
  SocketPair windowIn;
  windowIn.feed(windowOut.drain());
  timeWindow_t windowBack{};
  ASSERT_EQ(timeWindow_readJ(windowIn.near(), &windowBack), 0);
  EXPECT_EQ(recordText(&windowBack, timeWindow_write), kWindowText);
  delete subset;
  delete group;
  delete window;
}

class AEngineRecordLimits : public QuitTest {};

TEST_F(AEngineRecordLimits, WireRefusesTooManyNetsAndBadAddresses) {
  startLog();
  SocketPair six;
  six.feed(line("g") + u16(6));
  networkGroup_t group{};
  EXPECT_EQ(networkGroup_readJ(six.near(), &group), -1);

  SocketPair badExample;
  badExample.feed(line("s") + flagIn(0) + u16(1) + line("255.255.255.255") + line("255.0.0.0"));
  XSubset_t subset{};
  EXPECT_EQ(XSubset_readJ(badExample.near(), &subset), -1);
  SocketPair badMask;
  badMask.feed(line("g") + u16(1) + line("10.0.0.1") + line("10.0.x"));
  EXPECT_EQ(networkGroup_readJ(badMask.near(), &group), -1);
  SocketPair cut;
  cut.feed(line("g") + u16(2) + line("10.0.0.1") + line("255.0.0.0"));
  EXPECT_EQ(networkGroup_readJ(cut.near(), &group), -1);
  std::string log = logText();
  EXPECT_NE(log.find("hcommand_SET_CONFIG: Malformed IP Address(3): 255.255.255.255"),
            std::string::npos);
  EXPECT_NE(log.find("hcommand_SET_CONFIG: Malformed IP Address(2): 10.0.x"), std::string::npos);
}

TEST_F(AEngineRecordLimits, FileEndsTheProcessOnTooManyNetsOrBadAddresses) {
  expectQuit(
      [] {
        recordFrom(std::string("# Network Group\nname{}\nnumOfNets{6}\nexampleAddress{}\n"
                               "maskAddress{}\n\n"),
                   networkGroup_readGroup);
      },
      "networkGroup_readGroup: too many network groups");
  expectQuit(
      [] {
        recordFrom(std::string("# X Subset\nname{}\nacceptMatching{1}\nnumOfNets{-1}\n"
                               "exampleAddress{}\nmaskAddress{}\n\n"),
                   XSubset_readFilter);
      },
      "XSubset_readFilter: too many network filters");
  expectQuit(
      [] {
        recordFrom(std::string("# X Subset\nname{}\nacceptMatching{1}\nnumOfNets{1}\n"
                               "exampleAddress{255.255.255.255}\nmaskAddress{255.255.255.255}\n\n"),
                   XSubset_readFilter);
      },
      "XSubset_readFilter: Malformed IP Address: 255.255.255.255");
  expectQuit(
      [] {
        recordFrom(std::string("# Network Group\nname{}\nnumOfNets{2}\nexampleAddress{10.0.0.1}\n"
                               "maskAddress{255.0.0.0 255.0.0.0}\n\n"),
                   networkGroup_readGroup);
      },
      "networkGroup_readGroup: Malformed IP Address: ");
}

// --- The configuration and its files -------------------------------------------------------

int fakeHostLookup(const char* host, uint32_t* address) {
  struct in_addr converted;
  if (inet_aton(host, &converted) == 0) return -1;
  *address = ntohl(converted.s_addr);
  return 0;
}

int noReverseName(uint32_t, char*, size_t) { return -1; }

template <class T>
T** makeArray(int n) {
  return new T*[static_cast<size_t>(n)]();
}

class AEngineConfigFiles : public QuitTest {
 protected:
  void SetUp() override {
    QuitTest::SetUp();
    std::filesystem::create_directories(dir_.path() + "/admin");
    std::filesystem::create_directories(dir_.path() + "/db");
    // Run elsewhere than the install directory: cfg.lock must still go to its admin folder.
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(elsewhere_.path());
    OB_AEngineConfig::setHostLookup(fakeHostLookup);
    OB_Tools::setReverseLookup(noReverseName);
    writeFile("admin/aengineInstall.cfg", "# analysis\n");
  }
  void TearDown() override {
    OB_AEngineConfig::setHostLookup(nullptr);
    OB_Tools::setReverseLookup(nullptr);
    std::filesystem::current_path(previousDir_);
    QuitTest::TearDown();
  }

  void writeFile(const std::string& name, const std::string& text) {
    corrana_test::writeFile(dir_.file(name), text);
  }
  std::string readFile(const std::string& name) { return corrana_test::readFile(dir_.file(name)); }
  bool exists(const std::string& name) { return std::filesystem::exists(dir_.file(name)); }

  // One record of each kind: a window, a group, a subset, an HTTP and an FTP server, a user.
  static void fill(OB_AEngineConfig* config) {
    config->numOfTimeWindows = 1;
    config->timeWindows = makeArray<timeWindow_t>(1);
    config->timeWindows[0] = recordFrom(std::string(kWindowText), timeWindow_read);
    config->numOfNetworkGroups = 1;
    config->networkGroups = makeArray<networkGroup_t>(1);
    config->networkGroups[0] = recordFrom(std::string(kGroupText), networkGroup_readGroup);
    config->numOfXSubSets = 1;
    config->xSubSets = makeArray<XSubset_t>(1);
    config->xSubSets[0] = recordFrom(std::string(kSubsetText), XSubset_readFilter);
    config->numOfHTTPServers = 1;
    config->httpServers = makeArray<OB_HTTPServer>(1);
    config->httpServers[0] = OB_HTTPServer::create();
    config->httpServers[0]->setIPAddress(ip(10, 0, 0, 80));
    config->httpServers[0]->setName("www");
    config->numOfFTPServers = 1;
    config->ftpServers = makeArray<OB_FTPServer>(1);
    config->ftpServers[0] = OB_FTPServer::create();
    config->ftpServers[0]->setIPAddress(ip(10, 0, 0, 21));
    config->numOfUsers = 1;
    config->users = makeArray<OB_User>(1);
    config->users[0] = OB_User::create();
    strcpy(config->users[0]->login, "root");
    config->users[0]->numOfHTTPServers = 1;
    config->users[0]->httpServersShowing[0] = 1;
  }

  std::filesystem::path previousDir_;
  corrana_test::TempDir elsewhere_;
};

const char* kHead =
    "-------------------------------------------------------\n"
    "WARNING! This is a machine generated file. DO NOT EDIT.\n"
    "-------------------------------------------------------\n\n"
    "# Config version\n2\n\n# Number of time windows.\n1\n\n";

TEST_F(AEngineConfigFiles, ConfigurationFileRoundTripsByteForByte) {
  const mode_t mask = umask(022);
  {
    OB_AEngineConfig config;
    fill(&config);
    ASSERT_EQ(config.writeConfigFile(), 0);
  }
  umask(mask);
  // Every user's password is in it: its owner alone may read it.
  struct stat info;
  ASSERT_EQ(stat(dir_.file("admin/aengine_prvt.cfg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::string written = readFile("admin/aengine_prvt.cfg");
  EXPECT_EQ(written.substr(0, strlen(kHead)), kHead);
  EXPECT_NE(written.find(std::string(kWindowText) + "# Number of network groups.\n1\n\n" +
                         kGroupText + "# Number of transaction subsets.\n1\n\n" + kSubsetText +
                         "# Number of HTTP servers.\n1\n\n"),
            std::string::npos);
  EXPECT_FALSE(exists("admin/aengine_prvt.cfg.new"));

  // A stored version 1 is read as 2 and written back as 2.
  std::string version1 = written;
  version1.replace(version1.find("\n2\n"), 3, "\n1\n");
  writeFile("admin/aengine_prvt.cfg", version1);
  OB_AEngineConfigAdmin config;
  ASSERT_EQ(config.readConfig(), 0);
  EXPECT_EQ(config.configVersion, 2u);
  EXPECT_EQ(config.portRangeStart, 8190u);
  EXPECT_EQ(config.databaseDir, dir_.path() + "/db");
  ASSERT_EQ(config.numOfHTTPServers, 1);
  const uint32_t www = ip(10, 0, 0, 80);
  EXPECT_EQ(config.httpServers[0]->isServerIPMatch(&www), 1);
  EXPECT_EQ(config.users[0]->isAllowed(OB_User::kHTTPServer, 0), 1);
  EXPECT_EQ(config.networkGroups[0]->network[1], ip(192, 168, 5, 1));
  ASSERT_EQ(config.writeConfigFile(), 0);
  EXPECT_EQ(readFile("admin/aengine_prvt.cfg"), written);
  EXPECT_TRUE(exists("admin/cfg.lock"));
  EXPECT_FALSE(std::filesystem::exists(elsewhere_.file("cfg.lock")));
}

// A SET_CONFIG during a rebuild that applies installa.cfg: the second writer waits for the first.
TEST_F(AEngineConfigFiles, TheWriterWaitsForTheConfigurationLock) {
  writeFile("admin/aengine_prvt.cfg", "old\n");
  OB_FileLock rebuild;
  ASSERT_EQ(rebuild.open(dir_.file("admin/cfg.lock").c_str()), 0);
  ASSERT_EQ(rebuild.lock(), 0);
  std::atomic<int> result{1};
  std::thread console([&] {
    OB_AEngineConfig config;
    fill(&config);
    result = config.writeConfigFile();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(readFile("admin/aengine_prvt.cfg"), "old\n");
  rebuild.unlock();
  console.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_NE(readFile("admin/aengine_prvt.cfg"), "old\n");
}

// How many descriptors this process has open on path.
int descriptorsOn(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path && !error) ++count;
  }
  return count;
}

// A rebuild that starts while a SET_CONFIG is being written reads the file that write leaves,
// not the one it replaced: with installa.cfg waiting, the old content rewritten with the
// additions would undo the acknowledged write.
TEST_F(AEngineConfigFiles, AReaderThatStartsWhileAWriterHoldsTheLockReadsWhatWasWritten) {
  {
    OB_AEngineConfig old;
    fill(&old);
    ASSERT_EQ(old.writeConfigFile(), 0);
  }
  writeFile("admin/installa.cfg", "password: n3w\n");
  const std::string lockPath = dir_.file("admin/cfg.lock");
  std::string readName;
  std::thread rebuild;
  {
    OB_ConfigFileLock console;
    ASSERT_TRUE(console.held());
    rebuild = std::thread([&] {
      OB_AEngineConfigAdmin current;
      current.readConfig();
      readName = current.numOfHTTPServers > 0 ? current.httpServers[0]->getName() : "";
    });
    // The reader has its own descriptor on the lock file once it waits for the lock.
    while (descriptorsOn(lockPath) < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    OB_AEngineConfig acknowledged;
    fill(&acknowledged);
    acknowledged.httpServers[0]->setName("acknowledged");
    ASSERT_EQ(acknowledged.writeConfigFile(), 0);
  }
  rebuild.join();
  EXPECT_EQ(readName, "acknowledged");
  EXPECT_FALSE(exists("admin/installa.cfg"));
  OB_AEngineConfigAdmin onDisk(OB_AEngineConfigAdmin::Additions::kLeave);
  onDisk.readConfig();
  ASSERT_EQ(onDisk.numOfHTTPServers, 1);
  EXPECT_STREQ(onDisk.httpServers[0]->getName(), "acknowledged");
  EXPECT_STREQ(onDisk.users[0]->password, "n3w");
}

TEST_F(AEngineConfigFiles, PrintLeavesOutAnUnsetWindow) {
  OB_AEngineConfig config;
  fill(&config);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buffer, &size);
  config.print(f);
  timeWindow_t window{};
  strcpy(window.name, "live");
  config.setStatEngineParams(&window, 8191);
  config.print(f);
  fclose(f);
  std::string text(buffer, size);
  free(buffer);
  EXPECT_NE(text.find("connectionPort    = 0\nconfigVersion"), std::string::npos);
  EXPECT_EQ(text.find("timeWindowPtr->name"),
            text.find("connectionPort    = 8191\ntimeWindowPtr->name = 'live'\nconfigVersion") +
                strlen("connectionPort    = 8191\n"));
  EXPECT_NE(text.find("numOfTimeWindows  = 1\n# Time Window\n"), std::string::npos);
  EXPECT_NE(text.find("numOfNetworkGroups  = 1\n"), std::string::npos);
}

std::string sections(int windows, int groups) {
  std::string text =
      std::string(kHead).substr(0, strlen(kHead) - 3) + std::to_string(windows) + "\n\n";
  for (int i = 0; i < windows && i < 16; ++i) text += kWindowText;
  text += "# Number of network groups.\n" + std::to_string(groups) + "\n\n";
  text += "# Number of transaction subsets.\n0\n\n# Number of HTTP servers.\n0\n\n";
  text += "# Number of FTP servers.\n0\n\n# Number of users.\n0\n\n";
  return text;
}

TEST_F(AEngineConfigFiles, SectionCountsAboveTheirLimitsEndTheProcess) {
  writeFile("admin/aengine_prvtDef.cfg", sections(17, 0));
  expectQuit([] { OB_AEngineConfig().readConfig(); },
             "readGeneralConfigFile: invalid number of time windows");
  writeFile("admin/aengine_prvtDef.cfg", sections(1, -1));
  expectQuit([] { OB_AEngineConfig().readConfig(); },
             "readGeneralConfigFile: invalid number of network groups");
  writeFile("admin/aengine_prvtDef.cfg", sections(0, 0));
  expectQuit([] { OB_AEngineConfig().readConfig(); },
             "checkGeneralConfig: error: invalid number of time windows");
}

TEST_F(AEngineConfigFiles, InstallationFileGivesPortAndDatabase) {
  writeFile("admin/aengine_prvt.cfg", sections(1, 0));
  for (const char* port : {"255", "65535"}) {
    writeFile("admin/aengineInstall.cfg", std::string("port: ") + port + "\n");
    OB_AEngineConfigAdmin config;
    config.readConfig();
    EXPECT_EQ(config.portRangeStart, strtoul(port, nullptr, 10));
  }
  // Each refusal names the file and the line.
  const std::string file = dir_.file("admin/aengineInstall.cfg");
  for (const char* port : {"80", "65536", "99999"}) {
    writeFile("admin/aengineInstall.cfg", std::string("# analysis\nport ") + port + "\n");
    expectQuit([] { OB_AEngineConfigAdmin().readConfig(); },
               file + " line 2: the analysis console's port " + port +
                   " is out of range (255 to 65535)\n");
  }
  writeFile("admin/aengineInstall.cfg", "port 81a0\n");
  expectQuit([] { OB_AEngineConfigAdmin().readConfig(); },
             file + " line 1: the analysis console's port 81a0 is not a number\n");
  writeFile("not-a-dir", "x");
  writeFile("admin/aengineInstall.cfg", "port 8190\ndbpath=" + dir_.file("not-a-dir") + "\n");
  expectQuit([] { OB_AEngineConfigAdmin().readConfig(); },
             file + " line 2: the archive folder (dbpath) " + dir_.file("not-a-dir") +
                 " is not a folder that can be opened\n");
}

// A typo in the installation file is named with the file and the line; the key keeps its default.
TEST_F(AEngineConfigFiles, AnUnknownKeyOfTheInstallationFileIsNamed) {
  writeFile("admin/aengine_prvt.cfg", sections(1, 0));
  writeFile("admin/aengineInstall.cfg", "# analysis\nprot 8191\ndbpath default\n");
  startLog();
  OB_AEngineConfigAdmin config;
  config.readConfig();
  EXPECT_EQ(config.portRangeStart, 8190u);
  EXPECT_NE(logText().find(dir_.file("admin/aengineInstall.cfg") +
                           " line 2: unknown key \"prot\", ignored"),
            std::string::npos)
      << logText();
  EXPECT_EQ(logText().find("\"dbpath\""), std::string::npos) << logText();
}

// A key that only begins with a known one is still read as that key, as it always was, but
// named with the file and the line: "portx" is likely a typo.
TEST_F(AEngineConfigFiles, AKeyMatchedByItsBeginningIsReadAndNamed) {
  writeFile("admin/aengine_prvt.cfg", sections(1, 0));
  writeFile("admin/aengineInstall.cfg", "# analysis\nportx 8191\ndbpath: default\nport=8192\n");
  startLog();
  OB_AEngineConfigAdmin config;
  config.readConfig();
  EXPECT_EQ(config.portRangeStart, 8192u);
  EXPECT_NE(logText().find(dir_.file("admin/aengineInstall.cfg") +
                           " line 2: key \"portx\" read as \"port\"\n"),
            std::string::npos)
      << logText();
  EXPECT_EQ(logText().find("line 3"), std::string::npos) << logText();
  EXPECT_EQ(logText().find("line 4"), std::string::npos) << logText();
}

// The good lines of an additions file with a bad one are applied; the bad ones are named and
// kept beside it, owner only, and the file itself goes as it always did.
TEST_F(AEngineConfigFiles, BadAdditionLinesAreKeptBesideTheFileAndTheGoodOnesApplied) {
  writeFile("admin/aengine_prvtDef.cfg", sections(1, 0));
  {
    OB_AEngineConfig current;
    fill(&current);
    ASSERT_EQ(current.writeConfigFile(), 0);
  }
  writeFile("admin/installa.cfg",
            "# added\nhtp: 10.77.4.9:80\nhttp: 10.0.0.5:8080\nhttp: 10.0.0.6:99999\nftp 10.0.0.7\n"
            "password: n3w\n");
  startLog();
  OB_AEngineConfigAdmin current;
  current.readConfig();
  EXPECT_FALSE(exists("admin/installa.cfg"));
  ASSERT_EQ(current.numOfHTTPServers, 2);
  EXPECT_EQ(current.httpServers[1]->getPort(), 8080);
  EXPECT_STREQ(current.users[0]->password, "n3w");
  EXPECT_EQ(readFile("admin/installa.cfg.rejected"),
            "htp: 10.77.4.9:80\nftp 10.0.0.7\nhttp: 10.0.0.6:99999\n");
  struct stat info;
  ASSERT_EQ(stat(dir_.file("admin/installa.cfg.rejected").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string path = dir_.file("admin/installa.cfg");
  const std::string log = logText();
  EXPECT_NE(log.find(path + ": line 2: unknown key \"htp\""), std::string::npos) << log;
  EXPECT_NE(log.find(path + ": line 5: no \"key: value\""), std::string::npos) << log;
  EXPECT_NE(log.find("bad port in \"http: 10.0.0.6:99999\""), std::string::npos) << log;
  EXPECT_NE(log.find("3 line(s) of " + path + " not applied, kept in " + path + ".rejected"),
            std::string::npos)
      << log;
}

TEST_F(AEngineConfigFiles, InstallationAdditionsJoinTheConfigurationInUseOnce) {
  writeFile("admin/aengine_prvtDef.cfg", sections(1, 0));
  {
    OB_AEngineConfig current;
    fill(&current);
    ASSERT_EQ(current.writeConfigFile(), 0);
  }
  writeFile("admin/installa.cfg",
            "http: 10.0.0.5:8080\nhttp: no.such.host\nhttp :10.0.0.6\nftp:10.0.0.7\n"
            "password: n3w\n");
  startLog();

  // The defaults take none of it.
  OB_AEngineConfig defaults;
  defaults.readConfig();
  EXPECT_TRUE(exists("admin/installa.cfg"));
  EXPECT_EQ(defaults.numOfHTTPServers, 0);

  OB_AEngineConfigAdmin current;
  current.readConfig();
  EXPECT_FALSE(exists("admin/installa.cfg"));
  EXPECT_NE(logText().find("gethostbyname() failed on no.such.host"), std::string::npos);
  // The configuration's own server stays first; the additions follow it.
  ASSERT_EQ(current.numOfHTTPServers, 3);
  EXPECT_STREQ(current.httpServers[0]->getName(), "www");
  EXPECT_EQ(current.httpServers[1]->getPort(), 8080);
  const uint32_t added = ip(10, 0, 0, 5);
  EXPECT_EQ(current.httpServers[1]->isServerIPMatch(&added), 1);
  EXPECT_EQ(current.httpServers[2]->getPort(), 80);
  EXPECT_STREQ(current.httpServers[2]->getName(), "10.0.0.6");
  ASSERT_EQ(current.numOfFTPServers, 2);
  EXPECT_EQ(current.ftpServers[1]->getPort(), 21);
  OB_User* first = current.users[0];
  EXPECT_STREQ(first->password, "n3w");
  EXPECT_EQ(first->numOfHTTPServers, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(first->httpServersShowing[i], 1) << i;
  EXPECT_EQ(first->numOfFTPServers, 2);
  EXPECT_EQ(first->ftpServersShowing[0], 0);
  EXPECT_EQ(first->ftpServersShowing[1], 1);

  const std::string once = readFile("admin/aengine_prvt.cfg");
  OB_AEngineConfigAdmin again;
  again.readConfig();
  EXPECT_EQ(again.numOfHTTPServers, 3);
  EXPECT_EQ(readFile("admin/aengine_prvt.cfg"), once);
}

// As an operator sets the first password: the servers the configuration watches stay watched.
TEST_F(AEngineConfigFiles, APasswordAloneChangesThePasswordAndNoServer) {
  {
    OB_AEngineConfig defaults;
    fill(&defaults);
    defaults.httpServers[0]->release();
    defaults.numOfHTTPServers = 0;
    defaults.ftpServers[0]->release();
    defaults.numOfFTPServers = 0;
    ASSERT_EQ(defaults.writeConfigFile(), 0);
  }
  std::filesystem::rename(dir_.file("admin/aengine_prvt.cfg"),
                          dir_.file("admin/aengine_prvtDef.cfg"));
  {
    OB_AEngineConfig current;
    fill(&current);
    ASSERT_EQ(current.writeConfigFile(), 0);
  }
  writeFile("admin/installa.cfg", "password: n3w\n");
  OB_AEngineConfig defaults;
  defaults.readConfig();
  OB_AEngineConfigAdmin current;
  current.readConfig();
  EXPECT_FALSE(exists("admin/installa.cfg"));
  EXPECT_STREQ(current.users[0]->password, "n3w");
  ASSERT_EQ(current.numOfHTTPServers, 1);
  EXPECT_STREQ(current.httpServers[0]->getName(), "www");
  EXPECT_EQ(current.numOfFTPServers, 1);
  EXPECT_EQ(current.users[0]->httpServersShowing[0], 1);
}

// Two definitions of one server would count each of its transactions twice in every total.
TEST_F(AEngineConfigFiles, AnAdditionOfAWatchedServerAddsNothingAndSaysSo) {
  {
    OB_AEngineConfig current;
    fill(&current);
    ASSERT_EQ(current.writeConfigFile(), 0);
  }
  const std::string before = readFile("admin/aengine_prvt.cfg");
  writeFile("admin/installa.cfg", "http: 10.0.0.80\nftp: 10.0.0.21\n");
  startLog();
  {
    OB_AEngineConfigAdmin current;
    current.readConfig();
    EXPECT_EQ(current.numOfHTTPServers, 1);
    EXPECT_EQ(current.numOfFTPServers, 1);
  }
  EXPECT_FALSE(exists("admin/installa.cfg"));
  EXPECT_EQ(readFile("admin/aengine_prvt.cfg"), before);
  EXPECT_NE(logText().find("http:10.0.0.80 in installa.cfg is watched already"),
            std::string::npos);
  EXPECT_NE(logText().find("ftp:10.0.0.21 in installa.cfg is watched already"), std::string::npos);

  // Another port is another server; a line repeated in the file adds its server once.
  writeFile("admin/installa.cfg",
            "http: 10.0.0.80:8080\nhttp: 10.0.0.80:8080\nftp: 10.0.0.9\nftp: 10.0.0.9\n");
  OB_AEngineConfigAdmin current;
  current.readConfig();
  ASSERT_EQ(current.numOfHTTPServers, 2);
  EXPECT_EQ(current.httpServers[1]->getPort(), 8080);
  ASSERT_EQ(current.numOfFTPServers, 2);
  const uint32_t added = ip(10, 0, 0, 9);
  EXPECT_EQ(current.ftpServers[1]->isMatch(&added), 1);
  EXPECT_EQ(current.users[0]->numOfHTTPServers, 2);
}

// Forward look-ups for the additions' hosts as a resolver gives them: the first one can hang
// until released; each call notes whether cfg.lock was held meanwhile and can rewrite
// installa.cfg, as an installer running beside the engine would.
struct AdditionLookUps {
  static inline std::mutex lock;
  static inline std::condition_variable changed;
  static inline bool hanging = false;
  static inline bool inFirst = false;
  static inline std::string lockPath;
  static inline std::function<void(int call)> atCall;
  static inline int calls = 0;
  static inline int underLock = 0;

  static void reset(const std::string& path, bool hang) {
    lockPath = path;
    hanging = hang;
    inFirst = false;
    atCall = nullptr;
    calls = underLock = 0;
  }
  static int lookUp(const char* host, uint32_t* address) {
    OB_FileLock probe;
    if (probe.open(lockPath.c_str()) == 0 && probe.isLockedElsewhere() != 0) ++underLock;
    if (atCall) atCall(calls);
    if (++calls == 1) {
      std::unique_lock<std::mutex> hold(lock);
      inFirst = true;
      changed.notify_all();
      changed.wait(hold, [] { return !hanging; });
    }
    return fakeHostLookup(host, address);
  }
  static bool waitForFirst() {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(30), [] { return inFirst; });
  }
  static void release() {
    std::lock_guard<std::mutex> hold(lock);
    hanging = false;
    changed.notify_all();
  }
};

// A resolver that does not answer holds no other configuration writer up: the console's
// SET_CONFIG is written while the additions' host is still being looked up, and the additions
// then join what it wrote.
TEST_F(AEngineConfigFiles, AdditionHostsAreLookedUpWithTheConfigurationLockFree) {
  {
    OB_AEngineConfig old;
    fill(&old);
    ASSERT_EQ(old.writeConfigFile(), 0);
  }
  writeFile("admin/installa.cfg", "http: 10.0.0.5:8080\n");
  AdditionLookUps::reset(dir_.file("admin/cfg.lock"), true);
  OB_AEngineConfig::setHostLookup(AdditionLookUps::lookUp);
  OB_AEngineConfigAdmin current;
  std::thread rebuild([&current] { current.readConfig(); });
  const bool looking = AdditionLookUps::waitForFirst();
  int written = -1;
  if (looking) {
    OB_AEngineConfig console;
    fill(&console);
    console.httpServers[0]->setName("console");
    written = console.writeConfigFile();
  }
  AdditionLookUps::release();
  rebuild.join();
  ASSERT_TRUE(looking);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(AdditionLookUps::underLock, 0);
  ASSERT_EQ(current.numOfHTTPServers, 2);
  EXPECT_STREQ(current.httpServers[0]->getName(), "console");
  EXPECT_EQ(current.httpServers[1]->getPort(), 8080);
  EXPECT_FALSE(exists("admin/installa.cfg"));
}

// A host that appears in installa.cfg while the others are looked up is looked up in another
// round, the lock let go first; one that keeps changing is left for the next start, and the
// configuration is read without it.
TEST_F(AEngineConfigFiles, AHostAddedDuringTheLookUpsIsLookedUpInAnotherRound) {
  {
    OB_AEngineConfig old;
    fill(&old);
    ASSERT_EQ(old.writeConfigFile(), 0);
  }
  writeFile("admin/installa.cfg", "http: 10.0.0.5:8080\n");
  AdditionLookUps::reset(dir_.file("admin/cfg.lock"), false);
  AdditionLookUps::atCall = [this](int call) {
    if (call == 0) writeFile("admin/installa.cfg", "http: 10.0.0.5:8080\nftp: 10.0.0.7\n");
  };
  OB_AEngineConfig::setHostLookup(AdditionLookUps::lookUp);
  {
    OB_AEngineConfigAdmin current;
    current.readConfig();
    EXPECT_EQ(AdditionLookUps::calls, 2);
    EXPECT_EQ(AdditionLookUps::underLock, 0);
    ASSERT_EQ(current.numOfHTTPServers, 2);
    ASSERT_EQ(current.numOfFTPServers, 2);
    const uint32_t added = ip(10, 0, 0, 7);
    EXPECT_EQ(current.ftpServers[1]->isMatch(&added), 1);
    EXPECT_FALSE(exists("admin/installa.cfg"));
  }

  const std::string before = readFile("admin/aengine_prvt.cfg");
  writeFile("admin/installa.cfg", "ftp: 10.0.1.0\n");
  AdditionLookUps::reset(dir_.file("admin/cfg.lock"), false);
  AdditionLookUps::atCall = [this](int call) {
    writeFile("admin/installa.cfg", "ftp: 10.0.1." + std::to_string(call + 1) + "\n");
  };
  startLog();
  OB_AEngineConfigAdmin current;
  current.readConfig();
  EXPECT_EQ(AdditionLookUps::calls, OB_InstallHosts::kRounds);
  EXPECT_EQ(current.numOfHTTPServers, 2);
  EXPECT_EQ(current.numOfFTPServers, 2);
  EXPECT_TRUE(exists("admin/installa.cfg"));
  EXPECT_EQ(readFile("admin/aengine_prvt.cfg"), before);
  EXPECT_NE(logText().find("installa.cfg changed while its hosts were looked up; left for the "
                           "next start"),
            std::string::npos)
      << logText();
}

TEST_F(AEngineConfigFiles, AdditionsWithoutUsersAreStillWritten) {
  writeFile("admin/aengine_prvt.cfg", sections(1, 0));
  writeFile("admin/installa.cfg", "ftp:10.0.0.7\n");
  OB_AEngineConfigAdmin current;
  current.readConfig();
  EXPECT_FALSE(exists("admin/installa.cfg"));
  OB_AEngineConfigAdmin again;
  again.readConfig();
  EXPECT_EQ(again.numOfFTPServers, 1);
}

const char* kHugeWindowText =
    "# Time Window\nname{Huge}\nwindowType{1}\nalignRTType{0}\nalignRTOffset{0}\n"
    "staticNowTime{3000000000}\nstaticAgoTime{2000000000}\nstaticNumOfBins{40000}\n\n";

// The checks SET_CONFIG makes: a window that would fail at counting is left out, and the log
// names the file and the line where its record begins.
TEST_F(AEngineConfigFiles, AWindowTheEngineCannotCountWithIsLeftOutWithItsFileAndLine) {
  std::string text = sections(2, 0);
  text.insert(text.find("# Time Window") + strlen(kWindowText), kHugeWindowText);
  text.replace(text.find("windows.\n2\n"), strlen("windows.\n2\n"), "windows.\n3\n");
  writeFile("admin/aengine_prvt.cfg", text);
  startLog();
  OB_AEngineConfigAdmin config;
  config.readConfig();
  ASSERT_EQ(config.numOfTimeWindows, 2);
  EXPECT_STREQ(config.timeWindows[1]->name, "Last week");
  EXPECT_NE(logText().find("readConfigFile: " + dir_.path() +
                           "/admin/aengine_prvt.cfg line 20: time window \"Huge\" left out: bins "
                           "not within 1 to 32767"),
            std::string::npos)
      << logText();
}

// A private file that cannot be read whole would end the process at every start, or give an
// engine nobody can use: the defaults are read in its place, and the log and standard error say
// why.
TEST_F(AEngineConfigFiles, ADamagedConfigurationFileGivesWayToTheDefaults) {
  std::string defaults = sections(1, 0);
  defaults.replace(defaults.find("Last week"), strlen("Last week"), "Defaults");
  writeFile("admin/aengine_prvtDef.cfg", defaults);
  std::string whole;
  {
    OB_AEngineConfig config;
    fill(&config);
    ASSERT_EQ(config.writeConfigFile(), 0);
    whole = readFile("admin/aengine_prvt.cfg");
  }
  std::string badAddress = whole;
  badAddress.replace(badAddress.find("10.1.0.7"), strlen("10.1.0.7"), "10.1.0.x");
  std::string tooMany = whole;
  tooMany.replace(tooMany.find("windows.\n1\n"), strlen("windows.\n1\n"), "windows.\n17\n");
  std::string unusable = sections(1, 0);
  unusable.replace(unusable.find(kWindowText), strlen(kWindowText), kHugeWindowText);
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {whole.substr(0, whole.size() / 2), "the file ends before line"},
      {badAddress, "networkGroup_readGroup: Malformed IP Address: 10.1.0.x"},
      {tooMany, "invalid number of time windows"},
      {unusable, "no time window the engine can count with"},
  };
  for (const auto& [text, why] : damaged) {
    writeFile("admin/aengine_prvt.cfg", text);
    EXPECT_EXIT(
        {
          startLog();
          OB_AEngineConfigAdmin config;
          config.readConfig();
          const bool fellBack =
              config.numOfTimeWindows == 1 && strcmp(config.timeWindows[0]->name, "Defaults") == 0;
          exit(fellBack && logText().find(why) != std::string::npos ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "aengine_prvt.cfg can't be read whole")
        << why;
    EXPECT_EQ(readFile("admin/aengine_prvt.cfg"), text);
  }
}

// A program that echoes its log to standard error (the service) tells of the fallback there
// once, with its prefix.
TEST_F(AEngineConfigFiles, TheFallbackIsToldOnStandardErrorOnceWithThePrefix) {
  writeFile("admin/aengine_prvtDef.cfg", sections(1, 0));
  writeFile("admin/aengine_prvt.cfg", sections(1, 0).substr(0, 40));
  startLog();
  const std::string caught = dir_.file("stderr.txt");
  fflush(stderr);
  const int saved = dup(2);
  const int into = open(caught.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(into, 0);
  dup2(into, 2);
  close(into);
  OB_Log::setEcho(stderr, "corramon");
  {
    OB_AEngineConfigAdmin config;
    config.readConfig();
  }
  OB_Log::setEcho(nullptr, nullptr);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  const std::string told = readFile("stderr.txt");
  const std::string line = "corramon: readConfig: " + dir_.path() + "/admin/aengine_prvt.cfg";
  ASSERT_NE(told.find(line), std::string::npos) << told;
  size_t count = 0;
  for (size_t at = told.find("can't be read whole"); at != std::string::npos;
       at = told.find("can't be read whole", at + 1))
    ++count;
  EXPECT_EQ(count, 1u) << told;
}

}  // namespace
