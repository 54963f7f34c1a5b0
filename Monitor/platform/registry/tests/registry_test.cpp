#include "registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "OB_Log.h"
#include "TempDir.h"

namespace {

using corrana_test::TempDir;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((install.path() + "/admin").c_str(), 0755);
    setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  }
  void writeAdapters(const std::string& text) {
    FILE* f = fopen((install.path() + REG_ADAPTERS_FILE).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(text.c_str(), f);
    fclose(f);
  }
  // The sub-key names and device names of the network-card key at path.
  static std::vector<std::pair<std::string, std::string>> cards(const char* path) {
    std::vector<std::pair<std::string, std::string>> found;
    REG_Key key = nullptr;
    if (REG_OpenKey(path, &key) != 0) return found;
    char name[17];
    for (uint32_t i = 0; REG_EnumKey(key, i, name, sizeof name) == 0; ++i) {
      REG_Key card = nullptr;
      char device[4096];
      EXPECT_EQ(REG_OpenSubKey(key, name, &card), 0);
      EXPECT_EQ(REG_QueryValue(card, REG_VALUE_DEVICE_NAME, device, sizeof device), 0);
      found.emplace_back(name, device);
      REG_CloseKey(card);
    }
    REG_CloseKey(key);
    return found;
  }

  TempDir install;
};

TEST_F(Registry, ListsAdaptersFileInOrderUnderEveryCardsPath) {
  writeAdapters(
      "# capture adapters\n"
      "adapter: eth7\n"
      "other: ignored\n"
      "no separator line\n"
      "\n"
      "adapter:file:/srv/traces/monday.pcap   # replayed\n"
      "adapter:\n"
      " adapter \t: lab0\r\n");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"0000", "eth7"}, {"0001", "file:/srv/traces/monday.pcap"}, {"0002", "lab0"}};
  EXPECT_EQ(cards(REG_NETWORK_CARDS_NT4), expected);
  EXPECT_EQ(cards(REG_NETWORK_CARDS_NT5), expected);
  EXPECT_EQ(cards(REG_NETWORK_CARDS_CLASS), expected);
  // Separators and case as the caller writes them.
  EXPECT_EQ(cards("/system/currentcontrolset/services/class/NET/"), expected);
}

// A typo in the adapters file is named with the file and the line, once however often the file
// is read, and the good lines are kept.
TEST_F(Registry, NamesEachLineThatIsNoAdapterLine) {
  writeAdapters("# capture adapters\nadaptor: eth7\nadapter: eth1\n\neth2\n");
  mkdir((install.path() + "/logs").c_str(), 0755);
  OB_Log::init("registrytest", 0, nullptr);
  std::vector<std::pair<std::string, std::string>> expected = {{"0000", "eth1"}};
  // Read again for every key opened; each typo is named once.
  EXPECT_EQ(cards(REG_NETWORK_CARDS_NT5), expected);
  EXPECT_EQ(cards(REG_NETWORK_CARDS_NT4), expected);
  OB_Log::reset();
  std::string said(4096, '\0');
  FILE* log = fopen((install.path() + "/logs/registrytest.log").c_str(), "r");
  ASSERT_NE(log, nullptr);
  said.resize(fread(said.data(), 1, said.size(), log));
  fclose(log);
  const std::string file = install.path() + "/admin/adapters.cfg";
  EXPECT_NE(said.find(file + " line 2: unknown key \"adaptor\""), std::string::npos) << said;
  EXPECT_NE(said.find(file + " line 5: \"eth2\" is no \"adapter: NAME\" line"), std::string::npos)
      << said;
  EXPECT_EQ(said.find("line 1"), std::string::npos) << said;
  EXPECT_EQ(said.find("line 3"), std::string::npos) << said;
  EXPECT_EQ(said.find("line 2", said.find("line 2") + 1), std::string::npos) << said;
  EXPECT_EQ(said.find("registry:"), std::string::npos) << said;
}

TEST_F(Registry, SkipsOverlongLinesWhole) {
  writeAdapters("adapter: " + std::string(9000, 'x') + "\nadapter: eth1\n");
  std::vector<std::pair<std::string, std::string>> expected = {{"0000", "eth1"}};
  EXPECT_EQ(cards(REG_NETWORK_CARDS_NT5), expected);
}

TEST_F(Registry, EmptyAdaptersFileListsNoCard) {
  writeAdapters("# nothing to capture on\n");
  EXPECT_TRUE(cards(REG_NETWORK_CARDS_NT5).empty());
}

TEST_F(Registry, WithoutAdaptersFileListsTheInterfacesTheListerGives) {
  EXPECT_TRUE(cards(REG_NETWORK_CARDS_NT5).empty());  // no lister set: no card
  REG_SetInterfaceLister([] {
    return std::vector<REG_Interface>{{"eth0", "first"}, {"wlan1", "second"}};
  });
  std::vector<std::pair<std::string, std::string>> expected = {{"0000", "eth0"},
                                                               {"0001", "wlan1"}};
  EXPECT_EQ(cards(REG_NETWORK_CARDS_CLASS), expected);
  // A file, even an empty one, wins over the lister.
  writeAdapters("");
  EXPECT_TRUE(cards(REG_NETWORK_CARDS_CLASS).empty());
  REG_SetInterfaceLister(nullptr);
}

TEST_F(Registry, RefusesUnknownKeysValuesAndShortBuffers) {
  writeAdapters("adapter: eth7\n");
  REG_Key key = reinterpret_cast<REG_Key>(1);
  EXPECT_EQ(REG_OpenKey("Software\\Elsewhere", &key), -1);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(REG_OpenKey((REG_NETWORK_CARDS_NT5 + std::string("\\0001")).c_str(), &key), -1);
  EXPECT_EQ(REG_OpenKey(nullptr, &key), -1);

  ASSERT_EQ(REG_OpenKey(REG_NETWORK_CARDS_NT5, &key), 0);
  char name[4];
  EXPECT_EQ(REG_EnumKey(key, 0, name, sizeof name), -1);  // "0000" needs 5 bytes
  EXPECT_EQ(REG_EnumKey(key, 1, name, sizeof name), -1);
  REG_Key card = nullptr;
  ASSERT_EQ(REG_OpenSubKey(key, "0000", &card), 0);
  char value[4] = "xyz";
  EXPECT_EQ(REG_QueryValue(card, "devicename", value, sizeof value), -1);  // "eth7" does not fit
  EXPECT_STREQ(value, "");
  EXPECT_EQ(REG_QueryValue(card, "NoSuchValue", value, sizeof value), -1);
  char description[32];
  EXPECT_EQ(REG_QueryValue(card, REG_VALUE_DESCRIPTION, description, sizeof description), 0);
  EXPECT_STREQ(description, "eth7");
  REG_CloseKey(card);
  REG_CloseKey(key);
  EXPECT_EQ(REG_CloseKey(nullptr), 0);
}

}  // namespace
