#include "CWaitService.h"

namespace {
char kServiceName[] = "corramon";
char kDisplayName[] = "Corrana";
}  // namespace

CWaitService::CWaitService() : CNTService(kServiceName, kDisplayName) {}

void CWaitService::run(int /*argc*/, char** /*argv*/) {
  setStatus(SVC_START_PENDING, 3000, 0);
  setStatus(SVC_RUNNING, 3000, 0);
  std::unique_lock<std::mutex> lock(stopLock);
  stopWake.wait(lock, [this] { return stopRequested; });
}

void CWaitService::onStop() {
  setStatus(SVC_STOP_PENDING, 5000, 0);
  onShutdown();
}

void CWaitService::onShutdown() {
  std::lock_guard<std::mutex> guard(stopLock);
  stopRequested = true;
  stopWake.notify_all();
}
