// Analysis benchmark: writes synthetic HTTP connections through the real archive writer, then
// times the HTTP reader replaying them into the statistics of one static window (two servers,
// two transaction subsets, one network group), and the queries the console asks of the filled
// statistics. The same transactions go to a common log file; when goaccess is installed it is
// timed on that file in the same run and the ratio of the two rates is printed.
//
//   analysisBench [--transactions N] [--clients N] [--uris N] [--keep DIR]
//                 [--ranked-clients N] [--ranking-only]
//
// A second part times the console's client rankings (1065 and 4030, type 0) over one HTTP and
// one FTP server that track many clients, beside a floor: one walk over the same records.
//
// Reverse name look-ups are answered "no name" without DNS, as on a network without PTR records.
#include <sys/socket.h>
#include <sys/stat.h>
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

#include "OB_SocketIO.h"
#include "BenchSupport.h"
#include "SyntheticTraffic.h"
#include "archive/OB_ArchiveWriter.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "console/OB_AEngineTCPRequest.h"
#include "ftp/FTPServerCommands.h"
#include "ftp/OB_FTPAnalysisStats.h"
#include "http/HTTPIPTrackingCommands.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPNetworkGroup.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_ResourceStats.h"
#include "stats/AnalysisHash.h"
#include "stats/OB_IPTracker.h"
#include "stats/csXData.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"

