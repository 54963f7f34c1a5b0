#include "http/ssReferersSeenData.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "config/OB_HTTPServer.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_HTTPXact.h"
#include "stats/StatsReply.h"
#include "stats/TrackedNames.h"

namespace {

constexpr const char* kAddHost = "addHostCounter: Not enough memory";
constexpr const char* kAddPath = "processPath: Not enough memory";
constexpr size_t kTextSize = decltype(OB_HTTPXact::req_referer)::width;

// A referer split into the site and the page on it.
struct RefererParts {
  std::string_view host;
  std::string_view path;
};

RefererParts split(std::string_view text) {
  if (text.size() < 3) return {{}, text};
  // The '/' that begins the path stands next to no other '/' (the scheme's "//" is not one).
  for (size_t i = 1; i + 1 < text.size(); ++i)
    if (text[i] == '/' && text[i - 1] != '/' && text[i + 1] != '/')
      return {text.substr(0, i), text.substr(i)};
  // The site alone (with or without its closing '/'): its root page.
  if (text.back() == '/') return {text.substr(0, text.size() - 1), "/"};
  return {text, "/"};
}

// A dotted quad other than 255.255.255.255, in host order.
bool dottedQuad(const char* text, uint32_t* address) {
  struct in_addr parsed;
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  *address = ntohl(parsed.s_addr);
  return *address != 0xFFFFFFFFu;
}

// Whether the site is the server itself: its request host (case ignored, either containing
// the other), one of its addresses or one of its alternate names. host is lower case.
bool isOwnSite(const char* host, const OB_HTTPXact* xact, OB_HTTPServer* server) {
  if (xact->req_host.equals(host)) return true;
  // An empty request host (a request without one) names no site; every text would contain it.
  if (!xact->req_host.empty()) {
    // Lowered in a copy only when it needs it: the resources step has mostly lowered it.
    const char* own = xact->req_host.c_str();
    char lowered[kTextSize];
    const size_t length = xact->req_host.length();
    if (std::any_of(own, own + length, [](char c) { return c >= 'A' && c <= 'Z'; })) {
      std::memcpy(lowered, own, length + 1);
      OB_Tools::toLowerCase(lowered);
      own = lowered;
    }
    if (std::strstr(own, host) != nullptr || std::strstr(host, own) != nullptr) return true;
  }
  if (server == nullptr) return false;
  uint32_t address = 0;
  if (dottedQuad(host, &address) && server->isServerIPMatch(&address) != 0) return true;
  return server->isAltDNS(host) != 0;
}


}  // namespace

void ssReferersSeenData_initAll(OB_IndexChanger* window, ssReferersSeenData* module,
                                uint32_t numOfBins) {
  OB_Log::debug("ssReferersSeenData_initAll()\n");
  module->window = window;
  module->numOfBins = numOfBins;
  module->referrals = stats_newCounts(numOfBins, 0, "ssReferersSeenData_initAll: Not enough memory");
  statsBuckets_init(&module->hosts, numOfBins);
}

void ssReferersSeenData_freeAll(ssReferersSeenData* module) {
  OB_Log::debug("ssReferersSeenData_freeAll()\n");
  std::free(module->referrals);
  module->referrals = nullptr;
  statsBuckets_free(&module->hosts);
}

bool ssReferersSeenData_otherSite(const OB_HTTPXact* xact, OB_HTTPServer* server, char* text,
                                  std::string_view* site, std::string_view* page) {
  const std::string_view referer = stats_firstToken(
      std::string_view(xact->req_referer.c_str(), xact->req_referer.length()), "?;# ");
  RefererParts parts = split(referer);
  if (parts.host.substr(0, 7) == "http://") parts.host.remove_prefix(7);
  if (parts.host.empty()) return false;
  std::memcpy(text, parts.host.data(), parts.host.size());
  text[parts.host.size()] = '\0';
  if (xact->req_host.equals(text)) return false;
  OB_Tools::toLowerCase(text);
  if (isOwnSite(text, xact, server)) return false;
  *site = std::string_view(text, parts.host.size());
  *page = parts.path;
  return true;
}

void ssReferersSeenData_procX(ssReferersSeenData* module, const httpNetInfo_t* info,
                              OB_HTTPProtocol* /*protocol*/, const OB_HTTPXact* xact,
                              OB_HTTPServer* server) {
  const int b = info->windowIndex;
  if (b < 0 || static_cast<uint32_t>(b) >= module->numOfBins || xact->req_referer.empty()) return;
  char text[kTextSize];
  std::string_view name, path;
  if (const httpXactFacts_t* facts = info->facts; facts != nullptr) {
    if (!facts->refererCounted) return;
    name = facts->refererHost;
    path = facts->refererPath;
  } else if (!ssReferersSeenData_otherSite(xact, server, text, &name, &path)) {
    return;
  }

  stats_bump(&module->referrals[b]);
  statsCounter_t* entry = statsBuckets_find(&module->hosts, name);
  if (entry == nullptr) {
    // Past the bound of tracked names a new host counts in the referrals only.
    if (!trackedNames_admit()) return;
    entry = statsBuckets_append(&module->hosts, name, kAddHost);
    entry->sub = static_cast<statsCounterList_t*>(stats_alloc(sizeof(statsCounterList_t), kAddHost));
    statsList_init(entry->sub, module->numOfBins, 1, StatsNames::kOwnCopy);
  }
  stats_bump(&entry->counts[b]);
  if (statsCounter_t* page = statsList_findOrTrack(entry->sub, path, kAddPath); page != nullptr)
    stats_bump(&page->counts[b]);
}

