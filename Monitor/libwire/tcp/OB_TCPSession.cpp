#include "tcp/OB_TCPSession.h"

#include <sys/time.h>

#include <new>
#include <utility>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "tcp/OB_Packet.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {

using Stats = OB_TCPSessionStats;

inline bool has(const OB_PacketStream& s, uint16_t flag) { return (s.xStatus & flag) != 0; }

inline int32_t seqDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

OB_PacketTime timeOf(const OB_Packet& packet) {
  OB_PacketTime t;
  t.tv_sec = packet.tv_sec;
  t.tv_usec = packet.tv_usec;
  return t;
}

// The peer acknowledges this direction's SYN when its ACK names the number after it.
void noteSynAck(OB_PacketStream& peer, const OB_Packet& packet) {
  if ((packet.m_iCode & OB_Packet::kACK) != 0 && has(peer, OB_PacketStream::kSynSeen) &&
      peer.xMinSeq + 1 == packet.ackno) {
    peer.xStatus |= OB_PacketStream::kSynAcked;
    peer.xAckSynch = timeOf(packet);
  }
}

// Opens a direction whose SYN the capture missed, at the initial sequence number a segment of its
// peer acknowledges: its payload is then stored and its FIN ends it, as if the SYN had been seen
// when that segment was.
void openMissed(OB_PacketStream& s, uint32_t isn, const OB_Packet& packet) {
  s.xStatus |= OB_PacketStream::kSynSeen;
  s.xMinSeq = isn;
  s.xMaxSeq = isn + 1;
  s.xBeginSynch = timeOf(packet);
  s.xBeginTime = timeOf(packet);
}

// Sequence numbers a direction used between its SYN and its highest segment end, less the one
// each of its SYN and FIN takes: the payload span. 0 for a direction that never opened.
uint32_t sequenceSpan(const OB_PacketStream& s) {
  if (!has(s, OB_PacketStream::kSynSeen)) return 0;
  int32_t span = seqDiff(s.xMaxSeq, s.xMinSeq) - 1;
  if (has(s, OB_PacketStream::kFinSeen)) --span;
  return span > 0 ? static_cast<uint32_t>(span) : 0;
}

// Microseconds from a direction's SYN to its acknowledgement; 0 when it was never acknowledged.
uint32_t handshakeDelay(const OB_PacketStream& s) {
  if (!has(s, OB_PacketStream::kSynAcked)) return 0;
  struct timeval acked = {static_cast<time_t>(s.xAckSynch.tv_sec),
                          static_cast<suseconds_t>(s.xAckSynch.tv_usec)};
  struct timeval began = {static_cast<time_t>(s.xBeginSynch.tv_sec),
                          static_cast<suseconds_t>(s.xBeginSynch.tv_usec)};
  const int32_t delay = OB_Tools::timeSubtract32(&acked, &began);
  return delay > 0 ? static_cast<uint32_t>(delay) : 0;
}

}  // namespace

int OB_TCPSession::setAddressInfo(uint32_t clientIP, uint16_t clientPort, uint32_t serverIP,
                                  uint16_t serverPort) {
  client.xIPAddr = clientIP;
  client.xPort = clientPort;
  server.xIPAddr = serverIP;
  server.xPort = serverPort;
  return 0;
}

int OB_TCPSession::addressMatch(uint32_t a1, uint16_t p1, uint32_t a2, uint16_t p2) {
  return a1 == client.xIPAddr && p1 == client.xPort && a2 == server.xIPAddr &&
                 p2 == server.xPort
             ? 1
             : 0;
}

int OB_TCPSession::continueFrom(OB_TCPSession& earlier) {
  setAddressInfo(earlier.client.xIPAddr, earlier.client.xPort, earlier.server.xIPAddr,
                 earlier.server.xPort);
  // A direction that had ended before the cut stays ended: the rest ends with the other's FIN.
  const uint16_t opened =
      OB_PacketStream::kSynSeen | OB_PacketStream::kSynAcked | OB_PacketStream::kFinSeen;
  for (auto [to, from] : {std::pair{&client, &earlier.client}, std::pair{&server, &earlier.server}}) {
    to->xStatus = from->xStatus & opened;
    // The direction goes on where the cut left it, as if its SYN had been right before: the
    // payload span of this piece counts only its own bytes, and its first byte is known.
    to->xMinSeq = from->xMaxSeq - 1;
    to->xMaxSeq = from->xMaxSeq;
    to->xBeginSynch = from->xBeginSynch;
    to->xAckSynch = from->xAckSynch;
    to->xBeginTime = from->xBeginTime;
  }
  lastTime = earlier.lastTime;
  continued = 1;
  // The connection is counted as discontiguous once, by the first of its pieces that misses
  // bytes.
  gapCounted = earlier.gapCounted != 0 || earlier.missesBytes() ? 1 : 0;
  try {
    if (earlier.carry == nullptr) earlier.carry = std::make_shared<OB_ParseCarry>();
    carry = earlier.carry;
    earlier.followed = 1;
  } catch (const std::bad_alloc&) {
    carry = nullptr;  // the piece is then searched for its first message
  }
  return 0;
}

