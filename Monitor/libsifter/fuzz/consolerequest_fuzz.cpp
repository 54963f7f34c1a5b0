// Fuzzes the analysis console's request road: a request read from a socketpair whose peer sent
// the input and hung up, checked against the users of a small configuration, and answered by
// the configuration commands or by the statistics handlers of a window that has counted a few
// connections. The input is what follows the HTTP header: command code, user, password, client
// version, key, window, subset and item, then the command's own fields. Whatever arrives, the
// reply is one whole reply head (or nothing, when the request could not be read), and a
// configuration that SET_CONFIG acknowledges reads back from its file as it was sent.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
#include "console/OB_AEngineMgr.h"
#include "console/OB_AEngineTCPConnection.h"
#include "console/OB_AEngineTCPServer.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "server/OB_TCPServer.h"
#include "windows/OB_HTTPReader.h"

namespace {

constexpr size_t kMaxWire = 32768;  // under the socket buffer, so the peer never blocks

void check(bool condition) {
  if (!condition) abort();
}

int noLookup(const char*, uint32_t*) { return -1; }
int noReverseName(uint32_t, char*, size_t) { return -1; }

// Opens the request handling of a connection that was never accepted.
class Connection : public OB_AEngineTCPConnection {
 public:
  using OB_AEngineTCPConnection::handleCommand;
};

template <class T>
T** places(int n) {
  return new T*[static_cast<size_t>(n)]();
}

OB_User* user(const char* login, const char* password) {
  OB_User* u = OB_User::create();
  strcpy(u->login, login);
  strcpy(u->password, password);
  u->allowConsoleAccess = 1;
  return u;
}

// A static window of three bins, two HTTP servers, an FTP server, two groups, a subset; users
// "root"/"secret" and "viewer"/"pw" (sees HTTP server 1 and group 0).
void writeConfiguration(const std::string& admin) {
  OB_AEngineConfig config;
  config.numOfTimeWindows = 1;
  config.timeWindows = places<timeWindow_t>(1);
  config.timeWindows[0] = new timeWindow_t{};
  strcpy(config.timeWindows[0]->name, "fuzz");
  config.timeWindows[0]->windowType = 1;
  config.timeWindows[0]->staticAgoTime = 1000;
  config.timeWindows[0]->staticNowTime = 1300;
  config.timeWindows[0]->staticNumOfBins = 3;
  config.numOfNetworkGroups = 2;
  config.networkGroups = places<networkGroup_t>(2);
  for (int i = 0; i < 2; ++i) {
    config.networkGroups[i] = new networkGroup_t{};
    config.networkGroups[i]->numOfNets = 1;
    config.networkGroups[i]->exampleAddress[0] = 0x0A000000u + (static_cast<uint32_t>(i) << 16);
    config.networkGroups[i]->maskAddress[0] = 0xFFFF0000u;
    config.networkGroups[i]->network[0] = config.networkGroups[i]->exampleAddress[0];
  }
  config.numOfXSubSets = 1;
  config.xSubSets = places<XSubset_t>(1);
  config.xSubSets[0] = new XSubset_t{};
  config.xSubSets[0]->acceptMatching = 1;
  config.numOfHTTPServers = 2;
  config.httpServers = places<OB_HTTPServer>(2);
  for (int i = 0; i < 2; ++i) {
    config.httpServers[i] = OB_HTTPServer::create();
    config.httpServers[i]->setIPAddress(0x0A000050u + static_cast<uint32_t>(i));
  }
  config.numOfFTPServers = 1;
  config.ftpServers = places<OB_FTPServer>(1);
  config.ftpServers[0] = OB_FTPServer::create();
  config.ftpServers[0]->setIPAddress(0x0A000015u);
  config.numOfUsers = 2;
  config.users = places<OB_User>(2);
  config.users[0] = user("root", "secret");
  config.users[1] = user("viewer", "pw");
  config.users[1]->numOfHTTPServers = 2;
  config.users[1]->httpServersShowing[1] = 1;
  config.users[1]->numOfnetGroups = 1;
  config.users[1]->netGroupsShowing[0] = 1;
  if (config.writeConfigFile() != 0) abort();
  std::filesystem::copy_file(admin + "/aengine_prvt.cfg", admin + "/aengine_prvtDef.cfg");
}

// A few connections of each server, so that the handlers have something to send.
void count(OB_HTTPReader* reader) {
  const char* methods[] = {"GET", "POST", "HEAD"};
  const char* statuses[] = {"200", "404", "304"};
  for (uint32_t i = 0; i < 6; ++i) {
    OB_HTTPProtocol* connection = new OB_HTTPProtocol(1, 4);
    connection->connTime = 1000 + i * 50;
    connection->clientIP = 0x0A000100u + i;
    connection->serverIP = 0x0A000050u + (i & 1);
    connection->serverPort = 80;
    OB_HTTPXact* xact = obQuery<OB_HTTPXact>(connection->addXLink());
    xact->req_method = methods[i % 3];
    xact->req_request_uri = i % 2 == 0 ? "/index.html" : "/a/b?c=d";
    xact->req_host = "www.example.org";
    xact->req_referer = i % 3 == 0 ? "http://other.example.org/x" : "";
    xact->req_user_agent = "fuzz/1.0";
    xact->res_status_code = statuses[i % 3];
    xact->res_content_type = "text/html";
    ++connection->commRespCount;
    reader->processObject(connection);
    connection->release();
  }
}

OB_AEngineMgr* engine = nullptr;

void prepare() {
  corrana_fuzz::quietLog("consolerequest_fuzz");
  const std::string install = OB_Tools::getInstallDir();
  const std::string admin = install + "/admin";
  mkdir(admin.c_str(), 0755);
  mkdir((install + "/db").c_str(), 0755);
  std::ofstream(admin + "/aengineInstall.cfg") << "port 8190\n";
  std::ofstream(admin + "/aengineKey") << "0\n";
  std::ofstream(admin + "/cengineInstall.cfg") << "port 8189\ndevice 0\n";
  OB_AEngineConfig::setHostLookup(noLookup);
  OB_Tools::setReverseLookup(noReverseName);
  writeConfiguration(admin);
  static char name[] = "consolerequest_fuzz";
  static char* argv[] = {name, nullptr};
  // Not started: every request runs here, and the windows' readers count what they are given.
  engine = new OB_AEngineMgr(1, argv, nullptr, nullptr, nullptr);
  if (engine->init() != 0) abort();
  count(engine->getServer(0)->getHTTPAnalysisStats());
}

// The configuration of an acknowledged SET_CONFIG request, decoded once more from its bytes,
// against what the configuration file now gives back.
void checkStored(const uint8_t* data, size_t size) {
  // The request fields: code (4 bytes), user and password lines, version and key (8 bytes
  // each), window, subset and item (4 bytes each); the configuration follows.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  size_t at = bytes.find('\n', 4);
  if (at != std::string::npos) at = bytes.find('\n', at + 1);
  check(at != std::string::npos && at + 1 + 28 <= bytes.size());
  const std::string payload = bytes.substr(at + 1 + 28);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) abort();
  if (!payload.empty() &&
      write(ends[1], payload.data(), payload.size()) != static_cast<ssize_t>(payload.size()))
    abort();
  shutdown(ends[1], SHUT_WR);
  OB_AEngineConfigAdmin sent;
  check(sent.readJ(ends[0]) == 0);
  close(ends[0]);
  close(ends[1]);
  corrana_fuzz::checkReadsBack(&sent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (engine == nullptr) prepare();
  if (size > kMaxWire) return 0;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) abort();
  if (size > 0 && write(ends[1], data, size) != static_cast<ssize_t>(size)) abort();
  shutdown(ends[1], SHUT_WR);
  // A reply that would not fit the peer's buffer fails its write instead of waiting.
  struct timeval limit = {0, 100000};
  setsockopt(ends[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  Connection connection;
  connection.setManager(engine);
  connection.setConfigKey(engine->getMainServer()->getConfigKey());
  connection.handleCommand(ends[0], 0x7F000001);
  shutdown(ends[0], SHUT_WR);

  std::string reply;
  char chunk[4096];
  ssize_t got;
  while ((got = read(ends[1], chunk, sizeof chunk)) > 0)
    reply.append(chunk, static_cast<size_t>(got));
  close(ends[0]);
  close(ends[1]);
  const std::string head =
      "HTTP/1.1 200 OK\r\nServer: Ambervolte Monitor\r\n"
      "Content-Type: application/octet-stream\r\n\r\n";
  check(reply.empty() || reply.compare(0, head.size(), head) == 0);
  // A refusal is the head, status 0 and one text, nothing more.
  if (reply.size() > head.size() + 1 && reply[head.size() + 1] == 0)
    check(reply.find('\n', head.size() + 2) == reply.size() - 1 ||
          reply.compare(head.size() + 2, std::string::npos, "Unknown Error") == 0);
  // An acknowledged SET_CONFIG (status 1, "OK\n", then the Boolean 1, both two bytes wide) is
  // what the next rebuild reads back from the file, every text as it was sent.
  const std::string acknowledged = head + std::string("\0\x01OK\n\0\x01", 7);
  if (reply == acknowledged) checkStored(data, size);
  return 0;
}
