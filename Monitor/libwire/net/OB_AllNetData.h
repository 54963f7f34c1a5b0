// One interval of network statistics: every captured frame counted by protocol-spec node (each
// also counting towards its ancestors) and, with path tracking, per directed IPv4 address pair
// with the pair's own protocol counts, plus the interval totals its owner stamps on it. The
// capture engine's network consumer feeds it frames and hands it to the network archive writer
// once per interval; the analysis engine reads such records back.
//
// Locks: the record's own OB_Mutex guards the counts, the protocol list and the table pointer
// (frames arrive on the capture thread while the owner writes or resets on another); the pair
// table also has its own lock. The interval totals are set by the owner while no frame can
// reach the record.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Mutex.h"
#include "OB_Object.h"
#include "net/OB_AddrPair.h"
#include "net/OB_ProtoCountList.h"
#include "pool/OB_IndexedHash.h"
#include "pool/OB_LinkedHash.h"
#include "records/OB_Data.h"

class OB_Config;
class OB_Packet;

// An address pair by its two addresses, for the pair table's index.
struct OB_AddrPairKey {
  using Key = uint64_t;
  static Key keyOf(OB_AddrPair* pair) { return of(pair->srcIP, pair->dstIP); }
  static Key of(uint32_t source, uint32_t destination) {
    return uint64_t{source} << 32 | destination;
  }
  static uint64_t hash(const Key& key) { return key ^ key >> 29; }
};

class OB_AllNetData : public virtual OB_Data, public virtual OB_Mutex, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_AllNetData, 0x2BE2BF74, "OB_AllNetData", OB_Data)
  OB_CLASS_CREATE(OB_AllNetData)

 public:
  // Its chains keep the order the archive stores; a frame finds its pair through the index.
  using PairTable = OB_IndexedHash<OB_AddrPair, OB_AddrPairKey>;
  static constexpr int kBuckets = 1024;
  // Address pairs made in one interval at most: frames of further pairs still count by
  // protocol, but a flood of spoofed addresses cannot take the process's memory.
  static constexpr int32_t kMaxPairs = 262144;

  // Counters 0, no protocol counts, no table (init makes it). pathTracking not 0: frames are also
  // counted per address pair.
  explicit OB_AllNetData(int pathTracking = 1);
  OB_AllNetData(const OB_AllNetData&) = delete;
  OB_AllNetData& operator=(const OB_AllNetData&) = delete;
  ~OB_AllNetData() override;

  // The middle of the interval, rounded down: startTime + (stopTime - startTime) / 2 when the
  // interval runs forward, and the same middle when the two were stamped the other way round.
  uint32_t xTime() override;
  // The table's element count, then every pair, bucket by bucket; a null stream means the log.
  virtual int printHash(FILE* stream);
  // Kept for the owner (not owned, may be null). 0.
  virtual int setConfig(OB_Config* config);
  virtual OB_Config* getConfig() { return config_; }
  // Counts one frame (an OB_Packet; anything else is passed over) by its protocol-spec id and
  // captured size, and by address pair when path tracking is on and it carries IPv4. Nothing is
  // allocated for a protocol or pair already counted in this interval. Always 0.
  virtual int processObject(OB_Object* object);

  // Makes the 1024-bucket pair table, owning its pairs, when there is none. 0.
  int init() override;
  // Counters, pair count and protocol counts to 0, the pair table deleted (init makes a new one;
  // a frame or read before that makes it too). 0.
  int reset() override;
  // The counters through the log's flog (a null stream means the log), then the protocol counts.
  int print(FILE* stream) override;
  // The record, flushed: tag, the seven counters (4 bytes each), the protocol counts (16-bit
  // number, 12-byte entries), path tracking (4), the pair table. A failed write ends the process.
  int write(FILE* stream) override;
  // The write form into this record; the protocol counts read replace those held. The table must
  // be empty (a table holding pairs ends the process). -1 when any part is cut short or a pair
  // table comes with path tracking 0, else 0.
  int read(FILE* stream) override;

  int getPathTracking() const { return pathTracking_; }
  // Address pairs made since the last reset (or read).
  int32_t getPairCount() const { return pairCount_; }
  // The protocol counts and the table; read them while holding the record's lock when frames
  // may still arrive. The table is null before init and after reset.
  const OB_ProtoCountList& getProtoCounts() const { return protoAcceptedList_; }
  PairTable* getPairTable() { return table_; }

  // Interval totals, filled in by the owner. Seconds since 1970 for the times.
  uint32_t startTime = 0;
  uint32_t stopTime = 0;
  uint32_t packsSeen = 0;
  uint32_t bytesSeen = 0;
  uint32_t reportedDropped = 0;
  uint32_t packsAccepted = 0;
  uint32_t bytesAccepted = 0;

 protected:
  // Counts the frame for its directed address pair, making the pair on its first frame.
  // Called under the record's lock. 0, or -1 when the pair could not be made.
  virtual int processIPPair(OB_Packet* packet);
  // Path tracking (4 bytes), then the table's file form; flushes. A failed write ends the
  // process, as does a pair count without path tracking.
  virtual int writeHashTable(FILE* stream);
  // Path tracking, then the table. -1 when cut short or a pair table comes with path tracking 0.
  virtual int readHashTable(FILE* stream);

  int32_t maxPairs_ = kMaxPairs;  // tests lower it

 private:
  PairTable* makeTable();

  int pathTracking_;
  int32_t pairCount_ = 0;
  bool pairLimitLogged_ = false;
  OB_ProtoCountList protoAcceptedList_;
  PairTable* table_ = nullptr;    // owned
  OB_Config* config_ = nullptr;   // not owned
};
