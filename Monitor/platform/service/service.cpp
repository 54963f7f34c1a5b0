#include "service.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

struct SVC_ManagerData {
  std::string unitDir;
  std::string stateDir;
};

struct SVC_ServiceData {
  std::string name;
  std::string unitPath;
  std::string statusPath;
  std::string stateDir;
};

struct SVC_StatusData {
  int fd = -1;
};

namespace {

constexpr uint32_t kOwnProcess = 16;

std::mutex directoryLock;
std::string unitDirSet;
std::string stateDirSet;

std::string chosenDir(const std::string& set, const char* variable, const char* fallback) {
  std::lock_guard<std::mutex> guard(directoryLock);
  if (!set.empty()) return set;
  const char* env = getenv(variable);
  return env != nullptr && env[0] != '\0' ? env : fallback;
}

bool hasControl(const char* text) {
  for (; *text != '\0'; ++text)
    if (static_cast<unsigned char>(*text) < 0x20 || *text == 0x7f) return true;
  return false;
}

bool validName(const char* name) {
  return name != nullptr && name[0] != '\0' && name[0] != '.' && strchr(name, '/') == nullptr &&
         strchr(name, ' ') == nullptr && !hasControl(name);
}

// A quoted word of a unit file: the quote, the backslash and the specifier sign escaped.
std::string quoted(const char* text) {
  std::string out = "\"";
  for (; *text != '\0'; ++text) {
    if (*text == '"' || *text == '\\') out += '\\';
    if (*text == '%') out += '%';
    out += *text;
  }
  return out + "\"";
}

std::string unquoted(const std::string& word) {
  if (word.size() < 2 || word.front() != '"' || word.back() != '"') return word;
  std::string out;
  for (size_t i = 1; i + 1 < word.size(); ++i) {
    if (word[i] == '\\' && i + 2 < word.size()) ++i;
    else if (word[i] == '%' && i + 2 < word.size() && word[i + 1] == '%') ++i;
    out += word[i];
  }
  return out;
}

std::string escapedPercent(const char* text) {
  std::string out;
  for (; *text != '\0'; ++text) {
    if (*text == '%') out += '%';
    out += *text;
  }
  return out;
}

bool readAll(int fd, std::string* text) {
  text->clear();
  if (lseek(fd, 0, SEEK_SET) < 0) return false;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buffer, static_cast<size_t>(n));
  }
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string statusLine(pid_t pid, const SVC_Status& s) {
  char line[160];
  snprintf(line, sizeof line, "%d %u %u %u %u %u %u %u\n", static_cast<int>(pid), s.serviceType,
           s.currentState, s.controlsAccepted, s.win32ExitCode, s.serviceSpecificExitCode,
           s.checkPoint, s.waitHint);
  return line;
}

// The last complete line of a status file. An empty file is a stopped service without process.
bool lastStatus(const std::string& text, pid_t* pid, SVC_Status* s) {
  *s = SVC_Status{kOwnProcess, SVC_STOPPED, 0, 0, 0, 0, 0};
  *pid = 0;
  size_t end = text.rfind('\n');
  if (end == std::string::npos) return text.empty();
  size_t begin = text.rfind('\n', end == 0 ? 0 : end - 1);
  begin = (begin == std::string::npos || begin >= end) ? 0 : begin + 1;
  std::string line = text.substr(begin, end - begin);
  int p = 0;
  if (sscanf(line.c_str(), "%d %u %u %u %u %u %u %u", &p, &s->serviceType, &s->currentState,
             &s->controlsAccepted, &s->win32ExitCode, &s->serviceSpecificExitCode, &s->checkPoint,
             &s->waitHint) != 8) {
    errno = EINVAL;
    return false;
  }
  *pid = p;
  return true;
}

bool alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// The status file of service, locked; -1 with errno set. Released by closing.
int lockedStatusFile(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// The current status as a reader should see it: a process that is gone has stopped.
bool currentStatus(const std::string& path, pid_t* pid, SVC_Status* s) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string text;
  if (fd >= 0) {
    flock(fd, LOCK_SH);
    bool ok = readAll(fd, &text);
    close(fd);
    if (!ok) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  if (!lastStatus(text, pid, s)) return false;
  if (s->currentState != SVC_STOPPED && !alive(*pid))
    *s = SVC_Status{kOwnProcess, SVC_STOPPED, 0, 0, 0, 0, 0};
  return true;
}

std::string execStartOf(const std::string& unitPath) {
  FILE* f = fopen(unitPath.c_str(), "r");
  if (f == nullptr) return "";
  char line[8192];
  std::string path;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "ExecStart=", 10) != 0) continue;
    path = line + 10;
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    path = unquoted(path);
    break;
  }
  fclose(f);
  return path;
}

