// Static utilities that every deliverable shares, and the install directory under which every
// configuration, log and data file lies. Texts in files are a 16-bit little-endian length and the
// bytes, whatever the machine, so archives move between machines.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

class OB_Object;

class OB_Tools {
 public:
  OB_Tools() = delete;

  // One row of the table handed to readConfig; a row whose key is null ends the table.
  struct Configuration {
    const char* key;
    // Receives the value, NUL-ended; a longer value is cut to 127 characters.
    char value[128];
    // Null: the value is only stored. Else called with the whole value (comment included) and
    // the caller's context; the text lives only for the call.
    void (*handler)(const char* value, void* context);
    // The number of the line the value came from (the last one); 0 while it is the default.
    int line = 0;
  };

  // Orders two objects: > 0 puts a after b; anything else keeps their order.
  using Comparison = int (*)(OB_Object* a, OB_Object* b);

  // Replaces the reverse name look-up (tests); writes the host name into name (size bytes) and
  // returns 0, or -1 when the address has no name.
  using ReverseLookup = int (*)(uint32_t address, char* name, size_t size);

  // The file-mode mask every program of the monitor starts with, whatever it inherited: no file
  // it makes (archives, logs, the domain cache, exports, key files) may be written by another
  // user, nor read: they hold client addresses and the URLs they asked for. The group may read.
  static constexpr mode_t kFileModeMask = 027;
  static void setFileModeMask();

  // OB_INSTALLDIR, else "<program's folder>/../conf". Ends the process when that is not an
  // existing directory. Every call refills and returns the same buffer.
  static char* getInstallDir();
  // Local time now as "%Y%b%d-%H:%M" with the English month abbreviation; dest holds 60 bytes.
  static char* getTimeString1(char* dest);

  // The C library's conversions between calendar time and local (or UTC) fields. The library
  // keeps the time zone in state of its own that mktime rewrites, behind a lock of its own that
  // ThreadSanitizer cannot see; every conversion of the process goes through these, under one
  // lock of ours, so that none meets another on that state. localTime and utcTime: false when
  // the time cannot be converted (fields then undefined). makeLocalTime: mktime's result.
  static bool localTime(time_t when, struct tm* fields);
  static bool utcTime(time_t when, struct tm* fields);
  static time_t makeLocalTime(struct tm* fields);
  // That lock, for the few other C library calls that read the time zone (syslog stamps its
  // lines in local time). Taken last: nothing is locked while it is held.
  static std::mutex& timeZoneLock();

  // The memory the process may use in bytes: the machine's physical memory, or the limit of the
  // control group (version 2) it runs in when that is lower; UINT64_MAX when neither is known.
  static uint64_t machineMemory();
  // The memory budget of what grows with the traffic: the payload pools together, the session
  // pool, the names the statistics track one by one and the statistics' per-bin counts may each
  // take one share at their fullest. Four shares of an eighth: all four full leave half of the
  // memory to everything else.
  static constexpr uint64_t kMemoryShares = 4;
  static constexpr uint64_t kMemoryShareDivisor = 8;
  // One share: machineMemory() / kMemoryShareDivisor, read once; UINT64_MAX when unknown.
  static uint64_t memoryShare();

  // Suspends the calling thread for the given seconds; 0 (or less) only yields.
  static void sleep(int seconds);

  // Copies source to dest (null: in place), dropping characters of set (null: " \t\n"): all of
  // them when n is 0, else only until the n-th run of kept characters has begun. Returns the
  // text written.
  static char* squeeze(char* source, char* dest, int n, const char* set);

  // Reads up to a line feed (not stored, nor a carriage return just before it) or end of file, at
  // most n characters; buf holds n + 1 bytes and is always NUL-ended. Returns the length, or -1
  // when end of file was met (even when characters were read).
  static int getline(FILE* stream, char* buf, int n);

  // One pass over a key:value installation file; see the source for the line rules. With a
  // fileName, every line whose key is not in the table is logged (OB_Log::ret) with that name
  // and the line's number, and otherwise ignored; so is a line whose key only begins with a
  // table's key ("portx" for "port"), which that row still takes.
  static void readConfig(FILE* stream, Configuration* table, void* context,
                         const char* fileName = nullptr);

  // The text between the braces of a "key{value}" line, split in place; null when absent. The
  // stream is not read.
  static char* getConfigValue(FILE* stream, char* line);

  // "%d.%d.%d.%d" of a host-order address, most significant byte first; dest holds 16 bytes.
  static char* IPAddressString(uint32_t address, char* dest);
  // Room for the longest host name the resolver gives, its NUL included: a name buffer of this
  // size never cuts a resolved name.
  static constexpr size_t kMaxHostSize = 1025;
  // The dotted quads of count addresses separated by one blank.
  static std::string IPAddressList(const uint32_t* addresses, int count);
  // The lower-cased host name of a host-order address, else its dotted quad; cut to size - 1.
  static char* resolveIP(const uint32_t* address, char* dest, size_t size);
  // Null restores the system's look-up. Returns the previous function.
  static ReverseLookup setReverseLookup(ReverseLookup lookup);

  static void toLowerCase(char* text);
  static void toUpperCase(char* text);

  // (a - b) in microseconds, exact over any gap.
  static int64_t timeSubtract(const struct timeval* a, const struct timeval* b);
  // The same, clamped to the 32-bit range, for fields that hold 32 bits.
  static int32_t timeSubtract32(const struct timeval* a, const struct timeval* b);
  // Whole seconds of the calendar time; microseconds always 0. Returns 0.
  static int gettimeofday(struct timeval* tv, void* unused);