int OB_TCPSession::isReopenedBy(OB_Packet* packet) {
  if (packet == nullptr || (packet->getCode() & (OB_Packet::kSYN | OB_Packet::kACK)) != OB_Packet::kSYN)
    return 0;
  return has(client, OB_PacketStream::kSynSeen) &&
                 addressMatch(packet->srcIP, packet->srcPort, packet->dstIP, packet->dstPort) &&
                 packet->seqno != client.xMinSeq
             ? 1
             : 0;
}

int OB_TCPSession::processObject(OB_Object* object) {
  OB_Packet* packet = obQuery<OB_Packet>(object);
  if (packet == nullptr) return 0;
  Stats& stats = *getTCPSessionStats();
  const uint32_t size = packet->getPacketSize();
  const uint8_t code = packet->getCode();

  if (finished != 0) {
    Stats::count(stats.segmentsClosed);
    Stats::count(stats.bytesClosed, size);
    return -1;
  }

  OB_PacketStream* sender = nullptr;
  OB_PacketStream* peer = nullptr;
  if (client.xPort == 0 || server.xPort == 0) {
    if ((code & OB_Packet::kSYN) == 0) {
      Stats::count(stats.segmentsExtraneous);
      Stats::count(stats.bytesExtraneous, size);
      return -1;
    }
    if ((code & OB_Packet::kACK) != 0) {
      // A SYN/ACK first: the capture missed the client's SYN, which this one acknowledges. Its
      // sender is the server; the client stays the client.
      setAddressInfo(packet->dstIP, packet->dstPort, packet->srcIP, packet->srcPort);
      sender = &server;
      peer = &client;
      openMissed(client, packet->ackno - 1, *packet);
    } else {
      setAddressInfo(packet->srcIP, packet->srcPort, packet->dstIP, packet->dstPort);
      sender = &client;
      peer = &server;
    }
    Stats::count(stats.connectionsStarted);
  } else if (addressMatch(packet->srcIP, packet->srcPort, packet->dstIP, packet->dstPort)) {
    sender = &client;
    peer = &server;
  } else if (addressMatch(packet->dstIP, packet->dstPort, packet->srcIP, packet->srcPort)) {
    sender = &server;
    peer = &client;
  } else {
    OB_Log::debug("WACKED PACKET!\n");
    return -1;
  }

  lastTime = packet->tv_sec;
  Stats::count(stats.segmentsUsed);
  Stats::count(stats.bytesUsed, size);
  ++sender->xTtlPkts;
  const uint32_t payload = packet->getContentSize();
  if (payload == 0) ++sender->xZeroLen;

  if ((code & OB_Packet::kRST) != 0) sender->xStatus |= OB_PacketStream::kRstSeen;

  if ((code & OB_Packet::kSYN) != 0) {
    sender->xStatus |= OB_PacketStream::kSynSeen;
    sender->xBeginSynch = timeOf(*packet);
    noteSynAck(*peer, *packet);
    sender->xBeginTime = timeOf(*packet);
    sender->xMinSeq = packet->seqno;
    // The SYN takes one sequence number; payload on a SYN is not kept.
    sender->xMaxSeq = packet->seqno + 1 + payload;
  } else {
    // The capture missed the server's SYN/ACK: the client's first segment after its SYN, sent
    // before anything of the server's reached it, acknowledges the server's initial number.
    if (sender == &client && !has(server, OB_PacketStream::kSynSeen) && server.xTtlPkts == 0 &&
        has(client, OB_PacketStream::kSynSeen) && (code & OB_Packet::kACK) != 0 &&
        packet->seqno == client.xMinSeq + 1)
      openMissed(server, packet->ackno - 1, *packet);
    if (!has(*sender, OB_PacketStream::kSynSeen)) {
      // This direction never opened: its payload is not the session's (a RST of a refused
      // connection waits for the sweep, which counts it). A FIN that acknowledges the peer's
      // bytes of this connection still ends the direction, so that the connection ends with its
      // FINs as a whole one does.
      Stats::uncount(stats.segmentsUsed);
      Stats::uncount(stats.bytesUsed, size);
      Stats::count(stats.segmentsExtraneous);
      Stats::count(stats.bytesExtraneous, size);
      if ((code & (OB_Packet::kFIN | OB_Packet::kACK)) == (OB_Packet::kFIN | OB_Packet::kACK) &&
          has(*peer, OB_PacketStream::kSynSeen) && seqDiff(packet->ackno, peer->xMinSeq) > 0 &&
          seqDiff(packet->ackno, peer->xMaxSeq) <= 0) {
        sender->xStatus |= OB_PacketStream::kFinSeen;
        if (has(*peer, OB_PacketStream::kFinSeen)) finished = 1;
      }
      return 0;
    }
    OB_Buffer* buffer = packet->getBuffer();
    if (buffer != nullptr && buffer->getLength() > 0) {
      const uint32_t length = buffer->getLength();
      sender->add(packet);
      sender->xBytXfer += length;
    }
    const uint32_t end = packet->seqno + payload + ((code & OB_Packet::kFIN) != 0 ? 1 : 0);
    if (seqDiff(end, sender->xMaxSeq) > 0) sender->xMaxSeq = end;
    if ((code & OB_Packet::kFIN) != 0) {
      sender->xStatus |= OB_PacketStream::kFinSeen;
    } else if (sender->xBytXfer >= kByteLimit) {
      finished = 1;
      cutOff = 1;
    }
    noteSynAck(*peer, *packet);
  }
  return endsWhenBothEnded();
}

