// A protocol-neutral conversation rebuilt from captured packets: when it last took a packet,
// whether it is complete, and the protocol object its user attached. OB_TCPSession is the one
// kind the system builds.
#pragma once

#include <cstdint>

#include "OB_Object.h"

class OB_Protocol;

class OB_Session : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Session, 0xF2384D82, "OB_Session", OB_Object)
  OB_CLASS_CREATE(OB_Session)

 public:
  OB_Session() = default;

  // Feeds one packet; the base takes none (-1).
  virtual int processObject(OB_Object* /*object*/) { return -1; }
  virtual int isFinished() { return finished != 0 ? 1 : 0; }
  // 1 when the session has been idle for more than `seconds` by the driver clock (whole seconds,
  // unsigned 32-bit difference), else 0.
  virtual int needToPack(int seconds);
  virtual int setProtocol(OB_Protocol* newProtocol) {
    protocol = newProtocol;
    return 0;
  }
  virtual OB_Protocol* getProtocol() { return protocol; }

  int init() override;
  int reset() override;

  uint32_t lastTime = 0;  // capture time (s) of the last packet taken
  int finished = 0;       // non-zero once complete or given up
  OB_Protocol* protocol = nullptr;  // not owned
};
