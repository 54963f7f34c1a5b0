#include "records/OB_Protocol.h"

#include <sys/time.h>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"
#include "records/OB_Xact.h"
#include "tcp/OB_PacketStream.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

namespace {
uint32_t now() {
  struct timeval tv;
  OB_Tools::gettimeofday(&tv, nullptr);
  return static_cast<uint32_t>(tv.tv_sec);
}
}  // namespace

OB_Protocol::OB_Protocol() { connTime = now(); }

OB_Protocol::~OB_Protocol() { releaseChain(); }

void OB_Protocol::releaseChain() {
  // releaseChain walks the chain in a loop and reads each link's successor before releasing it.
  if (head != nullptr) head->releaseChain();
  head = nullptr;
  tail = nullptr;
  xactCount = 0;
}

void OB_Protocol::clearFields() {
  clientIP = 0;
  reservedA.clear();
  serverIP = 0;
  reservedB.clear();
  serverPort = 0;
  serverRespTime = 0;
  networkRespTime = 0;
  problemPairing = 0;
  rejectConnect = 0;
  unackedConnect = 0;
  continued = 0;
  commRespCount = 0;
  respCount = 0;
}

int OB_Protocol::reset() {
  releaseChain();
  clearFields();
  connTime = now();
  return 0;
}

int OB_Protocol::writeCLF(FILE* /*stream*/) { return 0; }

void OB_Protocol::countParseStop(std::atomic<uint32_t>& counter, const char* protocol,
                                 const char* side, const char* reason) {
  OB_TCPSessionStats::count(counter);
  char client[16];
  char server[16];
  OB_Tools::IPAddressString(clientIP, client);
  OB_Tools::IPAddressString(serverIP, server);
  OB_Log::debug("%s: %s > %s:%u: parse stopped in the %s's bytes: %s\n", protocol, client, server,
                static_cast<unsigned>(serverPort), side, reason);
}

int32_t OB_Protocol::responseTime(const OB_PacketTime& ack, const OB_PacketTime& begin,
                                  const char* field) {
  bool ackSet = ack.tv_sec != 0 || ack.tv_usec != 0;
  bool beginSet = begin.tv_sec != 0 || begin.tv_usec != 0;
  // A handshake half that was never captured leaves its time at 0: no response time is known.
  if (!ackSet || !beginSet) return 0;
  struct timeval a = {static_cast<time_t>(ack.tv_sec), static_cast<suseconds_t>(ack.tv_usec)};
  struct timeval b = {static_cast<time_t>(begin.tv_sec), static_cast<suseconds_t>(begin.tv_usec)};
  int64_t micros = OB_Tools::timeSubtract(&a, &b);
  if (micros < 0) {
    OB_Log::debug("HTTPParser_parseStream: !! %s < 0 (%u < %u)", field, ack.tv_sec, begin.tv_sec);
    return 0;
  }
  if (micros > maxRespTime) return static_cast<int32_t>(maxRespTime);
  return static_cast<int32_t>(micros);
}

int OB_Protocol::processObject(OB_Object* object) {
  OB_TCPSession* session = obQuery<OB_TCPSession>(object);
  if (session == nullptr) return 0;

  // The record's time is when the connection was last active on the wire, not when this
  // reused object was last reset.
  if (session->lastTime != 0) connTime = session->lastTime;
  continued = session->isContinued() != 0 ? 1 : 0;

  OB_PacketStream& client = session->client;
  OB_PacketStream& server = session->server;
  serverRespTime = responseTime(client.xAckSynch, client.xBeginSynch, "serverRespTime");
  networkRespTime = responseTime(server.xAckSynch, server.xBeginSynch, "networkRespTime");
  clientIP = client.xIPAddr;
  serverIP = server.xIPAddr;
  serverPort = server.xPort;

  if (session->isRejected() != 0) {
    rejectConnect = 1;
    return -1;
  }
  if (session->isUnacked() != 0) {
    unackedConnect = 1;
    return -1;
  }
  return 0;
}

int32_t OB_Protocol::pairingField() const {
  return (problemPairing & 1) | (continued != 0 ? kContinuedBit : 0);
}

void OB_Protocol::takePairingField() {
  continued = (problemPairing & kContinuedBit) != 0 ? 1 : 0;
  problemPairing &= ~kContinuedBit;
}

OB_Xact* OB_Protocol::addXLink() {
  if (xactCount >= maxXacts) {
    // The record cannot count more; further transactions of this connection are not kept.
    problemPairing = 1;
    return nullptr;
  }
  OB_Xact* xact = createXLink();
  if (xact == nullptr) OB_Log::quit("FTPAddXLink: No more memory");
  xact->unlink();
  xact->setItem(xact);
  if (tail == nullptr) {
    head = xact;
  } else {
    tail->insertAfter(xact);
  }
  tail = xact;
  ++xactCount;
  return xact;
}

OB_Xact* OB_Protocol::addXLinkFirst() {
  OB_Xact* first = head;
  OB_Xact* xact = addXLink();
  if (xact == nullptr || first == nullptr || first == xact) return xact;
  unchainXLink(xact);
  xact->setItem(xact);
  first->insertBefore(xact);
  head = xact;
  ++xactCount;
  return xact;
}

void OB_Protocol::unchainXLink(OB_Xact* xact) {
  OB_Xact* before = xact->prevItem();
  OB_Xact* after = xact->nextItem();
  if (head == xact) head = after;
  if (tail == xact) tail = before;
  xact->removeSelf();
  --xactCount;
}

OB_Xact* OB_Protocol::getCurrentLink(int n) {
  OB_Xact* xact = head;
  for (int i = 1; i < n && xact != nullptr; ++i) xact = xact->nextItem();
  return xact;
}

