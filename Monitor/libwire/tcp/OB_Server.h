// One watched server (an address or a list of addresses, and a TCP port) and the process-wide
// list of them. Every definition stands in the list from construction to destruction; the
// capture engine keeps only frames to or from a listed server (isWatchedPacket). The analysis
// engine's HTTP and FTP server definitions derive from OB_Server.
//
// The capture thread never walks the list itself: each change of membership or of a listed
// definition's address, type or port republishes an immutable snapshot of the filter data under
// the list's lock, and isWatchedPacket reads the current snapshot without taking that lock. So
// the filter never waits for the analysis engine, and never calls into a definition that is half
// built or half destroyed.
#pragma once

#include <cstdint>

#include "OB_List.h"
#include "OB_Object.h"

class OB_Packet;

class OB_Server : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Server, 0x166472A2, "OB_Server", OB_Object)
  OB_CLASS_CREATE(OB_Server)

 public:
  static constexpr int kNameSize = 512;
  static constexpr int kMaxAddresses = 32;

  // Cleared, and appended to the global list.
  OB_Server();
  // Copies every field; the copy is not in the list.
  OB_Server(const OB_Server& other);
  // Copies every field but keeps this object's list membership (republished when listed).
  OB_Server& operator=(const OB_Server& other);
  // Takes the definition out of the list and the filter.
  ~OB_Server() override;

  virtual const char* getName() { return name; }
  // Type 0's address; type 1's listed addresses (at most kMaxAddresses), host order.
  uint32_t getIPAddress() const { return ipAddress; }
  int getAddressCount() const {
    return numAddresses < kMaxAddresses ? numAddresses : kMaxAddresses;
  }
  uint32_t getAddress(int i) const { return i >= 0 && i < getAddressCount() ? addresses[i] : 0; }
  virtual uint16_t getPort() { return port; }
  virtual uint8_t getServerType() { return serverType; }
  // Copies at most 511 characters of s; a longer text is cut. Null gives an empty name.
  virtual int setName(const char* s);
  // The setters of filter data republish a listed definition.
  virtual int setServerType(uint8_t type);
  virtual int setIPAddress(uint32_t ip);  // host order
  virtual int setPort(uint16_t serverPort);
  // Type 1's addresses: the first count of list (at most kMaxAddresses kept), host order.
  virtual int setAddresses(const uint32_t* list, int count);
  // Type 0: ip is the address. Type 1: ip is one of the first numAddresses entries (at most the
  // 32 the array holds). Another type ends the process.
  virtual int isInRange(uint32_t ip);
  // 1 when serverPort is the port (compared first) and isInRange(ip) answers non-zero.
  virtual int isMatch(uint32_t ip, uint16_t serverPort);
  // 1: the definition wants the packets that match it. The filter asks it with a null packet,
  // once per publication, and keeps the answer; a derived definition that answers 0 there takes
  // no packets. (OB_Server's constructor publishes before a derived part exists, so a derived
  // definition that answers otherwise calls publish at the end of its own constructor.)
  virtual int isNeeded(OB_Packet* packet);
  // The protocol whose consumer archives the definition's sessions ("http", "ftp"), or null for
  // a definition that only filters frames. A literal: the filter keeps the pointer.
  virtual const char* getProtocolName() { return nullptr; }

  // Clears every field (list membership unchanged, the filter republished); 0.
  int init() override;

  // Republishes this definition's filter data when it is listed. Derived definitions that fill
  // addresses or numAddresses directly call it once they are done. 0.
  virtual int publish();

 protected:
  // Not locked: a definition is filled in by one thread, and the filter sees it only through the
  // snapshots that publish makes.
  uint8_t serverType = 0;   // 0: one address; 1: a list of addresses
  uint32_t ipAddress = 0;   // type 0, host order
  char name[kNameSize] = {};
  uint16_t numAddresses = 0;  // entries of addresses used by type 1; more than 32 reads 32
  uint32_t addresses[kMaxAddresses] = {};  // type 1, host order
  uint16_t port = 0;
  char filterName[kNameSize] = {};  // kept and copied for derived definitions; unused here

 private:
  void clearFields();
  bool listed_ = false;  // in the global list; changed only under its lock
};

// The global list of definitions (never null). It only refers to them: each belongs to whoever
// made it. Membership changes only through OB_Server's constructor and destructor; a caller
// that walks the list holds its lock.
OB_List<OB_Server>* getServerList();

// 1 when some listed definition that is needed matches the packet's source address and port or
// its destination address and port, else 0 (so 0 for every frame while no definition exists).
// Reads the current snapshot and takes no lock: for the capture thread.
int isWatchedPacket(OB_Packet* packet);
// 1 when some listed definition of that protocol (getProtocolName) matches the server's address
// and port (host order), else 0. Takes no lock, as isWatchedPacket: for the capture's threads.
int isWatchedServer(const char* protocol, uint32_t ip, uint16_t port);