// Service-process state: one dispatcher per process.
std::string dispatcherName;
pthread_t dispatcherThread;
std::atomic<SVC_ControlHandler> controlHandler{nullptr};
std::atomic<bool> serviceEnded{false};
SVC_StatusData statusData;

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// What the dispatcher takes: the stop signals and those of the other controls.
sigset_t controlSignals() {
  sigset_t set = stopSignals();
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  sigaddset(&set, SIGHUP);
  return set;
}

uint32_t controlOfSignal(int signal) {
  switch (signal) {
    case SIGUSR1: return SVC_CONTROL_PAUSE;
    case SIGUSR2: return SVC_CONTROL_CONTINUE;
    case SIGHUP: return SVC_CONTROL_INTERROGATE;
    default: return SVC_CONTROL_STOP;
  }
}

}  // namespace

void SVC_SetDirectories(const char* unitDir, const char* stateDir) {
  std::lock_guard<std::mutex> guard(directoryLock);
  unitDirSet = unitDir != nullptr ? unitDir : "";
  stateDirSet = stateDir != nullptr ? stateDir : "";
}

SVC_Manager SVC_OpenManager() {
  auto* manager = new SVC_ManagerData{chosenDir(unitDirSet, "OB_SERVICE_UNITDIR", "/etc/systemd/system"),
                                      chosenDir(stateDirSet, "OB_SERVICE_STATEDIR", "/run")};
  if (access(manager->unitDir.c_str(), W_OK | X_OK) != 0) {
    int saved = errno;
    delete manager;
    errno = saved;
    return nullptr;
  }
  return manager;
}

void SVC_CloseManager(SVC_Manager manager) { delete manager; }

static SVC_Service serviceFor(SVC_Manager manager, const char* name) {
  return new SVC_ServiceData{name, manager->unitDir + "/" + name + ".service",
                             manager->stateDir + "/" + name + ".status", manager->stateDir};
}

SVC_Service SVC_CreateService(SVC_Manager manager, const SVC_ServiceConfig* config) {
  if (manager == nullptr || config == nullptr || !validName(config->name) ||
      config->displayName == nullptr || hasControl(config->displayName) ||
      config->path == nullptr || config->path[0] != '/' || hasControl(config->path) ||
      hasControl(manager->stateDir.c_str()) ||
      (config->account != nullptr &&
       (config->account[0] == '\0' || strchr(config->account, ' ') != nullptr ||
        hasControl(config->account)))) {
    errno = EINVAL;
    return nullptr;
  }
  std::string unit = "[Unit]\nDescription=" + escapedPercent(config->displayName) +
                     "\n\n[Service]\nType=simple\nExecStart=" + quoted(config->path) +
                     "\nEnvironment=" + quoted((std::string("OB_SERVICE=") + config->name).c_str()) +
                     " " + quoted(("OB_SERVICE_STATEDIR=" + manager->stateDir).c_str()) + "\n";
  if (config->account != nullptr) unit += "User=" + escapedPercent(config->account) + "\n";
  // Started again when it ends by itself, failing or not: the console's restart commands end the
  // process on purpose.
  unit += "Restart=always\nRestartSec=3\n";
  if (config->startType == SVC_AUTO_START) unit += "\n[Install]\nWantedBy=multi-user.target\n";
  SVC_Service service = serviceFor(manager, config->name);
  int fd = open(service->unitPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int saved = errno;
    delete service;
    errno = saved;
    return nullptr;
  }
  bool ok = writeAll(fd, unit);
  int saved = errno;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(service->unitPath.c_str());
    delete service;
    errno = saved != 0 ? saved : EIO;
    return nullptr;
  }
  return service;
}

SVC_Service SVC_OpenService(SVC_Manager manager, const char* name) {
  if (manager == nullptr || !validName(name)) {
    errno = EINVAL;
    return nullptr;
  }
  SVC_Service service = serviceFor(manager, name);
  struct stat info;
  if (stat(service->unitPath.c_str(), &info) != 0) {
    int saved = errno;
    delete service;
    errno = saved;
    return nullptr;
  }
  return service;
}

void SVC_CloseService(SVC_Service service) { delete service; }

