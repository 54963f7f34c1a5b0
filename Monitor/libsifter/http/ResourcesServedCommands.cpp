#include "http/ResourcesServedCommands.h"

#include <cstdint>
#include <memory>

#include "OB_SocketIO.h"
#include "OB_Tools.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "http/OB_ResourceStats.h"
#include "stats/OB_IPTracker.h"
#include "stats/StatsReply.h"

namespace {

constexpr const char* kBreakdown = "hcommand_HTTPServerResourcesServedBreakdown";
constexpr const char* kClients = "hcommand_HTTPServerResourcesServedIP";
constexpr const char* kSeries = "hcommand_HTTPServerResourcesServedSeries";
constexpr const char* kRefererErrors = "hcommand_HTTPServerRefererErrorBreakdown";

// The MIME type line of 1026, NUL included.
constexpr int kMimeSize = 256;

// Holds one reference to what the resources-served object hands out.
struct Release {
  void operator()(OB_Object* p) const { obRelease(p); }
};
using CounterListHold = std::unique_ptr<OB_List<OB_ResourceCounterLink>, Release>;
using SeriesHold = std::unique_ptr<OB_ResourceSeries, Release>;

// N as the console sends it, and as the lists take it.
uint16_t listLength(int16_t n) { return static_cast<uint16_t>(n); }
// N echoed: the signed value widened to 32 bits.
int echoN(int socket, int16_t n) {
  return writeJ_UInt32(socket, static_cast<uint32_t>(static_cast<int32_t>(n)));
}

// The count of a breakdown list, then each resource: URI, MIME type and its total.
template <class Total>
int writeResources(int socket, OB_List<OB_ResourceCounterLink>* list, Total total) {
  if (writeJ_UInt32(socket, static_cast<uint32_t>(list->getCount())) != 0) return -1;
  for (OB_ResourceCounterLink* counter = list->first(); counter != nullptr; counter = list->next())
    if (stats_writeName(socket, counter->getResource()) != 0 ||
        stats_writeName(socket, counter->getMimeType()) != 0 ||
        stats_writeCount(socket, total(counter)) != 0)
      return -1;
  return 0;
}

// The response content types seen ("All FROM Server" first of equals), names only.
int writeContentTypes(int socket, OB_HTTPServerStatsModules* set) {
  statsBreakdown_t *from, *to;
  ssHitData_getMIMEBreakdownSummary(&set->hitData, &from, &to);
  StatsBreakdownHold fromHold(from), toHold(to);
  if (stats_writeCount(socket, from->count) != 0) return -1;
  for (size_t i = 0; i < from->count; ++i)
    if (stats_writeName(socket, from->entries[i].name) != 0) return -1;
  return 0;
}

// The referring pages of one resource's entry points that met errors, in order of first error.
int writeRefererErrors(int socket, OB_ResourceCounterLink* counter) {
  OB_List<OB_RefererErrCounterLink>* referers = counter->getRefererErrors();
  if (stats_writeCount(socket, counter->refererErrorTotal()) != 0) return -1;
  OB_MutexHold hold(referers);
  if (writeJ_UInt32(socket, static_cast<uint32_t>(referers->getCount())) != 0) return -1;
  for (OB_RefererErrCounterLink* referer = referers->first(); referer != nullptr;
       referer = referers->next())
    if (stats_writeName(socket, referer->getReferer()) != 0 ||
        stats_writeCount(socket, referer->getTotal()) != 0)
      return -1;
  return 0;
}

}  // namespace

int hcommand_HTTPServerResourcesServedBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                                OB_AEngineTCPRequest* request) {
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int16_t n = 0;
  char mime[kStatsLineSize];
  char substring[kStatsLineSize];
  if (set == nullptr || stats_readTopN(socket, &n, mime, sizeof mime) != 0 ||
      stats_readLine(socket, substring, sizeof substring) != 0)
    return stats_fail(kBreakdown);
  if (echoN(socket, n) != 0 || stats_writeName(socket, mime) != 0 ||
      writeContentTypes(socket, set) != 0)
    return stats_fail(kBreakdown);
  CounterListHold list(set->resourceStats->getHitBreakdown(listLength(n), mime, substring));
  if (writeResources(socket, list.get(),
                     [](OB_ResourceCounterLink* counter) { return counter->getTotal(); }) != 0)
    return stats_fail(kBreakdown);
  return 0;
}

