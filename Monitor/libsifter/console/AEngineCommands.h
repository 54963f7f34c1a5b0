// The analysis console's statistics commands: one table of every code a window answers, its
// family (which statistics it reads and which permission it needs) and its handler, and the
// family dispatchers the connection calls. A code that is listed without a handler is known but
// not built yet: the connection answers it, like a code that is not listed, with a failure reply
// before anything else is written. Wiring such a code is giving its table entry a handler.
//
// Handlers run on the console connection's thread, with the window's network, HTTP and FTP
// statistics locked (in that order) by the connection, which has written the success header.
// They read their own fields from the bytes that have arrived, without waiting: a handler that
// runs out of them fails and is run again, afresh, when more came: it changes nothing but its
// reply.
#pragma once

#include <cstdint>

class OB_AEngineTCPRequest;
class OB_FTPAnalysisStats;
class OB_HTTPAnalysisStats;
class OB_NetAnalysisStats;
class OB_User;

enum class AEngineFamily : uint8_t {
  kNetGroup,    // 100-999: network statistics; network-group permission, except 101
  kHTTPServer,  // 1000-1999: HTTP statistics; HTTP-server permission, except 1000
  kHTTPClient,  // 2000-2999: HTTP statistics; network-group permission
  kHTTPX,       // 3000-3999: HTTP statistics; no permission
  kFTPServer,   // 4000-4999: FTP statistics; FTP-server permission, except 4000
  kFTPClient,   // 5000-5999: FTP statistics; network-group permission
  kFTPX,        // 6000-6999: FTP statistics; no permission
  kNet,         // 7000-7999: network statistics; by the scope the request names
};

// The statistics of one window as the handlers receive them; the network statistics are null
// when switched off.
struct AEngineWindowStats {
  OB_NetAnalysisStats* net;
  OB_HTTPAnalysisStats* http;
  OB_FTPAnalysisStats* ftp;
};

using AEngineHandler = int (*)(const AEngineWindowStats& stats, int socket, OB_User* user,
                               OB_AEngineTCPRequest* request);

struct AEngineCommand {
  int32_t code;
  AEngineFamily family;
  AEngineHandler handler;  // null: not built yet
};

// The entry of a code, or null for a code no window answers.
const AEngineCommand* aengine_findCommand(int32_t code);
// Whether the window has the statistics the command reads.
bool aengine_hasStatistics(const AEngineCommand* command, const AEngineWindowStats& stats);
// 0 when the user may ask the command for the request's item, else the refusal's error index
// (8 network group, 9 HTTP server, 10 FTP server). The item index's low 16 bits name the item.
int aengine_checkAllowed(const AEngineCommand* command, OB_User* user,
                         const OB_AEngineTCPRequest* request);

// The family dispatchers: the handler's result; a code of another family, or one without a
// handler, logs "(<code>) Unknown command" and gives -1. The HTTP families hold the window's
// (the HTTP statistics' index changer's) lock around the handler.
int handle_HTTPServer(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                      OB_AEngineTCPRequest* request);
int handle_HTTPClient(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                      OB_AEngineTCPRequest* request);
int handle_HTTPX(OB_HTTPAnalysisStats* stats, int socket, OB_User* user,
                 OB_AEngineTCPRequest* request);
int handle_FTPServer(OB_FTPAnalysisStats* stats, int socket, OB_User* user,
                     OB_AEngineTCPRequest* request);
int handle_FTPClient(OB_FTPAnalysisStats* stats, int socket, OB_User* user,
                     OB_AEngineTCPRequest* request);
int handle_FTPX(OB_FTPAnalysisStats* stats, int socket, OB_User* user,
                OB_AEngineTCPRequest* request);
// Any listed code, through its family's dispatcher.
int aengine_dispatch(const AEngineWindowStats& stats, int socket, OB_User* user,
                     OB_AEngineTCPRequest* request);