int SVC_DeleteService(SVC_Service service) {
  if (service == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (unlink(service->unitPath.c_str()) != 0) return -1;
  unlink(service->statusPath.c_str());
  return 0;
}

int SVC_StartService(SVC_Service service) {
  if (service == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::string path = execStartOf(service->unitPath);
  if (path.empty()) {
    errno = ENOEXEC;
    return -1;
  }
  // Held until the first status line is written, so the service's own lines come after it.
  int fd = lockedStatusFile(service->statusPath, O_RDWR);
  if (fd < 0) return -1;
  std::string text;
  pid_t pid = 0;
  SVC_Status status;
  if (!readAll(fd, &text) || !lastStatus(text, &pid, &status)) text.clear();
  if (!text.empty() && status.currentState != SVC_STOPPED && alive(pid)) {
    close(fd);
    errno = EALREADY;
    return -1;
  }

  // Everything the children need is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (strncmp(*e, "OB_SERVICE=", 11) != 0 && strncmp(*e, "OB_SERVICE_STATEDIR=", 20) != 0)
      env.push_back(*e);
  env.push_back("OB_SERVICE=" + service->name);
  env.push_back("OB_SERVICE_STATEDIR=" + service->stateDir);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {path.data(), nullptr};
  sigset_t none;
  sigemptyset(&none);
  struct sigaction defaults;
  memset(&defaults, 0, sizeof defaults);
  defaults.sa_handler = SIG_DFL;

  int pidPipe[2], errorPipe[2];
  if (pipe2(pidPipe, O_CLOEXEC) != 0) {
    close(fd);
    return -1;
  }
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    int saved = errno;
    close(pidPipe[0]);
    close(pidPipe[1]);
    close(fd);
    errno = saved;
    return -1;
  }
  // Twice forked so the service belongs to no caller: the middle process ends at once.
  pid_t middle = fork();
  if (middle == 0) {
    setsid();
    pid_t child = fork();
    if (child == 0) {
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
      }
      for (int signal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP})
        sigaction(signal, &defaults, nullptr);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(argv[0], argv, envp.data());
      int error = errno;
      if (write(errorPipe[1], &error, sizeof error) < 0) _exit(127);
      _exit(127);
    }
    if (write(pidPipe[1], &child, sizeof child) < 0) _exit(1);
    _exit(child > 0 ? 0 : 1);
  }
  close(pidPipe[1]);
  close(errorPipe[1]);
  int saved = errno;
  pid_t child = -1;
  int error = 0;
  if (middle > 0) {
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (read(pidPipe[0], &child, sizeof child) != sizeof child) child = -1;
    if (child > 0 && read(errorPipe[0], &error, sizeof error) != sizeof error) error = 0;
    saved = child > 0 ? error : EAGAIN;
  }
  close(pidPipe[0]);
  close(errorPipe[0]);
  if (middle <= 0 || child <= 0 || error != 0) {
    close(fd);
    errno = saved;
    return -1;
  }
  SVC_Status pending{kOwnProcess, SVC_START_PENDING, 0, 0, 0, 0, 0};
  bool ok = ftruncate(fd, 0) == 0 && writeAll(fd, statusLine(child, pending));
  close(fd);
  return ok ? 0 : -1;
}

int SVC_ControlService(SVC_Service service, uint32_t control, SVC_Status* status) {
  if (service == nullptr) {
    errno = EINVAL;
    return -1;
  }
  pid_t pid = 0;
  SVC_Status current;
  if (!currentStatus(service->statusPath, &pid, &current)) return -1;
  if (status != nullptr) *status = current;
  int signal = 0;
  uint32_t needed = 0;  // the accepted-controls bit the control needs; 0: none
  switch (control) {
    case SVC_CONTROL_STOP: signal = SIGTERM; needed = SVC_ACCEPT_STOP; break;
    case SVC_CONTROL_SHUTDOWN: signal = SIGTERM; needed = SVC_ACCEPT_SHUTDOWN; break;
    case SVC_CONTROL_PAUSE: signal = SIGUSR1; needed = SVC_ACCEPT_PAUSE_CONTINUE; break;
    case SVC_CONTROL_CONTINUE: signal = SIGUSR2; needed = SVC_ACCEPT_PAUSE_CONTINUE; break;
    case SVC_CONTROL_INTERROGATE: signal = SIGHUP; break;
    default:
      errno = ENOTSUP;
      return -1;
  }
  if (current.currentState == SVC_STOPPED) {
    errno = ESRCH;
    return -1;
  }
  if ((needed != 0 && (current.controlsAccepted & needed) == 0) ||
      current.currentState == SVC_STOP_PENDING) {
    errno = EBUSY;
    return -1;
  }
  return kill(pid, signal) == 0 ? 0 : -1;
}

int SVC_QueryServiceStatus(SVC_Service service, SVC_Status* status) {
  if (service == nullptr || status == nullptr) {
    errno = EINVAL;
    return -1;
  }
  pid_t pid = 0;
  return currentStatus(service->statusPath, &pid, status) ? 0 : -1;
}

