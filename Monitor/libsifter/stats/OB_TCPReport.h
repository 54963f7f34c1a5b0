// The base of report objects that answer a statistics request themselves, the way the console
// handlers do: a breakdown and a series over one window's HTTP statistics. The engine makes no
// report object of its own; the base answers nothing.
#pragma once

#include "OB_Object.h"

class OB_AEngineTCPRequest;
class OB_HTTPAnalysisStats;

class OB_TCPReport : public virtual OB_Object {
 public:
  const char* getClassName() override { return "OB_TCPReport"; }

  // Write their reply to socket and return 0, or -1. The base sends nothing and returns -1.
  virtual int doBreakdown(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request);
  virtual int doSeries(OB_HTTPAnalysisStats* stats, int socket, OB_AEngineTCPRequest* request);
};
