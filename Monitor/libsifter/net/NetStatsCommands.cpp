#include "net/NetStatsCommands.h"

#include <cstring>
#include <memory>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "config/OB_User.h"
#include "console/OB_AEngineTCPRequest.h"
#include "net/OB_NetAnalysisStats.h"
#include "stats/StatsReply.h"

namespace {

struct BreakdownFree {
  void operator()(netUtilBreakdown_t* p) const { netUtilData_freeBreakdown(p); }
  void operator()(netProtoBreakdown_t* p) const { netProtoData_freeBreakdown(p); }
};
using UtilHold = std::unique_ptr<netUtilBreakdown_t, BreakdownFree>;
using ProtoHold = std::unique_ptr<netProtoBreakdown_t, BreakdownFree>;

uint16_t subsetOf(const OB_AEngineTCPRequest* request) {
  return static_cast<uint16_t>(request->subset & 0xFFFF);
}

// The modules of group number g: 0 all traffic, 1 .. numNetGroups that group. Null otherwise.
NetServerStatsModules_t* groupScope(OB_NetAnalysisStats* stats,
                                    const OB_AEngineTCPRequest* request) {
  if (stats == nullptr || request == nullptr) return nullptr;
  const int32_t g = request->itemIndex;
  if (g == 0) return &stats->allTraffic;
  if (g < 0 || g > stats->numNetGroups || stats->netGroups == nullptr) return nullptr;
  return &stats->netGroups[g - 1].modules;
}

// The modules of server s of the space and the request's subset; null when either is out of
// range.
template <class Server>
NetServerStatsModules_t* serverScope(NetServerStats_t<Server>* space, uint16_t count,
                                     const OB_AEngineTCPRequest* request) {
  const int32_t s = request->itemIndex;
  if (space == nullptr || s < 0 || s >= count) return nullptr;
  NetServerStats_t<Server>& element = space[s];
  const uint16_t k = subsetOf(request);
  if (k == 0) return &element.modules;
  if (k > element.numXSubsets || element.xModules == nullptr) return nullptr;
  return &element.xModules[k - 1];
}

int writeHead(int socket, const netUtilBreakdown_t* breakdown) {
  if (writeJ_SInt32(socket, breakdown->nowTime) != 0) return -1;
  if (writeJ_SInt32(socket, breakdown->agoTime) != 0) return -1;
  return writeJ_UInt32(socket, breakdown->numOfBins);
}

// Every bin of all traffic: packets seen, bytes seen, packets and bytes accepted, dropped.
int writeFullForm(int socket, netUtilData* module) {
  UtilHold all(netUtilData_getBreakdown(module));
  if (writeHead(socket, all.get()) != 0) return -1;
  for (uint32_t i = 0; i < all->numOfBins; ++i) {
    for (const int64_t* array : {all->packsSeen, all->bytesSeen, all->packsAccepted,
                                 all->bytesAccepted, all->reportedDropped})
      if (writeJ_SInt64(socket, array[i]) != 0) return -1;
  }
  return 0;
}

// Every bin of all traffic's seen and accepted counts beside the scope's accepted counts.
int writeCombinedForm(int socket, netUtilData* allTraffic, netUtilData* scope) {
  UtilHold all(netUtilData_getBreakdown(allTraffic));
  UtilHold own(netUtilData_getAcceptedBreakdown(scope));
  if (writeHead(socket, own.get()) != 0) return -1;
  for (uint32_t i = 0; i < own->numOfBins; ++i) {
    // Both modules count over the one window; a bin all traffic lacks reads as 0.
    const bool inAll = i < all->numOfBins;
    for (const int64_t* array : {all->packsSeen, all->bytesSeen, all->packsAccepted,
                                 all->bytesAccepted})
      if (writeJ_SInt64(socket, inAll ? array[i] : 0) != 0) return -1;
    if (writeJ_SInt64(socket, own->packsAccepted[i]) != 0) return -1;
    if (writeJ_SInt64(socket, own->bytesAccepted[i]) != 0) return -1;
  }
  return 0;
}

int writeProtoForm(int socket, netProtoData* module) {
  ProtoHold protocols(netProtoData_getBreakdown(module));
  if (writeJ_UInt16(socket, protocols->count) != 0) return -1;
  for (uint16_t i = 0; i < protocols->count; ++i) {
    const netProtoCount_t& entry = protocols->entries[i];
    if (writeJ_UInt16(socket, entry.psid) != 0 || writeJ_UInt16(socket, entry.ppsid) != 0 ||
        writeJ_SInt64(socket, entry.packs) != 0 || writeJ_SInt64(socket, entry.bytes) != 0)
      return -1;
  }
  return 0;
}

// A server scope's reply: true, then the combined or the protocol form.
int serverReply(OB_NetAnalysisStats* stats, int socket, NetServerStatsModules_t* scope,
                bool protocols, const char* handler) {
  if (scope == nullptr) return stats_fail(handler);
  if (writeJ_Boolean(socket, 1) != 0) return stats_fail(handler);
  const int written = protocols ? writeProtoForm(socket, &scope->proto)
                                : writeCombinedForm(socket, &stats->allTraffic.util, &scope->util);
  return written == 0 ? 0 : stats_fail(handler);
}

}  // namespace

