#include "server/OB_TCPServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "OB_Config.h"
#include "OB_EngineMgr.h"
#include "OB_Log.h"
#include "OB_Tools.h"

OB_TCPServer::OB_TCPServer() { connections.setOwner(1); }

OB_TCPServer::~OB_TCPServer() {
  OB_Log::debug("tcpserv_stop()\n");
  if (worker_ != nullptr) {
    // The serving thread works on this server: it must be gone before the server is.
    {
      std::lock_guard<std::mutex> hold(readyLock_);
      serving_ = false;
    }
    readyWake_.notify_all();
    worker_->stop();
    worker_->join(nullptr, 0);
    worker_->OB_ReferenceCounter::release();
  }
  for (OB_TCPConnection* connection : reading_) drop(connection);
  reading_.clear();
  for (OB_TCPConnection* connection : ready_) drop(connection);
  ready_.clear();
  closeListener();
  for (int& end : wake_)
    if (end >= 0) close(end);
  connections.clear();
}

int OB_TCPServer::init() {
  OB_Log::debug("initServer()\n");
  setNewConfigKey();
  return 0;
}

int OB_TCPServer::setHost(const char* name) {
  host = name != nullptr ? name : "";
  return 0;
}

int OB_TCPServer::setPort(int number) {
  port = number;
  return 0;
}

int OB_TCPServer::setManager(OB_EngineMgr* engineManager) {
  manager = engineManager;
  return 0;
}

int OB_TCPServer::setIOTimeout(int ms) {
  ioTimeoutMs_ = ms < 1 ? 1 : ms;
  return 0;
}

int OB_TCPServer::setExitAction(OB_TCPExitAction action, void* context) {
  exitAction_ = action;
  exitContext_ = context;
  return 0;
}

int OB_TCPServer::setMaxConnections(int count) {
  maxConnections_ = count < 1 ? 1 : count;
  return 0;
}

int OB_TCPServer::isAllowedClient(uint32_t address) {
  OB_Config* config = manager != nullptr ? manager->getConfigAdmin() : nullptr;
  return config != nullptr && config->isValidSourceIP(address) != 0 ? 1 : 0;
}

int OB_TCPServer::setNewConfigKey() {
  std::string folder = std::string(OB_Tools::getInstallDir()) + "/admin";
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    OB_Log::quit("setNewConfigKey: %s can't open directory", folder.c_str());

  std::string path = folder + "/" + static_cast<const char*>(keyFileName);
  // A folder of that name opens for reading here but is no key file.
  FILE* in = nullptr;
  int error = EISDIR;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    in = fopen(path.c_str(), "r");
    error = errno;
  }
  // A key file that is gone (deleted by hand, lost with a restored folder) is written anew, as a
  // fresh installation's first start writes it: nothing else depends on its old number.
  if (in == nullptr && error == ENOENT) {
    OB_Log::ret("setNewConfigKey: %s is missing; a new one is written", path.c_str());
  } else if (in == nullptr) {
    switch (error) {
      case EACCES:
      case EISDIR:
        OB_Log::quit("%s: Permision denied", path.c_str());
      case EMFILE:
      case ENFILE:
        OB_Log::quit("%s: Too many files already open", path.c_str());
      case ENAMETOOLONG:
        OB_Log::quit("%s: Path too long", path.c_str());
      default:
        OB_Log::quit("%s: Problem opening file", path.c_str());
    }
  }
  char text[64] = {};
  if (in != nullptr) {
    const size_t got = fread(text, 1, sizeof text - 1, in);
    fclose(in);
    text[got] = '\0';
  }

  // A file without a number counts as 0; a number beyond 32 bits wraps like one at the limit.
  const char* digits = text;
  while (*digits == ' ' || *digits == '\t' || *digits == '\r' || *digits == '\n') ++digits;
  uint64_t old = 0;
  if (*digits >= '0' && *digits <= '9') {
    errno = 0;
    unsigned long long parsed = strtoull(digits, nullptr, 10);
    old = errno == ERANGE || parsed > UINT32_MAX ? UINT32_MAX : parsed;
  }
  configKey = old >= kLastConfigKey ? 1 : static_cast<uint32_t>(old + 1);

  // Through a temporary file, so that a crash never leaves a cut key behind.
  std::string temporary = path + ".new";
  FILE* out = fopen(temporary.c_str(), "w+");
  bool written = out != nullptr && fprintf(out, "%u\n", configKey) > 0;
  if (out != nullptr) written = fclose(out) == 0 && written;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    OB_Log::log("Could not write new config key\n");
  }
  return 0;
}

