#include "OB_HTTPConsumer.h"

#include "OB_HTTPProtocol.h"
#include "OB_Log.h"
#include "OB_TCPSessionStats.h"

OB_HTTPConsumer::OB_HTTPConsumer() {
  name = "http";
  OB_Log::debug("OB_HTTPConsumer::OB_HTTPConsumer()");
}

OB_HTTPConsumer::~OB_HTTPConsumer() { OB_Log::debug("OB_HTTPConsumer::~OB_HTTPConsumer()"); }

OB_Data* OB_HTTPConsumer::createProtocol() { return OB_HTTPProtocol::create(); }

int OB_HTTPConsumer::processObject(OB_Object* object) {
  OB_TCPSessionStats* stats = getTCPSessionStats();
  if (OB_Consumer::processObject(object) == 0) {
    OB_TCPSessionStats::count(stats->httpStarted);
    OB_TCPSessionStats::count(stats->httpParsed);
    OB_TCPSessionStats::count(stats->httpFinished);
  }
  return 0;
}
