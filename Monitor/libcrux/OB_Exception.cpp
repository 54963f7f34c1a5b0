#include "OB_Exception.h"

#include <cstdlib>
#include <cstring>

#include "OB_Log.h"

namespace {
char* duplicate(const char* text) { return text != nullptr ? strdup(text) : nullptr; }
}  // namespace

OB_Exception::OB_Exception(int code, const char* text, const char* file, int line)
    : code_(code), text_(duplicate(text)), file_(duplicate(file)), line_(line) {}

OB_Exception::OB_Exception(const OB_Exception& other)
    : code_(other.code_), text_(duplicate(other.text_)), file_(duplicate(other.file_)),
      line_(other.line_) {}

OB_Exception& OB_Exception::operator=(const OB_Exception& other) {
  if (this != &other) {
    char* text = duplicate(other.text_);
    char* file = duplicate(other.file_);
    free(text_);
    free(file_);
    text_ = text;
    file_ = file;
    code_ = other.code_;
    line_ = other.line_;
  }
  return *this;
}

OB_Exception::~OB_Exception() {
  free(text_);
  free(file_);
}

int OB_Exception::print(FILE* stream) {
  OB_Log::flog(stream, "Error=%d Text=%s File=%s Line=%d\n", code_, text_ ? text_ : "(null)",
               file_ ? file_ : "(null)", line_);
  return 0;
}
