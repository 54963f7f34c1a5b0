// The capture engine's console command server: the framework's listener with the key file
// "cengineKey", making capture engine connections. The capture engine manager sets its port and
// manager and runs it in its thread list.
#pragma once

#include "server/OB_TCPServer.h"

class OB_CEngineTCPServer : public OB_TCPServer {
  OB_CLASS_CREATE(OB_CEngineTCPServer)

 public:
  OB_CEngineTCPServer();
  const char* getClassName() override { return "OB_CEngineTCPServer"; }

 protected:
  OB_TCPConnection* createTCPConnection() override;
};
