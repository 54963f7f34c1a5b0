// The receiver of finished protocol objects (archive writers, analysis readers): it names its
// protocol, says whether it wants sessions of a server, and takes each parsed object through
// OB_Processor::processObject. The object it is handed is reset after the call returns, so a
// writer copies what it keeps.
#pragma once

#include <cstdint>

#include "OB_Object.h"

// Answers its own identifier and OB_Processor's, not OB_Object's.
class OB_ProtocolWriter : public virtual OB_Processor, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ProtocolWriter, 0x841B3872, "OB_ProtocolWriter", OB_Processor)

 public:
  virtual const char* getProtocolName() { return nullptr; }
  // Non-zero when this writer wants the sessions of that server (address host order, port).
  virtual int isMatch(uint32_t /*serverIP*/, uint16_t /*serverPort*/) { return 0; }
};
