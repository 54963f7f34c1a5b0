// Fuzzes the HTTP server-side statistics: transactions whose texts come from the input are
// counted through one server's module set (its own-site tests included) and its IP tracker, the
// totals that must agree are checked, then every console handler answers a request whose fields
// are the rest of the input, over a socket pair.
//
// Input: transactions, each a control byte (bin and client) and eight NUL-ended texts (method,
// URI, host, referer, user agent, request type, status, response type); a byte 0xFF where a
// transaction would begin ends them, and what follows is the request of every handler.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "FuzzSupport.h"
#include "OB_Tools.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_HTTPServer.h"
#include "config/OB_User.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/HTTPIPTrackingCommands.h"
#include "http/HTTPSummaryCommands.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "http/ResourcesServedCommands.h"
#include "http/ssDomainsSeenData.h"
#include "http/ssErrorData.h"
#include "http/ssHitData.h"
#include "http/ssNetworkData.h"
#include "http/ssReferersSeenData.h"
#include "http/ssUserAgentData.h"
#include "stats/AnalysisHash.h"
#include "stats/OB_IPTracker.h"
#include "windows/OB_IndexChanger.h"

namespace {

constexpr uint32_t kBins = 3;

void check(bool condition) {
  if (!condition) abort();
}

// Names for some addresses, none for others, never the network.
int fakeLookup(uint32_t address, char* name, size_t size) {
  switch (address & 3) {
    case 0:
      return -1;
    case 1:
      snprintf(name, size, "host%u.Example.org", address & 0xFF);
      return 0;
    case 2:
      snprintf(name, size, "gateway%u", address & 0xFF);
      return 0;
    default:
      snprintf(name, size, "%u.%u", address & 0xFF, (address >> 8) & 0xFF);
      return 0;
  }
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

uint64_t total(const statsCounterList_t& list, uint32_t array = 0, bool skipFirst = false) {
  uint64_t sum = 0;
  for (const statsCounter_t* e = list.head; e != nullptr; e = e->next)
    if (!(skipFirst && e == list.head))
      sum += stats_sum(e->counts + array * list.numOfBins, list.numOfBins);
  return sum;
}

void checkTotals(OB_HTTPServerStatsModules* set) {
  const ssErrorData& errors = set->errorData;
  const uint64_t allErrors = stats_sum(errors.types.head->counts, kBins);
  check(total(errors.types, 0, true) == allErrors);
  check(total(errors.resources) == allErrors);
  const ssHitData& hits = set->hitData;
  // The totals' own names, sent as types, count under the totals alone.
  check(total(hits.from, 0, true) <= stats_sum(hits.from.head->counts, kBins));
  check(total(hits.to, 0, true) <= stats_sum(hits.to.head->counts, kBins));
  check(total(hits.from, 1) <= total(hits.from, 0, true));
  check(total(hits.methods) <= stats_sum(hits.hits, kBins));
  const ssReferersSeenData& referers = set->referersSeenData;
  uint64_t hosts = 0, paths = 0;
  size_t hostCount = 0;
  for (const statsCounterList_t& bucket : referers.hosts.buckets) {
    hosts += total(bucket);
    hostCount += bucket.count;
    for (const statsCounter_t* e = bucket.head; e != nullptr; e = e->next) paths += total(*e->sub);
  }
  check(hosts == stats_sum(referers.referrals, kBins) && paths == hosts);
  check(hostCount == referers.hosts.count);
  const ssUserAgentData& agents = set->userAgentData;
  uint64_t agentTotal = 0;
  for (const statsCounterList_t& bucket : agents.agents.buckets) agentTotal += total(bucket);
  check(agentTotal == stats_sum(agents.transactions, kBins));
  check(agentTotal == stats_sum(hits.hits, kBins));
  const ssDomainsSeenData& domains = set->domainsSeenData;
  check(total(domains.domains) <= stats_sum(domains.resolved, kBins));
}

// The comparisons of every server, asked by root.
OB_User* root() {
  static OB_User user;
  snprintf(user.login, sizeof user.login, "root");
  return &user;
}
int transactionBreakdown(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request) {
  return hcommand_HTTPXServerTransactionBreakdown(stats, socket, root(), request);
}
int referrerBreakdown(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request) {
  return hcommand_HTTPXServerReferrerBreakdown(stats, socket, root(), request);
}

using Handler = int (*)(OB_HTTPAnalysisStats*, int, OB_AEngineTCPRequest*);
const Handler kHandlers[] = {
    hcommand_HTTPServerResponseTimeSeries,     hcommand_HTTPServerHitOverviewSeries,
    hcommand_HTTPServerMethodBreakdown,        hcommand_HTTPServerMethodSeries,
    hcommand_HTTPServerMIMEBreakdown,          hcommand_HTTPServerMIMESeries,
    hcommand_HTTPServerMIMEEntryPointSeries,   hcommand_HTTPServerPagesPerEntrySeries,
    hcommand_HTTPServerErrorTypeBreakdown,     hcommand_HTTPServerErrorResourceBreakdown,
    hcommand_HTTPServerErrorSeries,            hcommand_HTTPServerRefererHostsBreakdown,
    hcommand_HTTPServerRefererTopHosts,        hcommand_HTTPServerRefererPathsBreakdown,
    hcommand_HTTPServerRefererSeries,          hcommand_HTTPServerDomainBreakdown,
    hcommand_HTTPServerDomainSeries,           hcommand_HTTPServerUserAgentBreakdown,
    hcommand_HTTPServerUserAgentSeries,        hcommand_HTTPServerSummary,
    transactionBreakdown,                      referrerBreakdown,
    hcommand_HTTPIPTracking,                   hcommand_HTTPServerIPTrackingSeries,
    hcommand_HTTPServerIPTrackingList,         hcommand_HTTPServerIPTrackingDomainSeries,
    hcommand_HTTPIPTrackingPaths,              hcommand_HTTPServerResourcesServedBreakdown,
    hcommand_HTTPServerResourcesServedIP,      hcommand_HTTPServerResourcesServedHitSeries,
    hcommand_HTTPServerResourcesServedEntryPointSeries,
    hcommand_HTTPServerEntryPointBreakdown,    hcommand_HTTPServerRefererErrorBreakdown};

// The handler's end does not block: the request is all there (then the end of the stream), and
// a reply that outgrows the socket's buffer makes the handler fail instead of waiting.
void ask(Handler handler, OB_HTTPAnalysisStats* stats, const std::string& fields, int32_t subset) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) abort();
  check(write(ends[1], fields.data(), fields.size()) == static_cast<ssize_t>(fields.size()));
  shutdown(ends[1], SHUT_WR);
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  OB_AEngineTCPRequest request;
  request.subset = subset;
  request.itemIndex = 0;
  const int result = handler(stats, ends[0], &request);
  check(result == 0 || result == -1);
  close(ends[0]);
  close(ends[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  corrana_fuzz::quietLog("stats_fuzz");
  mkdir((std::string(OB_Tools::getInstallDir()) + "/db").c_str(), 0755);
  OB_Tools::setReverseLookup(fakeLookup);
  AnalysisHash_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  timeWindow_t record = {};
  record.windowType = OB_IndexChanger::kStaticWindow;
  record.staticAgoTime = 1000;
  record.staticNowTime = 1000 + 100 * kBins;
  record.staticNumOfBins = kBins;
  OB_IndexChanger* window = new OB_IndexChanger();
  window->setTimeWindow(&record);
  window->init();

  OB_AEngineConfig config;
  config.numOfHTTPServers = 1;
  config.httpServers = new OB_HTTPServer*[1];
  OB_HTTPServer* server = config.httpServers[0] = OB_HTTPServer::create();
  server->setIPAddress(0x0A000050);
  server->sNumOfAltDNSes = 1;
  server->sAltDNSes[0] = OB_Tools::strdup("alias.example.net");
  config.numOfXSubSets = 1;
  config.xSubSets = new XSubset_t*[1];
  config.xSubSets[0] = new XSubset_t();

  {
    OB_HTTPAnalysisStats stats(&config, window);
    OB_HTTPServerStatsModules* set = stats.servers[0]->modules;
    OB_HTTPProtocol* connection = new OB_HTTPProtocol(1, 1);
    Reader in{data, size};
    OB_HTTPXact xact;
    while (in.more() && in.data[in.at] != 0xFF) {
      const uint8_t control = in.byte();
      connection->clientIP = 0xC0A80000u | (control >> 3);
      // Times up to 2^31 and beyond (negative: a damaged archive's).
      connection->serverRespTime = static_cast<int32_t>(static_cast<uint32_t>(control) << 24);
      connection->rejectConnect = control & 0x10;
      httpNetInfo_t info{static_cast<int32_t>(control & 7) - 2, control & 1, 0};
      xact.req_method = in.text().c_str();
      xact.req_request_uri = in.text().c_str();
      xact.req_host = in.text().c_str();
      xact.req_referer = in.text().c_str();
      xact.req_user_agent = in.text().c_str();
      xact.req_content_type = in.text().c_str();
      xact.res_status_code = in.text().c_str();
      xact.res_content_type = in.text().c_str();
      connection->connTime = 1000 + 100 * static_cast<uint32_t>(control & 3);
      OB_IPTrackerHash* client = nullptr;
      stats.servers[0]->ipTracker->procAddress(connection->connTime, 0, &connection->clientIP,
                                               &client);
      ssNetworkData_procPO(&set->networkData, &info, connection);
      set->procX4allHTTPServerStatsModules(server, &info, connection, &xact, client);
    }
    connection->release();
    checkTotals(set);

    if (in.more()) ++in.at;
    const std::string fields(reinterpret_cast<const char*>(in.data + in.at), in.size - in.at);
    const int32_t subset = fields.empty() ? 0 : static_cast<uint8_t>(fields[0]) % 3;
    for (Handler handler : kHandlers) ask(handler, &stats, fields, subset);
  }
  window->release();
  return 0;
}
