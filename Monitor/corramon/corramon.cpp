// corramon: the monitor service. "-i"/"-u" install and remove it, "-s"/"-e" start and stop the
// installed service, "-d" runs it in the foreground (Ctrl+C or SIGTERM stops it), "-f" the same
// without messages; without a switch it runs under the service manager.
#include "CWaitService.h"
#include "OB_EngineMgr.h"

int main(int argc, char** argv) {
  // The service takes SIGTERM and SIGINT on its own signal-waiting thread; the engines must
  // not install handlers of their own.
  OB_EngineMgr::setSignalHandlers(0);
  CWaitService service;
  // The framework's 1 is success; the shell and the service manager read 0 as success.
  return service.processCommandLine(argc, argv) != 0 ? 0 : 1;
}
