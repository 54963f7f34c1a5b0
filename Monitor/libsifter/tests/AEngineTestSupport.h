// Helpers for the tests that run the analysis engine whole (its manager, command server and
// console, in-process or inside the monitor service): an analysis configuration written to the
// install tree's files, and the console's requests of the analysis engine.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ConsoleClient.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "config/OB_User.h"

namespace aengine_test {

constexpr uint32_t kEveryTime = 0xF0000000u;  // a static window from 1 to here holds any trace

struct Server {
  uint32_t address;  // host order
  uint16_t port;
  std::string name;
  std::vector<uint32_t> addresses;  // non-empty: a server of several addresses
};

// What writeConfig puts into aengine_prvt.cfg (and aengine_prvtDef.cfg): a static window over
// all time, the servers, and the users "root" (password "secret", sees all), "viewer" ("pw",
// sees HTTP server 1 and network group 0 only) and "guest" ("pw", no console access).
struct Spec {
  uint32_t bins = 1;
  std::vector<Server> http;
  std::vector<Server> ftp;
  int groups = 0;  // "group <i>", each the net 10.<i>.0.0/16
  uint32_t userMask = 0;  // not 0: every user may come only from userNet/userMask
  uint32_t userNet = 0;
};

template <class T>
T** places(size_t n) {
  return n == 0 ? nullptr : new T*[n]();
}

inline OB_User* user(const char* login, const char* password, int access) {
  OB_User* u = OB_User::create();
  std::strcpy(u->login, login);
  std::strcpy(u->password, password);
  u->allowConsoleAccess = access;
  return u;
}

template <class S>
void define(S* server, const Server& spec) {
  server->setName(spec.name.c_str());
  server->setPort(spec.port);
  if (spec.addresses.empty()) {
    server->setServerType(0);
    server->setIPAddress(spec.address);
    return;
  }
  server->setServerType(1);
  server->setAddresses(spec.addresses.data(), static_cast<int>(spec.addresses.size()));
}

// Writes the configuration files of the current install directory (OB_INSTALLDIR).
inline void writeConfig(const Spec& spec) {
  OB_AEngineConfig config;
  config.numOfTimeWindows = 1;
  config.timeWindows = places<timeWindow_t>(1);
  config.timeWindows[0] = new timeWindow_t{};
  std::strcpy(config.timeWindows[0]->name, "Everything");
  config.timeWindows[0]->windowType = 1;
  config.timeWindows[0]->staticAgoTime = 1;
  config.timeWindows[0]->staticNowTime = kEveryTime;
  config.timeWindows[0]->staticNumOfBins = spec.bins;
  config.numOfNetworkGroups = static_cast<uint16_t>(spec.groups);
  config.networkGroups = places<networkGroup_t>(static_cast<size_t>(spec.groups));
  for (int i = 0; i < spec.groups; ++i) {
    auto* group = new networkGroup_t{};
    snprintf(group->name, sizeof group->name, "group %d", i);
    group->numOfNets = 1;
    group->exampleAddress[0] = 0x0A000000u | (static_cast<uint32_t>(i) << 16);
    group->maskAddress[0] = 0xFFFF0000u;
    group->network[0] = group->exampleAddress[0];
    config.networkGroups[i] = group;
  }
  config.numOfHTTPServers = static_cast<uint16_t>(spec.http.size());
  config.httpServers = places<OB_HTTPServer>(spec.http.size());
  for (size_t i = 0; i < spec.http.size(); ++i) {
    config.httpServers[i] = OB_HTTPServer::create();
    define(config.httpServers[i], spec.http[i]);
  }
  config.numOfFTPServers = static_cast<uint16_t>(spec.ftp.size());
  config.ftpServers = places<OB_FTPServer>(spec.ftp.size());
  for (size_t i = 0; i < spec.ftp.size(); ++i) {
    config.ftpServers[i] = OB_FTPServer::create();
    define(config.ftpServers[i], spec.ftp[i]);
  }
  config.numOfUsers = 3;
  config.users = places<OB_User>(3);
  config.users[0] = user("root", "secret", 1);
  config.users[1] = user("viewer", "pw", 1);
  config.users[1]->numOfHTTPServers = 2;
  config.users[1]->httpServersShowing[1] = 1;
  config.users[1]->numOfnetGroups = 1;
  config.users[1]->netGroupsShowing[0] = 1;
  config.users[2] = user("guest", "pw", 0);
  for (int i = 0; spec.userMask != 0 && i < 3; ++i) {
    OB_User* u = config.users[i];
    u->applyNetAddress = 1;
    u->numOfNets = 1;
    u->exampleAddress[0] = spec.userNet;
    u->maskAddress[0] = spec.userMask;
    u->network[0] = spec.userNet & spec.userMask;
  }
  if (config.writeConfigFile() != 0) abort();
  const std::string admin = std::string(getenv("OB_INSTALLDIR")) + "/admin/";
  std::filesystem::copy_file(admin + "aengine_prvt.cfg", admin + "aengine_prvtDef.cfg",
                             std::filesystem::copy_options::overwrite_existing);
}

// An analysis request: the framework's fields, then window, subset and item.
struct Request : corrana_test::ConsoleRequest {
  int32_t window = 0;
  int32_t subset = 0;
  int32_t item = 0;
  std::string payload;  // what follows the request, the command's own fields

