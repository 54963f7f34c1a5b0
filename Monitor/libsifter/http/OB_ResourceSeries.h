// One resource's counts in time order (element k holds the k-th oldest bin), with the window's
// bounds, as the resources-served series commands send it. Owned by the handler that asked for
// it; its names are borrowed like a resource counter's.
#pragma once

#include <cstdint>

#include "http/OB_Resource.h"
#include "stats/OB_Array.h"

class OB_ResourceSeries : public OB_CountArray,
                          public OB_Resource,
                          public virtual OB_Compare,
                          public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ResourceSeries, 0x2BE2BFAD, "OB_ResourceSeries", OB_CountArray,
                    OB_Compare, OB_Resource, OB_Object)

 public:
  // numOfBins elements, all 0 (the window's bin count, at most OB_Array::kMaxBins).
  OB_ResourceSeries(const char* resource, const char* mimeType, uint32_t nowTime,
                    uint32_t agoTime, uint32_t numOfBins);

  virtual uint32_t getNowTime() { return nowTime; }
  virtual uint32_t getAgoTime() { return agoTime; }
  virtual int setNowTime(uint32_t value) {
    nowTime = value;
    return 0;
  }
  virtual int setAgoTime(uint32_t value) {
    agoTime = value;
    return 0;
  }
  int writeJ(int socket) override { return OB_Resource::writeJ(socket); }

 private:
  uint32_t nowTime = 0;
  uint32_t agoTime = 0;
};
