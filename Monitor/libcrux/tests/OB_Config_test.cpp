#include "OB_Config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleClient.h"
#include "OB_ConfigAdmin.h"
#include "OB_ConfigDef.h"
#include "OB_Log.h"
#include "OB_Tools.h"
#include "FileText.h"
#include "SocketPair.h"
#include "TempDir.h"

namespace {

using corrana_test::TempDir;
using corrana_test::readFile;
using corrana_test::writeFile;

uint32_t quad(const char* text) { return ntohl(inet_addr(text)); }

const std::string kDashes(55, '-');

// The private/defaults file layout around the given values.
struct GeneralFile {
  std::string netStats = "1";
  std::string filter = "tcp port 80";
  std::string days = "7";
  std::vector<std::string> mime = {"text/html\t\t\thtml htm ", "image/gif\t\t\tgif "};
  std::string count;  // empty: the number of MIME lines
  std::string password = "secret";
  std::string apply = "1";
  std::string nets = "2";
  std::string examples = "10.1.2.3 192.168.7.1";
  std::string masks = "255.255.0.0 255.255.255.255";

  std::string text() const {
    std::string out = kDashes + "\nWARNING! This is a machine generated file. DO NOT EDIT.\n" +
                      kDashes + "\n\n# Config version\n1\n\n# Net 1=On 0=Off\n" + netStats +
                      "\n\n# BPF filter string\n" + filter + "\n\n# Days of data to keep\n" +
                      days + "\n\n# HTTP RealTime: Number of MIME type file extension mappings\n" +
                      (count.empty() ? std::to_string(mime.size()) : count) +
                      "\n\n# HTTP RealTime: MIME type file extension mappings\n";
    for (const std::string& line : mime) out += line + "\n";
    out += "\n# Root user\npassword{" + password + "}\napplyNetAddress{" + apply +
           "}\nnumOfNets{" + nets + "}\nexampleAddress{" + examples + "}\nmaskAddress{" +
           masks + "}\n\n";
    return out;
  }
};

// The general configuration with its protected readers opened for the tests.
class TestConfig : public OB_ConfigAdmin {
 public:
  using OB_Config::readGeneralConfigFile;
};

// A scratch install directory with "admin", "logs" and "db", named by OB_INSTALLDIR.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(admin().c_str(), 0755);
    mkdir((dir_.path() + "/logs").c_str(), 0755);
    mkdir(db().c_str(), 0755);
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
  }

  std::string admin() const { return dir_.path() + "/admin"; }
  std::string db() const { return dir_.path() + "/db"; }
  std::string log() const { return readFile(dir_.path() + "/logs/config.log"); }

  void writeAdmin(const std::string& file, const std::string& text) {
    writeFile(admin() + "/" + file, text);
  }
  // An installation file with a free port, the scratch database and the given range lines.
  std::string install(const std::string& ranges, const std::string& port = "port 0") {
    std::string text = "# installation\n";
    if (!port.empty())
      text += port == "port 0" ? "port " + std::to_string(corrana_test::freePort()) : port;
    text += "\ndevice default\ndbpath " + db() + "\n" + ranges;
    return text;
  }

  // Runs body in a child that must end with status 1 after logging text.
  void expectQuit(const std::function<void()>& body, const std::string& text,
                  const char* stderrPattern = "") {
    unlink((dir_.path() + "/logs/config.log").c_str());
    EXPECT_EXIT(
        {
          OB_Log::init("config", 0, nullptr);
          body();
        },
        ::testing::ExitedWithCode(1), stderrPattern);
    EXPECT_NE(log().find(text), std::string::npos) << "log: " << log();
  }
  // Reads a defaults file of this text into "cengine".
  void expectGeneralQuit(const GeneralFile& file, const std::string& text) {
    writeAdmin("cengine_prvtDef.cfg", file.text());
    expectQuit(
        [] {
          OB_ConfigDef config;
          config.setName("cengine");
          config.init();
        },
        text);
  }
  void expectInstallQuit(const std::string& installText, const std::string& text) {
    writeAdmin("cengine_prvt.cfg", GeneralFile().text());
    writeAdmin("cengineInstall.cfg", installText);
    expectQuit(
        [] {
          OB_ConfigAdmin config;
          config.setName("cengine");
          config.init();
        },
        text);
  }

  TempDir dir_;
};

