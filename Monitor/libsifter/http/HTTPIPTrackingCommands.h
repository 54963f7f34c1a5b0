// The analysis console's IP-tracking commands on one HTTP server of a window: its busiest clients
// (all, of one network, of an address range), one client's requests per bin and its path of
// pages, and the counters per top-level domain of the clients' names with their series. They
// read the server's OB_IPTracker in the window's OB_HTTPAnalysisStats, which the command layer
// has locked, and write only the payload after its success header.
//
// The request's item index names the server; addresses are lines of at most 32 bytes in any form
// the C library's inet_aton takes. Each handler returns 0, or -1 after logging "<handler>:
// Problem getting or sending info." when a request field cannot be read or does not convert, the
// server or subset is not the window's, an asked address or domain is not tracked, or a write
// fails.
#pragma once

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;

// 1065: the clients ranked by type: 0 all of them by their pages, 2 those of one network (first
// address and mask), 3 those of an address range (either order), the last two by their requests;
// restricted to the request's transaction subset. Type 4 is answered as 1070.
int hcommand_HTTPIPTracking(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request);
// 1066: one client's requests per bin, in plain bin order.
int hcommand_HTTPServerIPTrackingSeries(OB_HTTPAnalysisStats* stats, int socket,
                                        OB_AEngineTCPRequest* request);
// 1067: every domain counter's key and total, in order of first use.
int hcommand_HTTPServerIPTrackingList(OB_HTTPAnalysisStats* stats, int socket,
                                      OB_AEngineTCPRequest* request);
// 1068: one domain counter per bin, in plain bin order; its key line is at most 1024 bytes.
int hcommand_HTTPServerIPTrackingDomainSeries(OB_HTTPAnalysisStats* stats, int socket,
                                              OB_AEngineTCPRequest* request);
// 1070: one client's pages in the order it asked for them, each with its time (seconds).
int hcommand_HTTPIPTrackingPaths(OB_HTTPAnalysisStats* stats, int socket,
                                 OB_AEngineTCPRequest* request);