namespace {

using bench::Clock;
using bench::cpuSeconds;
using bench::seconds;
using bench::staticWindow;
using bench::statusKB;

void usage(FILE* out) {
  fprintf(out,
          "usage: analysisBench [--transactions N] [--clients N] [--uris N] [--keep DIR]\n"
          "                     [--ranked-clients N] [--ranking-only]\n"
          "  Times the HTTP reader replaying N synthetic transactions from the archive into one\n"
          "  window's statistics, and goaccess on the same transactions when it is installed;\n"
          "  then the console's client rankings over servers that track many clients.\n"
          "  --keep DIR          work in DIR and leave the archive and the log there\n"
          "  --ranked-clients N  clients tracked for the rankings (default 100000)\n"
          "  --ranking-only      time the rankings alone\n");
}

template <class T>
T** newArray(int n) {
  T** array = new T*[n];
  for (int i = 0; i < n; ++i) array[i] = nullptr;
  return array;
}

// Two servers, two subsets (the first half of the clients; everyone), one group (the clients).
void configure(OB_AEngineConfig* config, const std::string& dir) {
  snprintf(config->databaseDir, sizeof config->databaseDir, "%s", dir.c_str());
  config->numOfHTTPServers = 2;
  config->httpServers = newArray<OB_HTTPServer>(2);
  for (int i = 0; i < 2; ++i) {
    config->httpServers[i] = OB_HTTPServer::create();
    config->httpServers[i]->setIPAddress(i == 0 ? bench::kServerA : bench::kServerB);
    config->httpServers[i]->setName(i == 0 ? "www-a" : "www-b");
  }
  config->numOfXSubSets = 2;
  config->xSubSets = newArray<XSubset_t>(2);
  for (int i = 0; i < 2; ++i) {
    auto* subset = new XSubset_t();
    snprintf(subset->name, sizeof subset->name, "subset%d", i);
    subset->acceptMatching = i == 0 ? 1 : 0;
    subset->numOfNets = i == 0 ? 1 : 0;
    subset->exampleAddress[0] = subset->network[0] = 0x0A010000;  // 10.1.0.0/17
    subset->maskAddress[0] = 0xFFFF8000;
    config->xSubSets[i] = subset;
  }
  config->numOfNetworkGroups = 1;
  config->networkGroups = newArray<networkGroup_t>(1);
  auto* group = new networkGroup_t();
  snprintf(group->name, sizeof group->name, "%s", "clients");
  group->numOfNets = 1;
  group->exampleAddress[0] = group->network[0] = 0x0A010000;  // 10.1.0.0/16
  group->maskAddress[0] = 0xFFFF0000;
  config->networkGroups[0] = group;
}

// One HTTP server: A, "www-a".
void serveA(OB_AEngineConfig* config) { bench::oneHTTPServer(config, bench::kServerA, "www-a"); }

// Runs goaccess on the log; its wall seconds, or a negative value when it is missing or failed.
double timeGoaccess(const std::string& log, const std::string& dir) {
  if (system("command -v goaccess >/dev/null 2>&1") != 0) return -1;
  const std::string command = "goaccess '" + log + "' --log-format=COMMON --no-progress -o '" +
                              dir + "/goaccess.json' >/dev/null 2>&1";
  auto start = Clock::now();
  if (system(command.c_str()) != 0) return -2;
  return seconds(start);
}

// Times one console handler as the command layer runs it, under `lock` when one is given (the
// reader's lock). The handler's own time, in seconds, and the reply's size.
template <class Stats, class Handler>
double timeHandler(Handler handler, Stats* stats, const std::string& fields, size_t* replyBytes,
                   OB_Mutex* lock = nullptr) {
  return bench::timeHandler(
      handler, stats, fields,
      [lock](auto&& work) {
        if (lock != nullptr) lock->lock();
        work();
        if (lock != nullptr) lock->unlock();
      },
      replyBytes);
}

// A type-0 request of the IP-tracking commands for the busiest n.
std::string rankingRequest(int16_t n) {
  std::string fields;
  for (int16_t value : {int16_t{0}, n}) {
    fields += static_cast<char>((static_cast<uint16_t>(value) >> 8) & 0xFF);
    fields += static_cast<char>(static_cast<uint16_t>(value) & 0xFF);
  }
  return fields + "0.0.0.0\n0.0.0.0\n";
}

// One HTTP and one FTP server, each tracking `clients` addresses of a few distinct counts (so
// most of them tie), and the rankings the console asks of them.
void timeRankings(uint32_t clients) {
  auto* config = new OB_AEngineConfig();
  serveA(config);
  config->numOfFTPServers = 1;
  config->ftpServers = newArray<OB_FTPServer>(1);
  config->ftpServers[0] = OB_FTPServer::create();
  config->ftpServers[0]->setIPAddress(bench::kServerB);
  config->ftpServers[0]->setName("ftp-b");
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  timeWindow_t record;
  OB_IndexChanger* window = staticWindow(config, &record, "ranking", now - 86400, now);
  auto* http = new OB_HTTPAnalysisStats(config, window);
  auto* ftp = new OB_FTPAnalysisStats(config, window);
  ftp->init();
  OB_IPTracker* trackers[] = {http->servers[0]->ipTracker, ftp->servers[0].ipTracker};
  auto fillStart = Clock::now();
  for (uint32_t i = 0; i < clients; ++i) {
    const uint32_t address = 0x0A400000u + i * 7u;  // 10.64.0.0 on, spread over the buckets
    for (OB_IPTracker* tracker : trackers) {
      OB_IPTrackerHash* client = nullptr;
      tracker->procAddress(now - 3600, static_cast<uint16_t>(1 + (i * 31u) % 50), &address,
                           &client);
      if (tracker == trackers[0]) client->pageCount = (i * 13u) % 17;
    }
  }
  printf("rankings: %u clients tracked by each server (%.1f s to fill)\n", clients,
         seconds(fillStart));

  // The floor: one walk over the records, reading each count and copying nothing (the second
  // of two walks, as the queries below find the records warm too).
  double floor = 0;
  uint64_t sum = 0;
  for (int pass = 0; pass < 2; ++pass) {
    auto start = Clock::now();
    sum = 0;
    for (int bucket = 0; bucket < OB_IPTracker::kBuckets; ++bucket)
      for (auto* at = trackers[0]->getChain(bucket); at != nullptr; at = at->getNext())
        sum += at->getItem()->pageCount;
    floor = seconds(start);
  }
  printf("  floor, one walk over the records: %.2f ms (sum %llu)\n", floor * 1000,
         static_cast<unsigned long long>(sum));

  for (int16_t n : {int16_t{10}, int16_t{32767}}) {
    // The ranking alone, as both commands build it, then the whole command with its reply.
    auto start = Clock::now();
    str2CntList_t* ranked = trackers[0]->getTopN(nullptr, n);
    const double httpRank = seconds(start);
    dataStructs_freeList(ranked);
    start = Clock::now();
    str2CntList_t* busiest = trackers[1]->getTopNByRange(nullptr, 500, 0, 0xFFFFFFFFu);
    ranked = dataStructs_getTopN(busiest, n, 1);
    const double ftpRank = seconds(start);
    dataStructs_freeList(ranked);
    dataStructs_freeList(busiest);
    size_t bytes = 0;
    const double httpTime = timeHandler(hcommand_HTTPIPTracking, http, rankingRequest(n), &bytes);
    printf("  1065 type 0, n = %5d: ranking %6.2f ms, command %7.2f ms (%zu reply bytes)\n", n,
           httpRank * 1000, httpTime * 1000, bytes);
    const double ftpTime = timeHandler(hcommand_FTPIPTracking, ftp, rankingRequest(n), &bytes);
    printf("  4030 type 0, n = %5d: ranking %6.2f ms, command %7.2f ms (%zu reply bytes)\n", n,
           ftpRank * 1000, ftpTime * 1000, bytes);
  }
  ftp->release();
  http->release();
  window->release();
  config->release();
}

// One live HTTP connection of one page from client to server A at `when`; the caller releases it.
OB_HTTPProtocol* livePage(uint32_t client, uint32_t when) {
  auto* protocol = new OB_HTTPProtocol();
  protocol->connTime = when;
  protocol->clientIP = client;
  protocol->serverIP = bench::kServerA;
  protocol->serverPort = 80;
  auto* xact = obQuery<OB_HTTPXact>(protocol->addXLink());
  xact->req_method = "GET";
  xact->req_request_uri = "/index.html";
  xact->req_http_vers = "1.1";
  xact->req_host = "www.example.com";
  xact->res_status_code = "200";
  xact->res_content_type = "text/html";
  ++protocol->commRespCount;
  return protocol;
}

// The longest time one live connection spends in the HTTP reader (isMatch and processObject,
// locks included) while a console asks 1065 for the busiest 32,767 of `clients` clients in a
// loop, under the reader's lock as the console's command layer takes it.
void timeLiveHold(const std::string& dir, uint32_t clients) {
  const std::string db = dir + "/live";
  std::error_code error;
  std::filesystem::create_directories(db, error);
  auto* config = new OB_AEngineConfig();
  snprintf(config->databaseDir, sizeof config->databaseDir, "%s", db.c_str());
  serveA(config);
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  timeWindow_t record;
  OB_IndexChanger* window = staticWindow(config, &record, "live", now - 86400, now + 3600);
  auto* reader = new OB_HTTPReader(config, window);
  reader->init();
  reader->start();
  reader->join(nullptr, 0);  // nothing to replay: live from here on

  auto* processor = obQuery<OB_Processor>(reader);
  auto offer = [&](uint32_t client) {
    OB_HTTPProtocol* protocol = livePage(client, now - 60);
    auto start = Clock::now();
    if (reader->isMatch(protocol->serverIP, protocol->serverPort) != 0)
      processor->processObject(protocol);
    const double took = seconds(start);
    protocol->release();
    return took;
  };
  auto fillStart = Clock::now();
  for (uint32_t i = 0; i < clients; ++i) offer(0x0A400000u + i * 7u);
  const double fill = seconds(fillStart);
  printf("live road: %u new clients in %.2f s (%.1f us a connection)\n", clients, fill,
         fill / clients * 1e6);

  std::atomic<bool> done{false};
  int queries = 0;
  double longestQuery = 0;
  std::thread console([&] {
    while (!done) {
      size_t bytes = 0;
      const double took = timeHandler(hcommand_HTTPIPTracking,
                                      static_cast<OB_HTTPAnalysisStats*>(reader),
                                      rankingRequest(32767), &bytes, static_cast<OB_Mutex*>(reader));
      if (took > longestQuery) longestQuery = took;
      ++queries;
    }
  });
  double longest = 0;
  uint64_t offered = 0;
  auto loopStart = Clock::now();
  while (seconds(loopStart) < 3.0) {
    const double took = offer(0x0A400000u + static_cast<uint32_t>(offered % clients) * 7u);
    if (took > longest) longest = took;
    ++offered;
  }
  done = true;
  console.join();
  printf("  while the console ran 1065 (N = 32,767) %d times (longest %.1f ms): %llu live "
         "connections, the longest %.1f ms in the reader\n",
         queries, longestQuery * 1000, static_cast<unsigned long long>(offered), longest * 1000);
  reader->release();
  window->release();
  config->release();
}

}  // namespace

