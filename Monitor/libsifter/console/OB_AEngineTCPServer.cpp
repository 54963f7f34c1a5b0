#include "console/OB_AEngineTCPServer.h"

#include <cstdlib>

#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"
#include "archive/OB_ArchiveReader.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_User.h"
#include "console/OB_AEngineMgr.h"
#include "console/OB_AEngineTCPConnection.h"
#include "records/OB_ProtocolWriter.h"
#include "windows/OB_FTPReader.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"
#include "windows/OB_NetReader.h"
#include "windows/OB_ProtocolReader.h"

namespace {

// Unless the option list holds "NetworkStatistics" and it reads as 0.
bool networkStatisticsWanted() {
  OB_NamedStringList* options = getOptions();
  if (options == nullptr) return true;
  OB_String* value = options->find("NetworkStatistics");
  return value == nullptr || atoi(static_cast<const char*>(*value)) != 0;
}

}  // namespace

OB_AEngineTCPServer::OB_AEngineTCPServer() { keyFileName = "aengineKey"; }

OB_AEngineTCPServer::~OB_AEngineTCPServer() {
  // The readers' threads have been joined by whoever stopped this server; a reader a consumer
  // still lists would be called by the capture thread after it is gone.
  threads_.stop();
  threads_.join(nullptr, 0);
  detachReaders();
  if (indexChanger_ != nullptr) indexChanger_->clear();
  threads_.clear();
}

template <class Visit>
void OB_AEngineTCPServer::forEachReader(Visit visit) {
  std::vector<OB_Thread*> members;
  {
    OB_MutexHold hold(&threads_);
    for (OB_Thread* thread = threads_.first(); thread != nullptr; thread = threads_.next())
      members.push_back(thread);
  }
  for (OB_Thread* thread : members) {
    OB_ProtocolWriter* writer = obQuery<OB_ProtocolWriter>(thread);
    OB_ArchiveReader* archive = obQuery<OB_ArchiveReader>(thread);
    if (writer != nullptr && archive != nullptr) visit(thread, writer, archive);
  }
}

void OB_AEngineTCPServer::detachReaders() {
  if (consumers_ == nullptr) return;
  forEachReader([this](OB_Thread* thread, OB_ProtocolWriter* writer, OB_ArchiveReader*) {
    OB_Consumer* consumer = consumers_->find(writer->getProtocolName());
    if (consumer == nullptr) return;
    // Under the consumer's lock, which its processObject holds while it calls its listeners:
    // once removed, the reader is never called again. The consumer gives up its reference.
    OB_MutexHold hold(consumer);
    consumer->remove(static_cast<OB_Object*>(thread));
    if (auto* reader = obQuery<OB_ProtocolReader>(thread); reader != nullptr)
      reader->joinConsumer(nullptr);
  });
  consumers_ = nullptr;
}

int OB_AEngineTCPServer::init() {
  if (port != 0) return OB_TCPServer::init();
  OB_AEngineConfig* config = config_.get();
  if (config == nullptr || timeWindowIndex_ < 0 || timeWindowIndex_ >= config->numOfTimeWindows) {
    OB_Log::ret("OB_AEngineTCPServer::init: no time window %d in the configuration",
                timeWindowIndex_);
    return -1;
  }
  indexChanger_ = new OB_IndexChanger();
  if (indexChanger_ == nullptr) OB_Log::quit("OB_AEngineTCPServer::init: not enough memory");
  indexChanger_->setConfig(config);
  indexChanger_->setTimeWindow(config->timeWindows[timeWindowIndex_]);
  indexChanger_->init();

  auto add = [this](auto* reader) {
    if (reader == nullptr) OB_Log::quit("OB_AEngineTCPServer::init: not enough memory");
    reader->init();
    threads_.append(static_cast<OB_Thread*>(reader));
    indexChanger_->append(static_cast<OB_Object*>(reader));
    return reader;
  };
  httpReader_ = add(new OB_HTTPReader(config, indexChanger_));
  ftpReader_ = add(new OB_FTPReader(config, indexChanger_));
  if (networkStatisticsWanted()) netReader_ = add(new OB_NetReader(config, indexChanger_));
  threads_.append(static_cast<OB_Thread*>(indexChanger_));
  return 0;
}

