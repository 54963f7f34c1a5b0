// The capture engine's HTTP consumer: an OB_Consumer named "http" whose factory makes
// OB_HTTPProtocol objects, and which counts the sessions it takes in the global TCP session
// statistics. The capture engine manager owns it; the stream builder's thread drives it.
#pragma once

#include "records/OB_Consumer.h"

class OB_HTTPConsumer : public OB_Consumer {
  OB_CLASS_IDENTITY(OB_HTTPConsumer, 0xDA479B62, "OB_HTTPConsumer", OB_Consumer)
  OB_CLASS_CREATE(OB_HTTPConsumer)

 public:
  OB_HTTPConsumer();
  ~OB_HTTPConsumer() override;

  // OB_Consumer::processObject; when a writer took the session, the HTTP started, parsed and
  // finished counters rise by 1 each (without a lock). Always 0, so the stream builder goes on
  // to the next consumer.
  int processObject(OB_Object* object) override;

 protected:
  // A new OB_HTTPProtocol with one reference for the caller, or null.
  OB_Data* createProtocol() override;
};
