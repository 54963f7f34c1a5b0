#include "server/OB_TCPRequest.h"

#include <cstring>

#include "OB_SocketIO.h"

namespace {

// One "\n"-ended line into text (kMaxText bytes). A line that fills the field must be followed
// directly by its "\n". *whole: no NUL among the stored bytes.
int readField(int socket, char* text, bool* whole) {
  int stored = readJ_line(socket, text, OB_TCPRequest::kMaxText);
  if (stored < 0) return -1;
  *whole = memchr(text, '\0', static_cast<size_t>(stored)) == nullptr;
  if (stored < OB_TCPRequest::kMaxText - 1) return 0;
  char end = 0;
  return readJ_n_chars(socket, &end, 1) == 1 && end == '\n' ? 0 : -1;
}

}  // namespace

int OB_TCPRequest::read(int socket) {
  if (readJ_SInt32(socket, &command) != 0) return -1;
  if (readField(socket, user, &userWhole_) != 0) return -1;
  if (readField(socket, password, &passwordWhole_) != 0) return -1;
  if (readJ_UInt32(socket, &clientVersion) != 0) return -1;
  if (readJ_UInt32(socket, &configKey) != 0) return -1;
  return 0;
}
