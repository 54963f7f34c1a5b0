// One FTP server the analysis watches, by one address or several; the FTP reader asks it only
// whether an address belongs to the server. It stands in the watched-server list from
// construction to destruction and republishes itself to the capture filter after read or readJ.
// Neither its port nor its filter name is stored, so a definition read into a new object has
// port 21.
//
// It answers to OB_Server's identity (class name and queryInterface); obQuery<OB_FTPServer> is
// therefore not offered, and callers keep typed pointers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tcp/OB_Server.h"

class OB_FTPServer : public virtual OB_Server {
  OB_CLASS_CREATE(OB_FTPServer)

 public:
  static constexpr uint16_t kDefaultPort = 21;

  static OB_ClassID getClassID() = delete;

  // Port 21, everything else cleared.
  OB_FTPServer();
  OB_FTPServer(const OB_FTPServer&) = delete;
  OB_FTPServer& operator=(const OB_FTPServer&) = delete;
  ~OB_FTPServer() override = default;

  using OB_Server::isMatch;
  // Type 0: *address is the server's address; type 1: one of its listed addresses. Another
  // type ends the process.
  virtual int isMatch(const uint32_t* address);

  // Its sessions are the "ftp" consumer's.
  const char* getProtocolName() override { return "ftp"; }
  // What OB_Server::init clears, keeping the port; 0.
  int init() override;
  // The text record; -1 on a write error.
  int write(FILE* stream) override;
  // The text record. A type-0 server is named by the domain cache's name of its address
  // (AnalysisHash_cachedDomainName, which never waits for a resolver), else its dotted quad. A
  // malformed record ends the process with the record's message; 0.
  int read(FILE* stream) override;
  // The wire record; -1 at the first failed or short write.
  int writeJ(int socket) override;
  // The wire record. -1 at the first failed read, a malformed address, a server type other than
  // 0 and 1, or more than 32 addresses (logged).
  int readJ(int socket) override;
  // Why the definition would not read back from the configuration file as it is (a text the
  // file cannot keep: see OB_ConfigRecordIO::Kept); null when it would. SET_CONFIG refuses what
  // has a reason.
  const char* storageProblem();
};
