#include "service.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

struct SVC_ManagerData {
  std::string unitDir;
  std::string stateDir;
  std::string systemctl;  // empty: no systemd
};

struct SVC_ServiceData {
  std::string name;
  std::string unitPath;
  std::string statusPath;
  std::string stateDir;  // the service's own state folder, "<state dir>/<name>"
  std::string systemctl;
  time_t started = 0;  // the last SVC_StartService through systemd, s since the epoch; 0: none
};

struct SVC_StatusData {
  int fd = -1;
};

namespace {

constexpr uint32_t kOwnProcess = 16;

std::mutex directoryLock;
std::string unitDirSet;
std::string stateDirSet;
bool systemctlChosen = false;
std::string systemctlSet;
std::string journalctlSet = "journalctl";
constexpr const char* kSystemdUnitDir = "/etc/systemd/system";
constexpr const char* kDefaultStateDir = "/run";

thread_local std::string lastErrorText;

// Fails with errno error and, when given, a text of its own.
void failWith(int error, const std::string& text = std::string()) {
  lastErrorText = text;
  errno = error;
}

// The systemctl the manager runs, or "" when systemd does not run this machine's services: its
// folder /run/systemd/system is missing, or the units go to a folder that is not systemd's.
std::string systemctlProgram(const std::string& unitDir) {
  {
    std::lock_guard<std::mutex> guard(directoryLock);
    if (systemctlChosen) return systemctlSet;
  }
  if (unitDir != kSystemdUnitDir) return "";
  struct stat info;
  if (stat("/run/systemd/system", &info) != 0 || !S_ISDIR(info.st_mode)) return "";
  return "systemctl";
}

// Runs systemctl with args, its messages on this program's streams (its standard error on
// /dev/null when quiet: a step whose failure means nothing, such as clearing a failed state
// that is not there). True when it exits 0; else the last error text says which command failed
// and how.
bool systemctl(const std::string& program, std::vector<std::string> args, bool quiet = false) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::string command = "systemctl";
  for (const std::string& a : args) command += " " + a;
  fflush(stdout);
  pid_t child = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  int error = posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    failWith(error, command + ": " + strerror(error));
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      failWith(errno, command + ": " + strerror(errno));
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  char how[64];
  if (WIFEXITED(status))
    snprintf(how, sizeof how, "exit status %d", WEXITSTATUS(status));
  else
    snprintf(how, sizeof how, "ended by signal %d", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  failWith(EIO, command + ": " + how);
  return false;
}

bool findAccount(const char* account, uid_t* uid, gid_t* gid, std::string* name) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwnam_r(account, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
    return false;
  *uid = found->pw_uid;
  *gid = found->pw_gid;
  *name = found->pw_name;
  return true;
}

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

// Tells systemd, when it started this process and waits for word of it, the state reported.
// Failures are not looked at: the status file holds the same.
void notifySystemd(const SVC_Status& status) {
  const char* socketName = getenv("NOTIFY_SOCKET");
  if (socketName == nullptr || (socketName[0] != '/' && socketName[0] != '@')) return;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const size_t length = strlen(socketName);
  if (length >= sizeof address.sun_path) return;
  memcpy(address.sun_path, socketName, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract name
  std::string message;
  switch (status.currentState) {
    case SVC_START_PENDING: message = "STATUS=Starting"; break;
    case SVC_RUNNING: message = "READY=1\nSTATUS=Running"; break;
    case SVC_PAUSE_PENDING: message = "STATUS=Pausing"; break;
    case SVC_PAUSED: message = "STATUS=Paused"; break;
    case SVC_CONTINUE_PENDING: message = "STATUS=Continuing"; break;
    case SVC_STOP_PENDING: message = "STOPPING=1\nSTATUS=Stopping"; break;
    case SVC_STOPPED:
      message = status.serviceSpecificExitCode == 0
                    ? "STATUS=Stopped"
                    : "STATUS=Stopped with error " + std::to_string(status.serviceSpecificExitCode);
      break;
    default: return;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length));
  close(fd);
}

}  // namespace

