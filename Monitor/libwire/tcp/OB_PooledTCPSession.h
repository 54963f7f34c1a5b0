// The TCP session the capture engine actually uses: it lives in the stream builder's session
// pool, is chained through its own link in a bucket of the stream builder's session hash, and on
// its last release is reset (its payload buffers go back to their pools) and returns to its queue.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Key.h"
#include "OB_Link.h"
#include "pool/OB_MemoryPoolObject.h"
#include "tcp/OB_TCPSession.h"

class OB_PooledTCPSession : public OB_TCPSession,
                            public OB_MemoryPoolObject<OB_PooledTCPSession, OB_TCPSession>,
                            public OB_Key<uint32_t>,
                            public OB_Link<OB_Object> {
 public:
  // It has no identifier of its own: it answers the pool part's faces (0x2BE2BF77, OB_Mutex,
  // OB_ReferenceCounter, OB_Object), then OB_Link, OB_Compare, the key, OB_TCPSession and
  // OB_Session. Callers ask for the face they use.
  static OB_ClassID getClassID() = delete;
  const char* getClassName() override { return "OB_PooledTCPSession"; }
  int queryInterface(OB_ClassID id, void** out) override;

  OB_PooledTCPSession() = default;
  ~OB_PooledTCPSession() override = default;

  // Clears the pool part (no queue, no users) and the chain link, then the session. Pools call it
  // once for each object when they build a queue. 0.
  int init() override;
  // Clears the session and releases its payload buffers; the pool calls it when the session is
  // taken and when it comes back. 0.
  int reset() override;
  int print(FILE* stream) override { return OB_TCPSession::print(stream); }
};
