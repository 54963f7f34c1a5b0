#include "server/OB_TCPConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "OB_Config.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"

namespace {

constexpr const char* kStatusLine = "HTTP/1.1 200 OK\r\n";
constexpr const char* kDefaultServerLine = "Server: Ambervolte Capture Engine\r\n";
constexpr const char* kBinaryType = "Content-Type: application/octet-stream\r\n\r\n";
constexpr const char* kTextType = "Content-Type: text/plain\r\n\r\n";
constexpr const char* kNotice = "Ambervolte Network Monitor\nUse Corrana Client Console\n";

bool isLineEnd(char byte) { return byte == '\r' || byte == '\n'; }

}  // namespace

OB_TCPConnection::OB_TCPConnection() = default;

OB_TCPConnection::~OB_TCPConnection() {
  if (clientSocket >= 0) close(clientSocket);
}

int OB_TCPConnection::setConfigKey(uint32_t key) {
  configKey = key;
  return 0;
}

int OB_TCPConnection::setManager(OB_EngineMgr* engineManager) {
  manager = engineManager;
  return 0;
}

int OB_TCPConnection::setIOTimeout(int ms) {
  ioTimeoutMs = ms < 1 ? 1 : ms;
  return 0;
}

int OB_TCPConnection::setExitAction(OB_TCPExitAction action, void* context) {
  exitAction = action;
  exitContext = context;
  return 0;
}

int OB_TCPConnection::abortConnection(int s) { return abort(s); }

int OB_TCPConnection::accept(int listenSocket) {
  struct sockaddr_in peer;
  socklen_t size = sizeof peer;
  memset(&peer, 0, sizeof peer);
  int s;
  do {
    size = sizeof peer;
    s = accept4(listenSocket, reinterpret_cast<struct sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    // A client that gave up before it was taken is no failure of the listener.
  } while (s < 0 && (errno == ECONNABORTED || errno == EPROTO));
  if (s < 0) {
    switch (errno) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        return 1;
      case EINTR:
        OB_Log::log("start_server: interrupted by a signal\n");
        break;
      case EINVAL:
        // The server's stop shut the listening socket: the normal end, nothing to report.
        break;
      case EMFILE:
      case ENFILE:
        OB_Log::log("start_server: max file descriptors are already open\n");
        break;
      default:
        OB_Log::log("start_server: error accepting connections\n");
        break;
    }
    return -1;
  }
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // The console is hostile: a peer that stops sending or reading must not hold the accept
  // thread, which serves every other client too.
  struct timeval limit;
  limit.tv_sec = ioTimeoutMs / 1000;
  limit.tv_usec = (ioTimeoutMs % 1000) * 1000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  clientSocket = s;
  clientAddress = peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
  readDeadline_ = Clock::now() + std::chrono::milliseconds(ioTimeoutMs);
  return 0;
}

int OB_TCPConnection::readAhead() {
  bool arrived = false;
  if (!aheadEnded_ && ahead_.size() < kMaxAheadBytes) {
    // A peer that ended or failed sets aheadEnded_: serving reads what came, then the same end.
    arrived = OB_SocketInput::takeWaiting(clientSocket, &ahead_, kMaxAheadBytes - ahead_.size(),
                                          &aheadEnded_) > 0;
  }
  // A frame is never this long: whatever it is, the serving thread takes it from here.
  if (aheadEnded_ || ahead_.size() >= kMaxAheadBytes) return 1;
  const Clock::time_point now = Clock::now();
  if (arrived || lookPutOff_) {
    // Each look reads the frame from its start: a client trickling its bytes one by one gets a
    // look per interval, not per byte.
    if (ahead_.size() >= 2 * lookedAtSize_ ||
        now - lookedAt_ >= std::chrono::milliseconds(kLookIntervalMs)) {
      lookedAtSize_ = ahead_.size();
      lookedAt_ = now;
      lookPutOff_ = false;
      if (holdsWholeRequest()) return 1;
    } else {
      lookPutOff_ = true;
    }
  }
  if (now < readDeadline_) return 0;
  aheadExpired_ = true;
  return 1;
}

std::chrono::steady_clock::time_point OB_TCPConnection::nextLook() const {
  if (!lookPutOff_) return readDeadline_;
  return std::min(readDeadline_, lookedAt_ + std::chrono::milliseconds(kLookIntervalMs));
}

bool OB_TCPConnection::holdsWholeRequest() {
  OB_SocketInput input(clientSocket, ahead_.data(), ahead_.size(), OB_SocketInput::kNothingMore);
  if (readHTTPHeader(clientSocket) == kRequestCommand && !input.ranOut())
    readRequestAhead(clientSocket);
  return !input.ranOut();
}

