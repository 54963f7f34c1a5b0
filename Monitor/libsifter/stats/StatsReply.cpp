#include "stats/StatsReply.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "OB_Config.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "console/OB_AEngineTCPRequest.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStats.h"

OB_HTTPServerStats* stats_selectServer(OB_HTTPAnalysisStats* stats,
                                       const OB_AEngineTCPRequest* request) {
  if (stats == nullptr || request == nullptr) return nullptr;
  const int32_t server = request->itemIndex;
  if (server < 0 || server >= stats->numServers || stats->servers == nullptr) return nullptr;
  return stats->servers[server];
}

OB_HTTPServerStatsModules* stats_selectModules(OB_HTTPServerStats* server,
                                               const OB_AEngineTCPRequest* request) {
  if (server == nullptr || request == nullptr) return nullptr;
  const uint16_t subset = static_cast<uint16_t>(request->subset & 0xFFFF);
  if (subset == 0) return server->modules;
  if (subset > server->numXSubsets || server->xModules == nullptr) return nullptr;
  return server->xModules[subset - 1];
}

OB_HTTPServerStatsModules* stats_selectModules(OB_HTTPAnalysisStats* stats,
                                               const OB_AEngineTCPRequest* request) {
  return stats_selectModules(stats_selectServer(stats, request), request);
}

bool stats_selectSubset(OB_HTTPServerStats* server, const OB_AEngineTCPRequest* request,
                        XSubset_t** subset) {
  if (server == nullptr || request == nullptr) return false;
  const uint16_t k = static_cast<uint16_t>(request->subset & 0xFFFF);
  if (k == 0) {
    *subset = nullptr;
    return true;
  }
  if (k > server->numXSubsets || server->xSubsets == nullptr) return false;
  *subset = &server->xSubsets[k - 1];
  return true;
}

bool stats_parseAddress(const char* text, bool allowAllOnesText, uint32_t* address) {
  const bool literal = allowAllOnesText && std::strcmp(text, "255.255.255.255") == 0;
  return OB_Config::parseAddress(text, literal, address);
}

namespace {
thread_local StatsLogHold* innerHold = nullptr;
}  // namespace

StatsLogHold::StatsLogHold() : outer_(innerHold) { innerHold = this; }

StatsLogHold::~StatsLogHold() { innerHold = outer_; }

void StatsLogHold::keep() {
  for (const std::string& line : lines_) OB_Log::ret("%s", line.c_str());
  lines_.clear();
}

void stats_logLine(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (innerHold != nullptr)
    innerHold->lines_.emplace_back(line);
  else
    OB_Log::ret("%s", line);
}

int stats_fail(const char* handler) {
  stats_logLine("%s: Problem getting or sending info.", handler);
  return -1;
}

int stats_readLine(int socket, char* buffer, int size) {
  const int stored = readJ_line(socket, buffer, size);
  if (stored < 0) return -1;
  if (stored < size - 1) return 0;
  char end = 0;
  return readJ_n_chars(socket, &end, 1) == 1 && end == '\n' ? 0 : -1;
}

int stats_readTopN(int socket, int16_t* n, char* filter, int size) {
  if (readJ_SInt16(socket, n) != 0) return -1;
  return stats_readLine(socket, filter, size);
}

int stats_reply(int socket, statsBreakdown_t* summary, const char* handler) {
  StatsBreakdownHold hold(summary);
  return stats_writeBreakdown(socket, summary) == 0 ? 0 : stats_fail(handler);
}

int stats_reply(int socket, statsTopN_t* list, const char* handler) {
  StatsTopNHold hold(list);
  return stats_writeTopN(socket, list) == 0 ? 0 : stats_fail(handler);
}

int stats_reply(int socket, statsSeries_t* series, const char* handler) {
  StatsSeriesHold hold(series);
  return series != nullptr && stats_writeSeries(socket, series) == 0 ? 0 : stats_fail(handler);
}

int stats_writeName(int socket, const char* name) {
  const size_t length = name != nullptr ? std::strlen(name) : 0;
  char line[kStatsLineSize + 1];
  if (length < sizeof line) {
    if (length > 0) std::memcpy(line, name, length);
    line[length] = '\n';
    return writeJ_n_chars(socket, line, static_cast<int>(length + 1)) < 0 ? -1 : 0;
  }
  if (length > static_cast<size_t>(std::numeric_limits<int>::max())) return -1;
  if (writeJ_n_chars(socket, name, static_cast<int>(length)) < 0) return -1;
  return writeJ_n_chars(socket, "\n", 1) < 0 ? -1 : 0;
}

int stats_writeCount(int socket, uint64_t value) {
  const uint64_t most = std::numeric_limits<uint32_t>::max();
  return writeJ_UInt32(socket, static_cast<uint32_t>(value < most ? value : most));
}

int stats_writeEntries(int socket, const statsNameTotal_t* entries, size_t count) {
  if (stats_writeCount(socket, count) != 0) return -1;
  for (size_t i = 0; i < count; ++i) {
    if (stats_writeName(socket, entries[i].name) != 0) return -1;
    if (stats_writeCount(socket, entries[i].total) != 0) return -1;
  }
  return 0;
}

int stats_writeBreakdown(int socket, const statsBreakdown_t* summary) {
  for (int i = 0; i < summary->numHeader; ++i)
    if (stats_writeCount(socket, summary->header[i]) != 0) return -1;
  return stats_writeEntries(socket, summary->entries, summary->count);
}

int stats_writeTopN(int socket, const statsTopN_t* list) {
  return stats_writeEntries(socket, list->entries, list->count);
}

int stats_writeValues(int socket, const uint32_t* values, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (writeJ_UInt32(socket, values[i]) != 0) return -1;
  return 0;
}

int stats_writeSeries(int socket, const statsSeries_t* series) {
  if (stats_writeName(socket, series->name) != 0) return -1;
  if (writeJ_SInt32(socket, series->nowTime) != 0) return -1;
  if (writeJ_SInt32(socket, series->agoTime) != 0) return -1;
  if (writeJ_UInt32(socket, series->numOfBins) != 0) return -1;
  return stats_writeValues(socket, series->values, series->numOfBins);
}
