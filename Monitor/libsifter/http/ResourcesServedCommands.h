// The analysis console's resources-served commands on one HTTP server (or one transaction subset
// of it) of a window: the most served resources, the clients of one resource, the entry points,
// the series of one resource's hits or entry points, and the resources whose entry points met
// error statuses with the pages that referred to them. They read the module set's
// OB_ResourceStats in the window's OB_HTTPAnalysisStats, which the command layer has locked, and
// write only the payload after its success header.
//
// N of a list is an unsigned 16-bit count: 0 lists nothing, -1 (65535) everything. Each handler
// returns 0, or -1 after logging "<handler>: Problem getting or sending info." when a request
// field cannot be read, the server or subset is not the window's, or a write fails. A resource
// never seen is no failure: it has no clients and a zero series.
#pragma once

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;

// 1025: N and the MIME filter echoed, the response content types seen, then the N most served
// resources of that type ("All": any) whose URI holds the substring, largest hit total first.
int hcommand_HTTPServerResourcesServedBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                                OB_AEngineTCPRequest* request);
// 1026: the clients of one resource (kind 0) or of its entry points (any other kind), first seen
// first, each with its requests of the resource and its requests of the server.
int hcommand_HTTPServerResourcesServedIP(OB_HTTPAnalysisStats* stats, int socket,
                                         OB_AEngineTCPRequest* request);
// 1030 and 1032: the series of one resource's hits (kind 0) or entry points (kind 1); failures
// of both log this routine's name.
int hcommand_HTTPServerResourcesServedSeries(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request, int kind);
int hcommand_HTTPServerResourcesServedHitSeries(OB_HTTPAnalysisStats* stats, int socket,
                                                OB_AEngineTCPRequest* request);
int hcommand_HTTPServerResourcesServedEntryPointSeries(OB_HTTPAnalysisStats* stats, int socket,
                                                       OB_AEngineTCPRequest* request);
// 1031: N echoed, then the N "text/html" resources that began most visits; failures log the
// name of 1025.
int hcommand_HTTPServerEntryPointBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                           OB_AEngineTCPRequest* request);
// 1034: the N resources whose entry points met most error statuses, each with its referring
// pages and their counts.
int hcommand_HTTPServerRefererErrorBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                             OB_AEngineTCPRequest* request);
