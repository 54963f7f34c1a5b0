// The monitor service end to end: the corramon program on a scratch install tree, replaying a
// trace through the capture engine into the analysis engine, asked over the analysis console;
// its command line; and its service mode through the service layer (pause, continue, stop, a
// port already taken).
#include "CCorramon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <fstream>
#include <set>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../../libsifter/tests/AEngineTestSupport.h"
#include "ConsoleClient.h"
#include "ConsoleReply.h"
#include "FrameBuilder.h"
#include "InstallTree.h"
#include "PcapWriter.h"
#include "TempDir.h"
#include "Tshark.h"
#include "archive/OB_ArchiveHeader.h"
#include "service.h"

extern char** environ;

namespace {

using aengine_test::Request;
using corrana_test::InstallTree;
using corrana_test::wireU32;

// A reply of the analysis console, read past its success head.
class Reply : public corrana_test::ConsoleReply {
 public:
  using ConsoleReply::ConsoleReply;
  bool success() { return ConsoleReply::success(aengine_test::success("")); }
};

// The program, started with its own environment; stopped, or waited for, by the test.
class Program {
 public:
  // out, err: files that take the program's standard output and error; empty: this test's.
  Program(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
          const std::string& out = "", const std::string& err = "") {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = {CORRANA_CORRAMON};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (!out.empty())
      posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!err.empty())
      posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, CORRANA_CORRAMON, &files, nullptr, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
  }
  ~Program() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // The exit status once it ends within the time, else -1 (it is then killed).
  int wait(std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        ended_ = true;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int stop(int signal) {
    kill(pid_, signal);
    return wait();
  }
  bool running() const { return !ended_ && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
};

std::string trace(const std::string& name) {
  return std::string(CORRANA_TRACES_DIR) + "/" + name;
}
const std::string kShippedTrace =
    std::string(CORRANA_SOURCE_DIR) + "/Monitor/libwire/tests/data/http_nginx_curl.pcap";
// The project's own trace without HTTP, so that a plain clone needs no shared trace.
const std::string kShippedFtpTrace =
    std::string(CORRANA_SOURCE_DIR) + "/Monitor/libwire/tests/data/ftp_vsftpd_lftp.pcap";

// What tshark reads of a trace: the HTTP servers, the requests by method (on connections whose
// SYN was captured, as the road follows no other) and the error responses.
struct Expected {
  std::set<std::pair<uint32_t, uint16_t>> servers;
  uint32_t requests = 0;
  std::map<std::string, uint32_t> methods;
  uint32_t errors = 0;
};

Expected readWithTshark(const std::string& path) {
  Expected view;
  std::set<std::string> opened;
  for (const auto& row : corrana_test::tsharkFields(
           path, "http or (tcp.flags.syn==1 and tcp.flags.ack==0)",
           "-e tcp.stream -e ip.dst -e tcp.dstport -e http.request.method -e http.response.code")) {
    if (row.size() < 5) continue;
    if (row[3].empty() && row[4].empty()) {
      opened.insert(row[0]);
      continue;
    }
    if (opened.count(row[0]) == 0) continue;
    if (!row[3].empty()) {
      struct in_addr a;
      inet_aton(row[1].c_str(), &a);
      view.servers.insert({ntohl(a.s_addr), static_cast<uint16_t>(atoi(row[2].c_str()))});
      ++view.requests;
      ++view.methods[row[3]];
    } else if (row[4][0] != '1') {
      const std::string& c = row[4];
      if (!(c == "200" || c == "201" || c == "202" || c == "203" || c == "304")) ++view.errors;
    }
  }
  return view;
}

// What the analysis engine counted for each server, asked with 1000, 1003, 1005 and 1020.
struct Counted {
  uint32_t hits = 0;  // over all servers, from 1000
  uint32_t errors = 0;
  uint32_t seriesHits = 0;  // from 1003
  std::map<std::string, uint32_t> methods;  // from 1005, "All Hits" left out
  uint32_t allErrors = 0;  // from 1020
  bool ok = true;

  bool operator==(const Counted& o) const {
    return hits == o.hits && errors == o.errors && seriesHits == o.seriesHits &&
           methods == o.methods && allErrors == o.allErrors;
  }
};

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    capturePort_ = corrana_test::freePort();
    analysisPort_ = corrana_test::freePort();
    tree_.analysisPort(analysisPort_);
  }
  void replay(const std::string& path) {
    tree_.captureEngine(capturePort_, "secret", path);
  }
  std::vector<std::string> env() const { return {"OB_INSTALLDIR=" + tree_.path()}; }

