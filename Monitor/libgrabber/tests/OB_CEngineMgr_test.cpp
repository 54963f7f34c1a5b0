#include "OB_CEngineMgr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ConsoleClient.h"
#include "DriverControl.h"
#include "FrameBuilder.h"
#include "FileText.h"
#include "OB_FileLock.h"
#include "OB_HTTPConsumer.h"
#include "OB_Log.h"
#include "OB_Message.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_PacketManager.h"
#include "OB_StreamBuilder.h"
#include "TempDir.h"
#include "UTimeStamp.h"
#include "archive/OB_ArchiveHeader.h"
#include "archive/OB_ArchiveReader.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "records/OB_ProtocolWriter.h"
#include "tcp/OB_Server.h"

namespace {

using corrana_test::TempDir;
using corrana_test::readFile;

constexpr uint32_t kTraceServer = 0xC6120001;  // 198.18.0.1, port 80

uint32_t quad(const char* text) { return ntohl(inet_addr(text)); }

// The engine's configuration file layout with the given network flag.
std::string generalFile(int network) {
  const std::string dashes(55, '-');
  return dashes + "\nWARNING! This is a machine generated file. DO NOT EDIT.\n" + dashes +
         "\n\n# Config version\n1\n\n# Net 1=On 0=Off\n" + std::to_string(network) +
         "\n\n# BPF filter string\ntcp port 80\n\n# Days of data to keep\n0\n\n"
         "# HTTP RealTime: Number of MIME type file extension mappings\n1\n\n"
         "# HTTP RealTime: MIME type file extension mappings\ntext/html\t\t\thtml htm \n\n"
         "# Root user\npassword{secret}\napplyNetAddress{0}\nnumOfNets{0}\nexampleAddress{}\n"
         "maskAddress{}\n\n";
}

// Claims the trace server's sessions for the HTTP consumer, as the analysis engine's reader
// would, so that its other writers see them.
class Claimer : public OB_ProtocolWriter, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(Claimer, 0x7E57C1A1, "Claimer", OB_ProtocolWriter, OB_ReferenceCounter)

 public:
  int isMatch(uint32_t serverIP, uint16_t serverPort) override {
    return serverIP == kTraceServer && serverPort == 80 ? 1 : 0;
  }
  int processObject(OB_Object* /*object*/) override {
    ++sessions;
    return 0;
  }
  int sessions = 0;
};

template <class T>
T* member(OB_CEngineMgr* engine) {
  OB_MutexHold hold(engine);
  for (OB_Thread* thread = engine->first(); thread != nullptr; thread = engine->next())
    if (T* found = obQuery<T>(thread); found != nullptr) return found;
  return nullptr;
}

// A scratch install directory named by OB_INSTALLDIR, with the engine's admin files.
class CEngineMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(admin().c_str(), 0755);
    mkdir((dir_.path() + "/logs").c_str(), 0755);
    mkdir(db().c_str(), 0755);
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
    OB_EngineMgr::setSignalHandlers(0);
    port_ = corrana_test::freePort();
    writeAdmin("cengineKey", "0\n");
    writeGeneral(1);
    writeAdmin("cengineInstall.cfg", "# installation\nport " + std::to_string(port_) +
                                         "\ndevice 0\ndbpath " + db() +
                                         "\nrange 10.0.0.1 10.0.0.9\n");
    options_.setOwner(1);
    setOptions(&options_);
  }
  void TearDown() override {
    setOptions(nullptr);
    OB_Log::reset();
    unsetenv("OB_INSTALLDIR");
  }

  std::string admin() const { return dir_.path() + "/admin"; }
  std::string db() const { return dir_.path() + "/db"; }
  void writeAdmin(const std::string& file, const std::string& text) {
    std::ofstream(admin() + "/" + file, std::ios::binary) << text;
  }
  void writeGeneral(int network) {
    writeAdmin("cengine_prvt.cfg", generalFile(network));
    writeAdmin("cengine_prvtDef.cfg", generalFile(network));
  }
  void option(const char* name, const char* value) {
    options_.append(new OB_String(value), name);
  }
  OB_CEngineMgr* build(int capture) {
    static const char* args[] = {"cenginetest", nullptr};
    OB_CEngineMgr* engine =
        new OB_CEngineMgr(1, const_cast<char**>(args), &options_, nullptr, capture);
    engine->init();
    return engine;
  }

  TempDir dir_;
  int port_ = 0;
  OB_NamedStringList options_;
};

