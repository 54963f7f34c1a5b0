// The HTTP analyser against an outside oracle: real traces are replayed through the capture
// driver, their frames decoded, their TCP sessions rebuilt in a plain map (standing in for the
// stream builder) and parsed; every transaction is then compared with what tshark reads from the
// same file, paired by TCP stream and by order within the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "DriverControl.h"
#include "PacketTestSupport.h"
#include "TempDir.h"
#include "Tshark.h"
#include "driver.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSession.h"

namespace {

using corrana_test::haveTshark;

// What one transaction holds, in our terms or in tshark's (normalised for comparison).
struct Message {
  std::string method, uri, version, host, referer, userAgent, contentType;
  std::string contentLength;
};
struct Response {
  std::string version, status, reason, contentType, contentLength;
};
struct Transaction {
  Message request;
  Response response;
};

// ---- Our side: replay, sessions, parsing ----

using Endpoint = std::pair<uint32_t, uint16_t>;
using Connection = std::pair<Endpoint, Endpoint>;  // the lower endpoint first

Connection connectionOf(const OB_Packet& p) {
  Endpoint a{p.srcIP, p.srcPort}, b{p.dstIP, p.dstPort};
  return a < b ? Connection{a, b} : Connection{b, a};
}

std::string text(const char* s) { return s != nullptr ? s : ""; }

class Replay {
 public:
  // Parsed transactions by TCP stream number, numbered as tshark numbers them: in the order a
  // connection's first frame appears, a SYN after a finished connection starting a new one.
  std::map<int, std::vector<Transaction>> streams;

  static int callback(const unsigned char* frame, uint32_t length, uint64_t stamp,
                      uint32_t /*wire*/, void* context) {
    static_cast<Replay*>(context)->take(frame, length, stamp);
    return 1;
  }

  // Sessions still open when the trace ends are given up as the idle sweep would.
  void finishAll() {
    for (auto& [connection, tracked] : open_) {
      tracked.session->timeout();
      parse(tracked);
    }
    open_.clear();
  }

 private:
  struct Tracked {
    int stream;
    std::unique_ptr<OB_TCPSession> session;
  };

  void take(const unsigned char* frame, uint32_t length, uint64_t stamp) {
    packet_.reset();
    packet_.setPacketInfo(frame, static_cast<int>(length));
    if (packet_.isIP() == 0 || packet_.getIPType() != 6 || packet_.srcPort == 0) return;
    packet_.tv_sec = static_cast<uint32_t>(stamp / 1000000);
    packet_.tv_usec = static_cast<uint32_t>(stamp % 1000000);
    const Connection connection = connectionOf(packet_);
    const bool opening = (packet_.getCode() & (OB_Packet::kSYN | OB_Packet::kACK)) ==
                         OB_Packet::kSYN;
    auto known = numbers_.find(connection);
    auto found = open_.find(connection);
    if (known == numbers_.end() || (opening && found == open_.end() && closed_.count(connection))) {
      numbers_[connection] = nextStream_++;
      closed_.erase(connection);
      known = numbers_.find(connection);
    }
    if (found == open_.end()) {
      if (!opening) return;  // a connection seen without its start is not rebuilt
      auto session = std::make_unique<OB_TCPSession>();
      found = open_.emplace(connection, Tracked{known->second, std::move(session)}).first;
    }
    if (packet_.getContentSize() > 0) {
      packet_.setBuffer(new packettest::CountedBuffer(packet_.getContentSize()));
      packet_.copyBuffer();
    }
    found->second.session->processObject(&packet_);
    packet_.reset();
    if (found->second.session->isFinished()) {
      parse(found->second);
      closed_[connection] = true;
      open_.erase(found);
    }
  }

  void parse(Tracked& tracked) {
    OB_TCPSession& session = *tracked.session;
    session.finish();
    parser_.reset();
    parser_.processObject(&session);
    std::vector<Transaction>& out = streams[tracked.stream];
    for (int n = 1; OB_HTTPXact* x = parser_.xactAt(n); ++n) {
      Transaction t;
      t.request = {text(x->req_method.c_str()),       text(x->req_request_uri.c_str()),
                   text(x->req_http_vers.c_str()),    text(x->req_host.c_str()),
                   text(x->req_referer.c_str()),      text(x->req_user_agent.c_str()),
                   text(x->req_content_type.c_str()), std::to_string(x->req_bytes)};
      t.response = {text(x->res_http_vers.c_str()), text(x->res_status_code.c_str()),
                    text(x->res_reason_phrase.c_str()), text(x->res_content_type.c_str()),
                    std::to_string(x->res_bytes)};
      out.push_back(t);
    }
    parser_.reset();
  }

