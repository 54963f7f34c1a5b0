#include "OB_Task.h"

OB_Task::OB_Task(OB_ThreadFunction function, void* argument, int identifier)
    : function_(function), argument_(argument), identifier_(identifier) {}

int OB_Task::doTask() {
  if (function_ == nullptr) return -1;
  function_(argument_);
  return 0;
}

int OB_Task::setFunction(OB_ThreadFunction function) {
  function_ = function;
  return 0;
}

int OB_Task::setArg(void* argument) {
  argument_ = argument;
  return 0;
}

int OB_Task::getID() { return identifier_; }

int OB_Task::setID(int identifier) {
  identifier_ = identifier;
  return 0;
}
