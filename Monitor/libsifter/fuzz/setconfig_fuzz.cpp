// Fuzzes the analysis console's SET_CONFIG readers: a whole configuration (time windows,
// network groups, transaction subsets, HTTP and FTP servers, users) read from a socketpair whose
// peer sent the input and hung up. What is accepted must keep every limit the engine relies on,
// and must come back from the configuration file the command writes, every text as it was sent:
// the next rebuild reads that file.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ConfigText.h"
#include "FuzzSupport.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_AEngineConfigAdmin.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "config/OB_User.h"

namespace {

constexpr size_t kMaxWire = 32768;  // under the socket buffer, so the peer never blocks

void check(bool condition) {
  if (!condition) abort();
}

int noLookup(const char*, uint32_t*) { return -1; }
int noReverseName(uint32_t, char*, size_t) { return -1; }

bool prepared = false;

// The install tree of quietLog gets the folders and the installation file a read needs.
void prepare() {
  corrana_fuzz::quietLog("setconfig_fuzz");
  const std::string install = OB_Tools::getInstallDir();
  mkdir((install + "/admin").c_str(), 0755);
  mkdir((install + "/db").c_str(), 0755);
  std::ofstream(install + "/admin/aengineInstall.cfg") << "port 8190\n";
  OB_AEngineConfig::setHostLookup(noLookup);
  OB_Tools::setReverseLookup(noReverseName);
  prepared = true;
}

void checkLimits(OB_AEngineConfig* config) {
  check(config->numOfTimeWindows >= 1 &&
        config->numOfTimeWindows <= OB_AEngineConfig::kMaxTimeWindows);
  for (int i = 0; i < config->numOfTimeWindows; ++i)
    check(timeWindow_problem(config->timeWindows[i]) == nullptr);
  check(config->numOfNetworkGroups <= OB_AEngineConfig::kMaxNetworkGroups);
  for (int i = 0; i < config->numOfNetworkGroups; ++i)
    check(config->networkGroups[i]->numOfNets <= networkGroup_t::kMaxNets);
  check(config->numOfXSubSets <= OB_AEngineConfig::kMaxXSubsets);
  for (int i = 0; i < config->numOfXSubSets; ++i)
    check(config->xSubSets[i]->numOfNets <= XSubset_t::kMaxNets);
  check(config->numOfHTTPServers <= OB_AEngineConfig::kMaxServers);
  for (int i = 0; i < config->numOfHTTPServers; ++i)
    check(config->httpServers[i]->getServerType() <= 1);
  check(config->numOfFTPServers <= OB_AEngineConfig::kMaxServers);
  for (int i = 0; i < config->numOfFTPServers; ++i)
    check(config->ftpServers[i]->getServerType() <= 1);
  check(config->numOfUsers <= OB_AEngineConfig::kMaxUsers);
  // Someone can change it again: a root user who may use the console with a password.
  bool root = false;
  for (int i = 0; i < config->numOfUsers; ++i)
    root = root || (config->users[i]->isRoot() && config->users[i]->allowConsoleAccess != 0 &&
                    config->users[i]->password[0] != '\0');
  check(root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!prepared) prepare();
  if (size > kMaxWire) return 0;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) abort();
  if (size > 0 && write(ends[1], data, size) != static_cast<ssize_t>(size)) abort();
  shutdown(ends[1], SHUT_WR);

  OB_AEngineConfigAdmin received;
  const int result = received.readJ(ends[0]);
  close(ends[0]);
  close(ends[1]);
  if (result != 0) return 0;
  checkLimits(&received);

  // What was accepted is what the next rebuild reads back, whole.
  if (received.writeConfigFile() != 0) return 0;
  corrana_fuzz::checkReadsBack(&received);
  return 0;
}
