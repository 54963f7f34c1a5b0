#include "console/OB_AEngineMgr.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "archive/OB_ArchiveWriter.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_AEngineConfigAdmin.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "console/OB_AEngineTCPServer.h"
#include "ftp/OB_FTPAnalysisStats.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "stats/AnalysisHash.h"
#include "stats/StatsModule.h"
#include "windows/OB_FTPReader.h"
#include "windows/OB_GapKeeper.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"
#include "windows/OB_NetReader.h"

namespace {

// How long a rebuild waits for console requests to let go of the old window servers before it
// keeps the shared name table as it is: a request lasts at most its deadline.
constexpr auto kLetGoWait = std::chrono::seconds(15);

template <class Config>
std::shared_ptr<OB_AEngineConfig> readConfiguration() {
  auto* config = new Config();
  if (config == nullptr) OB_Log::quit("OB_AEngineMgr::init: not enough memory");
  config->init();
  config->readConfig();
  return std::shared_ptr<OB_AEngineConfig>(config, [](OB_AEngineConfig* c) { c->release(); });
}

void printHTTP(FILE* f, OB_HTTPReader* reader) {
  OB_ReaderQueryHold hold(reader);
  fprintf(f, "  HTTP: %u connections received, %u counted by a server\n",
          reader->serverStreamsReceived, reader->serverStreamsProcessed);
  for (uint16_t i = 0; i < reader->numServers; ++i) {
    OB_HTTPServerStats* server = reader->servers[i];
    if (server == nullptr || server->modules == nullptr) continue;
    OB_HTTPServerStatsModules* set = server->modules;
    StatsWindowHold window(set->window);
    StatsBreakdownHold methods(ssHitData_getMethodBreakdownSummary(&set->hitData));
    StatsBreakdownHold errors(ssErrorData_getErrorBreakdownSummary(&set->errorData));
    char quad[16];
    fprintf(f, "    server %u %s (%s:%u):", i, server->server->getName(),
            OB_Tools::IPAddressString(server->server->getIPAddress(), quad),
            server->server->getPort());
    // "All Hits" first, then the methods, largest first.
    for (size_t e = 0; methods != nullptr && e < methods->count; ++e)
      if (methods->entries[e].total != 0)
        fprintf(f, " %s %llu,", methods->entries[e].name,
                static_cast<unsigned long long>(methods->entries[e].total));
    const uint64_t errorCount =
        errors != nullptr && errors->count > 0 ? errors->entries[0].total : 0;
    fprintf(f, " errors %llu\n", static_cast<unsigned long long>(errorCount));
  }
}

void printFTP(FILE* f, OB_FTPReader* reader) {
  OB_ReaderQueryHold hold(reader);
  fprintf(f, "  FTP: %u connections received, %u counted by a server\n",
          reader->serverStreamsReceived, reader->serverStreamsProcessed);
  for (uint16_t i = 0; i < reader->numServers; ++i) {
    FTPServerSpace_t& space = reader->servers[i];
    char quad[16];
    fprintf(f, "    server %u %s (%s): transfers %llu, aborts %llu\n", i,
            space.server->getName(), OB_Tools::IPAddressString(space.server->getIPAddress(), quad),
            static_cast<unsigned long long>(FTPssTransfers_getTotal(&space.modules.trnsfrData)),
            static_cast<unsigned long long>(FTPssTransfers_getTotal(&space.modules.abortsData)));
  }
}

}  // namespace

OB_AEngineMgr::OB_AEngineMgr(int argc, char** argv, OB_NamedStringList* optionList,
                             OB_NamedList<OB_Consumer>* consumers, OB_ExitHandler* exitHandler)
    : OB_EngineMgr(argc, argv, optionList, exitHandler), consumers_(consumers) {
  thread_ = new OB_Thread(nullptr, nullptr);
  if (thread_ == nullptr) OB_Log::quit("OB_AEngineMgr: not enough memory");
  thread_->setFunction(runTask);
  thread_->setArg(this);
  AnalysisHash_init(OB_NameLookups::kBackground);
}

OB_AEngineMgr::~OB_AEngineMgr() {
  stop();
  join(nullptr, 0);
  {
    OB_MutexHold hold(this);
    releaseWindowServers();
    setCurrentConfig(nullptr);
    setDefaultConfig(nullptr);
    {
      std::lock_guard<std::mutex> guard(configLock_);
      current_.reset();
      defaults_.reset();
    }
    thread_->OB_ReferenceCounter::release();
    thread_ = nullptr;
    if (mainServer_ != nullptr) mainServer_->OB_ReferenceCounter::release();
    mainServer_ = nullptr;
  }
  AnalysisHash_free();
}

