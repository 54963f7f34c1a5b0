// The junction between finished TCP sessions and whoever wants their decoded conversations: one
// consumer per protocol. The stream builder offers it every finished session; when the session's
// server is watched for the consumer's protocol (the watched-server list, isWatchedServer), or
// one of its writers claims it, the session is parsed once into the consumer's reusable protocol
// object, which is handed to every writer in list order and then reset. So the archive and the
// common log file get every session of a watched server whoever listens at the moment (the
// analysis engine's readers come and go as it rebuilds). A thread object by inheritance that
// runs no thread: all its work runs on the caller's thread under its lock.
#pragma once

#include <cstdint>

#include "OB_List.h"
#include "OB_Object.h"
#include "OB_String.h"
#include "OB_Thread.h"
#include "records/OB_ProtocolFactory.h"

class OB_EngineMgr;
class OB_Protocol;

class OB_Consumer : public virtual OB_Thread,
                    public virtual OB_List<OB_Object>,
                    public virtual OB_ProtocolFactory,
                    public virtual OB_Processor,
                    public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Consumer, 0x2BE2BFA7, "OB_Consumer", OB_Thread, OB_List<OB_Object>,
                    OB_Processor)

 public:
  // An empty, owning writer list; debug level 0.
  OB_Consumer();
  OB_Consumer(const OB_Consumer&) = delete;
  OB_Consumer& operator=(const OB_Consumer&) = delete;
  // Releases the protocol object; the list releases its writers.
  ~OB_Consumer() override;

  // Not used by the consumer itself; kept for subclasses. Not owned. 0.
  virtual int setManager(OB_EngineMgr* manager);

  // The writers: objects with an OB_ProtocolWriter face (others are kept but passed over). The
  // list holds a reference of its own on each member, taken here and given up when the member
  // is removed, so the caller keeps (and must release) its own. -1 when the member could not be
  // added (its reference is given back).
  int append(OB_Object* item) override;
  int insert(OB_Object* item) override;

  // Takes a finished session (an OB_TCPSession; anything else: -1 at once). 0 when its server is
  // watched for this protocol or a writer claimed it (it was parsed and handed on), -1 when
  // neither. Runs under the consumer's lock.
  int processObject(OB_Object* object) override;
  const char* getProtocolName() override { return name; }
  // The consumer runs no thread: both do nothing. 0.
  int start() override { return 0; }
  int stop() override { return 0; }
  // Under the lock: drops the protocol object, so the next matching session makes a new one. 0.
  int init() override;
  // Under the lock (the reset thread calls it while sessions may be flowing): resets every
  // writer in list order, stopping at the first that fails, then the protocol object. 0.
  int reset() override;

  int getDebugLevel() const { return debugLevel; }

 protected:
  OB_String name{32};              // the protocol's name; set by the subclass
  OB_EngineMgr* manager = nullptr;  // not owned
  OB_Protocol* protocol = nullptr;  // owned; made on the first matching session
  int debugLevel = 0;  // above 0: every parsed object is printed to the log

 private:
  OB_Protocol* protocolObject();
};
