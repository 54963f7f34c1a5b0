// The maker of protocol objects of one kind: consumers make the object they parse sessions into,
// the archive reader makes the empty object it reads a record into.
#pragma once

#include "OB_Object.h"

class OB_Data;

// An interface without an identifier of its own: it answers only what OB_Object answers, so it
// cannot be asked for with obQuery (getClassID is deleted to keep that from compiling).
class OB_ProtocolFactory : public virtual OB_Object {
 public:
  static OB_ClassID getClassID() = delete;

  // A new, empty protocol object with one reference for the caller, or null.
  virtual OB_Data* createProtocol() { return nullptr; }
  // The protocol's name ("HTTP", "FTP", ...), or null; owned by the factory.
  virtual const char* getProtocolName() { return nullptr; }
};