TEST_F(CEngineMgrTest, ReplaysATraceThroughTheRoadIntoArchivesThatReadBack) {
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
  std::filesystem::path spec = exe.parent_path().parent_path() / "conf/admin/PSpc.bin";
  ASSERT_TRUE(std::filesystem::exists(spec)) << spec << " (built by the pspc target)";
  std::filesystem::copy_file(spec, admin() + "/PSpc.bin");
  writeAdmin("adapters.cfg", std::string("adapter: file:") + CORRANA_SOURCE_DIR +
                                 "/Monitor/libwire/tests/data/http_nginx_curl.pcap\n");
  option("CommonLogFile", "access.log");
  OB_Server watched;
  watched.setIPAddress(kTraceServer);
  watched.setPort(80);

  OB_CEngineMgr* engine = build(1);
  EXPECT_EQ(obQuery<OB_CEngineMgr>(engine), engine);
  for (OB_ClassID id : {OB_CEngineMgr::getClassID(), OB_EngineMgr::getClassID(),
                        OB_MessageHandler::getClassID(), OB_Event::getClassID(),
                        OB_Object::getClassID()}) {
    void* face = nullptr;
    EXPECT_EQ(engine->queryInterface(id, &face), 0) << std::hex << id;
  }
  OB_NamedList<OB_Consumer>* consumers = engine->getConsumerNamedList();
  ASSERT_EQ(consumers->getCount(), 3);
  ASSERT_NE(consumers->find("net"), nullptr);
  ASSERT_NE(consumers->find("ftp"), nullptr);
  OB_Consumer* http = consumers->find("http");
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(http->getCount(), 2);  // common log file writer, archive writer
  Claimer* claimer = new Claimer();
  http->append(claimer);
  OB_PacketManager* packets = member<OB_PacketManager>(engine);
  OB_StreamBuilder* builder = member<OB_StreamBuilder>(engine);
  ASSERT_NE(packets, nullptr);
  ASSERT_NE(builder, nullptr);

  engine->start();
  ASSERT_NE(packets->getCaptureContext(), nullptr);
  DriverControl::waitForEnd(packets->getCaptureContext());
  EXPECT_TRUE(DriverControl::isReplayFinished(packets->getCaptureContext()));
  engine->stop();
  engine->join(nullptr, 10000);
  EXPECT_EQ(engine->isRunning(), 0);
  // What the stream builder's thread had not taken yet, then a sweep a year on.
  builder->setSynchronous(1);
  while (builder->getQueuedCount() > 0) builder->doTask();
  UTimeStamp::setClock(UTimeStamp::GetTimeStamp() + 86400ull * 1000000u * 365);
  builder->doTask();
  UTimeStamp::clearClock();
  EXPECT_EQ(claimer->sessions, 8);
  claimer->release();
  engine->release();  // closes the archive files

  OB_HTTPConsumer* factory = OB_HTTPConsumer::create();
  OB_ArchiveReader reader(factory, db().c_str(), "http", OB_ArchiveReader::kStaticWindow,
                          0xFFFFFFF0u, 0);
  ASSERT_EQ(reader.init(), 0);
  int connections = 0;
  std::vector<std::pair<std::string, std::string>> requests;
  for (int attempt = 0; attempt < 100 && reader.isDone() == 0; ++attempt) {
    OB_Data* record = reader.read();
    if (OB_HTTPProtocol* connection = obQuery<OB_HTTPProtocol>(record); connection != nullptr) {
      ++connections;
      EXPECT_EQ(connection->serverIP, kTraceServer);
      for (OB_Xact* link = connection->head; link != nullptr; link = link->nextItem())
        if (OB_HTTPXact* xact = obQuery<OB_HTTPXact>(link); xact != nullptr)
          requests.emplace_back(xact->req_method.c_str(), xact->req_request_uri.c_str());
    }
    obRelease(record);
  }
  factory->release();
  EXPECT_EQ(connections, 8);
  std::multiset<std::pair<std::string, std::string>> got(requests.begin(), requests.end());
  std::multiset<std::pair<std::string, std::string>> want = {
      {"GET", "/index.html"}, {"GET", "/css/site.css"}, {"GET", "/img/logo.png"},
      {"GET", "/page.html"},  {"GET", "/index.html"},   {"GET", "/old"},
      {"GET", "/secret"},     {"GET", "/missing.html"}, {"HEAD", "/page.html"},
      {"HEAD", "/img/logo.png"}, {"GET", "/chunked"},   {"GET", "/api"},
      {"POST", "/api"},       {"POST", "/api?x=1"},     {"POST", "/api"}};
  EXPECT_EQ(got, want);

  // One file per consumer, and one log line per transaction.
  std::set<std::string> prefixes;
  for (const auto& entry : std::filesystem::directory_iterator(db())) {
    std::string name = entry.path().filename().string();
    prefixes.insert(name.substr(0, name.find('-')));
  }
  EXPECT_TRUE(prefixes.count("net") && prefixes.count("http") && prefixes.count("ftp"));
  std::string log = readFile(dir_.path() + "/logs/access.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 15);
}

TEST_F(CEngineMgrTest, OptionsSwitchPartsOffAndConfigResetRereadsTheInstallFile) {
  option("NetworkStatistics", "0");  // no PSpc.bin here: loading it would end the process
  option("Database", "0");
  OB_CEngineMgr* engine = build(0);
  engine->start();
  OB_NamedList<OB_Consumer>* consumers = engine->getConsumerNamedList();
  EXPECT_EQ(consumers->getCount(), 2);
  EXPECT_EQ(consumers->find("net"), nullptr);
  EXPECT_EQ(consumers->find("http")->getCount(), 0);  // no archive, no common log file
  EXPECT_EQ(consumers->find("ftp")->getCount(), 0);

  OB_Config* config = engine->getConfigAdmin();
  EXPECT_EQ(config->isInIPRanges(quad("10.9.9.5")), 0);
  writeAdmin("cengineInstall.cfg", "port " + std::to_string(port_) + "\ndbpath " + db() +
                                       "\nrange 10.9.9.1 10.9.9.9\n");
  OB_Message almost("CONFIG_RESET ", nullptr);
  EXPECT_EQ(engine->handleMessage(&almost), 0);
  EXPECT_EQ(config->isInIPRanges(quad("10.9.9.5")), 0);
  OB_Message reset("CONFIG_RESET", nullptr);
  EXPECT_EQ(engine->handleMessage(&reset), 1);
  EXPECT_EQ(config->isInIPRanges(quad("10.9.9.5")), 1);
  EXPECT_EQ(config->isInIPRanges(quad("10.0.0.5")), 0);

  // A damaged install file keeps the running configuration and the process, and says why.
  for (const std::string& damage : std::vector<std::string>{
           "range 10.9.9.9 10.9.9.1\n", "port 8o8o\n", "dbpath " + db() + "/gone\n"}) {
    writeAdmin("cengineInstall.cfg", "port " + std::to_string(port_) + "\ndbpath " + db() +
                                         "\nrange 10.7.7.1 10.7.7.9\n" + damage);
    EXPECT_EQ(engine->handleMessage(&reset), 1) << damage;
    EXPECT_EQ(config->isInIPRanges(quad("10.9.9.5")), 1) << damage;
    EXPECT_EQ(config->isInIPRanges(quad("10.7.7.5")), 0) << damage;
  }
  const std::string log = readFile(dir_.path() + "/logs/cenginetest.log");
  const std::string refused = admin() + "/cengineInstall.cfg line 4: ";
  const std::string kept = "; the capture engine keeps its configuration\n";
  for (const std::string& why : std::vector<std::string>{
           "Error in Install.cfg Minimum address is greater than maximum address: 10.9.9.9 "
           "10.9.9.1",
           "Capture engine port not a number: 8o8o",
           "the archive folder (dbpath) " + db() + "/gone is not a folder that can be opened"})
    EXPECT_NE(log.find(refused + why + kept), std::string::npos) << why << " in:\n" << log;
  EXPECT_EQ(engine->getConfigAdmin()->connectionPort, static_cast<uint32_t>(port_));

  // A missing install file keeps the configuration and the process.
  unlink((admin() + "/cengineInstall.cfg").c_str());
  EXPECT_EQ(engine->handleMessage(&reset), 1);
  EXPECT_EQ(config->isInIPRanges(quad("10.9.9.5")), 1);
  EXPECT_EQ(engine->handleMessage(nullptr), 0);
  engine->release();  // still running: stops and joins its threads first
}

// The exit status of a child that runs body, or -1 when it had to be killed after timeout.
int statusOfChild(const std::function<void()>& body, std::chrono::seconds timeout) {
  const pid_t child = fork();
  if (child == 0) {
    body();
    _exit(100);  // body was to end the process itself
  }
  const auto until = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a child: sends the console's end command (35) once the server listens, which begins with
// its thread, and waits for the engine to end the process; exit 101 where it is not acknowledged.
[[noreturn]] void endByTheConsole(int port) {
  corrana_test::ConsoleRequest stop;
  stop.command = 35;
  stop.key = 1;  // the key file held 0
  std::string reply = "<no connection>";
  for (int i = 0; i < 500 && reply == "<no connection>"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    reply = corrana_test::requestReply(port, stop.frame());
  }
  if (reply != corrana_test::successReply("")) _exit(101);
  std::this_thread::sleep_for(std::chrono::seconds(20));
  _exit(100);  // the engine was to end the process
}

TEST_F(CEngineMgrTest, StopCommandStopsTheEngineClosesTheArchivesAndExitsWithZero) {
  option("NetworkStatistics", "0");
  const int status = statusOfChild(
      [this] {
        OB_CEngineMgr* engine = build(0);
        engine->start();
        endByTheConsole(port_);
      },
      std::chrono::seconds(30));
  EXPECT_EQ(status, 0);

  std::vector<std::string> archives;
  for (const auto& entry : std::filesystem::directory_iterator(db())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".lock") == std::string::npos) archives.push_back(entry.path().string());
  }
  EXPECT_EQ(archives.size(), 2u);  // http and ftp
  for (const std::string& path : archives) {
    OB_ArchiveHeader header(path.c_str());
    FILE* file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(header.read(file), 0);
    fclose(file);
    EXPECT_NE(header.closeTime(), 0u) << path;
  }
  const std::string log = readFile(dir_.path() + "/logs/cenginetest.log");
  EXPECT_NE(log.find("(35) root 127.0.0.1 'OK'"), std::string::npos) << log;
  EXPECT_NE(log.find("Quitting capture engine.\n"), std::string::npos) << log;
}

