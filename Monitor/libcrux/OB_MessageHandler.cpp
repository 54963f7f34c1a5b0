#include "OB_MessageHandler.h"

#include <vector>

int OB_MessageHandler::handleMessage(OB_Message* message) { return sendMessage(message); }

int OB_MessageHandler::sendMessage(OB_Message* message) {
  std::vector<OB_MessageHandler*> chain;
  {
    // The cursor is shared, so the copy is taken under the lock; the handlers run without it,
    // so a handler may send, add or remove on this chain itself.
    OB_MutexHold hold(&handlers_);
    for (OB_MessageHandler* h = handlers_.first(); h != nullptr; h = handlers_.next())
      chain.push_back(h);
  }
  for (OB_MessageHandler* handler : chain) {
    int result = handler->handleMessage(message);
    if (result != 0) return result;
  }
  return 0;
}

int OB_MessageHandler::addHandler(OB_MessageHandler* handler) {
  if (handler == nullptr) return -1;
  return handlers_.append(handler);
}

int OB_MessageHandler::removeHandler(OB_MessageHandler* handler) {
  if (handler != nullptr) handlers_.remove(handler);
  return 0;
}
