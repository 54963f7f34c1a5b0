#include "config/OB_User.h"

#include <cstring>
#include <string>

#include "OB_Config.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_ConfigRecordIO.h"

namespace {

using IO = OB_ConfigRecordIO;

int clampCount(int count, int limit) { return count < 0 ? 0 : (count > limit ? limit : count); }

std::string flagList(const int32_t* flags, int count) {
  std::string list;
  for (int i = 0; i < count; ++i) {
    if (i > 0) list += ' ';
    list += std::to_string(flags[i]);
  }
  return list;
}

// A count line of the file; a count outside 0 .. limit ends the process with message.
uint16_t readCount(FILE* stream, int limit, const char* message) {
  int count = IO::toInt(IO::readValue(stream));
  if (count >= 0 && count <= limit) return static_cast<uint16_t>(count);
  IO::refuse("%s", message);
  return 0;
}

// The first count flags of a flag list value; missing entries are 0, and so is every place
// past count.
void parseFlags(std::string value, int32_t* flags, int places, int count) {
  memset(flags, 0, sizeof(int32_t) * static_cast<size_t>(places));
  char* save = nullptr;
  char* token = count > 0 ? OB_Tools::strtok(value.data(), " \t\n", &save) : nullptr;
  for (int i = 0; i < count && token != nullptr; ++i) {
    flags[i] = atoi(token);
    token = OB_Tools::strtok(nullptr, " \t\n", &save);
  }
}

int sendFlags(int socket, const int32_t* flags, int count) {
  if (writeJ_UInt16(socket, static_cast<uint16_t>(count)) != 0) return -1;
  for (int i = 0; i < count; ++i)
    if (IO::sendFlag(socket, flags[i]) != 0) return -1;
  return 0;
}

// A received flag-list count and its flags; a count above limit is refused.
int receiveFlags(int socket, uint16_t* count, int32_t* flags, int limit, const char* what) {
  uint16_t received = 0;
  if (readJ_UInt16(socket, &received) != 0) return -1;
  if (received > limit) {
    OB_Log::ret("hcommand_SET_CONFIG: too many %s: %u", what, received);
    return -1;
  }
  memset(flags, 0, sizeof(int32_t) * static_cast<size_t>(limit));
  *count = 0;
  for (int i = 0; i < received; ++i) {
    int flag = 0;
    if (readJ_Boolean(socket, &flag) != 0) return -1;
    flags[i] = flag;
    *count = static_cast<uint16_t>(i + 1);
  }
  return 0;
}

}  // namespace

OB_User::OB_User() { reports.setOwner(1); }

int OB_User::isValidPassword(const char* user, const char* pass) {
  if (user == nullptr || pass == nullptr) return 0;
  // Both compared whatever the first gives, neither in time that tells where it differs; an
  // empty password lets nobody in, whatever is stored.
  const int loginEqual = OB_Tools::secretEquals(user, login);
  const int passwordEqual = OB_Tools::secretEquals(pass, password);
  return loginEqual != 0 && passwordEqual != 0 && pass[0] != '\0' ? 1 : 0;
}

int OB_User::isValidSourceIP(uint32_t address) {
  if (applyNetAddress == 0) return 1;
  int nets = clampCount(numOfNets, kMaxNets);
  for (int i = 0; i < nets; ++i)
    if ((address & maskAddress[i]) == network[i]) return 1;
  return 0;
}

int OB_User::isAllowed(uint16_t kind, uint16_t index) {
  switch (kind) {
    case kRoot:
      return isRoot() ? 1 : 0;
    // Root sees every item, whatever its own flags say.
    case kNetGroup:
      return index < kMaxNetGroups &&
             (isRoot() || (index < clampCount(numOfnetGroups, kMaxNetGroups) &&
                           netGroupsShowing[index] != 0));
    case kHTTPServer:
      return index < kMaxServers &&
             (isRoot() || (index < clampCount(numOfHTTPServers, kMaxServers) &&
                           httpServersShowing[index] != 0));
    case kFTPServer:
      return index < kMaxServers &&
             (isRoot() || (index < clampCount(numOfFTPServers, kMaxServers) &&
                           ftpServersShowing[index] != 0));
    default:
      return 0;
  }
}