// Claims the trace server's sessions and never returns from the first it is handed, as a
// writer whose disk has stopped answering: the stream builder's thread stays inside the HTTP
// consumer, holding its lock.
class StuckWriter : public OB_ProtocolWriter, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(StuckWriter, 0x7E57C1A2, "StuckWriter", OB_ProtocolWriter,
                    OB_ReferenceCounter)

 public:
  int isMatch(uint32_t serverIP, uint16_t serverPort) override {
    return serverIP == kTraceServer && serverPort == 80 ? 1 : 0;
  }
  int processObject(OB_Object* /*object*/) override {
    entered = true;
    for (;;) pause();
  }
  std::atomic<bool> entered{false};
};

// The console's end command waits for the engine's threads only as long as a stop may: one that
// stays inside a consumer leaves the open sessions where they are (handing them on would wait
// for that consumer for ever) and the process ends all the same.
TEST_F(CEngineMgrTest, AnEndCommandWhoseThreadsDoNotEndEndsTheProcessWithoutHandingOn) {
  option("NetworkStatistics", "0");
  option("Database", "0");
  const int status = statusOfChild(
      [this] {
        OB_Server watched;
        watched.setIPAddress(kTraceServer);
        watched.setPort(80);
        OB_CEngineMgr* engine = build(0);
        engine->setStopLimit(200);
        StuckWriter* stuck = new StuckWriter();
        engine->getConsumerNamedList()->find("http")->append(stuck);
        engine->start();
        const uint64_t now = static_cast<uint64_t>(time(nullptr)) * 1000000u;
        corrana_test::TcpConversation talk({0xC6120002, 40000, {2, 0, 0, 0, 0, 1}},
                                           {kTraceServer, 80, {2, 0, 0, 0, 0, 2}}, now);
        talk.handshake()
            .send(corrana_test::TcpConversation::kClient, "GET / HTTP/1.1\r\nHost: a\r\n\r\n")
            .send(corrana_test::TcpConversation::kServer,
                  "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
            .close();
        OB_PacketManager* packets = member<OB_PacketManager>(engine);
        for (const corrana_test::Frame& frame : talk.frames())
          packets->acceptPacketProc(frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size()),
                                    frame.time, frame.wireLength);
        for (int i = 0; i < 1000 && !stuck->entered; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!stuck->entered) _exit(102);
        endByTheConsole(port_);
      },
      std::chrono::seconds(15));
  EXPECT_EQ(status, 0);
  const std::string log = readFile(dir_.path() + "/logs/cenginetest.log");
  EXPECT_NE(log.find("capture engine stop: its threads did not end within 200 ms"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("finished ones handed on"), std::string::npos) << log;
  EXPECT_NE(log.find("Quitting capture engine.\n"), std::string::npos) << log;
}

TEST_F(CEngineMgrTest, InstallRequestIsMergedKeepingTheInstallFileAndDeleted) {
  writeGeneral(0);
  option("NetworkStatistics", "1");  // cannot switch the network part on
  option("Database", "0");
  writeAdmin("installc.cfg", "http: 127.0.0.5\nftp: 127.0.0.6 \ndevice: 2\n");
  OB_CEngineMgr* engine = build(0);
  EXPECT_EQ(engine->getConsumerNamedList()->find("net"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(admin() + "/installc.cfg"));
  std::string install = readFile(admin() + "/cengineInstall.cfg");
  for (const std::string& line : std::vector<std::string>{
           "# installation\n", "port " + std::to_string(port_) + "\n", "dbpath " + db() + "\n",
           "range 10.0.0.1 10.0.0.9\n", "range: 127.0.0.5 127.0.0.5\n",
           "range: 127.0.0.6 127.0.0.6\n", "device: 2\n"})
    EXPECT_NE(install.find(line), std::string::npos) << line << " in:\n" << install;
  EXPECT_EQ(install.find("device 0"), std::string::npos);
  OB_Config* config = engine->getConfigAdmin();
  EXPECT_STREQ(config->device, "2");
  EXPECT_EQ(config->isInIPRanges(quad("10.0.0.5")), 1);
  EXPECT_EQ(config->isInIPRanges(quad("127.0.0.6")), 1);
  EXPECT_EQ(config->isInIPRanges(quad("127.0.0.7")), 0);
  engine->release();

  // An install file without a device gains one.
  writeAdmin("cengineInstall.cfg", "port " + std::to_string(port_) + "\ndbpath " + db() +
                                       "\nrange 10.0.0.1 10.0.0.9");
  writeAdmin("installc.cfg", "device: 3\n");
  engine = build(0);
  EXPECT_STREQ(engine->getConfigAdmin()->device, "3");
  EXPECT_EQ(engine->getConfigAdmin()->isInIPRanges(quad("10.0.0.5")), 1);
  EXPECT_FALSE(std::filesystem::exists(admin() + "/installc.cfg"));
  engine->release();
}

// A forward look-up that notes whether cfg.lock was held while it ran, and rewrites the request
// at its first call as an installer running beside the engine would.
struct InstallLookUps {
  static inline std::string lockPath;
  static inline std::function<void()> atFirstCall;
  static inline int calls = 0;
  static inline int underLock = 0;
  static int lookUp(const char* host, uint32_t* address) {
    OB_FileLock probe;
    if (probe.open(lockPath.c_str()) == 0 && probe.isLockedElsewhere() != 0) ++underLock;
    if (++calls == 1 && atFirstCall) atFirstCall();
    struct in_addr converted;
    if (inet_aton(host, &converted) == 0) return -1;
    *address = ntohl(converted.s_addr);
    return 0;
  }
};

TEST_F(CEngineMgrTest, InstallRequestHostsAreLookedUpWithoutTheConfigurationLock) {
  writeGeneral(0);
  option("Database", "0");
  writeAdmin("installc.cfg", "http: 127.0.0.5\nftp: no.such.host\n");
  InstallLookUps::lockPath = admin() + "/cfg.lock";
  InstallLookUps::calls = InstallLookUps::underLock = 0;
  InstallLookUps::atFirstCall = [this] {
    writeAdmin("installc.cfg", "http: 127.0.0.5\nftp: no.such.host\nftp: 127.0.0.7\n");
  };
  OB_CEngineMgr::setHostLookup(InstallLookUps::lookUp);
  OB_CEngineMgr* engine = build(0);
  OB_CEngineMgr::setHostLookup(nullptr);
  InstallLookUps::atFirstCall = nullptr;
  // Each host once, the one added in between in a second round; none while the lock was held.
  EXPECT_EQ(InstallLookUps::calls, 3);
  EXPECT_EQ(InstallLookUps::underLock, 0);
  EXPECT_FALSE(std::filesystem::exists(admin() + "/installc.cfg"));
  const std::string install = readFile(admin() + "/cengineInstall.cfg");
  EXPECT_NE(install.find("range: 127.0.0.5 127.0.0.5\nrange: 127.0.0.7 127.0.0.7\n"),
            std::string::npos)
      << install;
  EXPECT_EQ(engine->getConfigAdmin()->isInIPRanges(quad("127.0.0.7")), 1);
  engine->release();
}

}  // namespace
