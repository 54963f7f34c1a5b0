#include "http/HTTPIPTrackingCommands.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStats.h"
#include "http/OB_Resource.h"
#include "stats/OB_IPTracker.h"
#include "stats/StatsReply.h"
#include "stats/dataStructs.h"
#include "windows/OB_IndexChanger.h"

namespace {

constexpr const char* kTracking = "hcommand_HTTPIPTracking";
constexpr const char* kSeries = "hcommand_HTTPServerIPTrackingSeries";
constexpr const char* kList = "hcommand_HTTPServerIPTrackingList";
constexpr const char* kDomainSeries = "hcommand_HTTPServerIPTrackingDomainSeries";

// An address line, NUL included.
constexpr int kAddressSize = 32;
// A text of a ranked entry longer than this goes out cut to kCutLength characters.
constexpr size_t kLongestText = 255;
constexpr size_t kCutLength = 254;

struct ListFree {
  void operator()(str2CntList_t* p) const { dataStructs_freeList(p); }
};
using ClientListHold = std::unique_ptr<str2CntList_t, ListFree>;

int writeCut(int socket, const char* text) {
  if (text == nullptr || std::strlen(text) <= kLongestText) return stats_writeName(socket, text);
  char cut[kCutLength + 1];
  std::memcpy(cut, text, kCutLength);
  cut[kCutLength] = '\0';
  return stats_writeName(socket, cut);
}

// The tracked client whose address line the request carries next (the line is left in text).
OB_IPTrackerHash* readClient(int socket, OB_HTTPServerStats* server, char (&text)[kAddressSize]) {
  uint32_t address = 0;
  if (server == nullptr || stats_readLine(socket, text, sizeof text) != 0 ||
      !stats_parseAddress(text, false, &address))
    return nullptr;
  return server->ipTracker->findRecord(address);
}

// The window's bounds as a series sends them.
int writeWindow(int socket, OB_IndexChanger* window) {
  if (writeJ_SInt32(socket, static_cast<int32_t>(window->getNowTime())) != 0 ||
      writeJ_SInt32(socket, static_cast<int32_t>(window->getAgoTime())) != 0 ||
      writeJ_UInt32(socket, window->getNumOfBins()) != 0)
    return -1;
  return 0;
}

// 1070, and 1065 of type 4: the failure text is the caller's.
int sendPath(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request,
             const char* handler) {
  StatsWindowHold hold(stats != nullptr ? stats->getTimeWindow() : nullptr);
  char text[kAddressSize];
  OB_IPTrackerHash* client = readClient(socket, stats_selectServer(stats, request), text);
  if (client == nullptr) return stats_fail(handler);
  const auto* path = client->getPath();
  if (writeJ_UInt32(socket, path != nullptr ? static_cast<uint32_t>(path->size()) : 0) != 0)
    return stats_fail(handler);
  if (path == nullptr) return 0;
  for (const OB_PathNode& node : *path) {
    // Only the resources-served counters go into a path; anything else is a broken table.
    OB_Resource* resource = obQuery<OB_Resource>(node.getItem());
    if (resource == nullptr || stats_writeName(socket, resource->getResource()) != 0 ||
        writeJ_UInt32(socket, node.getTime()) != 0)
      return stats_fail(handler);
  }
  return 0;
}

}  // namespace

