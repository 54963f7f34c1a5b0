#include "http/OB_ResourceSeries.h"

OB_ResourceSeries::OB_ResourceSeries(const char* resource, const char* mimeType,
                                     uint32_t nowTime_, uint32_t agoTime_, uint32_t numOfBins)
    : OB_CountArray(numOfBins, 8), nowTime(nowTime_), agoTime(agoTime_) {
  setResource(resource);
  setMimeType(mimeType);
  setRange(numOfBins);
}
