// The text and wire helpers shared by the analysis configuration's records (report definitions,
// users, HTTP and FTP server definitions): whole-line reading of key{value} files, the value
// between the braces, and "\n"-ended lines on a console socket. Lines are always read whole, so
// a value that is too long for its field is cut there and never spills into the next field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class OB_ConfigRecordIO {
 public:
  OB_ConfigRecordIO() = delete;

  // Longest line kept from a configuration file; the rest of a longer line is dropped. Large
  // enough for the longest line the records write (32 alternate names of 2048 characters).
  static constexpr size_t kMaxFileLine = 128 * 1024;
  // Longest line kept from the console for an address or a list entry.
  static constexpr int kWireLine = 2048;

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
  // they came: kInBraces, a key{value} value (no '{', '}', CR or LF); kListEntry, one name of a
  // blank-separated list inside braces (besides, not empty and no blank or tab); kLine, a line of
  // its own (no CR or LF).
  enum class Kept { kInBraces, kListEntry, kLine };
  // Whether text (null: "") reads back from the file as it is.
  static bool keepsWhole(const char* text, Kept as);

  // Receives one line whole (readJ_line with kWholeLine): "\n" ends it and is not stored; the
  // first size - 1 bytes are kept and the rest dropped. The stored length, or -1 when the peer
  // closed before the "\n", on a receive error, or when the kept bytes hold a NUL (the text would
  // end there; logged).
  static int receiveLine(int socket, char* buffer, int size);
  // Sends text (null: "") and "\n"; 0, or -1 when not all of it went out.
  static int sendLine(int socket, const char* text);
  // A flag travels as the UInt8 0 or 1, so a non-zero value never turns into 0 on the way.
  static int sendFlag(int socket, int32_t flag);
};
