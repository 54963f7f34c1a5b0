// One access-log line of an HTTP transaction: the capture engine's common log file writer and the
// export tool's log dumper both build their lines here, so the two files hold the same bytes for
// the same transaction. The line, with one blank after each field:
//
//   10.0.0.1  - www.site [14/Nov/2023:22:13:20 +0000] "GET / HTTP/1.1" 200 5 <referer> <agent> \n
//
// The time is UTC and the zone always "+0000"; a transaction without a response status is logged
// with "500", one whose size is unknown (OB_HTTPXact::kUnknownBytes) with "-" bytes; an empty
// text keeps its blank. Bytes below 0x20 and 0x7F of any text are written as
// "\xHH", so a value taken from the traffic (or a name from the resolver) can neither end the line
// early nor carry terminal controls. One object builds one line at a time; no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "OB_Tools.h"
#include "http/OB_HTTPXact.h"

class OB_AccessLogLine {
 public:
  // "[dd/Mon/yyyy:hh:mm:ss +0000]" and its NUL.
  static constexpr size_t kTimeSize = 32;
  // A host text longer than the resolver's longest name is cut there.
  static constexpr size_t kMaxHostLength = OB_Tools::kMaxHostSize - 1;

  // "[dd/Mon/yyyy:hh:mm:ss +0000]" of a time in seconds since 1970, in UTC with the English month
  // whatever the locale; out holds at least kTimeSize bytes.
  static void formatTime(uint32_t seconds, char* out);

  // Builds the line of one transaction: the two host texts (dotted quads or names; not null), the
  // connection's time as formatTime gave it, and the transaction's fields.
  void compose(const char* firstHost, const char* secondHost, const char* time,
               const OB_HTTPXact& xact);

  // The line built last, with its line end and without a NUL.
  const char* data() const { return line_; }
  size_t size() const { return length_; }

 private:
  // The longest line: hosts and texts escaped, the time, the byte count, blanks and quotes.
  static constexpr size_t kCapacity =
      2 * OB_Tools::escapedSize(kMaxHostLength) + 4 + kTimeSize + 2 +
      OB_Tools::escapedSize(decltype(OB_HTTPXact::req_method)::maxLength) + 1 +
      OB_Tools::escapedSize(decltype(OB_HTTPXact::req_request_uri)::maxLength) + 6 +
      OB_Tools::escapedSize(decltype(OB_HTTPXact::req_http_vers)::maxLength) + 2 +
      OB_Tools::escapedSize(decltype(OB_HTTPXact::res_status_code)::maxLength) + 1 + 12 +
      OB_Tools::escapedSize(decltype(OB_HTTPXact::req_referer)::maxLength) + 1 +
      OB_Tools::escapedSize(decltype(OB_HTTPXact::req_user_agent)::maxLength) + 2;

  void append(const char* text);
  // At most maxLength bytes of text, controls escaped.
  void appendEscaped(const char* text, size_t maxLength);

  char line_[kCapacity];
  size_t length_ = 0;
};
