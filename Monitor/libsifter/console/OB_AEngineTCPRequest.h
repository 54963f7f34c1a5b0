// One analysis console request: the command servers' common fields, then the three numbers the
// analysis engine adds (time window, transaction subset, item index). The analysis connection
// reads it and, once the header is checked, points it at the requesting user; the statistics
// handlers read the subset and item from it.
#pragma once

#include <cstdint>

#include "server/OB_TCPRequest.h"

class OB_User;

class OB_AEngineTCPRequest : public OB_TCPRequest {
 public:
  const char* getClassName() override { return "OB_AEngineTCPRequest"; }

  // The base fields, then timeWindowIndex, subset and itemIndex (signed 32-bit each), in that
  // order. 0, or -1 when a field could not be read.
  int read(int socket) override;
  using OB_TCPRequest::read;

  int32_t timeWindowIndex = 0;  // the window server to ask
  int32_t subset = 0;           // low 16 bits: transaction subset, 0 = all transactions
  int32_t itemIndex = 0;        // network group, HTTP server or FTP server
  OB_User* userRecord = nullptr;  // the requesting user's record; not owned
};
