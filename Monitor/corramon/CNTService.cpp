#include "CNTService.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "OB_Tools.h"
#include "eventlog.h"

namespace {

CNTService* theService = nullptr;
int serviceExists = 0;

enum Action { kNone, kInstall, kRemove, kStart, kStop };

void pause1s() { std::this_thread::sleep_for(std::chrono::milliseconds(1000)); }

void say(const char* format, const char* a, const char* b = nullptr) {
  printf(format, a, b);
  fflush(stdout);
}

// A refusal or a failure: on standard error, after the line standard output has begun (the
// dots of a wait) is ended there.
void refuse(bool endLine, const char* format, const char* a, const char* b = nullptr) {
  if (endLine) say("\n", nullptr);
  fprintf(stderr, format, a, b);
  fflush(stderr);
}

// Polls every second, printing a dot, while the service is in state pending.
void waitWhile(SVC_Service service, uint32_t pending, SVC_Status* status) {
  *status = SVC_Status{};
  pause1s();
  while (SVC_QueryServiceStatus(service, status) == 0 && status->currentState == pending) {
    printf(".");
    fflush(stdout);
    pause1s();
  }
}

// Held while the signal thread hands a stop or another control to the service, and while the
// service retires.
std::mutex consoleHandling;

// The foreground's pause, continue and interrogate signals, handed over as the stop is: the
// service does not go while its handler runs.
void foregroundControl(uint32_t control) {
  std::lock_guard<std::mutex> hold(consoleHandling);
  CNTService::controlHandler(control);
}

}  // namespace

CNTService::CNTService(char* serviceName, char* displayName)
    : serviceName(serviceName), displayName(displayName != nullptr ? displayName : serviceName) {
  theService = this;
  serviceExists = 1;
  if (isNT && SVC_GetUserId(&userSid) != 0) userSid = -1;
}

CNTService::~CNTService() { retire(); }

void CNTService::retire() {
  std::lock_guard<std::mutex> hold(consoleHandling);
  if (theService == this) {
    theService = nullptr;
    serviceExists = 0;
  }
}

CNTService* CNTService::instance() { return serviceExists != 0 ? theService : nullptr; }

int CNTService::processCommandLine(int argc, char** argv) {
  Action action = kNone;
  for (int i = 1; i < argc; ++i) {
    char* argument = argv[i];
    if (argument == nullptr || argument[0] != '-') continue;
    switch (argument[1]) {
      case 'i': action = kInstall; break;
      case 'u': action = kRemove; break;
      case 's': action = kStart; break;
      case 'e': action = kStop; break;
      case 'l':
      case 'p': {
        // A switch without a value (the last argument) leaves the value unset.
        char* value = argument[2] != '\0' ? argument + 2 : (i + 1 < argc ? argv[++i] : nullptr);
        (argument[1] == 'l' ? account : password) = value;
        break;
      }
      case 'd':
      case 'f': {
        {
          std::lock_guard<std::mutex> guard(statusLock);
          foreground = 1;
        }
        return runInForeground(argc, argv, argument[1] == 'f' ? 1 : 0);
      }
      default: break;
    }
  }
  switch (action) {
    case kInstall: return installService();
    case kRemove: return removeService();
    case kStart: return startViaManager();
    case kStop: return stopViaManager();
    case kNone: break;
  }
  if (isNT) return startDispatcher();
  {
    std::lock_guard<std::mutex> guard(statusLock);
    foreground = 1;
  }
  return runInForeground(argc, argv, 1);
}

int CNTService::startDispatcher() {
  int result = SVC_StartServiceCtrlDispatcher(serviceName, serviceMain);
  if (result == 0) {
    char text[255];
    logEvent(errorText(text, sizeof text), EVL_ERROR_TYPE, -1);
  }
  return result;
}

void CNTService::serviceMain(int argc, char** argv) {
  CNTService* service = instance();
  if (service == nullptr) return;
  SVC_StatusHandle handle = SVC_RegisterServiceCtrlHandler(service->serviceName, controlHandler);
  {
    std::lock_guard<std::mutex> guard(service->statusLock);
    service->statusHandle = handle;
  }
  if (handle == nullptr) {
    // Nothing can be reported, so nothing is run: the end must not look like a clean one.
    char text[512];
    snprintf(text, sizeof text, "%s can't report its status: %s", service->serviceName,
             SVC_GetLastErrorText()[0] != '\0' ? SVC_GetLastErrorText() : "no dispatcher");
    service->logEvent(text, EVL_ERROR_TYPE, -1);
    service->serviceExitCode = 1;
    return;
  }
  if (service->setStatus(SVC_START_PENDING, 3000, 0) != 0) service->run(argc, argv);
  service->setStatus(SVC_STOPPED, 3000, service->serviceExitCode);
}

