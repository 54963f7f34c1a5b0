// Packet-road benchmark: replays a savefile through the real capture road (packet manager,
// stream builder, HTTP and FTP consumers, with the product's threads) as fast as the road takes
// it, and compares the time with the floor: a plain libpcap read of the same file that touches
// every frame, timed in the same run. `roadBench --help` says how to call it.
//
// The floor reader uses libpcap directly: it stands for "any pcap consumer" and must not go
// through the capture driver, so this tool is the one place outside the platform folders that
// includes libpcap. Everything else (the server scan, the road) reads the trace through the
// capture driver, and so takes the link types the driver takes.
#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "OB_Log.h"
#include "Road.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

constexpr const char* kUsage =
    "usage: roadBench [--list] TRACE [SERVER ...]\n"
    "Replays TRACE (a pcap or pcapng savefile) through the packet road as fast as the road takes\n"
    "it, and compares its time with a plain libpcap read of the same file.\n"
    "  --list   also print every transaction the road found, one tab-separated line each\n"
    "           (HTTP bytes: the response's Content-Length, or the sum of a chunked body's\n"
    "           chunk sizes)\n"
    "  --help   print this and exit\n"
    "  SERVER   ADDR watches ADDR:80 as HTTP and ADDR:21 as FTP; ADDR:PORT watches that port,\n"
    "           as FTP when PORT is 21, else as HTTP. Servers that answer a SYN from port 80\n"
    "           or 21 in the trace are watched without being named.\n";

struct FloorResult {
  uint64_t frames = 0;
  uint64_t bytes = 0;
  uint64_t sum = 0;
  double wall = 0;
};

// As the shared floor reader does: count, and read one byte in every 64.
void touch(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
  auto* result = reinterpret_cast<FloorResult*>(user);
  ++result->frames;
  result->bytes += header->caplen;
  for (uint32_t i = 0; i < header->caplen; i += 64) result->sum += bytes[i];
}

// The trace opened by libpcap, or null with the file and the reason on standard error.
pcap_t* openTrace(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE] = "";
  pcap_t* p = pcap_open_offline(path.c_str(), error);
  if (p == nullptr) {
    // libpcap names the file itself only when it could not open it.
    if (strstr(error, path.c_str()) != nullptr) {
      fprintf(stderr, "roadBench: %s\n", error);
    } else {
      fprintf(stderr, "roadBench: %s: %s\n", path.c_str(), error);
    }
  }
  return p;
}

