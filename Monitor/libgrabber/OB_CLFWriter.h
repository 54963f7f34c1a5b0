// The common log file writer: one web-server-style access-log line per HTTP transaction of every
// connection the capture engine's HTTP consumer hands on. The capture engine manager makes it when
// the option "CommonLogFile" is set and appends it to the HTTP consumer's writers, which then hold
// a reference; it claims no sessions of its own (isMatch is the base's), it only logs those that
// another writer claimed.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "OB_Object.h"
#include "http/OB_AccessLogLine.h"
#include "records/OB_ProtocolWriter.h"

class OB_CLFWriter : public virtual OB_ProtocolWriter,
                     public virtual OB_ReferenceCounter,
                     public virtual OB_Object {
  // Counted, because the consumer's writer list shares it with its maker.
  OB_CLASS_IDENTITY(OB_CLFWriter, 0x6C0F1A13, "OB_CLFWriter", OB_ProtocolWriter,
                    OB_ReferenceCounter)
  OB_CLASS_CREATE(OB_CLFWriter)

 public:
  // Opens "<install>/logs/<value of CommonLogFile>" for appending (created when missing) when the
  // option list holds that key; otherwise, or when it cannot be opened (one log line), the writer
  // has no file and writes nothing.
  OB_CLFWriter();
  OB_CLFWriter(const OB_CLFWriter&) = delete;
  OB_CLFWriter& operator=(const OB_CLFWriter&) = delete;
  // Closes the file.
  ~OB_CLFWriter() override;

  // Appends one line per transaction of an OB_HTTPProtocol, in chain order, each with one write
  // (in the file at once, no buffer): the access-log line of OB_AccessLogLine with the client
  // and server addresses as dotted quads. A line that does not go out whole (a full disk) is
  // taken back out, so the file never ends inside a line; it is counted, and the first of a run
  // of failures is logged with errno, as is the first success after it. Called on the stream
  // builder's thread; runs under the writer's own lock. 0 when the lines were written, or when
  // there is nothing to write (no file, null, not an HTTP connection); -1 when a line was lost.
  int processObject(OB_Object* object) override;

  // 1 when the log file is open.
  int isOpen();
  // Lines lost to failed writes since construction.
  uint64_t getDroppedCount();
  // The log file's path; empty without the option.
  const std::string& getPath() const { return path_; }

 private:
  // Appends the line built in line_ whole; false (errno set) when it did not go out, after
  // taking back any part of it that did.
  bool appendLine();

  std::mutex lock_;           // guards everything below
  int fd_ = -1;  // owned; lines go at its end; -1 without the option or when it can't open
  std::string path_;
  bool failing_ = false;      // the last write failed and was logged
  uint64_t dropped_ = 0;
  uint64_t droppedRun_ = 0;   // lines lost since the last line that was written
  OB_AccessLogLine line_;     // reused, so a connection allocates nothing
};