int SVC_StartServiceCtrlDispatcher(const char* name, SVC_ServiceMain serviceMain) {
  const char* started = getenv("OB_SERVICE");
  if (name == nullptr || serviceMain == nullptr || started == nullptr || strcmp(started, name) != 0) {
    errno = ENOTCONN;
    return 0;
  }
  // Blocked before the service thread exists, so it and every thread it makes inherit the
  // mask and only sigwait below ever takes a stop. They stay blocked after the dispatcher ends:
  // a late stop must not kill a process that is already leaving.
  sigset_t set = controlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  dispatcherName = name;
  dispatcherThread = pthread_self();
  serviceEnded.store(false);
  std::string argument = name;
  std::thread service;
  try {
    service = std::thread([serviceMain, &argument] {
      char* argv[] = {argument.data(), nullptr};
      serviceMain(1, argv);
      serviceEnded.store(true);
      pthread_kill(dispatcherThread, SIGTERM);
    });
  } catch (const std::system_error& e) {
    dispatcherName.clear();
    errno = e.code().value();
    return 0;
  }
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (serviceEnded.load()) break;
    SVC_ControlHandler handler = controlHandler.load();
    if (handler != nullptr) handler(controlOfSignal(signal));
  }
  service.join();
  dispatcherName.clear();
  controlHandler.store(nullptr);
  if (statusData.fd >= 0) close(statusData.fd);
  statusData.fd = -1;
  return 1;
}

SVC_StatusHandle SVC_RegisterServiceCtrlHandler(const char* name, SVC_ControlHandler handler) {
  if (name == nullptr || dispatcherName.empty() || dispatcherName != name) {
    errno = ENOTCONN;
    return nullptr;
  }
  std::string dir = chosenDir(stateDirSet, "OB_SERVICE_STATEDIR", "/run");
  int fd = lockedStatusFile(dir + "/" + name + ".status", O_RDWR | O_APPEND);
  if (fd < 0) return nullptr;
  // A manager that started this process wrote its first line; anything else is an old run.
  std::string text;
  pid_t pid = 0;
  SVC_Status status;
  if (!readAll(fd, &text) || !lastStatus(text, &pid, &status) || pid != getpid())
    if (ftruncate(fd, 0) != 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return nullptr;
    }
  flock(fd, LOCK_UN);
  if (statusData.fd >= 0) close(statusData.fd);
  statusData.fd = fd;
  controlHandler.store(handler);
  return &statusData;
}

int SVC_SetServiceStatus(SVC_StatusHandle handle, const SVC_Status* status) {
  if (handle == nullptr || status == nullptr || handle->fd < 0) {
    errno = EINVAL;
    return 0;
  }
  if (flock(handle->fd, LOCK_EX) != 0) return 0;
  bool ok = writeAll(handle->fd, statusLine(getpid(), *status));
  int saved = errno;
  flock(handle->fd, LOCK_UN);
  errno = saved;
  return ok ? 1 : 0;
}

int SVC_SetConsoleCtrlHandler(SVC_ConsoleHandler handler) {
  static std::atomic<bool> installed{false};
  if (handler == nullptr || installed.exchange(true)) {
    errno = EINVAL;
    return 0;
  }
  sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  try {
    std::thread([handler, set] {
      for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (handler(signal == SIGINT ? SVC_CTRL_C_EVENT : SVC_CTRL_BREAK_EVENT) != 0) continue;
        // Not handled: the signal does what it would have done without a handler.
        struct sigaction defaults;
        memset(&defaults, 0, sizeof defaults);
        defaults.sa_handler = SIG_DFL;
        sigaction(signal, &defaults, nullptr);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(signal);
      }
    }).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    installed.store(false);
    errno = e.code().value();
    return 0;
  }
  return 1;
}

size_t SVC_GetModuleFileName(char* path, size_t size) {
  if (path == nullptr || size == 0) {
    errno = EINVAL;
    return 0;
  }
  ssize_t n = readlink("/proc/self/exe", path, size);
  if (n < 0) {
    path[0] = '\0';
    return 0;
  }
  if (static_cast<size_t>(n) >= size) {
    path[0] = '\0';
    errno = ENAMETOOLONG;
    return 0;
  }
  path[n] = '\0';
  return static_cast<size_t>(n);
}

int SVC_GetUserId(int64_t* userId) {
  uid_t uid = geteuid();
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (userId == nullptr || getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 ||
      found == nullptr)
    return -1;
  *userId = uid;
  return 0;
}