TEST_F(ConfigTest, AdminInitReadsPrivateAndInstallationFiles) {
  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  writeAdmin("cengineInstall.cfg", "# comment\nport 9000  # the console port\ndevice eth1\n"
                                   "dbpath " + db() + "\nrange 10.0.0.1 10.0.0.9\n"
                                   "range  192.168.1.0\t192.168.1.255 # office\n");
  OB_ConfigAdmin config;
  config.setName("cengine");
  ASSERT_EQ(config.init(), 0);

  EXPECT_EQ(config.configVersion, 1u);
  EXPECT_EQ(config.netStatsEnabled, 1);
  EXPECT_STREQ(config.filterProgram, "tcp port 80");
  EXPECT_EQ(config.daysOfDataToKeep, 7u);
  ASSERT_EQ(config.getMimeTypeCount(), 2);
  EXPECT_STREQ(config.getMimeType(0)->type, "text/html");
  ASSERT_EQ(config.getMimeType(0)->numExtensions, 2);
  EXPECT_STREQ(config.getMimeType(0)->extensions[0], "html");
  EXPECT_STREQ(config.getMimeType(0)->extensions[1], "htm");
  EXPECT_STREQ(config.getMimeType(1)->type, "image/gif");
  EXPECT_EQ(config.getMimeType(2), nullptr);
  EXPECT_EQ(config.getMimeType(-1), nullptr);
  EXPECT_STREQ(config.password, "secret");
  EXPECT_EQ(config.applyNetAddress, 1);
  ASSERT_EQ(config.numOfNets, 2);
  EXPECT_EQ(config.exampleAddress[0], quad("10.1.2.3"));
  EXPECT_EQ(config.maskAddress[0], quad("255.255.0.0"));
  EXPECT_EQ(config.maskAddress[1], 0xFFFFFFFFu);  // the all-ones mask is taken on the file
  EXPECT_EQ(config.getNetwork(0), quad("10.1.0.0"));
  EXPECT_EQ(config.getNetwork(1), quad("192.168.7.1"));

  EXPECT_EQ(config.connectionPort, 9000u);
  EXPECT_STREQ(config.device, "eth1");
  EXPECT_EQ(std::string(config.databaseDir), db());
  EXPECT_EQ(config.getIPRangeCount(), 2);
  for (const char* inside : {"10.0.0.1", "10.0.0.9", "192.168.1.0", "192.168.1.255"})
    EXPECT_EQ(config.isInIPRanges(quad(inside)), 1) << inside;
  for (const char* outside : {"10.0.0.0", "10.0.0.10", "192.168.2.0"})
    EXPECT_EQ(config.isInIPRanges(quad(outside)), 0) << outside;
}

TEST_F(ConfigTest, InstallationDefaultsAndRereadReplacesRanges) {
  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  writeAdmin("cengineInstall.cfg", "range 10.0.0.1 10.0.0.9\n");
  OB_ConfigAdmin config;
  config.setName("cengine");
  if (!OB_Tools::testSocket(8189)) GTEST_SKIP() << "port 8189 is taken on this machine";
  config.init();
  EXPECT_EQ(config.connectionPort, 8189u);
  EXPECT_STREQ(config.device, "");
  EXPECT_EQ(std::string(config.databaseDir), db());

  FILE* again = OB_Tools::openFile((admin() + "/again").c_str(), "w+");
  fputs(install("range 172.16.0.0 172.16.255.255\n").c_str(), again);
  rewind(again);
  config.readAdminConfigFile(again);
  fclose(again);
  EXPECT_EQ(config.getIPRangeCount(), 1);
  EXPECT_EQ(config.isInIPRanges(quad("10.0.0.5")), 0);
  EXPECT_EQ(config.isInIPRanges(quad("172.16.3.4")), 1);

  OB_ConfigAdmin empty;
  EXPECT_EQ(empty.isInIPRanges(quad("10.0.0.5")), 0);
  uint32_t low = 0;
  EXPECT_EQ(empty.getIPRange(0, &low, nullptr), -1);
}

