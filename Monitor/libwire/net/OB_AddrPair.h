// The traffic from one IPv4 address to another within a network statistics interval: packets,
// bytes and their protocol counts. Directed: A to B and B to A are two pairs. The statistics
// record keeps its pairs in a hash table whose chains run through the pairs' own links; the
// record's lock guards the counts.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_Object.h"
#include "net/OB_ProtoCountList.h"

class OB_AddrPair : public virtual OB_Link<OB_AddrPair>,
                    public virtual OB_Key<uint32_t>,
                    public virtual OB_CalcHash,
                    public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_AddrPair, 0x053758B2, "OB_AddrPair", OB_Link<OB_AddrPair>,
                    OB_Key<uint32_t>, OB_CalcHash)
  OB_CLASS_CREATE(OB_AddrPair)

 public:
  // Addresses host order; counts 0.
  explicit OB_AddrPair(uint32_t source = 0, uint32_t destination = 0);
  OB_AddrPair(const OB_AddrPair&) = delete;
  OB_AddrPair& operator=(const OB_AddrPair&) = delete;

  // The bucket of a pair: (source OR destination) modulo the bucket count, so with 1024 buckets
  // (source OR destination) AND 0x3FF. -1 for a bucket count below 1.
  static int bucketOf(uint32_t source, uint32_t destination, int modulus);

  // One frame of `size` bytes classified as protocol-spec node psid.
  virtual void count(uint16_t psid, uint32_t size);

  int calcHash(int modulus) override { return bucketOf(srcIP, dstIP, modulus); }
  // 0 when the other is a pair with the same source and destination.
  int compare(OB_Compare* other, int how) override;
  // Unchains the link part only; the counts stay.
  int init() override { return OB_Link<OB_AddrPair>::init(); }
  int reset() override { return 0; }
  // The two addresses and counts, then the protocol counts; a null stream means the log.
  int print(FILE* stream) override;
  // Source, destination, packets, bytes (4 each), then the protocol counts (16-bit number and
  // 12-byte entries), little-endian. 0, or -1 when a write fails.
  int write(FILE* stream) override;
  // The write form; -1 when it is cut short.
  int read(FILE* stream) override;

  uint32_t srcIP = 0;  // host order
  uint32_t dstIP = 0;
  uint32_t packs = 0;
  uint32_t bytes = 0;
  OB_ProtoCountList protocols;
};