  std::string frame() const {
    return corrana_test::requestHeader() + binary() + corrana_test::wireS32(window) +
           corrana_test::wireS32(subset) + corrana_test::wireS32(item) + payload;
  }
};

// The console's SET_CONFIG records, as the console sends them.
namespace wire = corrana_test;
inline std::string flag(int v) { return std::string(1, static_cast<char>(v)); }
inline std::string quad(uint32_t address) {
  char text[16];
  return OB_Tools::IPAddressString(address, text);
}
inline std::string windowRecord(const std::string& name, uint16_t type, uint16_t align,
                                uint32_t now, uint32_t ago, uint32_t bins) {
  return wire::wireLine(name) + wire::wireU16(type) + wire::wireU16(align) + wire::wireU16(0) +
         wire::wireU32(now) + wire::wireU32(ago) + wire::wireU32(bins);
}
inline std::string httpRecord(uint32_t address, const std::string& name, uint16_t port,
                              const std::vector<uint32_t>& several = {}) {
  using wire::wireLine;
  using wire::wireU16;
  std::string addresses = wireU16(static_cast<uint16_t>(several.size()));
  for (uint32_t a : several) addresses += wireLine(quad(a));
  return wire::wireU8(several.empty() ? 0 : 1) + wireLine(quad(several.empty() ? address : 0)) +
         wireU16(0) + wireLine(name) + addresses + wireU16(0) + wireLine("") + flag(0) +
         wireU16(0) + flag(0) + flag(0) + wireU16(0) + flag(0) + flag(0) + wireU16(0) + flag(0) +
         flag(0) + wireU16(0) + wireLine(name) + wireU16(port) + wireU16(0);
}
inline std::string ftpRecord(uint32_t address, const std::string& name) {
  return wire::wireU8(0) + wire::wireLine(quad(address)) + wire::wireLine(name) +
         wire::wireU16(0) + wire::wireLine(name);
}
inline std::string userRecord(const std::string& login, const std::string& password,
                              int access = 1) {
  using wire::wireU16;
  return wire::wireLine(login) + wire::wireLine(password) + flag(access) + flag(0) + wireU16(0) +
         flag(0) + flag(0) + flag(0) + flag(0) + wire::wireLine("") + wireU16(0) + wireU16(0) +
         wireU16(0);
}
inline std::string noConsole(const std::string& login, const std::string& password) {
  return userRecord(login, password, 0);
}
// A whole configuration: the windows' records, then the lists as given (counts included).
inline std::string configPayload(const std::vector<std::string>& windows,
                                 const std::string& rest) {
  std::string bytes = wire::wireU32(2) + wire::wireU32(8190) +
                      wire::wireU16(static_cast<uint16_t>(windows.size()));
  for (const std::string& w : windows) bytes += w;
  return bytes + rest;
}
inline std::string emptyLists() {
  const std::string none = wire::wireU16(0);
  return none + none + none + none + none;
}

inline const std::string kServerLine = "Server: Ambervolte Monitor\r\n";

inline std::string success(const std::string& payload) {
  return corrana_test::successReply(payload, kServerLine);
}
inline std::string failure(const std::string& text) {
  return corrana_test::failureReply(text, kServerLine);
}

}  // namespace aengine_test
