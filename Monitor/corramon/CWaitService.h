// The service the program runs until the engines are wired in: it reports itself running and
// waits for a stop or a system shutdown. It stands where the monitor service class goes, with
// the same names, controls and status reports.
#pragma once

#include <condition_variable>
#include <mutex>

#include "CNTService.h"

class CWaitService : public CNTService {
 public:
  CWaitService();

  // Reports start-pending, then running (3000 ms each), and waits for onStop or onShutdown.
  void run(int argc, char** argv) override;
  // Reports stop-pending (5000 ms) and ends the wait.
  void onStop() override;
  // Ends the wait without a report.
  void onShutdown() override;

 private:
  // A stop that comes before run waits is kept, never lost.
  std::mutex stopLock;
  std::condition_variable stopWake;
  bool stopRequested = false;
};
