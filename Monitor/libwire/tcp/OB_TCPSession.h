// One TCP connection seen on the wire, rebuilt from the captured segments of both directions.
// The stream builder feeds it segments (processObject) on the capture thread under its hash lock,
// asks it to give up when idle (needToPack, timeout), and finishes it (finish) before the
// consumers parse its two streams. The session has no lock of its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "tcp/OB_PacketStream.h"
#include "tcp/OB_Session.h"

class OB_Packet;

// What one protocol's analyser keeps in a parse carry beyond the fields every analyser shares:
// made by that analyser (the HTTP analyser's holds its transactions), the carry's to own.
struct OB_ProtocolCarry {
  virtual ~OB_ProtocolCarry() = default;
};

// What the parse of one piece of a connection cut at the byte limit leaves for the piece that
// continues it; the pieces of one connection share it and are parsed in order, on the stream
// builder's thread.
struct OB_ParseCarry {
  bool set = false;   // an earlier piece was parsed and filled this in
  bool lost = false;  // its pairing ended where the rest cannot be placed
  uint32_t owed = 0;  // its requests still without a response: the next responses are theirs
  // Per direction (0 client, 1 server): the sequence number where the next message begins,
  // when the earlier piece ended at a message's end or inside a body of known length.
  bool nextKnown[2] = {false, false};
  uint32_t next[2] = {0, 0};
  // The unfinished line or head the earlier piece ended inside of (its first byte at next), at
  // most kTailLimit bytes: the next piece parses it in front of its own bytes.
  static constexpr size_t kTailLimit = 65536;
  std::string tail[2];
  // The analyser's own part (null until it makes one); shared when the carry is copied.
  std::shared_ptr<OB_ProtocolCarry> protocol;
};

class OB_TCPSession : public OB_Session {
  OB_CLASS_IDENTITY(OB_TCPSession, 0x411CDB07, "OB_TCPSession", OB_Session)
  OB_CLASS_CREATE(OB_TCPSession)

 public:
  // A direction that has carried this many payload bytes finishes the session: a long transfer
  // is cut off there and handed on, and the stream builder follows the rest of the connection
  // in a session that continues this one (continueFrom).
  static constexpr uint32_t kByteLimit = 1228800;

  OB_TCPSession() = default;
  OB_TCPSession(const OB_TCPSession&) = delete;
  OB_TCPSession& operator=(const OB_TCPSession&) = delete;

  // One line on the debug log: both ends, the bytes each sent and the handshake delays.
  virtual int dump();
  // Every direction field side by side, client first.
  virtual int printControl(FILE* stream);
  // Gives up an idle session: counts why and marks it finished; -1, unfinished, when the client
  // never sent a SYN.
  virtual int timeout();
  // Adds the session's figures to the process-wide statistics, among them whether either
  // stream misses bytes (the discontiguous count, which counts a connection cut at kByteLimit
  // once, however many of its pieces miss bytes). 0.
  virtual int finish();
  // The client's SYN was answered by a RST only.
  virtual int isRejected();
  // The client's SYN was never answered.
  virtual int isUnacked();
  virtual int setAddressInfo(uint32_t clientIP, uint16_t clientPort, uint32_t serverIP,
                             uint16_t serverPort);
  // 1 when (a1, p1) is the client and (a2, p2) the server, else 0.
  virtual int addressMatch(uint32_t a1, uint16_t p1, uint32_t a2, uint16_t p2);
  // Takes up the connection of a session cut off at kByteLimit: same ends, both directions as
  // opened (and acknowledged, or ended by a FIN) there, nothing stored yet; marked continued. 0.
  virtual int continueFrom(OB_TCPSession& earlier);
  // Whether kByteLimit finished the session (rather than a FIN, a RST or a time-out).
  int isCutOff() const { return cutOff; }
  // Whether the session continues one cut off: its streams begin inside the conversation, so
  // its parsers look for the first message rather than expect one at the start.
  int isContinued() const { return continued; }
  // Whether a session continues this one (continueFrom was called with it): only then does
  // what its parse leaves in the carry reach a next piece.
  int isFollowed() const { return followed; }

  // 1 when the packet opens a new connection on this session's addresses: a SYN without ACK
  // from the client whose sequence number is not that of the SYN that opened this one (a
  // retransmitted SYN repeats it). The session's end then went uncaptured or is still held.
  virtual int isReopenedBy(OB_Packet* packet);

  // Takes one segment (an OB_Packet). A FIN ends its direction; the session is finished once
  // both directions have ended, at a RST from either, or at kByteLimit. 0 when taken or counted
  // as extraneous from a known side (also for an object that is no packet), -1 when refused
  // (session finished, fresh session without SYN, addresses of another connection).
  int processObject(OB_Object* object) override;
  // Clear the session and both directions; reset also releases the stored payload buffers.
  int init() override;
  int reset() override;
  int print(FILE* stream) override;

  OB_PacketStream client;  // sent by the side whose SYN opened the session
  OB_PacketStream server;
  // Shared by the pieces of a connection cut at the byte limit (made by continueFrom); null
  // for a connection in one piece. Released by reset.
  std::shared_ptr<OB_ParseCarry> carry;

 private:
  // Whether either stream misses bytes from its SYN on (for a piece after a cut, from where the
  // cut left it).
  bool missesBytes();
  // Marks the session finished once both directions have sent their FIN or either a RST. 0.
  int endsWhenBothEnded();

  int cutOff = 0;
  int continued = 0;
  int followed = 0;
  // An earlier piece of the connection was counted as discontiguous.
  int gapCounted = 0;
};
