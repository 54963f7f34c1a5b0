// The system event log in place of a platform event-log service: a program opens a source under
// its name and reports typed events with one insertion text; they go to syslog(3) (facility
// daemon, identity = source name), or to a sink a test installs. Sources are registered in a
// small list kept in files, so that installing and removing a service can record its source.
//
// Registration lives in the directory set by EVL_SetDirectory, else "$OB_EVENTLOG_DIR", else
// "/etc/corrana/eventlog": a file "Sources" with one source name per line, in order, and per
// source a file "<name>.source" with the lines "EventMessageFile: <path>" and
// "TypesSupported: <n>". Reporting needs no registration.
#pragma once

#include <cstdint>

// Event types (bit values, as a source's supported types combine them).
inline constexpr uint16_t EVL_ERROR_TYPE = 1;
inline constexpr uint16_t EVL_WARNING_TYPE = 2;
inline constexpr uint16_t EVL_INFORMATION_TYPE = 4;

// The ids of the program's message table; each message is its insertion text.
inline constexpr uint32_t EVL_MSG_PLAIN = 0x00000003;
inline constexpr uint32_t EVL_MSG_INFORMATION = 0x40000000;
inline constexpr uint32_t EVL_MSG_WARNING = 0x80000001;
inline constexpr uint32_t EVL_MSG_ERROR = 0xC0000002;

// An open source, owned by the caller until EVL_DeregisterEventSource.
typedef struct EVL_SourceData* EVL_Source;

// One reported event as a sink sees it; the pointers live for the call only.
struct EVL_Record {
  const char* source;
  uint16_t type;
  uint16_t category;
  uint32_t eventId;
  int64_t userId;    // -1 when none was given
  const char* text;  // the formatted message, without a line end
};
using EVL_Sink = void (*)(const EVL_Record* record, void* context);

// Opens a source for reporting. server must be null (the local computer). Null with errno set
// on failure.
EVL_Source EVL_RegisterEventSource(const char* server, const char* sourceName);
// Reports one event: the message of eventId with the first of strings inserted (numStrings 0
// gives an empty text). userId: -1 for none. 0, or -1 for a null source.
int EVL_ReportEvent(EVL_Source source, uint16_t type, uint16_t category, uint32_t eventId,
                    int64_t userId, int numStrings, const char* const* strings);
// Closes the source; null is ignored. 0.
int EVL_DeregisterEventSource(EVL_Source source);

// Replaces where events go: null restores syslog. Returns the sink it replaced (null for
// syslog). Not to be changed while another thread reports.
EVL_Sink EVL_SetSink(EVL_Sink sink, void* context);

// The registration directory; copied. Null returns to "$OB_EVENTLOG_DIR" or the default.
void EVL_SetDirectory(const char* dir);
// Registers name with its message file and supported types: the source file is written and the
// name added to "Sources" unless it is already there (exact comparison). A name with '/' or a
// control character, or a message file with a control character, is refused with EINVAL.
// 0, or -1 with errno set.
int EVL_InstallSource(const char* name, const char* messageFile, uint32_t typesSupported);
// Deletes the source file and takes every line equal to name out of "Sources", keeping the
// others in order. 0, or -1 with errno set.
int EVL_RemoveSource(const char* name);
// The registered names in order, each followed by '\n', into list (size bytes, NUL-ended).
// The length, or -1 when they do not fit (list then holds "").
int EVL_ListSources(char* list, int size);