bool readFloor(const std::string& path, FloorResult* result) {
  auto start = std::chrono::steady_clock::now();
  pcap_t* p = openTrace(path);
  if (p == nullptr) return false;
  pcap_loop(p, -1, touch, reinterpret_cast<u_char*>(result));
  pcap_close(p);
  result->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

struct ServerScan {
  std::set<road::Server> http;
  std::set<road::Server> ftp;
  OB_Packet packet;
};

// Servers: the source of every SYN-ACK from port 80 or 21, decoded as the road decodes frames.
int scanFrame(const unsigned char* frame, uint32_t length, uint64_t /*stamp*/,
              uint32_t /*wireLength*/, void* context) {
  auto* scan = static_cast<ServerScan*>(context);
  OB_Packet& packet = scan->packet;
  packet.setPacketInfo(frame, length > INT32_MAX ? INT32_MAX : static_cast<int>(length));
  const uint8_t synAck = OB_Packet::kSYN | OB_Packet::kACK;
  if (packet.isIP() == 0 || packet.getIPType() != 6 || (packet.getCode() & synAck) != synAck)
    return 1;
  if (packet.srcPort == 80) scan->http.insert({packet.srcIP, 80});
  if (packet.srcPort == 21) scan->ftp.insert({packet.srcIP, 21});
  return 1;
}

// Reads the trace through the capture driver for its servers; false with the reason on
// standard error when the driver cannot replay it.
bool scanServers(const std::string& path, ServerScan* scan) {
  if (GLIM_InitializeLibrary() == 0) {
    fprintf(stderr, "roadBench: the capture driver could not be initialised\n");
    return false;
  }
  GLIM_AdapterHandle adapter = GLIM_OpenAdapter(("file:" + path).c_str());
  GLIM_CaptureContext context =
      adapter == -1 ? nullptr : GLIM_CreateCaptureContext(adapter, scanFrame, 0, scan);
  bool ok = context != nullptr;
  if (!ok) fprintf(stderr, "roadBench: %s\n", DriverControl::lastErrorText());
  if (ok) {
    GLIM_StartCapture(context);
    DriverControl::waitForEnd(context);
  }
  if (adapter != -1) GLIM_CloseAdapter(adapter);
  GLIM_CleanupLibrary();
  return ok;
}

// "ADDR" or "ADDR:PORT" into the watched servers; false when it is neither.
bool addServer(const char* text, ServerScan* scan) {
  std::string address = text;
  long port = -1;
  if (size_t colon = address.find(':'); colon != std::string::npos) {
    const std::string digits = address.substr(colon + 1);
    char* end = nullptr;
    port = digits.empty() ? 0 : strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || port < 1 || port > 65535) return false;
    address.resize(colon);
  }
  struct in_addr parsed {};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  const uint32_t ip = ntohl(parsed.s_addr);
  if (port == -1) {
    scan->http.insert({ip, 80});
    scan->ftp.insert({ip, 21});
  } else if (port == 21) {
    scan->ftp.insert({ip, 21});
  } else {
    scan->http.insert({ip, static_cast<uint16_t>(port)});
  }
  return true;
}

double cpuSeconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakKilobytes() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int usageError() {
  fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool list = false;
  std::string trace;
  std::vector<const char*> named;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kUsage, stdout);
      return 0;
    }
    if (strcmp(argv[i], "--list") == 0 && trace.empty()) {
      list = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      fprintf(stderr, "roadBench: unknown option %s\n", argv[i]);
      return usageError();
    } else if (trace.empty()) {
      trace = std::filesystem::absolute(argv[i]).string();
    } else {
      named.push_back(argv[i]);
    }
  }
  if (trace.empty()) return usageError();

  ServerScan servers;
  for (const char* server : named) {
    if (!addServer(server, &servers)) {
      fprintf(stderr, "roadBench: not an IPv4 address or ADDR:PORT: %s\n", server);
      return usageError();
    }
  }
  // Whether libpcap reads the file at all; the floor reads it again later, timed.
  if (pcap_t* p = openTrace(trace); p == nullptr) {
    return 1;
  } else {
    pcap_close(p);
  }

  // A private install directory whose adapter 0 replays the trace, with the road's log.
  char pattern[] = "/tmp/roadBench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    perror("roadBench: mkdtemp");
    return 1;
  }
  std::string install = pattern;
  mkdir((install + "/admin").c_str(), 0755);
  mkdir((install + "/logs").c_str(), 0755);
  std::ofstream(install + "/admin/adapters.cfg") << "adapter: file:" << trace << "\n";
  setenv("OB_INSTALLDIR", install.c_str(), 1);
  OB_Log::init("roadBench", 0, nullptr);
  auto cleanUp = [&install] {
    OB_Log::reset();
    std::filesystem::remove_all(install);
  };

  // The scan also brings the file into the page cache, so floor and road read it alike.
  if (!scanServers(trace, &servers)) {
    cleanUp();
    return 1;
  }
  FloorResult floor;
  if (!readFloor(trace, &floor)) {
    cleanUp();
    return 1;
  }

  uint64_t frames = 0, httpTransactions = 0, ftpTransactions = 0, httpSessions = 0,
           ftpSessions = 0;
  uint32_t noMemory = 0, timedOutProcessed = 0, timedOutDropped = 0;
  uint64_t payloadGrowth = 0;
  int32_t sessionGrowth = 0;
  double wall = 0, cpu = 0;
  bool replayed = false;
  std::string readError;
  std::vector<std::string> lines;
  {
    road::Road road(servers.http, servers.ftp, false, list);
    const double cpuBefore = cpuSeconds();
    auto start = std::chrono::steady_clock::now();
    replayed = road.run();
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = cpuSeconds() - cpuBefore;
    readError = road.readError;
    uint32_t counted = 0;
    road.manager->getValue(OB_CaptureEngineStats::kAllPacksSeen, &counted);
    frames = counted;
    httpTransactions = road.httpWriter->transactions;
    httpSessions = road.httpWriter->sessions;
    ftpTransactions = road.ftpWriter->transactions;
    ftpSessions = road.ftpWriter->sessions;
    lines = std::move(road.httpWriter->lines);
    lines.insert(lines.end(), road.ftpWriter->lines.begin(), road.ftpWriter->lines.end());
    payloadGrowth = road.manager->getPoolBytesBeyondCaps();
    sessionGrowth = road.builder->getSessionPool()->getPeakQueuesBeyondCap();
    OB_TCPSessionStats& stats = *getTCPSessionStats();
    noMemory = OB_TCPSessionStats::value(stats.segmentsNoMemory);
    timedOutProcessed = OB_TCPSessionStats::value(stats.timedOutComplete);
    timedOutDropped = OB_TCPSessionStats::value(stats.timedOutRejected) +
                      OB_TCPSessionStats::value(stats.timedOutUnacked) +
                      OB_TCPSessionStats::value(stats.timedOutNoSyn);
  }
  cleanUp();
  if (!replayed) {
    fprintf(stderr, "roadBench: the replay of %s did not finish\n", trace.c_str());
    return 1;
  }
  // A trace the road could not read to its end is never reported as a clean run.
  const bool truncated = readError.find("truncated") != std::string::npos;
  if (!readError.empty()) {
    fprintf(stderr, "roadBench: %s: %s: %s\n", truncated ? "warning" : "error", trace.c_str(),
            readError.c_str());
    if (!truncated) return 1;
  }

  if (list) {
    printf("client\tserver\tmethod\tURI\tstatus\tcontent type\tresponse bytes"
           " (FTP: client\tserver\tcommand\targument\treply codes)\n");
    for (const std::string& line : lines) printf("%s\n", line.c_str());
    printf("\n");
  }
  printf("trace             %s\n", trace.c_str());
  if (!readError.empty()) printf("read              incomplete: %s\n", readError.c_str());
  printf("watched servers   %zu HTTP, %zu FTP\n", servers.http.size(), servers.ftp.size());
  printf("frames            %llu (floor read %llu)\n", static_cast<unsigned long long>(frames),
         static_cast<unsigned long long>(floor.frames));
  printf("bytes             %llu\n", static_cast<unsigned long long>(floor.bytes));
  printf("HTTP transactions %llu in %llu connections\n",
         static_cast<unsigned long long>(httpTransactions),
         static_cast<unsigned long long>(httpSessions));
  printf("FTP transactions  %llu in %llu connections\n",
         static_cast<unsigned long long>(ftpTransactions),
         static_cast<unsigned long long>(ftpSessions));
  printf("lost (no memory)  %u segments\n", noMemory);
  printf("pools past caps   %.1f MB of payload buffers, %d session blocks\n",
         static_cast<double>(payloadGrowth) / (1024.0 * 1024.0), sessionGrowth);
  printf("timed out         %u sessions handed on, %u dropped\n", timedOutProcessed,
         timedOutDropped);
  printf("wall seconds      %.3f\n", wall);
  printf("CPU seconds       %.3f\n", cpu);
  printf("frames/s          %.0f\n", wall > 0 ? static_cast<double>(frames) / wall : 0.0);
  printf("peak memory       %.1f MB\n", static_cast<double>(peakKilobytes()) / 1024.0);
  printf("floor seconds     %.3f (libpcap read touching every frame)\n", floor.wall);
  printf("road / floor      %.2f\n", floor.wall > 0 ? wall / floor.wall : 0.0);
  return 0;
}