statsTopN_t* ssReferersSeenData_getHostBreakdownSummary(ssReferersSeenData* module, int n) {
  StatsWindowHold hold(module->window);
  StatsTopN select(n, nullptr, module->numOfBins);
  select.offerList(&module->hosts);
  return select.finish("ssReferersSeenData_getHostBreakdownSummary: no memory");
}

statsBreakdown_t* ssReferersSeenData_getSpecificBreakdownSummary(ssReferersSeenData* module,
                                                                 const char* host) {
  constexpr const char* kWho = "ssReferersSeenData_getSpecificBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  statsCounter_t* entry = statsBuckets_find(&module->hosts, host);
  statsBreakdown_t* summary = stats_newBreakdown(entry != nullptr ? entry->sub->count : 0, kWho);
  if (entry != nullptr) stats_addList(summary, entry->sub, kWho);
  return summary;
}

statsSeries_t* ssReferersSeenData_getHitSeries(ssReferersSeenData* module, int32_t type,
                                               const char* host, const char* path) {
  constexpr const char* kWho = "ssReferersSeenData_getHitSeries: Not enough memory";
  StatsWindowHold hold(module->window);
  const uint32_t n = module->numOfBins;
  if (type == 0) return stats_seriesOf(module->window, "All hosts", module->referrals, n, kWho);
  if (type != 1 && type != 2) return nullptr;
  // A host or path that is not known gives zeros under an empty name.
  const statsCounter_t* entry = statsBuckets_find(&module->hosts, host != nullptr ? host : "");
  if (entry != nullptr && type == 2)
    entry = statsList_find(entry->sub, path != nullptr ? path : "");
  if (entry == nullptr) return stats_seriesOf(module->window, "", nullptr, n, kWho);
  return stats_seriesOf(module->window, std::string_view(entry->name, entry->length),
                        entry->counts, n, kWho);
}

void ssReferersSeenData_print(FILE* stream, ssReferersSeenData* module) {
  StatsTopNHold top(ssReferersSeenData_getHostBreakdownSummary(module, 10));
  fprintf(stream, "Referer Host Breakdown Summary\n------------------------------\n");
  for (size_t i = 0; i < top->count; ++i) {
    stats_printEntries(stream, &top->entries[i], 1);
    StatsBreakdownHold paths(
        ssReferersSeenData_getSpecificBreakdownSummary(module, top->entries[i].name));
    stats_printEntries(stream, paths->entries, paths->count);
  }
}

// ---- Console commands ----

namespace {

// The N the console asked for, echoed sign-extended.
int echoN(int socket, int16_t n) {
  return writeJ_UInt32(socket, static_cast<uint32_t>(static_cast<int32_t>(n)));
}

int topHosts(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request,
             bool withPaths, const char* handler) {
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int16_t n = 0;
  if (set == nullptr || readJ_SInt16(socket, &n) != 0) return stats_fail(handler);
  ssReferersSeenData* module = &set->referersSeenData;
  StatsWindowHold hold(module->window);
  StatsTopNHold top(ssReferersSeenData_getHostBreakdownSummary(module, n));
  if (echoN(socket, n) != 0 || stats_writeCount(socket, top->count) != 0)
    return stats_fail(handler);
  for (size_t i = 0; i < top->count; ++i) {
    if (stats_writeName(socket, top->entries[i].name) != 0 ||
        stats_writeCount(socket, top->entries[i].total) != 0)
      return stats_fail(handler);
    if (!withPaths) continue;
    StatsBreakdownHold paths(
        ssReferersSeenData_getSpecificBreakdownSummary(module, top->entries[i].name));
    if (stats_writeBreakdown(socket, paths.get()) != 0) return stats_fail(handler);
  }
  return 0;
}

}  // namespace

int hcommand_HTTPServerRefererHostsBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request) {
  return topHosts(stats, socket, request, true, "hcommand_HTTPServerRefererHostsBreakdown");
}

int hcommand_HTTPServerRefererTopHosts(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request) {
  return topHosts(stats, socket, request, false, "hcommand_HTTPServerRefererTopHosts");
}

int hcommand_HTTPServerRefererPathsBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerRefererPathsBreakdown";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  char host[kStatsLineSize];
  if (set == nullptr || stats_readLine(socket, host, sizeof host) != 0)
    return stats_fail(kHandler);
  StatsBreakdownHold paths(
      ssReferersSeenData_getSpecificBreakdownSummary(&set->referersSeenData, host));
  if (stats_writeName(socket, host) != 0 || stats_writeBreakdown(socket, paths.get()) != 0)
    return stats_fail(kHandler);
  return 0;
}

int hcommand_HTTPServerRefererSeries(OB_HTTPAnalysisStats* stats, int socket,
                                     OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerRefererSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int32_t type = 0;
  char host[kStatsLineSize], path[kStatsLineSize];
  if (set == nullptr || readJ_SInt32(socket, &type) != 0 ||
      stats_readLine(socket, host, sizeof host) != 0 ||
      stats_readLine(socket, path, sizeof path) != 0)
    return stats_fail(kHandler);
  // A type the module does not know gives no series: this request fails, nothing else.
  return stats_reply(socket,
                     ssReferersSeenData_getHitSeries(&set->referersSeenData, type, host, path),
                     kHandler);
}
