// Error records thrown where a thread's work cannot go on, and the callback interface that a
// program hands to the log and its engine managers for fatal errors.
#pragma once

#include <cstdio>

class OB_Exception {
 public:
  // Keeps deep copies of text and file (either may be null).
  OB_Exception(int code, const char* text, const char* file, int line);
  OB_Exception(const OB_Exception& other);
  OB_Exception& operator=(const OB_Exception& other);
  virtual ~OB_Exception();

  // "Error=%d Text=%s File=%s Line=%d\n" through OB_Log::flog; returns 0.
  virtual int print(FILE* stream);
  virtual int err() { return code_; }

  const char* getText() const { return text_; }
  const char* getFile() const { return file_; }
  int getLine() const { return line_; }

 private:
  int code_;
  char* text_;
  char* file_;
  int line_;
};

// Thrown by value when the heap is exhausted.
class OB_NoMoreMemoryException {};

class OB_ExitHandler {
 public:
  virtual ~OB_ExitHandler() = default;
  virtual void handleExit(char* /*message*/) {}
};
