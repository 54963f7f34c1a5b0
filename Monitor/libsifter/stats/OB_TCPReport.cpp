#include "stats/OB_TCPReport.h"

int OB_TCPReport::doBreakdown(OB_HTTPAnalysisStats* /*stats*/, int /*socket*/,
                              OB_AEngineTCPRequest* /*request*/) {
  return -1;
}

int OB_TCPReport::doSeries(OB_HTTPAnalysisStats* /*stats*/, int /*socket*/,
                           OB_AEngineTCPRequest* /*request*/) {
  return -1;
}