  // The key the running engine drew: its key file's number.
  uint32_t key(const char* file) const {
    return static_cast<uint32_t>(strtoul(tree_.readAdmin(file).c_str(), nullptr, 10));
  }
  Request request(int32_t code, int32_t item = 0) const {
    Request r;
    r.command = code;
    r.item = item;
    r.key = key("aengineKey");
    return r;
  }
  std::string ask(const Request& r) const {
    return corrana_test::requestReply(analysisPort_, r.frame());
  }
  // Asks until the engine answers, for up to the time given.
  bool answers(std::chrono::seconds limit = std::chrono::seconds(30)) const {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      if (Reply(ask(request(40))).success()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  Counted counted(size_t servers) const {
    Counted c;
    Reply space(ask(request(1000)));
    c.ok = space.success() && space.u32() == servers;
    for (size_t i = 0; i < servers && c.ok; ++i) {
      c.ok = space.s32() == static_cast<int32_t>(i);
      c.errors += space.u32();
      c.hits += space.u32();
      Reply overview(ask(request(1003, static_cast<int32_t>(i))));
      c.ok = c.ok && overview.success();
      overview.s32();
      overview.s32();
      if (overview.u32() == 1) c.seriesHits += overview.u32();  // one bin: the hits
      Reply methods(ask(request(1005, static_cast<int32_t>(i))));
      c.ok = c.ok && methods.success();
      for (const auto& [name, total] : methods.entries())
        if (name != "All Hits" && total != 0) c.methods[name] += total;
      Reply errors(ask(request(1020, static_cast<int32_t>(i))));
      c.ok = c.ok && errors.success();
      c.allErrors += errors.entries()["All Errors"];
      c.ok = c.ok && space.ok() && overview.ok() && methods.ok() && errors.ok();
    }
    return c;
  }
  // Waits until hits reach the number wanted (the last sessions may wait for the sweep).
  Counted countedOnce(size_t servers, uint32_t hits) const {
    Counted c;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    do {
      c = counted(servers);
      if (c.ok && c.hits >= hits) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (std::chrono::steady_clock::now() < until);
    return c;
  }

  InstallTree tree_;
  int capturePort_ = 0;
  int analysisPort_ = 0;
};

// Replayed through the capture engine into the analysis engine, each trace's hits, methods and
// errors are tshark's; after a restart the archive gives the same figures back.
TEST_F(Monitor, CountsWhatTsharkSeesLiveAndAgainFromTheArchive) {
  if (!corrana_test::haveTshark()) GTEST_SKIP() << "tshark is not installed";
  std::vector<std::string> traces = {kShippedTrace};
  if (std::filesystem::exists(trace("http_pipelined-requests.pcap")))
    traces.push_back(trace("http_pipelined-requests.pcap"));
  for (const std::string& path : traces) {
    SCOPED_TRACE(path);
    for (const auto& entry : std::filesystem::directory_iterator(tree_.db()))
      std::filesystem::remove(entry.path());
    Expected expected = readWithTshark(path);
    ASSERT_GT(expected.requests, 0u);
    aengine_test::Spec spec;
    for (const auto& [address, port] : expected.servers)
      spec.http.push_back({address, port, "server", {}});
    aengine_test::writeConfig(spec);
    replay(path);

    Counted live;
    {
      Program monitor({"-f"}, env());
      ASSERT_TRUE(answers());
      live = countedOnce(expected.servers.size(), expected.requests);
      EXPECT_EQ(monitor.stop(SIGTERM), 0);
    }
    ASSERT_TRUE(live.ok);
    EXPECT_EQ(live.hits, expected.requests);
    EXPECT_EQ(live.seriesHits, expected.requests);
    EXPECT_EQ(live.methods, expected.methods);
    EXPECT_EQ(live.errors, expected.errors);
    EXPECT_EQ(live.allErrors, expected.errors);

    // Started again on a trace without HTTP: what it counts comes from the archive alone.
    replay(kShippedFtpTrace);
    Program again({"-f"}, env());
    ASSERT_TRUE(answers());
    Counted replayed = countedOnce(expected.servers.size(), expected.requests);
    EXPECT_TRUE(replayed == live);
    EXPECT_EQ(again.stop(SIGINT), 0);
  }
}

// Started under any file-mode mask, the monitor makes no file another user may write or read:
// the archives and their locks, the domain cache, the logs, the common log file, the key files.
TEST_F(Monitor, NoFileItMakesIsOpenToOtherUsersWhateverTheUmask) {
  aengine_test::Spec spec;
  spec.http.push_back({corrana_test::ipv4Address("198.18.0.1"), 80, "web", {}});
  aengine_test::writeConfig(spec);
  replay(kShippedTrace);
  tree_.write("corramon.cfg", "NetworkStatistics: 1\nCommonLogFile: access.log\n");
  const mode_t inherited = umask(0);
  {
    Program monitor({"-f"}, env());
    umask(inherited);
    ASSERT_TRUE(answers());
    EXPECT_EQ(countedOnce(1, 15).hits, 15u);
    EXPECT_EQ(monitor.stop(SIGTERM), 0);
  }
  std::vector<std::string> made = {tree_.admin("aengineKey"), tree_.admin("cengineKey")};
  for (const std::string& folder : {tree_.db(), tree_.path() + "/logs"})
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      made.push_back(entry.path().string());
  EXPECT_GE(made.size(), 8u);  // keys, http, ftp and net archives with locks, domains, logs
  for (const std::string& path : made) {
    struct stat info = {};
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & (S_IWGRP | S_IRWXO), 0u) << path << std::oct << " " << info.st_mode;
  }
}

// The capture console's stop command ends the monitor on purpose: both engines stopped and
// released, the archives closed with their stop times, exit status 0.
TEST_F(Monitor, CaptureConsoleStopEndsTheProcessCleanly) {
  aengine_test::writeConfig(aengine_test::Spec{});
  replay(kShippedTrace);
  Program monitor({"-f"}, env());
  ASSERT_TRUE(answers());
  corrana_test::ConsoleRequest stop;
  stop.command = 35;
  stop.key = key("cengineKey");
  EXPECT_EQ(corrana_test::requestReply(capturePort_, stop.frame()), corrana_test::successReply(""));
  EXPECT_EQ(monitor.wait(), 0);
  int archives = 0;
  for (const auto& entry : std::filesystem::directory_iterator(tree_.db())) {
    const std::string path = entry.path().string();
    if (path.find(".lock") != std::string::npos || path.find("domains.db") != std::string::npos)
      continue;
    OB_ArchiveHeader header(path.c_str());
    FILE* file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(header.read(file), 0) << path;
    fclose(file);
    EXPECT_NE(header.closeTime(), 0u) << path;
    ++archives;
  }
  EXPECT_GE(archives, 2);
}

// Keep-alive connections still open when the monitor stops are handed on before the writers
// close: the access log holds every transaction their frames completed, and the log says how
// many sessions the stop handed on. So for SIGTERM (also systemd's stop and restart) and for
// the capture console's stop command.
TEST_F(Monitor, AStopHandsOnTheConnectionsStillOpen) {
  using corrana_test::TcpConversation;
  const uint32_t serverIP = corrana_test::ipv4Address("198.18.0.1");
  const uint64_t now =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
  std::vector<corrana_test::Frame> frames;
  auto exchange = [](TcpConversation& c, const std::string& uri) {
    c.send(TcpConversation::kClient, "GET " + uri + " HTTP/1.1\r\nHost: b\r\n\r\n")
        .send(TcpConversation::kServer,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok")
        .ack(TcpConversation::kClient);
  };
  // Three connections left open, two transactions each; then one that closes, whose line shows
  // that the replay went past the others. Stamped two seconds ahead of the wall clock, which the
  // idle sweep reads once the replay has ended: sessions whose last frame is a little ahead of
  // it are not idle, so they stay open until the stop.
  for (uint16_t i = 0; i < 4; ++i) {
    TcpConversation c({corrana_test::ipv4Address("198.18.0.2"), static_cast<uint16_t>(40000 + i),
                       {2, 0, 0, 0, 0, 1}},
                      {serverIP, 80, {2, 0, 0, 0, 0, 2}}, now + 2000000ull + i * 100000ull);
    c.handshake();
    exchange(c, "/open" + std::to_string(i) + "a");
    if (i < 3) {
      exchange(c, "/open" + std::to_string(i) + "b");
    } else {
      c.close();
    }
    frames.insert(frames.end(), c.frames().begin(), c.frames().end());
  }
  const std::string path = tree_.path() + "/open.pcap";
  ASSERT_TRUE(corrana_test::PcapWriter::write(path, frames));
  aengine_test::Spec spec;
  spec.http.push_back({serverIP, 80, "server", {}});
  aengine_test::writeConfig(spec);
  tree_.write("corramon.cfg", "NetworkStatistics: 1\nCommonLogFile: clf.log\n");
  replay(path);
  const std::string accessLog = tree_.path() + "/logs/clf.log";
  auto lines = [&accessLog] {
    const std::string text = InstallTree::read(accessLog);
    return std::count(text.begin(), text.end(), '\n');
  };

  for (const bool console : {false, true}) {
    SCOPED_TRACE(console ? "capture console stop" : "SIGTERM");
    std::filesystem::remove(accessLog);
    std::filesystem::remove(tree_.path() + "/logs/corramon.log");
    Program monitor({"-f"}, env());
    ASSERT_TRUE(answers());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (lines() < 1 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(lines(), 1) << "the closed connection's line";
    if (console) {
      corrana_test::ConsoleRequest stop;
      stop.command = 35;
      stop.key = key("cengineKey");
      EXPECT_EQ(corrana_test::requestReply(capturePort_, stop.frame()),
                corrana_test::successReply(""));
      EXPECT_EQ(monitor.wait(), 0);
    } else {
      EXPECT_EQ(monitor.stop(SIGTERM), 0);
    }
    const std::string text = InstallTree::read(accessLog);
    EXPECT_EQ(lines(), 7) << text;
    for (int i = 0; i < 3; ++i)
      for (const char* which : {"a", "b"})
        EXPECT_NE(text.find("\"GET /open" + std::to_string(i) + which + " HTTP/1.1\" 200 2 "),
                  std::string::npos)
            << text;
    EXPECT_NE(tree_.log("corramon").find("3 open sessions and 0 finished ones handed on"),
              std::string::npos)
        << tree_.log("corramon");
  }
}

// An analysis SET_CONFIG as the console sends it: one static window, no lists but the root user.
std::string setConfigPayload(const std::string& window) {
  using corrana_test::wireLine;
  using corrana_test::wireU16;
  const std::string flag(1, '\0');
  const std::string root = wireLine("root") + wireLine("secret") + std::string(1, '\1') + flag +
                           wireU16(0) + flag + flag + flag + flag + wireLine("") + wireU16(0) +
                           wireU16(0) + wireU16(0);
  return wireU32(2) + wireU32(8190) + wireU16(1) + wireLine(window) + wireU16(1) + wireU16(0) +
         wireU16(0) + wireU32(5000) + wireU32(1000) + wireU32(4) + wireU16(0) + wireU16(0) +
         wireU16(0) + wireU16(0) + wireU16(1) + root;
}

// Both consoles at once: configurations set through the analysis console, whose capture ranges
// the capture engine takes up, while the capture console asks for its configuration and its
// archive lists. Every request is answered, and (in a ThreadSanitizer build, whose report ends
// the monitor with another status) no value is read while it is rewritten.
TEST_F(Monitor, BothConsolesAtOnceAreAnsweredWithoutARace) {
  aengine_test::writeConfig(aengine_test::Spec{});
  replay(kShippedTrace);
  Program monitor({"-f"}, env());
  ASSERT_TRUE(answers());
  const std::string captureHead = corrana_test::successReply("");
  int captureAnswered = 0;
  std::thread capture([&] {
    for (int i = 0; i < 24; ++i) {
      corrana_test::ConsoleRequest ask;
      ask.command = i % 2 == 0 ? 45 : 20;
      ask.key = key("cengineKey");
      const std::string reply = corrana_test::requestReply(capturePort_, ask.frame());
      if (reply.compare(0, captureHead.size(), captureHead) == 0) ++captureAnswered;
    }
  });
  int acknowledged = 0;
  for (int i = 0; i < 6; ++i) {
    Request set = request(30);
    set.payload = setConfigPayload("Set " + std::to_string(i));
    if (ask(set) == aengine_test::success(corrana_test::wireU8(1))) ++acknowledged;
  }
  capture.join();
  EXPECT_EQ(acknowledged, 6);
  EXPECT_EQ(captureAnswered, 24);
  EXPECT_EQ(monitor.stop(SIGTERM), 0);
}

TEST(CorramonCommandLine, HelpAndBadSwitchesPrintTheUsage) {
  auto run = [](const std::string& args) {
    const std::string command = std::string(CORRANA_CORRAMON) + " " + args;
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run("--help >/dev/null 2>&1"), 0);
  EXPECT_EQ(run("--help 2>&1 >/dev/null | grep -q ."), 1);  // nothing on standard error
  EXPECT_EQ(run("-x 2>/dev/null"), 2);
  EXPECT_EQ(run("-f extra 2>/dev/null"), 2);
  EXPECT_EQ(run("-l 2>/dev/null"), 2);  // an account switch without its account
  FILE* usage = popen((std::string(CORRANA_CORRAMON) + " -z 2>&1").c_str(), "r");
  std::string text;
  char chunk[512];
  while (fgets(chunk, sizeof chunk, usage) != nullptr) text += chunk;
  pclose(usage);
  for (const char* line : {"\n  -i ", "\n  -u ", "\n  -s ", "\n  -e ", "\n  -d ", "\n  -f ",
                           "\n  -l account", "\n  -p password", "\n  -v ", "\n  -h, --help"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  // The switch that was wrong is named before the usage.
  EXPECT_EQ(text.rfind("corramon: unknown option -z\nusage: corramon", 0), 0u) << text;
  EXPECT_EQ(run("-f extra 2>&1 | grep -qx 'corramon: unknown option extra'"), 0);
  EXPECT_EQ(run("-l 2>&1 | grep -qx 'corramon: -l needs a value'"), 0);
}

// How many times line occurs in text as a whole line.
int linesEqual(const std::string& text, const std::string& line) {
  int n = 0;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) n += l == line ? 1 : 0;
  return n;
}

// What the monitor said of one foreground run: its exit status, its standard output and error,
// and its log.
struct Said {
  int status = -1;
  std::string out, err, log;
};

class Foreground : public Monitor {
 protected:
  void SetUp() override {
    Monitor::SetUp();
    aengine_test::writeConfig(aengine_test::Spec{});
    replay(kShippedTrace);
  }
  std::string out() const { return tree_.path() + "/stdout"; }
  std::string err() const { return tree_.path() + "/stderr"; }
  // Runs the monitor in the foreground until it ends by itself.
  Said runToEnd() {
    Said said;
    {
      Program monitor({"-f"}, env(), out(), err());
      said.status = monitor.wait();
    }
    return collect(said);
  }
  Said collect(Said said) const {
    said.out = InstallTree::read(out());
    said.err = InstallTree::read(err());
    said.log = tree_.log("corramon");
    return said;
  }
};

// Every line the run logs reaches standard error once, in the same order, named after the
// program (the time of a time-stamped line left out), and nothing else is there.
void expectEachLineOnceOnBoth(const Said& said) {
  std::vector<std::string> err, log;
  std::istringstream errLines(said.err), logLines(said.log);
  for (std::string l; std::getline(errLines, l);) err.push_back(l);
  for (std::string l; std::getline(logLines, l);) log.push_back(l);
  ASSERT_EQ(err.size(), log.size()) << said.err << "\nlog:\n" << said.log;
  for (size_t i = 0; i < err.size(); ++i) {
    ASSERT_EQ(err[i].rfind("corramon: ", 0), 0u) << err[i];
    const std::string bare = err[i].substr(10);
    const size_t dash = log[i].find(" - ");
    EXPECT_TRUE(log[i] == bare || (dash != std::string::npos && log[i].substr(dash + 3) == bare))
        << err[i] << " / " << log[i];
  }
}

// A capture adapter that cannot be opened ends a foreground start with status 1, the reason on
// standard error, instead of a monitor that captures nothing.
TEST_F(Foreground, AnAdapterThatCannotBeOpenedFailsTheStartSayingWhy) {
  const std::string folder = tree_.path() + "/folder";
  std::filesystem::create_directory(folder);
  const std::string text = tree_.path() + "/notes.txt";
  std::ofstream(text) << "not a capture, only words that happen to fill a header and more\n";
  const std::string missing = tree_.path() + "/missing.pcap";
  struct Case {
    std::string adapter;
    std::string reason;  // a line of standard error says it
  };
  for (const Case& c : {Case{"file:" + missing, "driver: can't replay " + missing + ": "},
                        Case{"file:" + folder, "driver: can't replay " + folder + ": "},
                        Case{"file:" + text, "driver: can't replay " + text + ": "},
                        Case{"nosuchif9", "driver: no network interface \"nosuchif9\""}}) {
    SCOPED_TRACE(c.adapter);
    std::filesystem::remove(tree_.path() + "/logs/corramon.log");
    tree_.write("adapters.cfg", "adapter: " + c.adapter + "\n");
    Said said = runToEnd();
    EXPECT_EQ(said.status, 1);
    EXPECT_EQ(said.out, "");
    EXPECT_NE(said.err.find("corramon: " + c.reason), std::string::npos) << said.err;
    EXPECT_NE(said.err.find("corramon: the capture engine could not be initialised: nothing to "
                            "capture\n"),
              std::string::npos)
        << said.err;
    expectEachLineOnceOnBoth(said);
  }
  // An adapters file without an adapter line binds nothing either.
  tree_.write("adapters.cfg", "# nothing here\n");
  Said said = runToEnd();
  EXPECT_EQ(said.status, 1);
  EXPECT_NE(said.err.find("names none"), std::string::npos) << said.err;
}

// A start says in one line where it captures and which servers it watches; the pools' sizes are
// the debug trace's, and a failed start's lines carry the reason without the code's internals
// (class and function names, bare error numbers). Every line of the log has its time.
TEST_F(Foreground, AStartSaysWhereItCapturesAndWhatItWatchesInTheOperatorsWords) {
  std::ofstream(tree_.admin("installa.cfg")) << "http: 198.18.0.1:80\nftp: 10.0.0.5\n";
  Program monitor({"-f"}, env(), out(), err());
  ASSERT_TRUE(answers());
  EXPECT_EQ(monitor.stop(SIGTERM), 0);
  Said said = collect(Said{});
  // The console may already have logged the test's login when the line is written.
  EXPECT_NE(said.err.find("corramon: capturing on file:" + kShippedTrace +
                          "; watching 198.18.0.1:80, 10.0.0.5:21\n"),
            std::string::npos)
      << said.err;
  EXPECT_EQ(said.err.find("may grow"), std::string::npos) << said.err;
  expectEachLineOnceOnBoth(said);
  const std::regex timed("[0-9]{4}[A-Z][a-z]{2}[0-9]{2}-[0-9]{2}:[0-9]{2} - .*");
  std::istringstream logLines(said.log);
  for (std::string line; std::getline(logLines, line);)
    EXPECT_TRUE(std::regex_match(line, timed)) << line;

  std::filesystem::remove(tree_.path() + "/logs/corramon.log");
  tree_.write("adapters.cfg", "adapter: nosuchif9\n");
  said = runToEnd();
  EXPECT_EQ(said.status, 1);
  EXPECT_EQ(said.err,
            "corramon: driver: no network interface \"nosuchif9\"\n"
            "corramon: the capture engine could not be initialised: nothing to capture\n");
  logLines = std::istringstream(said.log);
  for (std::string line; std::getline(logLines, line);)
    EXPECT_TRUE(std::regex_match(line, timed)) << line;
}

// A start refused for a console port out of range says which file and line, and closes what it
// had opened, leaving no archive that holds nothing: the next start, with the port mended, finds
// every archive closed and has nothing to repair.
TEST_F(Foreground, ARefusedStartLeavesNoArchiveToRepair) {
  for (const char* file : {"cengineInstall.cfg", "aengineInstall.cfg"}) {
    SCOPED_TRACE(file);
    const std::string good = tree_.readAdmin(file);
    tree_.write(file, std::regex_replace(good, std::regex("port [0-9]+"), "port 99999"));
    auto files = [this] {
      std::set<std::string> names;
      for (const auto& entry : std::filesystem::directory_iterator(tree_.path() + "/db"))
        if (entry.path().extension() != ".lock") names.insert(entry.path().filename());
      return names;
    };
    const std::set<std::string> before = files();
    Said refused = runToEnd();
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(tree_.path() + "/admin/" + file + " line "), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("99999"), std::string::npos) << refused.err;
    EXPECT_EQ(files(), before);
    tree_.write(file, good);
    std::filesystem::remove(tree_.path() + "/logs/corramon.log");
    Program monitor({"-f"}, env(), out(), err());
    ASSERT_TRUE(answers());
    EXPECT_EQ(monitor.stop(SIGTERM), 0);
    Said next = collect(Said{});
    EXPECT_EQ(next.log.find("cleanArchiveFiles"), std::string::npos) << next.log;
  }
}

// "file: <path>" is the file, blank or not; a start without a watched server says once that
// nothing will be archived; a console that hangs up before its reply and a clean stop leave no
// debugging text on the terminal and nothing false in the log.
TEST_F(Foreground, ABlankAfterFileIsThePathAndACleanRunSaysOnlyWhatIsTrue) {
  tree_.write("adapters.cfg", "adapter:  file: \t" + kShippedTrace + "\n");
  Program monitor({"-f"}, env(), out(), err());
  ASSERT_TRUE(answers());
  for (int i = 0; i < 20; ++i) {
    // The request whole, then gone before the reply: the reply's write fails.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(analysisPort_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
    const std::string frame = request(40).frame();
    ASSERT_EQ(send(s, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    struct linger now = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(s);
  }
  EXPECT_TRUE(answers());
  EXPECT_EQ(monitor.stop(SIGTERM), 0);
  Said said = collect(Said{});
  EXPECT_EQ(said.out, "");
  EXPECT_EQ(said.log.find("start_server"), std::string::npos) << said.log;
  EXPECT_EQ(said.log.find("Couldn't"), std::string::npos) << said.log;
  const std::string unwatched =
      "corramon: capturing on file:" + kShippedTrace + "; no server is watched: nothing will be "
      "archived until an HTTP or FTP server is added to the analysis configuration";
  EXPECT_EQ(linesEqual(said.err, unwatched), 1) << said.err;
  expectEachLineOnceOnBoth(said);
}

// A request that fails is logged once, on one line that names the client and why, without the
// names of the functions that read it: a code no window answers, and a request its client cuts
// off with a reset inside a number.
TEST_F(Foreground, AFailedRequestIsLoggedOnceWithItsReason) {
  Program monitor({"-f"}, env(), out(), err());
  ASSERT_TRUE(answers());
  EXPECT_NE(ask(request(9)).find("Unknown Error"), std::string::npos);
  const std::string frame = request(40).frame();
  const int s = corrana_test::connectLoopback(analysisPort_);
  ASSERT_GE(s, 0);
  const size_t cut = corrana_test::requestHeader().size() + 2;
  ASSERT_EQ(send(s, frame.data(), cut, 0), static_cast<ssize_t>(cut));
  struct linger now = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  close(s);
  // Why, as the system or the stream says it (a reset, or the end inside the number).
  const std::string reset = "(-1) n/a 127.0.0.1 'bad io: ";
  for (int i = 0; i < 500 && tree_.log("corramon").find(reset) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(monitor.stop(SIGTERM), 0);
  Said said = collect(Said{});
  auto times = [&said](const std::string& text) {
    size_t n = 0;
    for (size_t at = said.log.find(text); at != std::string::npos; at = said.log.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(times("(9) root 127.0.0.1 'Unknown Error (no such code)'"), 1u) << said.log;
  EXPECT_EQ(times(reset), 1u) << said.log;
  EXPECT_EQ(times("(9)"), 1u) << said.log;
  EXPECT_EQ(times("(-1)"), 1u) << said.log;
  EXPECT_EQ(times("readJ_"), 0u) << said.log;
  EXPECT_EQ(times("handleRequest"), 0u) << said.log;
  expectEachLineOnceOnBoth(said);
}

// In the foreground SIGHUP, SIGUSR1 and SIGUSR2 are the service's interrogate, pause and
// continue: the monitor lives on, its console stops answering while paused, and a stop after
// them is clean.
TEST_F(Foreground, HangupPauseAndContinueSignalsDoWhatTheyDoToTheService) {
  Program monitor({"-f"}, env(), out(), err());
  ASSERT_TRUE(answers());
  kill(monitor.pid(), SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(monitor.running());
  EXPECT_TRUE(answers(std::chrono::seconds(5)));
  kill(monitor.pid(), SIGUSR1);
  bool paused = false;
  for (int i = 0; i < 100 && !paused; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    paused = !Reply(ask(request(40))).success();
  }
  EXPECT_TRUE(paused);
  ASSERT_TRUE(monitor.running());
  kill(monitor.pid(), SIGUSR2);
  EXPECT_TRUE(answers(std::chrono::seconds(10)));
  EXPECT_EQ(monitor.stop(SIGTERM), 0);
}

// Service mode through the service layer: controls become signals, the monitor pauses (its
// analysis port stops answering), continues and stops, reporting each state.
class ServiceMode : public Monitor {
 protected:
  void SetUp() override {
    Monitor::SetUp();
    SVC_SetDirectories(units_.path().c_str(), state_.path().c_str());
    SVC_Manager manager = SVC_OpenManager();
    ASSERT_NE(manager, nullptr);
    SVC_ServiceConfig config{"corramon", "Corrana", CORRANA_CORRAMON, SVC_DEMAND_START, nullptr,
                             nullptr};
    service_ = SVC_CreateService(manager, &config);
    SVC_CloseManager(manager);
    ASSERT_NE(service_, nullptr);
    aengine_test::writeConfig(aengine_test::Spec{});
    replay(kShippedTrace);
  }
  void TearDown() override {
    SVC_DeleteService(service_);
    SVC_CloseService(service_);
    SVC_SetDirectories(nullptr, nullptr);
  }
  std::vector<std::string> serviceEnv() const {
    return {"OB_INSTALLDIR=" + tree_.path(), "OB_SERVICE=corramon",
            "OB_SERVICE_STATEDIR=" + state_.file("corramon")};
  }
  bool reaches(uint32_t state) const {
    for (int i = 0; i < 600; ++i) {
      SVC_Status status{};
      if (SVC_QueryServiceStatus(service_, &status) == 0 && status.currentState == state)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  SVC_Status status() const {
    SVC_Status s{};
    SVC_QueryServiceStatus(service_, &s);
    return s;
  }

  corrana_test::TempDir units_, state_;
  SVC_Service service_ = nullptr;
};

TEST_F(ServiceMode, PausesContinuesAndStopsThroughTheLayer) {
  Program monitor({}, serviceEnv());
  ASSERT_TRUE(reaches(SVC_RUNNING));
  ASSERT_TRUE(answers());
  ASSERT_EQ(SVC_ControlService(service_, SVC_CONTROL_PAUSE, nullptr), 0);
  ASSERT_TRUE(reaches(SVC_PAUSED));
  EXPECT_FALSE(Reply(ask(request(40))).success());
  ASSERT_EQ(SVC_ControlService(service_, SVC_CONTROL_CONTINUE, nullptr), 0);
  ASSERT_TRUE(reaches(SVC_RUNNING));
  EXPECT_TRUE(answers(std::chrono::seconds(5)));
  EXPECT_EQ(SVC_ControlService(service_, SVC_CONTROL_INTERROGATE, nullptr), 0);
  ASSERT_EQ(SVC_ControlService(service_, SVC_CONTROL_STOP, nullptr), 0);
  EXPECT_EQ(monitor.wait(), 0);
  SVC_Status last = status();
  EXPECT_EQ(last.currentState, SVC_STOPPED);
  EXPECT_EQ(last.serviceSpecificExitCode, 0u);
}

TEST_F(ServiceMode, NoAdapterStopsItWithItsCodeAndAStatusFolderItCannotWriteFailsIt) {
  tree_.write("adapters.cfg", "adapter: file:" + tree_.path() + "/missing.pcap\n");
  {
    Program monitor({}, serviceEnv());
    EXPECT_EQ(monitor.wait(), 1);
  }
  SVC_Status last = status();
  EXPECT_EQ(last.currentState, SVC_STOPPED);
  EXPECT_EQ(last.serviceSpecificExitCode, 1u);
  // A state folder the service cannot write: nothing runs and the end is a failure, not the
  // clean end a supervisor would take for a console's restart.
  replay(kShippedTrace);
  Program blocked({}, {"OB_INSTALLDIR=" + tree_.path(), "OB_SERVICE=corramon",
                       "OB_SERVICE_STATEDIR=" + tree_.admin("corramon.cfg") + "/state"});
  EXPECT_EQ(blocked.wait(), 1);
}

TEST_F(ServiceMode, AConsolePortAlreadyTakenStopsItWithExitOne) {
  for (int port : {analysisPort_, capturePort_}) {
    SCOPED_TRACE(port);
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(taken, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    Program monitor({}, serviceEnv());
    EXPECT_EQ(monitor.wait(), 1);
    close(taken);
    SVC_Status last = status();
    EXPECT_EQ(last.currentState, SVC_STOPPED);
    EXPECT_EQ(last.serviceSpecificExitCode, 1u);
    EXPECT_EQ(last.win32ExitCode, SVC_ERROR_SERVICE_SPECIFIC);
  }
}

}  // namespace

namespace {

// A typo in corramon.cfg is named with the file and the line; the lines the engines read pass.
TEST(CorramonOptionFile, NamesUnknownOptionsAndValuesThatDoNotRead) {
  corrana_test::TempDir dir;
  const std::string path = dir.file("corramon.cfg");
  std::ofstream(path) << "# options\nNetworkStatistics: 1\nNetworkStatistic: 1\n"
                         "PacketBufferSize: lots\nDebug 1\nCommonLogFile: common.log # a name\n"
                         "Debug: -1\r\n\n";
  EXPECT_EQ(CCorramon::checkOptionFile(path),
            (std::vector<std::string>{
                path + " line 3: unknown option \"NetworkStatistic\", ignored",
                path + " line 4: the value of PacketBufferSize is no number: \"lots\"; the "
                       "default is used",
                path + " line 5: \"Debug 1\" is no \"Name: value\" line, ignored"}));
  EXPECT_TRUE(CCorramon::checkOptionFile(dir.file("absent.cfg")).empty());
}

}  // namespace