void OB_User::deriveNetworks() {
  int nets = clampCount(numOfNets, kMaxNets);
  for (int i = 0; i < kMaxNets; ++i)
    network[i] = i < nets ? (exampleAddress[i] & maskAddress[i]) : 0;
}

int OB_User::copy(OB_Object* target) {
  OB_User* other = obQuery<OB_User>(target);
  if (other == nullptr) return -1;
  if (other == this) return 0;
  memcpy(other->login, login, sizeof login);
  memcpy(other->password, password, sizeof password);
  other->allowConsoleAccess = allowConsoleAccess;
  other->applyNetAddress = applyNetAddress;
  other->numOfNets = numOfNets;
  memcpy(other->exampleAddress, exampleAddress, sizeof exampleAddress);
  memcpy(other->maskAddress, maskAddress, sizeof maskAddress);
  memcpy(other->network, network, sizeof network);
  other->generateHTMLReports = generateHTMLReports;
  memcpy(other->userDirectory, userDirectory, sizeof userDirectory);
  other->generateToday = generateToday;
  other->generateThisWeek = generateThisWeek;
  other->generateThisMonth = generateThisMonth;
  memcpy(other->reportName, reportName, sizeof reportName);
  other->numOfnetGroups = numOfnetGroups;
  memcpy(other->netGroupsShowing, netGroupsShowing, sizeof netGroupsShowing);
  other->numOfHTTPServers = numOfHTTPServers;
  memcpy(other->httpServersShowing, httpServersShowing, sizeof httpServersShowing);
  other->numOfFTPServers = numOfFTPServers;
  memcpy(other->ftpServersShowing, ftpServersShowing, sizeof ftpServersShowing);

  // A copy replaces the target's definitions, so copying twice never doubles them.
  other->reports.clear();
  OB_MutexHold hold(&reports);
  for (OB_ConfigReport* report = reports.first(); report != nullptr; report = reports.next()) {
    OB_ConfigReport* fresh = OB_ConfigReport::create();
    if (fresh == nullptr) OB_Log::quit("OB_User::copy: not enough memory\n");
    report->copy(fresh);
    if (other->reports.append(fresh) != 0) {
      fresh->release();
      return -1;
    }
  }
  return 0;
}

int OB_User::write(FILE* f) {
  if (strcmp(login, "root") == 0)
    fprintf(f, "# Root user\nlogin{root}\n");
  else
    fprintf(f, "# User\nlogin{%s}\n", login);
  fprintf(f, "password{%s}\n", password);
  fprintf(f, "allowConsoleAccess{%d}\n", allowConsoleAccess);
  fprintf(f, "applyNetAddress{%d}\n", applyNetAddress);
  int nets = clampCount(numOfNets, kMaxNets);
  fprintf(f, "numOfNets{%d}\n", nets);
  fprintf(f, "exampleAddress{%s}\n", IO::quadList(exampleAddress, nets).c_str());
  fprintf(f, "maskAddress{%s}\n", IO::quadList(maskAddress, nets).c_str());
  fprintf(f, "generateHTMLReports{%d}\n", generateHTMLReports);
  fprintf(f, "userDirectory{%s}\n", userDirectory);
  fprintf(f, "generateToday{%d}\n", generateToday);
  fprintf(f, "generateThisWeek{%d}\n", generateThisWeek);
  fprintf(f, "generateThisMonth{%d}\n", generateThisMonth);
  fprintf(f, "reportName{%s}\n", reportName);
  int groups = clampCount(numOfnetGroups, kMaxNetGroups);
  fprintf(f, "numOfnetGroups{%d}\n", groups);
  fprintf(f, "netGroupsShowing{%s}\n", flagList(netGroupsShowing, groups).c_str());
  int http = clampCount(numOfHTTPServers, kMaxServers);
  fprintf(f, "numOfHTTPServers{%d}\n", http);
  fprintf(f, "httpServersShowing{%s}\n", flagList(httpServersShowing, http).c_str());
  int ftp = clampCount(numOfFTPServers, kMaxServers);
  fprintf(f, "numOfFTPServers{%d}\n", ftp);
  fprintf(f, "ftpServersShowing{%s}\n", flagList(ftpServersShowing, ftp).c_str());
  fprintf(f, "\n");
  return ferror(f) != 0 ? -1 : 0;
}

