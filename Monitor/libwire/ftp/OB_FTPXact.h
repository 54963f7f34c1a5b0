// One FTP command of a control connection with the reply codes the server gave it. The FTP
// analyser (OB_FTPProtocol) fills it inside its protocol object's chain; the archive stores it
// after the protocol record; the analysis engine reads it back.
#pragma once

#include <cstdint>
#include <cstdio>

#include "records/OB_Xact.h"

class OB_FTPXact : public virtual OB_Xact {
  OB_CLASS_IDENTITY(OB_FTPXact, 0x78A670F1, "OB_FTPXact", OB_Xact)
  OB_CLASS_CREATE(OB_FTPXact)

 public:
  // Command codes: the index of the command's name in the fixed table (commandName).
  enum Code : int32_t {
    NO_COMMAND = 0, BAD_COMMAND = 1, USER = 2, PASS = 3, ACCT = 4, CWD = 5, CDUP = 6, SMNT = 7,
    QUIT = 8, REIN = 9, PORT = 10, PASV = 11, TYPE = 12, STRU = 13, MODE = 14, RETR = 15,
    STOR = 16, STOU = 17, APPE = 18, ALLO = 19, REST = 20, RNFR = 21, RNTO = 22, ABOR = 23,
    DELE = 24, RMD = 25, MKD = 26, PWD = 27, LIST = 28, NLST = 29, SITE = 30, SYST = 31,
    STAT = 32, HELP = 33, NOOP = 34
  };
  static constexpr int32_t kCommandCount = 35;
  static constexpr int kMaxReplies = 64;
  // Longest parameter kept (parsing cuts longer ones; the archive reader accepts no more).
  static constexpr size_t kMaxParameter = 2048;

  // The command's name ("RETR", "NO_COMMAND", ...); "BAD_COMMAND" for a code outside the table.
  static const char* commandName(int32_t code);

  OB_FTPXact() = default;
  OB_FTPXact(const OB_FTPXact&) = delete;
  OB_FTPXact& operator=(const OB_FTPXact&) = delete;
  ~OB_FTPXact() override;

  // Replaces the parameter with a copy of the first n bytes of text (null: none), cut to
  // kMaxParameter. Ends the process when no memory is left.
  void setParameter(const char* text, size_t n);
  // The parameter, or null when the command had none (or it came back empty from the archive).
  const char* getParameter() const { return parameter; }
  // Stores a reply code in the next slot: 0, or -1 when all kMaxReplies slots are taken.
  int addReply(uint16_t code);

  int print(FILE* stream) override;
  // The record: command (4 bytes), parameter (16-bit length and bytes; none is the empty text),
  // reply count (1 byte), the reply codes (2 bytes each), all little-endian.
  int write(FILE* stream) override;
  // -1 at a short read, a command outside the table, a parameter over kMaxParameter or a reply
  // count over kMaxReplies.
  int read(FILE* stream) override;
  // Transactions have no order of their own.
  int compare(OB_Compare* /*other*/, int /*how*/) override { return 0; }

  int32_t command = BAD_COMMAND;
  uint8_t replyCount = 0;
  // Slots past replyCount stay 0, so an unanswered command reads as having no positive reply.
  uint16_t replyCodes[kMaxReplies] = {};

 private:
  char* parameter = nullptr;  // owned (malloc)
};