int OB_TCPSession::endsWhenBothEnded() {
  // A FIN ends its own direction only: the peer may go on sending (a client that half-closes
  // still reads its responses). The session ends once both directions have ended, at a RST, or
  // when the idle sweep gives it up.
  if ((has(client, OB_PacketStream::kFinSeen) && has(server, OB_PacketStream::kFinSeen)) ||
      has(client, OB_PacketStream::kRstSeen) || has(server, OB_PacketStream::kRstSeen)) {
    finished = 1;
  }
  return 0;
}

int OB_TCPSession::isRejected() {
  return has(client, OB_PacketStream::kSynSeen) && !has(client, OB_PacketStream::kSynAcked) &&
                 has(server, OB_PacketStream::kRstSeen) && !has(server, OB_PacketStream::kSynSeen)
             ? 1
             : 0;
}

int OB_TCPSession::isUnacked() {
  return has(client, OB_PacketStream::kSynSeen) && !has(client, OB_PacketStream::kSynAcked) &&
                 !has(server, OB_PacketStream::kSynSeen)
             ? 1
             : 0;
}

int OB_TCPSession::timeout() {
  Stats& stats = *getTCPSessionStats();
  if (isRejected()) {
    Stats::count(stats.timedOutRejected);
  } else if (isUnacked()) {
    Stats::count(stats.timedOutUnacked);
  } else if (has(client, OB_PacketStream::kSynSeen) && has(server, OB_PacketStream::kSynSeen)) {
    Stats::count(stats.timedOutComplete);
  } else {
    Stats::count(stats.timedOutNoSyn);
    OB_Log::debug("Timed Out - %s\n", "NO SYN");
    return -1;
  }
  finished = 1;
  return 0;
}

int OB_TCPSession::finish() {
  Stats& stats = *getTCPSessionStats();
  // The rest of a connection cut off at the byte limit was counted with its first piece.
  if (continued == 0) Stats::count(stats.connectionsBuilt);
  Stats::count(stats.bytesCompleted, client.total() + server.total());
  Stats::count(stats.payloadBytes, client.xBytXfer + server.xBytXfer);
  Stats::count(stats.effectiveBytes, sequenceSpan(client) + sequenceSpan(server));
  // Connections whose streams miss bytes: their parse may lack what was lost.
  if (gapCounted == 0 && missesBytes()) Stats::count(stats.timedOutGaps);
  return 0;
}

bool OB_TCPSession::missesBytes() {
  // A piece after a cut counts from where the cut left its directions (continueFrom puts their
  // SYN right before), so bytes lost before its first stored one are missing too.
  return client.hasGap(1) != 0 || server.hasGap(1) != 0;
}

