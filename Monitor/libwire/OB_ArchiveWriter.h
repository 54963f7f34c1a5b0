// Appends the protocol objects a consumer hands on to the current archive file of their kind,
// starts a new file at each midnight reset, deletes files older than the days to keep and
// repairs files that were never closed. The capture engine makes one per consumer, appends it to
// that consumer's writers and registers it with the midnight reset thread; it is shared by both
// through its reference count.
//
// Threads: records come on the stream builder's thread (under the consumer's lock), the reset on
// the reset thread; the writer's own lock serialises them. The kind's lock file is held only
// while a file is created or its stop time is patched.
#pragma once

#include <cstdint>
#include <ctime>

#include "OB_Archive.h"
#include "OB_ArchiveHeader.h"
#include "OB_ProtocolWriter.h"
#include "OB_String.h"

class OB_ArchiveWriter : public OB_Archive,
                         public virtual OB_ProtocolWriter,
                         public virtual OB_Processor,
                         public virtual OB_ReferenceCounter {
  OB_CLASS_IDENTITY(OB_ArchiveWriter, 0x841B3873, "OB_ArchiveWriter", OB_Mutex, OB_Object,
                    OB_ProtocolWriter, OB_Processor)

 public:
  // Cleans the kind's files (days 0 keeps everything), then opens a new file with a header
  // naming device and filter (null: empty). Ends the process when the directory is missing; a
  // file that cannot be created is logged and the writer then has none.
  OB_ArchiveWriter(OB_ProtocolFactory* factory, const char* directory, const char* prefix,
                   const char* device, const char* filter, uint32_t keepDays);
  OB_ArchiveWriter(const OB_ArchiveWriter&) = delete;
  OB_ArchiveWriter& operator=(const OB_ArchiveWriter&) = delete;
  // Closes the current file with the time now as its stop time.
  ~OB_ArchiveWriter() override;

  // A writer never claims a session by itself: it archives what other writers claimed.
  const char* getProtocolName() override { return nullptr; }
  int isMatch(uint32_t /*serverIP*/, uint16_t /*serverPort*/) override { return 0; }

  // Appends an OB_Data object's record to the current file (not flushed; readers recognise a
  // record cut short). Anything else, or no open file: nothing. Always 0.
  int processObject(OB_Object* object) override;
  using OB_Object::write;
  // Appends a counted string. 0 when every byte was written; -1 without a file or when the
  // text does not fit a counted string.
  virtual int write(char* text);
  // The midnight rotation: closes the current file with its stop time, cleans, and opens a new
  // one with the same device and filter. 0.
  int reset() override;

  // The current file's header, or null when the writer has no file. Owned by the writer.
  OB_ArchiveHeader* getHeader() { return header; }

 protected:
  // Deletes files older than days and repairs unclosed ones. Always 0.
  virtual int clean(uint32_t days);

 private:
  // Under the lock file: creates the file named for the time now and writes its header. A
  // file of that name (a file opened in the same second) is never overwritten: the name of the
  // next second is taken instead, after waiting for it.
  void openFile();
  // Under the lock file: writes the time now at the stop-time offset and closes the file.
  void closeFile();

  uint32_t days;  // 0 keeps everything
  OB_ArchiveHeader* header = nullptr;  // owned; that of the open file
  OB_String device;
  OB_String filter;
};
