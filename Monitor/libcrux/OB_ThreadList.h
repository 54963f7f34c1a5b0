// A list of threads that is started, stopped, joined and restarted as one: an engine manager
// holds its workers in one. The list owns its threads: a thread that leaves it is released.
#pragma once

#include "OB_List.h"
#include "OB_Mutex.h"
#include "OB_Runnable.h"
#include "OB_Thread.h"

class OB_ThreadList : public OB_List<OB_Thread>, public virtual OB_Runnable {
  OB_CLASS_IDENTITY(OB_ThreadList, 0x2BE2BFB6, "OB_ThreadList", OB_Runnable, OB_Object)
  OB_CLASS_CREATE(OB_ThreadList)

 public:
  OB_ThreadList();
  // Tells every listed thread to do nothing more and leave its loop, stops the list, then
  // releases the threads; a thread still in its last pass lives on until that pass ends.
  ~OB_ThreadList() override;

  // stop() then start(); 0.
  virtual int restart();

  // Starts every thread unless the list runs; a thread that cannot be started ends the process.
  int start() override;
  // Stops every thread when the list runs; does not wait.
  int stop() override;
  // Joins every thread, running or not; a failed join is logged and the others still awaited.
  int join(OB_Mutex* mutex, int ms) override;
  // The list's running flag.
  int isRunning() override;

 private:
  // The listed threads, each with a reference of the caller's, so that start, stop and join
  // never hold the list's lock while they act on a thread.
  std::vector<OB_Thread*> snapshot();
  static void releaseAll(std::vector<OB_Thread*>& threads);

  std::atomic<int32_t> running_{0};
  // Serialises start, stop and join of the whole list; separate from the list's own lock.
  OB_Mutex runLock_;
};