int hcommand_HTTPIPTracking(OB_HTTPAnalysisStats* stats, int socket,
                            OB_AEngineTCPRequest* request) {
  int16_t type = 0;
  if (readJ_SInt16(socket, &type) != 0) return stats_fail(kTracking);
  if (type == 4) return sendPath(stats, socket, request, kTracking);
  int16_t n = 0;
  char firstText[kAddressSize];
  char secondText[kAddressSize];
  uint32_t first = 0;
  uint32_t second = 0;
  if (readJ_SInt16(socket, &n) != 0 || stats_readLine(socket, firstText, sizeof firstText) != 0 ||
      stats_readLine(socket, secondText, sizeof secondText) != 0 ||
      !stats_parseAddress(firstText, false, &first) ||
      !stats_parseAddress(secondText, true, &second))
    return stats_fail(kTracking);
  OB_HTTPServerStats* server = stats_selectServer(stats, request);
  XSubset_t* subset = nullptr;
  if (server == nullptr || !stats_selectSubset(server, request, &subset))
    return stats_fail(kTracking);
  OB_IPTracker* tracker = server->ipTracker;
  ClientListHold clients;
  switch (type) {
    case 0:
      clients.reset(tracker->getTopN(subset, n));
      break;
    case 2:
      clients.reset(tracker->getTopNByNetwork(subset, n, first, second));
      break;
    case 3:
      clients.reset(tracker->getTopNByRange(subset, n, first, second));
      break;
    case 1:
      return stats_fail(kTracking);
    default:
      stats_logLine("%s: invalid type", kTracking);
      return stats_fail(kTracking);
  }
  if (clients == nullptr) {
    stats_logLine("%s: ipTracker returned NULL", kTracking);
    return stats_fail(kTracking);
  }
  if (writeJ_UInt32(socket, clients->count) != 0) return stats_fail(kTracking);
  for (const str2CntEntry_t* entry = clients->head; entry != nullptr; entry = entry->next)
    if (writeCut(socket, entry->name) != 0 || writeCut(socket, entry->name2) != 0 ||
        writeJ_UInt32(socket, entry->a) != 0 || writeJ_UInt32(socket, entry->b) != 0)
      return stats_fail(kTracking);
  return 0;
}

int hcommand_HTTPServerIPTrackingSeries(OB_HTTPAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request) {
  OB_IndexChanger* window = stats != nullptr ? stats->getTimeWindow() : nullptr;
  StatsWindowHold hold(window);
  char text[kAddressSize];
  OB_IPTrackerHash* client = readClient(socket, stats_selectServer(stats, request), text);
  if (window == nullptr || client == nullptr) return stats_fail(kSeries);
  const uint32_t n = window->getNumOfBins();
  std::vector<uint32_t> counts(n, 0);
  if (const auto* path = client->getPath(); path != nullptr) {
    for (const OB_PathNode& node : *path) {
      const uint32_t time = node.getTime();
      const int bin = window->calcIndex(&time);
      if (bin >= 0 && static_cast<uint32_t>(bin) < n) ++counts[static_cast<size_t>(bin)];
    }
  }
  if (stats_writeName(socket, text) != 0 || writeWindow(socket, window) != 0 ||
      stats_writeValues(socket, counts.data(), n) != 0)
    return stats_fail(kSeries);
  return 0;
}

int hcommand_HTTPServerIPTrackingList(OB_HTTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request) {
  StatsWindowHold hold(stats != nullptr ? stats->getTimeWindow() : nullptr);
  OB_HTTPServerStats* server = stats_selectServer(stats, request);
  if (server == nullptr) return stats_fail(kList);
  OB_NamedList<OB_CountArray>* counters = server->ipTracker->getDomainCounters();
  OB_MutexHold listHold(counters);
  if (writeJ_UInt32(socket, static_cast<uint32_t>(counters->getCount())) != 0)
    return stats_fail(kList);
  for (OB_CountArray* counter = counters->first(); counter != nullptr; counter = counters->next())
    if (stats_writeName(socket, counters->getCurrentName()) != 0 ||
        stats_writeCount(socket, counter->getTotal()) != 0)
      return stats_fail(kList);
  return 0;
}

int hcommand_HTTPServerIPTrackingDomainSeries(OB_HTTPAnalysisStats* stats, int socket,
                                              OB_AEngineTCPRequest* request) {
  OB_IndexChanger* window = stats != nullptr ? stats->getTimeWindow() : nullptr;
  StatsWindowHold hold(window);
  OB_HTTPServerStats* server = stats_selectServer(stats, request);
  char key[kStatsLineSize];
  if (window == nullptr || server == nullptr || stats_readLine(socket, key, sizeof key) != 0)
    return stats_fail(kDomainSeries);
  OB_CountArray* counter = server->ipTracker->getDomainCounters()->find(key);
  if (counter == nullptr) return stats_fail(kDomainSeries);
  const uint32_t n = window->getNumOfBins();
  if (stats_writeName(socket, key) != 0 || writeWindow(socket, window) != 0)
    return stats_fail(kDomainSeries);
  for (uint32_t b = 0; b < n; ++b)
    if (writeJ_UInt32(socket, counter->getAt(b)) != 0) return stats_fail(kDomainSeries);
  return 0;
}

int hcommand_HTTPIPTrackingPaths(OB_HTTPAnalysisStats* stats, int socket,
                                 OB_AEngineTCPRequest* request) {
  return sendPath(stats, socket, request, kTracking);
}
