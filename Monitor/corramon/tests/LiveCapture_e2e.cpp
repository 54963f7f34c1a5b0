// The installed monitor on a live interface, checked against tshark. Two private network
// namespaces joined by a veth pair with offloads off (the recording scripts' own set-up): nginx
// and vsftpd in the server's, curl, wrk and lftp in the client's, corramon and tcpdump both
// capturing the server's end of the pair, every file on a tmpfs. The monitor's HTTP archive is
// read back and compared, connection by connection, with tshark on tcpdump's file: every
// transaction carries its own request's response (status, bytes, content type). Without drops
// the two are equal; with drops forced (a tiny capture buffer) the drops are in the console's
// statistics and the log, and no transaction carries another request's response.
//
// A case is the monitor's options, the traffic script run in the client's namespace and what is
// asked of the monitor afterwards; further load (a console client asking in a loop, a slow
// reader) is added by another case as tasks in Lab::during, which run beside the traffic, and a
// resolver that never answers by writing /etc/netns/<server namespace>/resolv.conf before the
// capture starts ("ip netns exec" puts it in place). One case does all of that at once, with
// 100,000 more clients written as raw frames onto the client's end of the pair. Where "/" is no
// mount point (a chroot), the test first moves into a mount namespace whose root is one, as
// "ip netns exec" needs. Skipped, saying why, only where namespaces cannot be made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "../../libsifter/tests/AEngineTestSupport.h"
#include "ConsoleClient.h"
#include "FileText.h"
#include "FrameBuilder.h"
#include "OB_FTPConsumer.h"
#include "OB_HTTPConsumer.h"
#include "Tshark.h"
#include "archive/OB_ArchiveReader.h"
#include "console/AEngineCommands.h"
#include "ftp/OB_FTPProtocol.h"
#include "ftp/OB_FTPXact.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"

extern char** environ;

