// The console commands of the network statistics: the network-group summary (101) and the
// utilisation and protocol breakdowns of all traffic, a network group, an HTTP server or an FTP
// server with its transaction subsets (7000 to 7025), the two family dispatchers, and the
// permission each request needs. Handlers run on the console connection's thread with the
// window's network statistics locked by the command layer, which has written the success
// header; a handler writes only its payload, or fails (logged, -1) before writing anything when
// the request names a scope the statistics do not have.
#pragma once

#include <cstdint>

class OB_AEngineTCPRequest;
class OB_NetAnalysisStats;
class OB_User;

// Request fields: the item index names the scope. For 7000 and 7005 it is a group number, 0 for
// all traffic and 1 .. the number of groups for group number - 1; for 7010 to 7025 the server's
// index. The subset number's low 16 bits choose a server's transaction subset (0: all).
int hcommand_NetworkGroupAllSummary(OB_NetAnalysisStats* stats, int socket,
                                    OB_AEngineTCPRequest* request);
int hcommand_netUtilBreakdown(OB_NetAnalysisStats* stats, int socket,
                              OB_AEngineTCPRequest* request);
int hcommand_netProtoBreakdown(OB_NetAnalysisStats* stats, int socket,
                               OB_AEngineTCPRequest* request);
int hcommand_netHTTPServerUtilBreakdown(OB_NetAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request);
int hcommand_netHTTPServerProtoBreakdown(OB_NetAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request);
int hcommand_netFTPServerUtilBreakdown(OB_NetAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request);
int hcommand_netFTPServerProtoBreakdown(OB_NetAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request);

// The dispatchers of the codes 100-999 (only 101 exists) and 7000-7999: the handler's result;
// an unknown code logs "(<code>) Unknown command" and gives -1.
int handle_netGroup(OB_NetAnalysisStats* stats, int socket, OB_User* user,
                    OB_AEngineTCPRequest* request);
int netStats_dispatch(OB_NetAnalysisStats* stats, int socket, OB_User* user,
                      OB_AEngineTCPRequest* request);

// The permission check of a 7000-7999 request for user: 0 when the user may see the scope the
// request names (all traffic and codes without a scope need none), else the error index of the
// refusal: 8 for a network group, 9 for an HTTP server, 10 for an FTP server. The scope's
// existence is the handler's to check.
int netStats_checkAllowed(OB_User* user, const OB_AEngineTCPRequest* request);
