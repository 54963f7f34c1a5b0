#include "records/OB_Consumer.h"

#include <cstdlib>

#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "records/OB_Data.h"
#include "records/OB_Protocol.h"
#include "records/OB_ProtocolWriter.h"
#include "tcp/OB_Server.h"
#include "tcp/OB_TCPSession.h"

OB_Consumer::OB_Consumer() {
  setOwner(1);
  if (OB_NamedStringList* options = getOptions(); options != nullptr) {
    if (OB_String* value = options->find("Debug"); value != nullptr) {
      int level = atoi(static_cast<const char*>(*value));
      if (level > 0) debugLevel = level;
    }
  }
}

OB_Consumer::~OB_Consumer() {
  obRelease(protocol);
  protocol = nullptr;
}

int OB_Consumer::setManager(OB_EngineMgr* newManager) {
  manager = newManager;
  return 0;
}

int OB_Consumer::append(OB_Object* item) {
  if (item == nullptr) return -1;
  OB_MutexHold hold(this);
  // Writers are shared: the capture engine and the analysis engine both hand theirs to this
  // list, and its owner option releases them, so it must hold references of its own.
  item->addRef();
  if (OB_List<OB_Object>::append(item) != 0) {
    item->release();
    return -1;
  }
  return 0;
}

int OB_Consumer::insert(OB_Object* item) {
  if (item == nullptr) return -1;
  OB_MutexHold hold(this);
  item->addRef();
  if (OB_List<OB_Object>::insert(item) != 0) {
    item->release();
    return -1;
  }
  return 0;
}

OB_Protocol* OB_Consumer::protocolObject() {
  if (protocol != nullptr) return protocol;
  OB_Data* made = createProtocol();
  if (made == nullptr) return nullptr;
  protocol = obQuery<OB_Protocol>(made);
  if (protocol == nullptr) obRelease(made);  // not a protocol object: nothing can be parsed into it
  return protocol;
}

int OB_Consumer::processObject(OB_Object* object) {
  OB_TCPSession* session = obQuery<OB_TCPSession>(object);
  if (session == nullptr) return -1;
  const uint32_t serverIP = session->server.xIPAddr;
  const uint16_t serverPort = session->server.xPort;

  OB_MutexHold hold(this);
  // Links are walked directly: a member's item face may be null (a writer need not answer
  // OB_Object's identifier), which would end a walk by the list's cursor early.
  bool claimed = isWatchedServer(static_cast<const char*>(name), serverIP, serverPort) != 0;
  first();
  for (Link* link = getCurrentLink(); link != nullptr && !claimed; link = link->getNext()) {
    OB_ProtocolWriter* writer = obQuery<OB_ProtocolWriter>(link->getItemObject());
    if (writer != nullptr && writer->isMatch(serverIP, serverPort) != 0) claimed = true;
  }
  if (!claimed) return -1;

  OB_Protocol* parsed = protocolObject();
  if (parsed == nullptr) return 0;  // no factory: the session is dropped
  parsed->processObject(session);
  if (debugLevel > 0) parsed->print(nullptr);

  first();
  for (Link* link = getCurrentLink(); link != nullptr; link = link->getNext()) {
    OB_ProtocolWriter* writer = obQuery<OB_ProtocolWriter>(link->getItemObject());
    if (writer != nullptr) writer->processObject(parsed);
  }
  parsed->reset();
  return 0;
}

int OB_Consumer::init() {
  OB_MutexHold hold(this);
  obRelease(protocol);
  protocol = nullptr;
  return 0;
}

int OB_Consumer::reset() {
  OB_MutexHold hold(this);
  first();
  for (Link* link = getCurrentLink(); link != nullptr; link = link->getNext()) {
    OB_Object* member = link->getItemObject();
    if (member != nullptr && member->reset() != 0) break;
  }
  if (protocol != nullptr) protocol->reset();
  return 0;
}
