// The access-log line both HTTP log writers share (its bytes are pinned by the writers' tests):
// no text, however long or hostile, cuts the line short or breaks it.
#include "http/OB_AccessLogLine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string lineOf(const OB_AccessLogLine& line) { return std::string(line.data(), line.size()); }

TEST(OB_AccessLogLine, TheLongestHostileFieldsNeitherCutNorBreakTheLine) {
  // Every field at its full width and made of control bytes, each of which becomes four.
  OB_HTTPXact xact;
  xact.req_method = std::string(15, '\x01').c_str();
  xact.req_request_uri = std::string(1023, '\n').c_str();
  xact.req_http_vers = std::string(4, '\r').c_str();
  xact.res_status_code = std::string(4, '\x7f').c_str();
  xact.res_bytes = -2147483647 - 1;
  xact.req_referer = std::string(1023, '\x1b').c_str();
  xact.req_user_agent = std::string(255, '\t').c_str();
  const std::string host(OB_AccessLogLine::kMaxHostLength + 10, '\x02');
  OB_AccessLogLine line;
  line.compose(host.c_str(), host.c_str(), "[01/Jan/1970:00:00:00 +0000]", xact);

  const std::string text = lineOf(line);
  const std::string hostText = [] {
    std::string escaped;
    for (size_t i = 0; i < OB_AccessLogLine::kMaxHostLength; ++i) escaped += "\\x02";
    return escaped;
  }();
  EXPECT_EQ(text.substr(0, hostText.size() + 4), hostText + "  - ");
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_NE(text.find(" -2147483648 "), std::string::npos);
  const std::string agentEnd = "\\x09\\x09 \n";
  EXPECT_EQ(text.substr(text.size() - agentEnd.size()), agentEnd);
  for (char c : text.substr(0, text.size() - 1))
    ASSERT_TRUE(c >= 0x20 && c != 0x7f) << static_cast<int>(c);
}

TEST(OB_AccessLogLine, AnUnknownSizeIsWrittenAsADash) {
  OB_HTTPXact xact;
  xact.req_method = "GET";
  xact.req_request_uri = "/a";
  xact.req_http_vers = "1.1";
  xact.res_status_code = "200";
  xact.res_bytes = OB_HTTPXact::kUnknownBytes;
  OB_AccessLogLine line;
  line.compose("10.0.0.1", "10.0.0.2", "[01/Jan/1970:00:00:00 +0000]", xact);
  EXPECT_NE(lineOf(line).find("\"GET /a HTTP/1.1\" 200 - "), std::string::npos) << lineOf(line);
}

}  // namespace
