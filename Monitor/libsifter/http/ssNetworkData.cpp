#include "http/ssNetworkData.h"

#include <cstdlib>
#include <initializer_list>

#include <memory>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "stats/StatsReply.h"
#include "windows/OB_IndexChanger.h"

namespace {
constexpr const char* kNoMemory = "ssNetworkData_initAll: not enough memory";

uint64_t* newSums(uint32_t numOfBins) {
  return static_cast<uint64_t*>(std::calloc(numOfBins > 0 ? numOfBins : 1, sizeof(uint64_t)));
}
}  // namespace

void ssNetworkData_initAll(OB_IndexChanger* window, ssNetworkData* module, uint32_t numOfBins) {
  OB_Log::debug("ssNetworkData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->uniqueIPs = stats_newCounts(numOfBins, 0, kNoMemory);
  module->rejected = stats_newCounts(numOfBins, 0, kNoMemory);
  module->unacked = stats_newCounts(numOfBins, 0, kNoMemory);
  module->empty = stats_newCounts(numOfBins, 0, kNoMemory);
  module->srvMax = stats_newCounts(numOfBins, 0, kNoMemory);
  module->srvMin = stats_newCounts(numOfBins, kNoMinimumTime, kNoMemory);
  module->srvAve = stats_newCounts(numOfBins, 0, kNoMemory);
  module->srvSum = newSums(numOfBins);
  module->srvCount = stats_newCounts(numOfBins, 0, kNoMemory);
  module->netMax = stats_newCounts(numOfBins, 0, kNoMemory);
  module->netMin = stats_newCounts(numOfBins, kNoMinimumTime, kNoMemory);
  module->netAve = stats_newCounts(numOfBins, 0, kNoMemory);
  module->netSum = newSums(numOfBins);
  module->netCount = stats_newCounts(numOfBins, 0, kNoMemory);
  if (module->srvSum == nullptr || module->netSum == nullptr) OB_Log::quit("%s", kNoMemory);
}

void ssNetworkData_freeAll(ssNetworkData* module) {
  OB_Log::debug("ssNetworkData_freeAll()\n");
  for (uint32_t** array : {&module->uniqueIPs, &module->rejected, &module->unacked, &module->empty,
                           &module->srvMax, &module->srvMin, &module->srvAve, &module->srvCount,
                           &module->netMax, &module->netMin, &module->netAve, &module->netCount}) {
    std::free(*array);
    *array = nullptr;
  }
  std::free(module->srvSum);
  std::free(module->netSum);
  module->srvSum = nullptr;
  module->netSum = nullptr;
}

namespace {

void addTime(int32_t time, int bin, uint32_t* max, uint32_t* min, uint32_t* ave, uint64_t* sum,
             uint32_t* count) {
  // A negative time (only a damaged archive holds one) counts as 0.
  const uint32_t t = time > 0 ? static_cast<uint32_t>(time) : 0;
  if (t > max[bin]) max[bin] = t;
  // The first time of a bin is its minimum, even one above the start value.
  if (count[bin] == 0 || t < min[bin]) min[bin] = t;
  sum[bin] += t;
  stats_bump(&count[bin]);
  ave[bin] = static_cast<uint32_t>(sum[bin] / count[bin]);
}

}  // namespace

void ssNetworkData_procPO(ssNetworkData* module, const httpNetInfo_t* info,
                          const OB_HTTPProtocol* protocol) {
  const int b = info->windowIndex;
  if (b < 0 || static_cast<uint32_t>(b) >= module->numOfBins) return;
  if (info->isNewClientIP != 0) stats_bump(&module->uniqueIPs[b]);
  if (protocol->rejectConnect != 0)
    stats_bump(&module->rejected[b]);
  else if (protocol->unackedConnect != 0)
    stats_bump(&module->unacked[b]);
  else if (protocol->commRespCount == 0)
    stats_bump(&module->empty[b]);
  addTime(protocol->serverRespTime, b, module->srvMax, module->srvMin, module->srvAve,
          module->srvSum, module->srvCount);
  addTime(protocol->networkRespTime, b, module->netMax, module->netMin, module->netAve,
          module->netSum, module->netCount);
}

statsSeries_t* ssNetworkData_getUniqueIPSeries(ssNetworkData* module) {
  return stats_seriesOf(module->window, "Unique IP Addresses", module->uniqueIPs,
                        module->numOfBins, "ssNetworkData_getUniqueIPSeries: No memory");
}

statsSeries_t* ssNetworkData_getRejectConnSeries(ssNetworkData* module) {
  return stats_seriesOf(module->window, "Rejected TCP Connections", module->rejected,
                        module->numOfBins, "ssNetworkData_getRejectConnSeries: No memory");
}

statsSeries_t* ssNetworkData_getUnackConnSeries(ssNetworkData* module) {
  return stats_seriesOf(module->window, "Unacknoledged TCP Connections", module->unacked,
                        module->numOfBins, "ssNetworkData_getUnackConnSeries: No memory");
}

statsSeries_t* ssNetworkData_getEmptyConnSeries(ssNetworkData* module) {
  return stats_seriesOf(module->window, "Empty TCP Connections", module->empty, module->numOfBins,
                        "ssNetworkData_getEmptyConnSeries: No memory");
}

namespace {

constexpr const char* kRespNoMemory = "ssNetworkData_getResponseTimeData: not enough memory";

// Window-wide figures of one time kind, and its per-bin arrays in time order.
void overall(const ssNetworkData* module, const uint32_t* max, const uint32_t* min,
             const uint32_t* ave, const uint64_t* sum, const uint32_t* count, uint32_t current,
             uint32_t* allMax, uint32_t* allMin, uint32_t* allAve, uint32_t** maxs,
             uint32_t** mins, uint32_t** aves) {
  const uint32_t n = module->numOfBins;
  uint64_t total = 0, sumAll = 0;
  bool timed = false;  // a bin with connections was seen
  *allMax = 0;
  *allMin = kNoMinimumTime;
  for (uint32_t b = 0; b < n; ++b) {
    if (max[b] > *allMax) *allMax = max[b];
    if (count[b] > 0 && (!timed || min[b] < *allMin)) *allMin = min[b];
    if (count[b] > 0) timed = true;
    total += count[b];
    sumAll += sum[b];
  }
  *allAve = total > 0 ? static_cast<uint32_t>(sumAll / total) : 0;
  *maxs = stats_newCounts(n, 0, kRespNoMemory);
  *mins = stats_newCounts(n, 0, kRespNoMemory);
  *aves = stats_newCounts(n, 0, kRespNoMemory);
  stats_copyRing32(*maxs, max, n, current, 0);
  stats_copyRing32(*mins, min, n, current, 0);
  stats_copyRing32(*aves, ave, n, current, 0);
}

}  // namespace

ssRespTimeData_t* ssNetworkData_getResponseTimeData(ssNetworkData* module) {
  StatsWindowHold hold(module->window);
  const uint32_t n = module->numOfBins;
  const uint32_t current = stats_currentBin(module->window, n);
  auto* data = static_cast<ssRespTimeData_t*>(stats_alloc(sizeof(ssRespTimeData_t), kRespNoMemory));
  data->nowTime = module->window != nullptr ? static_cast<int32_t>(module->window->getNowTime()) : 0;
  data->agoTime = module->window != nullptr ? static_cast<int32_t>(module->window->getAgoTime()) : 0;
  data->numOfBins = n;
  data->totalCount = stats_sum(module->srvCount, n);
  data->counts = stats_newCounts(n, 0, kRespNoMemory);
  stats_copyRing32(data->counts, module->srvCount, n, current, 0);
  overall(module, module->srvMax, module->srvMin, module->srvAve, module->srvSum,
          module->srvCount, current, &data->srvMax, &data->srvMin, &data->srvAve, &data->srvMaxs,
          &data->srvMins, &data->srvAves);
  overall(module, module->netMax, module->netMin, module->netAve, module->netSum,
          module->netCount, current, &data->netMax, &data->netMin, &data->netAve, &data->netMaxs,
          &data->netMins, &data->netAves);
  return data;
}

void ssNetworkData_freeResponseTimeData(ssRespTimeData_t* data) {
  if (data == nullptr) return;
  for (uint32_t* array : {data->counts, data->srvMaxs, data->srvMins, data->srvAves,
                          data->netMaxs, data->netMins, data->netAves})
    std::free(array);
  std::free(data);
}

void ssNetworkData_print(FILE* stream, ssNetworkData* module) {
  StatsWindowHold hold(module->window);
  if (module->numOfBins == 0) return;
  const uint32_t c = stats_currentBin(module->window, module->numOfBins);
  fprintf(stream, "Current Average Response Time\n-----------------------------\n");
  fprintf(stream, "maxSrvRespTimeArray[timeIndex] = %u\n", module->srvMax[c]);
  fprintf(stream, "minSrvRespTimeArray[timeIndex] = %u\n", module->srvMin[c]);
  fprintf(stream, "aveSrvRespTimeArray[timeIndex] = %u\n", module->srvAve[c]);
  fprintf(stream, "maxNetRespTimeArray[timeIndex] = %u\n", module->netMax[c]);
  fprintf(stream, "minNetRespTimeArray[timeIndex] = %u\n", module->netMin[c]);
  fprintf(stream, "aveNetRespTimeArray[timeIndex] = %u\n", module->netAve[c]);
}

namespace {

int writeTimes(int socket, uint32_t max, uint32_t min, uint32_t ave, const uint32_t* maxs,
               const uint32_t* mins, const uint32_t* aves, uint32_t n) {
  if (writeJ_UInt32(socket, max) != 0 || writeJ_UInt32(socket, min) != 0 ||
      writeJ_UInt32(socket, ave) != 0)
    return -1;
  for (uint32_t b = 0; b < n; ++b)
    if (writeJ_UInt32(socket, maxs[b]) != 0 || writeJ_UInt32(socket, mins[b]) != 0 ||
        writeJ_UInt32(socket, aves[b]) != 0)
      return -1;
  return 0;
}

}  // namespace

int hcommand_HTTPServerResponseTimeSeries(OB_HTTPAnalysisStats* stats, int socket,
                                          OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerResponseTimeSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kHandler);
  std::unique_ptr<ssRespTimeData_t, void (*)(ssRespTimeData_t*)> data(
      ssNetworkData_getResponseTimeData(&set->networkData), ssNetworkData_freeResponseTimeData);
  const uint32_t n = data->numOfBins;
  if (writeJ_SInt32(socket, data->nowTime) != 0 || writeJ_SInt32(socket, data->agoTime) != 0 ||
      writeJ_UInt32(socket, n) != 0 || stats_writeCount(socket, data->totalCount) != 0 ||
      stats_writeValues(socket, data->counts, n) != 0 ||
      writeTimes(socket, data->srvMax, data->srvMin, data->srvAve, data->srvMaxs, data->srvMins,
                 data->srvAves, n) != 0 ||
      writeTimes(socket, data->netMax, data->netMin, data->netAve, data->netMaxs, data->netMins,
                 data->netAves, n) != 0)
    return stats_fail(kHandler);
  return 0;
}
