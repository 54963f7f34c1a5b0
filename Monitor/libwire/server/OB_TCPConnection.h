// One console connection of a command server: reads one request wrapped in an HTTP request,
// checks client address, user and password, client version and configuration key, dispatches it
// by command code to a virtual handler, writes one reply and closes. The server makes one per
// accepted connection; its accept thread reads the request ahead as the bytes arrive (readAhead),
// and once the request is whole its serving thread runs it (doTask) from those bytes, so no client
// that is slow to send holds the others. A connection never starts a thread. The engines derive
// their connections from it and supply the commands the framework leaves open.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "OB_String.h"
#include "OB_Thread.h"
#include "server/OB_TCPRequest.h"

class OB_EngineMgr;

// Why a request was refused; errorString gives the text sent to the client.
enum OB_TCPErrorIndex : int32_t {
  kTCPInvalidAddress = 0,
  kTCPInvalidPassword = 1,
  kTCPInvalidConfigKey = 2,
  kTCPInvalidVersion = 3,
  kTCPUnknownUser = 4,
  kTCPInvalidCommand = 5,
  // A code the dispatcher does not know; like every index outside 0-5 it reads "Unknown Error".
  kTCPUnknownCommand = 6,
};

// What commands 30 and 35 do once their reply is out. Null (the default): wait 3 seconds and end
// the process through OB_EngineMgr::cleanup. Tests put their own here.
using OB_TCPExitAction = void (*)(void* context);

class OB_TCPConnection : public OB_Thread {
  OB_CLASS_CREATE(OB_TCPConnection)

 public:
  // Command codes of the framework's dispatcher.
  static constexpr int32_t kGetConfig = 20;         // configuration with key
  static constexpr int32_t kGetDefaultConfig = 25;  // defaults, no key needed
  static constexpr int32_t kSetConfig = 30;         // root only; ends the process
  static constexpr int32_t kStopEngine = 35;        // root only; ends the process
  static constexpr int32_t kGetMonitorStats = 40;
  static constexpr int32_t kGetDatabaseList = 45;

  // readHTTPHeader results.
  static constexpr int kRequestCommand = 1;
  static constexpr int kRequestSummary = 2;
  static constexpr int kRequestBad = 3;
  static constexpr int kRequestReadError = 4;

  // Bytes of header after the two request lines that are read looking for the header end; a
  // request that goes on longer is a bad request.
  static constexpr int kMaxHeaderBytes = 8192;
  // Default limit on a whole request (header, binary part, reply) and on each receive and send
  // of it; ms.
  static constexpr int kDefaultIOTimeoutMs = 10000;
  // Bytes read ahead at most: well above the longest request frame, whose end is known before
  // (the header is bounded, and so are the binary fields); what follows stays in the socket.
  static constexpr size_t kMaxAheadBytes = 16384;
  // A client that sends its request in many small pieces has it looked at no more often than
  // this (unless what arrived has doubled since the last look), ms.
  static constexpr int kLookIntervalMs = 20;

  OB_TCPConnection();
  OB_TCPConnection(const OB_TCPConnection&) = delete;
  OB_TCPConnection& operator=(const OB_TCPConnection&) = delete;
  // Closes the socket when still open.
  ~OB_TCPConnection() override;

  const char* getClassName() override { return "OB_TCPConnection"; }

  // Reads and answers the one request, then ends this object's loop. The bytes read ahead come
  // first, then the socket. Every receive and send must be done within the I/O time-out of the
  // start; a request that never came whole keeps the deadline it was read ahead under. Past the
  // deadline the connection is closed and logged as "timed out". 0, or -1 when the header could
  // not be read (the connection is closed without a reply).
  int doTask() override;

  // Accepts one connection from the listening socket, with the I/O time-out on it; the time-out
  // of reading it ahead starts now. 0; 1 when nobody waits (a non-blocking listener); -1
  // (logged) when the accept failed.
  virtual int accept(int listenSocket);
  // Takes what has arrived on the socket, without waiting, and looks whether it holds the whole
  // request frame (header, binary request and what the command needs before it can be served;
  // readRequestAhead). 1 when the connection is ready to be served: the frame is whole, the peer
  // has ended its side or failed, or the time-out has passed (serving then ends it as reading it
  // would have ended); 0 while it waits for more. Called on the server's accept thread only,
  // before doTask.
  virtual int readAhead();
  // When readAhead wants to be called again though nothing new arrived: at the time-out, or
  // sooner to look at bytes it put off looking at.
  std::chrono::steady_clock::time_point nextLook() const;
  virtual int isConnected() { return clientSocket >= 0 ? 1 : 0; }
  virtual int setConfigKey(uint32_t key);
  // manager: not owned, outlives this.
  virtual int setManager(OB_EngineMgr* manager);
  // The limit on the whole request and on each receive and send of it, in ms (at least 1). Set
  // before accept.
  virtual int setIOTimeout(int ms);
  virtual int setExitAction(OB_TCPExitAction action, void* context);
  virtual int abortConnection(int socket);
  // The accepted socket, -1 when none; the peer's IPv4 address in host order.
  int getSocket() const { return clientSocket; }
  uint32_t getClientAddress() const { return clientAddress; }
  // The text for an OB_TCPErrorIndex; "Unknown Error" for any other index.
  virtual const char* errorString(int index);
  // One log line: time, command (-1: none read), user, client address, text.
  virtual int logConnect(uint32_t address, int command, const char* user, const char* text);
  // That line, for a server that has no connection at hand.
  static void logLine(uint32_t address, int command, const char* user, const char* text);

