#include "console/OB_AEngineTCPConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <string>

#include "OB_Log.h"
#include "OB_Message.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_User.h"
#include "console/AEngineCommands.h"
#include "console/OB_AEngineMgr.h"
#include "console/OB_AEngineTCPServer.h"
#include "net/NetStatsCommands.h"
#include "stats/StatsReply.h"
#include "windows/OB_FTPReader.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"
#include "windows/OB_NetReader.h"

namespace {

constexpr const char* kServerLine = "Server: Ambervolte Monitor\r\n";


// Holds a window server for one request; the rebuild may drop it from the manager meanwhile.
struct ServerHold {
  OB_AEngineTCPServer* server;
  ~ServerHold() {
    if (server != nullptr) server->OB_ReferenceCounter::release();
  }
};

}  // namespace

OB_AEngineTCPConnection::OB_AEngineTCPConnection() {
  serverLine = kServerLine;
  requiredClientVersion = kClientVersion;
}

int OB_AEngineTCPConnection::setServer(OB_AEngineTCPServer* server) {
  server_ = server;
  return 0;
}

int OB_AEngineTCPConnection::setTimeIndexData(OB_IndexChanger* window) {
  window_ = window;
  return 0;
}

OB_AEngineMgr* OB_AEngineTCPConnection::aengine() { return obQuery<OB_AEngineMgr>(manager); }

const char* OB_AEngineTCPConnection::errorString(int index) {
  switch (index) {
    case kAEngineNoConsoleAccess:
      return "User not allowed to connect.\n";
    case kAEngineNetGroupRefused:
      return "Invalid net group request.\n";
    case kAEngineHTTPServerRefused:
      return "Invalid HTTP server request.\n";
    case kAEngineFTPServerRefused:
      return "Invalid FTP server request.\n";
    case kAEngineRebuilding:
      return "The analysis is being rebuilt; ask again.\n";
    default:
      return OB_TCPConnection::errorString(index);
  }
}

int OB_AEngineTCPConnection::readBinRequestHeader(int s, uint32_t address,
                                                  OB_AEngineTCPRequest* request, int32_t* error) {
  if (request->read(s) != 0) return 2;
  OB_AEngineConfig* config = current_.get();
  const int users = config != nullptr && config->users != nullptr ? config->numOfUsers : 0;
  // The address first: a client from where no console user may come learns nothing about the
  // users or their passwords.
  if (!OB_AEngineTCPServer::admitsConsoleFrom(config, address)) {
    *error = kTCPInvalidAddress;
    return 1;
  }
  // Every login compared, each in time that does not tell where it differs; the first that
  // equals the name is the user.
  OB_User* user = nullptr;
  for (int i = 0; i < users; ++i)
    if (OB_Tools::secretEquals(request->user, config->users[i]->login) != 0 && user == nullptr)
      user = config->users[i];
  if (user == nullptr) {
    *error = kTCPUnknownUser;
    return 1;
  }
  if (user->allowConsoleAccess == 0) {
    *error = kAEngineNoConsoleAccess;
    return 1;
  }
  if (user->isValidSourceIP(address) == 0) {
    *error = kTCPInvalidAddress;
    return 1;
  }
  if (!request->textsWhole() || user->isValidPassword(request->user, request->password) == 0) {
    *error = kTCPInvalidPassword;
    return 1;
  }
  const int stale = checkVersionAndKey(request);
  if (stale != 0) {
    *error = stale;
    return 1;
  }
  request->userRecord = user;
  return 0;
}

