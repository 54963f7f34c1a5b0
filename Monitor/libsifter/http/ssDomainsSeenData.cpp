#include "http/ssDomainsSeenData.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "OB_Log.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPServerStatsModules.h"
#include "stats/StatsReply.h"

void ssDomainsSeenData_initAll(OB_IndexChanger* window, ssDomainsSeenData* module,
                               uint32_t numOfBins) {
  OB_Log::debug("ssDomainsSeenData_initAll()\n");
  constexpr const char* kNoMemory = "ssDomainsSeenData_initAll: not enough memory";
  module->window = window;
  module->numOfBins = numOfBins;
  module->resolved = stats_newCounts(numOfBins, 0, kNoMemory);
  module->unresolved = stats_newCounts(numOfBins, 0, kNoMemory);
  module->noDomain = stats_newCounts(numOfBins, 0, kNoMemory);
  statsList_init(&module->domains, numOfBins, 1, StatsNames::kOwnCopy);
}

void ssDomainsSeenData_freeAll(ssDomainsSeenData* module) {
  OB_Log::debug("ssDomainsSeenData_freeAll()\n");
  for (uint32_t** array : {&module->resolved, &module->unresolved, &module->noDomain}) {
    std::free(*array);
    *array = nullptr;
  }
  statsList_free(&module->domains);
}

void ssDomainsSeenData_procX(ssDomainsSeenData* module, int b, const char* host) {
  if (b < 0 || static_cast<uint32_t>(b) >= module->numOfBins) return;
  const std::string_view name(host != nullptr ? host : "");
  // A letter as isalpha knows it in the "C" locale the programs run in, without a call per
  // character.
  if (std::none_of(name.begin(), name.end(),
                   [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); })) {
    stats_bump(&module->unresolved[b]);
    return;
  }
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    stats_bump(&module->noDomain[b]);
    return;
  }
  stats_bump(&module->resolved[b]);
  const std::string_view domain = name.substr(dot + 1);
  // A name that ends in '.' has no domain text to count under.
  if (domain.empty()) return;
  char lower[256];
  const size_t length = domain.size() < sizeof lower ? domain.size() : sizeof lower - 1;
  for (size_t i = 0; i < length; ++i)
    lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(domain[i])));
  stats_bump(&statsList_findOrAppend(&module->domains, std::string_view(lower, length),
                                     "addCounter: Not enough memory")
                  ->counts[b]);
}

statsBreakdown_t* ssDomainsSeenData_getBreakdownSummary(ssDomainsSeenData* module) {
  constexpr const char* kWho = "ssDomainsSeenData_getBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  statsBreakdown_t* summary = stats_newBreakdown(module->domains.count, kWho);
  summary->numHeader = 3;
  summary->header[0] = stats_sum(module->resolved, module->numOfBins);
  summary->header[1] = stats_sum(module->unresolved, module->numOfBins);
  summary->header[2] = stats_sum(module->noDomain, module->numOfBins);
  stats_addList(summary, &module->domains, kWho);
  return summary;
}

statsSeries_t* ssDomainsSeenData_getSeries(ssDomainsSeenData* module, const char* name) {
  return stats_seriesOfName(module->window, &module->domains, name,
                            "ssDomainsSeenData_getSeries: Not enough memory");
}

void ssDomainsSeenData_print(FILE* stream, ssDomainsSeenData* module) {
  StatsBreakdownHold summary(ssDomainsSeenData_getBreakdownSummary(module));
  fprintf(stream, "Domain Breakdown Summary\n------------------------\n");
  fprintf(stream, "resolvedCount   = %llu\n", static_cast<unsigned long long>(summary->header[0]));
  fprintf(stream, "unresolvedCount = %llu\n", static_cast<unsigned long long>(summary->header[1]));
  fprintf(stream, "nodomainCount   = %llu\n", static_cast<unsigned long long>(summary->header[2]));
  fprintf(stream, "numOfDomains    = %zu\n", summary->count);
  stats_printEntries(stream, summary->entries, summary->count);
}

int hcommand_HTTPServerDomainBreakdown(OB_HTTPAnalysisStats* stats, int socket,
                                       OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerDomainBreakdown";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  if (set == nullptr) return stats_fail(kHandler);
  return stats_reply(socket, ssDomainsSeenData_getBreakdownSummary(&set->domainsSeenData),
                     kHandler);
}

int hcommand_HTTPServerDomainSeries(OB_HTTPAnalysisStats* stats, int socket,
                                    OB_AEngineTCPRequest* request) {
  constexpr const char* kHandler = "hcommand_HTTPServerDomainSeries";
  OB_HTTPServerStatsModules* set = stats_selectModules(stats, request);
  char name[256];
  if (set == nullptr || stats_readLine(socket, name, sizeof name) != 0)
    return stats_fail(kHandler);
  return stats_reply(socket, ssDomainsSeenData_getSeries(&set->domainsSeenData, name), kHandler);
}