 protected:
  virtual int handleCommand(int socket, uint32_t address);
  virtual int handleHTMLSummary(int socket, uint32_t address);
  virtual int handleBadRequest(int socket, uint32_t address);
  // Payload of 20 (key, then the administered configuration) or 25 (the defaults). 0 or -1.
  virtual int hcommand_GET_CONFIG(int socket, int command);
  // The framework has no database list and no statistics: -1. Derived connections supply them.
  virtual int hcommand_GET_DATABASE_LIST(int socket);
  // Reads a configuration and saves it as the engine's private file; only a configuration that
  // arrived whole and was saved is acknowledged. 0 or -1.
  virtual int hcommand_SET_CONFIG(int socket);
  virtual int hcommand_GET_MONITOR_STATS(int socket);
  // The plain-text notice for the summary path and for bad requests.
  virtual int writeHTTPGenericMessage(int socket);
  virtual int writeBinResponseSuccess(int socket);
  // Writes the refusal and, when it went out whole, closes the connection.
  virtual int writeBinResponseFailure(int socket, const char* text);
  // Closes the connection's own socket (socket 0 or the own socket; any other value is not
  // this connection's and is left alone): its reply is sent on, input already received is
  // dropped so the close is orderly, and a socket already closed is not closed again. 0.
  virtual int abort(int socket);
  // 1 command, 2 summary, 3 bad request, 4 read error (also past the request's deadline).
  virtual int readHTTPHeader(int socket);
  // 0 accepted; 1 refused (*error says why); 2 the request could not be read. Checks, in this
  // order: the client address (kTCPInvalidAddress), user and password (checkUser; an empty
  // password is always kTCPInvalidPassword), client version, configuration key (not for 20, 25).
  virtual int readBinRequestHeader(int socket, uint32_t address, OB_TCPRequest* request,
                                   OB_TCPErrorIndex* error);
  // Reads, to see whether it is all there, the binary request after the header and what its
  // command carries that must have arrived before it is served; what is read is thrown away.
  // The framework reads an OB_TCPRequest: a configuration sent with command 30 is read later,
  // by the serving thread, once root has been let in. Derived connections with a request of
  // their own read that.
  virtual void readRequestAhead(int socket);
  // The last two checks of a request: 0, kTCPInvalidVersion, or kTCPInvalidConfigKey (every
  // command but 20 and 25 needs the current key).
  int checkVersionAndKey(const OB_TCPRequest* request);
  // 0 when the user may come in with the password, else kTCPUnknownUser or kTCPInvalidPassword.
  // The framework knows one user, "root", with the administered configuration's password; both
  // are compared in time that does not depend on where the texts differ. Derived connections
  // with other users override it; the empty-password refusal stays the framework's.
  virtual int checkUser(const char* user, const char* password);
  // After the reply of 30 or 35: the exit action, else 3 seconds and OB_EngineMgr::cleanup.
  virtual void endProcess();

  int clientSocket = -1;
  uint32_t clientAddress = 0;  // host order
  // Header line after the status line; empty unless a derived class fills it. The binary
  // replies use the capture engine's server line while it is empty.
  OB_String serverLine{32};
  uint32_t configKey = 0;
  // The only client version accepted; set by the derived connection.
  uint32_t requiredClientVersion = 0;
  OB_EngineMgr* manager = nullptr;  // not owned, outlives this
  int ioTimeoutMs = kDefaultIOTimeoutMs;
  OB_TCPExitAction exitAction = nullptr;
  void* exitContext = nullptr;

 protected:
  // How a failed receive or send is logged: "timed out" past the request's deadline, else
  // "bad io" and why (obSocketFailure). The text lives until the thread's next call.
  static const char* ioFailureText();

 private:
  using Clock = std::chrono::steady_clock;

  int writeText(int socket, const char* text);
  // Whether the bytes read ahead hold the whole request frame (readHTTPHeader and
  // readRequestAhead run over them, and did not run out).
  bool holdsWholeRequest();

  // Reading ahead; accept thread until the connection is handed to the serving thread.
  std::string ahead_;
  Clock::time_point readDeadline_{};
  bool aheadEnded_ = false;   // the peer ended its side, or the socket failed
  bool aheadExpired_ = false;  // handed over at the deadline, not whole
  size_t lookedAtSize_ = 0;    // bytes at the last look
  Clock::time_point lookedAt_{};
  bool lookPutOff_ = false;
};