uint32_t OB_Protocol::countChain() {
  uint32_t count = 0;
  for (OB_Xact* xact = head; xact != nullptr; xact = xact->nextItem()) ++count;
  return count;
}

int OB_Protocol::print(FILE* stream) {
  char client[16];
  char server[16];
  OB_Tools::IPAddressString(clientIP, client);
  OB_Tools::IPAddressString(serverIP, server);
  OB_Log::flog(stream, "Protocol Connection Parse:\n");
  OB_Log::flog(stream, "--------------------------\n");
  OB_Log::flog(stream, "xTime           = %d\n", static_cast<int>(connTime));
  OB_Log::flog(stream, "clientIP        = %s\n", client);
  OB_Log::flog(stream, "serverIP        = %s\n", server);
  OB_Log::flog(stream, "serverPort      = %d\n", serverPort);
  OB_Log::flog(stream, "serverRespTime  = %d\n", serverRespTime);
  OB_Log::flog(stream, "networkRespTime = %d\n", networkRespTime);
  OB_Log::flog(stream, "rejectConnect   = %d\n", rejectConnect);
  OB_Log::flog(stream, "unackedConnect  = %d\n", unackedConnect);
  if (continued != 0) OB_Log::flog(stream, "continued       = 1\n");
  OB_Log::flog(stream, "commRespCount   = %d\n", commRespCount);
  OB_Log::flog(stream, "respCount       = %d\n", respCount);
  OB_Log::flog(stream, "problemPairing = %d%s", problemPairing,
               problemPairing == 1 ? "  !!PROBLEM PAIRING!!\n" : "\n");
  OB_Log::flog(stream, "Command/Response pairs:\n");
  // The transactions go to the same stream as the connection they belong to.
  for (OB_Xact* xact = head; xact != nullptr; xact = xact->nextItem()) xact->print(stream);
  return 0;
}

int OB_Protocol::write(FILE* stream) {
  // A reader takes exactly as many transaction records as the count says, so the count written
  // is the chain's true length even if a parser's tally drifted from it.
  uint32_t records = countChain();
  uint16_t count = commRespCount;
  if (records != commRespCount) {
    OB_Log::debug("OB_Protocol::write: commRespCount %u but %u transactions\n", commRespCount,
                  records);
    count = static_cast<uint16_t>(records);
  }
  if (OB_Data::write(stream) != 0) return -1;
  if (OB_ArchiveIO::writeU32(stream, connTime) != 0) return -1;
  if (OB_ArchiveIO::writeU32(stream, clientIP) != 0) return -1;
  if (reservedA.write(stream) != 0) return -1;
  if (OB_ArchiveIO::writeU32(stream, serverIP) != 0) return -1;
  if (reservedB.write(stream) != 0) return -1;
  if (OB_ArchiveIO::writeU16(stream, serverPort) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, serverRespTime) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, networkRespTime) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, rejectConnect) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, unackedConnect) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, pairingField()) != 0) return -1;
  if (OB_ArchiveIO::writeU16(stream, count) != 0) return -1;
  if (OB_ArchiveIO::writeU16(stream, respCount) != 0) return -1;
  if (head != nullptr && head->writeList(stream) != 0) return -1;
  return 0;
}

int OB_Protocol::read(FILE* stream) {
  if (head != nullptr) releaseChain();
  if (OB_Data::read(stream) != 0) return -1;
  if (OB_ArchiveIO::readU32(stream, &connTime) != 0) return -1;
  if (OB_ArchiveIO::readU32(stream, &clientIP) != 0) return -1;
  if (reservedA.read(stream) != 0) return -1;
  if (OB_ArchiveIO::readU32(stream, &serverIP) != 0) return -1;
  if (reservedB.read(stream) != 0) return -1;
  if (OB_ArchiveIO::readU16(stream, &serverPort) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &serverRespTime) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &networkRespTime) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &rejectConnect) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &unackedConnect) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &problemPairing) != 0) return -1;
  takePairingField();
  if (OB_ArchiveIO::readU16(stream, &commRespCount) != 0) return -1;
  if (OB_ArchiveIO::readU16(stream, &respCount) != 0) return -1;
  for (uint32_t i = 0; i < commRespCount; ++i) {
    OB_Xact* xact = addXLink();
    if (xact == nullptr || xact->read(stream) != 0) return -1;
  }
  return 0;
}

int OB_Protocol::readConnectionBytes(OB_ArchiveBytes& bytes) {
  constexpr int kShort = OB_ArchiveBytes::kShort;
  if (head != nullptr) releaseChain();
  if (int result = readTag(bytes); result != 0) return result;
  if (!bytes.getU32(&connTime) || !bytes.getU32(&clientIP)) return kShort;
  if (int result = reservedA.read(bytes); result != 0) return result;
  if (!bytes.getU32(&serverIP)) return kShort;
  if (int result = reservedB.read(bytes); result != 0) return result;
  if (!bytes.getU16(&serverPort) || !bytes.getI32(&serverRespTime) ||
      !bytes.getI32(&networkRespTime) || !bytes.getI32(&rejectConnect) ||
      !bytes.getI32(&unackedConnect) || !bytes.getI32(&problemPairing) ||
      !bytes.getU16(&commRespCount) || !bytes.getU16(&respCount))
    return kShort;
  takePairingField();
  for (uint32_t i = 0; i < commRespCount; ++i) {
    OB_Xact* xact = addXLink();
    if (xact == nullptr) return -1;
    if (int result = xact->readBytes(bytes); result != 0) return result;
  }
  return 0;
}
