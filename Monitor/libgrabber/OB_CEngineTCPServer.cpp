#include "OB_CEngineTCPServer.h"

#include "OB_CEngineTCPConnection.h"

OB_CEngineTCPServer::OB_CEngineTCPServer() { keyFileName = "cengineKey"; }

OB_TCPConnection* OB_CEngineTCPServer::createTCPConnection() {
  OB_CEngineTCPConnection* connection = OB_CEngineTCPConnection::create();
  if (connection == nullptr) return nullptr;
  connection->setManager(manager);
  return connection;
}
