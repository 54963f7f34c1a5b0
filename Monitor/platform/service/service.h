// The service manager in place of a platform service control manager. Installing a service
// writes a systemd unit "<unit dir>/<name>.service"; removing deletes it. The service process
// reports its status as lines appended to "<state dir>/<name>/<name>.status"; the last line is
// the current status.
//
// Where systemd runs the machine's services (its folder /run/systemd/system exists and the unit
// folder is systemd's own), the manager goes through systemctl: installing reloads systemd and
// enables an automatic service, starting and stopping are systemctl's start and stop, and
// removing disables the unit and reloads. The unit has systemd make the state folder for the
// service's account (RuntimeDirectory), take its readiness from the status reports (Type=notify),
// start it again a few seconds after it ends by itself (a console may end it on purpose to take a
// new configuration) and give up, failed, after five starts within a minute. A service run as an
// account is given the one capability a live capture needs (CAP_NET_RAW), and no other. Without systemd the
// manager starts an installed program itself (detached, with "OB_SERVICE=<name>" and the state
// folder in its environment, as the unit also sets them) and stops it with SIGTERM; nothing
// starts it again, and it runs as whoever starts it, so an account is refused there.
//
// In the service process the dispatcher runs the service main on a thread of its own and takes
// the control signals on the dispatching thread with sigwait: SIGTERM and SIGINT are the stop
// control, SIGUSR1 pause, SIGUSR2 continue and SIGHUP interrogate. The signals are blocked in
// every thread created after it starts. In the foreground a console handler takes SIGTERM and
// SIGINT the same way, and the other three when a control handler is given to it.
//
// Directories: SVC_SetDirectories, else "$OB_SERVICE_UNITDIR" and "$OB_SERVICE_STATEDIR", else
// "/etc/systemd/system" and "/run". Functions that fail set errno; errno texts describe them,
// or SVC_GetLastErrorText when systemctl failed.
#pragma once

#include <cstddef>
#include <cstdint>

// Service states.
inline constexpr uint32_t SVC_STOPPED = 1;
inline constexpr uint32_t SVC_START_PENDING = 2;
inline constexpr uint32_t SVC_STOP_PENDING = 3;
inline constexpr uint32_t SVC_RUNNING = 4;
inline constexpr uint32_t SVC_CONTINUE_PENDING = 5;
inline constexpr uint32_t SVC_PAUSE_PENDING = 6;
inline constexpr uint32_t SVC_PAUSED = 7;

// Controls, and the bits of the controls a service accepts.
inline constexpr uint32_t SVC_CONTROL_STOP = 1;
inline constexpr uint32_t SVC_CONTROL_PAUSE = 2;
inline constexpr uint32_t SVC_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SVC_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SVC_CONTROL_SHUTDOWN = 5;
inline constexpr uint32_t SVC_ACCEPT_STOP = 1;
inline constexpr uint32_t SVC_ACCEPT_PAUSE_CONTINUE = 2;
inline constexpr uint32_t SVC_ACCEPT_SHUTDOWN = 4;

// Console control types: SIGINT is Ctrl+C, SIGTERM the break request.
inline constexpr uint32_t SVC_CTRL_C_EVENT = 0;
inline constexpr uint32_t SVC_CTRL_BREAK_EVENT = 1;

// The service-specific-error value of the Win32 exit code.
inline constexpr uint32_t SVC_ERROR_SERVICE_SPECIFIC = 1066;

// Start types; an automatic service is wanted by the multi-user target.
inline constexpr uint32_t SVC_AUTO_START = 2;
inline constexpr uint32_t SVC_DEMAND_START = 3;

struct SVC_Status {
  uint32_t serviceType;
  uint32_t currentState;
  uint32_t controlsAccepted;
  uint32_t win32ExitCode;
  uint32_t serviceSpecificExitCode;
  uint32_t checkPoint;
  uint32_t waitHint;
};

// What SVC_CreateService writes; the texts are not kept.
struct SVC_ServiceConfig {
  const char* name;         // the unit's file name; no '/' nor control characters
  const char* displayName;  // its description
  const char* path;         // the program to run, absolute
  uint32_t startType;
  const char* account;   // the user the program runs as; null for the manager's default
  const char* password;  // never written: units carry no passwords
};

// Handles, owned by the caller until closed.
typedef struct SVC_ManagerData* SVC_Manager;
typedef struct SVC_ServiceData* SVC_Service;
// Owned by this layer for the life of the process.
typedef struct SVC_StatusData* SVC_StatusHandle;

void SVC_SetDirectories(const char* unitDir, const char* stateDir);
// The systemctl program the manager runs, which makes it take the systemd road whatever the
// directories; null goes back to finding out whether systemd runs (the default). For tests.
void SVC_SetSystemctl(const char* program);
// The journalctl program SVC_GetJournalTail runs; null goes back to "journalctl". For tests.
void SVC_SetJournalctl(const char* program);
// 1 when the manager goes through systemd, else 0.
int SVC_UsesSystemd();
// The text of the calling thread's last failure of a systemctl run ("systemctl start
// corramon.service: exit status 1"), or "" when the last failure has only its errno.
const char* SVC_GetLastErrorText();
// Whether account can write into folder: 1 yes, 0 no, -1 with errno ENOENT when there is no
// such account (or another errno when it cannot be found out).
int SVC_AccountCanWrite(const char* account, const char* folder);

