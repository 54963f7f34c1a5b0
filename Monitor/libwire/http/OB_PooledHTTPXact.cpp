#include "http/OB_PooledHTTPXact.h"

int OB_PooledHTTPXact::init() {
  OB_MemoryPoolObject<OB_PooledHTTPXact, OB_HTTPXact>::init();
  OB_Link<OB_Xact>::init();
  setItem(nullptr);
  return 0;
}

int OB_PooledHTTPXact::reset() { return OB_HTTPXact::reset(); }

int OB_PooledHTTPXact::print(FILE* stream) { return OB_HTTPXact::print(stream); }
