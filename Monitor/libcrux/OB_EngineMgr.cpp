#include "OB_EngineMgr.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <thread>

#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_String.h"

namespace {

std::atomic<int> installHandlers{1};

// Writes "called the <function> function.  signo=<n>\n" to the log's descriptor. Only
// async-signal-safe calls: no stdio, no lock, no allocation.
void writeSignalLine(const char* function, int signo) {
  int descriptor = OB_Log::getDescriptor();
  if (descriptor < 0) return;
  char line[96];
  size_t length = 0;
  auto put = [&](const char* text) {
    while (*text != '\0' && length < sizeof line) line[length++] = *text++;
  };
  put("called the ");
  put(function);
  put(" function.  signo=");
  char digits[12];
  int count = 0;
  unsigned int value = signo < 0 ? 0u - static_cast<unsigned int>(signo)
                                 : static_cast<unsigned int>(signo);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < static_cast<int>(sizeof digits));
  if (signo < 0) put("-");
  while (count > 0 && length < sizeof line) line[length++] = digits[--count];
  put("\n");
  ssize_t ignored = write(descriptor, line, length);
  (void)ignored;
}

void doNothing(int signo) {
  int saved = errno;
  writeSignalLine("doNothing", signo);
  errno = saved;
}

void doQuit(int signo) {
  int saved = errno;
  writeSignalLine("doQuit", signo);
  errno = saved;
}

void printUsage() {
  fputs("Usage: program [ -i ] [ -r ] [ -v ]\n", stdout);
  fputs("       i = start in interactive debugging mode\n", stdout);
  fputs("       r = give this process a real-time priority\n", stdout);
  fputs("       v = verbose debuging output\n", stdout);
  fflush(stdout);
}

}  // namespace

OB_EngineMgr::OB_EngineMgr(int argc, char** argv, OB_NamedStringList* optionList,
                           OB_ExitHandler* exitHandler)
    : options(optionList) {
  startTime = static_cast<int32_t>(time(nullptr));
  if (installHandlers.load() != 0) installSignalHandlers();

  int verbose = 0;
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    const char* argument = argv[i];
    if (argument == nullptr || argument[0] != '-' || strlen(argument) != 2) continue;
    switch (argument[1]) {
      case '?':
      case 'h':
        printUsage();
        break;
      case 'i':
        interactive = 1;
        break;
      case 'v':
        verbose = 1;
        break;
      default:
        break;
    }
  }

  char name[256];
  logNameOf(argv != nullptr && argc > 0 ? argv[0] : nullptr, name, sizeof name);

  // Kept as it has always been: "Debug" 0 turns the trace on, any other value leaves it to "-v".
  int level = verbose;
  if (options != nullptr) {
    OB_String* value = options->find("Debug");
    if (value != nullptr && strtol(static_cast<const char*>(*value), nullptr, 10) == 0) level = 1;
  }
  OB_Log::init(name, level, exitHandler);
  liveManagers().fetch_add(1);
}

OB_EngineMgr::~OB_EngineMgr() {
  // The log is the process's: the engine released last closes it, so that another engine's last
  // lines (the capture's archive closing, after the analysis engine went) still reach it.
  if (liveManagers().fetch_sub(1) == 1) OB_Log::reset();
}

std::atomic<int>& OB_EngineMgr::liveManagers() {
  static std::atomic<int> count{0};
  return count;
}

int OB_EngineMgr::init() { return 0; }

int OB_EngineMgr::input() { return 0; }

int32_t OB_EngineMgr::getStartTime() { return startTime; }

OB_Config* OB_EngineMgr::getConfigAdmin() { return &configAdmin; }

OB_Config* OB_EngineMgr::getConfig() { return &configDef; }

bool OB_EngineMgr::joinWithin(int ms) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([this, done, ms] {
    join(nullptr, ms);
    done->set_value();
  }).detach();
  return ended.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

int OB_EngineMgr::cleanup(int /*unused*/) {
  fputs("Quitting capture engine.", stdout);
  fflush(stdout);
  fputs("\n", stdout);
  // Other threads may still run: no static destructors, no exit handlers.
  fflush(nullptr);
  _exit(0);
}

char* OB_EngineMgr::logNameOf(const char* path, char* name, int size) {
  if (name == nullptr || size < 1) return name;
  const char* base = path != nullptr ? path : "program.log";
  for (const char* p = base; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  size_t length = strcspn(base, ".");
  if (length == 0) {
    base = "program";
    length = strlen(base);
  }
  if (length > static_cast<size_t>(size - 1)) length = static_cast<size_t>(size - 1);
  memcpy(name, base, length);
  name[length] = '\0';
  return name;
}

void OB_EngineMgr::setSignalHandlers(int install) { installHandlers.store(install); }

void OB_EngineMgr::installSignalHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = doNothing;
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = doQuit;
  sigaction(SIGINT, &action, nullptr);
}