void OB_TCPConnection::readRequestAhead(int s) {
  OB_TCPRequest request;
  request.read(s);
}

int OB_TCPConnection::doTask() {
  // A request that was not whole by its deadline ends here as reading it would have ended then.
  std::optional<OB_SocketDeadline> expired;
  if (aheadExpired_) expired.emplace(readDeadline_);
  // One deadline for the whole request, header, binary part and reply alike: a client that
  // trickles its bytes cannot keep the server, which serves everyone one at a time.
  OB_SocketDeadline limit(Clock::now() + std::chrono::milliseconds(ioTimeoutMs));
  OB_SocketInput input(clientSocket, ahead_.data(), ahead_.size(), OB_SocketInput::kThenSocket);
  switch (readHTTPHeader(clientSocket)) {
    case kRequestCommand:
      handleCommand(clientSocket, clientAddress);
      break;
    case kRequestSummary:
      handleHTMLSummary(clientSocket, clientAddress);
      break;
    case kRequestBad:
      handleBadRequest(clientSocket, clientAddress);
      break;
    default:
      abort(0);
      if (OB_SocketDeadline::passed() != 0) logConnect(clientAddress, -1, "n/a", ioFailureText());
      setContinue(0);
      return -1;
  }
  setContinue(0);
  return 0;
}

int OB_TCPConnection::readHTTPHeader(int s) {
  char requestLine[512];
  char secondLine[9];
  // A peer that is gone before a line began has sent no request at all.
  constexpr OB_LineRules kHeaderLine{
      .dropRest = false, .needEnd = false, .needStart = true, .deadline = std::nullopt};
  if (readJ_line(s, requestLine, sizeof requestLine, kHeaderLine) < 0) return kRequestReadError;
  if (readJ_line(s, secondLine, sizeof secondLine, kHeaderLine) < 0) return kRequestReadError;
  if (strstr(requestLine, "HTTP") == nullptr) return kRequestBad;

  // Up to the header end, counted and timed: an endless header is a bad request, not a hang.
  int run = 0;
  for (int read = 0; run < 4; ++read) {
    char byte;
    if (read >= kMaxHeaderBytes || readJ_n_chars(s, &byte, 1) != 1) return kRequestBad;
    run = isLineEnd(byte) ? run + 1 : 0;
  }
  if (strstr(requestLine, "/controlReq.cgi") != nullptr) return kRequestCommand;
  if (strstr(requestLine, "/htmlSummary.html") != nullptr) return kRequestSummary;
  return kRequestBad;
}

int OB_TCPConnection::readBinRequestHeader(int s, uint32_t address, OB_TCPRequest* request,
                                           OB_TCPErrorIndex* error) {
  if (request->read(s) != 0) return 2;
  // The address first: a refused client learns nothing about users or passwords.
  OB_Config* config = manager != nullptr ? manager->getConfigAdmin() : nullptr;
  if (config == nullptr || config->isValidSourceIP(address) == 0) {
    *error = kTCPInvalidAddress;
    return 1;
  }
  // Whatever the stored password, an empty one never lets anyone in.
  const int refused = checkUser(request->user, request->password);
  if (refused != 0 || request->password[0] == '\0' || !request->textsWhole()) {
    *error = refused == kTCPUnknownUser ? kTCPUnknownUser : kTCPInvalidPassword;
    return 1;
  }
  const int stale = checkVersionAndKey(request);
  if (stale != 0) {
    *error = static_cast<OB_TCPErrorIndex>(stale);
    return 1;
  }
  return 0;
}

int OB_TCPConnection::checkVersionAndKey(const OB_TCPRequest* request) {
  if (request->clientVersion != requiredClientVersion) return kTCPInvalidVersion;
  if (request->command != kGetConfig && request->command != kGetDefaultConfig &&
      request->configKey != configKey)
    return kTCPInvalidConfigKey;
  return 0;
}

int OB_TCPConnection::checkUser(const char* user, const char* password) {
  // Both compared whatever the first gives, each in time that does not tell where it differs.
  const int root = OB_Tools::secretEquals(user, "root");
  OB_Config* config = manager != nullptr ? manager->getConfigAdmin() : nullptr;
  const int valid = config != nullptr && config->isValidPassword("root", password) != 0;
  if (root == 0) return kTCPUnknownUser;
  return valid ? 0 : kTCPInvalidPassword;
}