  OB_Packet packet_;
  OB_HTTPProtocol parser_;
  std::map<Connection, Tracked> open_;
  std::map<Connection, int> numbers_;
  std::map<Connection, bool> closed_;
  int nextStream_ = 0;
};

// ---- tshark's side ----

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t at = line.find(separator, from);
    parts.push_back(line.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

struct TsharkStream {
  std::vector<Message> requests;
  std::vector<Response> responses;
};

// Requests and responses by stream, in the order tshark meets them. Several messages in one
// frame come as several occurrences of each field.
std::map<int, TsharkStream> readWithTshark(const std::string& path) {
  static const char kAggregator = '\x1f';
  std::map<int, TsharkStream> out;
  const std::string command =
      "tshark -n -r '" + path +
      "' -Y 'http.request || http.response' -T fields -E aggregator='\x1f' -e tcp.stream "
      "-e http.request.method -e http.request.uri -e http.request.version -e http.host "
      "-e http.referer -e http.user_agent -e http.response.version -e http.response.code "
      "-e http.response.phrase -e http.content_type -e http.content_length_header "
      "-e http.transfer_encoding -e http.chunk_size 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::string line;
  char chunk[4096];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) {
    line += chunk;
    if (line.empty() || line.back() != '\n') continue;
    line.pop_back();
    std::vector<std::string> f = split(line, '\t');
    line.clear();
    if (f.size() < 14) continue;
    std::vector<std::vector<std::string>> each;
    for (const std::string& field : f) each.push_back(split(field, kAggregator));
    auto value = [&](size_t field, size_t occurrence) {
      return occurrence < each[field].size() ? each[field][occurrence] : std::string();
    };
    // A chunked body's length is the sum of its chunk sizes (known when the frame holds one
    // message); the header's length does not count then.
    const size_t messages = (f[1].empty() ? 0 : each[1].size()) + (f[8].empty() ? 0 : each[8].size());
    if (messages == 1 && f[12].find("chunked") != std::string::npos) {
      long sum = 0;
      for (const std::string& size : each[13]) sum += std::atol(size.c_str());
      each[11] = {std::to_string(sum)};
    }
    TsharkStream& stream = out[std::atoi(f[0].c_str())];
    if (!f[1].empty()) {
      for (size_t i = 0; i < each[1].size(); ++i) {
        stream.requests.push_back({value(1, i), value(2, i), value(3, i), value(4, i),
                                   value(5, i), value(6, i), value(10, i), value(11, i)});
      }
    } else if (!f[8].empty()) {
      for (size_t i = 0; i < each[8].size(); ++i) {
        // An interim response (100 Continue) precedes the request's answer; ours pair only the
        // final one.
        const std::string& code = each[8][i];
        if (code.size() == 3 && code[0] == '1' && code != "101") continue;
        stream.responses.push_back(
            {value(7, i), value(8, i), value(9, i), value(10, i), value(11, i)});
      }
    }
  }
  pclose(pipe);
  return out;
}

// ---- Comparison ----

// Differences the design intends. A general rule applies to every trace; an entry names a trace,
// the streams it covers (none listed: every stream), a transaction (-1: every one) and a field
// ("*": all; "request" or "response": that half, also when it is missing altogether).
struct Allowed {
  const char* trace;
  std::vector<int> streams;
  int transaction;
  const char* field;
  const char* why;
};

// General rules, applied in the comparison itself:
//  - Text values are kept in fixed-width fields: tshark's value is cut to the field's width
//    less one before comparing.
//  - A response without Content-Type gets one guessed from the URI's extension (or "none" when
//    unanswered); a request with a body but no type likewise. tshark shows none: not compared.
//  - Stored content types are the media type alone, in lower case (parameters dropped).
//  - The version is stored as its digits ("1.1"), without "HTTP/".
//  - A missing Content-Length is a byte count of 0.
//  - A response to HEAD, a 1xx, 204 or 304 sends no body: 0 bytes whatever its Content-Length.
const std::vector<Allowed> kAllowed = {
    // A session is rebuilt only from its SYN: a connection whose start the capture missed
    // yields nothing.
    {"http_get_nosyn.pcap", {0}, -1, "*", "capture starts after the SYN"},
    {"http_nginx_no-syn.pcap", {0}, -1, "*", "capture starts after the SYN"},
    // tshark shows bytes that are not UTF-8 as U+FFFD, a tab as "\t" and other control bytes
    // escaped; the stored values keep the bytes themselves.
    {"http_nginx_non-printable.pcap", {}, 0, "request.uri", "8-bit bytes shown as U+FFFD"},
    {"http_nginx_non-printable.pcap", {}, 0, "request.referer", "8-bit bytes shown as U+FFFD"},
    {"http_nginx_non-printable.pcap", {}, 0, "request.user_agent", "bytes shown escaped"},
    {"wikipedia.pcap", {0}, -1, "*", "capture starts after the SYN"},
    // Deliberately malformed request lines that the request grammar refuses: a version without
    // minor digits ("HTTP/1."), no version ("GET /HTTP/1.1", "OPTIONS HTTP/1.1", "OPTIONS").
    // Their responses then pair with nothing.
    {"http_methods.pcap",
     {1, 3, 5, 6, 15, 16, 20, 21, 25, 26, 30, 31, 35, 36, 40, 41, 45, 46},
     0,
     "*",
     "request line refused by the grammar"},
    // Responses to requests tshark does not see as requests either (binary or run-together
    // methods): a response without a request is not recorded.
    {"http_methods.pcap",
     {2, 8, 10, 11, 12, 13, 14, 18, 23, 28, 33, 38, 43, 48},
     0,
     "response",
     "no request to pair with"},
    // "HEAD/ HTTP/1.1": taken as a HEAD request, whose answer has no body; the server refused
    // the line and sent a body with its 400.
    {"http_methods.pcap", {47}, 0, "response.content_length", "run-together HEAD refused"},
};

class Comparison {
 public:
  explicit Comparison(std::string trace) : trace_(std::move(trace)) {}