int OB_TCPServer::newSocket(int wanted) {
  int number = wanted != 0 ? wanted : port;
  int error = 0;
  int s = bindSocket(wanted, &error);
  if (s >= 0) return s;
  if (error == EADDRINUSE)
    OB_Log::quit("newSocket: port %d already in use (kill process or wait for timeout)", number);
  OB_Log::quit("newSocket: can't bind local address");
}

int OB_TCPServer::bindSocket(int wanted, int* error) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) OB_Log::quit("newSocket: can't open stream socket");
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    OB_Log::quit("newSocket: can't set SO_REUSEADDR");

  int number = wanted != 0 ? wanted : port;
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(number));
  if (number < 0 || number > 65535 ||
      bind(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    *error = number < 0 || number > 65535 ? EINVAL : errno;
    OB_Log::debug("newSocket\n");
    close(s);
    return -1;
  }
  socklen_t size = sizeof address;
  if (getsockname(s, reinterpret_cast<struct sockaddr*>(&address), &size) == 0)
    number = ntohs(address.sin_port);
  port = number;
  OB_Tools::registerListeningPort(port);
  return s;
}

int OB_TCPServer::openListener() { return currentListener(false) >= 0 ? 0 : -1; }

int OB_TCPServer::currentListener(bool endOnBindFailure) {
  std::lock_guard<std::mutex> hold(listenerLock_);
  // Decided under the listener's lock, which stop takes after clearing the continue flag: a
  // listener made here is either shut by that stop or not made at all, so no accept outlives it.
  if (isRunning() == 0) return -1;
  if (listener_ >= 0 && listenerShut_) {
    close(listener_);
    OB_Tools::unregisterListeningPort(port);
    listener_ = -1;
  }
  listenerShut_ = false;
  if (listener_ < 0) {
    int s = -1;
    if (endOnBindFailure) {
      s = newSocket(0);
    } else {
      int error = 0;
      s = bindSocket(0, &error);
      if (s < 0) {
        OB_Log::log("newSocket: can't bind port %d (%s)\n", port, strerror(error));
        return -1;
      }
    }
    // Non-blocking: the accept thread takes every client waiting and then goes back to poll.
    if (listen(s, kBacklog) != 0 || fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) != 0) {
      OB_Log::log("newSocket: can't listen on port %d %s\n", port, OB_Log::sys_err_str());
      close(s);
      OB_Tools::unregisterListeningPort(port);
      return -1;
    }
    if (wake_[0] < 0 && pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
      OB_Log::log("newSocket: no wake-up pipe for port %d %s\n", port, OB_Log::sys_err_str());
      close(s);
      OB_Tools::unregisterListeningPort(port);
      return -1;
    }
    listener_ = s;
  }
  return listener_;
}

void OB_TCPServer::closeListener() {
  std::lock_guard<std::mutex> hold(listenerLock_);
  if (listener_ < 0) return;
  close(listener_);
  OB_Tools::unregisterListeningPort(port);
  listener_ = -1;
  listenerShut_ = false;
}

OB_TCPConnection* OB_TCPServer::createTCPConnection() {
  OB_TCPConnection* connection = OB_TCPConnection::create();
  if (connection != nullptr) connection->setManager(manager);
  return connection;
}