TEST_F(ConfigTest, DatabasePathLongerThanTheTableFieldIsKeptWhole) {
  std::string deep = db() + "/" + std::string(150, 'a') + "/" + std::string(150, 'b');
  ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  writeAdmin("cengineInstall.cfg", "port " + std::to_string(corrana_test::freePort()) +
                                       "\ndbpath " + deep + "  # deep\nrange 1.1.1.1 1.1.1.1\n");
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  EXPECT_EQ(std::string(config.databaseDir), deep);
}

TEST_F(ConfigTest, SixtyFifthRangeIsSkippedWithALogLine) {
  std::string ranges;
  for (int i = 0; i < 65; ++i)
    ranges += "range 10.0." + std::to_string(i) + ".0 10.0." + std::to_string(i) + ".255\n";
  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  writeAdmin("cengineInstall.cfg", install(ranges));
  OB_Log::init("config", 0, nullptr);
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  EXPECT_EQ(config.getIPRangeCount(), 64);
  EXPECT_EQ(config.isInIPRanges(quad("10.0.63.7")), 1);
  EXPECT_EQ(config.isInIPRanges(quad("10.0.64.7")), 0);
  EXPECT_NE(log().find("more than 64 address ranges, range skipped: 10.0.64.0 10.0.64.255"),
            std::string::npos);
}

// Each refusal names the file and the line the value stands on.
TEST_F(ConfigTest, InstallationFileChecksEndTheProcess) {
  const std::string file = dir_.path() + "/admin/cengineInstall.cfg";
  expectInstallQuit(install("range 10.0.0.1 10.0.0.9\n", "port 80"),
                    file + " line 2: Capture engine port out of range: 80 (255 to 65535)\n");
  expectInstallQuit(install("range 10.0.0.1 10.0.0.9\n", "port 99999999999999999999"),
                    " line 2: Capture engine port out of range: 99999999999999999999 (255 to "
                    "65535)\n");
  expectInstallQuit(install("range 10.0.0.1 10.0.0.9\n", "port 81a"),
                    file + " line 2: Capture engine port not a number: 81a\n");
  expectInstallQuit(install("range 10.0.0.1-10.0.0.9\n"),
                    file + " line 5: Invalid syntax in Install.cfg: 10.0.0.1-10.0.0.9\n");
  expectInstallQuit(install("range 10.0.0.x 10.0.0.9\n"),
                    " line 5: Invalid address in Install.cfg: 10.0.0.x\n");
  expectInstallQuit(install("range 10.0.0.1 10.0.0.2\nrange 10.0.0.1 nowhere\n"),
                    " line 6: Invalid address in Install.cfg: nowhere\n");
  expectInstallQuit(install("range 10.0.0.9 10.0.0.1\n"),
                    " line 5: Error in Install.cfg\n");
  expectInstallQuit(install("range 10.0.0.9 10.0.0.1\n"),
                    " line 5: Minimum address is greater than maximum address: 10.0.0.9 10.0.0.1\n");
  expectInstallQuit(install("range default\n"), " line 5: IP address ranges not defined.\n");
  expectInstallQuit(install("range default\n"), " line 5: Run configure script.\n");
  expectInstallQuit("dbpath " + db() + "/missing\nrange 1.1.1.1 1.1.1.2\n",
                    file + " line 1: the archive folder (dbpath) " + db() +
                        "/missing is not a folder that can be opened\n");
}

TEST_F(ConfigTest, PortInUseEndsTheProcessUnlessThisProcessListensThere) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<struct sockaddr*>(&address), &size);
  int port = ntohs(address.sin_port);
  std::string text = install("range 1.1.1.1 1.1.1.2\n", "port " + std::to_string(port));
  expectInstallQuit(text, " line 2: Capture engine port already in use: " + std::to_string(port) + "\n");

  // The engine's own command server: a re-read must not end the engine.
  OB_Tools::registerListeningPort(port);
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  EXPECT_EQ(config.connectionPort, static_cast<uint32_t>(port));
  OB_Tools::unregisterListeningPort(port);
  close(listener);
}

