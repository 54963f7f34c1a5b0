// What the archive writer and reader share: the open file, the kind's lock file, the database
// directory and prefix, and the factory that makes empty records for reading.
//
// Files of a kind are "<directory>/<prefix>-<asctime of local time, ':', LF and blanks
// removed>", for instance http-TueDec80731462026. The lock file "<directory>/<prefix>.lock" is
// shared by the writer and every reader of that kind: it serialises the creation of files and
// the patching of stop times against the listing and opening of files.
#pragma once

#include <cstdio>
#include <ctime>

#include "OB_FileLock.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "OB_String.h"

class OB_Data;
class OB_ProtocolFactory;

class OB_Archive : public virtual OB_Mutex, public virtual OB_Object {
 public:
  // Keeps the factory (not owned; may be null) and copies of directory and prefix, and opens
  // the kind's lock file, creating it when missing (a failure is logged; locking then fails).
  OB_Archive(OB_ProtocolFactory* factory, const char* directory, const char* prefix);
  OB_Archive(const OB_Archive&) = delete;
  OB_Archive& operator=(const OB_Archive&) = delete;
  // Closes the open file.
  ~OB_Archive() override;

  // Not owned. 0.
  virtual int setProtocolFactory(OB_ProtocolFactory* factory);
  // A new empty record from the factory (one reference for the caller), or null without one.
  virtual OB_Data* createProtocol();

  // "<prefix>-<squeezed asctime of when, local time>".
  static OB_String fileName(const char* prefix, time_t when);
  // "<directory>/<prefix>.lock".
  static OB_String lockPath(const char* directory, const char* prefix);

  const char* getDirectory() const { return directory; }
  const char* getPrefix() const { return prefix; }

 protected:
  FILE* file = nullptr;  // owned; null when none is open
  OB_FileLock lockFile;  // on lockPath(directory, prefix); one descriptor per archive object
  char* prefix = nullptr;     // owned copy
  char* directory = nullptr;  // owned copy
  OB_ProtocolFactory* factory = nullptr;  // not owned
};
