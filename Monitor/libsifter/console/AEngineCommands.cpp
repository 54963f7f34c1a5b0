#include "console/AEngineCommands.h"

#include "OB_Log.h"
#include "config/OB_User.h"
#include "console/OB_AEngineTCPConnection.h"
#include "console/OB_AEngineTCPRequest.h"
#include "ftp/FTPServerCommands.h"
#include "ftp/FTPcsXData.h"
#include "ftp/OB_FTPAnalysisStats.h"
#include "http/HTTPIPTrackingCommands.h"
#include "http/HTTPServerCommands.h"
#include "http/HTTPSummaryCommands.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/ResourcesServedCommands.h"
#include "http/ssDomainsSeenData.h"
#include "http/ssErrorData.h"
#include "http/ssHitData.h"
#include "http/ssNetworkData.h"
#include "http/ssReferersSeenData.h"
#include "http/ssUserAgentData.h"
#include "net/NetStatsCommands.h"
#include "net/OB_NetAnalysisStats.h"
#include "stats/StatsModule.h"
#include "stats/csXData.h"

namespace {

using HTTPRequestHandler = int (*)(OB_HTTPAnalysisStats*, int, OB_AEngineTCPRequest*);
using HTTPUserHandler = int (*)(OB_HTTPAnalysisStats*, int, OB_User*, OB_AEngineTCPRequest*);
using FTPRequestHandler = int (*)(OB_FTPAnalysisStats*, int, OB_AEngineTCPRequest*);
using NetRequestHandler = int (*)(OB_NetAnalysisStats*, int, OB_User*, OB_AEngineTCPRequest*);

// Adapters from the handlers' own forms to the table's.
template <HTTPRequestHandler handler>
int http(const AEngineWindowStats& s, int socket, OB_User*, OB_AEngineTCPRequest* request) {
  return handler(s.http, socket, request);
}
template <HTTPUserHandler handler>
int httpUser(const AEngineWindowStats& s, int socket, OB_User* user,
             OB_AEngineTCPRequest* request) {
  return handler(s.http, socket, user, request);
}
template <FTPRequestHandler handler>
int ftp(const AEngineWindowStats& s, int socket, OB_User*, OB_AEngineTCPRequest* request) {
  return handler(s.ftp, socket, request);
}
template <NetRequestHandler handler>
int net(const AEngineWindowStats& s, int socket, OB_User* user, OB_AEngineTCPRequest* request) {
  return handler(s.net, socket, user, request);
}
int httpSpace(const AEngineWindowStats& s, int socket, OB_User* user, OB_AEngineTCPRequest*) {
  return hcommand_HTTPServerSpaceSummary(s.http, socket, user);
}
int ftpSpace(const AEngineWindowStats& s, int socket, OB_User* user, OB_AEngineTCPRequest*) {
  return hcommand_FTPServerSpaceSummary(s.ftp, socket, user);
}

// In code order. The family of a code is its thousand (its hundreds below 1000).
constexpr AEngineCommand kCommands[] = {
    {101, AEngineFamily::kNetGroup, net<handle_netGroup>},
    {1000, AEngineFamily::kHTTPServer, httpSpace},
    {1002, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerSummary>},
    {1003, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerHitOverviewSeries>},
    {1005, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerMethodBreakdown>},
    {1006, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerMethodSeries>},
    {1010, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerMIMEBreakdown>},
    {1011, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerMIMESeries>},
    {1012, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerMIMEEntryPointSeries>},
    {1015, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerResponseTimeSeries>},
    {1020, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerErrorTypeBreakdown>},
    {1021, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerErrorResourceBreakdown>},
    {1022, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerErrorSeries>},
    {1025, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerResourcesServedBreakdown>},
    {1026, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerResourcesServedIP>},
    {1030, AEngineFamily::kHTTPServer,
     http<hcommand_HTTPServerResourcesServedHitSeries>},
    {1031, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerEntryPointBreakdown>},
    {1032, AEngineFamily::kHTTPServer,
     http<hcommand_HTTPServerResourcesServedEntryPointSeries>},
    {1033, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerRefererHostsBreakdown>},
    {1034, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerRefererErrorBreakdown>},
    {1035, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerRefererTopHosts>},
    {1040, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerRefererPathsBreakdown>},
    {1045, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerRefererSeries>},
    {1050, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerDomainBreakdown>},
    {1051, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerDomainSeries>},
    {1055, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerUserAgentBreakdown>},
    {1056, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerUserAgentSeries>},
    {1060, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerPagesPerEntrySeries>},
    {1065, AEngineFamily::kHTTPServer, http<hcommand_HTTPIPTracking>},
    {1066, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerIPTrackingSeries>},
    {1067, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerIPTrackingList>},
    {1068, AEngineFamily::kHTTPServer, http<hcommand_HTTPServerIPTrackingDomainSeries>},
    {1070, AEngineFamily::kHTTPServer, http<hcommand_HTTPIPTrackingPaths>},
    {2005, AEngineFamily::kHTTPClient, http<hcommand_HTTPClientXBreakdown>},
    {2006, AEngineFamily::kHTTPClient, http<hcommand_HTTPClientXSeries>},
    {2010, AEngineFamily::kHTTPClient, http<hcommand_HTTPClientServersSeenBreakdown>},
    {2011, AEngineFamily::kHTTPClient, http<hcommand_HTTPClientServersSeenSeries>},
    {3000, AEngineFamily::kHTTPX, httpUser<hcommand_HTTPXServerTransactionBreakdown>},
    {3010, AEngineFamily::kHTTPX, httpUser<hcommand_HTTPXServerReferrerBreakdown>},
    {4000, AEngineFamily::kFTPServer, ftpSpace},
    {4002, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerSummary>},
    {4010, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerTrnsfrBreakdown>},
    {4011, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerTrnsfrSeries>},
    {4013, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerResponseTimeSeries>},
    {4015, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerAbortsBreakdown>},
    {4016, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerAbortsSeries>},
    {4020, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerDomainBreakdown>},
    {4021, AEngineFamily::kFTPServer, ftp<hcommand_FTPServerDomainSeries>},
    {4030, AEngineFamily::kFTPServer, ftp<hcommand_FTPIPTracking>},
    {5005, AEngineFamily::kFTPClient, ftp<hcommand_FTPClientXBreakdown>},
    {5006, AEngineFamily::kFTPClient, ftp<hcommand_FTPClientXSeries>},
    {5010, AEngineFamily::kFTPClient, ftp<hcommand_FTPClientServersSeenBreakdown>},
    {5011, AEngineFamily::kFTPClient, ftp<hcommand_FTPClientServersSeenSeries>},
    {6000, AEngineFamily::kFTPX, ftp<hcommand_FTPXServerTransactionBreakdown>},
    {7000, AEngineFamily::kNet, net<netStats_dispatch>},
    {7005, AEngineFamily::kNet, net<netStats_dispatch>},
    {7010, AEngineFamily::kNet, net<netStats_dispatch>},
    {7015, AEngineFamily::kNet, net<netStats_dispatch>},
    {7020, AEngineFamily::kNet, net<netStats_dispatch>},
    {7025, AEngineFamily::kNet, net<netStats_dispatch>},
};

constexpr AEngineFamily familyOfCode(int32_t code) {
  if (code < 1000) return AEngineFamily::kNetGroup;
  switch (code / 1000) {
    case 1: return AEngineFamily::kHTTPServer;
    case 2: return AEngineFamily::kHTTPClient;
    case 3: return AEngineFamily::kHTTPX;
    case 4: return AEngineFamily::kFTPServer;
    case 5: return AEngineFamily::kFTPClient;
    case 6: return AEngineFamily::kFTPX;
    default: return AEngineFamily::kNet;
  }
}

constexpr bool tableIsSound() {
  int32_t previous = 0;
  for (const AEngineCommand& command : kCommands) {
    if (command.code <= previous || command.code < 100 || command.code > 7999 ||
        familyOfCode(command.code) != command.family)
      return false;
    previous = command.code;
  }
  return true;
}
static_assert(tableIsSound(), "command codes ascend, lie in 100-7999 and sit in their family");

// The window's clock, which the HTTP families hold around a handler.
OB_IndexChanger* windowOf(OB_HTTPAnalysisStats* stats) {
  return stats != nullptr ? stats->getTimeWindow() : nullptr;
}

int unknownCommand(int32_t code) {
  OB_Log::ret("(%d) Unknown command\n", code);
  return -1;
}

int dispatchFamily(AEngineFamily family, const AEngineWindowStats& stats, int socket,
                   OB_User* user, OB_AEngineTCPRequest* request) {
  const AEngineCommand* command = aengine_findCommand(request->command);
  if (command == nullptr || command->family != family || command->handler == nullptr)
    return unknownCommand(request->command);
  return command->handler(stats, socket, user, request);
}

int dispatchHTTP(AEngineFamily family, OB_HTTPAnalysisStats* http, int socket, OB_User* user,
                 OB_AEngineTCPRequest* request) {
  StatsWindowHold hold(windowOf(http));
  return dispatchFamily(family, AEngineWindowStats{nullptr, http, nullptr}, socket, user,
                        request);
}

int dispatchFTP(AEngineFamily family, OB_FTPAnalysisStats* ftp, int socket, OB_User* user,
                OB_AEngineTCPRequest* request) {
  return dispatchFamily(family, AEngineWindowStats{nullptr, nullptr, ftp}, socket, user, request);
}

int itemOf(const OB_AEngineTCPRequest* request) { return request->itemIndex & 0xFFFF; }

}  // namespace