TEST_F(ConfigTest, GeneralFileChecksEndTheProcess) {
  GeneralFile file;
  file.mime = {"application/x-many\t\t\ta b c d e f g h i j k l m n o p q "};
  expectGeneralQuit(file, "readGeneralConfigFile: Maximum # of postfixes/type = 16\n");

  file = GeneralFile();
  file.nets = "6";
  expectGeneralQuit(file, "readGeneralConfigFile: too many networks\n");
  file.nets = "-1";
  expectGeneralQuit(file, "readGeneralConfigFile: too many networks\n");

  file = GeneralFile();
  file.examples = "10.1.2.3 192.168.7.x";
  expectGeneralQuit(file, "readGeneralConfigFile: Malformed IP Address: 192.168.7.x\n");
  file.examples = "10.1.2.3";
  expectGeneralQuit(file, "readGeneralConfigFile: Malformed IP Address: \n");
  file.examples = "255.255.255.255 10.1.2.3";  // only masks may be all ones
  expectGeneralQuit(file, "readGeneralConfigFile: Malformed IP Address: 255.255.255.255\n");

  file = GeneralFile();
  file.masks = "255.255.0.0 255.255.255.256";
  expectGeneralQuit(file, "readGeneralConfigFile: Malformed IP Address: 255.255.255.256\n");

  file = GeneralFile();
  file.count = "70000";
  expectGeneralQuit(file, "readGeneralConfigFile: Malformed MIME type count: 70000\n");
}

TEST_F(ConfigTest, APrivateFileThatIsNotWholeGivesWayToTheDefaults) {
  GeneralFile defaults;
  defaults.password = "factory";
  defaults.days = "3";
  writeAdmin("cengine_prvtDef.cfg", defaults.text());
  writeAdmin("cengineInstall.cfg", install("range 10.0.0.1 10.0.0.9\n"));
  const std::string whole = GeneralFile().text();
  GeneralFile garbled;
  garbled.days = "7x";
  GeneralFile badNet;
  badNet.nets = "9";
  GeneralFile badAddress;
  badAddress.examples = "10.1.2.3 192.168.7.x";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "it ends before line 1"},
      {whole.substr(0, whole.find("password{")), "it ends before line 25"},
      {whole.substr(0, whole.find("maskAddress{") + 15),
       "line 29 is not maskAddress{...}: maskAddress{255"},
      {garbled.text(), "line 15 is not a number: 7x"},
      {badNet.text(), "readGeneralConfigFile: too many networks"},
      {badAddress.text(), "readGeneralConfigFile: Malformed IP Address: 192.168.7.x"},
  };
  OB_Log::init("config", 0, nullptr);
  for (const auto& [text, why] : cases) {
    writeAdmin("cengine_prvt.cfg", text);
    OB_ConfigAdmin config;
    config.setName("cengine");
    ::testing::internal::CaptureStderr();
    config.init();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_STREQ(config.password, "factory") << why;
    EXPECT_EQ(config.daysOfDataToKeep, 3u) << why;
    EXPECT_EQ(config.isInIPRanges(quad("10.0.0.5")), 1) << why;
    const std::string line = "init: " + admin() + "/cengine_prvt.cfg can't be read whole (" + why +
                             "); using " + admin() + "/cengine_prvtDef.cfg";
    EXPECT_NE(log().find(line + "\n"), std::string::npos) << log();
    EXPECT_EQ(errors, line + "\n");
  }

  // A whole file, even one whose last blank line is gone, is the private file as it stands.
  writeAdmin("cengine_prvt.cfg", whole.substr(0, whole.size() - 1));
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  EXPECT_STREQ(config.password, "secret");
}

TEST_F(ConfigTest, SixteenExtensionsAreAccepted) {
  GeneralFile file;
  file.mime = {"application/x-many\t\t\tA b c d e f g h i j k l m n o P "};
  writeAdmin("cengine_prvtDef.cfg", file.text());
  OB_ConfigDef config;
  config.setName("cengine");
  config.init();
  ASSERT_EQ(config.getMimeTypeCount(), 1);
  ASSERT_EQ(config.getMimeType(0)->numExtensions, 16);
  EXPECT_STREQ(config.getMimeType(0)->extensions[0], "a");
  EXPECT_STREQ(config.getMimeType(0)->extensions[15], "p");
}

