// Fuzzes TCP session reassembly: the input is a script of segments between one client and one
// server (direction, flags, sequence offset, payload length, and optionally a header byte
// overwritten), built into real frames, decoded by OB_Packet and fed to one OB_TCPSession as the
// capture engine feeds it. Checks that each direction stores no more than it was handed and that
// its stream reads back exactly the bytes it stores.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzPayload.h"
#include "FuzzSupport.h"
#include "ftp/OB_FTPProtocol.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

constexpr uint32_t kClientIP = 0x0A000001;
constexpr uint32_t kServerIP = 0x0A000002;
constexpr size_t kHeaders = 14 + 20 + 20;

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}

// Ethernet II, IPv4 without options, TCP without options, then the payload.
std::vector<uint8_t> frame(bool fromClient, uint8_t flags, uint32_t seq, uint32_t ack,
                           const uint8_t* payload, size_t length) {
  std::vector<uint8_t> f(kHeaders + length, 0);
  f[12] = 0x08;
  uint8_t* ip = f.data() + 14;
  ip[0] = 0x45;
  put16(ip + 2, static_cast<uint32_t>(20 + 20 + length));
  ip[8] = 64;
  ip[9] = 6;
  put32(ip + 12, fromClient ? kClientIP : kServerIP);
  put32(ip + 16, fromClient ? kServerIP : kClientIP);
  uint8_t* tcp = ip + 20;
  put16(tcp, fromClient ? 1025 : 80);
  put16(tcp + 2, fromClient ? 80 : 1025);
  put32(tcp + 4, seq);
  put32(tcp + 8, ack);
  tcp[12] = 5 << 4;
  tcp[13] = flags;
  put16(tcp + 14, 65535);
  if (length > 0) memcpy(f.data() + kHeaders, payload, length);
  return f;
}

// Every byte the direction's stream gives, read as the parsers read it.
size_t readBack(OB_PacketStream& stream) {
  if (stream.setFirst() != 0) return 0;
  size_t n = 1;
  while (stream.incNext() == 1) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("session_fuzz");
  tcpSessionStats_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  // Initial sequence numbers from the input, so that wrap-around is reached.
  uint32_t next[2];
  memcpy(&next[0], data, 4);
  memcpy(&next[1], data + 4, 4);
  size_t at = 8;

  OB_TCPSession session;
  OB_Packet packet;
  uint32_t handed[2] = {0, 0};
  uint32_t time = 1700000000;
  // Each record: control byte, sequence offset (signed 16 bits), payload length, and with the
  // control's top bit a header offset and the byte to put there.
  while (size - at >= 4) {
    const uint8_t control = data[at];
    const bool fromClient = (control & 0x40) == 0;
    const uint8_t flags = control & 0x3F;
    const int16_t offset = static_cast<int16_t>((data[at + 1] << 8) | data[at + 2]);
    size_t length = data[at + 3] * 8u;
    at += 4;
    size_t mangleAt = 0;
    uint8_t mangleTo = 0;
    if ((control & 0x80) != 0) {
      if (size - at < 2) break;
      mangleAt = 14 + data[at] % 40;
      mangleTo = data[at + 1];
      at += 2;
    }
    const uint8_t* payload = data + at;
    length = std::min(length, size - at);
    at += length;

    uint32_t& seq = next[fromClient ? 0 : 1];
    const uint32_t segmentSeq = seq + static_cast<uint32_t>(static_cast<int32_t>(offset));
    std::vector<uint8_t> bytes =
        frame(fromClient, flags, segmentSeq, next[fromClient ? 1 : 0], payload, length);
    if (mangleAt != 0) bytes[mangleAt] = mangleTo;
    seq = segmentSeq + static_cast<uint32_t>(length) + ((flags & 0x03) != 0 ? 1 : 0);

    packet.reset();
    packet.setPacketInfo(bytes.data(), static_cast<int>(bytes.size()));
    packet.tv_sec = time++;
    if (packet.getContentSize() > 0) {
      packet.setBuffer(new corrana_fuzz::PayloadBuffer(1460));
      packet.copyBuffer();
      if (packet.getBuffer()->getLength() > 0 && packet.addressMatch(kClientIP, 1025, kServerIP, 80))
        handed[0] += packet.getBuffer()->getLength();
      else if (packet.getBuffer()->getLength() > 0)
        handed[1] += packet.getBuffer()->getLength();
    }
    session.processObject(&packet);
    packet.reset();
  }

  // A stream holds at most what was handed to it; what it holds reads back in full.
  check(session.client.xBytXfer <= handed[0] + handed[1]);
  check(session.server.xBytXfer <= handed[0] + handed[1]);
  const size_t clientBytes = readBack(session.client);
  const size_t serverBytes = readBack(session.server);
  check(clientBytes <= session.client.xBytXfer);
  check(serverBytes <= session.server.xBytXfer);
  check(session.client.xBytXfer <= OB_TCPSession::kByteLimit + 1460);
  // The parsers read the streams in sequence space, across whatever gaps the script left: they
  // must end and keep their records within bounds. FTP first: HTTP gives the buffers back.
  static OB_FTPProtocol* ftp = OB_FTPProtocol::create();
  static OB_HTTPProtocol* http = OB_HTTPProtocol::create();
  ftp->reset();
  ftp->processObject(&session);
  check(ftp->respCount <= ftp->commRespCount);
  http->reset();
  http->processObject(&session);
  check(http->getXactCount() <= OB_Protocol::maxXacts);
  session.finish();
  session.reset();
  return 0;
}