int hcommand_NetworkGroupAllSummary(OB_NetAnalysisStats* stats, int socket,
                                    OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_NetworkGroupAllSummary";
  OB_User* user = request != nullptr ? request->userRecord : nullptr;
  if (stats == nullptr || user == nullptr) return stats_fail(kName);
  const bool root = std::strcmp(user->login, "root") == 0;
  auto shown = [&](uint16_t g) { return root || user->isAllowed(OB_User::kNetGroup, g) != 0; };

  uint32_t count = 0;
  for (uint16_t g = 0; g < stats->numNetGroups; ++g) count += shown(g) ? 1 : 0;
  int64_t allBytes = 0;
  netUtilData_getAcceptedTotals(&stats->allTraffic.util, nullptr, &allBytes);
  if (writeJ_Boolean(socket, stats->getNetStatsOn()) != 0) return stats_fail(kName);
  if (writeJ_UInt32(socket, count) != 0) return stats_fail(kName);
  for (uint16_t g = 0; g < stats->numNetGroups; ++g) {
    if (!shown(g)) continue;
    int64_t packs = 0;
    int64_t bytes = 0;
    netUtilData_getAcceptedTotals(&stats->netGroups[g].modules.util, &packs, &bytes);
    if (writeJ_SInt32(socket, g) != 0 || writeJ_SInt64(socket, packs) != 0 ||
        writeJ_SInt64(socket, bytes) != 0 || writeJ_SInt64(socket, allBytes) != 0)
      return stats_fail(kName);
  }
  return 0;
}