const AEngineCommand* aengine_findCommand(int32_t code) {
  for (const AEngineCommand& command : kCommands)
    if (command.code == code) return &command;
  return nullptr;
}

bool aengine_hasStatistics(const AEngineCommand* command, const AEngineWindowStats& stats) {
  switch (command->family) {
    case AEngineFamily::kNetGroup:
    case AEngineFamily::kNet:
      return stats.net != nullptr;
    case AEngineFamily::kHTTPServer:
    case AEngineFamily::kHTTPClient:
    case AEngineFamily::kHTTPX:
      return stats.http != nullptr;
    default:
      return stats.ftp != nullptr;
  }
}

int aengine_checkAllowed(const AEngineCommand* command, OB_User* user,
                         const OB_AEngineTCPRequest* request) {
  if (user == nullptr) return kTCPInvalidCommand;
  const uint16_t item = static_cast<uint16_t>(itemOf(request));
  switch (command->family) {
    case AEngineFamily::kNetGroup:
      if (command->code == 101) return 0;
      [[fallthrough]];
    case AEngineFamily::kHTTPClient:
    case AEngineFamily::kFTPClient:
      return user->isAllowed(OB_User::kNetGroup, item) != 0 ? 0 : kAEngineNetGroupRefused;
    case AEngineFamily::kHTTPServer:
      if (command->code == 1000) return 0;
      return user->isAllowed(OB_User::kHTTPServer, item) != 0 ? 0 : kAEngineHTTPServerRefused;
    case AEngineFamily::kFTPServer:
      if (command->code == 4000) return 0;
      return user->isAllowed(OB_User::kFTPServer, item) != 0 ? 0 : kAEngineFTPServerRefused;
    case AEngineFamily::kNet:
      return netStats_checkAllowed(user, request);
    default:
      return 0;
  }
}

