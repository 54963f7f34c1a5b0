// A link of the engines' notification chain: it offers each message to the handlers registered
// with it, in registration order, until one takes it. The engine managers derive from it; the
// analysis engine sends "CONFIG_RESET" down to the capture engine this way.
#pragma once

#include "OB_List.h"
#include "OB_Message.h"
#include "OB_Object.h"

class OB_MessageHandler : public virtual OB_Object {
  // Answers only its own identifier, not the root's.
  OB_CLASS_IDENTITY(OB_MessageHandler, 0x07DBE6C3, "OB_MessageHandler")
  OB_CLASS_CREATE(OB_MessageHandler)

 public:
  OB_MessageHandler() = default;
  OB_MessageHandler(const OB_MessageHandler&) = delete;
  OB_MessageHandler& operator=(const OB_MessageHandler&) = delete;
  // Forgets the registered handlers without releasing them.
  ~OB_MessageHandler() override = default;

  // Non-zero when this handler took the message. The base takes none itself: it passes the
  // message on down its own chain and answers what that answered.
  virtual int handleMessage(OB_Message* message);
  // Offers the message to each registered handler in order and returns the first non-zero
  // answer, or 0 when none took it. The walk goes over the handlers registered when it began,
  // so sends from several threads, and nested sends through this same handler, do not disturb
  // each other; a handler removed meanwhile may still be offered this one message.
  virtual int sendMessage(OB_Message* message);
  // Registers a handler (not owned; it must be removed before it is destroyed) at the end. A
  // handler added twice is offered each message twice. -1 for null, else 0.
  virtual int addHandler(OB_MessageHandler* handler);
  // Unregisters the first registration of this very handler; 0 whether or not it was there.
  virtual int removeHandler(OB_MessageHandler* handler);

  // The registered handlers, for counting and inspection; the list is the handler's own.
  OB_List<OB_MessageHandler>* getHandlers() { return &handlers_; }

 private:
  // Not owning; each operation takes the list's own lock.
  OB_List<OB_MessageHandler> handlers_;
};
