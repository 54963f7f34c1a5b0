// holdProbe: how long one live connection spends in the analysis readers (isMatch and
// processObject, their locks included) while the console is asked meanwhile. It runs the
// analysis engine whole on a scratch install tree, fills one window with clients, then hands it
// live connections on this thread, the way the capture's stream builder does, while console
// clients on other threads ask every statistics code in a loop, one of them the ranking of every
// client, one reading its replies a byte at a time, and the resolver never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "AEngineTestSupport.h"
#include "ConsoleClient.h"
#include "InstallTree.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_Tools.h"
#include "console/AEngineCommands.h"
#include "console/OB_AEngineMgr.h"
#include "console/OB_AEngineTCPServer.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "windows/OB_HTTPReader.h"

namespace {

using Clock = std::chrono::steady_clock;
using corrana_test::wireLine;
using corrana_test::wireS16;

constexpr uint32_t kWeb = 0x0A000050;  // 10.0.0.80:80

void usage(FILE* out) {
  fprintf(out,
          "usage: holdProbe [--clients N] [--live N] [--seconds S]\n"
          "  --clients N  clients counted before the probe (default 100000)\n"
          "  --live N     live connections timed, at least (default 2000)\n"
          "  --seconds S  at least this long (default 20)\n");
}

// A resolver that never answers within the run.
int silentResolver(uint32_t, char*, size_t) {
  std::this_thread::sleep_for(std::chrono::hours(1));
  return -1;
}

OB_HTTPProtocol* connection(uint32_t client) {
  auto* http = new OB_HTTPProtocol(1, 8);
  http->connTime = 1000;
  http->clientIP = client;
  http->serverIP = kWeb;
  http->serverPort = 80;
  OB_HTTPXact* xact = obQuery<OB_HTTPXact>(http->addXLink());
  if (xact == nullptr) std::abort();  // an exhausted pool: the probe cannot go on
  xact->req_method = "GET";
  xact->req_request_uri = "/";
  xact->res_status_code = "200";
  ++http->commRespCount;
  return http;
}

// Sends a request and reads the reply, all at once or a byte per second (slowly), until the
// server closes or stop is set.
void ask(int port, const std::string& frame, bool slowly, const std::atomic<bool>& stop) {
  int s = corrana_test::connectLoopback(port);
  if (s < 0) return;
  send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  char chunk[4096];
  while (!stop) {
    ssize_t got = recv(s, chunk, slowly ? 1 : sizeof chunk, 0);
    if (got <= 0) break;
    if (slowly) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  close(s);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  uint32_t clients = 100000;
  uint32_t live = 2000;
  double atLeast = 20;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    }
    if (i + 1 < argc && (arg == "--clients" || arg == "--live" || arg == "--seconds")) {
      const double value = atof(argv[++i]);
      if (value <= 0) {
        usage(stderr);
        return 2;
      }
      if (arg == "--clients") clients = static_cast<uint32_t>(value);
      if (arg == "--live") live = static_cast<uint32_t>(value);
      if (arg == "--seconds") atLeast = value;
      continue;
    }
    usage(stderr);
    return 2;
  }

  corrana_test::InstallTree tree;
  const int port = corrana_test::freePort();
  tree.analysisPort(port);
  aengine_test::Spec spec;
  spec.http = {{kWeb, 80, "web", {}}};
  spec.groups = 1;
  aengine_test::writeConfig(spec);
  OB_Tools::setReverseLookup(silentResolver);
  OB_EngineMgr::setSignalHandlers(0);
  OB_NamedStringList options;
  options.setOwner(1);
  options.append(new OB_String("0"), "NetworkStatistics");
  setOptions(&options);
  static const char* args[] = {"holdProbe", nullptr};
  auto* engine = new OB_AEngineMgr(1, const_cast<char**>(args), &options, nullptr, nullptr);
  if (engine->init() != 0 || engine->start() != 0) {
    fprintf(stderr, "holdProbe: the analysis engine did not start on port %d\n", port);
    return 1;
  }
  OB_HTTPReader* reader = engine->getServer(0)->getHTTPAnalysisStats();
  auto fillStart = Clock::now();
  for (uint32_t i = 0; i < clients; ++i) {
    OB_HTTPProtocol* http = connection(0x0B000000u + i);
    reader->processObject(http);
    http->release();
  }
  printf("%u clients counted (%.1f s)\n", clients,
         std::chrono::duration<double>(Clock::now() - fillStart).count());

  // Every statistics code a window answers, with its usual fields where it reads some.
  auto request = [&](int32_t code, const std::string& payload) {
    aengine_test::Request r;
    r.command = code;
    r.key = engine->getMainServer()->getConfigKey();
    r.payload = payload;
    return r.frame();
  };
  std::vector<std::string> every;
  for (int32_t code = 100; code < 8000; ++code) {
    const AEngineCommand* command = aengine_findCommand(code);
    if (command != nullptr && command->handler != nullptr)
      every.push_back(request(code, wireS16(0) + wireS16(10) + wireLine("0.0.0.0") +
                                        wireLine("0.0.0.0")));
  }
  const std::string ranking =
      request(1065, wireS16(0) + wireS16(32767) + wireLine("0.0.0.0") + wireLine("0.0.0.0"));

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> asked{0};
  std::vector<std::thread> consoles;
  consoles.emplace_back([&] {
    while (!stop)
      for (const std::string& frame : every) {
        if (stop) break;
        ask(port, frame, false, stop);
        ++asked;
      }
  });
  consoles.emplace_back([&] {
    while (!stop) {
      ask(port, ranking, false, stop);
      ++asked;
    }
  });
  consoles.emplace_back([&] {
    while (!stop) ask(port, ranking, true, stop);
  });

  // The live road: every connection timed from isMatch to the end of processObject.
  std::vector<double> held;
  held.reserve(live);
  const auto probeStart = Clock::now();
  for (uint32_t i = 0;
       i < live || std::chrono::duration<double>(Clock::now() - probeStart).count() < atLeast;
       ++i) {
    // Half new clients (each a name look-up), half known ones.
    OB_HTTPProtocol* http = connection(i % 2 == 0 ? 0x0C000000u + i : 0x0B000000u + i % clients);
    const auto start = Clock::now();
    if (reader->isMatch(kWeb, 80) != 0) reader->processObject(http);
    held.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    http->release();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - probeStart).count();
  stop = true;
  for (std::thread& console : consoles) console.join();

  std::sort(held.begin(), held.end());
  auto at = [&](double q) { return held[static_cast<size_t>(q * (held.size() - 1))]; };
  printf("%zu live connections in %.1f s beside %llu console replies (every code, the ranking "
         "of all %u clients, one reader at a byte a second, a silent resolver)\n",
         held.size(), elapsed, static_cast<unsigned long long>(asked.load()), clients);
  printf("time in the readers per connection: median %.0f us, p99 %.0f us, p99.9 %.0f us, "
         "longest %.1f ms\n",
         at(0.5), at(0.99), at(0.999), held.back() / 1000);
  engine->stop();
  engine->join(nullptr, 0);
  engine->release();
  setOptions(nullptr);
  OB_Log::reset();
  return 0;
}
