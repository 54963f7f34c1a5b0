// Fuzzes the HTTP reader's routing: connections whose addresses, ports and texts come from the
// input are handed to the reader as the capture engine hands them, through a server that masks
// URL parameters and filters by URL and agent, a plain server on the same address, two
// transaction subsets and two network groups; the totals that must agree are checked; then the
// client-side console handlers answer requests made of the rest of the input, and the IP
// tracker is ranked with limits and addresses from it.
//
// Input: connections, each a control byte (client, server, port, bin), a transaction count byte
// (up to 7) and per transaction five NUL-ended texts (URI, referer, user agent, status, response
// type); a byte 0xFF where a connection would begin ends them.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/OB_HTTPNetworkGroup.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "http/OB_ResourceStats.h"
#include "stats/AnalysisHash.h"
#include "stats/OB_IPTracker.h"
#include "stats/csXData.h"
#include "windows/OB_HTTPReader.h"
#include "windows/OB_IndexChanger.h"

namespace {

constexpr uint32_t kBins = 3;
constexpr uint32_t kAgo = 1000;

void check(bool condition) {
  if (!condition) abort();
}

int fakeLookup(uint32_t address, char* name, size_t size) {
  if ((address & 1) == 0) return -1;
  snprintf(name, size, "host%u.example.org", address & 0xFF);
  return 0;
}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool more() const { return at < size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  std::string text() {
    std::string out;
    while (at < size && data[at] != 0) out.push_back(static_cast<char>(data[at++]));
    if (at < size) ++at;
    return out;
  }
};

char* own(const char* text) { return OB_Tools::strdup(text); }

void net(uint16_t* count, uint32_t* example, uint32_t* mask, uint32_t* network, uint32_t at,
         uint32_t bits) {
  *count = 1;
  example[0] = network[0] = at;
  mask[0] = bits;
}

using Handler = int (*)(OB_HTTPAnalysisStats*, int, OB_AEngineTCPRequest*);
const Handler kHandlers[] = {hcommand_HTTPClientXBreakdown, hcommand_HTTPClientXSeries,
                             hcommand_HTTPClientServersSeenBreakdown,
                             hcommand_HTTPClientServersSeenSeries};

void ask(Handler handler, OB_HTTPAnalysisStats* stats, const std::string& fields, int32_t group) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) abort();
  check(write(ends[1], fields.data(), fields.size()) == static_cast<ssize_t>(fields.size()));
  shutdown(ends[1], SHUT_WR);
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  OB_AEngineTCPRequest request;
  request.itemIndex = group;
  const int result = handler(stats, ends[0], &request);
  check(result == 0 || result == -1);
  close(ends[0]);
  close(ends[1]);
}

