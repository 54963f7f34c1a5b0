#include "OB_FTPConsumer.h"

#include "ftp/OB_FTPProtocol.h"
#include "tcp/OB_TCPSession.h"
#include "tcp/OB_TCPSessionStats.h"

OB_FTPConsumer::OB_FTPConsumer() { name = "ftp"; }

OB_Data* OB_FTPConsumer::createProtocol() { return OB_FTPProtocol::create(); }

int OB_FTPConsumer::processObject(OB_Object* object) {
  OB_TCPSessionStats* stats = getTCPSessionStats();
  // The rest of a connection cut off at the byte limit is no connection of its own.
  OB_TCPSession* session = obQuery<OB_TCPSession>(object);
  const bool continued = session != nullptr && session->isContinued() != 0;
  if (OB_Consumer::processObject(object) == 0 && !continued) {
    OB_TCPSessionStats::count(stats->ftpStarted);
    OB_TCPSessionStats::count(stats->ftpParsed);
    OB_TCPSessionStats::count(stats->ftpFinished);
  }
  return 0;
}
