// The analysis engine's command servers. The manager makes one that listens on the analysis port
// (its window index stays -1) and one per configured time window, which listens nowhere and
// owns the window's HTTP, FTP and network readers and its index changer. Every console request
// is served by the listening server's connection, which looks the window's server up by index.
//
// Ownership: the thread list owns the readers and the index changer. The capture engine's
// consumers hold a reference of their own on each reader they feed; the readers leave the
// consumers' listener lists when this server goes, before they are released, so a capture thread
// never calls a reader that is gone. The configuration the readers count with is shared with
// the manager and with requests, and lives as long as any of them holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "OB_NamedList.h"
#include "OB_ThreadList.h"
#include "records/OB_Consumer.h"
#include "server/OB_TCPServer.h"

class OB_AEngineConfig;
class OB_FTPReader;
class OB_HTTPReader;
class OB_IndexChanger;
class OB_NetReader;

class OB_AEngineTCPServer : public OB_TCPServer {
  OB_CLASS_IDENTITY(OB_AEngineTCPServer, 0x2BE2BFB4, "OB_AEngineTCPServer", OB_Thread)

 public:
  // Key counter file "aengineKey"; window index -1; no readers. Made with new, then given its
  // manager, port or window and configuration, then init.
  OB_AEngineTCPServer();
  // Takes the readers out of the consumers' listener lists, unregisters them from the index
  // changer, then releases them and the index changer with the thread list.
  ~OB_AEngineTCPServer() override;

  // The listening server (port not 0): the framework's init (a new configuration key). A window
  // server: with the configuration given to setConfig, its index changer over the window of its
  // index, then an HTTP and an FTP reader and, unless the option "NetworkStatistics" is 0, a
  // network reader, each registered with the index changer. 0; -1 (logged) without a
  // configuration or for an index the configuration has no window of.
  int init() override;
  // The readers and the index changer; then, when listening, the serving and accept threads.
  // 0, or -1 when the listening server's threads cannot be started.
  int start() override;
  int stop() override;
  // Waits for the serving and accept threads (when listening) and the readers' threads.
  int join(OB_Mutex* mutex, int ms) override;
  // Under the server's lock: stops and joins the readers and releases them. 0.
  int reset() override;

  virtual int setTimeWindowIndex(int index);
  virtual int getTimeWindowIndex();
  // The readers as statistics; null before init (the network reader also when switched off).
  virtual OB_NetReader* getNetAnalysisStats();
  virtual OB_HTTPReader* getHTTPAnalysisStats();
  virtual OB_FTPReader* getFTPAnalysisStats();
  virtual OB_IndexChanger* getIndexChanger();
  // Registers each reader as a listener of the capture engine's consumer of its protocol name
  // (list not owned, outlives this; null: none) and puts it into real-time mode. 0.
  virtual int setConsumerNamedList(OB_NamedList<OB_Consumer>* consumers);
  // The configuration the window's readers are built on and count with; shared, kept as long as
  // this server lives.
  virtual int setConfig(std::shared_ptr<OB_AEngineConfig> config);

  // Whether some user of config (null: none) with console access may come from address (host
  // order).
  static bool admitsConsoleFrom(const OB_AEngineConfig* config, uint32_t address);

  // Statistics passes of this server's connections that ran out of their command's fields and
  // waited for more, to be run again once it came. Any thread.
  uint64_t getCutPasses() const { return cutPasses_.load(); }
  void countCutPass() { cutPasses_.fetch_add(1); }

 protected:
  // An analysis connection with this server's manager, server and index changer.
  OB_TCPConnection* createTCPConnection() override;
  // Asked at accept of the manager's current configuration: admitsConsoleFrom.
  int isAllowedClient(uint32_t address) override;

 private:
  // Each reader in the thread list (an OB_ProtocolWriter that is also an archive reader).
  template <class Visit>
  void forEachReader(Visit visit);
  void detachReaders();

  int32_t timeWindowIndex_ = -1;
  OB_ThreadList threads_;  // readers, then the index changer; owning
  OB_IndexChanger* indexChanger_ = nullptr;  // in threads_
  OB_NetReader* netReader_ = nullptr;        // in threads_
  OB_HTTPReader* httpReader_ = nullptr;      // in threads_
  OB_FTPReader* ftpReader_ = nullptr;        // in threads_
  OB_NamedList<OB_Consumer>* consumers_ = nullptr;  // not owned
  std::shared_ptr<OB_AEngineConfig> config_;
  std::atomic<uint64_t> cutPasses_{0};
};
