// The one process log: static operations over one text file "<install>/logs/<name>.log", used by
// every deliverable for traces, error lines, time-stamped reports and fatal stops. Every write,
// init and reset runs under one process-wide lock, so a line from one thread is never split by
// another. Every line of the log file begins with the local time as "%Y%b%d-%H:%M" (English
// month) and " - ", however it was written; streams other than the log get the text as it is.
#pragma once

#include <cstdio>

class OB_ExitHandler;

class OB_Log {
 public:
  OB_Log() = delete;

  // Opens "<install>/logs/<name>.log" for appending; ends the process when the folder or the
  // file can't be opened (handler, not owned, already hears of it).
  static void init(const char* name, int debugLevel, OB_ExitHandler* handler);
  // Closes the log and forgets name, level and handler; returns 0.
  static int reset();
  // The log stream, or standard output when no log is open.
  static FILE* getFD();
  // "(errno = N)" for the calling thread's current errno, or "" when it is 0. Thread-local.
  static const char* sys_err_str();
  // Writes the message to the open log, offers it (without its line end) to the exit handler
  // given to init, then ends the process with status 1. The handler is offered one message per
  // process; it must not expect the process to go on.
  [[noreturn]] static void quit(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void debugLevel(FILE* stream, int level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void log(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void flog(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
  // One line: the message and "\n" (after the time, as every line); a line that another call
  // left open is ended first.
  static void ret(const char* format, ...) __attribute__((format(printf, 1, 2)));

  static int getDebugLevel();
  static OB_ExitHandler* getExitHandler();
  static const char* getName();
  // The open log's descriptor, or -1; for writers that may not take a lock (signal handlers).
  static int getDescriptor();

  // Where whoever runs the program sees its errors: every line written to the log (by log, by
  // flog to the log, by ret and by quit, also when the log could not be opened) is written to
  // stream too, once, each line begun with prefix and ": " (ret's without its time). The debug
  // lines are not. Null stops it. Kept across init and reset; prefix is copied.
  static void setEcho(FILE* stream, const char* prefix);
  static FILE* getEcho();
};
