#include "tcp/OB_PooledTCPSession.h"

int OB_PooledTCPSession::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (OB_MemoryPoolObject<OB_PooledTCPSession, OB_TCPSession>::queryInterface(id, out) == 0 ||
      OB_Link<OB_Object>::queryInterface(id, out) == 0 ||
      OB_Key<uint32_t>::queryInterface(id, out) == 0 ||
      OB_TCPSession::queryInterface(id, out) == 0) {
    return 0;
  }
  *out = nullptr;
  return -1;
}

int OB_PooledTCPSession::init() {
  OB_MemoryPoolObject<OB_PooledTCPSession, OB_TCPSession>::init();
  // The link holds no item: an item that were the session itself would make the link's
  // comparison ask itself again.
  OB_Link<OB_Object>::init();
  setItem(nullptr);
  setKey(0);
  return OB_TCPSession::init();
}

int OB_PooledTCPSession::reset() { return OB_TCPSession::reset(); }