  // 1 when both texts are equal, else 0 (also when either is null). The time taken depends on
  // the lengths only, not on where the texts differ: for passwords and user names.
  static int secretEquals(const char* given, const char* secret);

  // Writes at most maxLength bytes of text to out (room bytes, no NUL added) with bytes below
  // 0x20 and 0x7F as "\xHH", so a text from a peer can neither end a line early nor carry
  // terminal controls; an escape that does not fit whole is left out. Returns the bytes written.
  static size_t escapeControls(const char* text, size_t maxLength, char* out, size_t room);
  // Room for the escaped form of a text of n bytes.
  static constexpr size_t escapedSize(size_t n) { return n * 4; }

  // Writes all n bytes at offset of the file, retrying interrupted and short writes: 0 when
  // they all went out. When they did not (a full disk), the file is cut back to offset so no
  // part of them stays, and the result is -1, or -2 when the cut failed and a part stayed;
  // errno then holds the write's error. For files that must end in whole records or lines.
  static int writeWhole(int fd, off_t offset, const char* bytes, size_t n);

  // 1 when the text is null, empty or only white space.
  static int isAllSpace(const char* text);
  // 1 when the type contains "text/", "audio/", "video/" or "application/".
  static int isContentMIME(const char* type);
  // 1 when the status begins with "200", "201", "202", "203" or "304".
  static int isValidPage(const char* status);
  // Whether a response begins a visit: 1 when text is empty and type is a content type; else 0
  // when text (its first 1022 characters, case ignored) contains pattern, otherwise the
  // isContentMIME result. Lower-cases pattern in place; a null text or pattern counts as empty.
  static int isEntryPoint(char* pattern, const char* text, const char* type);
  // The same answer with pattern left as it is (its case is ignored as well).
  static int isEntryPointIgnoringCase(const char* pattern, const char* text, const char* type);
  // Whether the first limit characters of text contain pattern, the case of ASCII letters
  // ignored on both sides, without a copy of either. An empty or null pattern is contained in
  // any text; a null text contains nothing else.
  static bool containsIgnoringCase(const char* text, size_t limit, const char* pattern);

  // 1 when a TCP socket with address reuse binds the port on all local addresses, or when this
  // process already listens there (registered below); else 0 and one log line.
  static int testSocket(int port);
  // The command servers register the ports they listen on, and unregister them on close.
  static void registerListeningPort(int port);
  static void unregisterListeningPort(int port);

  // Reads a 16-bit length and that many bytes into buffer (max + 1 bytes), NUL-ended. A length
  // above max or a short read: -1.
  static int readStringNoMalloc(char* buffer, int max, FILE* stream);
  // Reads a 16-bit length (at most 2048) and the bytes into a new malloc'd text owned by the
  // caller; length 0 gives null. Any failure leaves *out null and returns -1.
  static int readStringMalloc(char** out, FILE* stream);
  // Writes the 16-bit length and the bytes without NUL; at most 65535 bytes of a longer text.
  // Null is written as the empty text. -1 when a write falls short.
  static int writeString(const char* text, FILE* stream);

  // Advance over spaces, tabs, CR and LF (LWS_r stops at the NUL, LWS never passes end).
  static void LWS_r(const char** text);
  static void LWS_r(char** text) { LWS_r(const_cast<const char**>(text)); }
  static void LWS(const char** text, const char* end);
  static void LWS(char** text, const char* end) { LWS(const_cast<const char**>(text), end); }
  // Advances over spaces and tabs, stopping at the NUL.
  static void RmWhiteSpace_r(const char** text);
  static void RmWhiteSpace_r(char** text) { RmWhiteSpace_r(const_cast<const char**>(text)); }
  // 1 when a CR or LF directly followed by another CR or LF lies wholly before end.
  static int ScanLine_r(const char* start, const char* end);
  // Moves *text just past the first such pair and returns 1; without one, *text ends at end
  // (left alone when already there or past it) and the result is 0.
  static int IgnoreLine_r(const char** text, const char* end);
  static int IgnoreLine_r(char** text, const char* end) {
    return IgnoreLine_r(const_cast<const char**>(text), end);
  }

  // Always 1: any device is taken as able to capture.
  static int testPromiscEthernet(const char* device);
  // Applies the socket control command with a zero int as its argument; always 0.
  static int strioctl(int socket, int command, int timeout, char* text);
  static FILE* openFile(const char* path, const char* mode);
  // A malloc'd copy owned by the caller; null for null.
  static char* strdup(const char* text);
  // Re-entrant tokeniser; a null save uses one save pointer per thread.
  static char* strtok(char* text, const char* delimiters, char** save);

  // Stable sort of n object pointers that moves an element only when compare(a, b) > 0, so a
  // comparison that only tells equal (0) from unequal (-1) leaves the order alone. Null compare:
  // a's OB_Compare face compared with b (how 0), -1 when either object has none.
  static void sort(OB_Object** items, int n, Comparison compare);

  // Position of the first occurrence of pattern in buffer at or after start, else -1. With
  // caseSensitive 0, ASCII letters match regardless of case.
  static int findPattern(const char* pattern, int patternLength, const char* buffer,
                         int bufferLength, int caseSensitive, int start);
};

// The socket error codes of the console peers' world (10004 "Interrupted system call" ...);
// any other code gives "Unknown".
const char* socketErrorString(int code);
// The socket error code for an errno value; 0 when there is none.
int socketErrorFromErrno(int error);
