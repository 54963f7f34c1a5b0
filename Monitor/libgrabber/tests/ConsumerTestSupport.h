// Shared by the HTTP and FTP consumer tests: finished TCP sessions built from generated
// conversations, and a protocol writer that claims one server port and keeps what it was handed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "OB_Object.h"
#include "records/OB_ProtocolWriter.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_PacketBuffer.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

namespace consumertest {

using corrana_test::Frame;
using corrana_test::TcpConversation;

// A payload buffer with storage of its own, released with its last user.
class Payload : public OB_PacketBuffer, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(Payload, 0x7E570201, "Payload", OB_PacketBuffer, OB_ReferenceCounter)

 public:
  explicit Payload(uint32_t capacity) { initBuffer(capacity); }
  ~Payload() override { resetBuffer(); }
};

// A finished session of the conversation between 10.0.0.1:40000 and 10.0.0.2:serverPort, in
// which each side sends its texts in turn (client first).
inline std::unique_ptr<OB_TCPSession> sessionOf(uint16_t serverPort,
                                                const std::vector<std::string>& turns,
                                                bool serverFirst) {
  TcpConversation talk({0x0A000001, 40000, {2, 0, 0, 0, 0, 1}},
                       {0x0A000002, serverPort, {2, 0, 0, 0, 0, 2}});
  talk.handshake();
  bool server = serverFirst;
  for (const std::string& text : turns) {
    TcpConversation::Side from = server ? TcpConversation::kServer : TcpConversation::kClient;
    TcpConversation::Side peer = server ? TcpConversation::kClient : TcpConversation::kServer;
    talk.send(from, text).ack(peer);
    server = !server;
  }
  talk.close();
  auto session = std::make_unique<OB_TCPSession>();
  OB_Packet packet;
  for (const Frame& frame : talk.frames()) {
    packet.reset();
    packet.setPacketInfo(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
    packet.tv_sec = static_cast<uint32_t>(frame.time / 1000000);
    packet.tv_usec = static_cast<uint32_t>(frame.time % 1000000);
    if (packet.getContentSize() > 0) {
      packet.setBuffer(new Payload(packet.getContentSize()));
      packet.copyBuffer();
    }
    session->processObject(&packet);
    packet.reset();
  }
  session->finish();
  return session;
}

// Claims the sessions of one server port; `look` sees every object it is handed.
class PortWriter : public virtual OB_ProtocolWriter, public virtual OB_ReferenceCounter {
 public:
  PortWriter(uint16_t port, std::function<void(OB_Object*)> look)
      : port_(port), look_(std::move(look)) {}
  const char* getClassName() override { return "PortWriter"; }
  int queryInterface(OB_ClassID id, void** out) override {
    return OB_ProtocolWriter::queryInterface(id, out);
  }
  int isMatch(uint32_t /*serverIP*/, uint16_t serverPort) override {
    return serverPort == port_ ? 1 : 0;
  }
  int processObject(OB_Object* object) override {
    ++handed;
    look_(object);
    return 0;
  }
  int handed = 0;

 private:
  uint16_t port_;
  std::function<void(OB_Object*)> look_;
};

struct Counts {
  uint32_t started, parsed, finished;
  bool operator==(const Counts& other) const {
    return started == other.started && parsed == other.parsed && finished == other.finished;
  }
};

inline Counts httpCounts() {
  OB_TCPSessionStats* s = getTCPSessionStats();
  return {OB_TCPSessionStats::value(s->httpStarted), OB_TCPSessionStats::value(s->httpParsed),
          OB_TCPSessionStats::value(s->httpFinished)};
}

inline Counts ftpCounts() {
  OB_TCPSessionStats* s = getTCPSessionStats();
  return {OB_TCPSessionStats::value(s->ftpStarted), OB_TCPSessionStats::value(s->ftpParsed),
          OB_TCPSessionStats::value(s->ftpFinished)};
}

}  // namespace consumertest
