#include "http/OB_AccessLogLine.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

void OB_AccessLogLine::formatTime(uint32_t seconds, char* out) {
  const time_t when = static_cast<time_t>(seconds);
  struct tm utc = {};
  OB_Tools::utcTime(when, &utc);
  // Every field is bounded to its printed width (a 32-bit time ends in the year 2106).
  auto two = [](int value) { return static_cast<unsigned>(value) % 100u; };
  snprintf(out, kTimeSize, "[%02u/%s/%04u:%02u:%02u:%02u +0000]", two(utc.tm_mday),
           kMonths[static_cast<unsigned>(utc.tm_mon) % 12u],
           static_cast<unsigned>(utc.tm_year + 1900) % 10000u, two(utc.tm_hour), two(utc.tm_min),
           two(utc.tm_sec));
}

void OB_AccessLogLine::append(const char* text) {
  const size_t n = std::strlen(text);
  const size_t room = kCapacity - length_;
  const size_t taken = n < room ? n : room;
  std::memcpy(line_ + length_, text, taken);
  length_ += taken;
}

void OB_AccessLogLine::appendEscaped(const char* text, size_t maxLength) {
  length_ += OB_Tools::escapeControls(text, maxLength, line_ + length_, kCapacity - length_);
}

void OB_AccessLogLine::compose(const char* firstHost, const char* secondHost, const char* time,
                               const OB_HTTPXact& xact) {
  length_ = 0;
  // "first  - second": the address pair stands where an access log has its ident and user.
  appendEscaped(firstHost, kMaxHostLength);
  append("  - ");
  appendEscaped(secondHost, kMaxHostLength);
  append(" ");
  append(time);
  append(" \"");
  appendEscaped(xact.req_method.c_str(), xact.req_method.maxLength);
  append(" ");
  appendEscaped(xact.req_request_uri.c_str(), xact.req_request_uri.maxLength);
  append(" HTTP/");
  appendEscaped(xact.req_http_vers.c_str(), xact.req_http_vers.maxLength);
  append("\" ");
  // A transaction that got no response is logged as a server error.
  if (xact.res_status_code.empty()) {
    append("500");
  } else {
    appendEscaped(xact.res_status_code.c_str(), xact.res_status_code.maxLength);
  }
  // An unknown size is written as the common log format writes one.
  char bytes[16];
  if (xact.res_bytes == OB_HTTPXact::kUnknownBytes) {
    snprintf(bytes, sizeof bytes, " - ");
  } else {
    snprintf(bytes, sizeof bytes, " %d ", static_cast<int>(xact.res_bytes));
  }
  append(bytes);
  appendEscaped(xact.req_referer.c_str(), xact.req_referer.maxLength);
  append(" ");
  appendEscaped(xact.req_user_agent.c_str(), xact.req_user_agent.maxLength);
  append(" \n");
}