int handle_HTTPServer(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                      OB_AEngineTCPRequest* request) {
  return dispatchHTTP(AEngineFamily::kHTTPServer, stats, socket, user, request);
}

int handle_HTTPClient(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                      OB_AEngineTCPRequest* request) {
  return dispatchHTTP(AEngineFamily::kHTTPClient, stats, socket, user, request);
}

int handle_HTTPX(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                 OB_AEngineTCPRequest* request) {
  return dispatchHTTP(AEngineFamily::kHTTPX, stats, socket, user, request);
}

int handle_FTPServer(OB_FTPAnalysisStats* stats, int socket, OB_User* user,
                     OB_AEngineTCPRequest* request) {
  return dispatchFTP(AEngineFamily::kFTPServer, stats, socket, user, request);
}

int handle_FTPClient(OB_FTPAnalysisStats* stats, int socket, OB_User* user,
                     OB_AEngineTCPRequest* request) {
  return dispatchFTP(AEngineFamily::kFTPClient, stats, socket, user, request);
}

int handle_FTPX(OB_FTPAnalysisStats* stats, int socket, OB_User* user,
                OB_AEngineTCPRequest* request) {
  return dispatchFTP(AEngineFamily::kFTPX, stats, socket, user, request);
}

int aengine_dispatch(const AEngineWindowStats& stats, int socket, OB_User* user,
                     OB_AEngineTCPRequest* request) {
  const AEngineCommand* command = aengine_findCommand(request->command);
  if (command == nullptr) return unknownCommand(request->command);
  switch (command->family) {
    case AEngineFamily::kHTTPServer: return handle_HTTPServer(stats.http, socket, user, request);
    case AEngineFamily::kHTTPClient: return handle_HTTPClient(stats.http, socket, user, request);
    case AEngineFamily::kHTTPX: return handle_HTTPX(stats.http, socket, user, request);
    case AEngineFamily::kFTPServer: return handle_FTPServer(stats.ftp, socket, user, request);
    case AEngineFamily::kFTPClient: return handle_FTPClient(stats.ftp, socket, user, request);
    case AEngineFamily::kFTPX: return handle_FTPX(stats.ftp, socket, user, request);
    default: return dispatchFamily(command->family, stats, socket, user, request);
  }
}
