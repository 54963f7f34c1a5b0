// scaleBench: what the whole monitor costs as the clients it has seen grow. For each N it writes
// a savefile of N HTTP connections, one request each, every one from a client of its own for a
// resource and with a referer of its own, and replays it through the capture road as the
// monitor wires it (packet manager, network statistics consumer, stream builder, HTTP consumer)
// into the analysis engine's HTTP reader of one window. It prints the cost per transaction, the
// peak memory, and then the longest time a live connection spends in the reader (isMatch and
// processObject, as the stream builder calls them) while a console thread asks the rankings
// 1065, 1025 and 1033 in a loop under the reader's lock, as the console's command layer does.
// Each N runs in a process of its own, so that its peak memory is its own.
//
//   scaleBench [--keep DIR] [--seconds S] [N ...]      (default N: 10000 100000 300000 1000000)
//
// Reverse name look-ups answer "no name" at once, as on a network without PTR records.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "FrameBuilder.h"
#include "OB_Log.h"
#include "OB_NetConsumer.h"
#include "OB_SocketIO.h"
#include "Road.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/HTTPIPTrackingCommands.h"
#include "http/ResourcesServedCommands.h"
#include "http/ssReferersSeenData.h"
#include "stats/AnalysisHash.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"

namespace {

using bench::Clock;
using bench::cpuSeconds;
using bench::seconds;
using bench::statusKB;
using bench::wire16;

constexpr uint32_t kServer = 0x0A000050;  // 10.0.0.80:80
constexpr uint32_t kFirstClient = 0x0B000000;  // 11.0.0.0 on, one address a client

void usage(FILE* out) {
  fprintf(out,
          "usage: scaleBench [--keep DIR] [--seconds S] [N ...]\n"
          "  Replays N connections of distinct clients, resources and referers through the\n"
          "  capture road into the analysis engine, for each N given (default 10000 100000\n"
          "  300000 1000000), and prints us per transaction, peak memory and the longest wait\n"
          "  of a live connection while the console ranks.\n"
          "  --keep DIR   work in DIR and leave the savefiles there\n"
          "  --seconds S  how long the console ranks beside the live connections (default 3)\n");
}

void put32(FILE* out, uint32_t value) { fwrite(&value, 4, 1, out); }

// The savefile of n connections: client i asks for its own resource with its own referer and
// gets a small page. Written frame by frame, so its size never sits in memory.
bool writeTrace(const std::string& path, uint32_t n, uint32_t start) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) {
    fprintf(stderr, "scaleBench: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  put32(out, 0xA1B2C3D4);
  put32(out, 0x00040002);  // version 2.4
  put32(out, 0);
  put32(out, 0);
  put32(out, 65535);
  put32(out, 1);  // Ethernet
  using corrana_test::TcpConversation;
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\nhello";
  for (uint32_t i = 0; i < n; ++i) {
    TcpConversation::Endpoint client{kFirstClient + i, static_cast<uint16_t>(20000 + i % 40000),
                                     {0x02, 0, 0, 0, 0, 1}};
    TcpConversation::Endpoint server{kServer, 80, {0x02, 0, 0, 0, 0, 2}};
    // 40 µs a connection: a million take 40 s of trace time.
    TcpConversation conversation(client, server, uint64_t{start} * 1000000u + uint64_t{i} * 40,
                                 1000 + i, 500000 + i);
    conversation.step(5).handshake();
    const std::string request = "GET /item" + std::to_string(i) +
                                ".html HTTP/1.1\r\nHost: www.example.com\r\nReferer: http://site" +
                                std::to_string(i) + ".example.org/page" + std::to_string(i) +
                                "\r\nUser-Agent: scaleBench\r\n\r\n";
    conversation.send(TcpConversation::kClient, request)
        .send(TcpConversation::kServer, response)
        .close();
    for (const corrana_test::Frame& frame : conversation.frames()) {
      put32(out, static_cast<uint32_t>(frame.time / 1000000u));
      put32(out, static_cast<uint32_t>(frame.time % 1000000u));
      put32(out, static_cast<uint32_t>(frame.bytes.size()));
      put32(out, frame.wireLength > frame.bytes.size() ? frame.wireLength
                                                       : static_cast<uint32_t>(frame.bytes.size()));
      fwrite(frame.bytes.data(), 1, frame.bytes.size(), out);
    }
  }
  if (fclose(out) != 0) {
    fprintf(stderr, "scaleBench: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// Hands the stream builder's calls on to the analysis reader, timing each (isMatch to the end
// of processObject, the reader's locks included).
class TimedReader : public OB_ProtocolWriter, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(TimedReader, 0x5CA1EB0D, "TimedReader", OB_ProtocolWriter,
                    OB_ReferenceCounter)

 public:
  explicit TimedReader(OB_HTTPReader* reader) : reader_(reader) {}
  const char* getProtocolName() override { return "http"; }
  int isMatch(uint32_t serverIP, uint16_t serverPort) override {
    const auto start = Clock::now();
    const int match = reader_->isMatch(serverIP, serverPort);
    note(seconds(start));
    return match;
  }
  int processObject(OB_Object* object) override {
    const auto start = Clock::now();
    const int result = obQuery<OB_Processor>(reader_)->processObject(object);
    note(seconds(start));
    return result;
  }
  double longest = 0;  // seconds; read once the road has stopped

 private:
  void note(double took) {
    if (took > longest) longest = took;
  }
  OB_HTTPReader* reader_;  // not owned, outlives this
};

// 1065: type 0 (by count), the busiest n, every address.
std::string clientsFields(int16_t n) { return wire16(0) + wire16(n) + "0.0.0.0\n0.0.0.0\n"; }
// 1025: the n most served resources of any type and URI.
std::string resourcesFields(int16_t n) { return wire16(n) + "All\n\n"; }
// 1033: the n busiest referring hosts.
std::string referersFields(int16_t n) { return wire16(n); }

// One live connection of one page from client, as the stream builder hands it on.
OB_HTTPProtocol* livePage(uint32_t client, uint32_t when, uint32_t i) {
  auto* protocol = new OB_HTTPProtocol();
  protocol->connTime = when;
  protocol->clientIP = client;
  protocol->serverIP = kServer;
  protocol->serverPort = 80;
  auto* xact = obQuery<OB_HTTPXact>(protocol->addXLink());
  xact->req_method = "GET";
  const std::string uri = "/live" + std::to_string(i) + ".html";
  xact->req_request_uri = uri.c_str();
  xact->req_http_vers = "1.1";
  xact->req_host = "www.example.com";
  xact->res_status_code = "200";
  xact->res_content_type = "text/html";
  ++protocol->commRespCount;
  return protocol;
}

int runOne(const std::string& dir, uint32_t n, double rankSeconds) {
  std::error_code error;
  std::filesystem::create_directories(dir + "/admin", error);
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  const uint32_t start = now - 7200;
  const std::string trace = dir + "/scale.pcap";
  auto writeStart = Clock::now();
  if (!writeTrace(trace, n, start)) return 1;
  const double writeTime = seconds(writeStart);
  std::ofstream(dir + "/admin/adapters.cfg") << "adapter: file:" << trace << "\n";
  if (bench::prepareInstall(dir, "scaleBench") != 0) return 1;
  AnalysisHash_init(OB_NameLookups::kBackground);

  auto* config = new OB_AEngineConfig();
  snprintf(config->databaseDir, sizeof config->databaseDir, "%s/db", dir.c_str());
  bench::oneHTTPServer(config, kServer, "www");
  timeWindow_t record;
  OB_IndexChanger* window =
      bench::staticWindow(config, &record, "scale", now - 86400, now + 3600);
  auto* reader = new OB_HTTPReader(config, window);
  reader->init();
  reader->start();
  reader->join(nullptr, 0);  // nothing to replay: live from here on
  auto* timed = new TimedReader(reader);
  const long rssBefore = statusKB("VmRSS");

  double wall = 0, cpu = 0;
  uint64_t transactions = 0;
  double longestInRoad = 0;
  {
    road::Road road({{kServer, 80}}, {}, false);
    road.http->append(timed);
    OB_NetConsumer* net = OB_NetConsumer::create();
    road.manager->setAllProcessor(net);
    const double cpuBefore = cpuSeconds();
    const auto replayStart = Clock::now();
    const bool finished = road.run();
    wall = seconds(replayStart);
    cpu = cpuSeconds() - cpuBefore;
    road.manager->setAllProcessor(nullptr);
    net->release();
    transactions = road.httpWriter->transactions;
    longestInRoad = timed->longest;
    road.http->remove(timed);
    if (!finished) {
      fprintf(stderr, "scaleBench: the replay of %s did not finish: %s\n", trace.c_str(),
              road.readError.c_str());
      return 1;
    }
  }
  const long rssAfter = statusKB("VmRSS");
  const long peak = statusKB("VmHWM");
  if (transactions != n)
    fprintf(stderr, "scaleBench: %llu transactions of %u reached the reader\n",
            static_cast<unsigned long long>(transactions), n);

  // The rankings beside live connections (half of them new clients).
  std::atomic<bool> done{false};
  int queries = 0;
  double longestQuery = 0;
  bool failed = false;
  std::thread console([&] {
    while (!done) {
      for (double took :
           {bench::askAsTheConsole(hcommand_HTTPIPTracking, reader, clientsFields(32767)),
            bench::askAsTheConsole(hcommand_HTTPServerResourcesServedBreakdown, reader, resourcesFields(10)),
            bench::askAsTheConsole(hcommand_HTTPServerRefererHostsBreakdown, reader, referersFields(10))}) {
        if (took < 0) failed = true;
        if (took > longestQuery) longestQuery = took;
        ++queries;
      }
    }
  });
  double longestLive = 0;
  uint64_t offered = 0;
  const auto loopStart = Clock::now();
  while (seconds(loopStart) < rankSeconds) {
    const uint32_t client = offered % 2 == 0 ? kFirstClient + static_cast<uint32_t>(offered / 2) % n
                                             : 0x0C000000u + static_cast<uint32_t>(offered);
    OB_HTTPProtocol* protocol = livePage(client, now - 60, static_cast<uint32_t>(offered));
    const auto offerStart = Clock::now();
    if (reader->isMatch(kServer, 80) != 0) obQuery<OB_Processor>(reader)->processObject(protocol);
    const double took = seconds(offerStart);
    protocol->release();
    if (took > longestLive) longestLive = took;
    ++offered;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  done = true;
  console.join();
  if (failed) fprintf(stderr, "scaleBench: a console query failed\n");

  printf("%9u | %8.2f | %8.2f | %9.1f | %9.1f | %8.1f | %8.1f | %7.1f\n", n,
         wall / static_cast<double>(transactions) * 1e6,
         cpu / static_cast<double>(transactions) * 1e6, peak / 1024.0,
         (rssAfter - rssBefore) * 1024.0 / n, longestInRoad * 1000, longestLive * 1000,
         longestQuery * 1000);
  fprintf(stderr,
          "scaleBench: N = %u: trace written in %.1f s, replayed in %.1f s; %d console queries, "
          "%llu live connections\n",
          n, writeTime, wall, queries, static_cast<unsigned long long>(offered));
  fflush(stdout);
  timed->release();
  reader->release();
  window->release();
  config->release();
  AnalysisHash_free();
  OB_Log::reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string keep;
  double rankSeconds = 3;
  std::vector<uint32_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    }
    if (arg == "--keep" && i + 1 < argc) {
      keep = argv[++i];
      continue;
    }
    if (arg == "--seconds" && i + 1 < argc) {
      rankSeconds = atof(argv[++i]);
      if (rankSeconds > 0 && rankSeconds <= 600) continue;
    } else {
      char* end = nullptr;
      const unsigned long long n = strtoull(arg.c_str(), &end, 10);
      // Clients from 11.0.0.0 on stay below 12.0.0.0, where the live ones begin.
      if (!arg.empty() && *end == '\0' && n > 0 && n <= 0xFFFFFF) {
        sizes.push_back(static_cast<uint32_t>(n));
        continue;
      }
    }
    fprintf(stderr, "scaleBench: bad option %s\n", arg.c_str());
    usage(stderr);
    return 2;
  }
  if (sizes.empty()) sizes = {10000, 100000, 300000, 1000000};

  printf("  clients | us/tx    | CPU us/tx | peak MB  | B/client  | road ms  | live ms  | rank ms\n");
  fflush(stdout);
  int status = 0;
  for (uint32_t n : sizes) {
    std::string dir = keep.empty() ? "" : keep + "/" + std::to_string(n);
    if (dir.empty()) {
      char pattern[] = "/tmp/scaleBench-XXXXXX";
      if (mkdtemp(pattern) == nullptr) {
        perror("scaleBench: mkdtemp");
        return 1;
      }
      dir = pattern;
    }
    const pid_t child = fork();
    if (child < 0) {
      perror("scaleBench: fork");
      return 1;
    }
    if (child == 0) _exit(runOne(dir, n, rankSeconds));
    int result = 0;
    waitpid(child, &result, 0);
    if (!WIFEXITED(result) || WEXITSTATUS(result) != 0) status = 1;
    if (keep.empty()) {
      std::error_code error;
      std::filesystem::remove_all(dir, error);
    }
  }
  return status;
}
