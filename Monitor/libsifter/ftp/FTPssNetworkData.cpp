#include "ftp/FTPssNetworkData.h"

#include <cstdlib>
#include <initializer_list>

#include "OB_Log.h"
#include "ftp/OB_FTPAnalysisStats.h"
#include "ftp/OB_FTPProtocol.h"
#include "windows/OB_IndexChanger.h"

namespace {

constexpr const char* kNoMemory = "FTPssNetworkData_initAll: not enough memory";
constexpr const char* kRecordNoMemory = "FTPssNetworkData_getResponseTimeData: not enough memory";

void initTimes(FTPRespTimes* times, uint32_t n) {
  times->max = stats_newCounts(n, 0, kNoMemory);
  times->min = stats_newCounts(n, kNoMinimumTime, kNoMemory);
  times->ave = stats_newCounts(n, 0, kNoMemory);
  times->sum = static_cast<uint64_t*>(std::calloc(n > 0 ? n : 1, sizeof(uint64_t)));
  if (times->sum == nullptr) OB_Log::quit("%s", kNoMemory);
  times->count = stats_newCounts(n, 0, kNoMemory);
}

void freeTimes(FTPRespTimes* times) {
  for (uint32_t** array : {&times->max, &times->min, &times->ave, &times->count}) {
    std::free(*array);
    *array = nullptr;
  }
  std::free(times->sum);
  times->sum = nullptr;
}

void addTime(FTPRespTimes* times, uint32_t b, int32_t time) {
  // A negative time (only a damaged archive holds one) counts as 0.
  const uint32_t t = time > 0 ? static_cast<uint32_t>(time) : 0;
  if (t > times->max[b]) times->max[b] = t;
  // The first time of a bin is its minimum, even one above the start value.
  if (times->count[b] == 0 || t < times->min[b]) times->min[b] = t;
  times->sum[b] += t;
  stats_bump(&times->count[b]);
  times->ave[b] = static_cast<uint32_t>(times->sum[b] / times->count[b]);
}

// The window-wide figures of one kind over `total` connections, and its arrays in time order:
// the largest time of any bin, the smallest of the bins that had connections, and the average.
FTPRespTimeRun overall(const FTPRespTimes& times, uint32_t n, uint32_t current, uint64_t total) {
  FTPRespTimeRun run{};
  uint64_t timeSum = 0;
  bool timed = false;  // a bin with connections was seen
  for (uint32_t b = 0; b < n; ++b) {
    timeSum += times.sum[b];
    // A bin without connections holds no smallest time, only the start value.
    if (times.count[b] == 0) continue;
    if (times.max[b] > run.max) run.max = times.max[b];
    if (!timed || times.min[b] < run.min) run.min = times.min[b];
    timed = true;
  }
  // The average is at most the largest time: it fits its 32 bits.
  if (total > 0) run.ave = static_cast<uint32_t>(timeSum / total);
  run.maxs = stats_newCounts(n, 0, kRecordNoMemory);
  run.mins = stats_newCounts(n, 0, kRecordNoMemory);
  run.aves = stats_newCounts(n, 0, kRecordNoMemory);
  stats_copyRing32(run.maxs, times.max, n, current, 0);
  stats_copyRing32(run.mins, times.min, n, current, 0);
  stats_copyRing32(run.aves, times.ave, n, current, 0);
  return run;
}

void freeRun(FTPRespTimeRun* run) {
  std::free(run->maxs);
  std::free(run->mins);
  std::free(run->aves);
}

}  // namespace