void OB_AEngineMgr::runTask(void* manager) { static_cast<OB_AEngineMgr*>(manager)->doTask(); }

int OB_AEngineMgr::init() {
  OB_MutexHold hold(this);
  // The one-time installation additions go into the configuration in use (and its file), never
  // into the defaults.
  std::shared_ptr<OB_AEngineConfig> defaults = readConfiguration<OB_AEngineConfig>();
  std::shared_ptr<OB_AEngineConfig> current = readConfiguration<OB_AEngineConfigAdmin>();
  {
    std::lock_guard<std::mutex> guard(configLock_);
    defaults_ = defaults;
    current_ = current;
  }
  setDefaultConfig(defaults.get());
  setCurrentConfig(current.get());

  if (mainServer_ == nullptr) {
    mainServer_ = new OB_AEngineTCPServer();
    if (mainServer_ == nullptr) OB_Log::quit("OB_AEngineMgr::init: not enough memory");
    mainServer_->setManager(this);
    mainServer_->setPort(static_cast<int>(current->portRangeStart));
    if (mainServer_->init() != 0) return -1;
  }

  for (int i = 0; i < current->numOfTimeWindows; ++i) {
    auto* server = new OB_AEngineTCPServer();
    if (server == nullptr) OB_Log::quit("OB_AEngineMgr::init: not enough memory");
    server->setManager(this);
    server->setTimeWindowIndex(i);
    server->setConfig(current);
    if (server->init() != 0) {
      server->OB_ReferenceCounter::release();
      return -1;
    }
    append(server);
    servers_.append(server);
    if (consumers_ != nullptr) server->setConsumerNamedList(consumers_);
  }
  return 0;
}

int OB_AEngineMgr::start() {
  OB_MutexHold hold(this);
  if (mainServer_ == nullptr) return -1;
  // The port is opened here, where a taken one can still be reported, rather than by the
  // accept thread, which could only end the process.
  mainServer_->setContinue(1);
  if (mainServer_->openListener() != 0) {
    OB_Log::ret("OB_AEngineMgr::start: can't listen on the analysis port %d",
                mainServer_->getPort());
    mainServer_->setContinue(0);
    return -1;
  }
  running_.store(1);
  mainServer_->start();
  thread_->start();
  OB_ThreadList::start();
  return 0;
}

int OB_AEngineMgr::stop() {
  OB_MutexHold hold(this);
  {
    std::lock_guard<std::mutex> guard(rebuildLock_);
    running_.store(0);
  }
  rebuildWake_.notify_all();
  if (mainServer_ != nullptr) mainServer_->stop();
  if (thread_ != nullptr) thread_->stop();
  OB_ThreadList::stop();
  return 0;
}

int OB_AEngineMgr::join(OB_Mutex* mutex, int ms) {
  if (mainServer_ != nullptr) mainServer_->join(mutex, ms);
  if (thread_ != nullptr) thread_->join(mutex, ms);
  OB_ThreadList::join(mutex, ms);
  return 0;
}

int OB_AEngineMgr::signal() {
  {
    std::lock_guard<std::mutex> guard(rebuildLock_);
    rebuildPending_ = true;
  }
  rebuildWake_.notify_all();
  return 0;
}

int OB_AEngineMgr::doTask() {
  {
    std::unique_lock<std::mutex> wait(rebuildLock_);
    rebuildWake_.wait(wait, [this] { return rebuildPending_ || running_.load() == 0; });
    if (running_.load() == 0) return 0;
    // Taken now: a request that comes while the rebuild below runs asks for one more.
    rebuildPending_ = false;
    rebuilding_ = true;
  }
  {
    OB_MutexHold hold(this);
    if (running_.load() != 0) rebuild();
  }
  {
    std::lock_guard<std::mutex> guard(rebuildLock_);
    rebuilding_ = false;
  }
  rebuildWake_.notify_all();
  return 0;
}

bool OB_AEngineMgr::awaitRebuilt(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> wait(rebuildLock_);
  auto settled = [this] {
    return running_.load() == 0 || (!rebuildPending_ && !rebuilding_);
  };
  if (settled()) return true;
  ++rebuildWaits_;
  return rebuildWake_.wait_until(wait, until, settled);
}