void SVC_SetDirectories(const char* unitDir, const char* stateDir) {
  std::lock_guard<std::mutex> guard(directoryLock);
  unitDirSet = unitDir != nullptr ? unitDir : "";
  stateDirSet = stateDir != nullptr ? stateDir : "";
}

void SVC_SetSystemctl(const char* program) {
  std::lock_guard<std::mutex> guard(directoryLock);
  systemctlChosen = program != nullptr;
  systemctlSet = program != nullptr ? program : "";
}

void SVC_SetJournalctl(const char* program) {
  std::lock_guard<std::mutex> guard(directoryLock);
  journalctlSet = program != nullptr ? program : "journalctl";
}

size_t SVC_GetJournalTail(SVC_Service service, char* text, size_t size) {
  if (text == nullptr || size == 0) return 0;
  text[0] = '\0';
  if (service == nullptr || service->systemctl.empty() || service->started == 0) return 0;
  std::string program;
  {
    std::lock_guard<std::mutex> guard(directoryLock);
    program = journalctlSet;
  }
  // From the second before the start: the journal keeps whole seconds of the start's lines.
  std::vector<std::string> words = {program, "--unit=" + service->name + ".service",
                                    "--since=@" + std::to_string(service->started - 1),
                                    "--lines=10", "--output=cat", "--no-pager", "--quiet"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  const int error = posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string lines;
  if (error == 0) {
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      // Only the tail fits: the last lines say why the start failed.
      lines.append(buffer, static_cast<size_t>(n));
      if (lines.size() > 65536) lines.erase(0, lines.size() - 65536);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  close(out[0]);
  if (lines.size() >= size) lines.erase(0, lines.size() - (size - 1));
  memcpy(text, lines.data(), lines.size());
  text[lines.size()] = '\0';
  return lines.size();
}

int SVC_UsesSystemd() {
  return systemctlProgram(chosenDir(unitDirSet, "OB_SERVICE_UNITDIR", kSystemdUnitDir)).empty()
             ? 0
             : 1;
}

const char* SVC_GetLastErrorText() { return lastErrorText.c_str(); }

int SVC_AccountCanWrite(const char* account, const char* folder) {
  uid_t uid;
  gid_t gid;
  std::string name;
  if (account == nullptr || folder == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!findAccount(account, &uid, &gid, &name)) {
    errno = ENOENT;
    return -1;
  }
  if (uid == geteuid()) return access(folder, W_OK | X_OK) == 0 ? 1 : 0;
  // The account's groups, found before fork: after it only async-signal-safe calls.
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(static_cast<size_t>(count));
  if (geteuid() != 0) {
    // Without the right to become the account, the folder's mode bits tell.
    struct stat info;
    if (stat(folder, &info) != 0) return 0;
    if (info.st_uid == uid) return (info.st_mode & S_IWUSR) != 0 ? 1 : 0;
    for (gid_t g : groups)
      if (g == info.st_gid) return (info.st_mode & S_IWGRP) != 0 ? 1 : 0;
    return (info.st_mode & S_IWOTH) != 0 ? 1 : 0;
  }
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
      _exit(2);
    _exit(access(folder, W_OK | X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 2) {
    errno = EPERM;
    return -1;
  }
  return WEXITSTATUS(status) == 0 ? 1 : 0;
}

SVC_Manager SVC_OpenManager() {
  lastErrorText.clear();
  auto* manager = new SVC_ManagerData{chosenDir(unitDirSet, "OB_SERVICE_UNITDIR", kSystemdUnitDir),
                                      chosenDir(stateDirSet, "OB_SERVICE_STATEDIR", kDefaultStateDir),
                                      ""};
  manager->systemctl = systemctlProgram(manager->unitDir);
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
  const std::string own = manager->stateDir + "/" + name;
  return new SVC_ServiceData{name, manager->unitDir + "/" + name + ".service",
                             own + "/" + name + ".status", own, manager->systemctl};
}

// The unit of config. The service's state folder is made by systemd for the service's account
// when it lies in /run, else by the manager.
static std::string unitText(const SVC_ServiceData& service, const SVC_ServiceConfig* config,
                     bool runtimeDirectory) {
  std::string unit = "[Unit]\nDescription=" + escapedPercent(config->displayName) +
                     // The interface to capture on must be there.
                     "\nWants=network-online.target\nAfter=network-online.target\n"
                     // A start that keeps failing gives up, failed, rather than going on for ever.
                     "StartLimitIntervalSec=60\nStartLimitBurst=5\n";
  unit += "\n[Service]\nType=notify\nExecStart=" + quoted(config->path) +
          "\nEnvironment=" + quoted((std::string("OB_SERVICE=") + config->name).c_str()) + " " +
          quoted(("OB_SERVICE_STATEDIR=" + service.stateDir).c_str()) + "\n";
  if (config->account != nullptr) {
    // A live capture opens a packet socket, which needs CAP_NET_RAW; promiscuous mode is asked
    // for on that socket (a packet membership) and needs nothing more. The account gets that
    // one capability, and the bounding set keeps it from ever gaining another.
    unit += "User=" + escapedPercent(config->account) +
            "\nAmbientCapabilities=CAP_NET_RAW\nCapabilityBoundingSet=CAP_NET_RAW\n";
  }
  // Kept after a stop: its last line is how the service ended.
  if (runtimeDirectory)
    unit += "RuntimeDirectory=" + service.name + "\nRuntimeDirectoryPreserve=yes\n";
  // Started again when it ends by itself, failing or not: the console's restart commands end the
  // process on purpose. A stop through systemd stays a stop.
  unit += "Restart=always\nRestartSec=3\n";
  if (config->startType == SVC_AUTO_START) unit += "\n[Install]\nWantedBy=multi-user.target\n";
  return unit;
}

SVC_Service SVC_CreateService(SVC_Manager manager, const SVC_ServiceConfig* config) {
  lastErrorText.clear();
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
  uid_t uid = 0;
  gid_t gid = 0;
  std::string accountName;
  if (config->account != nullptr) {
    if (manager->systemctl.empty()) {
      failWith(ENOTSUP, std::string("no account (") + config->account +
                            ") without systemd: the service runs as whoever starts it");
      return nullptr;
    }
    if (!findAccount(config->account, &uid, &gid, &accountName)) {
      failWith(ENOENT, std::string("no account named ") + config->account);
      return nullptr;
    }
  }
  SVC_Service service = serviceFor(manager, config->name);
  const bool runtimeDirectory = !manager->systemctl.empty() && manager->stateDir == kDefaultStateDir;
  const std::string unit = unitText(*service, config, runtimeDirectory);
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
  if (ok && !runtimeDirectory) {
    // The state folder the manager makes, the account's when there is one.
    ok = (mkdir(service->stateDir.c_str(), 0755) == 0 || errno == EEXIST) &&
         (config->account == nullptr || chown(service->stateDir.c_str(), uid, gid) == 0);
    saved = errno;
  }
  if (!ok) {
    unlink(service->unitPath.c_str());
    delete service;
    errno = saved != 0 ? saved : EIO;
    return nullptr;
  }
  if (!service->systemctl.empty()) {
    const std::string unitName = service->name + ".service";
    if (!systemctl(service->systemctl, {"daemon-reload"}) ||
        (config->startType == SVC_AUTO_START &&
         !systemctl(service->systemctl, {"enable", "--quiet", unitName}))) {
      const std::string text = lastErrorText;
      saved = errno;
      unlink(service->unitPath.c_str());
      systemctl(service->systemctl, {"daemon-reload"});
      delete service;
      failWith(saved, text);
      return nullptr;
    }
  }
  return service;
}

int SVC_IsInstalledAs(SVC_Manager manager, const SVC_ServiceConfig* config) {
  if (manager == nullptr || config == nullptr || !validName(config->name) ||
      config->displayName == nullptr || config->path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  SVC_Service service = serviceFor(manager, config->name);
  const bool runtimeDirectory = !manager->systemctl.empty() && manager->stateDir == kDefaultStateDir;
  const std::string wanted = unitText(*service, config, runtimeDirectory);
  const int fd = open(service->unitPath.c_str(), O_RDONLY | O_CLOEXEC);
  delete service;
  if (fd < 0) return -1;
  std::string text;
  const bool read = readAll(fd, &text);
  const int saved = errno;
  close(fd);
  if (!read) {
    errno = saved;
    return -1;
  }
  return text == wanted ? 1 : 0;
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

const char* SVC_GetUnitPath(SVC_Service service) {
  return service != nullptr ? service->unitPath.c_str() : "";
}

int SVC_DeleteService(SVC_Service service) {
  if (service == nullptr) {
    errno = EINVAL;
    return -1;
  }
  lastErrorText.clear();
  const std::string unitName = service->name + ".service";
  // Not enabled (installed on demand) is no failure.
  if (!service->systemctl.empty()) {
    systemctl(service->systemctl, {"disable", "--quiet", unitName}, true);
    // A unit that failed is remembered by systemd until told otherwise, while it is loaded.
    systemctl(service->systemctl, {"reset-failed", unitName}, true);
  }
  if (unlink(service->unitPath.c_str()) != 0) return -1;
  unlink(service->statusPath.c_str());
  rmdir(service->stateDir.c_str());
  if (!service->systemctl.empty() && !systemctl(service->systemctl, {"daemon-reload"})) return -1;
  lastErrorText.clear();
  return 0;
}

int SVC_StartService(SVC_Service service) {
  if (service == nullptr) {
    errno = EINVAL;
    return -1;
  }
  lastErrorText.clear();
  if (!service->systemctl.empty()) {
    // Up already: systemctl's start would succeed without a word. A start still pending or a
    // stop on its way is left to systemctl, which waits for it.
    pid_t pid = 0;
    SVC_Status current;
    if (currentStatus(service->statusPath, &pid, &current) &&
        current.currentState != SVC_STOPPED && current.currentState != SVC_START_PENDING &&
        current.currentState != SVC_STOP_PENDING) {
      errno = EALREADY;
      return -1;
    }
    const std::string unitName = service->name + ".service";
    // A start asked for by hand is a new try after a start limit reached.
    systemctl(service->systemctl, {"reset-failed", unitName}, true);
    lastErrorText.clear();
    service->started = time(nullptr);
    return systemctl(service->systemctl, {"start", unitName}) ? 0 : -1;
  }
  if (mkdir(service->stateDir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
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
  lastErrorText.clear();
  pid_t pid = 0;
  SVC_Status current;
  if (!currentStatus(service->statusPath, &pid, &current)) return -1;
  if (status != nullptr) *status = current;
  if (!service->systemctl.empty() &&
      (control == SVC_CONTROL_STOP || control == SVC_CONTROL_SHUTDOWN)) {
    // Also when it does not run: systemd may be about to start it again.
    const bool running = current.currentState != SVC_STOPPED;
    if (!systemctl(service->systemctl, {"stop", service->name + ".service"})) return -1;
    if (!running) {
      errno = ESRCH;
      return -1;
    }
    return 0;
  }
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
  lastErrorText.clear();
  std::string dir = chosenDir(stateDirSet, "OB_SERVICE_STATEDIR", kDefaultStateDir);
  const std::string path = dir + "/" + name + ".status";
  int fd = lockedStatusFile(path, O_RDWR | O_APPEND);
  if (fd < 0) {
    failWith(errno, "can't write the status file " + path + ": " + strerror(errno));
    return nullptr;
  }
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
  notifySystemd(*status);
  errno = saved;
  return ok ? 1 : 0;
}

int SVC_SetConsoleCtrlHandler(SVC_ConsoleHandler handler, SVC_ControlHandler controls) {
  static std::atomic<bool> installed{false};
  if (handler == nullptr || installed.exchange(true)) {
    errno = EINVAL;
    return 0;
  }
  sigset_t set = controls != nullptr ? controlSignals() : stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  try {
    std::thread([handler, controls, set] {
      for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal != SIGTERM && signal != SIGINT) {
          controls(controlOfSignal(signal));
          continue;
        }
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
