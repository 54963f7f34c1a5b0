#include "CCorramon.h"

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "OB_AEngineMgr.h"
#include "OB_CEngineMgr.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_Tools.h"
#include "eventlog.h"

namespace {

char kServiceName[] = "corramon";
char kDisplayName[] = "Corrana";

// Waits at most ms for the engine's threads; false when they have not all ended by then (the
// waiting goes on in the background, and the engine must not be released).
bool joinWithin(OB_EngineMgr* engine, int ms) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([engine, done, ms] {
    engine->join(nullptr, ms);
    done->set_value();
  }).detach();
  return ended.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

}  // namespace

CCorramon::CCorramon() : CNTService(kServiceName, kDisplayName) {
  acceptedControls = SVC_ACCEPT_STOP | SVC_ACCEPT_PAUSE_CONTINUE | SVC_ACCEPT_SHUTDOWN;
}

CCorramon::~CCorramon() { retire(); }

void CCorramon::endFromConsole(void* self) { static_cast<CCorramon*>(self)->stopEvent_.set(); }

void CCorramon::fail(const char* text) {
  logEvent(text, EVL_ERROR_TYPE, -1);
  serviceExitCode = 1;
  failed_.store(true);
}

void CCorramon::run(int argc, char** argv) {
  failed_.store(false);
  serviceExitCode = 0;
  setStatus(SVC_START_PENDING, 3000, 0);

  auto* options = new OB_NamedStringList();
  options->setOwner(1);
  const std::string optionFile = std::string(OB_Tools::getInstallDir()) + "/admin/corramon.cfg";
  // A missing option file is no error: the engines run with their defaults.
  options->readFile(optionFile.c_str(), ':', "\n\t ");
  setOptions(options);

  OB_CEngineMgr* capture = new OB_CEngineMgr(argc, argv, options, this, 1);
  OB_AEngineMgr* analysis = nullptr;
  if (capture->init() != 0) {
    fail("corramon: the capture engine could not be initialised");
    shutDown(analysis, capture, options);
    return;
  }
  capture->setExitAction(endFromConsole, this);
  analysis = new OB_AEngineMgr(argc, argv, options, capture->getConsumerNamedList(), this);
  analysis->addHandler(capture);
  analysis->setQuitAction(endFromConsole, this);
  if (analysis->init() != 0) {
    fail("corramon: the analysis engine could not be initialised");
    shutDown(analysis, capture, options);
    return;
  }
  if (capture->start() != 0 || analysis->start() != 0) {
    fail("corramon: the engines could not be started (is a console port taken?)");
    shutDown(analysis, capture, options);
    return;
  }
  std::thread console;
  if (analysis->isInteractive() != 0)
    console = std::thread([analysis] { analysis->input(); });
  setStatus(SVC_RUNNING, 3000, 0);

  for (;;) {
    if (stopEvent_.wait(1000)) break;
    if (!pauseEvent_.wait(5)) continue;
    analysis->stop();
    capture->stop();
    setStatus(SVC_PAUSED, 3000, 0);
    bool stopped = false;
    while (!stopped) {
      if (continueEvent_.wait(50)) break;
      stopped = stopEvent_.wait(50);
    }
    if (stopped) break;
    // The reverse of the first start.
    if (analysis->start() != 0)
      logEvent("corramon: the analysis engine could not be started again", EVL_ERROR_TYPE, -1);
    if (capture->start() != 0)
      logEvent("corramon: the capture engine could not be started again", EVL_ERROR_TYPE, -1);
    pauseEvent_.reset();
    continueEvent_.reset();
    setStatus(SVC_RUNNING, 3000, 0);
  }

  if (console.joinable()) {
    analysis->stopConsole();
    console.join();
  }
  shutDown(analysis, capture, options);
}

void CCorramon::shutDown(OB_AEngineMgr*& analysis, OB_CEngineMgr*& capture,
                         OB_NamedStringList*& options) {
  if (analysis != nullptr) analysis->stop();
  if (capture != nullptr) capture->stop();
  bool released = true;
  // Nothing is released while one of its threads may still run in it.
  if (analysis != nullptr) {
    if (joinWithin(analysis, kJoinLimitMs)) {
      analysis->release();
    } else {
      logEvent("corramon: the analysis engine did not stop in time", EVL_ERROR_TYPE, -1);
      released = false;
    }
    analysis = nullptr;
  }
  if (capture != nullptr) {
    if (released && joinWithin(capture, kJoinLimitMs)) {
      capture->release();  // archives closed, stop times set
    } else {
      logEvent("corramon: the capture engine did not stop in time", EVL_ERROR_TYPE, -1);
      released = false;
    }
    capture = nullptr;
  }
  if (released) {
    setOptions(nullptr);
    options->release();
  }
  options = nullptr;
}

void CCorramon::onStop() {
  setStatus(SVC_STOP_PENDING, 5000, 0);
  stopEvent_.set();
}

void CCorramon::onPause() {
  // Paused is reported once the engines have stopped, by run.
  setStatus(SVC_PAUSE_PENDING, 3000, 0);
  pauseEvent_.set();
}

void CCorramon::onContinue() {
  setStatus(SVC_CONTINUE_PENDING, 3000, 0);
  continueEvent_.set();
}

void CCorramon::onShutdown() { stopEvent_.set(); }

void CCorramon::handleExit(char* text) {
  logEvent(text, EVL_ERROR_TYPE, -1);
  serviceExitCode = 1;
  setStatus(SVC_STOPPED, 0, serviceExitCode);
}