namespace {

using corrana_test::readFile;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One HTTP transaction: method, URI, status ("" without a response), bytes, content type.
using Transaction = std::tuple<std::string, std::string, std::string, uint32_t, std::string>;
using Connection = std::vector<Transaction>;

const char* const kTools[] = {"nginx", "vsftpd", "lftp", "curl", "wrk", "tcpdump", "ethtool", "ip"};

// The whole output of a shell command (its status in *status when given).
std::string capture(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  const int result = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}
int run(const std::string& command) {
  const int result = system(command.c_str());
  return WIFEXITED(result) ? WEXITSTATUS(result) : -1;
}

bool haveTools() {
  for (const char* tool : kTools)
    if (run(std::string("command -v ") + tool + " >/dev/null 2>&1") != 0) return false;
  return true;
}

// A program started in a namespace ("ip netns exec"), its output in a file. Ended with SIGKILL
// when the object goes while it still runs.
class NetnsProcess {
 public:
  NetnsProcess(const std::string& ns, std::vector<std::string> command, const std::string& output) {
    command.insert(command.begin(), {"ip", "netns", "exec", ns});
    std::vector<char*> argv;
    for (std::string& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    if (posix_spawnp(&pid_, "ip", &files, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
  }
  ~NetnsProcess() {
    if (running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  NetnsProcess(const NetnsProcess&) = delete;
  NetnsProcess& operator=(const NetnsProcess&) = delete;

  bool running() {
    if (pid_ <= 0 || ended_) return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
    return !ended_;
  }
  // Its exit status once it ends within the time after the signal (none: 0); else -1.
  int end(int signal, std::chrono::seconds within) {
    if (pid_ <= 0) return -1;
    if (signal != 0 && running()) kill(pid_, signal);
    const auto until = Clock::now() + within;
    while (running()) {
      if (Clock::now() > until) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
};

// Runs fn on a thread of its own inside the network namespace ns; false when it cannot enter it.
bool inNamespace(const std::string& ns, const std::function<void()>& fn) {
  bool entered = false;
  std::thread([&] {
    const int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    entered = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    if (entered) fn();
  }).join();
  return entered;
}

// Whether path is where a mount stands, as this process's /proc/self/mountinfo says.
bool isMountPoint(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    if (fields >> id >> parent >> device >> root >> point && point == path) return true;
  }
  return false;
}

// "ip netns exec" first makes "/" a slave mount in a mount namespace of its own, which fails
// where "/" is a plain folder (a chroot, some containers). There this process moves, once, into
// a mount namespace of its own whose root is a private bind of "/": the same files, but a mount
// point, and nothing mounted in it reaches the machine's mounts. The bind is made on /dev/shm,
// whose mount is made private first; "/" itself cannot be named from inside a chroot. "" when
// "ip netns exec" can run, else why not.
std::string rootForNetns() {
  static const std::string why = []() -> std::string {
    if (isMountPoint("/")) return "";
    const std::string refused = "/ is not a mount point, so ip netns exec cannot run here, and ";
    if (!isMountPoint("/dev/shm")) return refused + "/dev/shm is no mount to bind it under";
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return refused + "the working folder is unknown";
    const std::string place = "/dev/shm/corrana-live-root";
    auto failed = [&refused](const std::string& step) {
      return refused + step + " failed: " + strerror(errno);
    };
    if (unshare(CLONE_NEWNS) != 0) return failed("a mount namespace of its own");
    if (mount(nullptr, "/dev/shm", nullptr, MS_PRIVATE, nullptr) != 0)
      return failed("making /dev/shm private");
    if (mkdir(place.c_str(), 0700) != 0 && errno != EEXIST) return failed("mkdir " + place);
    if (mount("/", place.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      return failed("binding / on " + place);
    if (mount(nullptr, place.c_str(), nullptr, MS_PRIVATE | MS_REC, nullptr) != 0)
      return failed("making " + place + " private");
    if (chdir(place.c_str()) != 0 || chroot(".") != 0 || chdir(cwd) != 0)
      return failed("entering " + place);
    return "";
  }();
  return why;
}

// Sends one console request to port on the namespace's loopback and reads the reply until the
// monitor closes or stop is set: all at once, or a byte a second (slowly). The reply read.
std::string ask(int port, const std::string& frame, bool slowly, const std::atomic<bool>& stop) {
  std::string reply;
  const int s = corrana_test::connectLoopback(port);
  if (s < 0) return reply;
  send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  char chunk[65536];
  while (!stop) {
    const ssize_t got = recv(s, chunk, slowly ? 1 : sizeof chunk, 0);
    if (got <= 0) break;
    reply.append(chunk, static_cast<size_t>(got));
    if (slowly) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  close(s);
  return reply;
}

// The address of synthetic client i: 10.0.0.1 on, 250 to a /24 (no .0, no .255).
uint32_t clientAddress(uint32_t i) { return 0x0A000000u | ((i / 250) << 8) | (i % 250 + 1); }
std::string dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

// Writes onto the link (from inside the namespace ns) one short HTTP connection to the watched
// server from each of `clients` addresses, paced at perSecond connections: handshake, GET,
// 200 response, reset. The frames are addressed to a MAC nobody has, so that only the captures
// see them. The frames sent; on the way out the file done is made.
uint64_t sendClients(const std::string& ns, const std::string& link, uint32_t clients,
                     uint32_t perSecond, const std::string& done) {
  uint64_t sent = 0;
  inNamespace(ns, [&] {
    const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    struct sockaddr_ll to = {};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex(link.c_str()));
    to.sll_halen = 6;
    const auto start = Clock::now();
    for (uint32_t i = 0; i < clients; ++i) {
      corrana_test::TcpConversation c({clientAddress(i), static_cast<uint16_t>(20000 + i % 40000),
                                       {0x02, 0, 0, 0, 0x0c, 0x01}},
                                      {0xC6120001u, 80, {0x02, 0, 0, 0, 0x0c, 0x02}});
      c.handshake()
          .send(corrana_test::TcpConversation::kClient, "GET /c HTTP/1.1\r\nHost: b\r\n\r\n")
          .send(corrana_test::TcpConversation::kServer,
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok")
          .rst(corrana_test::TcpConversation::kClient);
      for (const corrana_test::Frame& f : c.frames()) {
        while (sendto(s, f.bytes.data(), f.bytes.size(), 0,
                      reinterpret_cast<struct sockaddr*>(&to), sizeof to) < 0 &&
               errno == ENOBUFS)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        ++sent;
      }
      if (i % 50 == 49)
        std::this_thread::sleep_until(start + std::chrono::microseconds(uint64_t{i + 1} *
                                                                        1000000 / perSecond));
    }
    close(s);
  });
  std::ofstream{done};
  return sent;
}

// The content type of a response that had none on the wire.
const char* const kUntyped = "(untyped)";
// A response size the monitor logs as unknown, as the archive reads.
constexpr uint32_t kUnknownSize = 0xFFFFFFFFu;

// tshark's view of tcpdump's file: the HTTP connections whose SYN was captured, each its
// transactions in request order.
struct Reference {
  int64_t frames = 0;
  std::multiset<Connection> connections;
  std::set<Transaction> valid;  // every (request, its response) that was on the wire
  size_t transactions = 0;
};

Reference readWithTshark(const std::string& trace) {
  Reference view;
  view.frames =
      static_cast<int64_t>(corrana_test::tsharkFields(trace, "frame", "-e frame.number").size());
  std::set<std::string> opened;
  for (const auto& row :
       corrana_test::tsharkFields(trace, "tcp.flags.syn==1 and tcp.flags.ack==0", "-e tcp.stream"))
    if (!row.empty()) opened.insert(row[0]);
  // A connection's session ends at its first RST, or once both ends have sent their FIN: a
  // response that begins later (wrk resets its connections at its deadline while responses are
  // on their way) is not read. A FIN ends only its own side, so a response sent after the
  // client's FIN alone (wrk half-closes) is read, as tshark reads it.
  std::map<std::string, long> closed;  // stream: frame
  auto closeAt = [&closed](const std::string& stream, long frame) {
    auto known = closed.find(stream);
    if (known == closed.end() || frame < known->second) closed[stream] = frame;
  };
  for (const auto& row :
       corrana_test::tsharkFields(trace, "tcp.flags.reset==1", "-e frame.number -e tcp.stream"))
    if (row.size() >= 2) closeAt(row[1], atol(row[0].c_str()));
  std::map<std::string, std::set<std::string>> finished;  // stream: the ends that sent a FIN
  for (const auto& row : corrana_test::tsharkFields(
           trace, "tcp.flags.fin==1", "-e frame.number -e tcp.stream -e ip.src -e tcp.srcport")) {
    if (row.size() < 4) continue;
    std::set<std::string>& ends = finished[row[1]];
    ends.insert(row[2] + ":" + row[3]);
    if (ends.size() == 2) closeAt(row[1], atol(row[0].c_str()));
  }
  std::map<long, std::pair<std::string, Transaction>> requests;  // frame: stream, transaction
  for (const auto& row : corrana_test::tsharkFields(
           trace, "http",
           "-e frame.number -e tcp.stream -e http.request.method -e http.request.uri "
           "-e http.response.code -e http.request_in -e http.content_length -e http.chunk_size "
           "-e http.content_type -e tcp.segment")) {
    if (row.size() < 9 || opened.count(row[1]) == 0) continue;
    if (!row[2].empty()) {
      requests[atol(row[0].c_str())] = {row[1], {row[2], row[3], "", 0, ""}};
    } else if (!row[4].empty() && row[4][0] != '1') {
      auto request = requests.find(atol(row[5].c_str()));
      if (request == requests.end()) continue;
      const long begins =
          row.size() > 9 && !row[9].empty() ? atol(row[9].c_str()) : atol(row[0].c_str());
      if (closed.count(row[1]) != 0 && begins > closed[row[1]]) continue;
      Transaction& t = request->second.second;
      std::get<2>(t) = row[4];
      uint32_t chunks = 0;
      std::istringstream sizes(row[7]);
      for (std::string size; std::getline(sizes, size, ',');)
        chunks += static_cast<uint32_t>(strtoul(size.c_str(), nullptr, 10));
      std::get<3>(t) = !row[6].empty() ? static_cast<uint32_t>(atol(row[6].c_str())) : chunks;
      std::get<4>(t) = row[8].substr(0, row[8].find(','));
    }
  }
  // A response without a content type: the monitor names the one its URI suggests, from the
  // engine's MIME table; any type is taken for it (kUntyped).
  for (auto& [frame, request] : requests) {
    Transaction& t = request.second;
    if (!std::get<2>(t).empty() && std::get<4>(t).empty()) std::get<4>(t) = kUntyped;
  }
  std::map<std::string, Connection> byStream;
  for (const auto& [frame, request] : requests) {
    byStream[request.first].push_back(request.second);
    view.valid.insert(request.second);
    ++view.transactions;
  }
  for (auto& [stream, connection] : byStream) view.connections.insert(connection);
  return view;
}

// Each record of one kind of the monitor's archives, in time order, given to take.
template <class Factory, class Record>
void readRecords(const std::string& db, const char* prefix,
                 const std::function<void(Record*)>& take) {
  Factory* factory = Factory::create();
  OB_ArchiveReader reader(factory, db.c_str(), prefix, OB_ArchiveReader::kStaticWindow, 0xFFFFFFF0u,
                          0);
  reader.init();
  for (int misses = 0; reader.isDone() == 0 && misses < 1000;) {
    OB_Data* record = reader.read();
    if (record == nullptr) {
      ++misses;
      continue;
    }
    if (Record* wanted = obQuery<Record>(record); wanted != nullptr) take(wanted);
    obRelease(record);
  }
  factory->release();
}

// The monitor's HTTP archive, connection by connection.
std::multiset<Connection> readArchive(const std::string& db, size_t* transactions) {
  std::multiset<Connection> out;
  *transactions = 0;
  readRecords<OB_HTTPConsumer, OB_HTTPProtocol>(db, "http", [&](OB_HTTPProtocol* connection) {
    Connection c;
    for (OB_Xact* link = connection->head; link != nullptr; link = link->nextItem()) {
      OB_HTTPXact* x = obQuery<OB_HTTPXact>(link);
      if (x == nullptr) continue;
      const std::string status = x->res_status_code.c_str();
      c.emplace_back(x->req_method.c_str(), x->req_request_uri.c_str(), status,
                     status.empty() ? 0u : static_cast<uint32_t>(x->res_bytes),
                     status.empty() ? "" : x->res_content_type.c_str());
    }
    *transactions += c.size();
    if (!c.empty()) out.insert(c);
  });
  return out;
}

// One FTP command: its name, its parameter and the reply codes that answered it.
using Command = std::tuple<std::string, std::string, std::vector<int>>;
using Control = std::vector<Command>;

// tshark's FTP control connections whose SYN was captured: each reply goes to the command before
// it (the greeting to none).
std::multiset<Control> readFTPWithTshark(const std::string& trace) {
  std::set<std::string> opened;
  for (const auto& row : corrana_test::tsharkFields(
           trace, "tcp.flags.syn==1 and tcp.flags.ack==0 and tcp.dstport==21", "-e tcp.stream"))
    if (!row.empty()) opened.insert(row[0]);
  std::map<std::string, Control> byStream;
  std::map<std::string, bool> continued;
  for (const auto& row : corrana_test::tsharkFields(
           trace, "ftp",
           "-e tcp.stream -e ftp.request.command -e ftp.request.arg -e ftp.response.code")) {
    if (row.size() < 4 || opened.count(row[0]) == 0) continue;
    Control& control = byStream[row[0]];
    if (!row[1].empty()) {
      control.emplace_back(row[1], row[2], std::vector<int>());
    } else if (!control.empty()) {
      corrana_test::addFTPReplyCodes(row[3], std::get<2>(control.back()), continued[row[0]]);
    }
  }
  std::multiset<Control> out;
  for (auto& [stream, control] : byStream)
    if (!control.empty()) out.insert(control);
  return out;
}

// The monitor's FTP archive, control connection by control connection.
std::multiset<Control> readFTPArchive(const std::string& db) {
  std::multiset<Control> out;
  readRecords<OB_FTPConsumer, OB_FTPProtocol>(db, "ftp", [&](OB_FTPProtocol* ftp) {
    Control control;
    for (OB_Xact* link = ftp->head; link != nullptr; link = link->nextItem()) {
      OB_FTPXact* x = obQuery<OB_FTPXact>(link);
      if (x == nullptr) continue;
      std::string parameter = x->getParameter() != nullptr ? x->getParameter() : "";
      std::string name = OB_FTPXact::commandName(x->command);
      if (x->command == OB_FTPXact::BAD_COMMAND) {
        // Words outside the command table keep the whole line as their parameter.
        const size_t space = parameter.find(' ');
        name = parameter.substr(0, space);
        parameter = space == std::string::npos ? "" : parameter.substr(space + 1);
      }
      control.emplace_back(name, parameter,
                           std::vector<int>(x->replyCodes, x->replyCodes + x->replyCount));
    }
    if (!control.empty()) out.insert(control);
  });
  return out;
}

// tapview's displays ("<label> <value>") as numbers by label.
std::map<std::string, uint64_t> parseDisplays(const std::string& text) {
  std::map<std::string, uint64_t> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t blank = line.rfind(' ');
    if (blank == std::string::npos) continue;
    const size_t start = line.find_first_not_of(' ');
    out[line.substr(start, blank - start)] = strtoull(line.c_str() + blank + 1, nullptr, 10);
  }
  return out;
}

// The namespaces, the veth pair, the servers and the scratch install of the monitor.
class Lab {
 public:
  static constexpr int kCapturePort = 8189;  // inside the server's namespace
  static constexpr int kAnalysisPort = 8188;
  static constexpr const char* kPassword = "secret";

  ~Lab() { down(); }

  int rateMbit = 40;  // the server's sending rate (set before up)
  // tcpdump's capture buffer in KiB; 0: tcpdump's default (set before startCapture).
  int tcpdumpBufferKiB = 65536;

  // Names with this process's id; "" when all is up, else why not.
  std::string up() {
    const std::string pid = std::to_string(getpid());
    server_ = "lsrv" + pid;
    client_ = "lcli" + pid;
    char pattern[] = "/dev/shm/corrana-live-XXXXXX";  // a tmpfs for every file
    if (mkdtemp(pattern) == nullptr) return "no scratch folder on /dev/shm";
    dir_ = pattern;
    const std::string data = std::string(CORRANA_SOURCE_DIR) + "/Monitor/libwire/tests/data";
    // veth-pair.sh names the link after the shell's own id.
    int status = 0;
    link_ = capture("S=" + server_ + " C=" + client_ + " bash -c '. " + data +
                        "/veth-pair.sh && echo vs$$' 2>" + dir_ + "/veth.err",
                    &status);
    while (!link_.empty() && link_.back() == '\n') link_.pop_back();
    netnsMade_ = true;
    if (status != 0 || link_.empty()) return "veth pair: " + readFile(dir_ + "/veth.err");
    // The server's end sends at a busy segment's rate rather than a loop's: wrk's keep-alive
    // connections then ask a few thousand times a second.
    if (run("ip netns exec " + server_ + " tc qdisc add dev " + link_ + " root tbf rate " +
            std::to_string(rateMbit) + "mbit burst 64kb latency 50ms") != 0)
      return "tc could not pace " + link_;
    if (!startServers()) return "servers did not start: " + readFile(dir_ + "/nginx.err");
    return "";
  }

  const std::string& dir() const { return dir_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  std::string conf(const std::string& name) const { return dir_ + "/prefix/conf/" + name; }
  const std::string& link() const { return link_; }
  const std::string& serverNs() const { return server_; }
  const std::string& clientNs() const { return client_; }

  // cmake --install into the tmpfs; the consoles' ports and password, the live adapter, the
  // options given (lines "name: value") and the servers watched.
  bool installMonitor(const std::string& options) {
    const std::string prefix = file("prefix");
    if (run("'" + std::string(CORRANA_CMAKE) + "' --install '" + CORRANA_BUILD_DIR +
            "' --prefix '" + prefix + "' >/dev/null") != 0)
      return false;
    for (const char* name : {"admin/cengine_prvt.cfg", "admin/cengine_prvtDef.cfg"}) {
      const std::string text = readFile(conf(name));
      std::ofstream(conf(name)) << std::regex_replace(text, std::regex("password\\{\\}"),
                                                      std::string("password{") + kPassword + "}");
    }
    std::ofstream(conf("admin/cengineInstall.cfg"))
        << "port " << kCapturePort << "\ndevice 0\ndbpath default\n";
    std::ofstream(conf("admin/aengineInstall.cfg"))
        << "port " << kAnalysisPort << "\ndbpath default\n";
    std::ofstream(conf("admin/adapters.cfg")) << "adapter: " << link_ << "\n";
    std::ofstream(conf("admin/corramon.cfg"), std::ios::app) << "CommonLogFile: clf.log\n"
                                                             << options;
    aengine_test::Spec spec;
    spec.http.push_back({0xC6120001u, 80, "web", {}});  // 198.18.0.1
    spec.ftp.push_back({0xC6120001u, 21, "files", {}});
    setenv("OB_INSTALLDIR", conf("").c_str(), 1);
    aengine_test::writeConfig(spec);
    unsetenv("OB_INSTALLDIR");
    return true;
  }

  // The monitor and tcpdump on the server's end of the pair; true once both capture.
  bool startCapture() {
    tcpdump_ = std::make_unique<NetnsProcess>(
        server_,
        tcpdumpBufferKiB > 0
            ? std::vector<std::string>{"tcpdump", "-n", "-i", link_, "-s", "0", "-B",
                                       std::to_string(tcpdumpBufferKiB), "-w",
                                       file("tcpdump.pcap")}
            : std::vector<std::string>{"tcpdump", "-n", "-i", link_, "-s", "0", "-w",
                                       file("tcpdump.pcap")},
        file("tcpdump.err"));
    monitor_ = std::make_unique<NetnsProcess>(
        server_, std::vector<std::string>{file("prefix/bin/corramon"), "-f"}, file("corramon.out"));
    const auto until = Clock::now() + std::chrono::seconds(30);
    bool listening = false;
    bool answering = false;
    while (Clock::now() < until && tcpdump_->running() && monitor_->running()) {
      listening =
          listening || readFile(file("tcpdump.err")).find("listening on") != std::string::npos;
      answering = answering || poll(nullptr);
      if (listening && answering) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // One tapview poll of the capture engine's console, from inside the namespace.
  bool poll(std::map<std::string, uint64_t>* displays) {
    int status = 0;
    const std::string out = capture("ip netns exec " + server_ + " '" + file("prefix/bin/tapview") +
                                        "' --once 127.0.0.1 " + std::to_string(kCapturePort) + " " +
                                        kPassword + " 2>/dev/null",
                                    &status);
    if (displays != nullptr) *displays = parseDisplays(out);
    return status == 0;
  }

  // Runs the traffic script in the client's namespace (bash, with B the server's address), with
  // the load given running beside it. Its status.
  int traffic(const std::string& script) {
    std::ofstream(file("traffic.sh")) << "B=198.18.0.1\ncd '" << dir_ << "'\n" << script;
    std::vector<std::thread> load;
    for (auto& task : during) load.emplace_back(task);
    const int status = run("timeout 150 ip netns exec " + client_ + " bash '" + file("traffic.sh") +
                           "' >'" + file("traffic.out") + "' 2>&1");
    for (std::thread& t : load) t.join();
    return status;
  }

  // Waits until the monitor's connection counts settle (every connection handed on), reads
  // its statistics, stops tcpdump and the monitor. The monitor's exit status.
  int stopCapture(std::map<std::string, uint64_t>* displays) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int dumped = tcpdump_->end(SIGINT, std::chrono::seconds(20));
    EXPECT_EQ(dumped, 0) << readFile(file("tcpdump.err"));
    std::map<std::string, uint64_t> last;
    // A backlog of closed connections is handed on before the counts are taken.
    for (const auto until = Clock::now() + std::chrono::seconds(drainSeconds);
         Clock::now() < until;) {
      std::map<std::string, uint64_t> now;
      if (poll(&now) && now["TCP ended:"] >= now["TCP started:"]) break;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
      std::map<std::string, uint64_t> now;
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      if (!poll(&now)) continue;
      const bool settled = now == last && now["TCP ended:"] > 0;
      last = now;
      if (settled) break;
    }
    *displays = last;
    if (beforeStop) beforeStop();
    const auto signalled = Clock::now();
    const int status = monitor_->end(SIGTERM, std::chrono::seconds(30));
    stopSeconds = std::chrono::duration<double>(Clock::now() - signalled).count();
    return status;
  }

  // The monitor's name look-ups go to a resolver inside the server's namespace that never
  // answers: a UDP socket on 127.0.0.53 port 53 that nobody reads. Before startCapture.
  bool silenceResolver() {
    resolvConf_ = "/etc/netns/" + server_;
    std::error_code ignored;
    fs::create_directories(resolvConf_, ignored);
    std::ofstream(resolvConf_ + "/resolv.conf") << "nameserver 127.0.0.53\n";
    return inNamespace(server_, [this] {
      silent_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      struct sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(53);
      address.sin_addr.s_addr = htonl(0x7F000035);
      if (silent_ >= 0 &&
          bind(silent_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
        close(silent_);
        silent_ = -1;
      }
    }) && silent_ >= 0;
  }

  // tcpdump's own drop count ("N packets dropped by kernel"), -1 when it did not say.
  int64_t tcpdumpDrops() const {
    std::smatch m;
    const std::string err = readFile(file("tcpdump.err"));
    static const std::regex kDropped(R"((\d+) packets dropped by kernel)");
    return std::regex_search(err, m, kDropped) ? atoll(m[1].str().c_str()) : -1;
  }

  // Runs beside the traffic script (console clients, slow readers, ...).
  std::vector<std::function<void()>> during;
  // How long stopCapture waits at most for every connection started to be handed on.
  int drainSeconds = 0;
  // Runs just before the monitor is sent SIGTERM.
  std::function<void()> beforeStop;
  // From SIGTERM to the monitor's end.
  double stopSeconds = 0;

 private:
  bool startServers() {
    const std::string doc = file("www");
    fs::create_directories(doc + "/img");
    fs::create_directories(doc + "/css");
    fs::create_directories(doc + "/js");
    // Each resource its own size and type, so that a response paired with another request
    // shows.
    auto put = [](const std::string& path, size_t size, char fill) {
      std::ofstream(path, std::ios::binary) << std::string(size, fill);
    };
    put(doc + "/index.html", 120, 'i');
    put(doc + "/page1.html", 3100, 'p');
    put(doc + "/page2.html", 17000, 'q');
    put(doc + "/img/a.png", 9000, 'a');
    put(doc + "/img/b.jpg", 41000, 'b');
    put(doc + "/css/s.css", 700, 'c');
    put(doc + "/js/app.js", 5200, 'j');
    put(doc + "/big.txt", 300000, 't');
    run("touch -d '2020-01-01 00:00:00 UTC' '" + doc + "'/*.html");
    std::ofstream(file("nginx.conf"))
        << "worker_processes 1; pid " << file("nginx.pid") << "; error_log " << file("nginx.err")
        << "; daemon on;\nevents { worker_connections 256; }\n"
        << "http { include /etc/nginx/mime.types; access_log off; keepalive_requests 100; "
           "etag off;\n  server { listen 198.18.0.1:80; root "
        << doc << ";\n"
        << "    location /old { return 301 /index.html; } location /secret { return 403; }\n"
        << "    location /api { default_type text/plain; return 200 'ok'; }\n"
        << "    location /chunked { default_type text/plain; gzip on; gzip_min_length 1; "
           "gzip_types text/plain; return 200 'a chunked body'; } } }\n";
    fs::create_directories(file("ftp/pub"));
    put(file("ftp/README"), 29, 'r');
    put(file("ftp/pub/notes.txt"), 4000, 'n');
    put(file("ftp/pub/data.bin"), 200000, 'd');
    std::ofstream(file("vsftpd.conf"))
        << "listen=YES\nanonymous_enable=YES\nlocal_enable=NO\nanon_root=" << file("ftp")
        << "\nno_anon_password=YES\npasv_enable=YES\npasv_min_port=40000\npasv_max_port=40100\n"
           "port_enable=YES\nlisten_address=198.18.0.1\nsecure_chroot_dir="
        << dir_ << "\nseccomp_sandbox=NO\nbackground=NO\n";
    run("chmod 755 '" + dir_ + "'; chmod -R a+rX '" + dir_ + "/www' '" + dir_ + "/ftp'");
    if (run("ip netns exec " + server_ + " nginx -c '" + file("nginx.conf") + "' 2>>'" +
            file("nginx.err") + "'") != 0)
      return false;
    vsftpd_ = std::make_unique<NetnsProcess>(
        server_, std::vector<std::string>{"vsftpd", file("vsftpd.conf")}, file("vsftpd.out"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return vsftpd_->running();
  }

  void down() {
    monitor_.reset();
    if (silent_ >= 0) close(silent_);
    if (!resolvConf_.empty()) {
      std::error_code ignored;
      fs::remove_all(resolvConf_, ignored);
    }
    tcpdump_.reset();
    vsftpd_.reset();
    if (!dir_.empty() && fs::exists(file("nginx.pid")))
      run("kill $(cat '" + file("nginx.pid") + "') 2>/dev/null");
    if (netnsMade_) {
      run("ip netns del " + server_ + " 2>/dev/null");
      run("ip netns del " + client_ + " 2>/dev/null");
    }
    if (!dir_.empty()) {
      std::error_code ignored;
      fs::remove_all(dir_, ignored);
    }
  }

  std::string server_;
  std::string client_;
  std::string link_;
  std::string dir_;
  bool netnsMade_ = false;
  std::string resolvConf_;
  int silent_ = -1;
  std::unique_ptr<NetnsProcess> vsftpd_;
  std::unique_ptr<NetnsProcess> tcpdump_;
  std::unique_ptr<NetnsProcess> monitor_;
};

// HTTP with keep-alive, several methods, resources and statuses (curl, and wrk cycling through
// the resources with a POST every fifth request), then FTP (lftp passive and active, curl).
const char* const kTraffic = R"(
cat > cycle.lua <<'LUA'
local paths = {"/index.html", "/page1.html", "/img/a.png", "/css/s.css", "/js/app.js",
               "/missing.html", "/secret", "/page2.html", "/img/b.jpg", "/api"}
local i = 0
request = function()
  i = i + 1
  if i % 5 == 0 then
    return wrk.format("POST", "/api", {["Content-Type"] = "application/x-www-form-urlencoded"},
                      "n=" .. i)
  end
  return wrk.format("GET", paths[(i % #paths) + 1])
end
LUA
c() { curl -s -m 10 "$@" >/dev/null || true; }
f() { timeout 20 lftp -e "set net:timeout 5; set net:max-retries 2; set ftp:use-abor no; $1; bye" $B >/dev/null 2>&1 || true; }
c http://$B/index.html http://$B/page1.html http://$B/img/a.png http://$B/css/s.css \
  http://$B/js/app.js http://$B/missing.html http://$B/old http://$B/secret http://$B/api \
  http://$B/big.txt http://$B/page2.html
c -H 'If-Modified-Since: Wed, 01 Jan 2020 00:00:00 GMT' http://$B/page1.html http://$B/index.html
c -H 'Accept-Encoding: gzip' http://$B/chunked http://$B/chunked http://$B/api
c -d 'user=a&pw=b' http://$B/api http://$B/page1.html
c -X PUT -d 'x' http://$B/page1.html http://$B/img/a.png
c -X DELETE http://$B/css/s.css http://$B/js/app.js
c -A 'test/1' -e http://$B/index.html http://$B/img/b.jpg http://$B/missing.html
timeout 20 wrk -t2 -c4 -d2s -s cycle.lua http://$B/ >wrk.out 2>&1 || true
f "set ftp:passive-mode on; ls; cd pub; ls; get notes.txt -o /dev/null; get missing.txt -o /dev/null"
f "set ftp:passive-mode off; cd pub; get notes.txt -o /dev/null; ls"
c ftp://$B/pub/notes.txt ftp://$B/pub/data.bin
c http://$B/index.html http://$B/page2.html
sleep 0.5
)";

std::string text(const Transaction& t) {
  return std::get<0>(t) + " " + std::get<1>(t) + " " + std::get<2>(t) + " " +
         std::to_string(std::get<3>(t)) + " " + std::get<4>(t);
}

// Where the first connection of each list differs from the other's, as text.
std::string firstDifference(const std::vector<Connection>& a, const std::vector<Connection>& b) {
  if (a.empty() || b.empty()) return a.empty() && b.empty() ? "none" : "a whole connection";
  for (size_t i = 0; i < a[0].size() || i < b[0].size(); ++i) {
    const std::string mine = i < a[0].size() ? text(a[0][i]) : "(none)";
    const std::string theirs = i < b[0].size() ? text(b[0][i]) : "(none)";
    if (mine != theirs)
      return "transaction " + std::to_string(i) + ": monitor " + mine + ", tshark " + theirs;
  }
  return "none";
}

// wrk resets its connections at its deadline while responses are on their way. The monitor's
// session ends at that reset, so a body still coming is logged with its size unknown (where the
// server's own close cut it, with the bytes sent before); tshark reads the server's bytes sent
// after the reset too, and has the whole response or, where the rest never came, the request
// alone. Such a response is its connection's last, with the status and type its resource answers
// with and fewer bytes than that answer, or an unknown size.
bool cutShortAnswer(const Reference& reference, const Transaction& t) {
  if (std::get<2>(t).empty() || reference.valid.count(t) != 0) return false;
  for (auto answer = reference.valid.lower_bound({std::get<0>(t), std::get<1>(t), "", 0, ""});
       answer != reference.valid.end() && std::get<0>(*answer) == std::get<0>(t) &&
       std::get<1>(*answer) == std::get<1>(t);
       ++answer) {
    if (std::get<2>(*answer) == std::get<2>(t) && std::get<4>(*answer) == std::get<4>(t) &&
        (std::get<3>(t) == kUnknownSize || std::get<3>(t) < std::get<3>(*answer)))
      return true;
  }
  return false;
}

// The same connection, but that the monitor's last transaction may be one cut short where tshark
// has the whole response or the request alone.
bool sameConnection(const Reference& reference, const Connection& mine, const Connection& theirs) {
  if (mine.size() != theirs.size() || mine.empty() ||
      !std::equal(mine.begin(), mine.end() - 1, theirs.begin()))
    return mine == theirs;
  const Transaction& last = mine.back();
  const Transaction& other = theirs.back();
  if (last == other) return true;
  if (std::get<0>(last) != std::get<0>(other) || std::get<1>(last) != std::get<1>(other) ||
      !cutShortAnswer(reference, last))
    return false;
  return std::get<2>(other).empty() ||
         (std::get<2>(other) == std::get<2>(last) && std::get<4>(other) == std::get<4>(last));
}

// The option that makes the capture drop frames under wrk's load.
const char* const kTinyBuffer = "PacketBufferSize: 1\n";

class LiveCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    // The tools first (test.sh has installed them; a test run by hand may need them), so that
    // the probe below fails only for the reason it names.
    if (!haveTools()) {
      run("apt-get install -y nginx-light vsftpd lftp curl wrk tcpdump ethtool iproute2 "
          ">/dev/null 2>&1 || (apt-get update >/dev/null 2>&1 && apt-get install -y nginx-light "
          "vsftpd lftp curl wrk tcpdump ethtool iproute2 >/dev/null 2>&1)");
    }
    ASSERT_TRUE(haveTools()) << "apt-get could not install the servers and clients";
    const std::string probe = "lprobe" + std::to_string(getpid());
    int made = 0;
    std::string refused = capture("ip netns add " + probe + " 2>&1", &made);
    if (made != 0) {
      while (!refused.empty() && refused.back() == '\n') refused.pop_back();
      GTEST_SKIP() << "network namespaces cannot be made here (ip netns add: " << refused << ")";
    }
    run("ip netns del " + probe);
    if (const std::string why = rootForNetns(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(corrana_test::haveTshark()) << "tshark is not installed";
    const std::string why = lab_.up();
    ASSERT_EQ(why, "");
  }

  // Installs and starts the monitor with the options, runs the traffic, stops everything and
  // reads both sides.
  void runCase(const std::string& options) {
    ASSERT_NO_FATAL_FAILURE(startCase(options));
    EXPECT_EQ(lab_.traffic(kTraffic), 0) << readFile(lab_.file("traffic.out"));
    finishCase();
  }
  void startCase(const std::string& options) {
    ASSERT_TRUE(lab_.installMonitor(options)) << "cmake --install into " << lab_.dir();
    ASSERT_TRUE(lab_.startCapture())
        << readFile(lab_.file("tcpdump.err")) << readFile(lab_.conf("logs/corramon.log"))
        << readFile(lab_.file("corramon.out"));
  }
  // Stops everything and reads both sides.
  void finishCase() {
    EXPECT_EQ(lab_.stopCapture(&displays_), 0)
        << readFile(lab_.conf("logs/corramon.log")) << readFile(lab_.file("corramon.out"));
    reference_ = readWithTshark(lab_.file("tcpdump.pcap"));
    monitor_ = readArchive(lab_.conf("db"), &monitorTransactions_);
    // The type the monitor guessed for a response that had none stands for none.
    std::multiset<Connection> typed;
    for (Connection connection : monitor_) {
      for (Transaction& t : connection) {
        Transaction untyped = t;
        std::get<4>(untyped) = kUntyped;
        if (reference_.valid.count(t) == 0 && reference_.valid.count(untyped) != 0) t = untyped;
      }
      typed.insert(connection);
    }
    monitor_.swap(typed);
    cutShort_ = 0;
    for (const Connection& connection : monitor_)
      if (cutShortAnswer(reference_, connection.back())) ++cutShort_;
    log_ = readFile(lab_.conf("logs/corramon.log"));
    std::cout << "[ figures  ] frames " << reference_.frames << " (tcpdump), "
              << displays_["Packets received:"] << " (monitor); drops: monitor "
              << displays_["Packets dropped:"] << " (buffer full " << displays_["buffer full:"]
              << ", interface " << displays_["by interface:"] << "), tcpdump "
              << lab_.tcpdumpDrops() << "; discontiguous connections "
              << displays_["and discontiguous:"] << "; HTTP transactions: tshark "
              << reference_.transactions << ", monitor " << monitorTransactions_ << " in "
              << monitor_.size() << " connections, " << cutShort_
              << " responses cut short by their connection's end\n";
  }

  // Monitor transactions whose response is not one that answered that request on the wire,
  // and those without a response.
  void checkPairing(size_t* wrong, size_t* unanswered, std::string* examples) const {
    *wrong = 0;
    *unanswered = 0;
    for (const Connection& connection : monitor_) {
      for (const Transaction& t : connection) {
        if (std::get<2>(t).empty()) {
          ++*unanswered;
        } else if (reference_.valid.count(t) == 0 &&
                   !(&t == &connection.back() && cutShortAnswer(reference_, t))) {
          if (++*wrong <= 10) *examples += text(t) + "\n";
        }
      }
    }
  }

  Lab lab_;
  std::map<std::string, uint64_t> displays_;
  Reference reference_;
  std::multiset<Connection> monitor_;
  size_t monitorTransactions_ = 0;
  size_t cutShort_ = 0;
  std::string log_;
};

// Without drops the monitor's connections are tshark's, transaction for transaction.
TEST_F(LiveCapture, WithoutDropsEveryTransactionIsTsharks) {
  runCase("");
  ASSERT_EQ(displays_["Packets dropped:"], 0u)
      << "the monitor dropped frames with its default buffer\n"
      << log_;
  EXPECT_EQ(lab_.tcpdumpDrops(), 0);
  EXPECT_EQ(displays_["and discontiguous:"], 0u);
  EXPECT_EQ(log_.find("frames dropped"), std::string::npos) << log_;
  EXPECT_GT(reference_.transactions, 100u);
  EXPECT_EQ(monitorTransactions_, reference_.transactions);
  // The access log holds the same transactions, one line each.
  const std::string accessLog = readFile(lab_.conf("logs/clf.log"));
  EXPECT_EQ(static_cast<size_t>(std::count(accessLog.begin(), accessLog.end(), '\n')),
            reference_.transactions);
  size_t wrong = 0;
  size_t unanswered = 0;
  std::string examples;
  checkPairing(&wrong, &unanswered, &examples);
  EXPECT_EQ(wrong, 0u) << examples;
  // The connections are too many to show: the first transaction that differs is. Each of the
  // monitor's is matched with one of tshark's, the same ones first.
  std::vector<Connection> onlyMine;
  std::vector<Connection> onlyTheirs(reference_.connections.begin(),
                                     reference_.connections.end());
  std::vector<Connection> unmatched;
  for (const Connection& connection : monitor_) {
    auto same = std::find(onlyTheirs.begin(), onlyTheirs.end(), connection);
    if (same != onlyTheirs.end())
      onlyTheirs.erase(same);
    else
      unmatched.push_back(connection);
  }
  for (const Connection& connection : unmatched) {
    auto same = std::find_if(onlyTheirs.begin(), onlyTheirs.end(), [&](const Connection& c) {
      return sameConnection(reference_, connection, c);
    });
    if (same != onlyTheirs.end())
      onlyTheirs.erase(same);
    else
      onlyMine.push_back(connection);
  }
  EXPECT_TRUE(onlyMine.empty() && onlyTheirs.empty())
      << onlyMine.size() << " connections only the monitor has, " << onlyTheirs.size()
      << " only tshark has; first difference: " << firstDifference(onlyMine, onlyTheirs);
  // Each FTP command with its own replies.
  const std::multiset<Control> ftp = readFTPArchive(lab_.conf("db"));
  const std::multiset<Control> ftpReference = readFTPWithTshark(lab_.file("tcpdump.pcap"));
  EXPECT_EQ(ftpReference.size(), 3u);  // two lftp sessions and curl's
  EXPECT_EQ(ftp, ftpReference);
}

// A capture buffer far too small for wrk's bursts: the monitor drops frames and says so in its
// statistics (split by where) and in its log with the adapter's name.
TEST_F(LiveCapture, ForcedDropsAreCountedAndLogged) {
  runCase(kTinyBuffer);
  const uint64_t dropped = displays_["Packets dropped:"];
  ASSERT_GT(dropped, 0u) << "no drops could be forced";
  EXPECT_EQ(dropped, displays_["buffer full:"] + displays_["by interface:"]);
  EXPECT_GT(displays_["and discontiguous:"], 0u);
  EXPECT_NE(log_.find("capture on " + lab_.link() + ": "), std::string::npos) << log_;
  EXPECT_NE(log_.find(" frames dropped ("), std::string::npos) << log_;
  EXPECT_NE(log_.find(" connections with missing segments ("), std::string::npos) << log_;
  EXPECT_EQ(lab_.tcpdumpDrops(), 0);
  EXPECT_LE(monitorTransactions_, reference_.transactions);
}

// Under the same drops no request is given another request's response: those whose response
// was lost are logged without one.
TEST_F(LiveCapture, ForcedDropsNeverPairWrongly) {
  runCase(kTinyBuffer);
  ASSERT_GT(displays_["Packets dropped:"], 0u) << "no drops could be forced";
  size_t wrong = 0;
  size_t unanswered = 0;
  std::string examples;
  checkPairing(&wrong, &unanswered, &examples);
  std::cout << "[ figures  ] under drops: " << unanswered << " transactions without a response, "
            << wrong << " with another request's response\n";
  EXPECT_EQ(wrong, 0u) << examples;
}

// The count that opens a successful ranking reply (1065); -1 for any other reply.
int64_t rankingCount(const std::string& reply) {
  const std::string head = aengine_test::success("");
  if (reply.size() < head.size() + 8 || reply.compare(0, head.size(), head) != 0) return -1;
  uint32_t count = 0;
  for (size_t i = head.size() + 4; i < head.size() + 8; ++i)
    count = count << 8 | static_cast<uint8_t>(reply[i]);
  return count;
}

// Waits for a file (made by another thread) or stop.
void awaitFile(const std::string& path, const std::atomic<bool>& stop) {
  while (!stop && !fs::exists(path)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Threads that end once stop is set, joined however the case ends.
struct Helpers {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  ~Helpers() { end(); }
  void end() {
    stop = true;
    for (std::thread& t : threads) t.join();
    threads.clear();
  }
};

// The road beside everything the console and the resolver can do to it: a console client asking
// every statistics code in a loop, 100,000 clients tracked and ranked, a client reading its
// ranking a byte a second, and a resolver that never answers. The monitor drops no more frames
// than tcpdump with its default buffer beside it, its transactions are tshark's, and SIGTERM
// sent while a ranking is asked and the slow reader still reads ends it within seconds.
TEST_F(LiveCapture, ConsoleLoadAndSilentResolverCostTheRoadNothing) {
  constexpr uint32_t kClients = 100000;
  constexpr uint32_t kRanges = 4;  // the clients counted in ranges of kClients / kRanges
  // New connections a second: what the debug build's analysis keeps up with beside the console
  // loop, within the traffic script's time.
  constexpr uint32_t kPerSecond = 2000;
  lab_.tcpdumpBufferKiB = 0;
  lab_.drainSeconds = 240;
  ASSERT_TRUE(lab_.silenceResolver()) << "no silent resolver in " << lab_.serverNs();
  // Closed connections wait for the analysis with their segments; a backlog of tens of thousands
  // takes more packet buffers than the default pools hold (the monitor then counts segments
  // "without memory" and connections with missing segments): the pools are sized for this load.
  ASSERT_NO_FATAL_FAILURE(startCase("PacketPools: 4096\n"));
  const uint32_t key =
      static_cast<uint32_t>(strtoul(readFile(lab_.conf("admin/aengineKey")).c_str(), nullptr, 10));
  auto request = [&](int32_t code, const std::string& payload) {
    aengine_test::Request r;
    r.command = code;
    r.password = Lab::kPassword;
    r.key = key;
    r.payload = payload;
    return r.frame();
  };
  using corrana_test::wireLine;
  using corrana_test::wireS16;
  std::vector<std::string> every;
  for (int32_t code = 100; code < 8000; ++code) {
    const AEngineCommand* command = aengine_findCommand(code);
    if (command != nullptr && command->handler != nullptr)
      every.push_back(
          request(code, wireS16(0) + wireS16(10) + wireLine("0.0.0.0") + wireLine("0.0.0.0")));
  }
  auto ranking = [&](int16_t type, const std::string& first, const std::string& second) {
    return request(1065, wireS16(type) + wireS16(32767) + wireLine(first) + wireLine(second));
  };
  const std::string whole = ranking(0, "0.0.0.0", "0.0.0.0");
  const int port = Lab::kAnalysisPort;
  const std::string done = lab_.file("clients.done");

  Helpers helpers;
  std::atomic<bool> stopping{false};  // the monitor is being stopped
  std::atomic<uint64_t> replies{0};
  std::atomic<size_t> slowBytes{0};
  helpers.threads.emplace_back([&] {
    inNamespace(lab_.serverNs(), [&] {
      while (!helpers.stop)
        for (const std::string& frame : every) {
          if (helpers.stop) break;
          if (!ask(port, frame, false, helpers.stop).empty())
            ++replies;
          else if (stopping)
            return;  // the monitor has gone
        }
    });
  });
  helpers.threads.emplace_back([&] {
    awaitFile(done, helpers.stop);
    inNamespace(lab_.serverNs(),
                [&] { slowBytes = ask(port, whole, true, helpers.stop).size(); });
  });
  uint64_t frames = 0;
  lab_.during.push_back([&] {
    frames = sendClients(lab_.clientNs(), "vc" + lab_.link().substr(2), kClients, kPerSecond, done);
  });
  std::string rankingReply;
  double rankingSeconds = 0;
  lab_.during.push_back([&] {
    awaitFile(done, helpers.stop);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the last connections handed on
    inNamespace(lab_.serverNs(), [&] {
      const auto asked = Clock::now();
      rankingReply = ask(port, whole, false, helpers.stop);
      rankingSeconds = std::chrono::duration<double>(Clock::now() - asked).count();
    });
  });
  // Every client is tracked: counted by ranges once the road has settled. Then a ranking is
  // being asked when SIGTERM comes.
  int64_t tracked = 0;
  lab_.beforeStop = [&] {
    inNamespace(lab_.serverNs(), [&] {
      const uint32_t each = kClients / kRanges;
      for (uint32_t r = 0; r < kRanges; ++r) {
        const int64_t n = rankingCount(ask(port,
                                           ranking(3, dotted(clientAddress(r * each)),
                                                   dotted(clientAddress(r * each + each - 1))),
                                           false, helpers.stop));
        tracked += n < 0 ? 0 : n;
      }
    });
    stopping = true;
    helpers.threads.emplace_back(
        [&] { inNamespace(lab_.serverNs(), [&] { ask(port, whole, false, helpers.stop); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  EXPECT_EQ(lab_.traffic("while [ ! -e clients.done ]; do sleep 0.2; done\n" +
                         std::string(kTraffic)),
            0)
      << readFile(lab_.file("traffic.out"));
  finishCase();
  helpers.end();
  std::cout << "[ figures  ] " << frames << " frames of " << kClients
            << " synthetic clients; clients tracked " << tracked << "; ranking of "
            << rankingCount(rankingReply) << " clients, " << rankingReply.size() << " bytes in "
            << rankingSeconds << " s; " << replies << " console replies in the loop; slow reader "
            << slowBytes << " bytes; SIGTERM to exit " << lab_.stopSeconds
            << " s; segments without memory " << displays_["no memory Packets"] << "\n";
  EXPECT_EQ(frames, uint64_t{kClients} * 6);
  EXPECT_EQ(tracked, kClients);
  EXPECT_EQ(rankingCount(rankingReply), 32767);
  EXPECT_GT(replies, every.size());
  EXPECT_GT(slowBytes, 0u);
  EXPECT_LT(lab_.stopSeconds, 5.0);
  ASSERT_GE(lab_.tcpdumpDrops(), 0) << readFile(lab_.file("tcpdump.err"));
  EXPECT_LE(displays_["Packets dropped:"], static_cast<uint64_t>(lab_.tcpdumpDrops()));
  EXPECT_GT(reference_.transactions, kClients);
  EXPECT_EQ(monitorTransactions_, reference_.transactions);
  if (monitorTransactions_ != reference_.transactions)
    for (const auto& [name, value] : displays_) std::cout << name << " " << value << "\n";
}

}  // namespace

namespace {

// The monitor stopped (SIGSTOP) for about a second, several times, while wrk asks nginx, one
// request at a time on each connection, for resources that each answer with their own status and
// size, every request with a URI of its own; tcpdump keeps every frame. Which frames the monitor
// missed is not known frame by frame, but when: its drop counters (the capture buffer's, the
// interface's, and payloads that found no pool buffer) are read right before each stop and after
// it until they stand still, and each stop's stretch of time runs from the read before it to the
// last read that still moved. Drops outside those stretches make the case unable to judge, and it
// says so. A transaction none of whose frames (its request's, its response's, its connection's
// SYN and SYN/ACK) lies in such a stretch was all captured by the monitor.

// One request on the wire, as tshark reads tcpdump's file.
struct Exchange {
  std::string status;  // "" without a response
  uint32_t bytes = 0;  // the response's Content-Length, or the sum of its chunk sizes
  std::vector<long> frames;  // its request's and its response's
  long stream = -1;
  long last = 0;  // its last frame
  bool afterClose = false;  // it ends after its connection's session did (a RST or both FINs)
};

// A stretch of time (seconds since 1970, the clock of the frames' time stamps) in which the
// monitor may have missed frames, and how many it missed in it.
struct Blind {
  double from = 0;
  double to = 0;
  int64_t missed = 0;
};

double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The process running the executable at path; -1 when none does.
pid_t processOf(const std::string& path) {
  // The program is matched by its file, not by the name its link reads: a process started in
  // another mount namespace (ip netns exec, or the live tests' own in a chroot) names its
  // program from that namespace's root, which need not be ours.
  struct stat wanted{};
  if (stat(path.c_str(), &wanted) != 0) return -1;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat program{};
    if (stat((entry.path() / "exe").c_str(), &program) == 0 && program.st_dev == wanted.st_dev &&
        program.st_ino == wanted.st_ino)
      return static_cast<pid_t>(atoi(name.c_str()));
  }
  return -1;
}

// The frames the monitor did not get, by its own counts; -1 when the console does not answer.
int64_t missedFrames(Lab& lab) {
  std::map<std::string, uint64_t> displays;
  if (!lab.poll(&displays)) return -1;
  return static_cast<int64_t>(displays["Packets dropped:"] + displays["no memory Packets"]);
}

// Stops the monitor `stops` times for a second, a second of traffic between, once wrk has
// begun (the file started made) and the monitor counts its frames.
struct Stopper {
  std::vector<Blind> blind;
  int64_t settled = 0;       // the missed count after the last stop
  int64_t outside = 0;       // frames missed between the stops
  std::string failed;        // why the stops could not be made, or ""

  void run(Lab& lab, pid_t monitor, int stops, const std::string& started) {
    const auto until = Clock::now() + std::chrono::seconds(30);
    std::map<std::string, uint64_t> displays;
    while (Clock::now() < until &&
           !(fs::exists(started) && lab.poll(&displays) && displays["Packets received:"] > 2000))
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (Clock::now() >= until) {
      failed = "the traffic did not begin";
      return;
    }
    settled = missedFrames(lab);
    for (int i = 0; i < stops && failed.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      Blind b;
      b.from = wallNow();
      const int64_t before = missedFrames(lab);
      if (before < 0) {
        failed = "the monitor's console did not answer before stop " + std::to_string(i + 1);
        break;
      }
      outside += before - settled;
      kill(monitor, SIGSTOP);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      kill(monitor, SIGCONT);
      // Until two reads in a row give the same count: the stretch ends with the first of them.
      int64_t last = -1;
      for (int reads = 0; reads < 100; ++reads) {
        const int64_t now = missedFrames(lab);
        const double read = wallNow();
        if (now >= 0 && now == last) break;
        last = now;
        b.to = read;
      }
      if (last < 0) {
        failed = "the monitor's console did not answer after stop " + std::to_string(i + 1);
        break;
      }
      b.missed = last - before;
      settled = last;
      blind.push_back(b);
    }
  }
};

// tcpdump's file read by tshark: every request by its URI, and the time of every frame.
struct WireView {
  std::map<std::string, Exchange> byUri;
  size_t repeatedUris = 0;  // requests whose URI an earlier one had
  std::vector<double> times;  // by frame number
  std::map<long, std::pair<long, long>> handshake;  // stream: its SYN's and SYN/ACK's frames
  std::map<long, long> closed;  // stream: the frame of its first RST, or of its second FIN
};

WireView readWire(const std::string& trace) {
  WireView view;
  std::map<long, std::set<std::string>> finished;  // stream: the ends that sent a FIN
  for (const auto& row : corrana_test::tsharkFields(
           trace, "tcp",
           "-e frame.number -e frame.time_epoch -e tcp.stream -e tcp.flags -e ip.src "
           "-e tcp.srcport")) {
    if (row.size() < 6) continue;
    const long frame = atol(row[0].c_str());
    const long stream = atol(row[2].c_str());
    const unsigned long flags = strtoul(row[3].c_str(), nullptr, 16);
    if (frame <= 0) continue;
    if (view.times.size() <= static_cast<size_t>(frame)) view.times.resize(frame + 1, 0);
    view.times[frame] = strtod(row[1].c_str(), nullptr);
    // The first SYN and the first SYN/ACK.
    std::pair<long, long>& opening = view.handshake[stream];
    long& first = (flags & 0x10) != 0 ? opening.second : opening.first;
    if ((flags & 0x02) != 0 && first == 0) first = frame;
    auto closeAt = [&](long at) {
      if (view.closed.count(stream) == 0) view.closed[stream] = at;
    };
    if ((flags & 0x04) != 0) closeAt(frame);
    if ((flags & 0x01) != 0) {
      std::set<std::string>& ends = finished[stream];
      ends.insert(row[4] + ":" + row[5]);
      if (ends.size() == 2) closeAt(frame);
    }
  }
  std::map<long, std::string> uriOf;  // the request's frame: its URI
  for (const auto& row : corrana_test::tsharkFields(
           trace, "http",
           "-o tcp.reassemble_out_of_order:TRUE -e frame.number -e tcp.stream -e http.request.uri "
           "-e http.response.code "
           "-e http.request_in -e http.content_length -e http.chunk_size -e tcp.segment")) {
    if (row.size() < 5) continue;
    const long frame = atol(row[0].c_str());
    std::vector<long> frames;
    std::istringstream segments(row.size() > 7 ? row[7] : "");
    for (std::string s; std::getline(segments, s, ',');) frames.push_back(atol(s.c_str()));
    if (frames.empty()) frames.push_back(frame);
    if (!row[2].empty()) {
      if (view.byUri.count(row[2]) != 0) {
        ++view.repeatedUris;
        continue;
      }
      Exchange& e = view.byUri[row[2]];
      e.stream = atol(row[1].c_str());
      e.frames = frames;
      uriOf[frame] = row[2];
    } else if (!row[3].empty() && row[3][0] != '1') {
      auto request = uriOf.find(atol(row[4].c_str()));
      if (request == uriOf.end()) continue;
      Exchange& e = view.byUri[request->second];
      e.status = row[3];
      uint32_t chunks = 0;
      std::istringstream sizes(row.size() > 6 ? row[6] : "");
      for (std::string size; std::getline(sizes, size, ',');)
        chunks += static_cast<uint32_t>(strtoul(size.c_str(), nullptr, 10));
      e.bytes = row.size() > 5 && !row[5].empty() ? static_cast<uint32_t>(atol(row[5].c_str()))
                                                  : chunks;
      e.frames.insert(e.frames.end(), frames.begin(), frames.end());
    }
  }
  for (auto& [uri, e] : view.byUri) {
    for (long f : e.frames) e.last = std::max(e.last, f);
    auto end = view.closed.find(e.stream);
    e.afterClose = end != view.closed.end() && e.last > end->second;
  }
  return view;
}

// wrk asking, one request at a time per connection, for resources that each answer with a
// status and size of their own (among them a redirect, refusals, a 2-byte and a gzip-chunked
// body), every URI made unique by its thread and count; the started file is made first.
const char* const kUniqueRequests = R"(
cat > unique.lua <<'LUA'
local paths = {"/index.html", "/page1.html", "/img/a.png", "/css/s.css", "/js/app.js",
               "/missing.html", "/secret", "/page2.html", "/img/b.jpg", "/api", "/old",
               "/chunked", "/big.txt"}
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("id", threads)
end
local n = 0
request = function()
  n = n + 1
  local path = paths[(n * 7) % #paths + 1]
  local headers = {}
  if path == "/chunked" then headers["Accept-Encoding"] = "gzip" end
  return wrk.format("GET", path .. "?c=" .. id .. "-" .. n, headers)
end
LUA
touch wrk.started
timeout 90 wrk -t2 -c8 -d30s -s unique.lua http://$B/ >wrk.out 2>&1 || true
sleep 0.5
)";

// Stopped by SIGSTOP mid-traffic under a client that never pipelines, the monitor gives no
// request another request's response, and every transaction it captured whole, outside the
// stops, is logged with its own status and bytes.
TEST_F(LiveCapture, StopsOfTheMonitorShiftNoResponseAndLoseNoWholeTransaction) {
  constexpr int kStops = 8;
  // A capture buffer that a second's traffic overflows (the default holds more than that).
  // Connections whose end fell in a stop hold their segments until the idle sweep: the payload
  // pools are sized so that they do not run out meanwhile (the monitor would then miss frames
  // outside the stops).
  ASSERT_NO_FATAL_FAILURE(startCase("PacketBufferSize: 2097152\nPacketPools: 4096\n"));
  const pid_t monitor = processOf(lab_.file("prefix/bin/corramon"));
  ASSERT_GT(monitor, 0) << "the monitor's process was not found";
  Stopper stopper;
  lab_.during.push_back(
      [&] { stopper.run(lab_, monitor, kStops, lab_.file("wrk.started")); });
  EXPECT_EQ(lab_.traffic(kUniqueRequests), 0) << readFile(lab_.file("traffic.out"));
  EXPECT_EQ(lab_.stopCapture(&displays_), 0)
      << readFile(lab_.conf("logs/corramon.log")) << readFile(lab_.file("corramon.out"));
  ASSERT_EQ(stopper.failed, "");
  ASSERT_EQ(lab_.tcpdumpDrops(), 0) << "tcpdump's file is no reference";
  const int64_t missed =
      static_cast<int64_t>(displays_["Packets dropped:"] + displays_["no memory Packets"]);
  stopper.outside += missed - stopper.settled;
  ASSERT_EQ(stopper.outside, 0) << "the monitor missed frames outside the stops: which "
                                   "transactions it captured whole cannot be told";
  ASSERT_GT(missed, 0) << "the stops made the monitor miss no frame";

  const WireView wire = readWire(lab_.file("tcpdump.pcap"));
  ASSERT_EQ(wire.repeatedUris, 0u) << "requests are told apart by their URIs";
  const double margin = 0.02;  // the time stamps' clock and the test's may differ a little
  auto blind = [&](long frame) {
    if (frame <= 0 || static_cast<size_t>(frame) >= wire.times.size()) return true;
    const double t = wire.times[frame];
    for (const Blind& b : stopper.blind)
      if (t >= b.from - margin && t <= b.to + margin) return true;
    return false;
  };
  ASSERT_FALSE(stopper.blind.empty());
  const double firstStop = stopper.blind.front().from;
  long lastFrame = 0;
  for (const auto& [uri, e] : wire.byUri) lastFrame = std::max(lastFrame, e.last);
  ASSERT_LT(stopper.blind.back().to, wire.times[lastFrame]) << "the stops outlasted the traffic";

  // What each resource answers, from the responses read whole: a request whose response was cut
  // short by its connection's end (wrk's deadline) has no whole response of its own on the wire.
  auto pathOf = [](const std::string& uri) { return uri.substr(0, uri.find('?')); };
  std::map<std::string, std::pair<std::string, uint32_t>> answers;  // path: status, bytes
  for (const auto& [uri, e] : wire.byUri)
    if (!e.status.empty()) answers.emplace(pathOf(uri), std::pair{e.status, e.bytes});

  // Each access-log line against its request's response on the wire.
  std::map<std::string, std::pair<std::string, std::string>> logged;  // URI: status, bytes
  size_t lines = 0;
  size_t cutShort = 0;
  size_t shifted = 0;
  size_t unanswered = 0;
  size_t unsized = 0;
  size_t unknown = 0;
  size_t doubled = 0;
  std::string examples;
  static const std::regex kLine(R"(^\S+  - \S+ \[[^\]]*\] "\S+ (\S+) HTTP/[^"]*" (\S+) (\S+) )");
  std::istringstream accessLog(readFile(lab_.conf("logs/clf.log")));
  for (std::string line; std::getline(accessLog, line);) {
    ++lines;
    std::smatch m;
    auto request = std::regex_search(line, m, kLine) ? wire.byUri.find(m[1].str())
                                                      : wire.byUri.end();
    if (request == wire.byUri.end()) {
      if (++unknown <= 5) examples += "not on the wire: " + line + "\n";
      continue;
    }
    if (!logged.emplace(m[1].str(), std::pair{m[2].str(), m[3].str()}).second) ++doubled;
    const Exchange& e = request->second;
    const std::string status = m[2].str();
    const std::string bytes = m[3].str();
    if (status == e.status && bytes == std::to_string(e.bytes)) continue;
    if (status == "500" && (bytes == "0" || bytes == "-")) {
      ++unanswered;
    } else if (status == e.status && bytes == "-") {
      ++unsized;
    } else if (e.status.empty() && answers.count(pathOf(request->first)) != 0 &&
               status == answers[pathOf(request->first)].first &&
               (bytes == "-" ||
                strtoul(bytes.c_str(), nullptr, 10) <= answers[pathOf(request->first)].second)) {
      ++cutShort;  // its own resource's status, at most its size
    } else if (++shifted <= 10) {
      examples += line + "(on the wire: " + (e.status.empty() ? "no response" : e.status) + " " +
                  std::to_string(e.bytes) + ")\n";
    }
  }
  // The transactions the monitor captured whole: logged with their own response?
  size_t whole = 0;
  size_t lost = 0;
  size_t wholeLater = 0;  // of them, those that began after the first stop
  size_t lostLater = 0;
  std::string lostExamples;
  for (const auto& [uri, e] : wire.byUri) {
    if (e.status.empty() || e.afterClose) continue;
    auto opening = wire.handshake.find(e.stream);
    if (opening == wire.handshake.end()) continue;
    bool captured = !blind(opening->second.first) && !blind(opening->second.second);
    for (long f : e.frames) captured = captured && !blind(f);
    if (!captured) continue;
    const bool later = wire.times[e.frames.front()] > firstStop;
    ++whole;
    wholeLater += later ? 1 : 0;
    auto line = logged.find(uri);
    if (line == logged.end() || line->second.first != e.status ||
        line->second.second != std::to_string(e.bytes)) {
      if (++lost <= 5)
        lostExamples += uri + ": logged " +
                        (line == logged.end() ? std::string("nothing")
                                              : line->second.first + " " + line->second.second) +
                        ", on the wire " + e.status + " " + std::to_string(e.bytes) + "\n";
      lostLater += later ? 1 : 0;
    }
  }
  std::ostringstream figures;
  figures << "frames " << wire.times.size() - 1 << ", missed by the monitor " << missed << " in "
          << stopper.blind.size() << " stops; requests " << wire.byUri.size()
          << "; access-log lines " << lines << ": " << shifted
          << " with another request's response, " << unanswered << " without a response, "
          << unsized << " of unknown size, " << cutShort << " cut short at their connection's end, " << unknown
          << " not on the wire, " << doubled
          << " logged twice; captured whole " << whole << " (" << wholeLater
          << " after the first stop), logged without their own response " << lost << " ("
          << lostLater << " after the first stop)";
  std::cout << "[ figures  ] " << figures.str() << "\n";
  EXPECT_GT(whole, 1000u) << figures.str();
  EXPECT_EQ(shifted, 0u) << figures.str() << "\n" << examples;
  EXPECT_EQ(unknown + doubled, 0u) << figures.str() << "\n" << examples;
  EXPECT_EQ(lost, 0u) << figures.str() << "\n" << lostExamples;
}

}  // namespace