int OB_AEngineMgr::getRebuildWaits() {
  std::lock_guard<std::mutex> guard(rebuildLock_);
  return rebuildWaits_;
}

void OB_AEngineMgr::rebuild() {
  OB_ThreadList::stop();
  OB_ThreadList::join(nullptr, 1000);
  // From here until the new readers listen, the consumers go on taking every session of a
  // watched server; the new readers replay what reached the archive, and what reaches none is
  // kept for them.
  const GapKeepers keepers = placeGapKeepers();
  releaseWindowServers();
  init();
  handOverGaps(keepers);
  OB_ThreadList::start();
  rebuilds_.fetch_add(1);
}

OB_AEngineMgr::GapKeepers OB_AEngineMgr::placeGapKeepers() {
  GapKeepers keepers;
  if (consumers_ == nullptr) return keepers;
  OB_MutexHold listHold(consumers_);
  for (OB_Consumer* consumer = consumers_->first(); consumer != nullptr;
       consumer = consumers_->next()) {
    OB_MutexHold hold(consumer);
    bool archived = false;
    consumer->first();
    for (OB_Consumer::Link* link = consumer->getCurrentLink(); link != nullptr && !archived;
         link = link->getNext())
      archived = obQuery<OB_ArchiveWriter>(link->getItemObject()) != nullptr;
    if (archived) continue;
    auto* keeper = new OB_GapKeeper(consumer->getProtocolName());
    if (keeper == nullptr) OB_Log::quit("OB_AEngineMgr::rebuild: not enough memory");
    if (consumer->append(keeper) != 0) {
      keeper->release();
      continue;
    }
    keepers.emplace_back(consumer, keeper);
  }
  return keepers;
}

void OB_AEngineMgr::handOverGaps(const GapKeepers& keepers) {
  for (const auto& [consumer, keeper] : keepers) {
    {
      // Under the consumer's lock: nothing is handed over between the keeper's records and the
      // first live object the new readers take.
      OB_MutexHold hold(consumer);
      keeper->handTo(consumer);
      consumer->remove(keeper);
    }
    keeper->release();
  }
}

bool OB_AEngineMgr::awaitSole(const std::vector<OB_AEngineTCPServer*>& servers) {
  const auto until = std::chrono::steady_clock::now() + kLetGoWait;
  for (OB_AEngineTCPServer* server : servers)
    while (server->getReferenceCount() > 1) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  return true;
}

void OB_AEngineMgr::releaseWindowServers() {
  std::vector<OB_AEngineTCPServer*> old;
  {
    OB_MutexHold hold(&servers_);
    for (OB_AEngineTCPServer* server = servers_.first(); server != nullptr;
         server = servers_.next()) {
      server->addRef();
      old.push_back(server);
    }
  }
  servers_.clear();
  OB_List<OB_Thread>::clear();
  // The resource names the old statistics point into may go only once nothing reads those
  // statistics any more: a console request may still hold an old window server.
  const bool sole = awaitSole(old);
  for (OB_AEngineTCPServer* server : old) server->OB_ReferenceCounter::release();
  if (!sole) {
    OB_Log::ret("OB_AEngineMgr: a request still holds an old window; resource names kept");
    return;
  }
  AnalysisHash_clearNames(getResourceHash());
}

OB_AEngineTCPServer* OB_AEngineMgr::getServer(int index) {
  OB_MutexHold hold(&servers_);
  for (OB_AEngineTCPServer* server = servers_.first(); server != nullptr;
       server = servers_.next())
    if (server->getTimeWindowIndex() == index) return server;
  return nullptr;
}

OB_AEngineTCPServer* OB_AEngineMgr::holdServer(int index) {
  OB_MutexHold hold(&servers_);
  OB_AEngineTCPServer* server = getServer(index);
  if (server != nullptr) server->addRef();
  return server;
}

std::shared_ptr<OB_AEngineConfig> OB_AEngineMgr::getCurrentConfigShared() {
  std::lock_guard<std::mutex> guard(configLock_);
  return current_;
}

std::shared_ptr<OB_AEngineConfig> OB_AEngineMgr::getDefaultConfigShared() {
  std::lock_guard<std::mutex> guard(configLock_);
  return defaults_;
}

void OB_AEngineMgr::stopConsole() { consoleStop_.store(true); }

void OB_AEngineMgr::setQuitAction(QuitAction action, void* context) {
  quitAction_ = action;
  quitContext_ = context;
}

