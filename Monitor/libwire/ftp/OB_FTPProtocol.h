// The FTP analyser: turns one reassembled FTP control connection into a protocol object whose
// chain holds one OB_FTPXact per client command with the server's reply codes, plus the login
// name and, derived at the end, the chain of file transfers (OB_FTPftranLink). The FTP consumer
// makes one through its factory and resets it after every session; the archive reader fills one
// with read. One thread drives an object at a time (the consumer's, under its lock).
//
// Both directions are copied into contiguous, NUL-terminated arrays and read with a position and
// an end pointer; nothing at or past the end is ever compared. What is read is the control
// connection's text: the Telnet commands it may carry (IAC and a command byte, with an option
// byte for WILL, WONT, DO and DONT) are taken out first, and IAC IAC is one 255 byte. A line
// ends with two line-end bytes (CR LF); a lone CR or LF does not end it. A piece of a connection
// cut at the byte limit leaves the line it ends inside of, on either side, to the piece that
// continues it, which reads it whole (and reads on to the last line of a multi-line reply the
// cut fell inside of). Where bytes were lost, the bytes after them are read as the start of a
// line only where the other side's acknowledgement shows one begins there.
#pragma once

#include <cstdint>
#include <cstdio>

#include "coding/OB_TextField.h"
#include "ftp/OB_FTPXact.h"
#include "ftp/OB_FTPftranLink.h"
#include "records/OB_Protocol.h"

class OB_FTPProtocol : public OB_Protocol, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_FTPProtocol, 0x2A5A59FD, "OB_FTPProtocol", OB_Protocol)
  OB_CLASS_CREATE(OB_FTPProtocol)

 public:
  // The directory and file parts parseFileName fills hold this many characters at most.
  static constexpr size_t kMaxPathPart = 255;

  // Why the parse of a connection stopped before its data ended: the first reason met. Each is
  // a counter of the TCP session statistics.
  enum class ParseStop : int {
    None = 0,
    Greeting = 1,  // the server's first reply is missing, malformed or not 220
    CutShort = 2,  // a direction's data ends inside a line (no CR LF after its last bytes)
    Full = 3,      // the chain holds as many commands as a record can count
  };
  // The text the statistics print and the debug line give the reason.
  static const char* parseStopText(ParseStop stop);

  OB_FTPProtocol() = default;
  OB_FTPProtocol(const OB_FTPProtocol&) = delete;
  OB_FTPProtocol& operator=(const OB_FTPProtocol&) = delete;
  ~OB_FTPProtocol() override;

  // Appends a transfer to the chain, which owns it from now on. 1.
  virtual int addFTPftranLink(OB_FTPftranLink* link);

  // Parses an OB_TCPSession's two streams (anything else: nothing). A parse that stops before
  // the data ends is counted by its reason and logged (debug). 0.
  int processObject(OB_Object* object) override;
  // Why the last session's parse stopped; None before and after reset.
  ParseStop getParseStop() const { return parseStop_; }
  // Whether bytes never captured ended the pairing of the last session's commands and replies.
  bool isGapLost() const { return gapLost_; }
  // A new OB_FTPXact, or null when memory runs out.
  OB_Xact* createXLink() override;
  // Empties the connection, the command chain and the transfer chain; goodConnect 1. 0.
  int reset() override;
  int print(FILE* stream) override;
  // The protocol record with its command records, the login name, goodConnect, the transfer
  // count and the transfer records; flushed. A failure before the transfers ends the process;
  // a failing transfer record gives -1.
  int write(FILE* stream) override;
  // The reverse of write into a reset object. -1 at a short read, a bad record, an over-long
  // text or a negative transfer count; what was read stays.
  int read(FILE* stream) override;

  OB_FTPftranLink* getFirstTransfer() { return firstTransfer; }

  int32_t m_ftranCount = 0;
  OB_TextField<256> loginName;  // the parameter of the first command when that is USER
  int32_t goodConnect = 1;      // 0 when the greeting was missing or not 220

 protected:
  // Reads the greeting: 120s are passed over, 220 answers 1; anything else sets goodConnect 0
  // and answers 0. *pos moves over what was read.
  virtual int ConnectEstablish(const char** pos, const char* end);
  // Reads one command line into a new transaction at the end of the chain: a name of the table
  // followed by a blank or the line's end, else BAD_COMMAND with the whole line as parameter.
  // 1 with *pos after the line; 0 when no complete line follows or the chain is full.
  virtual int Command(const char** pos, const char* end);
  // Gives xact the rest of the line from *pos (after spaces and tabs) up to the first pair of
  // line-end bytes or the end, as its parameter (cut to OB_FTPXact::kMaxParameter); *pos moves
  // past the line end. 1 when a line end was found, else 0.
  virtual int CommandParam(const char** pos, const char* end, OB_FTPXact* xact);
  // Stores the replies to the last command: reply codes up to the first final one (200 or
  // more) or 64 codes; whole lines without a code are passed over. 1 when a code was stored;
  // 0 when there is no command or the data ends first (*pos then stays after the last whole
  // line read, or at a multi-line reply whose last line lies past end).
  virtual int Responses(const char** pos, const char* end);
  // One reply: three digits between 100 and 600; a multi-line reply ("xyz-" up to the line that
  // begins "xyz ") counts once. 1 with *pos at the next line; 0 with *pos unchanged.
  virtual int ResponseCode(const char** pos, const char* end, int* code);
  // Derives the transfer chain from the command chain. 0.
  virtual int FindFileTransfers();
  // 1 when any reply code of the transaction lies in 200..299.
  virtual int DidPositiveComplete(OB_FTPXact* xact);
  // The address h1.h2.h3.h4 of a PORT parameter "h1,h2,h3,h4,p1,p2", host order; 0xFFFFFFFF
  // when it is malformed.
  virtual uint32_t GetPORTAddress(const char* text);
  // Splits path at "/" (empty components skipped): every component but the last goes to
  // directory followed by "/", the last to file; each holds at most kMaxPathPart characters
  // (both need kMaxPathPart + 1 bytes and must be empty on entry). 0 when both are non-empty.
  virtual int parseFileName(const char* path, char* directory, char* file);

 private:
  void releaseTransfers();
  // Ends the pairing for the rest of the session: bytes never captured lie before the replies
  // (or the command) at hand.
  void lostPairing(bool* pairing);
  // The next reply's code into *code, whole lines without one passed over: true with *pos at
  // the line after the reply, false when the data ends first (a multi-line reply whose last
  // line lies past end: *pos at it, none of its lines read as a reply).
  bool nextReplyCode(const char** pos, const char* end, int* code);
  // Moves over the replies to one command up to its final one (2xx to 5xx): true, or false when
  // the data up to end holds no final reply.
  bool skipReplies(const char** pos, const char* end);
  // The commands from the first without a final reply to the chain's end.
  uint32_t unansweredAtEnd();

  OB_FTPftranLink* firstTransfer = nullptr;  // owned, with the whole chain
  OB_FTPftranLink* lastTransfer = nullptr;   // not owned (tail of the chain)
  ParseStop parseStop_ = ParseStop::None;
  bool gapLost_ = false;
};
