// The text and wire helpers shared by the analysis configuration's records (report definitions,
// users, HTTP and FTP server definitions): whole-line reading of key{value} files, the value
// between the braces, and "\n"-ended lines on a console socket. Lines are always read whole, so
// a value that is too long for its field is cut there and never spills into the next field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "OB_ConfigText.h"

class OB_ConfigRecordIO {
 public:
  OB_ConfigRecordIO() = delete;

  // Longest line kept from a configuration file; the rest of a longer line is dropped. Large
  // enough for the longest line the records write (32 alternate names of 2048 characters).
  static constexpr size_t kMaxFileLine = 128 * 1024;
  // Longest line kept from the console for an address or a list entry.
  static constexpr int kWireLine = 2048;

  // One read of a configuration file on the calling thread, while it lives: the lines that thread
  // reads are counted, and with a problem text given (a read that may refuse the file rather
  // than end the process) a malformed value is noted there, with its line, by refuse. Holders
  // nest; the innermost counts.
  class FileRead {
   public:
    // problem: null, malformed values end the process; else where the first one is noted.
    explicit FileRead(std::string* problem);
    ~FileRead();
    FileRead(const FileRead&) = delete;
    FileRead& operator=(const FileRead&) = delete;
    // Lines read so far (the number of the last one).
    int line() const { return lines_; }
    // The first line the file did not hold; 0 while it held every line asked for.
    int endedAt() const { return endedAt_; }
    // Notes text as the problem of the line read last (or, once the file has ended, that end),
    // unless one is noted already.
    void note(const std::string& text);

   private:
    friend class OB_ConfigRecordIO;
    std::string* problem_;
    FileRead* outer_;
    int lines_ = 0;
    int endedAt_ = 0;
  };
  // A malformed value of a configuration file: ends the process with the message, or, inside a
  // FileRead given a problem text, notes it there and returns; the reader then goes on with a
  // harmless value (a count of 0, address 0) so that the lines are consumed as before.
  static void refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));

  // Reads one line whole into line (without its "\n", and without a "\r" before it). Returns the
  // kept length, or -1 when the file ended before any character.
  static int readLine(FILE* stream, std::string* line);
  // Reads n lines and drops them; -1 when the file ended before the last one.
  static int skipLines(FILE* stream, int n);
  // Reads one key{value} line: the text between the first "{" and the next "}" (or the line
  // end); "" when there is none. *ended (may be null) is set when the file ended before the line.
  static std::string readValue(FILE* stream, bool* ended = nullptr);
  // atoi of a text, as the configuration files take their numbers.
  static int toInt(const std::string& text);

  // Copies at most size - 1 characters of source (null: "") and the NUL.
  static void copyCut(char* dest, size_t size, const char* source);
  // Replaces the owned (malloc'd) text in *slot with a copy of text (null: ""); the process ends
  // when memory runs out.
  static void setOwned(char** slot, const char* text);
  // Frees the owned text in *slot and clears it.
  static void freeOwned(char** slot);

  // The dotted quads of count addresses separated by one blank.
  static std::string quadList(const uint32_t* addresses, int count);

  // How a text received from the console is kept in the file, and so which texts read back as
  // they came: the check both consoles share (OB_ConfigText).
  using Kept = OB_ConfigText::Kept;
  // Whether text (null: "") reads back from the file as it is.
  static bool keepsWhole(const char* text, Kept as) { return OB_ConfigText::keepsWhole(text, as); }

  // Receives one line whole, refusing one longer than the field or holding a NUL (logged with
  // field, what was sent): OB_ConfigText::receiveLine.
  static int receiveLine(int socket, char* buffer, int size, const char* field) {
    return OB_ConfigText::receiveLine(socket, buffer, size, field);
  }
  // Sends text (null: "") and "\n"; 0, or -1 when not all of it went out.
  static int sendLine(int socket, const char* text);
  // A flag travels as the UInt8 0 or 1, so a non-zero value never turns into 0 on the way.
  static int sendFlag(int socket, int32_t flag);
};
