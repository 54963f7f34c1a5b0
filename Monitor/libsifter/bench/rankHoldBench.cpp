// Ranking hold benchmark: how long the capture stands still while the console ranks. An HTTP
// reader takes N new clients as live connections (each with its own resource and referer, as the
// capture engine's HTTP consumer hands them over: isMatch, then processObject), then, while a
// console thread asks 1065 (the busiest 32,767 clients), 1025 (the 32,767 most served resources)
// and 1033 (the 32,767 first referring hosts with their paths) in a loop under the reader's hold
// as the command layer takes it, the capture hands over connections of known clients and the
// longest time one of them took, locks included, is printed beside the longest query.
//
//   rankHoldBench [--clients N[,N...]] [--seconds S] [--rate R] [--waiting]
//
// The capture hands over R connections a second (default 20,000, three times what a busy
// segment brings), spread evenly; 0 hands them over as fast as it can. --waiting takes the reader's lock around each hand-over, as the capture did when it waited for
// a query, for the figures before. Reverse name look-ups answer "no name" without DNS.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "OB_SocketIO.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/HTTPIPTrackingCommands.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "http/ResourcesServedCommands.h"
#include "http/ssReferersSeenData.h"
#include "stats/AnalysisHash.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"

namespace {

using bench::Clock;
using bench::seconds;
using bench::wire16;
constexpr uint32_t kServer = 0x0A000050;      // 10.0.0.80
constexpr uint32_t kFirstClient = 0x0B000000;  // 11.0.0.0 on

void usage(FILE* out) {
  fprintf(out,
          "usage: rankHoldBench [--clients N[,N...]] [--seconds S] [--rate R] [--waiting]\n"
          "  Fills an HTTP reader with N live clients (default 100000,1000000), then prints the\n"
          "  longest time the capture's hand-over of a connection took while the console ran\n"
          "  1065, 1025 and 1033 in a loop for S seconds (default 5).\n"
          "  --rate R   connections handed over a second (default 20000; 0: no pause)\n"
          "  --waiting  the capture takes the reader's lock around each hand-over, as before\n");
}

// One connection of one page; client i asks for its own page, from its own referring host.
OB_HTTPProtocol* page(uint32_t client, uint32_t when) {
  auto* protocol = new OB_HTTPProtocol();
  protocol->connTime = when;
  protocol->clientIP = kFirstClient + client;
  protocol->serverIP = kServer;
  protocol->serverPort = 80;
  auto* xact = obQuery<OB_HTTPXact>(protocol->addXLink());
  const std::string id = std::to_string(client);
  xact->req_method = "GET";
  xact->req_request_uri = ("/page/" + id + ".html").c_str();
  xact->req_http_vers = "1.1";
  xact->req_host = "www.example.com";
  xact->req_referer = ("http://r" + id + ".example.org/from/" + id).c_str();
  xact->res_status_code = "200";
  xact->res_content_type = "text/html";
  ++protocol->commRespCount;
  return protocol;
}

void run(const std::string& dir, uint32_t clients, double loopSeconds, double rate, bool waiting) {
  auto* config = new OB_AEngineConfig();
  snprintf(config->databaseDir, sizeof config->databaseDir, "%s", dir.c_str());
  bench::oneHTTPServer(config, kServer, "www");
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  timeWindow_t record;
  OB_IndexChanger* window = bench::staticWindow(config, &record, "hold", now - 86400, now + 3600);
  auto* reader = new OB_HTTPReader(config, window);
  reader->init();
  reader->start();
  reader->join(nullptr, 0);  // nothing to replay: live from here on

  auto* processor = obQuery<OB_Processor>(reader);
  auto offer = [&](uint32_t client) {
    OB_HTTPProtocol* protocol = page(client, now - 60);
    auto start = Clock::now();
    if (waiting) reader->lock();
    if (reader->isMatch(protocol->serverIP, protocol->serverPort) != 0)
      processor->processObject(protocol);
    if (waiting) reader->unlock();
    const double took = seconds(start);
    protocol->release();
    return took;
  };
  auto fillStart = Clock::now();
  for (uint32_t i = 0; i < clients; ++i) offer(i);
  const double fill = seconds(fillStart);
  printf("%u clients: filled in %.1f s (%.1f us a new client)\n", clients, fill,
         fill / clients * 1e6);
  fflush(stdout);

  struct Query {
    const char* name;
    int (*handler)(OB_HTTPAnalysisStats*, int, OB_AEngineTCPRequest*);
    std::string fields;
    double longest = 0;
    int asked = 0;
  };
  std::vector<Query> queries = {
      {"1065", hcommand_HTTPIPTracking, wire16(0) + wire16(32767) + "0.0.0.0\n0.0.0.0\n"},
      {"1025", hcommand_HTTPServerResourcesServedBreakdown, wire16(32767) + "\n\n"},
      {"1033", hcommand_HTTPServerRefererHostsBreakdown, wire16(32767)},
  };
  std::atomic<bool> done{false};
  std::thread console([&] {
    while (!done)
      for (Query& query : queries) {
        const double took = bench::askAsTheConsole(query.handler, reader, query.fields);
        if (took > query.longest) query.longest = took;
        ++query.asked;
      }
  });
  double longest = 0;
  uint64_t offered = 0;
  uint64_t overFive = 0;  // hand-overs longer than 5 ms
  const uint64_t deferredBefore = reader->getDeferredCount();
  auto loopStart = Clock::now();
  while (seconds(loopStart) < loopSeconds) {
    if (rate > 0) {
      // The next connection's turn; a late one goes at once, as a backlog of the capture would.
      const auto due = loopStart + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(offered / rate));
      while (Clock::now() < due) std::this_thread::yield();
    }
    const double took = offer(static_cast<uint32_t>((offered * 7919u) % clients));
    if (took > longest) longest = took;
    if (took > 0.005) ++overFive;
    ++offered;
  }
  done = true;
  console.join();
  for (const Query& query : queries)
    printf("  %s asked %d times, the longest %.1f ms\n", query.name, query.asked,
           query.longest * 1000);
  printf("  capture (%s): %llu connections handed over, %llu queued, %llu over 5 ms, the "
         "longest %.2f ms\n",
         waiting ? "waiting for the lock" : "never waiting", static_cast<unsigned long long>(offered),
         static_cast<unsigned long long>(reader->getDeferredCount() - deferredBefore),
         static_cast<unsigned long long>(overFive), longest * 1000);
  fflush(stdout);
  reader->stop();
  reader->release();
  window->release();
  config->release();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> sizes = {100000, 1000000};
  double loopSeconds = 5;
  bool waiting = false;
  double rate = 20000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--clients" && i + 1 < argc) {
      sizes.clear();
      char* at = argv[++i];
      for (;;) {
        char* end = nullptr;
        const unsigned long long value = strtoull(at, &end, 10);
        if (end == at || value == 0 || value > 10000000 || (*end != ',' && *end != '\0')) {
          fprintf(stderr, "rankHoldBench: bad client count in %s\n", argv[i]);
          usage(stderr);
          return 2;
        }
        sizes.push_back(static_cast<uint32_t>(value));
        if (*end == '\0') break;
        at = end + 1;
      }
    } else if (arg == "--seconds" && i + 1 < argc) {
      char* end = nullptr;
      loopSeconds = strtod(argv[++i], &end);
      if (*end != '\0' || !(loopSeconds > 0 && loopSeconds <= 3600)) {
        fprintf(stderr, "rankHoldBench: bad seconds %s\n", argv[i]);
        usage(stderr);
        return 2;
      }
    } else if (arg == "--rate" && i + 1 < argc) {
      char* end = nullptr;
      rate = strtod(argv[++i], &end);
      if (*end != '\0' || !(rate >= 0 && rate <= 1e7)) {
        fprintf(stderr, "rankHoldBench: bad rate %s\n", argv[i]);
        usage(stderr);
        return 2;
      }
    } else if (arg == "--waiting") {
      waiting = true;
    } else {
      fprintf(stderr, "rankHoldBench: bad option %s\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }
  char pattern[] = "/tmp/rankHoldBench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    fprintf(stderr, "rankHoldBench: /tmp: %s\n", strerror(errno));
    return 1;
  }
  const std::string dir = pattern;
  if (bench::prepareInstall(dir, "rankHoldBench") != 0) return 1;
  std::error_code error;
  AnalysisHash_init();
  for (uint32_t clients : sizes) run(dir + "/db", clients, loopSeconds, rate, waiting);
  AnalysisHash_free();
  std::filesystem::remove_all(dir, error);
  return 0;
}
