// Reads the records of one kind back in time order across the kind's archive files, for a
// static window (a fixed span, type 1) or a real-time window (type 0) that follows the files as
// the writer creates and fills them. The analysis engine's protocol readers and the export tool
// build on it; one thread uses a reader at a time.
//
// Records are read without the lock file; a record that is cut short at the end of the file
// being written is read again once the file has grown, and a record that fails inside a
// finished file is skipped by resynchronising on the next record tag. A file without a stop
// time that no writer holds any more (its writer was killed, say) is read to its last complete
// record and then finished; the part of a record after it is skipped and logged.
//
// Records of kinds that can be parsed from memory (OB_Data::readBytes) are taken from a block of
// the file read ahead, without a stream call per field; any record that does not parse whole
// from the block (cut short at the end, damaged, too long for the block's limit) goes the stream
// road from its start, so every rule above is the stream road's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "OB_Event.h"
#include "archive/OB_Archive.h"
#include "archive/OB_ArchiveFileList.h"
#include "archive/OB_ArchiveHeader.h"

class OB_Data;

class OB_ArchiveReader : public OB_Archive {
  OB_CLASS_IDENTITY(OB_ArchiveReader, 0x841B3875, "OB_ArchiveReader", OB_Mutex, OB_Object)

 public:
  static constexpr uint16_t kRealTimeWindow = 0;
  static constexpr uint16_t kStaticWindow = 1;
  // How long waitOnNoFiles waits for the writer's next file, in seconds.
  static constexpr int kNoFilesWait = 20;

  // No file is opened until init. Times in seconds since 1970; the factory (not owned) makes
  // the empty records read fills.
  OB_ArchiveReader(OB_ProtocolFactory* factory, const char* directory, const char* prefix,
                   uint16_t windowType, uint32_t nowTime, uint32_t agoTime);
  OB_ArchiveReader(const OB_ArchiveReader&) = delete;
  OB_ArchiveReader& operator=(const OB_ArchiveReader&) = delete;
  ~OB_ArchiveReader() override;

  // Lists the kind's files, keeps those of the window (real time: every file that reaches past
  // the ago time, and the open one; static: every file whose span meets the window) and opens
  // the first. Ends the process for an unknown window type. 0.
  int init() override;

  // One attempt at the next record: a new object (owned by the caller), or null when none can
  // be had now (no file, end of the files, a record later than the now time, a record not yet
  // complete, or a bad record skipped). Call again later after a null.
  using OB_Object::read;  // the record form on a C stream stays available beside this
  virtual OB_Data* read();
  // 1 while the current file is finished, 0 while it is the file being written.
  virtual int isOldData() { return oldData; }
  virtual int setNowTime(uint32_t time);
  virtual int setAgoTime(uint32_t time);
  virtual int setRealTime(int on);
  // Appends a copy of the header to the files still to read. Ends the process without memory.
  // 0.
  using OB_Object::copy;
  virtual int copy(OB_ArchiveHeader* header);

  // 1 once the window is exhausted.
  int isDone() const { return done; }
  int getRealTime() const { return realTime; }
  int getLastResult() const { return lastResult; }
  // After a record was read: where it ends in the current file (a byte offset).
  int64_t getRecordEnd() const { return lastPosition; }
  // The header of the file being read (owned by the file list), or null.
  OB_ArchiveHeader* getCurrentHeader() { return currentHeader; }
  // The owner's wake-up: a signal cuts a waitOnNoFiles wait short.
  OB_Event* getEvent() { return &event; }

  // For an owner whose reader has neither file nor current header (anything else ends the
  // process as a bug). Real time: waits up to kNoFilesWait seconds (or until the event is
  // signalled), then looks once for a new file; 0 when one was found and opened, else -1, so
  // the owner's thread stays stoppable and calls again. Static window: nothing can come; done
  // is set and the result is -1.
  virtual int waitOnNoFiles();

 protected:
  // Closes the current file and opens the next of the list; in a real-time window past the
  // last one it looks for a file the writer has begun since. 0.
  virtual int moveToNextFile();
  // The first file of a fresh listing that starts after the last listed one and not before the
  // ago time, owned by the caller; or null.
  virtual OB_ArchiveHeader* findNextFile();
  // After a failed record: scans from the byte after the start of the failed record for the
  // next record tag and leaves the file there (1), or 0 when the file ends first.
  virtual int tryToRealign();
  // True while the current file's stop time (read from the file itself) is 0.
  virtual int isRealTimeFile();
  // 1 when no writer holds the current file (the writer's lock on it is free), else 0; also 0
  // when that cannot be told.
  virtual int writerIsGone();

 private:
  // Old data from a header: 1 when its file has a stop time.
  static int isFinished(OB_ArchiveHeader* header) { return header->closeTime() != 0 ? 1 : 0; }
  void releaseList();
  // At the end of a file left unclosed: logs what is skipped and moves to the next file.
  void finishUnclosed();
  // The buffered road: 0 with the record at start parsed into object and *next the offset
  // after it; -1 when the record is left to the stream road (object part-filled).
  int readBuffered(OB_Data* object, int64_t start, int64_t* next);
  // Reads up to size bytes of the file from start into the block: 0, or -1 when the read fails.
  int fillBlock(int64_t start, size_t size);
  // Where the next record begins: the stream's position, or the buffered road's.
  int64_t nextRecord();
  // The stream is at the next record again (a file opened or positioned by the stream road).
  void streamHolds();
  // Puts the stream where the buffered road stopped.
  void positionStream();

  int oldData = 1;
  uint16_t windowType;
  uint32_t nowTime;  // end of the window
  uint32_t agoTime;  // start of the window
  int64_t lastPosition = 0;   // after the last complete record; 0 after a file change
  int64_t attemptStart = -1;  // where the last record attempt began; -1 before any
  OB_ArchiveFileList* fileList = nullptr;  // owned, with its headers
  OB_ArchiveHeader* currentHeader = nullptr;  // owned by fileList
  int lastResult = 0;
  int done = 0;
  int realTime = 0;
  OB_Event event;

  // The read-ahead block: bytes [blockStart, blockStart + blockLength) of the file blockFile.
  std::vector<unsigned char> block;
  int64_t blockStart = 0;
  size_t blockLength = 0;
  FILE* blockFile = nullptr;  // not owned; which file the block and `position` belong to
  // While the buffered road reads, the stream stays behind: `position` is where the next record
  // begins and streamAtNext is false.
  int64_t position = 0;
  bool streamAtNext = true;
  bool bytesRoad = true;  // false once a record kind said it has no buffered road
};