int main(int argc, char** argv) {
  bench::TrafficShape shape;
  std::string keep;
  uint32_t rankedClients = 100000;
  bool rankingOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](uint64_t* out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      *out = strtoull(argv[++i], &end, 10);
      return *end == '\0' && *out > 0;
    };
    uint64_t value = 0;
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--transactions" && number(&value)) {
      shape.transactions = value;
    } else if (arg == "--clients" && number(&value) && value <= 60000) {
      shape.clients = static_cast<uint32_t>(value);
    } else if (arg == "--uris" && number(&value) && value <= 10000000) {
      shape.uris = static_cast<uint32_t>(value);
    } else if (arg == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else if (arg == "--ranked-clients" && number(&value) && value <= 10000000) {
      rankedClients = static_cast<uint32_t>(value);
    } else if (arg == "--ranking-only") {
      rankingOnly = true;
    } else {
      fprintf(stderr, "analysisBench: bad option %s\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }

  std::string dir = keep;
  if (dir.empty()) {
    char pattern[] = "/tmp/analysisBench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      perror("analysisBench: mkdtemp");
      return 1;
    }
    dir = pattern;
  }
  if (bench::prepareInstall(dir, "analysisBench") != 0) return 1;
  std::error_code error;
  if (rankingOnly) {
    AnalysisHash_init();
    timeRankings(rankedClients);
    timeLiveHold(dir, rankedClients);
    AnalysisHash_free();
    if (keep.empty()) std::filesystem::remove_all(dir, error);
    return 0;
  }

  // The archive file the writer opens now must meet the window, so the traffic is today's.
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  shape.start = now - 86400;
  shape.span = 86400;

  // 1. The traffic, through the archive writer and into a common log file.
  const std::string logPath = dir + "/access.log";
  FILE* log = fopen(logPath.c_str(), "w");
  if (log == nullptr) {
    fprintf(stderr, "analysisBench: %s: %s\n", logPath.c_str(), strerror(errno));
    return 1;
  }
  auto writeStart = Clock::now();
  {
    bench::SyntheticTraffic traffic(shape);
    auto* writer = new OB_ArchiveWriter(nullptr, dir.c_str(), "http", "bench", "", 0);
    auto* protocol = new OB_HTTPProtocol();
    uint64_t connections = 0;
    while (traffic.next(protocol)) {
      writer->processObject(protocol);
      for (OB_Xact* link = protocol->head; link != nullptr; link = link->nextItem())
        bench::SyntheticTraffic::writeCommonLog(log, protocol, obQuery<OB_HTTPXact>(link));
      protocol->reset();
      ++connections;
    }
    protocol->release();
    writer->release();
    printf("wrote %llu transactions in %llu connections (%.1f s)\n",
           static_cast<unsigned long long>(traffic.made()),
           static_cast<unsigned long long>(connections), seconds(writeStart));
  }
  fclose(log);

  // 2. The replay into one window's statistics.
  AnalysisHash_init();
  auto* config = new OB_AEngineConfig();
  configure(config, dir);
  timeWindow_t record;
  OB_IndexChanger* window =
      staticWindow(config, &record, "bench", shape.start, shape.start + shape.span + 3600);

  const long rssBefore = statusKB("VmRSS");
  auto* reader = new OB_HTTPReader(config, window);
  reader->init();
  const double cpuBefore = cpuSeconds();
  auto replayStart = Clock::now();
  reader->start();
  reader->join(nullptr, 0);
  const double wall = seconds(replayStart);
  const double cpu = cpuSeconds() - cpuBefore;
  const long rssAfter = statusKB("VmRSS");

  // Every client lies in the one network group, so it saw every transaction.
  const uint64_t counted = stats_sum(reader->netGroups[0]->xData->all, window->getNumOfBins());
  const double rate = counted / wall;
  printf("replayed %u connections, %llu transactions in %.3f s wall, %.3f s CPU: %.0f "
         "transactions/s\n",
         reader->getReplayCount(), static_cast<unsigned long long>(counted), wall, cpu, rate);
  fflush(stdout);
  OB_ResourceStats* resources = reader->servers[0]->modules->resourceStats;
  OB_IPTracker* tracker = reader->servers[0]->ipTracker;
  printf("distinct: %d resources (server A), %u clients (server A); statistics memory %.1f MB, "
         "peak %.1f MB\n",
         resources->getCount(), tracker->getAddressCount(), (rssAfter - rssBefore) / 1024.0,
         statusKB("VmHWM") / 1024.0);

  // 3. Queries on the filled statistics, under the reader's lock as the console asks them.
  {
    OB_MutexHold hold(static_cast<OB_Mutex*>(reader));
    auto start = Clock::now();
    OB_List<OB_ResourceCounterLink>* top = resources->getHitBreakdown(10, "All", "");
    const double topTime = seconds(start);
    printf("top-10 resources: %.2f ms (first %s, %llu hits)\n", topTime * 1000,
           top->first() != nullptr ? top->first()->getResource() : "-",
           static_cast<unsigned long long>(top->first() != nullptr ? top->first()->getTotal() : 0));
    top->release();
    start = Clock::now();
    str2CntList_t* byNet = tracker->getTopNByMask(nullptr, 20, 0xFFFFFF00);
    const double maskTime = seconds(start);
    start = Clock::now();
    statsBreakdown_t* seen =
        csServersSeenData_getServersSeenBreakdownSummary(reader->netGroups[0]->serversSeenData);
    const double seenTime = seconds(start);
    printf("breakdown of clients by /24: %.2f ms (%u entries); servers seen: %.3f ms\n",
           maskTime * 1000, byNet->count, seenTime * 1000);
    dataStructs_freeList(byNet);
    stats_freeBreakdown(seen);
  }

  // 4. goaccess on the same transactions.
  const double other = timeGoaccess(logPath, dir);
  if (other == -1) {
    printf("goaccess: not installed, no comparison\n");
  } else if (other < 0) {
    printf("goaccess: failed on %s\n", logPath.c_str());
  } else {
    const double otherRate = shape.transactions / other;
    printf("goaccess --log-format=COMMON: %.3f s, %.0f lines/s; ratio %.1fx\n", other, otherRate,
           rate / otherRate);
  }

  reader->release();
  window->release();
  config->release();
  // 5. The client rankings, and what they cost the live road.
  timeRankings(rankedClients);
  timeLiveHold(dir, rankedClients);
  AnalysisHash_free();
  if (keep.empty()) std::filesystem::remove_all(dir, error);
  return 0;
}