TEST_F(ConfigTest, OverlongLinesAreCutWithoutShiftingTheLinesAfterThem) {
  GeneralFile file;
  file.filter = std::string(700, 'f');
  file.mime = {std::string(80, 't') + "\t" + std::string(20, 'E') + " " + std::string(1500, 'x'),
               "image/gif\t\t\tgif "};
  file.password = std::string(600, 'p');
  writeAdmin("cengine_prvtDef.cfg", file.text());
  OB_ConfigDef config;
  config.setName("cengine");
  config.init();
  EXPECT_EQ(std::string(config.filterProgram), std::string(511, 'f'));
  EXPECT_EQ(config.daysOfDataToKeep, 7u);
  ASSERT_EQ(config.getMimeTypeCount(), 2);
  EXPECT_EQ(std::string(config.getMimeType(0)->type), std::string(63, 't'));
  EXPECT_EQ(std::string(config.getMimeType(0)->extensions[0]), std::string(15, 'e'));
  EXPECT_STREQ(config.getMimeType(1)->type, "image/gif");
  EXPECT_EQ(std::string(config.password), std::string(511, 'p'));
  EXPECT_EQ(config.numOfNets, 2);
}

TEST_F(ConfigTest, MissingOrUnreadableFilesEndTheProcess) {
  expectQuit(
      [] {
        OB_ConfigDef config;
        config.setName("cengine");
        config.init();
      },
      admin() + "/cengine_prvtDef.cfg: Problem opening file: No such file or directory\n",
      "No such file or directory");

  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  expectQuit(
      [] {
        OB_ConfigAdmin config;
        config.setName("cengine");
        config.init();
      },
      admin() + "/cengineInstall.cfg: Problem opening file: No such file or directory\n");

  mkdir((admin() + "/aengine_prvtDef.cfg").c_str(), 0755);
  expectQuit(
      [] {
        OB_ConfigDef config;
        config.setName("aengine");
        config.init();
      },
      admin() + "/aengine_prvtDef.cfg: Permision denied\n");

  std::string longName(300, 'n');
  expectQuit([&] { OB_Config::openConfigFile("/admin", longName.c_str(), "r"); },
             admin() + "/" + longName + ": Path too long\n");

  expectQuit([] { OB_Config::openConfigFile("/nothere", "x", "r"); },
             "openConfigFile: " + dir_.path() + "/nothere can't open directory\n");
}

const char kSavedFile[] =
    "-------------------------------------------------------\n"
    "WARNING! This is a machine generated file. DO NOT EDIT.\n"
    "-------------------------------------------------------\n"
    "\n"
    "# Config version\n"
    "1\n"
    "\n"
    "# Net 1=On 0=Off\n"
    "0\n"
    "\n"
    "# BPF filter string\n"
    "host 10.0.0.1 and port 80\n"
    "\n"
    "# Days of data to keep\n"
    "30\n"
    "\n"
    "# HTTP RealTime: Number of MIME type file extension mappings\n"
    "2\n"
    "\n"
    "# HTTP RealTime: MIME type file extension mappings\n"
    "text/html\t\t\thtml htm \n"
    "image/gif\t\t\tgif \n"
    "\n"
    "# Root user\n"
    "password{new pass}\n"
    "applyNetAddress{1}\n"
    "numOfNets{2}\n"
    "exampleAddress{10.1.2.3 192.168.7.1}\n"
    "maskAddress{255.255.0.0 255.255.255.255}\n"
    "\n";

