// The analysis console's FTP server commands: the space summary of every server the user may
// see (4000), the reports on one server of the window (4002 to 4030) and the comparison of all
// servers (6000). They read the window's OB_FTPAnalysisStats, which the command layer has
// locked, and write only the payload after its success header.
//
// The request's item index names the server (0 .. numServers-1) and the low 16 bits of its
// subset number all its connections (0) or its k-th transaction subset (1 .. numXSubsets); a
// number out of range fails the request. Each handler returns 0, or -1 after logging
// "<handler>: Problem getting or sending info." when a request field cannot be read, an index
// or field is out of range, or a write fails.
#pragma once

#include <cstdint>

class OB_AEngineTCPRequest;
class OB_FTPAnalysisStats;
class OB_User;
struct FTPServerSpace_t;
struct FTPServerStatsModules_t;
struct XSubset_t;

// The server the request names, or null.
FTPServerSpace_t* ftp_selectServer(OB_FTPAnalysisStats* stats,
                                   const OB_AEngineTCPRequest* request);
// Its module set for the request's subset number, or null when either is out of range.
FTPServerStatsModules_t* ftp_selectModules(OB_FTPAnalysisStats* stats,
                                           const OB_AEngineTCPRequest* request);

// 4000: the number of servers the user may see, then for each of them its index, its aborts
// and its completed transfers over the window.
int hcommand_FTPServerSpaceSummary(OB_FTPAnalysisStats* stats, int socket, OB_User* user);

int hcommand_FTPServerSummary(OB_FTPAnalysisStats* stats, int socket,
                              OB_AEngineTCPRequest* request);
int hcommand_FTPServerTrnsfrBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request);
int hcommand_FTPServerTrnsfrSeries(OB_FTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request);
int hcommand_FTPServerResponseTimeSeries(OB_FTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request);
int hcommand_FTPServerAbortsBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request);
int hcommand_FTPServerAbortsSeries(OB_FTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request);
int hcommand_FTPServerDomainBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request);
int hcommand_FTPServerDomainSeries(OB_FTPAnalysisStats* stats, int socket,
                                   OB_AEngineTCPRequest* request);
// 4030: the busiest clients of the server (or of its subset): query type 0 the N largest
// counts among its 500 largest, 2 those of one network, 3 those of an address range.
int hcommand_FTPIPTracking(OB_FTPAnalysisStats* stats, int socket,
                           OB_AEngineTCPRequest* request);
// 6000: one series of a type (0 to 7) for every server the requesting user may see.
int hcommand_FTPXServerTransactionBreakdown(OB_FTPAnalysisStats* stats, int socket,
                                            OB_AEngineTCPRequest* request);