int OB_User::read(FILE* f) {
  IO::skipLines(f, 1);
  IO::copyCut(login, sizeof login, IO::readValue(f).c_str());
  IO::copyCut(password, sizeof password, IO::readValue(f).c_str());
  allowConsoleAccess = IO::toInt(IO::readValue(f));
  applyNetAddress = IO::toInt(IO::readValue(f));
  numOfNets = readCount(f, kMaxNets, "ssUser_readUser: too many networks");
  std::string examples = IO::readValue(f);
  std::string masks = IO::readValue(f);
  if (numOfNets > 0) {
    char* save = nullptr;
    char* token = OB_Tools::strtok(examples.data(), " \t\n", &save);
    for (int i = 0; i < numOfNets; ++i) {
      if (!OB_Config::parseAddress(token, false, &exampleAddress[i]))
        IO::refuse("ssUser_readUser: Malformed IP Address: %s", token != nullptr ? token : "");
      token = OB_Tools::strtok(nullptr, " \t\n", &save);
    }
    save = nullptr;
    token = OB_Tools::strtok(masks.data(), " \t\n", &save);
    for (int i = 0; i < numOfNets; ++i) {
      if (!OB_Config::parseAddress(token, true, &maskAddress[i]))
        IO::refuse("OB_User::read(): Malformed IP Address: %s", token != nullptr ? token : "");
      token = OB_Tools::strtok(nullptr, " \t\n", &save);
    }
  }
  generateHTMLReports = IO::toInt(IO::readValue(f));
  IO::copyCut(userDirectory, sizeof userDirectory, IO::readValue(f).c_str());
  generateToday = IO::toInt(IO::readValue(f));
  generateThisWeek = IO::toInt(IO::readValue(f));
  generateThisMonth = IO::toInt(IO::readValue(f));
  IO::copyCut(reportName, sizeof reportName, IO::readValue(f).c_str());
  numOfnetGroups = readCount(f, kMaxNetGroups, "OB_User::read(): too many net groups");
  parseFlags(IO::readValue(f), netGroupsShowing, kMaxNetGroups, numOfnetGroups);
  numOfHTTPServers = readCount(f, kMaxServers, "OB_User::read(): too many http servers");
  parseFlags(IO::readValue(f), httpServersShowing, kMaxServers, numOfHTTPServers);
  numOfFTPServers = readCount(f, kMaxServers, "OB_User::read(): too many ftp servers");
  parseFlags(IO::readValue(f), ftpServersShowing, kMaxServers, numOfFTPServers);
  IO::skipLines(f, 1);
  deriveNetworks();
  return 0;
}

