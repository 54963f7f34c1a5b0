// Sparse per-bin counters of one time window: only the bins from the lowest to the highest one
// ever written are stored, in a block that grows by a step of elements either way. The
// resources-served counters keep one per resource, entry point and referring page; the IP
// tracker one per top-level domain. Counts are 32 bits wide, so a busy bin never wraps.
//
// No lock of its own: every writer and reader holds the statistics lock of the window's reader
// (the replay and live roads, the window move and the console handlers all take it).
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Object.h"

class OB_Array : public virtual OB_Compare, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Array, 0x2BE2BF98, "OB_Array", OB_Compare, OB_Object)

 public:
  // The largest bin count a window may have; indexes and sizes hold it.
  static constexpr uint32_t kMaxBins = 32767;

  // maxLength caps upward growth in elements (0: no cap); step is the growth step in elements
  // (8 everywhere in the engine; 0 is taken as 1).
  explicit OB_Array(uint32_t maxLength = 0, uint32_t step = 8);
  OB_Array(const OB_Array&) = delete;
  OB_Array& operator=(const OB_Array&) = delete;
  ~OB_Array() override;

  // The sum of every stored element.
  virtual uint64_t sumCounts();
  // The count at bin index; 0 outside the stored range or before the first write.
  virtual uint32_t getAt(uint32_t index);
  virtual uint32_t valueAt(uint32_t index) { return getAt(index); }
  // Stores value at bin index (the block grows to hold it). 0; -1 for an index past kMaxBins.
  virtual int setAt(uint32_t index, uint32_t value);
  // Adds delta at bin index. 0; -1 for an index past kMaxBins.
  virtual int addAt(uint32_t index, uint32_t delta);
  // Writes the bins of a ring of n bins whose newest is current into target, oldest first:
  // bins current+1 .. n-1 to 0 .., then bins 0 .. current. Only non-zero counts are written.
  virtual int copyRing(uint32_t current, uint32_t n, OB_Array* target);
  // The running total (every value ever added, less what setAt overwrote).
  virtual uint64_t getTotal();

  // Makes the block hold bins 0 .. n-1 (zeroed where nothing was stored). 0.
  virtual int setRange(uint32_t n);
  virtual int setMaxLength(uint32_t maxLength);
  virtual uint32_t getMaxLength() { return m_iMaxLength; }
  // Makes the block hold at least n elements; never shrinks.
  virtual int grow(uint32_t n);
  // Makes bin index storable, growing up (to at most the maximum length, unless the index needs
  // more) or down. 0.
  virtual int ensureIndex(uint32_t index);

  // 1 when this total is the smaller, -1 when the larger, 0 when equal.
  int compare(OB_Compare* other, int how) override;
  // The stored elements and the fields, as the engine's debugging dumps show them.
  int print(FILE* stream) override;

  uint32_t getStart() const { return m_iStart; }
  uint32_t getEnd() const { return m_iEnd; }
  // Stored elements (the block's size in elements).
  uint32_t getCapacity() const { return m_iSize / sizeof(uint32_t); }

 protected:
  uint32_t* m_pArray = nullptr;  // owned (C heap); null until the first write
  uint32_t m_iSize = 0;          // bytes
  uint32_t m_iStart = 0;         // the bin element 0 holds
  uint32_t m_iEnd = 0;           // the highest bin written, inclusive
  uint32_t m_iMaxLength = 0;     // elements; 0: no cap
  uint64_t m_iTotal = 0;
  uint32_t step = 8;

 private:
  // Reallocates the block to elements (zeroing the new ones); ends the process without memory.
  void resize(uint32_t elements);
};

// The array with its own class identity, as the resources-served counters and the IP tracker's
// domain counters are asked for it.
class OB_CountArray : public OB_Array, public virtual OB_Compare, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_CountArray, 0x2BE2BF9A, "OB_CountArray", OB_Array, OB_Compare, OB_Object)

 public:
  explicit OB_CountArray(uint32_t maxLength = 0, uint32_t stepElements = 8)
      : OB_Array(maxLength, stepElements) {}
};
