#include "config/OB_FTPServer.h"

#include <algorithm>
#include <string>

#include "OB_Config.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_ConfigRecordIO.h"
#include "stats/AnalysisHash.h"

namespace {

using IO = OB_ConfigRecordIO;
constexpr const char* kBlanks = " \t\n";

uint32_t readServerAddress(const char* token) {
  uint32_t address = 0;
  if (!OB_Config::parseAddress(token, false, &address))
    IO::refuse("ftpServer_readServer: Malformed IP Address: %s", token != nullptr ? token : "");
  return address;
}

int receiveAddress(int socket, uint32_t* address, const char* message) {
  char line[IO::kWireLine];
  if (IO::receiveLine(socket, line, sizeof line, "an FTP server's address") < 0) return -1;
  if (!OB_Config::parseAddress(line, false, address)) {
    OB_Log::ret(message, line);
    return -1;
  }
  return 0;
}

}  // namespace

OB_FTPServer::OB_FTPServer() { setPort(kDefaultPort); }

int OB_FTPServer::init() {
  uint16_t keep = port;  // OB_Server::init clears the port; a definition keeps its own
  OB_Server::init();
  setPort(keep);
  return 0;
}

int OB_FTPServer::isMatch(const uint32_t* address) {
  switch (serverType) {
    case 0:
    case 1:
      break;
    default:
      OB_Log::quit("ftpServer_isMatch: invalid type\n");
  }
  if (address == nullptr) return 0;
  return isInRange(*address) != 0 ? 1 : 0;
}

int OB_FTPServer::write(FILE* f) {
  char quad[16];
  fprintf(f, "# FTP Server\n");
  fprintf(f, "serverType{%d}\n", serverType);
  if (serverType == 0)
    fprintf(f, "sIPAddress{%s}\n", OB_Tools::IPAddressString(ipAddress, quad));
  else
    fprintf(f, "sIPAddress{}\n");
  if (serverType == 1) {
    int count = std::min<int>(numAddresses, kMaxAddresses);
    fprintf(f, "mName{%s}\n", name);
    fprintf(f, "mNumOfIPAddresses{%d}\n", count);
    fprintf(f, "mIPAddresses{%s}\n", IO::quadList(addresses, count).c_str());
  } else {
    fprintf(f, "mName{}\nmNumOfIPAddresses{}\nmIPAddresses{}\n");
  }
  fprintf(f, "\n");
  return ferror(f) != 0 ? -1 : 0;
}

int OB_FTPServer::read(FILE* f) {
  IO::skipLines(f, 1);
  int type = IO::toInt(IO::readValue(f));
  if (type != 0 && type != 1) {
    IO::refuse("ftpServer_readServer: invalid server type");
    type = 0;
  }
  serverType = static_cast<uint8_t>(type);
  if (type == 0) {
    std::string value = IO::readValue(f);
    char* save = nullptr;
    ipAddress = readServerAddress(OB_Tools::strtok(value.data(), kBlanks, &save));
    // Named from the domain cache, never by a look-up here: the read runs under cfg.lock on
    // the manager's thread, and a resolver that does not answer would hold both up.
    const char* known = AnalysisHash_cachedDomainName(ipAddress);
    char quad[16];
    setName(known != nullptr ? known : OB_Tools::IPAddressString(ipAddress, quad));
  } else {
    IO::skipLines(f, 1);
  }
  if (type == 1) {
    setName(IO::readValue(f).c_str());
    int count = IO::toInt(IO::readValue(f));
    if (count < 0 || count > kMaxAddresses) {
      IO::refuse("ftpServer_readServer: too many server addresses");
      count = 0;
    }
    numAddresses = static_cast<uint16_t>(count);
    std::string value = IO::readValue(f);
    char* save = nullptr;
    char* token = OB_Tools::strtok(value.data(), kBlanks, &save);
    for (int i = 0; i < count; ++i) {
      addresses[i] = readServerAddress(token);
      token = OB_Tools::strtok(nullptr, kBlanks, &save);
    }
  } else {
    IO::skipLines(f, 3);
  }
  IO::skipLines(f, 1);
  publish();
  return 0;
}

int OB_FTPServer::writeJ(int socket) {
  char quad[16];
  if (writeJ_UInt8(socket, serverType) != 0) return -1;
  if (IO::sendLine(socket, OB_Tools::IPAddressString(serverType == 0 ? ipAddress : 0, quad)) != 0)
    return -1;
  if (IO::sendLine(socket, serverType == 1 ? name : "") != 0) return -1;
  int count = serverType == 1 ? std::min<int>(numAddresses, kMaxAddresses) : 0;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(count)) != 0) return -1;
  for (int i = 0; i < count; ++i)
    if (IO::sendLine(socket, OB_Tools::IPAddressString(addresses[i], quad)) != 0) return -1;
  return IO::sendLine(socket, name);
}

const char* OB_FTPServer::storageProblem() {
  return IO::keepsWhole(name, IO::Kept::kInBraces)
             ? nullptr
             : "an FTP server name holds a brace or a line end";
}

int OB_FTPServer::readJ(int socket) {
  // Every path republishes, so the capture filter sees whatever the definition holds.
  struct Republish {
    OB_Server* server;
    ~Republish() { server->publish(); }
  } republish{this};

  uint8_t type = 0;
  if (readJ_UInt8(socket, &type) != 0) return -1;
  // Only types 0 and 1 exist; another one would end the process at its first match.
  if (type > 1) {
    OB_Log::ret("hcommand_SET_CONFIG: invalid server type: %u", type);
    return -1;
  }
  serverType = type;
  if (receiveAddress(socket, &ipAddress, "hcommand_SET_CONFIG: Malformed IP Address(7): %s") != 0)
    return -1;
  if (IO::receiveLine(socket, name, sizeof name, "an FTP server's name") < 0) return -1;
  uint16_t count = 0;
  if (readJ_UInt16(socket, &count) != 0) return -1;
  if (count > kMaxAddresses) {
    OB_Log::ret("hcommand_SET_CONFIG: too many server addresses: %u", count);
    return -1;
  }
  numAddresses = 0;
  for (int i = 0; i < count; ++i) {
    if (receiveAddress(socket, &addresses[i], "hcommand_SET_CONFIG: Malformed IP Address(2): %s") !=
        0)
      return -1;
    numAddresses = static_cast<uint16_t>(i + 1);
  }
  return IO::receiveLine(socket, name, sizeof name, "an FTP server's filter name") < 0 ? -1 : 0;
}
