// Fuzzes what the network reader does with a record of the network archive: the input is one
// stored record; one that reads is counted into network statistics with groups, HTTP and FTP
// servers and transaction subsets (the address-pair walk, protocol lists whose parent ids come
// from the file), then every scope's breakdowns are built and the statistics printed (the
// protocol tree).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "net/OB_AllNetData.h"
#include "net/OB_NetAnalysisStats.h"
#include "windows/OB_IndexChanger.h"

namespace {

template <class T>
T** array(int n) {
  T** out = new T*[n];
  for (int i = 0; i < n; ++i) out[i] = nullptr;
  return out;
}

void net(uint16_t* count, uint32_t* example, uint32_t* mask, uint32_t* network, uint32_t address,
         uint32_t netmask) {
  example[*count] = address;
  mask[*count] = netmask;
  network[*count] = address & netmask;
  ++*count;
}

// Two groups (10/8 and 192.168/16), an HTTP and an FTP server in 10/8 and two subsets; a static
// window of four bins.
struct Setup {
  Setup() {
    corrana_fuzz::quietLog("netrecord");
    config.numOfNetworkGroups = 2;
    config.networkGroups = array<networkGroup_t>(2);
    for (int g = 0; g < 2; ++g) {
      networkGroup_t* group = config.networkGroups[g] = new networkGroup_t();
      net(&group->numOfNets, group->exampleAddress, group->maskAddress, group->network,
          g == 0 ? 0x0A000000 : 0xC0A80000, g == 0 ? 0xFF000000 : 0xFFFF0000);
    }
    config.numOfXSubSets = 2;
    config.xSubSets = array<XSubset_t>(2);
    for (int k = 0; k < 2; ++k) {
      XSubset_t* subset = config.xSubSets[k] = new XSubset_t();
      subset->acceptMatching = k;
      net(&subset->numOfNets, subset->exampleAddress, subset->maskAddress, subset->network,
          0xC0A80000, 0xFFFF0000);
    }
    config.numOfHTTPServers = 1;
    config.httpServers = array<OB_HTTPServer>(1);
    config.httpServers[0] = OB_HTTPServer::create();
    config.httpServers[0]->setIPAddress(0x0A000050);
    config.numOfFTPServers = 1;
    config.ftpServers = array<OB_FTPServer>(1);
    config.ftpServers[0] = OB_FTPServer::create();
    config.ftpServers[0]->setIPAddress(0x0A000015);
    record.windowType = OB_IndexChanger::kStaticWindow;
    record.staticAgoTime = 0;
    record.staticNowTime = 4000;
    record.staticNumOfBins = 4;
    window = new OB_IndexChanger();
    window->setConfig(&config);
    window->setTimeWindow(&record);
    window->init();
    sink = fopen("/dev/null", "w");
    if (sink == nullptr) abort();
  }
  OB_AEngineConfig config;
  timeWindow_t record{};
  OB_IndexChanger* window;
  FILE* sink;
};

void query(NetServerStatsModules_t* set) {
  netUtilData_freeBreakdown(netUtilData_getBreakdown(&set->util));
  netProtoData_freeBreakdown(netProtoData_getBreakdown(&set->proto));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  static uint8_t empty = 0;
  FILE* in = fmemopen(size > 0 ? const_cast<uint8_t*>(data) : &empty, size, "rb");
  if (in == nullptr) return 0;
  OB_AllNetData* record = OB_AllNetData::create();
  OB_NetAnalysisStats stats(&setup.config, setup.window);
  try {
    if (record->read(in) == 0) {
      stats.procStruct(static_cast<int>(record->xTime() % 4), record);
      stats.procStruct(3, record);
      query(&stats.allTraffic);
      for (uint16_t g = 0; g < stats.numNetGroups; ++g) query(&stats.netGroups[g].modules);
      query(&stats.httpServers[0].modules);
      query(&stats.ftpServers[0].xModules[1]);
      stats.print(setup.sink);
    }
  } catch (const corrana_fuzz::Quit&) {
    // A pair table that the record cannot hold ends the process by design.
  }
  fclose(in);
  record->release();
  return 0;
}
