#include "OB_ConfigText.h"

#include <cstring>
#include <string>

#include "OB_Log.h"
#include "OB_SocketIO.h"

bool OB_ConfigText::keepsWhole(const char* text, Kept as) {
  if (text == nullptr) return true;
  switch (as) {
    case Kept::kInBraces:
      return strpbrk(text, "{}\r\n") == nullptr;
    case Kept::kListEntry:
      return text[0] != '\0' && strpbrk(text, "{}\r\n \t") == nullptr;
    case Kept::kLine:
      return strpbrk(text, "\r\n") == nullptr;
  }
  return false;
}

const char* OB_ConfigText::rootPasswordProblem(const char* password) {
  if (password == nullptr || password[0] == '\0') return "root has an empty password";
  if (!keepsWhole(password, Kept::kInBraces)) return "the root password holds '{', '}', CR or LF";
  return nullptr;
}

int OB_ConfigText::receiveLine(int socket, char* buffer, int size, const char* field) {
  if (buffer == nullptr || size < 1) return -1;
  buffer[0] = '\0';
  // One byte more than the field keeps: a line that reaches it does not fit.
  std::string line(static_cast<size_t>(size) + 1, '\0');
  const int stored = readJ_line(socket, line.data(), size + 1, kWholeLine);
  if (stored < 0) return -1;
  if (stored > size - 1) {
    OB_Log::ret("hcommand_SET_CONFIG: %s is longer than its %d bytes; refused", field, size - 1);
    return -1;
  }
  if (memchr(line.data(), '\0', static_cast<size_t>(stored)) != nullptr) {
    OB_Log::ret("hcommand_SET_CONFIG: %s holds a NUL byte; refused", field);
    return -1;
  }
  memcpy(buffer, line.data(), static_cast<size_t>(stored) + 1);
  return stored;
}
