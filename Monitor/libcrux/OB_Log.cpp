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
};

// Never destroyed: threads may still log while static destructors run at exit.
LogState& state() {
  static LogState* s = new LogState;
  return *s;
}

void writeLocked(FILE* target, const char* format, va_list args) {
  vfprintf(target, format, args);
  fflush(target);
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
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    quit("init: %s can't open directory\n", folder.c_str());
  std::string path = folder + "/" + s.name + ".log";
  s.stream = fopen(path.c_str(), "a+");
  if (s.stream == nullptr) quit("init: %s can't open log file\n", path.c_str());
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
    if (s.stream != nullptr) {
      va_list args;
      va_start(args, format);
      writeLocked(s.stream, format, args);
      va_end(args);
    }
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
  writeLocked(target, format, args);
  va_end(args);
}

void OB_Log::debug(const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  if (s.stream == nullptr || s.debugLevel == 0) return;
  va_list args;
  va_start(args, format);
  writeLocked(s.stream, format, args);
  va_end(args);
}

void OB_Log::log(const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  if (s.stream == nullptr) return;
  va_list args;
  va_start(args, format);
  writeLocked(s.stream, format, args);
  va_end(args);
}

void OB_Log::flog(FILE* stream, const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  FILE* target = stream != nullptr ? stream : s.stream;
  if (target == nullptr) return;
  va_list args;
  va_start(args, format);
  writeLocked(target, format, args);
  va_end(args);
}

void OB_Log::ret(const char* format, ...) {
  LogState& s = state();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  if (s.stream == nullptr) return;
  char now[64];
  OB_Tools::getTimeString1(now);
  fprintf(s.stream, "%s - ", now);
  va_list args;
  va_start(args, format);
  vfprintf(s.stream, format, args);
  va_end(args);
  fputc('\n', s.stream);
  fflush(s.stream);
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
