#include "OB_CEngineMgr.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "DriverControl.h"
#include "OB_CEngineTCPServer.h"
#include "OB_CLFWriter.h"
#include "OB_ConfigAdmin.h"
#include "OB_ConfigFile.h"
#include "OB_Exception.h"
#include "OB_FTPConsumer.h"
#include "OB_HTTPConsumer.h"
#include "OB_InstallHosts.h"
#include "OB_Log.h"
#include "OB_Message.h"
#include "OB_NamedStringList.h"
#include "OB_NetConsumer.h"
#include "OB_PacketManager.h"
#include "OB_ResetThread.h"
#include "OB_StreamBuilder.h"
#include "OB_String.h"
#include "OB_Tools.h"
#include "archive/OB_ArchiveWriter.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/protoSpec.h"

namespace {

// The value of an option, or null when there is no list or no such entry.
const char* optionValue(OB_NamedStringList* options, const char* name) {
  if (options == nullptr) return nullptr;
  OB_String* value = options->find(name);
  return value != nullptr ? static_cast<const char*>(*value) : nullptr;
}

// A request value without the blanks that end it (the list keeps trailing blanks).
std::string trimmed(const char* text) {
  std::string value(text != nullptr ? text : "");
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  return value;
}

std::atomic<OB_CEngineMgr::HostLookup> hostLookup{OB_InstallHosts::systemLookup};

// The "http" and "ftp" hosts of an install request, in request order.
std::vector<std::string> requestHosts(OB_NamedStringList* request) {
  std::vector<std::string> hosts;
  for (const char* name : {"http", "ftp"})
    for (OB_String* value = request->find(name); value != nullptr; value = request->findNext(name))
      hosts.push_back(trimmed(*value));
  return hosts;
}

}  // namespace