const char* OB_TCPConnection::ioFailureText() {
  if (OB_SocketDeadline::passed() != 0) return "timed out";
  // Why, on the one line the request gets.
  thread_local std::string text;
  text = obSocketFailure()[0] != '\0' ? std::string("bad io: ") + obSocketFailure() : "bad io";
  return text.c_str();
}

int OB_TCPConnection::handleCommand(int s, uint32_t address) {
  OB_TCPRequest request;
  OB_TCPErrorIndex error = kTCPInvalidAddress;
  int checked = readBinRequestHeader(s, address, &request, &error);
  if (checked == 2) {
    const char* why = ioFailureText();
    logConnect(address, -1, "n/a", why);
    abort(s);
    return -1;
  }

  bool refused = checked != 0;
  bool ends = false;
  int result = 0;
  // A refused login is logged once, below, with its user, code and reason.
  if (!refused) {
    switch (request.command) {
      case kGetConfig:
      case kGetDefaultConfig:
        result = writeBinResponseSuccess(s);
        if (result >= 0) result = hcommand_GET_CONFIG(s, request.command);
        break;
      case kSetConfig:
      case kStopEngine:
        if (strcmp(request.user, "root") != 0) {
          error = kTCPInvalidCommand;
          refused = true;
          break;
        }
        result = writeBinResponseSuccess(s);
        if (result >= 0 && request.command == kSetConfig) result = hcommand_SET_CONFIG(s);
        ends = true;
        break;
      case kGetMonitorStats:
        result = writeBinResponseSuccess(s);
        if (result >= 0) result = hcommand_GET_MONITOR_STATS(s);
        break;
      case kGetDatabaseList:
        result = writeBinResponseSuccess(s);
        if (result >= 0) result = hcommand_GET_DATABASE_LIST(s);
        break;
      default:
        // A code this dispatcher does not know is no fault of the user's rights or address.
        error = kTCPUnknownCommand;
        refused = true;
        break;
    }
  }

  if (refused) {
    const char* text = errorString(error);
    writeBinResponseFailure(s, text);
    abort(s);
    logConnect(address, request.command, request.user, text);
    return -1;
  }
  abort(s);
  if (result < 0) {
    logConnect(address, request.command, request.user, ioFailureText());
    return -1;
  }
  logConnect(address, request.command, request.user, "OK");
  if (ends) endProcess();
  return 0;
}

void OB_TCPConnection::endProcess() {
  if (exitAction != nullptr) {
    exitAction(exitContext);
    return;
  }
  OB_Tools::sleep(3);
  OB_EngineMgr::cleanup(0);
}

int OB_TCPConnection::handleHTMLSummary(int s, uint32_t address) {
  writeHTTPGenericMessage(s);
  abort(s);
  logConnect(address, -1, "n/a", "html summary");
  return 0;
}

int OB_TCPConnection::handleBadRequest(int s, uint32_t address) {
  writeHTTPGenericMessage(s);
  abort(s);
  logConnect(address, -1, "n/a", "bad HTTP");
  return 0;
}

int OB_TCPConnection::hcommand_GET_CONFIG(int s, int command) {
  int result = -1;
  if (manager != nullptr) {
    if (command == kGetConfig) {
      OB_Config* config = manager->getConfigAdmin();
      result = writeJ_UInt32(s, configKey);
      if (result >= 0) result = config != nullptr ? config->writeJ(s) : -1;
    } else {
      OB_Config* config = manager->getConfig();
      result = config != nullptr ? config->writeJ(s) : -1;
    }
  }
  if (result < 0) {
    OB_Log::ret("hcommand_GET_CONFIG: Problem sending config info.");
    return -1;
  }
  return 0;
}

int OB_TCPConnection::hcommand_GET_DATABASE_LIST(int /*socket*/) { return -1; }

int OB_TCPConnection::hcommand_GET_MONITOR_STATS(int /*socket*/) { return -1; }

int OB_TCPConnection::hcommand_SET_CONFIG(int s) {
  OB_Config config;
  config.setName("cengine");
  // The network flag is not part of the wire form; keep the engine's own rather than switching
  // network statistics off with every change the console sends.
  OB_Config* current = manager != nullptr ? manager->getConfigAdmin() : nullptr;
  if (current != nullptr) config.netStatsEnabled = current->netStatsEnabled;
  // Only a configuration that arrived whole replaces the stored one, and only a stored one is
  // acknowledged.
  if (config.readJ(s) != 0 || config.save() != 0 || writeJ_UInt8(s, 1) != 0) {
    OB_Log::ret("hcommand_SET_CONFIG: Problem setting config info.");
    return -1;
  }
  return 0;
}

