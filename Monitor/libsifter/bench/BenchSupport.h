// What the benchmark programs beside this header share: their clocks and memory readers, the
// scratch install tree they run in, and the one-server configuration and static window they
// count into. Header only: each benchmark is one program of its own.
#pragma once

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "console/OB_AEngineTCPRequest.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// Wall seconds since a point.
inline double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The process's CPU seconds so far, user and system, every thread.
inline double cpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM": the peak), 0 when unknown.
inline long statusKB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field) + 1);
  return 0;
}

// The reverse look-up of a network without PTR records: never a name, never DNS.
inline int noName(uint32_t /*address*/, char* /*name*/, size_t /*size*/) { return -1; }

// Makes dir an install tree for the engine (its db and logs folders), points the engine at it,
// starts the log under program's name and answers every reverse look-up with no name. 0, or -1
// with the reason on standard error when a folder cannot be made.
inline int prepareInstall(const std::string& dir, const char* program) {
  std::error_code error;
  std::filesystem::create_directories(dir + "/db", error);
  if (!error) std::filesystem::create_directories(dir + "/logs", error);
  if (error) {
    fprintf(stderr, "%s: %s: %s\n", program, dir.c_str(), error.message().c_str());
    return -1;
  }
  setenv("OB_INSTALLDIR", dir.c_str(), 1);
  OB_Log::init(program, 0, nullptr);
  OB_Tools::setReverseLookup(noName);
  return 0;
}

// Gives config its one HTTP server: address (host order), port 80, named name.
inline void oneHTTPServer(OB_AEngineConfig* config, uint32_t address, const char* name) {
  config->numOfHTTPServers = 1;
  config->httpServers = new OB_HTTPServer*[1];
  config->httpServers[0] = OB_HTTPServer::create();
  config->httpServers[0]->setIPAddress(address);
  config->httpServers[0]->setName(name);
}

// A static window [ago, now) of 100 bins named name over config, initialised; record outlives
// the window. The caller releases the window.
inline OB_IndexChanger* staticWindow(OB_AEngineConfig* config, timeWindow_t* record,
                                     const char* name, uint32_t ago, uint32_t now) {
  *record = timeWindow_t{};
  snprintf(record->name, sizeof record->name, "%s", name);
  record->windowType = OB_IndexChanger::kStaticWindow;
  record->staticAgoTime = ago;
  record->staticNowTime = now;
  record->staticNumOfBins = 100;
  auto* window = new OB_IndexChanger();
  window->setConfig(config);
  window->setTimeWindow(record);
  window->init();
  return window;
}

// A console request field of 16 bits, big-endian.
inline std::string wire16(int16_t value) {
  const auto bits = static_cast<uint16_t>(value);
  return {static_cast<char>(bits >> 8), static_cast<char>(bits & 0xFF)};
}

// Runs handler(stats, socket, request) as the command layer runs a command: its fields arrive
// through a socket pair, the reply is built in memory inside hold (called with the work to do
// under whatever lock the caller's case takes) and sent after it to a thread that drains it. The
// handler's seconds, or -1 when it or the socket pair failed; *replyBytes, when given, the
// reply's size.
template <class Stats, class Handler, class Hold>
double timeHandler(Handler handler, Stats* stats, const std::string& fields, Hold hold,
                   size_t* replyBytes = nullptr) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return -1;
  if (write(ends[1], fields.data(), fields.size()) != static_cast<ssize_t>(fields.size())) {
    close(ends[0]);
    close(ends[1]);
    return -1;
  }
  size_t got = 0;
  std::thread drain([&got, far = ends[1]] {
    char chunk[65536];
    ssize_t n;
    while ((n = read(far, chunk, sizeof chunk)) > 0) got += static_cast<size_t>(n);
  });
  OB_AEngineTCPRequest request;
  request.itemIndex = 0;
  request.subset = 0;
  std::string reply;
  int result = 0;
  double took = 0;
  hold([&] {
    const auto start = Clock::now();
    {
      OB_SocketReply capture(ends[0], &reply);
      result = handler(stats, ends[0], &request);
    }
    took = seconds(start);
  });
  if (writeJ_n_chars(ends[0], reply.data(), static_cast<int>(reply.size())) < 0) result = -1;
  shutdown(ends[0], SHUT_WR);
  drain.join();
  close(ends[0]);
  close(ends[1]);
  if (replyBytes != nullptr) *replyBytes = got;
  return result == 0 ? took : -1;
}

// A query on reader as the console holds it: under the reader's query hold, which counts what
// the capture queued meanwhile as it takes and as it leaves the lock.
template <class Handler>
double askAsTheConsole(Handler handler, OB_HTTPReader* reader, const std::string& fields) {
  return timeHandler(handler, static_cast<OB_HTTPAnalysisStats*>(reader), fields,
                     [reader](auto&& work) {
                       OB_ReaderQueryHold hold(reader);
                       work();
                     });
}

}  // namespace bench