OB_CEngineMgr::OB_CEngineMgr(int argc, char** argv, OB_NamedStringList* optionList,
                             OB_ExitHandler* exitHandler, int capture)
    : OB_EngineMgr(argc, argv, optionList, exitHandler) {
  const std::string admin = std::string(OB_Tools::getInstallDir()) + "/admin";
  installFile_ = admin + "/cengineInstall.cfg";
  takeInstallRequest(admin + "/installc.cfg");

  configDef.setName("cengine");
  configAdmin.setName("cengine");
  if (configDef.init() != 0) OB_Log::quit("g_generalConfigDef.init()");
  if (configAdmin.init() != 0) OB_Log::quit("g_generalConfigAdmin.init()");

  // Absent options change nothing; "NetworkStatistics" can only switch the network part off.
  if (const char* value = optionValue(options, "Database"); value != nullptr && atoi(value) == 0)
    archiving_ = 0;
  if (const char* value = optionValue(options, "NetworkStatistics");
      value != nullptr && atoi(value) == 0)
    configAdmin.netStatsEnabled = 0;
  const bool network = configAdmin.netStatsEnabled != 0;

  HTTPMIMEInfo_init(&configAdmin);

  resetThread_ = OB_ResetThread::create();
  if (resetThread_ == nullptr) OB_Log::quit("OB_CEngineMgr: no memory for the reset thread");
  append(resetThread_);

  packetManager_ = new OB_PacketManager(this);
  streamBuilder_ = OB_StreamBuilder::create(this);
  if (packetManager_ == nullptr || streamBuilder_ == nullptr)
    OB_Log::quit("OB_CEngineMgr: no memory for the packet road");
  append(streamBuilder_);
  capturing_ = capture;
  if (capture == 0) packetManager_->disablePacketDriver(1);
  packetManager_->init();
  packetManager_->append(streamBuilder_);
  append(packetManager_);

  if (network) {
    netConsumer_ = OB_NetConsumer::create();
    if (netConsumer_ == nullptr) OB_Log::quit("OB_CEngineMgr: no memory for the network consumer");
    packetManager_->setAllProcessor(netConsumer_);
    append(netConsumer_);
  }

  httpConsumer_ = OB_HTTPConsumer::create();
  if (httpConsumer_ == nullptr) OB_Log::quit("OB_CEngineMgr: no memory for the HTTP consumer");
  streamBuilder_->append(httpConsumer_);
  append(httpConsumer_);
  if (optionValue(options, "CommonLogFile") != nullptr) {
    OB_CLFWriter* clf = OB_CLFWriter::create();
    if (clf == nullptr) OB_Log::quit("OB_CEngineMgr: no memory for the common log file writer");
    httpConsumer_->append(clf);
    clf->release();  // the consumer's writer list holds its own reference
  }

  ftpConsumer_ = OB_FTPConsumer::create();
  if (ftpConsumer_ == nullptr) OB_Log::quit("OB_CEngineMgr: no memory for the FTP consumer");
  streamBuilder_->append(ftpConsumer_);
  append(ftpConsumer_);

  {
    OB_MutexHold hold(this);
    for (OB_Thread* thread = first(); thread != nullptr; thread = next()) {
      OB_Consumer* consumer = obQuery<OB_Consumer>(thread);
      if (consumer == nullptr) continue;
      consumer->setManager(this);
      const char* name = consumer->getProtocolName();
      consumers_.append(consumer, name);
      if (archiving_ == 0) continue;
      // Reset at midnight by the reset thread only: a consumer's reset would rotate it again.
      OB_ArchiveWriter* writer =
          new OB_ArchiveWriter(nullptr, configAdmin.databaseDir, name, configAdmin.device,
                               configAdmin.filterProgram, configAdmin.daysOfDataToKeep);
      if (writer == nullptr) OB_Log::quit("OB_CEngineMgr: no memory for an archive writer");
      consumer->append(writer);
      resetThread_->append(writer);
      obRelease(writer);  // the consumer's writer list holds its own
    }
  }

  server_ = OB_CEngineTCPServer::create();
  if (server_ == nullptr) OB_Log::quit("OB_CEngineMgr: no memory for the command server");
  server_->setPort(static_cast<int>(configAdmin.connectionPort));
  server_->setManager(this);
  server_->setExitAction(quitFromConsole, this);
  append(server_);

  if (network) {
    const std::string spec = std::string(OB_Tools::getInstallDir()) + "/admin/PSpc.bin";
    protoSpec_InitProtoSpecUtils(spec.c_str());
    protoSpecLoaded_ = true;
  }
}

OB_CEngineMgr::~OB_CEngineMgr() {
  // Nothing may run while the wiring goes: the capture thread calls the network consumer and
  // reads the protocol-spec tree, the stream builder's thread calls consumers and writers.
  stop();
  join(nullptr, 10000);
  if (packetManager_ != nullptr) packetManager_->setAllProcessor(nullptr);
  {
    OB_MutexHold hold(this);
    if (resetThread_ != nullptr) resetThread_->clear();
    if (packetManager_ != nullptr) packetManager_->clear();
    if (streamBuilder_ != nullptr) streamBuilder_->clear();
    for (OB_Consumer* consumer : {static_cast<OB_Consumer*>(netConsumer_),
                                  static_cast<OB_Consumer*>(httpConsumer_),
                                  static_cast<OB_Consumer*>(ftpConsumer_)})
      if (consumer != nullptr) consumer->clear();
  }
  consumers_.clear();
  // Head first: the stream builder's sessions give their pooled buffers back before the packet
  // manager frees its pools.
  OB_List<OB_Thread>::clear();
  if (protoSpecLoaded_) protoSpec_FreeProtoSpecUtils();
  HTTPMIMEInfo_init(nullptr);  // the table was this engine's configuration
}

OB_CEngineMgr* OB_CEngineMgr::create() {
  OB_CEngineMgr* manager = new OB_CEngineMgr(0, nullptr, nullptr, nullptr, 1);
  if (manager != nullptr) manager->init();
  return manager;
}

