#include "ftp/OB_FTPXact.h"

#include <cstdlib>
#include <cstring>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"

namespace {
const char* const kCommandNames[OB_FTPXact::kCommandCount] = {
    "NO_COMMAND", "BAD_COMMAND", "USER", "PASS", "ACCT", "CWD",  "CDUP", "SMNT", "QUIT",
    "REIN",       "PORT",        "PASV", "TYPE", "STRU", "MODE", "RETR", "STOR", "STOU",
    "APPE",       "ALLO",        "REST", "RNFR", "RNTO", "ABOR", "DELE", "RMD",  "MKD",
    "PWD",        "LIST",        "NLST", "SITE", "SYST", "STAT", "HELP", "NOOP"};
}  // namespace

const char* OB_FTPXact::commandName(int32_t code) {
  if (code < 0 || code >= kCommandCount) return kCommandNames[BAD_COMMAND];
  return kCommandNames[code];
}

OB_FTPXact::~OB_FTPXact() { free(parameter); }

void OB_FTPXact::setParameter(const char* text, size_t n) {
  free(parameter);
  parameter = nullptr;
  if (text == nullptr) return;
  // Longer parameters could be written but not read back, and past 65535 bytes their 16-bit
  // archive length would wrap.
  if (n > kMaxParameter) n = kMaxParameter;
  parameter = static_cast<char*>(malloc(n + 1));
  if (parameter == nullptr) OB_Log::quit("FTPCommandParam: No more memory");
  if (n > 0) memcpy(parameter, text, n);
  parameter[n] = '\0';
}

int OB_FTPXact::addReply(uint16_t code) {
  if (replyCount >= kMaxReplies) return -1;
  replyCodes[replyCount++] = code;
  return 0;
}

int OB_FTPXact::print(FILE* stream) {
  OB_Log::flog(stream, "  %s '%s' %d =>    ", commandName(command),
               parameter != nullptr ? parameter : "", replyCount);
  for (int i = 0; i < replyCount && i < kMaxReplies; ++i) OB_Log::flog(stream, "%d ", replyCodes[i]);
  OB_Log::flog(stream, "\n");
  return 0;
}

int OB_FTPXact::write(FILE* stream) {
  if (OB_ArchiveIO::writeI32(stream, command) != 0) return -1;
  if (OB_Tools::writeString(parameter, stream) != 0) return -1;
  const uint8_t count = replyCount <= kMaxReplies ? replyCount : kMaxReplies;
  if (stream == nullptr || fputc(count, stream) == EOF) return -1;
  for (int i = 0; i < count; ++i) {
    if (OB_ArchiveIO::writeU16(stream, replyCodes[i]) != 0) return -1;
  }
  return 0;
}

int OB_FTPXact::read(FILE* stream) {
  int32_t code = 0;
  if (OB_ArchiveIO::readI32(stream, &code) != 0) return -1;
  // The code indexes the command table wherever the transaction is shown or counted.
  if (code < 0 || code >= kCommandCount) return -1;
  command = code;
  char* text = nullptr;
  if (OB_Tools::readStringMalloc(&text, stream) != 0) return -1;
  free(parameter);
  parameter = text;
  int count = fgetc(stream);
  if (count == EOF || count > kMaxReplies) return -1;
  replyCount = 0;
  memset(replyCodes, 0, sizeof replyCodes);
  for (int i = 0; i < count; ++i) {
    if (OB_ArchiveIO::readU16(stream, &replyCodes[i]) != 0) return -1;
    replyCount = static_cast<uint8_t>(i + 1);
  }
  return 0;
}
