#include "config/OB_ConfigRecordIO.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Tools.h"

namespace {
thread_local OB_ConfigRecordIO::FileRead* activeRead = nullptr;
}  // namespace

OB_ConfigRecordIO::FileRead::FileRead(std::string* problem)
    : problem_(problem), outer_(activeRead) {
  activeRead = this;
}

OB_ConfigRecordIO::FileRead::~FileRead() { activeRead = outer_; }

void OB_ConfigRecordIO::FileRead::note(const std::string& text) {
  if (problem_ == nullptr || !problem_->empty()) return;
  // Past the file's end every value is missing: the end is what went wrong.
  if (endedAt_ != 0)
    *problem_ = "the file ends before line " + std::to_string(endedAt_);
  else
    *problem_ = "line " + std::to_string(lines_) + ": " + text;
}

void OB_ConfigRecordIO::refuse(const char* format, ...) {
  char text[2048];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (activeRead == nullptr || activeRead->problem_ == nullptr) OB_Log::quit("%s\n", text);
  activeRead->note(text);
}

int OB_ConfigRecordIO::readLine(FILE* stream, std::string* line) {
  line->clear();
  int c = EOF;
  bool any = false;
  while ((c = getc(stream)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->size() < kMaxFileLine) line->push_back(static_cast<char>(c));
  }
  if (activeRead != nullptr) {
    ++activeRead->lines_;
    if (!any && activeRead->endedAt_ == 0) activeRead->endedAt_ = activeRead->lines_;
  }
  if (!any) return -1;
  // A file edited on Windows ends its lines with CR LF; the CR is no part of the value.
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return static_cast<int>(line->size());
}

int OB_ConfigRecordIO::skipLines(FILE* stream, int n) {
  std::string line;
  for (int i = 0; i < n; ++i)
    if (readLine(stream, &line) < 0) return -1;
  return 0;
}

std::string OB_ConfigRecordIO::readValue(FILE* stream, bool* ended) {
  std::string line;
  bool atEnd = readLine(stream, &line) < 0;
  if (ended != nullptr) *ended = atEnd;
  const char* value = OB_Tools::getConfigValue(stream, line.data());
  return value != nullptr ? std::string(value) : std::string();
}

int OB_ConfigRecordIO::toInt(const std::string& text) { return atoi(text.c_str()); }

void OB_ConfigRecordIO::copyCut(char* dest, size_t size, const char* source) {
  if (dest == nullptr || size == 0) return;
  size_t length = source != nullptr ? strnlen(source, size - 1) : 0;
  if (length > 0) memcpy(dest, source, length);
  dest[length] = '\0';
}

void OB_ConfigRecordIO::setOwned(char** slot, const char* text) {
  char* copy = OB_Tools::strdup(text != nullptr ? text : "");
  if (copy == nullptr) OB_Log::quit("OB_ConfigRecordIO::setOwned: not enough memory\n");
  free(*slot);
  *slot = copy;
}

void OB_ConfigRecordIO::freeOwned(char** slot) {
  free(*slot);
  *slot = nullptr;
}

std::string OB_ConfigRecordIO::quadList(const uint32_t* addresses, int count) {
  return OB_Tools::IPAddressList(addresses, count);
}

int OB_ConfigRecordIO::sendLine(int socket, const char* text) { return writeJ_line(socket, text); }

int OB_ConfigRecordIO::sendFlag(int socket, int32_t flag) {
  return writeJ_UInt8(socket, flag != 0 ? 1 : 0);
}
