// The analysis console's HTTP commands that gather the series of several modules into one reply:
// the dashboard of one server (1002) and the comparison of every server the asking user may see,
// by one kind of figure (3000) or by its busiest referring sites (3010). They own no data; they
// read the window's OB_HTTPAnalysisStats, which the command layer has locked, and write only the
// payload after its success header.
//
// The comparisons report every server of the window to "root" and the servers whose HTTP flag is
// set in the user's record to anyone else, in server order; the count they send first is the
// number of servers they report. The request's subset number applies to every server. Each
// handler returns 0, or -1 after logging "<handler>: Problem getting or sending info." when a
// request field cannot be read, the server or subset is not the window's, or a write fails.
#pragma once

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
class OB_User;

// 1002: the server's overall server and network response times, the window's bounds, then eleven
// runs in time order: all hits, "text/html" hits, "text/html" entry points, referrals, errors,
// new clients, rejected, unacknowledged and empty connections, and the server and network
// response times per bin.
int hcommand_HTTPServerSummary(OB_HTTPAnalysisStats* stats, int socket,
                               OB_AEngineTCPRequest* request);
// 3000: the window's bounds (those of the first server's "All FROM Server" series; the window's
// own without servers), then per reported server the run of the asked type (0 to 12), its index
// and the figure over the window.
int hcommand_HTTPXServerTransactionBreakdown(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                                             OB_AEngineTCPRequest* request);
// 3010: per reported server its index and the referrals of its N busiest referring sites.
int hcommand_HTTPXServerReferrerBreakdown(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                                          OB_AEngineTCPRequest* request);