int hcommand_HTTPServerResourcesServedIP(OB_HTTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request) {
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  uint16_t kind = 0;
  char mime[kMimeSize];
  char uri[kStatsLineSize];
  if (set == nullptr || readJ_UInt16(socket, &kind) != 0 ||
      stats_readLine(socket, mime, sizeof mime) != 0 ||
      stats_readLine(socket, uri, sizeof uri) != 0)
    return stats_fail(kClients);
  OB_ResourceCounterLink* counter = set->resourceStats->findCounter(uri, mime);
  OB_ClientList* clients = counter == nullptr ? nullptr
                           : kind == 0        ? counter->getClients()
                                              : counter->getEntryPointClients();
  if (writeJ_UInt32(socket, clients != nullptr ? static_cast<uint32_t>(clients->getCount()) : 0) !=
      0)
    return stats_fail(kClients);
  if (clients == nullptr) return 0;
  for (const OB_ClientList::Entry& entry : clients->entries()) {
    char address[16];
    const OB_IPTrackerHash* client = entry.item;
    if (stats_writeName(socket, OB_Tools::IPAddressString(client->address, address)) != 0 ||
        stats_writeName(socket, client->name) != 0 || writeJ_UInt32(socket, entry.count) != 0 ||
        writeJ_UInt32(socket, client->count) != 0)
      return stats_fail(kClients);
  }
  return 0;
}

int hcommand_HTTPServerResourcesServedSeries(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request, int kind) {
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  char uri[kStatsLineSize];
  char mime[kStatsLineSize];
  if (set == nullptr ||
      (kind != OB_ResourceStats::kHits && kind != OB_ResourceStats::kEntryPoints) ||
      stats_readLine(socket, uri, sizeof uri) != 0 ||
      stats_readLine(socket, mime, sizeof mime) != 0)
    return stats_fail(kSeries);
  SeriesHold series(kind == OB_ResourceStats::kHits
                        ? set->resourceStats->getResourceHitSeries(uri, mime)
                        : set->resourceStats->getEntryPointSeries(uri, mime));
  const uint32_t n = series->getMaxLength();
  if (stats_writeName(socket, series->getResource()) != 0 ||
      writeJ_SInt32(socket, static_cast<int32_t>(series->getNowTime())) != 0 ||
      writeJ_SInt32(socket, static_cast<int32_t>(series->getAgoTime())) != 0 ||
      writeJ_UInt32(socket, n) != 0)
    return stats_fail(kSeries);
  for (uint32_t i = 0; i < n; ++i)
    if (writeJ_UInt32(socket, series->getAt(i)) != 0) return stats_fail(kSeries);
  return 0;
}

int hcommand_HTTPServerResourcesServedHitSeries(OB_HTTPAnalysisStats* stats, int socket,
                                                OB_AEngineTCPRequest* request) {
  return hcommand_HTTPServerResourcesServedSeries(stats, socket, request, OB_ResourceStats::kHits);
}

int hcommand_HTTPServerResourcesServedEntryPointSeries(OB_HTTPAnalysisStats* stats, int socket,
                                                       OB_AEngineTCPRequest* request) {
  return hcommand_HTTPServerResourcesServedSeries(stats, socket, request,
                                                  OB_ResourceStats::kEntryPoints);
}

int hcommand_HTTPServerEntryPointBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                           OB_AEngineTCPRequest* request) {
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int16_t n = 0;
  char substring[kStatsLineSize];
  if (set == nullptr || stats_readTopN(socket, &n, substring, sizeof substring) != 0 ||
      echoN(socket, n) != 0)
    return stats_fail(kBreakdown);
  CounterListHold list(set->resourceStats->getEntryPointBreakdown(listLength(n), substring));
  if (writeResources(socket, list.get(), [](OB_ResourceCounterLink* counter) {
        return counter->getEntryPointCounts()->getTotal();
      }) != 0)
    return stats_fail(kBreakdown);
  return 0;
}

int hcommand_HTTPServerRefererErrorBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request) {
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  int16_t n = 0;
  char substring[kStatsLineSize];
  if (set == nullptr || stats_readTopN(socket, &n, substring, sizeof substring) != 0)
    return stats_fail(kRefererErrors);
  CounterListHold list(set->resourceStats->getRefererErrorBreakdown(listLength(n), substring));
  if (writeJ_UInt32(socket, static_cast<uint32_t>(list->getCount())) != 0)
    return stats_fail(kRefererErrors);
  for (OB_ResourceCounterLink* counter = list->first(); counter != nullptr; counter = list->next())
    if (stats_writeName(socket, counter->getResource()) != 0 ||
        stats_writeName(socket, counter->getMimeType()) != 0 ||
        writeRefererErrors(socket, counter) != 0)
      return stats_fail(kRefererErrors);
  return 0;
}
