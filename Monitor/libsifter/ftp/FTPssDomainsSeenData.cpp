#include "ftp/FTPssDomainsSeenData.h"

#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "OB_Log.h"

int FTPssDomainsSeenData_getDomain(const char* host, char* domain, size_t size) {
  if (size > 0) domain[0] = '\0';
  const char* text = host != nullptr ? host : "";
  bool letter = false;
  for (const char* c = text; *c != '\0' && !letter; ++c)
    letter = std::isalpha(static_cast<unsigned char>(*c)) != 0;
  if (!letter) return kFTPUnresolved;
  const char* dot = std::strrchr(text + 1, '.');
  if (text[1] == '\0' || dot == nullptr) return kFTPNoDomain;
  size_t i = 0;
  for (const char* c = dot + 1; *c != '\0' && i + 1 < size; ++c)
    domain[i++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  if (size > 0) domain[i] = '\0';
  return kFTPResolved;
}

void FTPssDomainsSeenData_initAll(OB_IndexChanger* window, FTPssDomainsSeenData* module,
                                  uint32_t numOfBins) {
  OB_Log::debug("FTPssDomainsSeenData_initAll()\n");
  constexpr const char* kNoMemory = "FTPssDomainsSeenData_initAll: not enough memory";
  module->window = window;
  module->numOfBins = numOfBins;
  module->resolvedCount = stats_newCounts(numOfBins, 0, kNoMemory);
  module->unresolvedCount = stats_newCounts(numOfBins, 0, kNoMemory);
  module->nodomainCount = stats_newCounts(numOfBins, 0, kNoMemory);
  statsList_init(&module->domains, numOfBins, 1, StatsNames::kOwnCopy);
}

void FTPssDomainsSeenData_freeAll(FTPssDomainsSeenData* module) {
  OB_Log::debug("FTPssDomainsSeenData_freeAll()\n");
  for (uint32_t** array :
       {&module->resolvedCount, &module->unresolvedCount, &module->nodomainCount}) {
    std::free(*array);
    *array = nullptr;
  }
  statsList_free(&module->domains);
}

void FTPssDomainsSeenData_procX(FTPssDomainsSeenData* module, int32_t bin, const char* host) {
  if (bin < 0 || static_cast<uint32_t>(bin) >= module->numOfBins) return;
  // Host names are at most 1023 characters where this classification came from.
  char domain[1024];
  switch (FTPssDomainsSeenData_getDomain(host, domain, sizeof domain)) {
    case kFTPResolved:
      stats_bump(&module->resolvedCount[bin]);
      if (domain[0] != '\0')
        stats_bump(&statsList_findOrAppend(&module->domains, domain,
                                           "addCounter: Not enough memory")->counts[bin]);
      break;
    case kFTPUnresolved:
      stats_bump(&module->unresolvedCount[bin]);
      break;
    case kFTPNoDomain:
      stats_bump(&module->nodomainCount[bin]);
      break;
    default:
      OB_Log::quit("FTPssDomainsSeenData_procX: getDomain() returned invalid status.");
  }
}

statsBreakdown_t* FTPssDomainsSeenData_getBreakdownSummary(FTPssDomainsSeenData* module) {
  constexpr const char* kWho = "FTPssDomainsSeenData_getBreakdownSummary: no memory";
  StatsWindowHold hold(module->window);
  statsBreakdown_t* summary = stats_newBreakdown(module->domains.count, kWho);
  summary->numHeader = 3;
  summary->header[0] = stats_sum(module->resolvedCount, module->numOfBins);
  summary->header[1] = stats_sum(module->unresolvedCount, module->numOfBins);
  summary->header[2] = stats_sum(module->nodomainCount, module->numOfBins);
  stats_addList(summary, &module->domains, kWho);
  return summary;
}

statsSeries_t* FTPssDomainsSeenData_getSeries(FTPssDomainsSeenData* module, const char* name) {
  const char* wanted = name != nullptr ? name : "";
  StatsWindowHold hold(module->window);
  const statsCounter_t* entry = statsList_find(&module->domains, wanted);
  return stats_seriesOf(module->window, wanted, entry != nullptr ? entry->counts : nullptr,
                        module->numOfBins, "FTPssDomainsSeenData_getSeries: no memory");
}

void FTPssDomainsSeenData_print(FILE* stream, FTPssDomainsSeenData* module) {
  StatsBreakdownHold summary(FTPssDomainsSeenData_getBreakdownSummary(module));
  fprintf(stream, "Domain Breakdown Summary\n------------------------\n");
  fprintf(stream, "resolvedCount   = %" PRIu64 "\n", summary->header[0]);
  fprintf(stream, "unresolvedCount = %" PRIu64 "\n", summary->header[1]);
  fprintf(stream, "nodomainCount   = %" PRIu64 "\n", summary->header[2]);
  fprintf(stream, "numOfDomains    = %zu\n", summary->count);
  stats_printEntries(stream, summary->entries, summary->count);
}
