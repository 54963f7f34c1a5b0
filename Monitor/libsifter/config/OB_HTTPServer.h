// One web server the analysis watches: one address or several, the alternate DNS names clients
// reach it by, and the filters that choose which of its transactions are analysed (URL parameter
// masks, client address ranges, URL and user-agent substrings), plus its report lists. A
// definition stands in the watched-server list from construction to destruction; after filling
// addresses by read or readJ it republishes itself to the capture filter.
//
// It answers to OB_Server's identity (class name and queryInterface); obQuery<OB_HTTPServer> is
// therefore not offered, and callers keep typed pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "OB_List.h"
#include "config/OB_ConfigReportList.h"
#include "tcp/OB_Server.h"

class OB_HTTPServer : public virtual OB_Server {
  OB_CLASS_CREATE(OB_HTTPServer)

 public:
  static constexpr uint16_t kDefaultPort = 80;
  static constexpr int kMaxAltDNSes = 32;
  static constexpr int kMaxListEntries = 512;
  // The URL buffers that maskParamValues works on by default (a transaction's request URI).
  static constexpr size_t kURLSize = 1024;

  // Its identity is OB_Server's; asking for an OB_HTTPServer face would yield the wrong object.
  static OB_ClassID getClassID() = delete;

  // Port 80, everything else cleared, an empty owning report list.
  OB_HTTPServer();
  OB_HTTPServer(const OB_HTTPServer&) = delete;
  OB_HTTPServer& operator=(const OB_HTTPServer&) = delete;
  // Frees the owned strings and the report lists; leaves the watched-server list.
  ~OB_HTTPServer() override;

  // 1 when the URL or the user-agent filter is on.
  virtual int isContentFiltered();
  // Masks, in place, the value of each listed parameter (its first occurrence) with its
  // replacement. url is a NUL-ended text in a buffer of size bytes; a longer result is cut to
  // size - 1 characters. 1 when the text changed, else 0 (also with masking off).
  virtual int maskParamValues(char* url, size_t size = kURLSize);
  // 1 when *port is the server's port.
  virtual int isServerPortMatch(const uint16_t* port);
  // Type 0: the address; type 1: one of the listed addresses. Another type ends the process.
  virtual int isServerIPMatch(const uint32_t* address);
  // The client-address filter: 1 when the client passes.
  virtual int isClientIPMatch(const uint32_t* address);
  // The URL and user-agent substring filters: 1 when the text passes.
  virtual int isURLMatch(const char* url);
  virtual int isUserAgentMatch(const char* agent);
  // 1 when host is exactly one of the alternate names of the server's type. Another type ends
  // the process.
  virtual int isAltDNS(const char* host);
  // Always 1: the definition wants every packet it matches.
  int isNeeded(OB_Packet* packet) override;
  // Its sessions are the "http" consumer's.
  const char* getProtocolName() override { return "http"; }

  // Clears what OB_Server clears and every alternate name, mask and filter; keeps the port and
  // the report lists. 0.
  int init() override;
  // The text record (with the report lists); -1 on a write error.
  int write(FILE* stream) override;
  // The text record, replacing the report lists. A malformed record or a count above its limit
  // ends the process with the record's message; -1 when a report list cannot be read.
  int read(FILE* stream) override;
  // The wire record; -1 at the first failed or short write.
  int writeJ(int socket) override;
  // The wire record, replacing the report lists. -1 at the first failed read, a malformed
  // address, a server type other than 0 and 1, or a count above its limit (logged); the
  // definition then holds what was read so far.
  int readJ(int socket) override;
  // Why the definition would not read back from the configuration file as it is (a text the
  // file cannot keep: see OB_ConfigRecordIO::Kept); null when it would. SET_CONFIG refuses what
  // has a reason.
  const char* storageProblem();

  uint16_t sNumOfAltDNSes = 0;
  char* sAltDNSes[kMaxAltDNSes] = {};  // owned (malloc'd), null when unused
  uint16_t mNumOfAltDNSes = 0;
  char* mAltDNSes[kMaxAltDNSes] = {};
  int32_t paramMaskApply = 0;
  uint16_t paramMaskCount = 0;
  char* paramMaskVariables[kMaxListEntries] = {};
  char* paramMaskReplacements[kMaxListEntries] = {};
  int32_t clientIPApply = 0;
  int32_t clientIPDiscard = 0;  // non-zero: clients in the ranges are dropped
  uint16_t clientIPCount = 0;
  uint32_t clientIPRanges[kMaxListEntries][2] = {};  // host order, low and high, inclusive
  int32_t urlSubstrApply = 0;
  int32_t urlSubstrDiscard = 0;
  uint16_t urlSubstrCount = 0;
  char* urlSubstrs[kMaxListEntries] = {};
  int32_t usrAgntSubstrApply = 0;
  int32_t usrAgntSubstrDiscard = 0;
  uint16_t usrAgntSubstrCount = 0;
  char* usrAgntSubstrs[kMaxListEntries] = {};
  OB_List<OB_ConfigReportList> reportLists;  // owning

 private:
  void freeStrings();
};
