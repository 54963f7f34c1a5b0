// One entry of the analysis engine's domain-name cache: an IPv4 address and the host name found
// for it (or its dotted quad when it has none). The cache table chains its entries through their
// own link part and keeps them, by bucket index only, from start-up to shut-down; counters
// elsewhere keep plain pointers to m_pDNS for as long as the table lives.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_Object.h"

class OB_Domain : public virtual OB_Link<OB_Domain>,
                  public virtual OB_Compare,
                  public virtual OB_Key<uint32_t>,
                  public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Domain, 0x2371E111, "OB_Domain", OB_Compare, OB_Object,
                    OB_Link<OB_Domain>, OB_Key<uint32_t>)
  OB_CLASS_CREATE(OB_Domain)

 public:
  // Longest name the file form holds; longer names are refused by write and read alike.
  static constexpr int kMaxName = 2048;

  // name null: no name. The key reads 0xFFFFFFFF until a table adds the entry.
  explicit OB_Domain(uint32_t address = 0, const char* name = nullptr);
  OB_Domain(const OB_Domain&) = delete;
  OB_Domain& operator=(const OB_Domain&) = delete;
  ~OB_Domain() override;

  // Address 0 and no name (the name held before is freed).
  int init() override;
  // 0 when other is no domain entry; else 1 when this address is the smaller, -1 when larger,
  // 0 when equal (unsigned comparison).
  int compare(OB_Compare* other, int how) override;
  int print(FILE* stream) override;
  // The address (32 bits, little-endian) and the name as a 16-bit length and its bytes. -1 when
  // a write falls short or the name is longer than kMaxName.
  int write(FILE* stream) override;
  // The write form. A length of 0 reads as the empty name (never null). -1 on a short read or a
  // length above kMaxName; the entry is then left as it was.
  int read(FILE* stream) override;

  // Gives the entry the name its look-up found, once, and marks it settled. The name it held
  // (its dotted quad) stays valid as long as the entry: counters keep plain pointers to it.
  void settle(const char* name);

  uint32_t m_IP = 0;         // host byte order
  char* m_pDNS = nullptr;    // owned (C heap); may be null only for an entry built without name
  // True while the entry holds its dotted quad in place of a name no look-up has given yet
  // (waiting for the resolver, or dropped from its full queue): not written to the file, so
  // that the next run asks again. Read and changed under the cache's lock.
  bool pending = false;
  // For a pending entry whose look-up failed: the steady clock's second (AnalysisHash's) from
  // which it may be asked again; 0 while no look-up of it has failed. Under the cache's lock.
  uint32_t retryAt = 0;

 private:
  char* before_ = nullptr;  // owned: the name settle replaced
};