TEST_F(ConfigTest, SaveWritesThePrivateFileThatInitReadsBack) {
  GeneralFile file;
  file.mime = {"text/html\t\t\tHTML htm ", "image/gif\t\t\tgif "};
  writeAdmin("cengine_prvt.cfg", file.text());
  writeAdmin("cengineInstall.cfg", install("range 10.0.0.1 10.0.0.9\n"));
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  config.netStatsEnabled = 0;
  snprintf(config.filterProgram, sizeof config.filterProgram, "host 10.0.0.1 and port 80");
  config.daysOfDataToKeep = 30;
  snprintf(config.password, sizeof config.password, "new pass");
  ASSERT_EQ(config.save(), 0);
  EXPECT_EQ(readFile(admin() + "/cengine_prvt.cfg"), kSavedFile);
  struct stat info;
  EXPECT_NE(stat((admin() + "/cengine_prvt.cfg.new").c_str(), &info), 0);  // no leftover

  OB_ConfigAdmin again;
  again.setName("cengine");
  again.init();
  EXPECT_EQ(again.netStatsEnabled, 0);
  EXPECT_STREQ(again.filterProgram, "host 10.0.0.1 and port 80");
  EXPECT_EQ(again.daysOfDataToKeep, 30u);
  ASSERT_EQ(again.getMimeTypeCount(), 2);
  EXPECT_STREQ(again.getMimeType(0)->extensions[0], "html");
  EXPECT_STREQ(again.password, "new pass");
  ASSERT_EQ(again.numOfNets, 2);
  EXPECT_EQ(again.getNetwork(0), quad("10.1.0.0"));
  EXPECT_EQ(again.maskAddress[1], 0xFFFFFFFFu);
}

TEST_F(ConfigTest, PrintShowsEveryPart) {
  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  writeAdmin("cengineInstall.cfg", install("range 10.0.0.1 10.0.0.9\n"));
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  FILE* out = tmpfile();
  config.print(out);
  rewind(out);
  std::string text;
  char chunk[256];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, out)) > 0) text.append(chunk, got);
  fclose(out);
  std::string expectedHead = "General Configuration\n---------------------\ndatabaseDir          = '" +
                             db() + "'\ndevice               = ''\n"
                             "filterProgram        = 'tcp port 80'\nnetStatsEnabled      = '1'\n";
  EXPECT_EQ(text.substr(0, expectedHead.size()), expectedHead);
  EXPECT_NE(text.find("daysOfDataToKeep     = 7\n\n  IP Ranges: # = 1\n    10.0.0.1  10.0.0.9\n\n"
                      "  MIME types: # = 2\n      text/html ( html htm )\n"
                      "      image/gif ( gif )\n\n# Root user\npassword{secret}\n"),
            std::string::npos)
      << text;
}

TEST_F(ConfigTest, RangesStayWholeWhileTheInstallationFileIsReadAgain) {
  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  std::string text = install("range 10.0.0.0 10.0.0.255\nrange 10.0.1.0 10.0.1.255\n");
  writeAdmin("cengineInstall.cfg", text);
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  std::atomic<bool> done{false};
  std::atomic<int> misses{0};
  std::thread checker([&] {
    while (!done.load())
      if (config.isInIPRanges(quad("10.0.1.7")) == 0) misses.fetch_add(1);
  });
  for (int i = 0; i < 200; ++i) {
    FILE* stream = OB_Config::openConfigFile("/admin", "cengineInstall.cfg", "r");
    config.readAdminConfigFile(stream);
    fclose(stream);
  }
  done = true;
  checker.join();
  EXPECT_EQ(misses.load(), 0);
}

TEST(ConfigChecks, PasswordNeedsTheExactRootUserAndPassword) {
  OB_Config config;
  snprintf(config.password, sizeof config.password, "Pa55");
  EXPECT_EQ(config.isValidPassword("root", "Pa55"), 1);
  EXPECT_EQ(config.isValidPassword("ROOT", "Pa55"), 0);
  EXPECT_EQ(config.isValidPassword("root", "pa55"), 0);
  EXPECT_EQ(config.isValidPassword("root ", "Pa55"), 0);
  EXPECT_EQ(config.isValidPassword(nullptr, "Pa55"), 0);
  EXPECT_EQ(config.isValidPassword("root", "Pa55x"), 0);
  EXPECT_EQ(config.isValidPassword("root", "Pa5"), 0);
  config.password[0] = '\0';  // a private file without its password line
  EXPECT_EQ(config.isValidPassword("root", ""), 0);
}