// The manager side. OpenManager fails when the unit directory cannot be written.
SVC_Manager SVC_OpenManager();
void SVC_CloseManager(SVC_Manager manager);
// Writes the unit; with systemd then reloads it and enables an automatic service (a failure
// there deletes the unit again). Null with EEXIST when it exists, EINVAL for a text that would
// break it, ENOENT for an account that does not exist, ENOTSUP for an account without systemd.
SVC_Service SVC_CreateService(SVC_Manager manager, const SVC_ServiceConfig* config);
// Whether the unit of config's name is the one SVC_CreateService would write for config (the
// same program, account and start type): 1 yes, 0 no, -1 with errno set (ENOENT: no such unit).
int SVC_IsInstalledAs(SVC_Manager manager, const SVC_ServiceConfig* config);
// Null with ENOENT when no unit of that name is installed.
SVC_Service SVC_OpenService(SVC_Manager manager, const char* name);
void SVC_CloseService(SVC_Service service);
// The unit's file; lives as long as service.
const char* SVC_GetUnitPath(SVC_Service service);
// Deletes the unit and the status file (with systemd: disables the unit first, reloads after).
// 0 or -1.
int SVC_DeleteService(SVC_Service service);
// With systemd: clears a failed state (a start limit reached) and starts the unit, returning when
// it runs or has failed. Without: starts the unit's program detached (a new session, standard
// streams on /dev/null) and reports it start-pending. 0, or -1 with EALREADY when it is already
// running (with systemd: its status says it is up), or another errno when it cannot be started.
int SVC_StartService(SVC_Service service);
// With systemd, after SVC_StartService on service: the journal's last lines (at most 10) of the
// unit since that start, one a line, into text (size bytes, the tail when they do not fit), for
// a start that failed: the reason is in the service's own lines. Its length; 0 when there are
// none or there is no journal to ask.
size_t SVC_GetJournalTail(SVC_Service service, char* text, size_t size);
// Sends a control as its signal: stop and shutdown SIGTERM, pause SIGUSR1, continue SIGUSR2,
// interrogate SIGHUP; with systemd stop and shutdown are systemctl's stop, which also ends
// systemd's starting it again, and return once it has stopped. 0 when the running service
// accepts it (interrogate is always accepted); -1 with ESRCH when it does not run, EBUSY when it
// is stopping or does not accept that control, ENOTSUP for another control. status: the last
// reported status, may be null.
int SVC_ControlService(SVC_Service service, uint32_t control, SVC_Status* status);
// The last reported status; a service whose process is gone reads as stopped. 0 or -1.
int SVC_QueryServiceStatus(SVC_Service service, SVC_Status* status);

// The service side.
using SVC_ServiceMain = void (*)(int argc, char** argv);
using SVC_ControlHandler = void (*)(uint32_t control);
using SVC_ConsoleHandler = int (*)(uint32_t ctrlType);
// Runs serviceMain on a new thread with argv {name} and dispatches controls on the calling
// thread until it returns. 1 after that, 0 with ENOTCONN when this process was not started as
// service name.
int SVC_StartServiceCtrlDispatcher(const char* name, SVC_ServiceMain serviceMain);
// Called by the service main; handler runs on the dispatching thread. Null when no dispatcher
// runs for name, or when the status file cannot be written (SVC_GetLastErrorText names it).
SVC_StatusHandle SVC_RegisterServiceCtrlHandler(const char* name, SVC_ControlHandler handler);
// Appends the status line and, when systemd started the process ($NOTIFY_SOCKET), tells systemd
// the state: running is READY=1, stop-pending STOPPING=1, every state a STATUS= text. 1, or 0
// with errno set.
int SVC_SetServiceStatus(SVC_StatusHandle handle, const SVC_Status* status);
// Blocks SIGINT and SIGTERM in the calling thread and starts a thread that takes them and calls
// handler; when it returns 0 the signal's default action ends the process. With controls, also
// SIGUSR1, SIGUSR2 and SIGHUP, handed to controls as pause, continue and interrogate. Call it
// before the program starts other threads, and once. 1, or 0 with errno set.
int SVC_SetConsoleCtrlHandler(SVC_ConsoleHandler handler, SVC_ControlHandler controls = nullptr);

// The path of the running program into path (size bytes). Its length, or 0 with errno set when
// it cannot be read or does not fit.
size_t SVC_GetModuleFileName(char* path, size_t size);
// The id of the user who runs the program. 0, or -1 when the user has no account entry.
int SVC_GetUserId(int64_t* userId);
