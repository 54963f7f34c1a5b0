// Controls of the capture driver that its C interface does not carry: replay pacing, the end of
// a replay and the text of the last error. Used by tests, benchmarks and offline tools; the
// packet manager asks only isReplay. The clock is set through UTimeStamp.
#pragma once

#include <cstdint>
#include <string>

#include "driver.h"

class DriverControl {
 public:
  DriverControl() = delete;

  // Replays started from now on wait between frames as long as their time stamps say (true), or
  // deliver as fast as the callback takes them (false, the default).
  static void setReplayPaced(bool paced);
  // True while the context's driver thread runs (also when it is about to end by itself).
  static bool isCapturing(GLIM_CaptureContext capture);
  // True when the context replays a savefile and has delivered its last frame (or met an error
  // reading it); its thread has then ended or is ending.
  static bool isReplayFinished(GLIM_CaptureContext capture);
  // Why the context's replay ended before the end of its file (libpcap's text, such as a
  // truncated last record); "" when it read the whole file, has not ended, or is no replay.
  static std::string replayError(GLIM_CaptureContext capture);
  // True when the context replays a savefile ("file:" adapter) rather than capturing live: its
  // frames wait in the file, so a reader may make the driver's thread wait without losing any.
  static bool isReplay(GLIM_CaptureContext capture);
  // The name of the adapter the context captures on (an interface, or "file:<path>"), for log
  // lines; "" for a context that does not exist.
  static std::string adapterName(GLIM_CaptureContext capture);
  // Blocks until the context's driver thread has ended by itself (end of the savefile, or a
  // capture error) or was stopped; returns at once when it is not running. 0, or -1 for a
  // context that does not exist.
  static int waitForEnd(GLIM_CaptureContext capture);

  // Adds to the drops the context reports (kernel and interface), as a capture that lost frames
  // would: for tests of what reads them. 0, or -1 for a context that does not exist.
  static int addDrops(GLIM_CaptureContext capture, uint32_t kernel, uint32_t interface);

  // Text of the calling thread's last failed GLIM_ call ("" when none).
  static const char* lastErrorText();
};