int OB_TCPServer::doTask() {
  using Clock = std::chrono::steady_clock;
  const int listening = currentListener(true);
  if (listening < 0) {
    // Nothing to accept with; wait rather than spin (a stop ends the pause).
    if (isRunning() != 0) sleep(1);
    return 0;
  }
  // Waits for a client, bytes of one being read, a look put off, a deadline or a stop; at most
  // a second.
  const Clock::time_point now = Clock::now();
  const bool accepting = now >= acceptPausedUntil_;
  Clock::time_point until = now + std::chrono::seconds(1);
  if (!accepting) until = std::min(until, acceptPausedUntil_);
  // Refusals counted and not yet logged are written when their second is over.
  if (refusedUnlogged_ != 0) until = std::min(until, refusalLogged_ + std::chrono::seconds(1));
  std::vector<struct pollfd> waits;
  {
    // A stop drops the connections being read under the lock, from its own thread: the list is
    // only read under it, though the wait itself is not held.
    std::lock_guard<std::recursive_mutex> hold(readingLock_);
    waits.reserve(reading_.size() + 2);
    waits.push_back({wake_[0], POLLIN, 0});
    waits.push_back({accepting ? listening : -1, POLLIN, 0});
    for (OB_TCPConnection* connection : reading_) {
      waits.push_back({connection->getSocket(), POLLIN, 0});
      until = std::min(until, connection->nextLook());
    }
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  if (poll(waits.data(), waits.size(), wait < 0 ? 0 : static_cast<int>(wait)) < 0 &&
      errno != EINTR) {
    OB_Log::log("start_server: poll failed %s\n", OB_Log::sys_err_str());
    if (isRunning() != 0) sleep(1);
  }
  if (waits[0].revents != 0) {
    char sink[64];
    while (::read(wake_[0], sink, sizeof sink) > 0) {
    }
  }
  std::lock_guard<std::recursive_mutex> hold(readingLock_);
  if (isRunning() == 0) {
    // Stopping: a request not yet whole is not waited for; the refusals counted are logged.
    flushRefusals();
    dropReading();
    return 0;
  }
  // A stop and a start during the wait: the stop closed the connections the wait was for.
  if (reading_.size() != waits.size() - 2) return 0;

  const Clock::time_point later = Clock::now();
  std::vector<OB_TCPConnection*> still;
  still.reserve(reading_.size());
  for (size_t i = 0; i < reading_.size(); ++i) {
    OB_TCPConnection* connection = reading_[i];
    const bool due = waits[i + 2].revents != 0 || later >= connection->nextLook();
    if (due && connection->readAhead() != 0) {
      handOver(connection);
    } else {
      still.push_back(connection);
    }
  }
  reading_.swap(still);
  if (waits[1].revents != 0) acceptWaiting(listening);
  // The refusals a flood left uncounted in the log, once their second is over.
  logRefusals(later);
  // A stop on this thread during the pass (stop takes the lock itself otherwise).
  if (isRunning() == 0) {
    flushRefusals();
    dropReading();
  }
  return 0;
}

void OB_TCPServer::dropReading() {
  for (OB_TCPConnection* connection : reading_) {
    drop(connection);
    open_.fetch_sub(1);
  }
  reading_.clear();
}

void OB_TCPServer::acceptWaiting(int listening) {
  // A batch, so that those already being read are looked at again between floods.
  constexpr int kBatch = 64;
  for (int i = 0; i < kBatch; ++i) {
    OB_TCPConnection* connection = createTCPConnection();
    if (connection == nullptr) {
      acceptPausedUntil_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      return;
    }
    connection->setIOTimeout(ioTimeoutMs_);
    int accepted = 1;
    {
      // Not on a listening socket that stop has shut down: that is no failure to log.
      std::lock_guard<std::mutex> hold(listenerLock_);
      if (listener_ == listening && !listenerShut_) accepted = connection->accept(listening);
    }
    if (accepted != 0) {
      connection->release();
      // A failing accept (no descriptors left, say) would otherwise fill the log as fast as it
      // can: the listening socket rests a second.
      if (accepted < 0)
        acceptPausedUntil_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      return;
    }
    const uint32_t address = connection->getClientAddress();
    if (isAllowedClient(address) == 0) {
      connection->logConnect(address, -1, "n/a", connection->errorString(kTCPInvalidAddress));
      drop(connection);
      continue;
    }
    if (open_.load() >= maxConnections_) {
      noteRefusal(address);
      drop(connection);
      continue;
    }
    open_.fetch_add(1);
    // The request often comes with the connection.
    if (connection->readAhead() != 0) {
      handOver(connection);
    } else {
      reading_.push_back(connection);
    }
  }
}

void OB_TCPServer::noteRefusal(uint32_t address) {
  ++refusedUnlogged_;
  refusedLast_ = address;
  logRefusals(std::chrono::steady_clock::now());
}

void OB_TCPServer::logRefusals(std::chrono::steady_clock::time_point now) {
  if (refusedUnlogged_ == 0 || now - refusalLogged_ < std::chrono::seconds(1)) return;
  char text[96];
  if (refusedUnlogged_ == 1)
    snprintf(text, sizeof text, "refused: %d connections open", open_.load());
  else
    snprintf(text, sizeof text, "refused %llu connections in a second: %d connections open",
             static_cast<unsigned long long>(refusedUnlogged_), open_.load());
  OB_TCPConnection::logLine(refusedLast_, -1, "n/a", text);
  refusedUnlogged_ = 0;
  refusalLogged_ = now;
}

void OB_TCPServer::flushRefusals() {
  refusalLogged_ = {};
  logRefusals(std::chrono::steady_clock::now());
}

void OB_TCPServer::drop(OB_TCPConnection* connection) {
  connection->abortConnection(0);
  connection->release();
}

void OB_TCPServer::handOver(OB_TCPConnection* connection) {
  {
    std::lock_guard<std::mutex> hold(readyLock_);
    if (serving_) {
      ready_.push_back(connection);
      readyWake_.notify_one();
      return;
    }
  }
  // A stopped server (a pause, say) serves nothing until it starts again: the client is told at
  // once by the close rather than left waiting for as long as the stop lasts.
  drop(connection);
  open_.fetch_sub(1);
}

void OB_TCPServer::serveQueued(void* server) { static_cast<OB_TCPServer*>(server)->serveNext(); }

void OB_TCPServer::serveNext() {
  OB_TCPConnection* connection = nullptr;
  {
    std::unique_lock<std::mutex> wait(readyLock_);
    readyWake_.wait_for(wait, std::chrono::seconds(1),
                        [this] { return !ready_.empty() || !serving_; });
    if (!serving_ || ready_.empty()) return;
    connection = ready_.front();
    ready_.pop_front();
  }
  // One at a time because this is the one thread that runs them. Not under the server's lock:
  // the accept thread takes that lock for its own loop and would stop reading ahead meanwhile.
  connection->setConfigKey(configKey);
  connection->setExitAction(exitAction_, exitContext_);
  connection->doTask();
  connection->release();
  open_.fetch_sub(1);
  served_.fetch_add(1);
}

void OB_TCPServer::wakeAcceptThread() {
  std::lock_guard<std::mutex> hold(listenerLock_);
  if (wake_[1] >= 0) {
    const char byte = 0;
    // A full pipe already holds a wake-up.
    if (::write(wake_[1], &byte, 1) < 0) OB_Log::debug("wakeAcceptThread: pipe full\n");
  }
}

int OB_TCPServer::start() {
  {
    std::lock_guard<std::mutex> hold(readyLock_);
    serving_ = true;
  }
  if (worker_ == nullptr) worker_ = new OB_Thread(&OB_TCPServer::serveQueued, this);
  if (worker_ == nullptr || worker_->start() != 0) return -1;
  return OB_Thread::start();
}

int OB_TCPServer::stop() {
  setContinue(0);
  std::deque<OB_TCPConnection*> waiting;
  {
    std::lock_guard<std::mutex> hold(readyLock_);
    serving_ = false;
    waiting.swap(ready_);
  }
  readyWake_.notify_all();
  for (OB_TCPConnection* connection : waiting) {
    drop(connection);
    open_.fetch_sub(1);
  }
  if (worker_ != nullptr) worker_->stop();
  std::vector<OB_Thread*> threads;
  {
    OB_MutexHold hold(&connections);
    for (OB_Thread* thread = connections.first(); thread != nullptr;
         thread = connections.next()) {
      thread->addRef();
      threads.push_back(thread);
    }
  }
  for (OB_Thread* thread : threads) thread->stop();
  for (OB_Thread* thread : threads) thread->join(nullptr, 0);
  for (OB_Thread* thread : threads) thread->OB_ReferenceCounter::release();
  {
    std::lock_guard<std::mutex> hold(listenerLock_);
    if (listener_ >= 0 && !listenerShut_) {
      shutdown(listener_, SHUT_RDWR);
      listenerShut_ = true;
    }
  }
  wakeAcceptThread();
  {
    // Waits at most for the rest of an accept pass, which reads without blocking.
    std::lock_guard<std::recursive_mutex> hold(readingLock_);
    dropReading();
  }
  return OB_Thread::stop();
}

int OB_TCPServer::join(OB_Mutex* mutex, int ms) {
  if (worker_ != nullptr) worker_->join(mutex, ms);
  return OB_Thread::join(mutex, ms);
}
