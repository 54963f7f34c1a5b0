// The capture engine's FTP consumer: an OB_Consumer named "ftp" whose factory makes
// OB_FTPProtocol objects, and which counts the sessions it takes in the global TCP session
// statistics. The capture engine manager owns it; the stream builder's thread drives it.
#pragma once

#include "records/OB_Consumer.h"

class OB_FTPConsumer : public OB_Consumer {
  OB_CLASS_IDENTITY(OB_FTPConsumer, 0x98008083, "OB_FTPConsumer", OB_Consumer)
  OB_CLASS_CREATE(OB_FTPConsumer)

 public:
  OB_FTPConsumer();

  // OB_Consumer::processObject; when a writer took the session, the FTP started, parsed and
  // finished counters rise by 1 each (without a lock). Always 0, so the stream builder goes on
  // to the next consumer.
  int processObject(OB_Object* object) override;

 protected:
  // A new OB_FTPProtocol with one reference for the caller, or null.
  OB_Data* createProtocol() override;
};
