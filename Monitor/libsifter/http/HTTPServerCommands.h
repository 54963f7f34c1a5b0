// The analysis console's summary of the HTTP server space: for every server the requesting user
// may see, its index, its errors and its hits over the whole window. It reads the window's
// OB_HTTPAnalysisStats, which the command layer has locked, and writes only the payload after
// the success header.
#pragma once

class OB_HTTPAnalysisStats;
class OB_User;

// 1000: the number of servers that follow (root sees every server), then for each its index
// (SInt32), its "All Errors" total and its "All Hits" total (UInt32 each, held at 0xFFFFFFFF).
// 0, or -1 after logging "hcommand_HTTPServerSpaceSummary: Problem sending stats info." when a
// write fails.
int hcommand_HTTPServerSpaceSummary(OB_HTTPAnalysisStats* stats, int socket, OB_User* user);