int OB_AEngineTCPConnection::handleCommand(int s, uint32_t address) {
  OB_AEngineMgr* engine = aengine();
  // A request right after a configuration change or a restart is answered from what the
  // rebuild makes, not from the windows it is taking down (or from none): it waits for the
  // rebuild, leaving itself the time to reply within its deadline.
  bool settled = true;
  if (engine != nullptr) {
    const auto deadline = OB_SocketDeadline::current();
    const auto now = std::chrono::steady_clock::now();
    auto until = now + std::chrono::milliseconds(kDefaultIOTimeoutMs);
    if (deadline.has_value()) until = *deadline;
    until = until - now > kReplyTime ? until - kReplyTime : now;
    settled = engine->awaitRebuilt(until);
    current_ = engine->getCurrentConfigShared();
    defaults_ = engine->getDefaultConfigShared();
  }
  OB_AEngineTCPRequest request;
  int32_t error = kTCPInvalidAddress;
  switch (readBinRequestHeader(s, address, &request, &error)) {
    case 0:
      break;
    case 1: {
      // A refused login names who tried, with what code and why, so that a wrong password or a
      // stale key can be told from a client that sends garbage.
      const char* text = errorString(error);
      writeBinResponseFailure(s, text);
      abort(s);
      logConnect(address, request.command, request.user, text);
      return 0;
    }
    default:
      logConnect(address, -1, "n/a", ioFailureText());
      abort(s);
      return 0;
  }

  OB_User* user = request.userRecord;
  const int32_t code = request.command;
  if (!settled) {
    const char* text = errorString(kAEngineRebuilding);
    writeBinResponseFailure(s, text);
    abort(s);
    logConnect(address, code, request.user, text);
    return 0;
  }
  int result = 0;
  switch (code) {
    case kGetConfig:
    case kGetDefaultConfig:
      result = writeBinResponseSuccess(s);
      if (result == 0) result = hcommand_GET_CONFIG(s, user, code);
      break;
    case kSetConfig:
    case kRestart:
      if (!user->isRoot()) {
        const char* text = errorString(kTCPInvalidCommand);
        writeBinResponseFailure(s, text);
        abort(s);
        logConnect(address, code, request.user, text);
        return 0;
      }
      result = writeBinResponseSuccess(s);
      if (result == 0 && code == kSetConfig) result = hcommand_SET_CONFIG(s);
      break;
    case kGetMonitorStats:
      result = writeBinResponseSuccess(s);
      if (result == 0) result = hcommand_GET_MONITOR_STATS(s, user);
      break;
    default:
      return handleWindowCommand(s, address, &request);
  }
  abort(s);
  if (result < 0) {
    logConnect(address, code, request.user, ioFailureText());
    return 0;
  }
  logConnect(address, code, request.user, "OK");
  if ((code == kSetConfig || code == kRestart) && engine != nullptr) {
    // The window servers are rebuilt from the files on the manager's thread.
    engine->signal();
    if (code == kSetConfig) {
      OB_Message message("CONFIG_RESET", this);
      engine->sendMessage(&message);
    }
  }
  return 0;
}

int OB_AEngineTCPConnection::handleWindowCommand(int s, uint32_t address,
                                                 OB_AEngineTCPRequest* request) {
  const int32_t code = request->command;
  OB_AEngineMgr* engine = aengine();
  ServerHold window{engine != nullptr ? engine->holdServer(request->timeWindowIndex) : nullptr};
  const AEngineCommand* command = code == kRefreshHold ? nullptr : aengine_findCommand(code);
  // One log line per request: the reply sent, and why where the reply does not say it.
  auto refuse = [&](int index, const std::string& why = std::string()) {
    const char* text = errorString(index);
    writeBinResponseFailure(s, text);
    abort(s);
    const std::string said = why.empty() ? text : std::string(text) + " (" + why + ")";
    logConnect(address, code, request->user, said.c_str());
    return 0;
  };
  // Known codes only, each answered only when built; and only of a window that exists.
  if (code != kRefreshHold && (command == nullptr || command->handler == nullptr))
    return refuse(kTCPUnknownCommand, "no such code");
  if (window.server == nullptr)
    return refuse(kTCPUnknownCommand,
                  "no time window " + std::to_string(request->timeWindowIndex));

  OB_NetReader* net = window.server->getNetAnalysisStats();
  OB_HTTPReader* http = window.server->getHTTPAnalysisStats();
  OB_FTPReader* ftp = window.server->getFTPAnalysisStats();
  // The locks are the capture's too: the reply is built in memory under them and sent once they
  // are released, and the command's own fields are read from what has arrived: when they are
  // not all there, the locks are let go, the rest is waited for, and the reply is built afresh.
  // So a client that reads or writes slowly holds nothing but its connection. A command's own
  // fields are a few short lines; more is not taken ahead of its reads.
  constexpr size_t kMostTaken = 65536;
  std::string input;
  std::string reply;
  int refused = 0;
  int result = 0;
  bool ended = false;  // the peer closed or failed: no more input comes
  // Fields that came with the request are taken first: each pass reads them again from the
  // start, which it could not do from the connection's own read-ahead.
  char early[4096];
  bool aheadEnded = false;
  while (input.size() < kMostTaken) {
    const size_t room = std::min(sizeof early, kMostTaken - input.size());
    const ssize_t n = OB_SocketInput::take(s, early, room, &aheadEnded);
    if (n <= 0) break;
    input.append(early, static_cast<size_t>(n));
  }
  for (;;) {
    OB_SocketInput::takeWaiting(s, &input, kMostTaken - input.size(), &ended);
    reply.clear();
    refused = 0;
    result = 0;
    bool ranOut = false;
    // What the handler logs of a pass that ran out of fields is dropped with it: that pass is
    // run again, and its failure was none.
    StatsLogHold lines;
    {
      // One order for every request, the readers' own passes take one lock at a time.
      OB_ReaderQueryHold netHold(net);
      OB_ReaderQueryHold httpHold(http);
      OB_ReaderQueryHold ftpHold(ftp);
      const AEngineWindowStats stats{net, http, ftp};
      OB_SocketInput received(s, input.data(), input.size(), OB_SocketInput::kNothingMore);
      OB_SocketReply capture(s, &reply);
      if (code == kRefreshHold) {
        window_ = window.server->getIndexChanger();
        result = writeBinResponseSuccess(s);
        if (result == 0) result = hcommand_REFRESH_HOLD(s);
      } else if (!aengine_hasStatistics(command, stats)) {
        // Network statistics switched off: the window has no answer to give.
        refused = kTCPUnknownCommand;
      } else if ((refused = aengine_checkAllowed(command, request->userRecord, request)) == 0) {
        result = writeBinResponseSuccess(s);
        if (result == 0) {
          result = command->family == AEngineFamily::kNet
                       ? handle_net(net, s, request->userRecord, request)
                       : aengine_dispatch(stats, s, request->userRecord, request);
        }
      }
      ranOut = received.ranOut();
    }
    // Past the limit, at the peer's end, its deadline or a stop, the reply stays as it came.
    if (!ranOut || ended || input.size() >= kMostTaken) {
      lines.keep();
      break;
    }
    if (server_ != nullptr) server_->countCutPass();
    if (!waitFor(s, POLLIN)) {
      lines.keep();
      break;
    }
  }
  if (refused != 0) return refuse(refused);
  if (sendReply(s, reply) != 0) result = -1;
  abort(s);
  if (result < 0) logConnect(address, code, request->user, ioFailureText());
  return 0;
}

