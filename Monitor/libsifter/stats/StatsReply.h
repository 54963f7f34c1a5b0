// The console side of the statistics modules: the request fields the HTTP server handlers read,
// the three reply forms (breakdown, top-N, series) written with the socket encoding, and the
// handlers' failure rule. Handlers run on the console connection's thread with the window's
// statistics locked by the command layer, which has already written the success header; a
// handler writes only its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stats/StatsModule.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;
class OB_HTTPServerStats;
class OB_HTTPServerStatsModules;
struct XSubset_t;

// Longest text fields a handler reads, NUL included.
constexpr int kStatsLineSize = 1024;

// The HTTP server a request names by its item index (0 .. numServers-1), or null.
OB_HTTPServerStats* stats_selectServer(OB_HTTPAnalysisStats* stats,
                                       const OB_AEngineTCPRequest* request);
// The module set a request names: its item index is the HTTP server's index (0 .. numServers-1)
// and the low 16 bits of its subset number select all transactions (0) or the k-th transaction
// subset (1 .. numXSubsets). Null when either is out of range.
OB_HTTPServerStatsModules* stats_selectModules(OB_HTTPAnalysisStats* stats,
                                               const OB_AEngineTCPRequest* request);
// The same for a server already chosen.
OB_HTTPServerStatsModules* stats_selectModules(OB_HTTPServerStats* server,
                                               const OB_AEngineTCPRequest* request);
// The transaction subset record the request's subset number names on that server: null for 0
// (every client). False when the number is beyond the server's subsets.
bool stats_selectSubset(OB_HTTPServerStats* server, const OB_AEngineTCPRequest* request,
                        XSubset_t** subset);

// An address line of a query, in any form the C library's inet_aton takes, to host order.
// All-ones is the converter's failure value: it is taken only where allowAllOnesText says so,
// and then only written out as "255.255.255.255". False when the text does not convert.
bool stats_parseAddress(const char* text, bool allowAllOnesText, uint32_t* address);

// A handler's failure: logs "<handler>: Problem getting or sending info." with the time (as
// stats_logLine does) and returns -1.
int stats_fail(const char* handler);
// A handler's log line (OB_Log::ret's form), or, while a StatsLogHold lives on this thread, kept
// in it.
void stats_logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Keeps the handlers' log lines of one pass over a request on this thread. A pass that ran out
// of the request's fields is run again once more came, so what it said of its failure was no
// failure: its lines are dropped with the hold unless keep() logs them. Holds nest: the outer
// one is in force again after the inner ends.
class StatsLogHold {
 public:
  StatsLogHold();
  ~StatsLogHold();
  StatsLogHold(const StatsLogHold&) = delete;
  StatsLogHold& operator=(const StatsLogHold&) = delete;
  // Logs the lines kept so far, in order, and forgets them.
  void keep();

 private:
  std::vector<std::string> lines_;
  StatsLogHold* outer_;
  friend void stats_logLine(const char* format, ...);
};

// One request text into buffer (size bytes, NUL included). A line that does not fit is refused
// rather than cut, since its rest would be taken for the next field. 0, or -1.
int stats_readLine(int socket, char* buffer, int size);

// The N (SInt16) and filter line of a top-N request. 0, or -1.
int stats_readTopN(int socket, int16_t* n, char* filter, int size);

// What a handler built, sent in its form and freed: 0, or the handler's failure when a write
// fails (or, for a series, when there is none).
int stats_reply(int socket, statsBreakdown_t* summary, const char* handler);
int stats_reply(int socket, statsTopN_t* list, const char* handler);
int stats_reply(int socket, statsSeries_t* series, const char* handler);

// A name as its characters and one "\n", no terminator, no length. 0, or -1.
int stats_writeName(int socket, const char* name);
// A count or total as a UInt32, held at 0xFFFFFFFF when wider.
int stats_writeCount(int socket, uint64_t value);
// The entry count, then each entry's name line and total.
int stats_writeEntries(int socket, const statsNameTotal_t* entries, size_t count);
// Breakdown form: the header fields, the entry count, the entries.
int stats_writeBreakdown(int socket, const statsBreakdown_t* summary);
// Top-N form: the entry count, the entries.
int stats_writeTopN(int socket, const statsTopN_t* list);
// Series form: name line, nowTime and agoTime (SInt32), numOfBins, the values.
int stats_writeSeries(int socket, const statsSeries_t* series);
// Series values alone (the runs of a combined reply).
int stats_writeValues(int socket, const uint32_t* values, uint32_t count);
