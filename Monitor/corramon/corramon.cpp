// corramon: the monitor service. It runs the capture engine and the analysis engine wired to
// each other, under the service manager or in the foreground, and installs, removes, starts and
// stops the installed service.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "CCorramon.h"
#include "OB_EngineMgr.h"
#include "OB_Tools.h"

namespace {

void usage(FILE* out) {
  fputs(
      "usage: corramon [-i | -u | -s | -e | -d | -f] [-l account] [-p password] [-v]\n"
      "  -i           install the service; after -d or -f: the analysis console on stdin\n"
      "  -u           stop and remove the installed service\n"
      "  -s           start the installed service\n"
      "  -e           stop the installed service\n"
      "  -d           run in the foreground with messages\n"
      "  -f           run in the foreground without messages\n"
      "  -l account   with -i: the account the service runs as (systemd only); it must be\n"
      "               able to write the install directory's logs, db and admin folders\n"
      "  -p password  accepted for -l and never written anywhere (systemd needs none)\n"
      "  -v           verbose engine logs\n"
      "  -r           accepted and ignored\n"
      "  -h, --help   this text\n"
      "Where systemd runs, -i writes /etc/systemd/system/corramon.service, reloads systemd and\n"
      "enables the service at boot; -s, -e and -u go through systemctl. systemd starts the\n"
      "service again 3 s after it ends by itself (the consoles' restart commands end it on\n"
      "purpose) and gives up, failed, after 5 starts within a minute. Without systemd, -s\n"
      "starts the program itself, detached, as the user who runs -s; nothing starts it at\n"
      "boot or again after it ends, and -l is refused.\n"
      "In the foreground every error and log line also goes to standard error; Ctrl+C and\n"
      "SIGTERM stop the monitor, SIGUSR1 pauses it, SIGUSR2 continues it, and SIGHUP (the\n"
      "service's status request) leaves it running.\n"
      "Without a switch it runs as the service the service manager started. The install\n"
      "directory is $OB_INSTALLDIR, else the program's folder followed by /../conf.\n",
      out);
}

// 0 when every argument is a switch corramon knows (a value after -l and -p included), 1 for
// help, -1 for anything else, named on standard error.
int checkArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "-?") == 0) return 1;
    if (a[0] == '-' && (a[1] == 'l' || a[1] == 'p')) {
      if (a[2] == '\0' && ++i >= argc) {
        fprintf(stderr, "corramon: %s needs a value\n", a);
        return -1;
      }
      continue;
    }
    if (a[0] != '-' || a[1] == '\0' || a[2] != '\0' || strchr("iusedfvr", a[1]) == nullptr) {
      fprintf(stderr, "corramon: unknown option %s\n", a);
      return -1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  switch (checkArguments(argc, argv)) {
    case 1:
      usage(stdout);
      return 0;
    case -1:
      usage(stderr);
      return 2;
    default:
      break;
  }
  OB_Tools::setFileModeMask();
  // A console that goes away in the middle of a reply is that request's failure, not the
  // process's end.
  signal(SIGPIPE, SIG_IGN);
  // The service takes SIGTERM and SIGINT on its own signal-waiting thread; the engines must
  // not install handlers of their own.
  OB_EngineMgr::setSignalHandlers(0);
  CCorramon service;
  const int result = service.processCommandLine(argc, argv);
  // The framework's 1 is success; the shell and the service manager read 0 as success.
  return result != 0 && !service.failed() ? 0 : 1;
}