int hcommand_netUtilBreakdown(OB_NetAnalysisStats* stats, int socket,
                              OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_netUtilBreakdown";
  NetServerStatsModules_t* scope = groupScope(stats, request);
  if (scope == nullptr) return stats_fail(kName);
  if (scope == &stats->allTraffic) {
    if (writeJ_Boolean(socket, 1) != 0 || writeFullForm(socket, &scope->util) != 0)
      return stats_fail(kName);
    return 0;
  }
  if (writeJ_Boolean(socket, stats->getNetStatsOn()) != 0 ||
      writeCombinedForm(socket, &stats->allTraffic.util, &scope->util) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_netProtoBreakdown(OB_NetAnalysisStats* stats, int socket,
                               OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_netProtoBreakdown";
  NetServerStatsModules_t* scope = groupScope(stats, request);
  if (scope == nullptr) return stats_fail(kName);
  const int flag = scope == &stats->allTraffic ? 1 : stats->getNetStatsOn();
  if (writeJ_Boolean(socket, flag) != 0 || writeProtoForm(socket, &scope->proto) != 0)
    return stats_fail(kName);
  return 0;
}

int hcommand_netHTTPServerUtilBreakdown(OB_NetAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_netHTTPServerUtilBreakdown";
  if (stats == nullptr || request == nullptr) return stats_fail(kName);
  return serverReply(stats, socket, serverScope(stats->httpServers, stats->numHTTPServers, request),
                     false, kName);
}

int hcommand_netHTTPServerProtoBreakdown(OB_NetAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_netHTTPServerProtoBreakdown";
  if (stats == nullptr || request == nullptr) return stats_fail(kName);
  return serverReply(stats, socket, serverScope(stats->httpServers, stats->numHTTPServers, request),
                     true, kName);
}

int hcommand_netFTPServerUtilBreakdown(OB_NetAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_netFTPServerUtilBreakdown";
  if (stats == nullptr || request == nullptr) return stats_fail(kName);
  return serverReply(stats, socket, serverScope(stats->ftpServers, stats->numFTPServers, request),
                     false, kName);
}

int hcommand_netFTPServerProtoBreakdown(OB_NetAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request) {
  constexpr const char* kName = "hcommand_netFTPServerProtoBreakdown";
  if (stats == nullptr || request == nullptr) return stats_fail(kName);
  return serverReply(stats, socket, serverScope(stats->ftpServers, stats->numFTPServers, request),
                     true, kName);
}

namespace {
int unknownCommand(const OB_AEngineTCPRequest* request) {
  stats_logLine("(%d) Unknown command\n", request != nullptr ? request->command : -1);
  return -1;
}
}  // namespace

int handle_netGroup(OB_NetAnalysisStats* stats, int socket, OB_User* /*user*/,
                    OB_AEngineTCPRequest* request) {
  if (request != nullptr && request->command == 101)
    return hcommand_NetworkGroupAllSummary(stats, socket, request);
  return unknownCommand(request);
}

int netStats_dispatch(OB_NetAnalysisStats* stats, int socket, OB_User* /*user*/,
                      OB_AEngineTCPRequest* request) {
  switch (request != nullptr ? request->command : -1) {
    case 7000:
      return hcommand_netUtilBreakdown(stats, socket, request);
    case 7005:
      return hcommand_netProtoBreakdown(stats, socket, request);
    case 7010:
      return hcommand_netHTTPServerUtilBreakdown(stats, socket, request);
    case 7015:
      return hcommand_netHTTPServerProtoBreakdown(stats, socket, request);
    case 7020:
      return hcommand_netFTPServerUtilBreakdown(stats, socket, request);
    case 7025:
      return hcommand_netFTPServerProtoBreakdown(stats, socket, request);
    default:
      return unknownCommand(request);
  }
}

int netStats_checkAllowed(OB_User* user, const OB_AEngineTCPRequest* request) {
  if (user == nullptr || request == nullptr) return 8;
  // The low 16 bits of the item index name the item; an index past the user's lists is
  // refused by isAllowed like a hidden item.
  const int32_t item = request->itemIndex;
  switch (request->command) {
    case 7000:
    case 7005:
      if (item == 0) return 0;
      return user->isAllowed(OB_User::kNetGroup, static_cast<uint16_t>((static_cast<uint32_t>(item) - 1u) & 0xFFFF)) != 0
                 ? 0
                 : 8;
    case 7010:
    case 7015:
      return user->isAllowed(OB_User::kHTTPServer, static_cast<uint16_t>(item & 0xFFFF)) != 0 ? 0
                                                                                             : 9;
    case 7020:
    case 7025:
      return user->isAllowed(OB_User::kFTPServer, static_cast<uint16_t>(item & 0xFFFF)) != 0 ? 0
                                                                                            : 10;
    default:
      return 0;
  }
}