const char* OB_TCPConnection::errorString(int index) {
  switch (index) {
    case kTCPInvalidAddress:
      return "Invalid client IP address.\n";
    case kTCPInvalidPassword:
      return "Invalid password.\n";
    case kTCPInvalidConfigKey:
      return "Invalid configuration key. Engine may have been reconfigured.\n";
    case kTCPInvalidVersion:
      return "Invalid client version.\n";
    case kTCPUnknownUser:
      return "Unknown user.\n";
    case kTCPInvalidCommand:
      return "Invalid command for this user.\n";
    default:
      return "Unknown Error";
  }
}

int OB_TCPConnection::writeText(int s, const char* text) {
  int n = static_cast<int>(strlen(text));
  return writeJ_n_chars(s, text, n) == n ? 0 : -1;
}

int OB_TCPConnection::writeHTTPGenericMessage(int s) {
  if (writeText(s, kStatusLine) != 0 || writeText(s, serverLine) != 0 ||
      writeText(s, kTextType) != 0 || writeText(s, kNotice) != 0) {
    OB_Log::ret("tcpserv_writeHTTPGenericMessage: IO problem.");
    return -1;
  }
  return 0;
}

int OB_TCPConnection::writeBinResponseSuccess(int s) {
  const char* server = serverLine.getLength() > 0 ? static_cast<const char*>(serverLine)
                                                  : kDefaultServerLine;
  if (writeText(s, kStatusLine) != 0 || writeText(s, server) != 0 ||
      writeText(s, kBinaryType) != 0 || writeJ_UInt8(s, 1) != 0 || writeText(s, "OK\n") != 0) {
    OB_Log::ret("tcpserv_writeBinResponseSuccess: IO problem.");
    return -1;
  }
  return 0;
}

int OB_TCPConnection::writeBinResponseFailure(int s, const char* text) {
  const char* server = serverLine.getLength() > 0 ? static_cast<const char*>(serverLine)
                                                  : kDefaultServerLine;
  if (writeText(s, kStatusLine) != 0 || writeText(s, server) != 0 ||
      writeText(s, kBinaryType) != 0 || writeJ_UInt8(s, 0) != 0 ||
      writeText(s, text != nullptr ? text : "") != 0) {
    OB_Log::ret("tcpserv_writeBinResponseFailure: IO problem.");
    return -1;
  }
  abort(s);
  return 0;
}

int OB_TCPConnection::abort(int s) {
  if (clientSocket < 0 || (s != 0 && s != clientSocket)) return 0;
  // No zero linger: that would reset the connection and throw away a reply still on its way.
  // The reply goes on with an orderly end; input the request did not use is dropped first, since
  // closing over unread input resets the connection too.
  if (shutdown(clientSocket, SHUT_WR) != 0)
    OB_Log::debug("ambervolte: tcpserv_abortConnection: shutdown\n");
  char sink[4096];
  for (int drained = 0; drained < 65536;) {
    ssize_t got = recv(clientSocket, sink, sizeof sink, MSG_DONTWAIT);
    if (got <= 0) break;
    drained += static_cast<int>(got);
  }
  shutdown(clientSocket, SHUT_RD);
  OB_Log::debug("closesocket()\n");
  // The descriptor is gone after close whatever it answers; it is never closed twice.
  if (close(clientSocket) != 0) OB_Log::debug("ambervolte: tcpserv_abortConnection: close\n");
  clientSocket = -1;
  return 0;
}

int OB_TCPConnection::logConnect(uint32_t address, int command, const char* user,
                                 const char* text) {
  logLine(address, command, user, text);
  return 0;
}

void OB_TCPConnection::logLine(uint32_t address, int command, const char* user,
                               const char* text) {
  char quad[16];
  OB_Tools::IPAddressString(address, quad);
  // The user name is the client's text: its control bytes must not forge or split log lines.
  char name[OB_Tools::escapedSize(OB_TCPRequest::kMaxText - 1) + 1];
  const char* given = user != nullptr ? user : "n/a";
  name[OB_Tools::escapeControls(given, OB_TCPRequest::kMaxText - 1, name, sizeof name - 1)] = '\0';
  // The reply texts end their line; the log's entry is one line.
  const std::string said = text != nullptr ? std::string(text, strcspn(text, "\r\n")) : "";
  OB_Log::ret("(%d) %s %s '%s'", command, name, quad, said.c_str());
}
