// The whole capture road on real traces: each recording (the project's own, and the shared traces
// when they are there) is replayed through a "file:" adapter into the packet manager, the stream
// builder and both consumers, and the transactions that reach the writers are compared with what
// tshark reads from the same file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../bench/Road.h"
#include "FrameBuilder.h"
#include "OB_Log.h"
#include "PcapWriter.h"
#include "TempDir.h"
#include "Tshark.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

using corrana_test::haveTshark;

using road::FTPConnection;
using road::Server;
using corrana_test::tsharkFields;

// What tshark reads from one trace: the HTTP requests the road must turn into transactions,
// with their servers, and the FTP control connections keyed by client address and port.
//
// Two kinds of request are left out of the comparison. Sessions open only on a SYN, so requests
// on a connection whose start was not captured are never followed (by design). Request lines
// without an HTTP version ("GET /HTTP/1.1", "OPTIONS"), which tshark reads leniently, are the
// HTTP parser's to judge; they are counted apart.
struct TsharkView {
  std::vector<std::pair<std::string, std::string>> requests;
  size_t requestsWithoutSyn = 0;
  size_t requestsWithoutVersion = 0;
  std::set<Server> httpServers;
  std::map<std::pair<std::string, std::string>, FTPConnection> ftp;
  std::map<std::pair<std::string, std::string>, bool> ftpContinued;  // inside a multi-line reply
  std::set<Server> ftpServers;
};

TsharkView readWithTshark(const std::string& path) {
  TsharkView view;
  std::set<std::string> opened;  // TCP streams whose first SYN was captured
  struct Request {
    std::string stream, method, uri, version;
  };
  std::vector<Request> requests;
  for (const auto& row :
       corrana_test::tsharkMessages(path, "http.request or (tcp.flags.syn==1 and tcp.flags.ack==0)",
                    "-e tcp.stream -e ip.dst -e tcp.dstport -e http.request.method "
                    "-e http.request.uri -e http.request.version")) {
    if (row.size() < 6 || row[1].empty()) continue;
    if (row[3].empty()) {
      opened.insert(row[0]);
      continue;
    }
    requests.push_back({row[0], row[3], row[4], row[5]});
    view.httpServers.insert({corrana_test::ipv4Address(row[1].c_str()),
                             static_cast<uint16_t>(atoi(row[2].c_str()))});
  }
  for (const Request& request : requests) {
    if (opened.count(request.stream) == 0) {
      ++view.requestsWithoutSyn;
    } else if (request.version.empty()) {
      ++view.requestsWithoutVersion;
    } else {
      view.requests.emplace_back(request.method, request.uri);
    }
  }
  for (const auto& row : tsharkFields(path, "ftp",
                                      "-e ip.src -e ip.dst -e tcp.srcport -e tcp.dstport "
                                      "-e ftp.request.command -e ftp.request.arg "
                                      "-e ftp.response.code")) {
    if (row.size() < 7) continue;
    if (row[3] == "21" && !row[4].empty()) {
      view.ftp[{row[0], row[2]}].commands.emplace_back(row[4], row[5]);
      view.ftpServers.insert({corrana_test::ipv4Address(row[1].c_str()), 21});
    } else if (row[2] == "21") {
      const std::pair<std::string, std::string> client{row[1], row[3]};
      corrana_test::addFTPReplyCodes(row[6], view.ftp[client].replyCodes,
                                     view.ftpContinued[client]);
      view.ftpServers.insert({corrana_test::ipv4Address(row[0].c_str()), 21});
    }
  }
  return view;
}

