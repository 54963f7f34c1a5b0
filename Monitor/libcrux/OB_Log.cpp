#include "OB_Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "OB_Exception.h"
#include "OB_Tools.h"

namespace {

struct LogState {
  std::recursive_mutex lock;
  char* name = nullptr;
  int debugLevel = 0;
  OB_ExitHandler* handler = nullptr;
  FILE* stream = nullptr;
  FILE* echo = nullptr;
  std::string echoPrefix;
  bool echoAtLineStart = true;  // the last text echoed ended its line
  bool logAtLineStart = true;   // the last text written to the log ended its line
};

// Never destroyed: threads may still log while static destructors run at exit.
LogState& state() {
  static LogState* s = new LogState;
  return *s;
}

std::string formatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  char small[512];
  const int n = vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return text;
}

// Text written in pieces (a line built by several calls) is echoed as it comes, each line
// begun with the prefix once.
void echoLocked(LogState& s, const std::string& text) {
  if (s.echo == nullptr || text.empty()) return;
  size_t begin = 0;
  while (begin < text.size()) {
    if (s.echoAtLineStart) fprintf(s.echo, "%s: ", s.echoPrefix.c_str());
    size_t end = text.find('\n', begin);
    const size_t stop = end == std::string::npos ? text.size() : end + 1;
    fwrite(text.data() + begin, 1, stop - begin, s.echo);
    s.echoAtLineStart = end != std::string::npos;
    begin = stop;
  }
  fflush(s.echo);
}

// Writes text to the log, each line begun with the local time and " - " once (a line built by
// several calls gets one), so that every line of the log says when it was written.
void stampedLocked(LogState& s, const std::string& text) {
  char now[64];
  OB_Tools::getTimeString1(now);
  size_t begin = 0;
  while (begin < text.size()) {
    if (s.logAtLineStart) fprintf(s.stream, "%s - ", now);
    size_t end = text.find('\n', begin);
    const size_t stop = end == std::string::npos ? text.size() : end + 1;
    fwrite(text.data() + begin, 1, stop - begin, s.stream);
    s.logAtLineStart = end != std::string::npos;
    begin = stop;
  }
  fflush(s.stream);
}

// Writes to target; with echo, what goes to the log itself is echoed.
void writeLocked(LogState& s, FILE* target, bool echo, const char* format, va_list args) {
  const std::string text = formatted(format, args);
  if (target == s.stream) {
    stampedLocked(s, text);
  } else {
    fwrite(text.data(), 1, text.size(), target);
    fflush(target);
  }
  if (echo && target == s.stream) echoLocked(s, text);
}

}  // namespace

void OB_Log::init(const char* name, int debugLevel, OB_ExitHandler* handler) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  reset();
  s.name = strdup(name != nullptr ? name : "");
  // Kept first, so that a log that cannot be opened is still reported through the handler.
  s.handler = handler;
  std::string folder = std::string(OB_Tools::getInstallDir()) + "/logs";
  struct stat info;
  const bool exists = stat(folder.c_str(), &info) == 0;
  const int missing = errno;
  if (!exists || !S_ISDIR(info.st_mode))
    quit("the log folder %s can't be opened: %s\n", folder.c_str(),
         exists ? "not a folder" : strerror(missing));
  std::string path = folder + "/" + s.name + ".log";
  s.stream = fopen(path.c_str(), "a+");
  s.logAtLineStart = true;
  if (s.stream == nullptr) {
    const int error = errno;
    quit("can't open the log file %s: %s%s\n", path.c_str(), strerror(error),
         error == EACCES ? " (run it as the owner of the install directory, or as root)" : "");
  }
  s.debugLevel = debugLevel;
}

int OB_Log::reset() {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  free(s.name);
  s.name = nullptr;
  s.debugLevel = 0;
  s.handler = nullptr;
  if (s.stream != nullptr) fclose(s.stream);
  s.stream = nullptr;
  return 0;
}

FILE* OB_Log::getFD() {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  return s.stream != nullptr ? s.stream : stdout;
}

int OB_Log::getDescriptor() {
  FILE* stream = state().stream;
  return stream != nullptr ? fileno(stream) : -1;
}

const char* OB_Log::sys_err_str() {
  thread_local char text[64];
  int error = errno;
  if (error == 0) {
    text[0] = '\0';
  } else {
    snprintf(text, sizeof text, "(errno = %d)", error);
  }
  return text;
}

void OB_Log::quit(const char* format, ...) {
  LogState& s = state();
  OB_ExitHandler* handler;
  {
    std::lock_guard<std::recursive_mutex> hold(s.lock);
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    if (s.stream != nullptr) stampedLocked(s, text);
    // Also when the log itself could not be opened: the reason must reach someone.
    echoLocked(s, text.empty() || text.back() == '\n' ? text : text + "\n");
    handler = s.handler;
  }
  // The program's own report of the fatal stop (the service writes an error event), offered
  // once: a handler that itself ends up here does not go round again.
  static std::atomic<bool> offered{false};
  if (handler != nullptr && !offered.exchange(true)) {
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    size_t length = strlen(message);
    while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r'))
      message[--length] = '\0';
    handler->handleExit(message);
  }
  // No static destructors and no atexit functions: other threads may still be running.
  fflush(nullptr);
  _exit(1);
}

void OB_Log::debugLevel(FILE* stream, int level, const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  FILE* target = stream != nullptr ? stream : s.stream;
  if (target == nullptr || level > s.debugLevel) return;
  va_list args;
  va_start(args, format);
  writeLocked(s, target, false, format, args);
  va_end(args);
}

void OB_Log::debug(const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  if (s.stream == nullptr || s.debugLevel == 0) return;
  va_list args;
  va_start(args, format);
  writeLocked(s, s.stream, false, format, args);
  va_end(args);
}

void OB_Log::log(const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  if (s.stream == nullptr) return;
  va_list args;
  va_start(args, format);
  writeLocked(s, s.stream, true, format, args);
  va_end(args);
}

void OB_Log::flog(FILE* stream, const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  FILE* target = stream != nullptr ? stream : s.stream;
  if (target == nullptr) return;
  va_list args;
  va_start(args, format);
  writeLocked(s, target, true, format, args);
  va_end(args);
}

void OB_Log::ret(const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  if (s.stream == nullptr) return;
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args) + "\n";
  va_end(args);
  // A line another call left open is ended first: this one has its own time.
  if (!s.logAtLineStart) stampedLocked(s, "\n");
  stampedLocked(s, text);
  echoLocked(s, text);
}

int OB_Log::getDebugLevel() {
  std::lock_guard<std::recursive_mutex> hold(state().lock);
  return state().debugLevel;
}

OB_ExitHandler* OB_Log::getExitHandler() {
  std::lock_guard<std::recursive_mutex> hold(state().lock);
  return state().handler;
}

const char* OB_Log::getName() {
  std::lock_guard<std::recursive_mutex> hold(state().lock);
  return state().name;
}

void OB_Log::setEcho(FILE* stream, const char* prefix) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  s.echo = stream;
  s.echoPrefix = prefix != nullptr ? prefix : "";
  s.echoAtLineStart = true;
}

FILE* OB_Log::getEcho() {
  std::lock_guard<std::recursive_mutex> hold(state().lock);
  return state().echo;
}
