// Packet-road benchmark: replays a savefile through the real capture road (packet manager,
// stream builder, HTTP and FTP consumers, with the product's threads) as fast as the road takes
// it, and compares the time with the floor: a plain libpcap read of the same file that touches
// every frame, timed in the same run.
//
//   roadBench [--list] TRACE.pcap [ADDRESS ...]
//
// --list also prints every transaction the road handed to its writers, one line each.
//
// The watched servers are every address that answers a SYN from port 80 or 21 in the trace,
// plus the addresses given (as HTTP and FTP servers both).
//
// The floor reader and the server scan use libpcap directly: they stand for "any pcap consumer"
// and must not go through the capture driver, so this tool is the one place outside the
// platform folders that includes libpcap.
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
#include "OB_TCPSessionStats.h"
#include "Road.h"

namespace {

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

bool readFloor(const char* path, FloorResult* result) {
  char error[PCAP_ERRBUF_SIZE];
  auto start = std::chrono::steady_clock::now();
  pcap_t* p = pcap_open_offline(path, error);
  if (p == nullptr) {
    fprintf(stderr, "roadBench: %s\n", error);
    return false;
  }
  pcap_loop(p, -1, touch, reinterpret_cast<u_char*>(result));
  pcap_close(p);
  result->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

struct ServerScan {
  std::set<road::Server> http;
  std::set<road::Server> ftp;
};

// Servers: the source of every SYN-ACK from port 80 or 21 (Ethernet, one optional VLAN tag,
// IPv4). Every offset is checked against the captured length.
void scanFrame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
  auto* scan = reinterpret_cast<ServerScan*>(user);
  uint32_t length = header->caplen;
  uint32_t at = 12;
  if (length < at + 2) return;
  uint16_t type = static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
  at += 2;
  if (type == 0x8100) {
    if (length < at + 4) return;
    type = static_cast<uint16_t>(bytes[at + 2] << 8 | bytes[at + 3]);
    at += 4;
  }
  if (type != 0x0800 || length < at + 20) return;
  const u_char* ip = bytes + at;
  uint32_t ipHeader = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ipHeader < 20 || ip[9] != 6 || length < at + ipHeader + 14) return;
  if ((ip[6] & 0x1F) != 0 || ip[7] != 0) return;  // a later fragment
  const u_char* tcp = ip + ipHeader;
  uint16_t sourcePort = static_cast<uint16_t>(tcp[0] << 8 | tcp[1]);
  uint8_t flags = tcp[13];
  if ((flags & 0x12) != 0x12) return;
  uint32_t source = static_cast<uint32_t>(ip[12]) << 24 | static_cast<uint32_t>(ip[13]) << 16 |
                    static_cast<uint32_t>(ip[14]) << 8 | ip[15];
  if (sourcePort == 80) scan->http.insert({source, 80});
  if (sourcePort == 21) scan->ftp.insert({source, 21});
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

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool list = false;
  if (argc > 1 && strcmp(argv[1], "--list") == 0) {
    list = true;
    ++first;
  }
  if (argc <= first) {
    fprintf(stderr, "usage: roadBench [--list] TRACE.pcap [ADDRESS ...]\n");
    return 2;
  }
  std::string trace = std::filesystem::absolute(argv[first]).string();

  // The scan also brings the file into the page cache, so floor and road read it alike.
  ServerScan servers;
  {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(trace.c_str(), error);
    if (p == nullptr) {
      fprintf(stderr, "roadBench: %s\n", error);
      return 1;
    }
    pcap_loop(p, -1, scanFrame, reinterpret_cast<u_char*>(&servers));
    pcap_close(p);
  }
  for (int i = first + 1; i < argc; ++i) {
    struct in_addr address {};
    if (inet_pton(AF_INET, argv[i], &address) != 1) {
      fprintf(stderr, "roadBench: not an IPv4 address: %s\n", argv[i]);
      return 2;
    }
    servers.http.insert({ntohl(address.s_addr), 80});
    servers.ftp.insert({ntohl(address.s_addr), 21});
  }

  FloorResult floor;
  if (!readFloor(trace.c_str(), &floor)) return 1;

  // A private install directory whose adapter 0 replays the trace.
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

  uint64_t frames = 0, httpTransactions = 0, ftpTransactions = 0, httpSessions = 0,
           ftpSessions = 0;
  uint32_t noMemory = 0, timedOutProcessed = 0, timedOutDropped = 0;
  double wall = 0, cpu = 0;
  bool replayed = false;
  std::vector<std::string> lines;
  {
    road::Road road(servers.http, servers.ftp, false, list);
    const double cpuBefore = cpuSeconds();
    auto start = std::chrono::steady_clock::now();
    replayed = road.run();
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = cpuSeconds() - cpuBefore;
    uint32_t counted = 0;
    road.manager->getValue(OB_CaptureEngineStats::kAllPacksSeen, &counted);
    frames = counted;
    httpTransactions = road.httpWriter->transactions;
    httpSessions = road.httpWriter->sessions;
    ftpTransactions = road.ftpWriter->transactions;
    ftpSessions = road.ftpWriter->sessions;
    lines = std::move(road.httpWriter->lines);
    lines.insert(lines.end(), road.ftpWriter->lines.begin(), road.ftpWriter->lines.end());
    OB_TCPSessionStats& stats = *getTCPSessionStats();
    noMemory = OB_TCPSessionStats::value(stats.segmentsNoMemory);
    timedOutProcessed = OB_TCPSessionStats::value(stats.timedOutComplete);
    timedOutDropped = OB_TCPSessionStats::value(stats.timedOutRejected) +
                      OB_TCPSessionStats::value(stats.timedOutUnacked) +
                      OB_TCPSessionStats::value(stats.timedOutNoSyn);
  }
  OB_Log::reset();
  std::filesystem::remove_all(install);
  if (!replayed) {
    fprintf(stderr, "roadBench: the replay of %s did not finish\n", trace.c_str());
    return 1;
  }

  if (list) {
    printf("client\tserver\tmethod\tURI\tstatus\tcontent type\tbytes"
           " (FTP: client\tserver\tcommand\targument\treply codes)\n");
    for (const std::string& line : lines) printf("%s\n", line.c_str());
    printf("\n");
  }
  printf("trace             %s\n", trace.c_str());
  printf("watched servers   %zu HTTP, %zu FTP\n", servers.http.size(), servers.ftp.size());
  printf("frames            %llu (floor read %llu)\n", static_cast<unsigned long long>(frames),
         static_cast<unsigned long long>(floor.frames));
  printf("bytes             %llu\n", static_cast<unsigned long long>(floor.bytes));
  printf("HTTP transactions %llu in %llu sessions\n",
         static_cast<unsigned long long>(httpTransactions),
         static_cast<unsigned long long>(httpSessions));
  printf("FTP transactions  %llu in %llu sessions\n",
         static_cast<unsigned long long>(ftpTransactions),
         static_cast<unsigned long long>(ftpSessions));
  printf("lost (no memory)  %u segments\n", noMemory);
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