void CNTService::controlHandler(uint32_t control) {
  CNTService* service = instance();
  if (service == nullptr) return;
  auto setState = [service](uint32_t state) {
    std::lock_guard<std::mutex> guard(service->statusLock);
    service->status.currentState = state;
  };
  switch (control) {
    case SVC_CONTROL_STOP:
      setState(SVC_STOP_PENDING);
      service->onStop();
      break;
    case SVC_CONTROL_PAUSE:
      setState(SVC_PAUSE_PENDING);
      service->onPause();
      break;
    case SVC_CONTROL_CONTINUE:
      setState(SVC_CONTINUE_PENDING);
      service->onContinue();
      break;
    case SVC_CONTROL_INTERROGATE: {
      uint32_t state;
      {
        std::lock_guard<std::mutex> guard(service->statusLock);
        state = service->status.currentState;
      }
      service->setStatus(static_cast<int>(state), 3000, 0);
      break;
    }
    case SVC_CONTROL_SHUTDOWN:
      service->onShutdown();
      break;
    default:
      break;
  }
}

int CNTService::consoleHandler(uint32_t ctrlType) {
  // The signal thread outlives the service: the service does not go while it is handed a stop.
  std::lock_guard<std::mutex> hold(consoleHandling);
  CNTService* service = instance();
  if (service == nullptr || (ctrlType != SVC_CTRL_C_EVENT && ctrlType != SVC_CTRL_BREAK_EVENT))
    return 0;
  if (service->quiet == 0) say("Stopping %s.\n", service->displayName);
  service->onStop();
  return 1;
}

int CNTService::runInForeground(int argc, char** argv, int quietly) {
  quiet = quietly;
  if (quiet == 0) say("Debugging %s.\n", displayName);
  // Quiet or not, a stop signal ends the service cleanly rather than killing the process, and
  // the pause, continue and interrogate signals do what they do to the service.
  SVC_SetConsoleCtrlHandler(consoleHandler, foregroundControl);
  run(argc, argv);
  return 1;
}

int CNTService::setStatus(int state, int waitHint, int exitCode) {
  int result;
  {
    // Held across the write so that reports reach the status file in check-point order.
    std::lock_guard<std::mutex> guard(statusLock);
    if (foreground != 0) return 1;
    status.controlsAccepted =
        state == static_cast<int>(SVC_START_PENDING) ? 0 : static_cast<uint32_t>(acceptedControls);
    status.currentState = static_cast<uint32_t>(state);
    status.waitHint = static_cast<uint32_t>(waitHint);
    status.serviceSpecificExitCode = static_cast<uint32_t>(exitCode);
    status.win32ExitCode = exitCode == 0 ? 0 : SVC_ERROR_SERVICE_SPECIFIC;
    if (state == static_cast<int>(SVC_RUNNING) || state == static_cast<int>(SVC_STOPPED))
      status.checkPoint = 0;
    else
      status.checkPoint = static_cast<uint32_t>(++checkPoint);
    result = SVC_SetServiceStatus(statusHandle, &status);
  }
  if (result == 0) logEvent("SetServiceStatus() failed", EVL_ERROR_TYPE, -1);
  return result;
}

char* CNTService::errorText(char* dst, unsigned size) {
  int error = errno;
  if (dst == nullptr || size == 0) return dst;
  char buffer[256];
  // The service manager's own account of its last failure (a systemctl run), else errno's.
  const char* text = SVC_GetLastErrorText()[0] != '\0' ? SVC_GetLastErrorText()
                                                      : strerror_r(error, buffer, sizeof buffer);
  size_t n = strlen(text);
  if (n < size)
    memcpy(dst, text, n + 1);
  else
    dst[0] = '\0';
  return dst;
}

void CNTService::logEvent(const char* text, int type, int eventId) {
  uint32_t id = static_cast<uint32_t>(eventId);
  if (eventId == -1) {
    switch (type & 0xFFFF) {
      case EVL_ERROR_TYPE: id = EVL_MSG_ERROR; break;
      case EVL_WARNING_TYPE: id = EVL_MSG_WARNING; break;
      default: id = EVL_MSG_INFORMATION; break;
    }
  }
  EVL_Source source = EVL_RegisterEventSource(nullptr, serviceName);
  if (source == nullptr) return;
  {
    // syslog stamps the line in local time, reading the C library's time-zone state.
    std::lock_guard<std::mutex> hold(OB_Tools::timeZoneLock());
    EVL_ReportEvent(source, static_cast<uint16_t>(type), 0, id, userSid, 1, &text);
  }
  EVL_DeregisterEventSource(source);
}