void FTPssNetworkData_initAll(OB_IndexChanger* window, FTPssNetworkData* module,
                              uint32_t numOfBins) {
  OB_Log::debug("FTPssNetworkData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->uniqueIPs = stats_newCounts(numOfBins, 0, kNoMemory);
  module->rejected = stats_newCounts(numOfBins, 0, kNoMemory);
  module->unacked = stats_newCounts(numOfBins, 0, kNoMemory);
  initTimes(&module->server, numOfBins);
  initTimes(&module->network, numOfBins);
}

void FTPssNetworkData_freeAll(FTPssNetworkData* module) {
  OB_Log::debug("FTPssNetworkData_freeAll()\n");
  for (uint32_t** array : {&module->uniqueIPs, &module->rejected, &module->unacked}) {
    std::free(*array);
    *array = nullptr;
  }
  freeTimes(&module->server);
  freeTimes(&module->network);
}

void FTPssNetworkData_procX(FTPssNetworkData* module, const ftpNetInfo_t* info,
                            const OB_FTPProtocol* protocol) {
  if (info->windowIndex < 0 || static_cast<uint32_t>(info->windowIndex) >= module->numOfBins)
    return;
  const uint32_t b = static_cast<uint32_t>(info->windowIndex);
  if (info->isNewClientIP != 0) stats_bump(&module->uniqueIPs[b]);
  if (protocol->rejectConnect != 0)
    stats_bump(&module->rejected[b]);
  else if (protocol->unackedConnect != 0)
    stats_bump(&module->unacked[b]);
  addTime(&module->server, b, protocol->serverRespTime);
  addTime(&module->network, b, protocol->networkRespTime);
}

statsSeries_t* FTPssNetworkData_getUniqueIPSeries(FTPssNetworkData* module) {
  return stats_seriesOf(module->window, "Unique IP Addresses", module->uniqueIPs,
                        module->numOfBins, "FTPssNetworkData_getUniqueIPSeries: No memory");
}

statsSeries_t* FTPssNetworkData_getRejectConnSeries(FTPssNetworkData* module) {
  return stats_seriesOf(module->window, "Rejected TCP Connections", module->rejected,
                        module->numOfBins, "FTPssNetworkData_getRejectConnSeries: No memory");
}

statsSeries_t* FTPssNetworkData_getUnackConnSeries(FTPssNetworkData* module) {
  return stats_seriesOf(module->window, "Unacknoledged TCP Connections", module->unacked,
                        module->numOfBins, "FTPssNetworkData_getUnackConnSeries: No memory");
}

FTPRespTimeData_t* FTPssNetworkData_getResponseTimeData(FTPssNetworkData* module) {
  StatsWindowHold hold(module->window);
  const uint32_t n = module->numOfBins;
  const uint32_t current = stats_currentBin(module->window, n);
  auto* data =
      static_cast<FTPRespTimeData_t*>(stats_alloc(sizeof(FTPRespTimeData_t), kRecordNoMemory));
  OB_IndexChanger* window = module->window;
  data->nowTime = window != nullptr ? static_cast<int32_t>(window->getNowTime()) : 0;
  data->agoTime = window != nullptr ? static_cast<int32_t>(window->getAgoTime()) : 0;
  data->numOfBins = n;
  // Every connection adds one time of each kind, so the server count is the network count.
  data->totalCount = stats_sum(module->server.count, n);
  data->counts = stats_newCounts(n, 0, kRecordNoMemory);
  stats_copyRing32(data->counts, module->server.count, n, current, 0);
  data->server = overall(module->server, n, current, data->totalCount);
  data->network = overall(module->network, n, current, data->totalCount);
  return data;
}

void FTPssNetworkData_freeResponseTimeData(FTPRespTimeData_t* data) {
  if (data == nullptr) return;
  std::free(data->counts);
  freeRun(&data->server);
  freeRun(&data->network);
  std::free(data);
}

void FTPssNetworkData_print(FILE* stream, FTPssNetworkData* module) {
  StatsWindowHold hold(module->window);
  if (module->numOfBins == 0) return;
  const uint32_t c = stats_currentBin(module->window, module->numOfBins);
  const struct {
    const char* kind;
    const FTPRespTimes& times;
  } kinds[] = {{"Srv", module->server}, {"Net", module->network}};
  fprintf(stream, "Current Average Response Time\n-----------------------------\n");
  for (const auto& k : kinds) {
    fprintf(stream, "max%sRespTimeArray[timeIndex] = %u\n", k.kind, k.times.max[c]);
    fprintf(stream, "min%sRespTimeArray[timeIndex] = %u\n", k.kind, k.times.min[c]);
    fprintf(stream, "ave%sRespTimeArray[timeIndex] = %u\n", k.kind, k.times.ave[c]);
  }
}
