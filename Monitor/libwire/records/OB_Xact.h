// One transaction of a protocol object: a command or request with the response paired with it.
// Transactions are chained through their own link part (the item of each link is the
// transaction itself) and archived inside their protocol object's record, in chain order.
#pragma once

#include <cstdio>

#include "OB_Link.h"
#include "OB_Object.h"

class OB_ArchiveBytes;

class OB_Xact : public virtual OB_Link<OB_Xact>, public virtual OB_Compare, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Xact, 0xE91109A1, "OB_Xact", OB_Link<OB_Xact>, OB_Compare, OB_Object)

 public:
  // Writes this transaction's record, then those of the transactions after it, in a loop so a
  // long chain cannot exhaust the stack. 0, or -1 at the first record not fully written.
  virtual int writeList(FILE* stream);
  // Reads this transaction's record, then those of the transactions after it. 0, or -1 at the
  // first record not fully read.
  virtual int readList(FILE* stream);
  // This transaction's record from bytes in memory, as OB_Data::readBytes describes;
  // OB_ArchiveBytes::kNoRoad in this base.
  virtual int readBytes(OB_ArchiveBytes& bytes);

  int reset() override { return 0; }
};
