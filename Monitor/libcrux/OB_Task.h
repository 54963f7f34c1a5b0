// One unit of work for a thread pool: a function, its argument and the caller's tag, by which
// queued work can be withdrawn.
#pragma once

#include "OB_Object.h"
#include "OB_Thread.h"

class OB_Task : public virtual OB_Object {
 public:
  // The argument is not owned; the task only hands it to the function.
  OB_Task(OB_ThreadFunction function, void* argument, int identifier);
  OB_Task(const OB_Task&) = delete;
  OB_Task& operator=(const OB_Task&) = delete;

  // Calls the function with the argument: 0, or -1 (nothing run) when no function is set.
  virtual int doTask();
  virtual int setFunction(OB_ThreadFunction function);
  virtual int setArg(void* argument);
  virtual int getID();
  virtual int setID(int identifier);

 private:
  OB_ThreadFunction function_;
  void* argument_;  // not owned
  int identifier_;
};