// Text as tshark prints it: a byte that does not begin a whole UTF-8 sequence becomes U+FFFD.
std::string asTsharkShows(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                                          : (lead >> 3) == 30                ? 4
                                                                             : 0;
    bool whole = length != 0 && i + length <= text.size();
    for (size_t k = 1; whole && k < length; ++k)
      whole = (static_cast<unsigned char>(text[i + k]) >> 6) == 2;
    if (whole) {
      shown.append(text, i, length);
      i += length;
    } else {
      shown += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return shown;
}

// Replays one trace through the road and compares the transactions that reach the writers with
// what tshark reads; adds the HTTP requests the road passed on to requestsSeen.
void roadMatchesTshark(const std::filesystem::path& trace, size_t* requestsSeen) {
  corrana_test::TempDir install;
  mkdir((install.path() + "/admin").c_str(), 0755);
  mkdir((install.path() + "/logs").c_str(), 0755);
  setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  std::ofstream(install.path() + "/admin/adapters.cfg") << "adapter: file:" << trace.string()
                                                        << "\n";
  TsharkView expected = readWithTshark(trace.string());

  road::Road road(expected.httpServers, expected.ftpServers, true);
  ASSERT_TRUE(road.run());
  EXPECT_EQ(road.readError, "");

  std::vector<std::pair<std::string, std::string>> want = expected.requests;
  std::vector<std::pair<std::string, std::string>> got = road.httpWriter->requests;
  for (auto& [method, uri] : got) uri = asTsharkShows(uri);
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  if (expected.requestsWithoutVersion == 0) {
    EXPECT_EQ(got, want);
  } else {
    // Every request with a version is there; what else the parser made of the others is not
    // compared.
    std::vector<std::pair<std::string, std::string>> missing;
    std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                        std::back_inserter(missing));
    EXPECT_TRUE(missing.empty()) << missing.size() << " requests missing";
    EXPECT_LE(got.size(), want.size() + expected.requestsWithoutVersion);
  }
  *requestsSeen += got.size();

  std::vector<FTPConnection> wantFTP;
  for (auto& [key, connection] : expected.ftp) wantFTP.push_back(connection);
  std::vector<FTPConnection> gotFTP = road.ftpWriter->connections;
  std::sort(wantFTP.begin(), wantFTP.end());
  std::sort(gotFTP.begin(), gotFTP.end());
  EXPECT_EQ(gotFTP.size(), wantFTP.size());
  EXPECT_TRUE(gotFTP == wantFTP);

  // Every frame was counted, and nothing on these small traces ran out of pooled buffers.
  uint32_t frames = 0;
  road.manager->getValue(OB_CaptureEngineStats::kAllPacksSeen, &frames);
  EXPECT_GT(frames, 0u);
  OB_Log::reset();
}

// The project's own recordings, HTTP and FTP, so that a plain clone runs the whole road on real
// traffic too; then the shared traces, when they are there.
TEST(Road, RecordingsGiveTheTransactionsTsharkSees) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed: nothing to compare with";
  size_t requestsSeen = 0;
  for (const std::filesystem::path& trace : corrana_test::traceFiles()) {
    SCOPED_TRACE(trace.filename().string());
    roadMatchesTshark(trace, &requestsSeen);
  }
  EXPECT_GT(requestsSeen, 0u);
}

// A connection longer than the byte limit reaches the writers in pieces: they count one
// connection, and bytes missing from two of its pieces make it one discontiguous connection.
TEST(Road, AConnectionCutIntoPiecesCountsOnce) {
  corrana_test::TempDir install;
  mkdir((install.path() + "/admin").c_str(), 0755);
  mkdir((install.path() + "/logs").c_str(), 0755);
  setenv("OB_INSTALLDIR", install.path().c_str(), 1);
  const uint32_t serverIP = corrana_test::ipv4Address("198.18.0.1");
  corrana_test::TcpConversation c({corrana_test::ipv4Address("198.18.0.2"), 40000, {2, 0, 0, 0, 0, 1}},
                                  {serverIP, 80, {2, 0, 0, 0, 0, 2}});
  const std::string body(3000000, 'b');
  c.handshake().send(corrana_test::TcpConversation::kClient, "GET /big HTTP/1.1\r\nHost: b\r\n\r\n");
  const size_t response = c.size();
  c.send(corrana_test::TcpConversation::kServer,
         "HTTP/1.1 200 OK\r\nContent-Length: 3000000\r\n\r\n" + body);
  c.close();
  // One segment lost in the first piece, one in the second (a piece holds about 842).
  std::vector<corrana_test::Frame> frames = c.frames();
  frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(response + 1000));
  frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(response + 100));
  const std::string path = install.path() + "/long.pcap";
  ASSERT_TRUE(corrana_test::PcapWriter::write(path, frames));
  std::ofstream(install.path() + "/admin/adapters.cfg") << "adapter: file:" << path << "\n";

  road::Road road({{serverIP, 80}}, {}, false);
  ASSERT_TRUE(road.run());
  EXPECT_EQ(road.httpWriter->sessions, 1u);
  EXPECT_EQ(OB_TCPSessionStats::value(getTCPSessionStats()->timedOutGaps), 1u);
  OB_Log::reset();
}

}  // namespace
