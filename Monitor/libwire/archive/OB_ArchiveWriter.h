// Appends the protocol objects a consumer hands on to the current archive file of their kind,
// starts a new file at each midnight reset, deletes files older than the days to keep and
// repairs files that were never closed. The capture engine makes one per consumer, appends it to
// that consumer's writers and registers it with the midnight reset thread; it is shared by both
// through its reference count.
//
// Every record reaches the file whole and at once (one write of its bytes, no stdio buffer), so
// a process killed right after keeps it, and a reader never meets half a record that a failed
// write left: a record that does not fit (a full disk) is taken back, counted and logged once
// per file, and the writer goes on with the next one. While the writer has no file (one could
// not be made) it tries again at most every retry interval.
//
// The writer holds a lock on its open file for as long as it writes it, so readers can tell a
// file still being written from one whose writer died without closing it.
//
// Threads: records come on the stream builder's thread (under the consumer's lock), the reset on
// the reset thread; the writer's own lock serialises them. The kind's lock file is held only
// while a file is created or its stop time is patched.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "OB_String.h"
#include "archive/OB_Archive.h"
#include "archive/OB_ArchiveHeader.h"
#include "records/OB_ProtocolWriter.h"

class OB_ArchiveWriter : public OB_Archive,
                         public virtual OB_ProtocolWriter,
                         public virtual OB_Processor,
                         public virtual OB_ReferenceCounter {
  OB_CLASS_IDENTITY(OB_ArchiveWriter, 0x841B3873, "OB_ArchiveWriter", OB_Mutex, OB_Object,
                    OB_ProtocolWriter, OB_Processor)

 public:
  // Seconds between attempts at a new file while the writer has none.
  static constexpr uint32_t kDefaultRetryInterval = 10;

  // Cleans the kind's files (days 0 keeps everything), then opens a new file with a header
  // naming device and filter (null: empty). Ends the process when the directory is missing; a
  // file that cannot be made is logged and tried again later.
  OB_ArchiveWriter(OB_ProtocolFactory* factory, const char* directory, const char* prefix,
                   const char* device, const char* filter, uint32_t keepDays);
  OB_ArchiveWriter(const OB_ArchiveWriter&) = delete;
  OB_ArchiveWriter& operator=(const OB_ArchiveWriter&) = delete;
  // Closes the current file with the time now as its stop time.
  ~OB_ArchiveWriter() override;

  // A writer never claims a session by itself: it archives what other writers claimed.
  const char* getProtocolName() override { return nullptr; }
  int isMatch(uint32_t /*serverIP*/, uint16_t /*serverPort*/) override { return 0; }

  // Appends an OB_Data object's record to the current file (see the class comment). Anything
  // else: nothing. Always 0.
  int processObject(OB_Object* object) override;
  using OB_Object::write;
  // Appends a counted string. 0 when every byte was written; -1 without a file, when the write
  // failed (taken back, counted) or when the text does not fit a counted string.
  virtual int write(char* text);
  // The midnight rotation: closes the current file with its stop time, cleans, and opens a new
  // one whose header has empty device and filter texts (the day's first file holds them). 0.
  int reset() override;
  // Closes the current file with its stop time for good: the writer takes no further records
  // and rotates no more. For an engine that is about to end. 0.
  virtual int close();
  // close, and when the file holds no record (its header alone), the file is deleted: for a
  // start refused before anything was captured, which leaves no empty archive behind. 0.
  int discard();

  // The current file's header, or null when the writer has no file. Owned by the writer.
  OB_ArchiveHeader* getHeader() { return header; }
  // Under the writer's lock: the open time of its current file and that file's length up to
  // its last whole record. False while the writer has no file.
  bool getEnd(uint32_t* openTime, int64_t* length);
  // Records (and counted strings) not written since construction: failed writes, and those
  // that came while the writer had no file.
  uint64_t getDroppedCount();
  // See kDefaultRetryInterval; 0 tries at every record. The next record tries at once.
  void setRetryInterval(uint32_t seconds);

 protected:
  // Deletes files older than days and repairs unclosed ones. Always 0.
  virtual int clean(uint32_t days);

 private:
  // Under the lock file: creates the file named for the time now, takes its lock and writes
  // its header. A file of that name (a file opened in the same second) is never overwritten:
  // the name of the next second is taken instead, after waiting for it. A file whose header
  // cannot be written is removed.
  void openFile(const char* deviceText, const char* filterText);
  // openFile with the constructor's device and filter for the writer's first file, empty
  // texts for the files of later days.
  void openNext();
  // Under the lock file: writes the time now at the stop-time offset and closes the file.
  void closeFile();
  // Opens a file when the writer has none and the retry interval has passed.
  void reopenWhenDue();
  // Writes the bytes after the last whole record; true when all went out. A partial write is
  // taken back (the file is cut to where the bytes began) and errno says why it failed.
  bool appendBytes(const std::string& bytes);
  // Appends one record or text: counts and logs a failure, logs the first success after one.
  int appendCounted(const std::string& bytes);

  uint32_t days;  // 0 keeps everything
  OB_ArchiveHeader* header = nullptr;  // owned; that of the open file
  OB_String device;
  OB_String filter;
  int fd_ = -1;               // the open file; -1 when none
  off_t end_ = 0;             // the file's length up to its last whole record
  off_t headerEnd_ = 0;       // the length of its header: end_ while it holds no record
  OB_FileLock dataLock_;      // held on the open file while the writer has it
  bool failing_ = false;      // a failed write to this file was logged; reset by a success
  bool openFailing_ = false;  // a failure to make a file was logged; reset by a success
  bool firstFile_ = true;     // no file opened yet: the next one carries device and filter
  bool closed_ = false;       // close ran: no more records, no more files
  uint64_t dropped_ = 0;
  uint64_t droppedHere_ = 0;  // of the current file, or since the writer last had one
  uint32_t retryInterval_ = kDefaultRetryInterval;
  time_t nextOpen_ = 0;  // no new file before this time
};
