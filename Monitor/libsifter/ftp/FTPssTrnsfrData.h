// The file transfers of one FTP server (or one transaction subset of it), per bin: the completed
// ones (FTPssTrnsfrData) and the aborted ones (FTPssAbortsData), each by file name in two
// lists, FROM the server (it sent the file) and TO it. Two modules of an FTP server's module
// set (OB_FTPAnalysisStats), fed once per transfer under the FTP reader's lock.
//
// Each list begins with its fixed total entry ("All FROM Server", "All TO Server"). Completed
// transfers' names are interned in the resource-name table; aborted ones are own copies.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/StatsModule.h"

class OB_FTPProtocol;
class OB_FTPftranLink;
class OB_IndexChanger;

// The two lists of one kind of transfer.
struct FTPssTransfers {
  OB_IndexChanger* window;  // not owned
  statsCounterList_t from;  // the server is the source
  statsCounterList_t to;    // the server is the destination
};

// A transfer counts here when its completion flag is not 0, and as aborted when it is not 1:
// a flag of 2 counts in both.
struct FTPssTrnsfrData : FTPssTransfers {};
struct FTPssAbortsData : FTPssTransfers {};

// The list kinds of the series requests.
constexpr int32_t kFTPFromList = 0;
constexpr int32_t kFTPToList = 1;

void FTPssTrnsfrData_initAll(OB_IndexChanger* window, FTPssTrnsfrData* module,
                             uint32_t numOfBins);
void FTPssAbortsData_initAll(OB_IndexChanger* window, FTPssAbortsData* module,
                             uint32_t numOfBins);
void FTPssTrnsfrData_freeAll(FTPssTrnsfrData* module);
void FTPssAbortsData_freeAll(FTPssAbortsData* module);

// One transfer of protocol (the server is its server address) in bin: counted in the FROM list
// when the server sent it, in the TO list when it received it (both when it did both), under
// the list's total and under the transfer's file name.
void FTPssTrnsfrData_procX(FTPssTrnsfrData* module, int32_t bin, const OB_FTPProtocol* protocol,
                           const OB_FTPftranLink* transfer);
void FTPssAbortsData_procX(FTPssAbortsData* module, int32_t bin, const OB_FTPProtocol* protocol,
                           const OB_FTPftranLink* transfer);

// Both lists' entries with their totals over the window: in each list the total entry first,
// then the others, largest total first. Owned by the caller; free with
// FTPssTransfers_freeBreakdown.
struct FTPTransferBreakdown_t {
  uint64_t fromTotal;  // the first FROM entry's total
  uint64_t toTotal;    // the first TO entry's total
  statsBreakdown_t* from;
  statsBreakdown_t* to;
};
FTPTransferBreakdown_t* FTPssTrnsfrData_getBreakdown(FTPssTrnsfrData* module);
// The same, with only the FROM list sorted: the TO list keeps the order of first appearance.
FTPTransferBreakdown_t* FTPssAbortsData_getBreakdown(FTPssAbortsData* module);
void FTPssTransfers_freeBreakdown(FTPTransferBreakdown_t* breakdown);

// The totals over the window of the two lists' total entries, added.
uint64_t FTPssTransfers_getTotal(FTPssTransfers* module);

// The series of the entry of that name in the list of kind (kFTPFromList, kFTPToList), zeros
// when the list has none; null for another kind.
statsSeries_t* FTPssTrnsfrData_getSeries(FTPssTrnsfrData* module, int32_t kind, const char* name);
statsSeries_t* FTPssAbortsData_getSeries(FTPssAbortsData* module, int32_t kind, const char* name);
// "All FROM Server" and "All TO Server" added bin by bin, as "All file transfers".
statsSeries_t* FTPssTrnsfrData_getAllTransfers(FTPssTrnsfrData* module);

// The text form of either module: the FROM entries, then the TO entries.
void FTPssTransfers_print(FILE* stream, FTPssTransfers* module);