int OB_User::writeJ(int socket) {
  if (IO::sendLine(socket, login) != 0) return -1;
  if (IO::sendLine(socket, password) != 0) return -1;
  if (IO::sendFlag(socket, allowConsoleAccess) != 0) return -1;
  if (IO::sendFlag(socket, applyNetAddress) != 0) return -1;
  int nets = clampCount(numOfNets, kMaxNets);
  if (writeJ_UInt16(socket, static_cast<uint16_t>(nets)) != 0) return -1;
  char quad[16];
  for (int i = 0; i < nets; ++i) {
    if (IO::sendLine(socket, OB_Tools::IPAddressString(exampleAddress[i], quad)) != 0) return -1;
    if (IO::sendLine(socket, OB_Tools::IPAddressString(maskAddress[i], quad)) != 0) return -1;
  }
  if (IO::sendFlag(socket, generateHTMLReports) != 0) return -1;
  if (IO::sendFlag(socket, generateToday) != 0) return -1;
  if (IO::sendFlag(socket, generateThisWeek) != 0) return -1;
  if (IO::sendFlag(socket, generateThisMonth) != 0) return -1;
  if (IO::sendLine(socket, reportName) != 0) return -1;
  if (sendFlags(socket, netGroupsShowing, clampCount(numOfnetGroups, kMaxNetGroups)) != 0)
    return -1;
  if (sendFlags(socket, httpServersShowing, clampCount(numOfHTTPServers, kMaxServers)) != 0)
    return -1;
  return sendFlags(socket, ftpServersShowing, clampCount(numOfFTPServers, kMaxServers));
}

const char* OB_User::storageProblem() const {
  if (!IO::keepsWhole(login, IO::Kept::kInBraces)) return "a login holds a brace or a line end";
  if (!IO::keepsWhole(password, IO::Kept::kInBraces))
    return "a password holds a brace or a line end";
  if (!IO::keepsWhole(reportName, IO::Kept::kInBraces))
    return "a report name holds a brace or a line end";
  return nullptr;
}

int OB_User::readJ(int socket) {
  userDirectory[0] = '\0';
  if (IO::receiveLine(socket, login, sizeof login, "a user's login") < 0) return -1;
  if (IO::receiveLine(socket, password, sizeof password, "a user's password") < 0) return -1;
  int flag = 0;
  if (readJ_Boolean(socket, &flag) != 0) return -1;
  allowConsoleAccess = flag;
  if (readJ_Boolean(socket, &flag) != 0) return -1;
  applyNetAddress = flag;
  uint16_t nets = 0;
  if (readJ_UInt16(socket, &nets) != 0) return -1;
  if (nets > kMaxNets) {
    OB_Log::ret("hcommand_SET_CONFIG: too many networks: %u", nets);
    return -1;
  }
  numOfNets = 0;
  char line[IO::kWireLine];
  for (int i = 0; i < nets; ++i) {
    if (IO::receiveLine(socket, line, sizeof line, "a user's network address") < 0) return -1;
    if (!OB_Config::parseAddress(line, false, &exampleAddress[i])) {
      OB_Log::ret("hcommand_SET_CONFIG: Malformed IP Address(1): %s", line);
      return -1;
    }
    if (IO::receiveLine(socket, line, sizeof line, "a user's network mask") < 0) return -1;
    if (!OB_Config::parseAddress(line, true, &maskAddress[i])) {
      OB_Log::ret("hcommand_SET_CONFIG: Malformed IP Address(2): %s", line);
      return -1;
    }
    numOfNets = static_cast<uint16_t>(i + 1);
  }
  // Derived here too, so a received user answers isValidSourceIP correctly before it has been
  // through the configuration file.
  deriveNetworks();
  if (readJ_Boolean(socket, &flag) != 0) return -1;
  generateHTMLReports = flag;
  if (readJ_Boolean(socket, &flag) != 0) return -1;
  generateToday = flag;
  if (readJ_Boolean(socket, &flag) != 0) return -1;
  generateThisWeek = flag;
  if (readJ_Boolean(socket, &flag) != 0) return -1;
  generateThisMonth = flag;
  if (IO::receiveLine(socket, reportName, sizeof reportName, "a user's report name") < 0)
    return -1;
  if (receiveFlags(socket, &numOfnetGroups, netGroupsShowing, kMaxNetGroups, "net groups") != 0)
    return -1;
  if (receiveFlags(socket, &numOfHTTPServers, httpServersShowing, kMaxServers, "http servers") !=
      0)
    return -1;
  return receiveFlags(socket, &numOfFTPServers, ftpServersShowing, kMaxServers, "ftp servers");
}