TEST(ConfigChecks, SourceAddressMustLieInANetworkWhenRestricted) {
  OB_Config config;
  EXPECT_EQ(config.isValidSourceIP(quad("1.2.3.4")), 1);  // not restricted
  config.applyNetAddress = 1;
  EXPECT_EQ(config.isValidSourceIP(quad("1.2.3.4")), 0);  // restricted, no network
  EXPECT_EQ(config.isValidSourceIP(0), 0);
  EXPECT_EQ(config.setName(std::string(300, 'n').c_str()), 0);
  EXPECT_EQ(std::string(config.getName()), std::string(127, 'n'));
}

// --- wire form ---

using corrana_test::SocketPair;

// The fields of the socket encoding, as the console sends and reads them.
std::string u32(uint32_t v) {
  return std::string(4, '\0') + char(v >> 24) + char(v >> 16) + char(v >> 8) + char(v);
}
std::string u16(uint16_t v) { return std::string(2, '\0') + char(v >> 8) + char(v); }
std::string u8(uint8_t v) { return std::string(1, '\0') + char(v); }
std::string line(const std::string& text) { return text + "\n"; }

// The wire form of the configuration the private file of GeneralFile() gives, device and port
// as the installation file sets them.
std::string generalWire(const std::string& device, uint32_t port) {
  return u32(1) + line(device) + u32(port) + line("tcp port 80") + u32(7) + u16(2) +
         line("text/html") + u8(2) + line("html") + line("htm") + line("image/gif") + u8(1) +
         line("gif") + line("secret") + u8(1) + u16(2) + line("10.1.2.3") + line("255.255.0.0") +
         line("192.168.7.1") + line("255.255.255.255");
}

TEST_F(ConfigTest, WireFormIsSentByteForByte) {
  writeAdmin("cengine_prvt.cfg", GeneralFile().text());
  writeAdmin("cengineInstall.cfg", "port 9001\ndevice eth0\ndbpath " + db() +
                                       "\nrange 1.1.1.1 1.1.1.2\n");
  OB_ConfigAdmin config;
  config.setName("cengine");
  config.init();
  SocketPair pair;
  ASSERT_EQ(config.writeJ(pair.near()), 0);
  EXPECT_EQ(pair.drain(), generalWire("eth0", 9001));
}

TEST(ConfigWire, ReceivedFormFillsTheConfiguration) {
  // applyNetAddress arrives as ONE byte: the console writes a Boolean, not the engine's UInt8.
  std::string wire = u32(1) + line("eth2") + u32(8200) + line("port 21") + u32(3) + u16(1) +
                     line(std::string(63, 't')) + u8(2) + line("A") +
                     line(std::string(15, 'x')) + line("pw") + std::string(1, '\1') + u16(1) +
                     line("10.9.0.1") + line("255.255.255.255");
  SocketPair pair;
  pair.feed(wire);
  OB_Config config;
  ASSERT_EQ(config.readJ(pair.near()), 0);
  EXPECT_EQ(config.configVersion, 1u);
  EXPECT_STREQ(config.device, "eth2");
  EXPECT_EQ(config.connectionPort, 8200u);
  EXPECT_STREQ(config.filterProgram, "port 21");
  EXPECT_EQ(config.daysOfDataToKeep, 3u);
  ASSERT_EQ(config.getMimeTypeCount(), 1);
  EXPECT_EQ(std::string(config.getMimeType(0)->type), std::string(63, 't'));
  ASSERT_EQ(config.getMimeType(0)->numExtensions, 2);
  EXPECT_STREQ(config.getMimeType(0)->extensions[0], "A");
  EXPECT_EQ(std::string(config.getMimeType(0)->extensions[1]), std::string(15, 'x'));
  EXPECT_STREQ(config.password, "pw");
  EXPECT_EQ(config.applyNetAddress, 1);
  ASSERT_EQ(config.numOfNets, 1);
  EXPECT_EQ(config.exampleAddress[0], quad("10.9.0.1"));
  EXPECT_EQ(config.maskAddress[0], 0xFFFFFFFFu);
}