int OB_AEngineMgr::input() {
  consoleStop_.store(false);
  auto out = [](const char* text) { fputs(text, stdout); };
  for (;;) {
    fflush(stdout);
    out("Command: ");
    fflush(stdout);
    // Waits in short steps so that stopConsole is seen; a console that is gone (end of the
    // input, a read error) ends the loop instead of spinning on it.
    char command[2] = {0, 0};
    ssize_t got = 0;
    for (;;) {
      if (consoleStop_.load()) return 0;
      struct pollfd in = {0, POLLIN, 0};
      int ready = poll(&in, 1, 200);
      if (ready < 0 && errno != EINTR) return 0;
      if (ready <= 0) continue;
      got = ::read(0, command, sizeof command);
      if (got < 0 && errno == EINTR) continue;
      break;
    }
    if (got <= 0) return 0;
    printf("%c", command[0]);
    switch (command[0]) {
      case '?':
        for (const char* line :
             {"Interactive Mode Commands\n", "-------------------------\n", "Basic Control:\n",
              "\ts \tstart/stop capture toggle\n", "\to \tprint the current options\n",
              "\tq \tquit\n", "Statistics:\n", "\ta \tprint a large summary statistics\n",
              "\tb \tall network stats\n", "\tc \tsessions hash stats\n",
              "\td \ttcp session stats\n", "\te \ttcp memory stats\n", "\tm \tall memory stats\n",
              "Misc:\n", "\tu \treport memory usage\n"})
          out(line);
        break;
      case 'a':
        out(" Update statistics.\n");
        print(stdout);
        break;
      case 'b': out(" Network stats.\n"); break;
      case 'c': out(" Sessions hash stats.\n"); break;
      case 'd': out(" TCP session stats.\n"); break;
      case 'e': out(" TCP memory stats.\n"); break;
      case 'm': out(" Memory statistics.\n"); break;
      case 'o': out(" Print options. \n"); break;
      case 'j':
      case 'k': out("DISABLED!!!!!!!!"); break;
      case 'u':
      case 'v': out("\n Report memory usage. DEBUGGING \n"); break;
      case 's':
        if (OB_ThreadList::isRunning() == 0) {
          out(" Start monitoring.\n");
          if (OB_ThreadList::start() != 0) OB_Log::quit("startAllThreads: Error starting monitor.");
        } else {
          out(" Stop monitoring.\n");
          if (OB_ThreadList::stop() != 0) OB_Log::quit("stopAllThreads: Error stopping monitor.");
        }
        break;
      case 'q':
        out(" Quit.\n");
        out(" Stop monitoring.\n");
        fflush(stdout);
        if (OB_ThreadList::isRunning() != 0 && OB_ThreadList::stop() != 0)
          OB_Log::quit("stopAllThreads: Error stopping monitor.");
        if (quitAction_ != nullptr) {
          quitAction_(quitContext_);
          return 0;
        }
        fflush(nullptr);
        _exit(0);
      default:
        out(" Unknown command.\n");
        break;
    }
    fflush(stdout);
  }
}

int OB_AEngineMgr::print(FILE* stream) {
  FILE* f = stream != nullptr ? stream : OB_Log::getFD();
  time_t started = static_cast<time_t>(getStartTime());
  char when[64];
  struct tm local;
  if (!OB_Tools::localTime(started, &local)) local = {};
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  fprintf(f, "Analysis engine, started %s, %d rebuilds\n", when, rebuilds_.load());
  std::vector<OB_AEngineTCPServer*> servers;
  {
    OB_MutexHold hold(&servers_);
    for (OB_AEngineTCPServer* server = servers_.first(); server != nullptr;
         server = servers_.next()) {
      server->addRef();
      servers.push_back(server);
    }
  }
  for (OB_AEngineTCPServer* server : servers) {
    OB_IndexChanger* window = server->getIndexChanger();
    if (window != nullptr)
      fprintf(f, "Window %d \"%s\": %u bins from %u to %u\n", server->getTimeWindowIndex(),
              window->getTimeWindowName(), window->getNumOfBins(), window->getAgoTime(),
              window->getNowTime());
    if (OB_HTTPReader* http = server->getHTTPAnalysisStats(); http != nullptr) printHTTP(f, http);
    if (OB_FTPReader* ftp = server->getFTPAnalysisStats(); ftp != nullptr) printFTP(f, ftp);
    server->OB_ReferenceCounter::release();
  }
  fflush(f);
  return 0;
}
