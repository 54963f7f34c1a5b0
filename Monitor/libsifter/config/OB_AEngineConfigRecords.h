// The three plain records of the analysis configuration: time windows, network groups and
// transaction ("X") subsets, with their key{value} text form, their console wire form and the
// address tests the statistics run with them. Records read from a file are new heap objects
// owned by the caller (free them with delete). Addresses are host order.
#pragma once

#include <cstdint>
#include <cstdio>

struct timeWindow_t {
  char name[512];  // NUL-ended
  uint16_t windowType;
  uint16_t alignRTType;
  uint16_t alignRTOffset;
  uint32_t staticNowTime;  // seconds since 1970
  uint32_t staticAgoTime;  // seconds since 1970
  uint32_t staticNumOfBins;
};

struct networkGroup_t {
  static constexpr int kMaxNets = 5;
  char name[512];
  uint16_t numOfNets;  // 0 .. kMaxNets
  uint32_t exampleAddress[kMaxNets];
  uint32_t maskAddress[kMaxNets];
  uint32_t network[kMaxNets];  // example AND mask; never written or sent
};

struct XSubset_t {
  static constexpr int kMaxNets = 5;
  char name[512];
  int32_t acceptMatching;  // non-zero: accepts addresses inside its nets; zero: outside them
  uint16_t numOfNets;      // 0 .. kMaxNets
  uint32_t exampleAddress[kMaxNets];
  uint32_t maskAddress[kMaxNets];
  uint32_t network[kMaxNets];  // example AND mask; never written or sent
};

// Text form: a comment line, one key{value} line per field, an empty line. Reading consumes
// exactly those lines whatever their keys say. More than 5 nets or a malformed address ends the
// process with the record's message; an all-ones address is taken only as a mask. The readers
// return a new record (owned by the caller) with its network values derived. The writers
// return -1 on a write error, else 0.
timeWindow_t* timeWindow_read(FILE* stream);
int timeWindow_write(FILE* stream, const timeWindow_t* window);
networkGroup_t* networkGroup_readGroup(FILE* stream);
int networkGroup_write(FILE* stream, const networkGroup_t* group);
XSubset_t* XSubset_readFilter(FILE* stream);
int XSubset_write(FILE* stream, const XSubset_t* subset);

// Copy every field, the derived network values included (the nets beyond numOfNets are
// cleared). 0.
int timeWindow_copy(timeWindow_t* dst, const timeWindow_t* src);
int networkGroup_copy(networkGroup_t* dst, const networkGroup_t* src);
int XSubset_copy(XSubset_t* dst, const XSubset_t* src);

// Why the engine could not count with the window: null when it can; else the reason. A window
// is aligned (day, week or month) or static; it has 1 to 32767 bins (a month window has one per
// day whatever the record says) and no more bins than seconds; a static window ends after it
// begins.
const char* timeWindow_problem(const timeWindow_t* window);

// 1 when (*address AND mask) is the network of one of the group's nets; 0 without nets.
int networkGroup_isMatch(const networkGroup_t* group, const uint32_t* address);
// Inside one of the nets: 1 when the subset accepts matching addresses; outside all of them: 1
// when it accepts the others. A subset without nets takes every address or none.
int XSubset_isMatch(const XSubset_t* subset, const uint32_t* address);

// Wire form, for GET_CONFIG and SET_CONFIG. Writers: -1 at the first failed write. Readers fill
// the record (network values derived) and return 0; -1 at the first failed read, more than 5
// nets, or an address that does not convert. A bad address is logged as
// "<who>: Malformed IP Address(n): <text>", n being 1 (group example), 2 (group mask), 3 (subset
// example) or 4 (subset mask), as the console's error log lists them.
int timeWindow_writeJ(int socket, const timeWindow_t* window);
int timeWindow_readJ(int socket, timeWindow_t* window);
int networkGroup_writeJ(int socket, const networkGroup_t* group);
int networkGroup_readJ(int socket, networkGroup_t* group, const char* who = "hcommand_SET_CONFIG");
int XSubset_writeJ(int socket, const XSubset_t* subset);
int XSubset_readJ(int socket, XSubset_t* subset, const char* who = "hcommand_SET_CONFIG");
