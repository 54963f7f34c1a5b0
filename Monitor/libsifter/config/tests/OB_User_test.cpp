// Console users: password, source-address and visibility checks, the text and wire records,
// their limits, and copies.
#include "config/OB_User.h"

#include <gtest/gtest.h>

#include <cstring>

#include "SifterTestSupport.h"

using namespace sifter_test;

namespace {

void fill(OB_User* user, const char* login) {
  strcpy(user->login, login);
  strcpy(user->password, "Secret");
  user->allowConsoleAccess = 1;
  user->applyNetAddress = 1;
  user->numOfNets = 1;
  user->exampleAddress[0] = ip(10, 1, 0, 0);
  user->maskAddress[0] = ip(255, 255, 0, 0);
  user->generateHTMLReports = 1;
  strcpy(user->userDirectory, "/reports/ann");
  user->generateThisWeek = 1;
  strcpy(user->reportName, "mine");
  user->numOfnetGroups = 2;
  user->netGroupsShowing[1] = 1;
  user->numOfHTTPServers = 1;
  user->httpServersShowing[0] = 1;
}

const char* kAnnText =
    "# User\nlogin{ann}\npassword{Secret}\nallowConsoleAccess{1}\napplyNetAddress{1}\n"
    "numOfNets{1}\nexampleAddress{10.1.0.0}\nmaskAddress{255.255.0.0}\n"
    "generateHTMLReports{1}\nuserDirectory{/reports/ann}\ngenerateToday{0}\n"
    "generateThisWeek{1}\ngenerateThisMonth{0}\nreportName{mine}\n"
    "numOfnetGroups{2}\nnetGroupsShowing{0 1}\nnumOfHTTPServers{1}\nhttpServersShowing{1}\n"
    "numOfFTPServers{0}\nftpServersShowing{}\n\n";

TEST(OBUser, FileRecordIsExactAndReadsBackWithItsNetworks) {
  OB_User ann;
  fill(&ann, "ann");
  EXPECT_EQ(writeText(&ann), kAnnText);

  OB_User back;
  std::string rest;
  ASSERT_EQ(readText(&back, std::string(kAnnText) + "# User\n", &rest), 0);
  EXPECT_EQ(rest, "# User\n");
  EXPECT_EQ(writeText(&back), kAnnText);
  EXPECT_EQ(back.network[0], ip(10, 1, 0, 0));
  EXPECT_EQ(back.isValidSourceIP(ip(10, 1, 2, 3)), 1);
  EXPECT_EQ(back.isValidSourceIP(ip(10, 2, 0, 1)), 0);

  OB_User root;
  fill(&root, "root");
  EXPECT_EQ(writeText(&root).substr(0, 24), "# Root user\nlogin{root}\n");
}

TEST(OBUser, ChecksPasswordsSourcesAndVisibility) {
  OB_User user;
  fill(&user, "ann");
  std::string text = writeText(&user);
  ASSERT_EQ(readText(&user, text), 0);
  EXPECT_EQ(user.isValidPassword("ann", "Secret"), 1);
  EXPECT_EQ(user.isValidPassword("ann", "secret"), 0);
  EXPECT_EQ(user.isValidPassword("Ann", "Secret"), 0);
  EXPECT_EQ(user.isValidPassword("ann", nullptr), 0);
  // An empty password never lets anyone in, not even when it is what is stored.
  user.password[0] = '\0';
  EXPECT_EQ(user.isValidPassword("ann", ""), 0);
  EXPECT_EQ(user.isValidPassword("ann", "x"), 0);

  user.applyNetAddress = 0;
  EXPECT_EQ(user.isValidSourceIP(ip(192, 168, 0, 1)), 1);
  user.applyNetAddress = 1;
  user.numOfNets = 0;
  EXPECT_EQ(user.isValidSourceIP(ip(10, 1, 2, 3)), 0);

  EXPECT_EQ(user.isAllowed(OB_User::kRoot, 0), 0);
  EXPECT_EQ(user.isAllowed(OB_User::kNetGroup, 0), 0);
  EXPECT_EQ(user.isAllowed(OB_User::kNetGroup, 1), 1);
  EXPECT_EQ(user.isAllowed(OB_User::kHTTPServer, 0), 1);
  EXPECT_EQ(user.isAllowed(OB_User::kFTPServer, 0), 0);
  EXPECT_EQ(user.isAllowed(4, 0), 0);
  user.netGroupsShowing[5] = 1;  // past the user's count of groups
  EXPECT_EQ(user.isAllowed(OB_User::kNetGroup, 5), 0);
  EXPECT_EQ(user.isAllowed(OB_User::kNetGroup, 60000), 0);
  strcpy(user.login, "root");
  EXPECT_EQ(user.isAllowed(OB_User::kRoot, 77), 1);
  // Root sees every item whatever its flags say, up to each kind's hard limit.
  EXPECT_EQ(user.isAllowed(OB_User::kFTPServer, 0), 1);
  EXPECT_EQ(user.isAllowed(OB_User::kHTTPServer, 255), 1);
  EXPECT_EQ(user.isAllowed(OB_User::kHTTPServer, 256), 0);
  EXPECT_EQ(user.isAllowed(OB_User::kNetGroup, 511), 1);
  EXPECT_EQ(user.isAllowed(OB_User::kNetGroup, 512), 0);
  EXPECT_EQ(user.isAllowed(4, 0), 0);
}

TEST(OBUser, FlagListsOfEveryPlaceSurviveTheFile) {
  // 512 flags make a line far longer than 1024 characters; the last must not be lost.
  OB_User user;
  user.numOfnetGroups = OB_User::kMaxNetGroups;
  for (int i = 0; i < OB_User::kMaxNetGroups; ++i) user.netGroupsShowing[i] = 100 + i;
  OB_User back;
  ASSERT_EQ(readText(&back, writeText(&user)), 0);
  EXPECT_EQ(back.numOfnetGroups, OB_User::kMaxNetGroups);
  EXPECT_EQ(back.netGroupsShowing[511], 611);
  EXPECT_EQ(back.isAllowed(OB_User::kNetGroup, 511), 1);
}

TEST(OBUser, WireRecordIsExactAndTheConsolesFormReadsBack) {
  OB_User ann;
  fill(&ann, "ann");
  ann.generateToday = 256;  // non-zero stays non-zero on the wire
  const std::string flags = u8(1) + u8(1);
  const std::string sent = line("ann") + line("Secret") + flags + u16(1) + line("10.1.0.0") +
                           line("255.255.0.0") + u8(1) + u8(1) + u8(1) + u8(0) + line("mine") +
                           u16(2) + u8(0) + u8(1) + u16(1) + u8(1) + u16(0);
  {
    SocketPair pair;
    ASSERT_EQ(ann.writeJ(pair.near()), 0);
    EXPECT_EQ(pair.drain(), sent);
  }
  const std::string console = line("bob") + line("pw") + flagIn(1) + flagIn(1) + u16(1) +
                              line("10.1.0.0") + line("255.255.255.255") + flagIn(0) +
                              flagIn(1) + flagIn(0) + flagIn(0) + line("rep") + u16(1) +
                              flagIn(1) + u16(0) + u16(2) + flagIn(0) + flagIn(1);
  SocketPair pair;
  pair.feed(console);
  OB_User bob;
  strcpy(bob.userDirectory, "/old");
  ASSERT_EQ(bob.readJ(pair.near()), 0);
  EXPECT_STREQ(bob.login, "bob");
  EXPECT_STREQ(bob.userDirectory, "");
  EXPECT_EQ(bob.maskAddress[0], 0xFFFFFFFFu);
  EXPECT_EQ(bob.generateToday, 1);
  EXPECT_EQ(bob.isAllowed(OB_User::kNetGroup, 0), 1);
  EXPECT_EQ(bob.isAllowed(OB_User::kFTPServer, 1), 1);
  // Networks are derived at once, so the received user checks sources correctly.
  EXPECT_EQ(bob.isValidSourceIP(ip(10, 1, 0, 0)), 1);
  EXPECT_EQ(bob.isValidSourceIP(ip(10, 1, 0, 1)), 0);
}

class OBUserLog : public QuitTest {};

TEST_F(OBUserLog, WireRefusesCountsAboveTheirPlacesAndMalformedAddresses) {
  const std::string head = line("u") + line("p") + flagIn(1) + flagIn(1);
  const std::string afterNets = flagIn(0) + flagIn(0) + flagIn(0) + flagIn(0) + line("r");
  const std::string many(1200, '\n');  // enough bytes for any count the reader would take
  struct Case {
    std::string bytes;
    const char* logged;
  } cases[] = {
      {head + u16(6) + many, "too many networks: 6"},
      {head + u16(1) + line("255.255.255.255") + line("255.0.0.0"),
       "Malformed IP Address(1): 255.255.255.255"},
      {head + u16(1) + line("10.0.0.1") + line("ten"), "Malformed IP Address(2): ten"},
      {head + u16(0) + afterNets + u16(513) + many, "too many net groups: 513"},
      {head + u16(0) + afterNets + u16(0) + u16(257) + many, "too many http servers: 257"},
      {head + u16(0) + afterNets + u16(0) + u16(0) + u16(257) + many, "too many ftp servers: 257"},
      {head + u16(0) + afterNets + u16(0) + u16(0) + u16(1), ""},  // the stream ends inside
  };
  for (const Case& c : cases) {
    startLog();
    SocketPair pair;
    pair.feed(c.bytes);
    OB_User user;
    EXPECT_EQ(user.readJ(pair.near()), -1) << c.logged;
    EXPECT_NE(logText().find(c.logged), std::string::npos) << "log: " << logText();
  }
}

class OBUserFile : public QuitTest {};

TEST_F(OBUserFile, CountsAboveTheirLimitsAndBadAddressesEndTheProcess) {
  auto withLine = [](const std::string& from, const std::string& to) {
    std::string text = kAnnText;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {withLine("numOfNets{1}", "numOfNets{6}"), "ssUser_readUser: too many networks"},
      {withLine("{10.1.0.0}", "{255.255.255.255}"), "ssUser_readUser: Malformed IP Address: 255"},
      {withLine("{255.255.0.0}", "{mask}"), "OB_User::read(): Malformed IP Address: mask"},
      {withLine("numOfnetGroups{2}", "numOfnetGroups{513}"), "OB_User::read(): too many net groups"},
      {withLine("numOfHTTPServers{1}", "numOfHTTPServers{257}"), "too many http servers"},
      {withLine("numOfFTPServers{0}", "numOfFTPServers{-1}"), "too many ftp servers"},
  };
  for (const Case& c : cases) {
    expectQuit(
        [&] {
          OB_User user;
          readText(&user, c.text);
        },
        c.message);
  }
}

TEST(OBUser, CopyTakesEveryFieldAndFreshReportsAndRefusesOtherClasses) {
  OB_User ann;
  fill(&ann, "ann");
  ann.network[0] = ip(10, 1, 0, 0);
  OB_ConfigReport* report = OB_ConfigReport::create();
  report->Title = "hits";
  ann.reports.append(report);
  OB_User target;
  ASSERT_EQ(ann.copy(&target), 0);
  ASSERT_EQ(ann.copy(&target), 0);
  EXPECT_EQ(writeText(&target), kAnnText);
  EXPECT_EQ(target.isValidSourceIP(ip(10, 1, 9, 9)), 1);
  ASSERT_EQ(target.reports.getCount(), 1);
  EXPECT_NE(target.reports.first(), report);
  EXPECT_STREQ(target.reports.first()->Title, "hits");
  OB_ConfigReport other;
  EXPECT_EQ(ann.copy(&other), -1);
}

}  // namespace