int OB_TCPSession::dump() {
  char clientAddress[16];
  char serverAddress[16];
  OB_Tools::IPAddressString(client.xIPAddr, clientAddress);
  OB_Tools::IPAddressString(server.xIPAddr, serverAddress);
  OB_Log::debug("HTTP: %s:%d (%u bytes)->%s:%d (%u bytes) (srv=%u,net=%u)\n", clientAddress,
                client.xPort, sequenceSpan(client), serverAddress, server.xPort,
                sequenceSpan(server), handshakeDelay(client), handshakeDelay(server));
  return 0;
}

int OB_TCPSession::init() {
  OB_Session::init();
  cutOff = 0;
  continued = 0;
  followed = 0;
  gapCounted = 0;
  carry.reset();
  client.init();
  server.init();
  return 0;
}

int OB_TCPSession::reset() {
  OB_Session::reset();
  cutOff = 0;
  continued = 0;
  followed = 0;
  gapCounted = 0;
  carry.reset();
  client.reset();
  server.reset();
  return 0;
}

int OB_TCPSession::print(FILE* stream) {
  OB_Log::flog(stream, "Client: ");
  OB_Log::flog(stream, "xIPAddr:%9u xPort:%d ", client.xIPAddr, client.xPort);
  client.print(stream);
  OB_Log::flog(stream, "Server: ");
  OB_Log::flog(stream, "xIPAddr:%9u xPort:%d", server.xIPAddr, server.xPort);
  server.print(stream);
  OB_Log::flog(stream, "\n");
  return 0;
}

int OB_TCPSession::printControl(FILE* stream) {
  char clientAddress[16];
  char serverAddress[16];
  OB_Tools::IPAddressString(client.xIPAddr, clientAddress);
  OB_Tools::IPAddressString(server.xIPAddr, serverAddress);
  const OB_PacketStream& c = client;
  const OB_PacketStream& s = server;
  OB_Log::flog(stream, "\n==========================================================\n");
  OB_Log::flog(stream, "Cli(prt)->Serv(prt):  %s(%d) -> %s(%d)\n", clientAddress, c.xPort,
               serverAddress, s.xPort);
  OB_Log::flog(stream, "   xStatus:  \t%20d \t%20d\n", c.xStatus, s.xStatus);
  OB_Log::flog(stream, "   xTtlPkts: \t%20u \t%20u\n", c.xTtlPkts, s.xTtlPkts);
  OB_Log::flog(stream, "   xErrPkts: \t%20u \t%20u\n", c.xErrPkts, s.xErrPkts);
  OB_Log::flog(stream, "   xRepPkts: \t%20u \t%20u\n", c.xRepPkts, s.xRepPkts);
  OB_Log::flog(stream, "   xRanAcks: \t%20u \t%20u\n", c.xRanAcks, s.xRanAcks);
  OB_Log::flog(stream, "   xZeroLen: \t%20u \t%20u\n", c.xZeroLen, s.xZeroLen);
  OB_Log::flog(stream, "   xBytXfer: \t%20u \t%20u\n", c.xBytXfer, s.xBytXfer);
  OB_Log::flog(stream, "   xFinAck: \t%20u \t%20u\n", c.xFinAck, s.xFinAck);
  OB_Log::flog(stream, "   xMinSeq: \t%20u \t%20u\n", c.xMinSeq, s.xMinSeq);
  OB_Log::flog(stream, "   xMaxSeq: \t%20u \t%20u\n", c.xMaxSeq, s.xMaxSeq);
  OB_Log::flog(stream, "   xBeginSynch:   \t%u.%u \t%u.%u\n", c.xBeginSynch.tv_sec,
               c.xBeginSynch.tv_usec, s.xBeginSynch.tv_sec, s.xBeginSynch.tv_usec);
  OB_Log::flog(stream, "   xAckSynch:     \t%u.%u \t%u.%u\n", c.xAckSynch.tv_sec,
               c.xAckSynch.tv_usec, s.xAckSynch.tv_sec, s.xAckSynch.tv_usec);
  OB_Log::flog(stream, "   xBeginTime:    \t%u.%u \t%u.%u\n", c.xBeginTime.tv_sec,
               c.xBeginTime.tv_usec, s.xBeginTime.tv_sec, s.xBeginTime.tv_usec);
  OB_Log::flog(stream, "   xEndTime:      \t%u.%u \t%u.%u\n", c.xEndTime.tv_sec,
               c.xEndTime.tv_usec, s.xEndTime.tv_sec, s.xEndTime.tv_usec);
  return 0;
}
