// The domains of the clients of one FTP server (or one transaction subset of it), per bin:
// connections from clients whose host name resolved (counted by its top-level domain too),
// did not resolve (no name, or a numeric one), or has no domain (a single label). One module of
// an FTP server's module set (OB_FTPAnalysisStats), fed once per connection with the client's
// name from the server's IP tracker, under the FTP reader's lock. Domain names are own copies.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/StatsModule.h"

class OB_IndexChanger;

struct FTPssDomainsSeenData {
  OB_IndexChanger* window;  // not owned
  uint32_t numOfBins;
  uint32_t* resolvedCount;    // owned, each
  uint32_t* unresolvedCount;
  uint32_t* nodomainCount;
  statsCounterList_t domains;  // lower-case top-level domains, in order of first appearance
};

// How a host name classifies (getDomain).
enum FTPDomainStatus : int { kFTPResolved = 0, kFTPUnresolved = 1, kFTPNoDomain = 2 };

// Empty or without a letter: unresolved; one character, or no '.' after the first: no domain;
// else resolved, and domain (size bytes, NUL included) receives the text after the last '.',
// lower-cased. host null reads as empty.
int FTPssDomainsSeenData_getDomain(const char* host, char* domain, size_t size);

void FTPssDomainsSeenData_initAll(OB_IndexChanger* window, FTPssDomainsSeenData* module,
                                  uint32_t numOfBins);
void FTPssDomainsSeenData_freeAll(FTPssDomainsSeenData* module);
// One connection in bin from the client named host (null or "" when it has no name).
void FTPssDomainsSeenData_procX(FTPssDomainsSeenData* module, int32_t bin, const char* host);

// Header resolved, unresolved and no-domain totals, then the domains with their totals in list
// order (the breakdown form's entry count is the domain count).
statsBreakdown_t* FTPssDomainsSeenData_getBreakdownSummary(FTPssDomainsSeenData* module);
// The series of the domain of that exact name; zeros when there is none.
statsSeries_t* FTPssDomainsSeenData_getSeries(FTPssDomainsSeenData* module, const char* name);
void FTPssDomainsSeenData_print(FILE* stream, FTPssDomainsSeenData* module);