int OB_AEngineTCPServer::start() {
  threads_.start();
  if (port == 0) return 0;
  return OB_TCPServer::start();
}

int OB_AEngineTCPServer::stop() {
  if (port != 0) OB_TCPServer::stop();
  threads_.stop();
  return 0;
}

int OB_AEngineTCPServer::join(OB_Mutex* mutex, int ms) {
  if (port != 0) OB_TCPServer::join(mutex, ms);
  threads_.join(mutex, ms);
  return 0;
}

int OB_AEngineTCPServer::reset() {
  OB_MutexHold hold(this);
  threads_.stop();
  threads_.join(nullptr, 0);
  detachReaders();
  if (indexChanger_ != nullptr) indexChanger_->clear();
  threads_.clear();
  indexChanger_ = nullptr;
  netReader_ = nullptr;
  httpReader_ = nullptr;
  ftpReader_ = nullptr;
  return 0;
}

int OB_AEngineTCPServer::setTimeWindowIndex(int index) {
  timeWindowIndex_ = index;
  return 0;
}

int OB_AEngineTCPServer::getTimeWindowIndex() { return timeWindowIndex_; }

OB_NetReader* OB_AEngineTCPServer::getNetAnalysisStats() { return netReader_; }

OB_HTTPReader* OB_AEngineTCPServer::getHTTPAnalysisStats() { return httpReader_; }

OB_FTPReader* OB_AEngineTCPServer::getFTPAnalysisStats() { return ftpReader_; }

OB_IndexChanger* OB_AEngineTCPServer::getIndexChanger() { return indexChanger_; }

int OB_AEngineTCPServer::setConsumerNamedList(OB_NamedList<OB_Consumer>* consumers) {
  OB_MutexHold hold(this);
  consumers_ = consumers;
  forEachReader([consumers](OB_Thread* thread, OB_ProtocolWriter* writer,
                            OB_ArchiveReader* archive) {
    OB_Consumer* consumer =
        consumers != nullptr ? consumers->find(writer->getProtocolName()) : nullptr;
    if (consumer != nullptr) {
      OB_MutexHold consumerHold(consumer);
      // Under the consumer's lock: no connection is handed over while the reader joins.
      if (consumer->append(static_cast<OB_Object*>(thread)) == 0) {
        if (auto* reader = obQuery<OB_ProtocolReader>(thread); reader != nullptr)
          reader->joinConsumer(consumer);
      }
    }
    archive->setRealTime(1);
  });
  return 0;
}

int OB_AEngineTCPServer::setConfig(std::shared_ptr<OB_AEngineConfig> config) {
  config_ = std::move(config);
  return 0;
}

OB_TCPConnection* OB_AEngineTCPServer::createTCPConnection() {
  OB_AEngineTCPConnection* connection = new OB_AEngineTCPConnection();
  if (connection == nullptr) return nullptr;
  connection->setManager(manager);
  connection->setServer(this);
  connection->setTimeIndexData(indexChanger_);
  return connection;
}

bool OB_AEngineTCPServer::admitsConsoleFrom(const OB_AEngineConfig* config, uint32_t address) {
  const int users = config != nullptr && config->users != nullptr ? config->numOfUsers : 0;
  for (int i = 0; i < users; ++i) {
    OB_User* user = config->users[i];
    if (user->allowConsoleAccess != 0 && user->isValidSourceIP(address) != 0) return true;
  }
  return false;
}

int OB_AEngineTCPServer::isAllowedClient(uint32_t address) {
  OB_AEngineMgr* engine = obQuery<OB_AEngineMgr>(manager);
  if (engine == nullptr) return 0;
  return admitsConsoleFrom(engine->getCurrentConfigShared().get(), address) ? 1 : 0;
}
