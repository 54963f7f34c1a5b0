#include "console/OB_AEngineTCPRequest.h"

#include "OB_SocketIO.h"

int OB_AEngineTCPRequest::read(int socket) {
  if (OB_TCPRequest::read(socket) != 0) return -1;
  if (readJ_SInt32(socket, &timeWindowIndex) != 0) return -1;
  if (readJ_SInt32(socket, &subset) != 0) return -1;
  if (readJ_SInt32(socket, &itemIndex) != 0) return -1;
  return 0;
}
