#include "OB_HTTPConsumer.h"

#include "OB_Log.h"
#include "http/OB_HTTPProtocol.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

OB_HTTPConsumer::OB_HTTPConsumer() {
  name = "http";
  OB_Log::debug("OB_HTTPConsumer::OB_HTTPConsumer()");
}

OB_HTTPConsumer::~OB_HTTPConsumer() { OB_Log::debug("OB_HTTPConsumer::~OB_HTTPConsumer()"); }

OB_Data* OB_HTTPConsumer::createProtocol() { return OB_HTTPProtocol::create(); }

int OB_HTTPConsumer::processObject(OB_Object* object) {
  OB_TCPSessionStats* stats = getTCPSessionStats();
  // The rest of a connection cut off at the byte limit is no connection of its own.
  OB_TCPSession* session = obQuery<OB_TCPSession>(object);
  const bool continued = session != nullptr && session->isContinued() != 0;
  if (OB_Consumer::processObject(object) == 0 && !continued) {
    OB_TCPSessionStats::count(stats->httpStarted);
    OB_TCPSessionStats::count(stats->httpParsed);
    OB_TCPSessionStats::count(stats->httpFinished);
  }
  return 0;
}
