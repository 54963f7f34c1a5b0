// The configuration commands of the analysis connection: GET_CONFIG's six list sections and
// SET_CONFIG with the capture engine's "range" entries.
#include <cstring>
#include <string>
#include <vector>

#include "OB_ConfigAdmin.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_AEngineConfigAdmin.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "config/OB_User.h"
#include "console/OB_AEngineTCPConnection.h"

namespace {

// Failure of a list section: its own line, then -1.
int sectionFailed(const char* writer) {
  OB_Log::ret("%s: IO problem.", writer);
  return -1;
}

int sendChars(int s, const char* text) {
  const int length = static_cast<int>(strlen(text));
  return writeJ_n_chars(s, text, length) == length ? 0 : -1;
}

// The items of a list the user may see, each after its index: their count first (the number of
// items that follow), then index and record.
template <class Record, class Write>
int writeShown(int s, Record** records, int count, OB_User* user, uint16_t kind, Write write) {
  std::vector<int> shown;
  for (int i = 0; i < count; ++i)
    if (user->isAllowed(kind, static_cast<uint16_t>(i)) != 0) shown.push_back(i);
  if (writeJ_UInt16(s, static_cast<uint16_t>(shown.size())) != 0) return -1;
  for (int i : shown)
    if (writeJ_SInt32(s, i) != 0 || write(s, records[i]) != 0) return -1;
  return 0;
}

// Each server's addresses as "range" values: its one address, or each it lists.
void addRanges(OB_Server* server, std::vector<std::string>* ranges) {
  char quad[16];
  auto add = [&](uint32_t address) {
    OB_Tools::IPAddressString(address, quad);
    ranges->push_back(std::string(quad) + " " + quad);
  };
  if (server->getServerType() == 0) {
    add(server->getIPAddress());
    return;
  }
  for (int i = 0; i < server->getAddressCount(); ++i) add(server->getAddress(i));
}

}  // namespace

int OB_AEngineTCPConnection::hcommand_GET_CONFIG(int s, OB_User* user, int command) {
  OB_AEngineConfig* config = command == kGetConfig ? current_.get() : defaults_.get();
  auto failed = [] {
    OB_Log::ret("hcommand_GET_CONFIG: Problem sending config info.");
    return -1;
  };
  if (config == nullptr || user == nullptr) return failed();
  if (command == kGetConfig && writeJ_UInt32(s, configKey) != 0) return failed();
  for (int32_t limit : {OB_AEngineConfig::kMaxTimeWindows, OB_AEngineConfig::kMaxNetworkGroups,
                        OB_AEngineConfig::kMaxXSubsets, OB_AEngineConfig::kMaxServers,
                        OB_AEngineConfig::kMaxServers, 1})
    if (writeJ_SInt32(s, limit) != 0) return failed();
  if (sendChars(s, user->login) != 0 || sendChars(s, "\n") != 0 ||
      sendChars(s, user->password) != 0 || sendChars(s, "\n") != 0 ||
      writeJ_UInt32(s, config->configVersion) != 0 ||
      writeJ_UInt32(s, config->portRangeStart) != 0)
    return failed();
  if (writeTimeWindows(s, config) != 0 || writeNetGroups(s, config, user) != 0 ||
      writeXSubsets(s, config) != 0 || writeHTTPServers(s, config, user) != 0 ||
      writeFTPServers(s, config, user) != 0 || writeUsers(s, config, user) != 0)
    return failed();
  return 0;
}

int OB_AEngineTCPConnection::writeTimeWindows(int s, OB_AEngineConfig* config) {
  if (writeJ_UInt16(s, config->numOfTimeWindows) != 0) return sectionFailed("writeTimeWindows");
  for (int i = 0; i < config->numOfTimeWindows; ++i)
    if (timeWindow_writeJ(s, config->timeWindows[i]) != 0)
      return sectionFailed("writeTimeWindows");
  return 0;
}

int OB_AEngineTCPConnection::writeNetGroups(int s, OB_AEngineConfig* config, OB_User* user) {
  if (writeShown(s, config->networkGroups, config->numOfNetworkGroups, user, OB_User::kNetGroup,
                 networkGroup_writeJ) != 0)
    return sectionFailed("writeNetGroups");
  return 0;
}

int OB_AEngineTCPConnection::writeXSubsets(int s, OB_AEngineConfig* config) {
  if (writeJ_UInt16(s, config->numOfXSubSets) != 0) return sectionFailed("writeXSubsets");
  for (int i = 0; i < config->numOfXSubSets; ++i)
    if (XSubset_writeJ(s, config->xSubSets[i]) != 0) return sectionFailed("writeXSubsets");
  return 0;
}

int OB_AEngineTCPConnection::writeHTTPServers(int s, OB_AEngineConfig* config, OB_User* user) {
  if (writeShown(s, config->httpServers, config->numOfHTTPServers, user, OB_User::kHTTPServer,
                 [](int socket, OB_HTTPServer* server) { return server->writeJ(socket); }) != 0)
    return sectionFailed("writeHTTPServers");
  return 0;
}

int OB_AEngineTCPConnection::writeFTPServers(int s, OB_AEngineConfig* config, OB_User* user) {
  if (writeShown(s, config->ftpServers, config->numOfFTPServers, user, OB_User::kFTPServer,
                 [](int socket, OB_FTPServer* server) { return server->writeJ(socket); }) != 0)
    return sectionFailed("writeFTPServers");
  return 0;
}

int OB_AEngineTCPConnection::writeUsers(int s, OB_AEngineConfig* config, OB_User* user) {
  // Only root sees the accounts (with their passwords).
  const uint16_t count = user->isRoot() ? config->numOfUsers : 0;
  if (writeJ_UInt16(s, count) != 0) return sectionFailed("writeUsers");
  for (int i = 0; i < count; ++i)
    if (config->users[i]->writeJ(s) != 0) return sectionFailed("writeUsers");
  return 0;
}

int OB_AEngineTCPConnection::hcommand_SET_CONFIG(int s) {
  // Read and checked whole before anything is written: a cut or invalid configuration changes
  // no file.
  OB_AEngineConfigAdmin incoming;
  if (incoming.readJ(s) != 0 || incoming.writeConfigFile() != 0) {
    OB_Log::ret("hcommand_SET_CONFIG: Problem setting config info.");
    return -1;
  }
  // The configuration file is committed: from here a failure is only logged, and the engines
  // still take the new configuration up.
  if (writeJ_Boolean(s, 1) != 0)
    OB_Log::ret("hcommand_SET_CONFIG: the acknowledgement did not reach the console");
  rewriteCaptureRanges(&incoming);
  return 0;
}

void OB_AEngineTCPConnection::rewriteCaptureRanges(OB_AEngineConfig* config) {
  // The capture engine keeps the sessions of these addresses: every watched server's, a server
  // of several addresses with one entry each.
  std::vector<std::string> ranges;
  for (int i = 0; i < config->numOfHTTPServers; ++i) addRanges(config->httpServers[i], &ranges);
  for (int i = 0; i < config->numOfFTPServers; ++i) addRanges(config->ftpServers[i], &ranges);
  const std::string path = std::string(OB_Tools::getInstallDir()) + "/admin/cengineInstall.cfg";
  // A file that cannot be read is left alone.
  if (OB_ConfigAdmin::replaceInstallEntries(path, "range", ranges) < 0)
    OB_Log::ret("Could not write cengineInstall.cfg");
}