void CNTService::registerEventSource(char* messageFile, int typesSupported) {
  EVL_InstallSource(serviceName, messageFile, static_cast<uint32_t>(typesSupported));
}

void CNTService::deregisterEventSource() { EVL_RemoveSource(serviceName); }

int CNTService::installService() {
  char path[1024];
  char error[256];
  if (SVC_GetModuleFileName(path, sizeof path) == 0) {
    errorText(error, sizeof error);
    refuse(false, "Unable to install %s - %s\n", displayName, error);
    return 0;
  }
  if (!isNT) return 0;
  SVC_Manager manager = SVC_OpenManager();
  if (manager == nullptr) {
    refuse(false,
           "Unable to install %s - the unit folder can't be written (%s); run the install as "
           "root\n",
           displayName, errorText(error, sizeof error));
    return 0;
  }
  SVC_ServiceConfig config{serviceName, displayName, path, startType, account, password};
  SVC_Service service = SVC_CreateService(manager, &config);
  // Installed already: the state asked for holds when the unit is the one this install writes.
  bool asAsked = false;
  if (service != nullptr) {
    say("%s installed.\n", displayName);
    if (SVC_UsesSystemd() != 0)
      say(startType == SVC_AUTO_START
              ? "Unit %s written, systemd reloaded, the service enabled to start at boot; "
                "\"corramon -s\" starts it now.\n"
              : "Unit %s written, systemd reloaded; \"corramon -s\" starts the service.\n",
          SVC_GetUnitPath(service));
    else
      say("Unit %s written. systemd does not run here: \"corramon -s\" starts the service, "
          "and nothing starts it at boot or after it ends.\n",
          SVC_GetUnitPath(service));
    SVC_CloseService(service);
  } else {
    const int why = errno;
    if (why == EEXIST) {
      SVC_Service installed = SVC_OpenService(manager, serviceName);
      const char* unit = installed != nullptr ? SVC_GetUnitPath(installed) : "its unit exists";
      asAsked = SVC_IsInstalledAs(manager, &config) == 1;
      if (asAsked) {
        printf("%s is already installed as asked (%s); nothing was changed.\n", displayName, unit);
        fflush(stdout);
      } else {
        fprintf(stderr,
                "%s is already installed otherwise (%s); nothing was changed. To install it "
                "again (another account, a moved program), remove it first: %s -u\n",
                displayName, unit, serviceName);
        fflush(stderr);
      }
      SVC_CloseService(installed);
    } else if (why == ENOTSUP) {
      refuse(false,
             "Unable to install %s - systemd does not run here, and without it the service runs "
             "as whoever starts it: install without -l %s\n",
             displayName, account != nullptr ? account : "");
    } else if (why == ENOENT && account != nullptr) {
      refuse(false, "Unable to install %s - there is no account named %s\n", displayName, account);
    } else if (why == EINVAL && account != nullptr) {
      refuse(false,
             "Unable to install %s - the account name can't be written into a unit (it holds a "
             "blank or a control character)\n",
             displayName);
    } else {
      errno = why;
      refuse(false, "Unable to install %s - %s\n", displayName, errorText(error, sizeof error));
    }
  }
  SVC_CloseManager(manager);
  if (service == nullptr) return asAsked ? 1 : 0;
  registerEventSource(path, EVL_ERROR_TYPE | EVL_WARNING_TYPE | EVL_INFORMATION_TYPE);
  logEvent("Service installed", EVL_INFORMATION_TYPE, -1);
  return 1;
}

// Opens the manager and this service, printing the failure; both null after a failure.
// *installed is false when the failure is that no such service is installed, which is said on
// standard output when that is what the command asks for (nothing to stop or remove), else on
// standard error.
static bool openBoth(const char* name, const char* display, SVC_Manager* manager,
                     SVC_Service* service, CNTService* self, bool* installed,
                     bool absentIsAsked) {
  char error[256];
  *installed = true;
  *service = nullptr;
  *manager = SVC_OpenManager();
  if (*manager == nullptr) {
    refuse(false,
           "The service manager can't be used: the unit folder can't be written (%s); run this "
           "as root\n",
           self->errorText(error, sizeof error));
    return false;
  }
  *service = SVC_OpenService(*manager, name);
  if (*service == nullptr) {
    if (errno == ENOENT) {
      *installed = false;
      if (absentIsAsked)
        say("%s is not installed; \"%s -i\" installs it.\n", display, name);
      else
        refuse(false, "%s is not installed; \"%s -i\" installs it.\n", display, name);
    } else {
      refuse(false, "The service %s can't be opened: %s\n", name,
             self->errorText(error, sizeof error));
    }
    SVC_CloseManager(*manager);
    *manager = nullptr;
    return false;
  }
  return true;
}