int OB_CEngineMgr::init() {
  if (capturing_ != 0 && packetManager_->getCaptureContext() == nullptr) {
    // The driver has said why; the program that owns the engine says what it means.
    OB_Log::debug("OB_CEngineMgr::init: no capture adapter could be opened\n");
    return -1;
  }
  return OB_EngineMgr::init();
}

int OB_CEngineMgr::start() {
  if (server_ != nullptr) {
    server_->setContinue(1);
    if (server_->openListener() != 0) {
      OB_Log::ret("the capture console can't listen on port %d", server_->getPort());
      server_->setContinue(0);
      return -1;
    }
  }
  const int started = OB_EngineMgr::start();
  if (started == 0) captured_ = true;
  return started;
}

OB_NamedList<OB_Consumer>* OB_CEngineMgr::getConsumerNamedList() { return &consumers_; }

std::string OB_CEngineMgr::adapterName() {
  GLIM_CaptureContext context =
      packetManager_ != nullptr ? packetManager_->getCaptureContext() : nullptr;
  return context != nullptr ? DriverControl::adapterName(context) : "";
}

void OB_CEngineMgr::setExitAction(OB_TCPExitAction action, void* context) {
  server_->setExitAction(action != nullptr ? action : quitFromConsole,
                         action != nullptr ? context : this);
}

void OB_CEngineMgr::quitFromConsole(void* context) {
  // Called on the command server's accept thread, one of the engine's own threads, which
  // cannot wait for itself: the engine is taken down from a thread of its own.
  auto* engine = static_cast<OB_CEngineMgr*>(context);
  std::thread([engine] { engine->quit(); }).detach();
}

int OB_CEngineMgr::handOnSessions() {
  if (sessionsHandedOn_ || !captured_ || streamBuilder_ == nullptr) return 0;
  sessionsHandedOn_ = true;
  int open = 0;
  int queued = 0;
  try {
    streamBuilder_->handOnAll(&open, &queued);
  } catch (OB_Exception& exception) {
    OB_Log::ret("capture engine stop: handing the open sessions on failed: %s",
                exception.getText() != nullptr ? exception.getText() : "");
  }
  OB_Log::ret("capture engine stop: %d open sessions and %d finished ones handed on", open,
              queued);
  return 0;
}

void OB_CEngineMgr::setStopLimit(int ms) { stopLimitMs_ = ms > 0 ? ms : kJoinLimitMs; }

void OB_CEngineMgr::quit() {
  stop();
  // As the service stops: what the capture saw goes on once every thread has ended. A thread
  // still inside a consumer holds its lock, which the hand-over and the archives' close wait
  // for: the process ends without them then, its files as a kill leaves them.
  if (joinWithin(stopLimitMs_)) {
    handOnSessions();
    closeArchives();
  } else {
    OB_Log::ret("capture engine stop: its threads did not end within %d ms; the open sessions "
                "are not handed on",
                stopLimitMs_);
  }
  OB_Log::log("Quitting capture engine.\n");
  cleanup(0);
}

void OB_CEngineMgr::closeArchives(bool discardEmpty) {
  for (OB_Consumer* consumer :
       {static_cast<OB_Consumer*>(netConsumer_), static_cast<OB_Consumer*>(httpConsumer_),
        static_cast<OB_Consumer*>(ftpConsumer_)}) {
    if (consumer == nullptr) continue;
    OB_MutexHold hold(consumer);
    consumer->first();
    for (auto* link = consumer->getCurrentLink(); link != nullptr; link = link->getNext())
      if (OB_ArchiveWriter* writer = obQuery<OB_ArchiveWriter>(link->getItemObject()))
        discardEmpty ? writer->discard() : writer->close();
  }
}