// The networks a console sends are the ones client addresses are then checked against.
TEST(ConfigWire, ReceivedNetworksDecideWhichClientsAreLetIn) {
  std::string wire = u32(1) + line("") + u32(8200) + line("") + u32(3) + u16(0) + line("pw") +
                     std::string(1, '\1') + u16(1) + line("10.9.3.1") + line("255.255.0.0");
  SocketPair pair;
  pair.feed(wire);
  OB_Config config;
  ASSERT_EQ(config.readJ(pair.near()), 0);
  EXPECT_EQ(config.getNetwork(0), quad("10.9.0.0"));
  EXPECT_EQ(config.isValidSourceIP(quad("10.9.200.7")), 1);
  EXPECT_EQ(config.isValidSourceIP(quad("10.8.0.1")), 0);
}

// A text longer than its field is refused with the field and its limit in the log, never cut:
// a root password cut to its first 511 bytes would not let root in. One that fits is kept.
TEST_F(ConfigTest, ATextLongerThanItsFieldIsRefusedAndOneThatFitsIsKept) {
  OB_Log::init("config", 0, nullptr);
  auto wire = [](const std::string& device, const std::string& type, const std::string& password) {
    return u32(1) + line(device) + u32(8200) + line("f") + u32(3) + u16(1) + line(type) + u8(0) +
           line(password) + std::string(1, '\0') + u16(0);
  };
  for (const std::string& sent : {wire(std::string(256, 'd'), "text/html", "pw"),
                                  wire("eth0", std::string(64, 't'), "pw"),
                                  wire("eth0", "text/html", std::string(512, 'p'))}) {
    SocketPair pair;
    pair.feed(sent);
    OB_Config config;
    EXPECT_EQ(config.readJ(pair.near()), -1);
  }
  const std::string log = this->log();
  for (const char* text :
       {"hcommand_SET_CONFIG: the capture device is longer than its 255 bytes; refused",
        "hcommand_SET_CONFIG: a MIME type is longer than its 63 bytes; refused",
        "hcommand_SET_CONFIG: the root password is longer than its 511 bytes; refused"})
    EXPECT_NE(log.find(text), std::string::npos) << text << " in:\n" << log;

  SocketPair pair;
  pair.feed(wire(std::string(255, 'd'), std::string(63, 't'), std::string(511, 'p')));
  OB_Config config;
  ASSERT_EQ(config.readJ(pair.near()), 0);
  EXPECT_EQ(std::string(config.device), std::string(255, 'd'));
  EXPECT_EQ(config.connectionPort, 8200u);
  EXPECT_EQ(std::string(config.password), std::string(511, 'p'));
}

TEST(ConfigWire, TooManyExtensionsOrNetworksAndBadAddressesAreRefused) {
  std::string head = u32(1) + line("") + u32(8200) + line("") + u32(3);
  std::string tail = line("pw") + std::string(1, '\1');
  {
    std::string wire = head + u16(1) + line("text/x") + u8(17);
    for (int i = 0; i < 17; ++i) wire += line("e");
    wire += tail + u16(0);
    SocketPair pair;
    pair.feed(wire);
    OB_Config config;
    EXPECT_EQ(config.readJ(pair.near()), -1);
  }
  {
    std::string wire = head + u16(0) + tail + u16(6);
    for (int i = 0; i < 6; ++i) wire += line("10.0.0.1") + line("255.0.0.0");
    SocketPair pair;
    pair.feed(wire);
    OB_Config config;
    EXPECT_EQ(config.readJ(pair.near()), -1);
  }
  {
    SocketPair pair;
    pair.feed(head + u16(0) + tail + u16(1) + line("255.255.255.255") + line("255.0.0.0"));
    OB_Config config;
    EXPECT_EQ(config.readJ(pair.near()), -1);
  }
  {
    SocketPair pair;
    pair.feed(head + u16(0) + tail + u16(1) + line("10.0.0.1") + line("mask"));
    OB_Config config;
    EXPECT_EQ(config.readJ(pair.near()), -1);
  }
  {
    SocketPair pair;  // closed inside the password line
    pair.feed(head + u16(0) + "pw");
    OB_Config config;
    EXPECT_EQ(config.readJ(pair.near()), -1);
  }
}

}  // namespace
