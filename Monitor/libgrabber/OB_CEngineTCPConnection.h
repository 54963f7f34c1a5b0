// One console connection of the capture engine: the framework's request handling with the
// engine's server line and client version 7, plus the two commands only the capture engine
// answers, the archive database list and the capture counters.
#pragma once

#include "server/OB_TCPConnection.h"

class OB_CEngineTCPConnection : public OB_TCPConnection {
  OB_CLASS_CREATE(OB_CEngineTCPConnection)

 public:
  static constexpr uint32_t kClientVersion = 7;
  // Archive prefixes of the three database lists, in the order they are sent.
  static constexpr const char* kNetPrefix = "net";
  static constexpr const char* kHTTPPrefix = "http";
  static constexpr const char* kFTPPrefix = "ftp";

  OB_CEngineTCPConnection();
  const char* getClassName() override { return "OB_CEngineTCPConnection"; }

 protected:
  // The network, HTTP and FTP archive file lists of the database folder, back to back. 0, or -1
  // (logged) at the first failed write.
  int hcommand_GET_DATABASE_LIST(int socket) override;
  // The capture statistics block, then 28 TCP session counters and the capture's drops by the
  // kernel and by the interface since start. 0, or -1 (logged) when there is
  // no capture statistics block or a write fails.
  int hcommand_GET_MONITOR_STATS(int socket) override;
};