int OB_CEngineMgr::handleMessage(OB_Message* message) {
  if (message == nullptr) return 0;
  const char* text = message->getMessage();
  if (text == nullptr || strcmp(text, "CONFIG_RESET") != 0) return 0;
  // Opened under cfg.lock, so that it is the file the last writer left whole.
  OB_ConfigFileLock lock;
  if (!lock.held())
    OB_Log::ret("handleMessage: can't lock %s, reading without it", lock.path().c_str());
  // Opened here rather than through the configuration's opener, which ends the process when the
  // file is missing: a running engine keeps its settings instead.
  FILE* stream = fopen(installFile_.c_str(), "r");
  if (stream == nullptr) {
    OB_Log::ret("handleMessage: can't open %s (%s); configuration kept", installFile_.c_str(),
                OB_Log::sys_err_str());
    return 1;
  }
  // A damaged file must not end the running engine: its settings stay as they are.
  std::string problem;
  if (configAdmin.rereadAdminConfigFile(stream, &problem) != 0)
    OB_Log::ret("%s; the capture engine keeps its configuration", problem.c_str());
  fclose(stream);
  return 1;
}

OB_CEngineMgr::HostLookup OB_CEngineMgr::setHostLookup(HostLookup lookup) {
  return hostLookup.exchange(lookup != nullptr ? lookup : OB_InstallHosts::systemLookup);
}

void OB_CEngineMgr::takeInstallRequest(const std::string& requestPath) {
  // Its hosts are looked up with cfg.lock free; it is read again, merged and deleted under one
  // hold, as the other writers do.
  OB_InstallHosts addresses(hostLookup.load());
  auto named = [&](std::vector<std::string>* hosts) {
    OB_NamedStringList request;
    request.setOwner(1);
    if (request.readFile(requestPath.c_str(), ':', "\n\t ") != 0) return false;
    *hosts = requestHosts(&request);
    return true;
  };
  auto merge = [&](const OB_ConfigFileLock&, bool) {
    OB_NamedStringList request;
    request.setOwner(1);
    if (request.readFile(requestPath.c_str(), ':', "\n\t ") != 0) return true;
    const std::vector<std::string> hosts = requestHosts(&request);
    if (!addresses.knowsAll(hosts)) return false;

    std::vector<std::string> ranges;
    for (const std::string& host : hosts) {
      uint32_t address = 0;
      if (!addresses.addressOf(host, &address)) {
        OB_Log::flog(nullptr, "gethostbyname() failed on %s\n", host.c_str());
        continue;
      }
      char quad[16];
      OB_Tools::IPAddressString(address, quad);
      ranges.push_back(std::string(quad) + " " + quad);
    }
    if (!ranges.empty() && OB_ConfigAdmin::addInstallEntries(installFile_, "range", ranges) != 0)
      OB_Log::ret("takeInstallRequest: can't write the ranges into %s", installFile_.c_str());

    if (OB_String* device = request.find("device"); device != nullptr) {
      std::string value = trimmed(*device);
      if (!value.empty()) writeInstallDevice(value.c_str());
    }

    // Consumed whether or not it named a device; one left behind would be merged at every start.
    if (unlink(requestPath.c_str()) != 0)
      OB_Log::ret("takeInstallRequest: can't delete %s (%s)", requestPath.c_str(),
                  OB_Log::sys_err_str());
    return true;
  };
  if (!addresses.run(named, merge))
    OB_Log::ret("takeInstallRequest: %s changed while its hosts were looked up; left for the "
                "next start",
                requestPath.c_str());
}

void OB_CEngineMgr::writeInstallDevice(const char* value) {
  // Edited line by line: the install file also holds lines without ':' ("port 8189",
  // "range a b") and comments, which a name:value list would drop on the way back.
  switch (OB_ConfigAdmin::replaceInstallEntries(installFile_, "device", {value})) {
    case 0:
      return;
    case 1:
      OB_Log::debug("Could not read cengineInstall.cfg\n");
      return;
    default:
      OB_Log::ret("takeInstallRequest: can't write the device into %s (%s)", installFile_.c_str(),
                  OB_Log::sys_err_str());
  }
}
