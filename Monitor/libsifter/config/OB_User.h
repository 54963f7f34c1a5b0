// An account of the analysis console: login and password, whether and from which networks it
// may connect, the reports generated for it, and which network groups, HTTP servers and FTP
// servers (by their position in the configuration) it may see. The login "root" is the
// administrator. The analysis command server checks every request against these.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "OB_List.h"
#include "OB_Object.h"
#include "config/OB_ConfigReport.h"

class OB_User : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_User, 0x2BE2BF87, "OB_User", OB_Object)
  OB_CLASS_CREATE(OB_User)

 public:
  static constexpr int kMaxNets = 5;
  static constexpr int kMaxNetGroups = 512;
  static constexpr int kMaxServers = 256;

  // What isAllowed is asked about.
  enum Kind : uint16_t { kRoot = 0, kNetGroup = 1, kHTTPServer = 2, kFTPServer = 3 };

  // Every field cleared, an empty owning report list.
  OB_User();
  OB_User(const OB_User&) = delete;
  OB_User& operator=(const OB_User&) = delete;
  ~OB_User() override = default;

  // 1 when user is the login and password the password, both exactly, in time that does not
  // tell where they differ; else 0 (also for null, and always for an empty password).
  virtual int isValidPassword(const char* user, const char* password);
  // address in host order. 1 when the net check is off, or when (address AND mask) is the
  // network of one of the user's nets; else 0 (also with the check on and no nets).
  virtual int isValidSourceIP(uint32_t address);
  // kRoot: 1 for the root user. The other kinds: 0 for an index beyond the kind's hard limit
  // (512 groups, 256 servers) and for an unknown kind; else 1 for root, which sees every item,
  // and for any other user its visibility flag at index (0 beyond its count of that kind).
  virtual int isAllowed(uint16_t kind, uint16_t index);
  // The administrator's login, "root".
  bool isRoot() const { return strcmp(login, "root") == 0; }

  // Makes target (a user) a copy of this one, network values and a fresh copy of each report
  // definition included; target's own definitions go. -1 when target is no user.
  int copy(OB_Object* target) override;
  // The text record; -1 on a write error.
  int write(FILE* stream) override;
  // The text record. A malformed record ends the process with the record's message; the
  // network values are derived. 0.
  int read(FILE* stream) override;
  // The wire record; -1 at the first failed or short write.
  int writeJ(int socket) override;
  // The wire record: userDirectory is emptied (it does not travel) and the network values are
  // derived. -1 at the first failed read, a malformed address or a count above its limit
  // (logged); the user then holds what was read so far.
  int readJ(int socket) override;
  // Why the user would not read back from the configuration file as it is (a login, password or
  // report name holding a brace or a line end); null when it would. SET_CONFIG refuses what has
  // a reason.
  const char* storageProblem() const;

  char login[512] = {};
  char password[512] = {};  // plain text
  int32_t allowConsoleAccess = 0;
  int32_t applyNetAddress = 0;
  uint16_t numOfNets = 0;
  uint32_t exampleAddress[kMaxNets] = {};  // host order
  uint32_t maskAddress[kMaxNets] = {};     // host order
  uint32_t network[kMaxNets] = {};         // example AND mask
  int32_t generateHTMLReports = 0;
  char userDirectory[1024] = {};
  int32_t generateToday = 0;
  int32_t generateThisWeek = 0;
  int32_t generateThisMonth = 0;
  char reportName[512] = {};
  uint16_t numOfnetGroups = 0;
  int32_t netGroupsShowing[kMaxNetGroups] = {};
  uint16_t numOfHTTPServers = 0;
  int32_t httpServersShowing[kMaxServers] = {};
  uint16_t numOfFTPServers = 0;
  int32_t ftpServersShowing[kMaxServers] = {};
  OB_List<OB_ConfigReport> reports;  // owning; not in the text or wire record

 private:
  void deriveNetworks();
};
