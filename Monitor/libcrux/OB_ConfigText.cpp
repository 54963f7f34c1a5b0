#include "OB_ConfigText.h"

#include <cstring>

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

int OB_ConfigText::receiveLine(int socket, char* buffer, int size) {
  const int stored = readJ_line(socket, buffer, size, kWholeLine);
  if (stored > 0 && memchr(buffer, '\0', static_cast<size_t>(stored)) != nullptr) {
    OB_Log::ret("hcommand_SET_CONFIG: a text holds a NUL byte");
    return -1;
  }
  return stored;
}