  int transactions = 0;
  int matched = 0;          // every field the same
  int allowedOnly = 0;      // differing only as the allow-list says
  int allowedDifferences = 0;
  std::vector<std::string> failures;

  void run(const std::map<int, TsharkStream>& expected,
           const std::map<int, std::vector<Transaction>>& seen) {
    static const std::vector<Transaction> none;
    for (const auto& [stream, want] : expected) {
      auto it = seen.find(stream);
      const std::vector<Transaction>& got = it != seen.end() ? it->second : none;
      const size_t count = std::max(want.requests.size(), want.responses.size());
      for (size_t i = 0; i < count; ++i) {
        ++transactions;
        const Transaction* ours = i < got.size() ? &got[i] : nullptr;
        bool ok = true;
        const int allowedBefore = allowedDifferences;
        if (i < want.requests.size()) ok &= compareRequest(stream, i, want.requests[i], ours);
        if (i < want.responses.size()) {
          const bool head = i < want.requests.size() && want.requests[i].method == "HEAD";
          ok &= compareResponse(stream, i, want.responses[i], ours, head);
        }
        if (ok && allowedDifferences == allowedBefore) ++matched;
        if (ok && allowedDifferences != allowedBefore) ++allowedOnly;
      }
    }
  }

 private:
  bool allowed(int stream, size_t index, const std::string& field) const {
    for (const Allowed& a : kAllowed) {
      if (trace_ != a.trace ||
          (!a.streams.empty() &&
           std::find(a.streams.begin(), a.streams.end(), stream) == a.streams.end()) ||
          (a.transaction != -1 && a.transaction != static_cast<int>(index))) {
        continue;
      }
      if (std::strcmp(a.field, "*") == 0 || field == a.field ||
          field.rfind(std::string(a.field) + ".", 0) == 0) {
        return true;
      }
    }
    return false;
  }

  // Returns whether the field matched or its difference is allowed.
  bool check(int stream, size_t index, const std::string& field, const std::string& want,
             const std::string& got) {
    if (want == got) return true;
    if (allowed(stream, index, field)) {
      ++allowedDifferences;
      return true;
    }
    failures.push_back(trace_ + " stream " + std::to_string(stream) + " #" +
                       std::to_string(index) + " " + field + ": tshark \"" + want +
                       "\", ours \"" + got + "\"");
    return false;
  }