uint64_t trackerTotal(OB_IPTracker* tracker) {
  uint64_t sum = 0;
  for (int bucket = 0; bucket < OB_IPTracker::kBuckets; ++bucket)
    for (auto* at = tracker->getChain(bucket); at != nullptr; at = at->getNext())
      if (OB_IPTrackerHash* record = at->getItem(); record != nullptr) {
        check(record->pageCount <= record->count);
        sum += record->count;
      }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  corrana_fuzz::quietLog("reader_fuzz");
  mkdir((std::string(OB_Tools::getInstallDir()) + "/db").c_str(), 0755);
  OB_Tools::setReverseLookup(fakeLookup);
  AnalysisHash_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OB_AEngineConfig config;
  snprintf(config.databaseDir, sizeof config.databaseDir, "%s", OB_Tools::getInstallDir());
  config.numOfHTTPServers = 2;
  config.httpServers = new OB_HTTPServer*[2];
  for (int i = 0; i < 2; ++i) {
    config.httpServers[i] = OB_HTTPServer::create();
    config.httpServers[i]->setIPAddress(0x0A000050);
  }
  OB_HTTPServer* filtered = config.httpServers[0];
  filtered->paramMaskApply = 1;
  filtered->paramMaskCount = 1;
  filtered->paramMaskVariables[0] = own("id");
  filtered->paramMaskReplacements[0] = own("XXXXXXXXXXXXXXXX");
  filtered->urlSubstrApply = 1;
  filtered->urlSubstrCount = 1;
  filtered->urlSubstrs[0] = own("a");
  config.numOfXSubSets = 2;
  config.xSubSets = new XSubset_t*[2];
  for (int i = 0; i < 2; ++i) {
    XSubset_t* subset = config.xSubSets[i] = new XSubset_t();
    subset->acceptMatching = i;
    net(&subset->numOfNets, subset->exampleAddress, subset->maskAddress, subset->network,
        0xC0A80000u, 0xFFFFFFF0u);
  }
  config.numOfNetworkGroups = 2;
  config.networkGroups = new networkGroup_t*[2];
  for (int i = 0; i < 2; ++i) {
    networkGroup_t* group = config.networkGroups[i] = new networkGroup_t();
    net(&group->numOfNets, group->exampleAddress, group->maskAddress, group->network,
        i == 0 ? 0xC0A80000u : 0x0A000000u, 0xFFFFFF00u);
  }
  timeWindow_t record = {};
  record.windowType = OB_IndexChanger::kStaticWindow;
  record.staticAgoTime = kAgo;
  record.staticNowTime = kAgo + 100 * kBins;
  record.staticNumOfBins = kBins;
  OB_IndexChanger* window = new OB_IndexChanger();
  window->setConfig(&config);
  window->setTimeWindow(&record);
  window->init();

  auto* reader = new OB_HTTPReader(&config, window);
  reader->init();
  Reader in{data, size};
  while (in.more() && in.data[in.at] != 0xFF) {
    const uint8_t control = in.byte();
    const uint8_t count = in.byte() & 7;
    auto* connection = new OB_HTTPProtocol(1, 8);
    connection->clientIP = 0xC0A80000u | (control & 0x1F);
    connection->serverIP = (control & 0x20) != 0 ? 0x0A000050u : 0x0A000051u;
    connection->serverPort = (control & 0x40) != 0 ? 80 : 8080;
    // Before, inside and after the window.
    connection->connTime = kAgo - 50 + 60 * (control >> 5);
    for (uint8_t i = 0; i < count; ++i) {
      auto* xact = obQuery<OB_HTTPXact>(connection->addXLink());
      if (xact == nullptr) break;
      xact->req_request_uri = in.text().c_str();
      xact->req_host = "host1.example.org";
      xact->req_referer = in.text().c_str();
      xact->req_user_agent = in.text().c_str();
      xact->res_status_code = in.text().c_str();
      xact->res_content_type = in.text().c_str();
    }
    obQuery<OB_Processor>(reader)->processObject(connection);
    connection->release();
  }

  // What each server counted, its tracker counted once per transaction of the main set.
  for (uint16_t s = 0; s < reader->numServers; ++s) {
    OB_HTTPServerStats* server = reader->servers[s];
    check(trackerTotal(server->ipTracker) ==
          stats_sum(server->modules->hitData.hits, kBins));
  }
  for (uint16_t g = 0; g < reader->numNetGroups; ++g) {
    csXData* x = reader->netGroups[g]->xData;
    check(stats_sum(x->out2in, kBins) + stats_sum(x->in2in, kBins) <= stats_sum(x->all, kBins));
    csServersSeenData* seen = reader->netGroups[g]->serversSeenData;
    uint64_t servers = 0;
    for (csServerEntry* e = seen->head->next; e != nullptr; e = e->next)
      servers += stats_sum(e->counts, kBins);
    check(servers == stats_sum(seen->head->counts, kBins));
  }

  if (in.more()) ++in.at;
  const std::string fields(reinterpret_cast<const char*>(in.data + in.at), in.size - in.at);
  const int32_t group = fields.empty() ? 0 : static_cast<int8_t>(fields[0]) % 4;
  for (Handler handler : kHandlers) ask(handler, reader, fields, group);
  uint32_t numbers[3] = {0, 0, 0};
  memcpy(numbers, fields.data(), std::min(fields.size(), sizeof numbers));
  OB_IPTracker* tracker = reader->servers[1]->ipTracker;
  for (str2CntList_t* list :
       {tracker->getTopN(nullptr, static_cast<int>(numbers[0] % 9) - 1),
        tracker->getTopNByMask(config.xSubSets[0], static_cast<int>(numbers[0] % 5), numbers[1]),
        tracker->getTopNByNetwork(nullptr, 3, numbers[1], numbers[2]),
        tracker->getTopNByRange(config.xSubSets[1], 4, numbers[2], numbers[1])}) {
    uint32_t entries = 0;
    for (str2CntEntry_t* e = list->head; e != nullptr; e = e->next) ++entries;
    check(entries == list->count);
    dataStructs_freeList(list);
  }
  OB_ResourceStats* resources = reader->servers[0]->modules->resourceStats;
  resources->getHitBreakdown(static_cast<uint16_t>(numbers[0]), "All", fields.c_str())->release();
  resources->getRefererErrorBreakdown(5, "")->release();
  resources->getEntryPointSeries(fields.c_str(), "text/html")->release();

  reader->release();
  window->release();
  return 0;
}
