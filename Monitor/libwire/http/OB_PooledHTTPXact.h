// An HTTP transaction that lives in a memory pool: the HTTP analyser takes its transactions from
// its own pool, and the last release of one (when its protocol object is reset) empties it and
// gives it back instead of freeing it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Key.h"
#include "http/OB_HTTPXact.h"
#include "pool/OB_MemoryPoolObject.h"

class OB_PooledHTTPXact : public OB_HTTPXact,
                          public OB_MemoryPoolObject<OB_PooledHTTPXact, OB_HTTPXact>,
                          public OB_Key<uint32_t> {
  OB_CLASS_CREATE(OB_PooledHTTPXact)

 public:
  // It answers exactly what OB_HTTPXact answers and has no identifier of its own, so it cannot
  // be asked for with obQuery (that would hand out its OB_HTTPXact face as this class).
  static OB_ClassID getClassID() = delete;
  const char* getClassName() override { return "OB_PooledHTTPXact"; }
  int queryInterface(OB_ClassID id, void** out) override {
    return OB_HTTPXact::queryInterface(id, out);
  }

  OB_PooledHTTPXact() = default;
  ~OB_PooledHTTPXact() override = default;

  // Clears the chain link (no neighbours, no item) and the pool part (no queue, no users). Pools
  // call it once for each object when they build a queue. 0.
  int init() override;
  // Empties every field; the pool calls it when the transaction is taken and when it comes back.
  int reset() override;
  int print(FILE* stream) override;
};