  static std::string cut(const std::string& value, size_t width) {
    return value.size() > width - 1 ? value.substr(0, width - 1) : value;
  }
  static std::string mediaType(const std::string& value) {
    std::string type = value.substr(0, value.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return cut(type, 256);
  }
  static std::string version(const std::string& value) {
    return cut(value.rfind("HTTP/", 0) == 0 ? value.substr(5) : value, 5);
  }
  static std::string length(const std::string& value) { return value.empty() ? "0" : value; }

  bool compareRequest(int stream, size_t i, const Message& want, const Transaction* ours) {
    if (ours == nullptr) return check(stream, i, "request", "present", "missing");
    const Message& got = ours->request;
    bool ok = check(stream, i, "request.method", cut(want.method, 16), got.method);
    ok &= check(stream, i, "request.uri", cut(want.uri, 1024), got.uri);
    ok &= check(stream, i, "request.version", version(want.version), got.version);
    ok &= check(stream, i, "request.host", cut(want.host, 1024), got.host);
    ok &= check(stream, i, "request.referer", cut(want.referer, 1024), got.referer);
    ok &= check(stream, i, "request.user_agent", cut(want.userAgent, 256), got.userAgent);
    if (!want.contentType.empty()) {
      ok &= check(stream, i, "request.content_type", mediaType(want.contentType),
                  got.contentType);
    }
    ok &= check(stream, i, "request.content_length", length(want.contentLength),
                got.contentLength);
    return ok;
  }

  bool compareResponse(int stream, size_t i, const Response& want, const Transaction* ours,
                       bool toHead) {
    if (ours == nullptr) return check(stream, i, "response", "present", "missing");
    const Response& got = ours->response;
    bool ok = check(stream, i, "response.version", version(want.version), got.version);
    ok &= check(stream, i, "response.status", cut(want.status, 5), got.status);
    ok &= check(stream, i, "response.reason", cut(want.reason, 512), got.reason);
    if (!want.contentType.empty()) {
      ok &= check(stream, i, "response.content_type", mediaType(want.contentType),
                  got.contentType);
    }
    const bool bodiless = toHead || want.status == "204" || want.status == "304" ||
                          (!want.status.empty() && want.status[0] == '1');
    ok &= check(stream, i, "response.content_length",
                bodiless ? "0" : length(want.contentLength), got.contentLength);
    return ok;
  }

  std::string trace_;
};

class HTTPConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("OB_INSTALLDIR", install_.path().c_str(), 1);
    ASSERT_EQ(GLIM_InitializeLibrary(), 1);
  }
  void TearDown() override { GLIM_CleanupLibrary(); }

  // Replays the trace and compares it; prints the match rate.
  void conforms(const std::filesystem::path& trace) {
    SCOPED_TRACE(trace.filename().string());
    const std::map<int, TsharkStream> expected = readWithTshark(trace.string());
    ASSERT_FALSE(expected.empty()) << "tshark sees no HTTP in " << trace;

    Replay replay;
    GLIM_AdapterHandle adapter = GLIM_OpenAdapter(("file:" + trace.string()).c_str());
    ASSERT_NE(adapter, -1) << DriverControl::lastErrorText();
    GLIM_CaptureContext capture =
        GLIM_CreateCaptureContext(adapter, Replay::callback, 512000, &replay);
    ASSERT_NE(capture, nullptr) << DriverControl::lastErrorText();
    ASSERT_EQ(GLIM_StartCapture(capture), 0);
    DriverControl::waitForEnd(capture);
    EXPECT_TRUE(DriverControl::isReplayFinished(capture));
    GLIM_CloseAdapter(adapter);
    replay.finishAll();

    Comparison comparison(trace.filename().string());
    comparison.run(expected, replay.streams);
    printf("[ conformance ] %-40s %3d of %3d transactions match, %3d differ as allowed, %3d "
           "do not\n",
           trace.filename().string().c_str(), comparison.matched, comparison.transactions,
           comparison.allowedOnly,
           comparison.transactions - comparison.matched - comparison.allowedOnly);
    for (const std::string& failure : comparison.failures) ADD_FAILURE() << failure;
  }

  corrana_test::TempDir install_;
};

// The project's own recordings, and the shared traces when they are there.
TEST_F(HTTPConformance, RecordingsMatchTshark) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed: nothing to compare with";
  int compared = 0;
  for (const auto& trace : corrana_test::traceFiles()) {
    if (trace.filename().string().rfind("ftp", 0) == 0) continue;
    conforms(trace);
    ++compared;
  }
  EXPECT_GE(compared, 9);
}

TEST_F(HTTPConformance, RecordedTrafficMatchesTshark) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed: nothing to compare with";
  conforms(std::filesystem::path(CORRANA_SOURCE_DIR) /
           "Monitor/libwire/tests/data/http_nginx_curl.pcap");
}

}  // namespace
