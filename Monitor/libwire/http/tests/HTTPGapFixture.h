// The HTTP analyser fed with the frames of a conversation a test writes, whose segments may be
// lost before the capture and which the byte limit may cut into pieces parsed in order, as the
// capture engine parses them: the fixture of the tests of lost and cut bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "PacketTestSupport.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

namespace httpgap {

using corrana_test::Frame;
using corrana_test::TcpConversation;
using packettest::CountedBuffer;


inline constexpr auto kClient = TcpConversation::kClient;
inline constexpr auto kServer = TcpConversation::kServer;

inline std::string response(const std::string& status, const std::string& headers,
                     const std::string& body = "") {
  return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

inline std::string get(const std::string& uri) { return "GET " + uri + " HTTP/1.1\r\nHost: h\r\n\r\n"; }

// A message of the given start line whose Content-Length body of `fill` bytes brings its
// direction to `before` bytes short of the session's byte limit (for a direction that sends
// nothing else before it); *body is the body's length.
inline std::string untilTheCut(const std::string& startLine, size_t before, size_t* body,
                        char fill = 'x') {
  // The length has seven digits at any such size.
  const std::string fields = "\r\nContent-Length: 1234567\r\n\r\n";
  const size_t head = startLine.size() + fields.size();
  *body = OB_TCPSession::kByteLimit - head - before;
  return startLine + "\r\nContent-Length: " + std::to_string(*body) + "\r\n\r\n" +
         std::string(*body, fill);
}

class HTTPGap : public ::testing::Test {
 protected:
  void SetUp() override { tcpSessionStats_init(); }

  // Sends text from a side in segments of `size` bytes; the segments numbered in `lost`
  // (from 0) never reach the capture.
  void send(TcpConversation::Side side, const std::string& text, size_t size = 1460,
            std::vector<size_t> lost = {}) {
    const size_t first = web.size();
    web.send(side, text, size);
    for (auto it = lost.rbegin(); it != lost.rend(); ++it) web.remove(first + *it);
  }

  // The connection opens and /a is answered with a two-byte 200.
  void openWithAnsweredRequest() {
    web.handshake();
    send(kClient, get("/a"));
    send(kServer, response("200 OK", "Content-Length: 2\r\n", "ok"));
  }

  // A second case in the same test: cleared statistics and parser, a new connection opened.
  void startOver() {
    tcpSessionStats_init();
    web = TcpConversation({corrana_test::ipv4Address("10.0.0.1"), 1026, {}},
                          {corrana_test::ipv4Address("10.0.0.2"), 80, {}});
    parser.reset();
    web.handshake();
  }

  // Closes the connection and feeds every frame as the capture engine does: a connection cut
  // at the byte limit goes on in a further piece, continued from the one before.
  std::vector<std::unique_ptr<OB_TCPSession>> feedPieces() {
    web.close();
    std::vector<std::unique_ptr<OB_TCPSession>> pieces;
    pieces.push_back(std::make_unique<OB_TCPSession>());
    OB_Packet packet;
    for (const Frame& frame : web.frames()) {
      packet.reset();
      packet.setPacketInfo(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
      if (packet.getContentSize() > 0) {
        packet.setBuffer(new CountedBuffer(1460));
        packet.copyBuffer();
      }
      pieces.back()->processObject(&packet);
      packet.reset();
      if (pieces.back()->isCutOff() != 0) {
        pieces.push_back(std::make_unique<OB_TCPSession>());
        pieces.back()->continueFrom(*pieces[pieces.size() - 2]);
      }
    }
    return pieces;
  }

  // Feeds the frames and parses the pieces in order, as the consumer does: the parser then
  // holds the last piece's record.
  void parse() {
    const auto pieces = feedPieces();
    firstInOrder[0] = pieces[0]->client.storedInOrder();
    firstInOrder[1] = pieces[0]->server.storedInOrder();
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) parser.reset();
      parser.processObject(pieces[i].get());
    }
  }

  // As parse, but each piece's record is kept before the next is parsed: one "uri status
  // bytes" line per transaction, the pieces in order.
  std::vector<std::string> parseEachPiece() {
    std::vector<std::string> lines;
    for (const auto& piece : feedPieces()) {
      parser.reset();
      parser.processObject(piece.get());
      for (int n = 1; n <= parser.commRespCount; ++n) {
        lines.push_back(uri(n) + " " + status(n) + " " +
                        std::to_string(parser.xactAt(n)->res_bytes));
      }
    }
    return lines;
  }

  std::string status(int n) {
    OB_HTTPXact* xact = parser.xactAt(n);
    return xact != nullptr ? xact->res_status_code.c_str() : "(none)";
  }
  std::string uri(int n) {
    OB_HTTPXact* xact = parser.xactAt(n);
    return xact != nullptr ? xact->req_request_uri.c_str() : "(none)";
  }
  static uint32_t v(const OB_TCPSessionStats::Counter& c) { return OB_TCPSessionStats::value(c); }
  // Every transaction the parser holds and how its pairing ended, one line each.
  std::string record() {
    std::string out = std::to_string(parser.commRespCount) + " requests, " +
                      std::to_string(parser.respCount) + " responses, pairing problem " +
                      std::to_string(parser.problemPairing) + ", " +
                      OB_HTTPProtocol::gapLossText(parser.getGapLoss()) + "\n";
    for (int n = 1; n <= parser.commRespCount; ++n) {
      const OB_HTTPXact& xact = *parser.xactAt(n);
      out += std::string(xact.req_method.c_str()) + " " + xact.req_request_uri.c_str() + " " +
             std::to_string(xact.req_bytes) + " -> " + xact.res_status_code.c_str() + " " +
             std::to_string(xact.res_bytes) + "\n";
    }
    return out;
  }

  OB_TCPSessionStats& stats = *getTCPSessionStats();
  TcpConversation web{{corrana_test::ipv4Address("10.0.0.1"), 1025, {2, 0, 0, 0, 0, 1}},
                      {corrana_test::ipv4Address("10.0.0.2"), 80, {2, 0, 0, 0, 0, 2}}};
  OB_HTTPProtocol parser{4096, 16};  // blocks made as needed, up to 65,536 transactions
  // Whether the first piece's client and server directions stored every segment in order.
  bool firstInOrder[2] = {false, false};
};

}  // namespace httpgap
