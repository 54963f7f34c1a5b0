// The common log file writer: one web-server-style access-log line per HTTP transaction of every
// connection the capture engine's HTTP consumer hands on. The capture engine manager makes it when
// the option "CommonLogFile" is set and appends it to the HTTP consumer's writers, which then hold
// a reference; it claims no sessions of its own (isMatch is the base's), it only logs those that
// another writer claimed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "OB_HTTPXact.h"
#include "OB_Object.h"
#include "OB_ProtocolWriter.h"
#include "OB_Tools.h"

namespace ob_clf {
// Longest text of a field once its control bytes are written as "\xHH".
constexpr size_t escaped(size_t width) { return OB_Tools::escapedSize(width - 1); }
}  // namespace ob_clf

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
  // (in the file at once, no buffer). A line that does not go out whole (a full disk) is taken
  // back out, so the file never ends inside a line; it is counted, and the first of a run of
  // failures is logged with errno, as is the first success after it. Called on the stream
  // builder's thread; runs under the writer's own lock. 0 when the lines were written, or when
  // there is nothing to write (no file, null, not an HTTP connection); -1 when a line was lost.
  int processObject(OB_Object* object) override;

  // 1 when the log file is open.
  int isOpen();
  // Lines lost to failed writes since construction.
  uint64_t getDroppedCount();
  // The log file's path; empty without the option.
  const std::string& getPath() const { return path_; }

  // "[dd/Mon/yyyy:hh:mm:ss +hhmm]" of a time (seconds since 1970) in local time, with the local
  // zone's offset from UTC at that time and the English month whatever the locale; out holds at
  // least kTimeSize bytes.
  static constexpr size_t kTimeSize = 32;
  static void formatTime(uint32_t seconds, char* out);

 private:
  // One line at its longest: addresses, time, the texts escaped, the byte count, blanks, quotes.
  static constexpr size_t kLineCapacity =
      16 + 3 + 16 + kTimeSize + 1 +
      ob_clf::escaped(decltype(OB_HTTPXact::req_method)::width) + 1 +
      ob_clf::escaped(decltype(OB_HTTPXact::req_request_uri)::width) + 1 + 5 +
      ob_clf::escaped(decltype(OB_HTTPXact::req_http_vers)::width) + 2 +
      ob_clf::escaped(decltype(OB_HTTPXact::res_status_code)::width) + 4 + 12 +
      ob_clf::escaped(decltype(OB_HTTPXact::req_referer)::width) + 1 +
      ob_clf::escaped(decltype(OB_HTTPXact::req_user_agent)::width) + 1 + 1;

  // Builds the line of one transaction in line_; lineLength_ is its length.
  void composeLine(const char* client, const char* server, const char* time, OB_HTTPXact* xact);
  void append(const char* text);
  // Appends at most maxLength bytes of text; bytes below 0x20 and 0x7F become "\xHH", so a value
  // taken from the traffic can neither end the line early nor carry terminal controls.
  void appendEscaped(const char* text, size_t maxLength);
  template <size_t Width>
  void appendField(const OB_TextField<Width>& field) {
    appendEscaped(field.c_str(), Width - 1);
  }

  // Appends line_ whole; false (errno set) when it did not go out, after taking back any part
  // of it that did.
  bool appendLine();

  std::mutex lock_;           // guards everything below
  int fd_ = -1;  // owned; lines go at its end; -1 without the option or when it can't open
  std::string path_;
  bool failing_ = false;      // the last write failed and was logged
  uint64_t dropped_ = 0;
  uint64_t droppedRun_ = 0;   // lines lost since the last line that was written
  char line_[kLineCapacity];  // the line being built; reused so a connection allocates nothing
  size_t lineLength_ = 0;
};