// Stops service through the manager, saying what happened (a service that was not running
// without a word when quiet). 1 when it is stopped now (or was not running), else 0.
static int stopAndSay(SVC_Service service, const char* display, CNTService* self, bool quiet) {
  SVC_Status current;
  if (SVC_ControlService(service, SVC_CONTROL_STOP, &current) == 0) {
    say("Stopping %s.", display);
    waitWhile(service, SVC_STOP_PENDING, &current);
    const bool stopped = current.currentState == SVC_STOPPED;
    if (stopped)
      say("\n%s stopped.\n", display);
    else
      refuse(true, "%s failed to stop.\n", display);
    return stopped ? 1 : 0;
  }
  char error[256];
  if (errno == ESRCH) {
    if (!quiet) say("%s is not running.\n", display);
    return 1;
  }
  if (errno == EBUSY && current.currentState == SVC_STOP_PENDING) {
    say("%s is stopping already.\n", display);
    return 1;
  }
  if (errno == EBUSY) {
    refuse(false, "%s is still starting and can't be stopped yet; try again in a moment.\n",
           display);
    return 0;
  }
  refuse(false, "%s could not be stopped: %s\n", display, self->errorText(error, sizeof error));
  return 0;
}

int CNTService::removeService() {
  if (!isNT) return 0;
  SVC_Manager manager;
  SVC_Service service;
  bool installed;
  // Nothing installed is what a removal asks for.
  if (!openBoth(serviceName, displayName, &manager, &service, this, &installed, true))
    return installed ? 0 : 1;
  if (stopAndSay(service, displayName, this, true) == 0) {
    refuse(false, "%s is left installed.\n", displayName);
    SVC_CloseService(service);
    SVC_CloseManager(manager);
    return 0;
  }
  int result = 0;
  char error[256];
  if (SVC_DeleteService(service) == 0) {
    say("%s removed.\n", displayName);
    result = 1;
  } else {
    refuse(false, "%s could not be removed: %s\n", displayName, errorText(error, sizeof error));
  }
  SVC_CloseService(service);
  SVC_CloseManager(manager);
  if (result != 0) deregisterEventSource();
  return result;
}

int CNTService::stopViaManager() {
  SVC_Manager manager;
  SVC_Service service;
  bool installed;
  // Not installed, it does not run: the stop asked for holds.
  if (!openBoth(serviceName, displayName, &manager, &service, this, &installed, true))
    return installed ? 0 : 1;
  const int result = stopAndSay(service, displayName, this, false);
  SVC_CloseService(service);
  SVC_CloseManager(manager);
  return result;
}

int CNTService::startViaManager() {
  SVC_Manager manager;
  SVC_Service service;
  bool installed;
  if (!openBoth(serviceName, displayName, &manager, &service, this, &installed, false)) return 0;
  int result = 0;
  say("Starting up %s.", displayName);
  if (SVC_StartService(service) != 0) {
    char error[256];
    if (errno == EALREADY) {
      say("\n%s is already running.\n", displayName);
      result = 1;
    } else {
      refuse(true, "%s failed to start: %s\n", displayName, errorText(error, sizeof error));
      // Why is in the service's own lines, which systemd keeps in the journal.
      char journal[4096];
      if (SVC_GetJournalTail(service, journal, sizeof journal) > 0) {
        fprintf(stderr, "Its last lines in the journal (journalctl -u %s says more):\n%s%s",
                serviceName, journal, journal[strlen(journal) - 1] == '\n' ? "" : "\n");
        fflush(stderr);
      }
    }
  } else {
    SVC_Status current;
    waitWhile(service, SVC_START_PENDING, &current);
    result = current.currentState == SVC_RUNNING ? 1 : 0;
    if (result != 0)
      say("\n%s started.\n", displayName);
    else
      refuse(true, "%s failed to start.\n", displayName);
  }
  SVC_CloseService(service);
  SVC_CloseManager(manager);
  return result;
}