bool OB_AEngineTCPConnection::waitFor(int s, short events) {
  for (;;) {
    // A stop of the server waits for no client, however slow.
    if ((server_ != nullptr && server_->isRunning() == 0) || OB_SocketDeadline::passed() != 0)
      return false;
    struct pollfd ready = {s, events, 0};
    const int waiting = poll(&ready, 1, kStopCheckMs);
    if (waiting < 0 && errno != EINTR) return false;
    if (waiting > 0) return (ready.revents & events) != 0;
  }
}

int OB_AEngineTCPConnection::sendReply(int s, const std::string& reply) {
  size_t sent = 0;
  while (sent < reply.size()) {
    if (!waitFor(s, POLLOUT)) return -1;
    const ssize_t n =
        send(s, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int OB_AEngineTCPConnection::handle_net(OB_NetAnalysisStats* stats, int s, OB_User* user,
                                        OB_AEngineTCPRequest* request) {
  return netStats_dispatch(stats, s, user, request);
}

int OB_AEngineTCPConnection::hcommand_GET_MONITOR_STATS(int s, OB_User* /*user*/) {
  const uint32_t started = manager != nullptr ? static_cast<uint32_t>(manager->getStartTime()) : 0;
  if (writeJ_UInt32(s, started) != 0) {
    OB_Log::ret("hcommand_GET_MONITOR_STATS: Problem getting or sending info.");
    return -1;
  }
  return 0;
}

int OB_AEngineTCPConnection::hcommand_REFRESH_HOLD(int s) {
  uint32_t consoleTime = 0;
  if (readJ_UInt32(s, &consoleTime) != 0) return -1;
  int32_t hold = 0;
  const int result =
      window_ != nullptr ? window_->refreshHold(consoleTime, &hold) : -1;
  int32_t status = 0;
  const char* text = "OK\n";
  if (result == -2) {
    status = -1;
    text = "The current time is too close to the the maximum hold time\n";
  } else if (result < 0) {
    status = -1;
    text = "Console and monitor don't have the same times.\n";
  }
  const int length = static_cast<int>(strlen(text));
  if (writeJ_SInt32(s, hold) != 0 || writeJ_SInt32(s, status) != 0 ||
      writeJ_n_chars(s, text, length) != length)
    return -1;
  return 0;
}

void OB_AEngineTCPConnection::readRequestAhead(int s) {
  OB_AEngineTCPRequest request;
  // REFRESH_HOLD carries the console's time after the request.
  uint32_t consoleTime = 0;
  if (request.read(s) == 0 && request.command == kRefreshHold) readJ_UInt32(s, &consoleTime);
}
