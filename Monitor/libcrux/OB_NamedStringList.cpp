#include "OB_NamedStringList.h"

#include <cstdlib>
#include <cstring>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"

namespace {

// Cuts a line read with its end: one "\n", then one "\r" before it.
void cutLineEnd(char* line) {
  size_t length = strlen(line);
  if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
  if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
}

}  // namespace

int OB_NamedStringList::readFile(const char* file, char separator, const char* squeezeChars) {
  if (file == nullptr) return -1;
  FILE* stream = fopen(file, "r");
  if (stream == nullptr) return -1;

  // Grows to the longest line, so a long line is one entry and never a second, bogus one.
  char* line = nullptr;
  size_t size = 0;
  while (::getline(&line, &size, stream) >= 0) {
    if (line[0] == '\0' || line[0] == '\n') continue;
    cutLineEnd(line);
    char* comment = strchr(line, '#');
    if (comment != nullptr) *comment = '\0';
    char* split = separator != '\0' ? strchr(line, separator) : nullptr;
    if (split == nullptr) continue;
    *split = '\0';
    char* name = line;
    char* value = split + 1;
    if (squeezeChars != nullptr) OB_Tools::squeeze(name, nullptr, 0, squeezeChars);
    if (*value == ' ' || *value == '\t') OB_Tools::squeeze(value, nullptr, 1, " \t");

    OB_String* entry = new OB_String(value);
    if (entry == nullptr || append(entry, name) != 0) {
      obRelease(entry);
      free(line);
      fclose(stream);
      OB_Log::quit("OB_NamedStringList::readFile: out of memory reading %s\n", file);
    }
  }
  free(line);
  fclose(stream);
  return 0;
}

int OB_NamedStringList::writeFile(const char* file, char separator) {
  if (file == nullptr) return -1;
  FILE* stream = fopen(file, "w");
  if (stream == nullptr) {
    OB_Log::log("OB_NamedStringList::writeFile: cannot open %s %s\n", file, OB_Log::sys_err_str());
    return -1;
  }
  int result = 0;
  {
    OB_MutexHold hold(this);
    for (Link* link = head_; link != nullptr && result == 0; link = link->getNext()) {
      NamedLink* named = obQuery<NamedLink>(link);
      OB_String* value = link->getItem();
      const char* name = named != nullptr ? named->getName() : "";
      const char* text = value != nullptr ? static_cast<const char*>(*value) : "";
      if (fprintf(stream, "%s%c%s\n", name, separator, text) < 0) result = -1;
    }
  }
  if (fclose(stream) != 0) result = -1;
  if (result != 0)
    OB_Log::log("OB_NamedStringList::writeFile: writing %s failed %s\n", file, OB_Log::sys_err_str());
  return result;
}

int OB_NamedStringList::print(FILE* stream) {
  OB_MutexHold hold(this);
  if (head_ != nullptr) head_->printChain(stream);
  return 0;
}

int OB_NamedStringList::write(FILE* stream) {
  if (stream == nullptr) return -1;
  OB_MutexHold hold(this);
  int result = fprintf(stream, "Count{%d}\n", count_) < 0 ? -1 : 0;
  for (Link* link = head_; link != nullptr && result == 0; link = link->getNext()) {
    OB_String* value = link->getItem();
    if (value != nullptr && value->write(stream) != 0) result = -1;
  }
  return result;
}

int OB_NamedStringList::writeJ(int socket) {
  OB_MutexHold hold(this);
  const int count = count_ < 65535 ? count_ : 65535;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(count)) != 0) return -1;
  int sent = 0;
  for (Link* link = head_; link != nullptr && sent < count; link = link->getNext(), ++sent) {
    OB_String* value = link->getItem();
    // An entry without a value still takes its line, so the peer reads as many as announced.
    if (value != nullptr ? value->writeJ(socket) != 0 : OB_String("").writeJ(socket) != 0)
      return -1;
  }
  return 0;
}
