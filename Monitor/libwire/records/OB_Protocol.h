// One analysed TCP connection (client, server, handshake timing, pairing flags) with the chain
// of its transactions; the base of the HTTP and FTP analysers. Filled once, from a session or
// from an archive record, handed on, then reset for reuse. Used by one thread at a time (under
// its consumer's lock, or inside one reader thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "coding/OB_TextField.h"
#include "records/OB_Data.h"

class OB_Xact;
struct OB_PacketTime;

class OB_Protocol : public virtual OB_Data {
  OB_CLASS_IDENTITY(OB_Protocol, 0x2A5A59F9, "OB_Protocol", OB_Data)

 public:
  // The record's transaction count is 16 bits wide, so a chain holds at most this many.
  static constexpr uint32_t maxXacts = 65535;
  // Response times are stored in 32 bits; longer handshakes are stored as this.
  static constexpr int64_t maxRespTime = 2147483647;

  OB_Protocol();
  // Releases the chain. A subclass whose transactions come from a pool of its own must reset
  // the object before that pool goes.
  ~OB_Protocol() override;

  // The common log lines of the connection; nothing in the base.
  virtual int writeCLF(FILE* stream);
  // Fills the connection fields from an OB_TCPSession (anything else: 0, nothing changed).
  // -1 when the session was a rejected or unacknowledged connection (its flag is set), else 0.
  // Subclasses call this first, then parse the session's byte streams.
  virtual int processObject(OB_Object* object);
  // One new, empty transaction of the subclass's kind (owned by the caller), or null.
  virtual OB_Xact* createXLink() = 0;
  // Appends a new transaction to the chain and returns it (owned by the chain). Null, with
  // problemPairing set, once the chain holds maxXacts; the process ends when createXLink fails.
  virtual OB_Xact* addXLink();
  // The same with the new transaction at the chain's head.
  OB_Xact* addXLinkFirst();
  // Takes xact out of the chain; the caller then owns it.
  void unchainXLink(OB_Xact* xact);
  // The n-th transaction counting from 1 (n <= 1: the head), or null when there are fewer.
  virtual OB_Xact* getCurrentLink(int n);

  // Releases the chain and zeroes every field; xTime becomes now. 0.
  int reset() override;
  int print(FILE* stream) override;
  // The connection record, then one record per transaction in chain order.
  int write(FILE* stream) override;
  // The reverse of write, into an object that reset (or construction) emptied; a chain left by
  // an earlier fill is released first. -1 at a short read, a bad tag, an over-long text or a
  // transaction that fails to read; what was read stays.
  int read(FILE* stream) override;
  uint32_t xTime() override { return connTime; }

  // Transactions in the chain (not a record field).
  uint32_t getXactCount() const { return xactCount; }

  uint32_t connTime = 0;  // seconds since 1970: the session's last segment, else construction/reset
  uint32_t clientIP = 0;  // host order
  OB_TextField<4> reservedA;  // never filled; keeps the record layout
  uint32_t serverIP = 0;  // host order
  OB_TextField<2> reservedB;  // never filled; keeps the record layout
  uint16_t serverPort = 0;
  int32_t serverRespTime = 0;   // µs from the client's SYN to the server's SYN-ACK
  int32_t networkRespTime = 0;  // µs from the server's SYN-ACK to the client's acknowledgement
  int32_t problemPairing = 0;   // 1 when requests and responses did not pair one to one
  int32_t rejectConnect = 0;
  int32_t unackedConnect = 0;
  // The connection's rest after a cut at the session byte limit: its connection was counted
  // with its first piece (readers count only its transactions). Stored as bit 1 of the
  // record's pairing field, so records stay the same size and older ones read as 0.
  int32_t continued = 0;
  uint16_t commRespCount = 0;  // commands (requests) in the chain
  uint16_t respCount = 0;      // responses paired so far
  OB_Xact* head = nullptr;     // owned, with the whole chain
  OB_Xact* tail = nullptr;     // not owned (last of the chain)

  // Microseconds from begin to ack as stored in a response-time field: 0 when either time was
  // never set or ack precedes begin (which logs one debug line naming the field), at most
  // maxRespTime.
  static int32_t responseTime(const OB_PacketTime& ack, const OB_PacketTime& begin,
                              const char* field);

 protected:
  // Counts a parse that stopped before the connection's data ended (counter: a TCP session
  // statistics counter) and logs one debug line naming the connection, the side whose bytes
  // stopped it ("client" or "server") and the reason.
  void countParseStop(std::atomic<uint32_t>& counter, const char* protocol, const char* side,
                      const char* reason);

  // read's record from bytes in memory, as OB_Data::readBytes describes, for a subclass whose
  // record is the connection and its transactions and nothing more; the transactions' kind
  // decides whether there is such a road.
  int readConnectionBytes(OB_ArchiveBytes& bytes);

 private:
  static constexpr int32_t kContinuedBit = 2;
  // The record's pairing field: problemPairing with continued in bit 1; and back.
  int32_t pairingField() const;
  void takePairingField();
  void releaseChain();
  void clearFields();
  uint32_t countChain();

  uint32_t xactCount = 0;
};
