// Replay of savefiles through the capture driver: content, order, stop, restart, pacing and the
// replay clock.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "DriverFixture.h"
#include "UTimeStamp.h"

namespace driver_test {
namespace {

using corrana_test::FrameBuilder;
using corrana_test::PcapWriter;

// Lets the driver's thread hold at one frame until the test lets it go on.
struct Gate {
  std::mutex lock;
  std::condition_variable changed;
  bool reached = false;
  bool open = false;

  void arriveAndWait() {
    std::unique_lock<std::mutex> hold(lock);
    reached = true;
    changed.notify_all();
    changed.wait(hold, [&] { return open; });
  }
  void waitForArrival() {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return reached; });
  }
  void release() {
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    changed.notify_all();
  }
};

std::vector<Frame> withTruncatedFrame(std::vector<Frame> frames) {
  FrameBuilder cut;
  cut.ipv4({}).tcp({}).payload(Bytes(600, 'c')).truncateTo(96);
  frames.push_back(cut.build(frames.back().time + 5));
  return frames;
}

TEST_F(DriverTest, ReplaysEveryFrameInOrderWithItsTimeAndLength) {
  std::vector<Frame> frames = withTruncatedFrame(sampleConversation());
  ASSERT_EQ(frames.back().bytes.size(), 96u);
  ASSERT_GT(frames.back().wireLength, 96u);
  struct Format {
    const char* name;
    bool (*write)(const std::string&, const std::vector<Frame>&);
  };
  const Format formats[] = {
      {"micro.pcap", [](const std::string& p, const std::vector<Frame>& f) {
         return PcapWriter::write(p, f);
       }},
      {"nano.pcap", [](const std::string& p, const std::vector<Frame>& f) {
         return PcapWriter::write(p, f, corrana_test::kLinkTypeEthernet, true);
       }},
      {"frames.pcapng", [](const std::string& p, const std::vector<Frame>& f) {
         return PcapWriter::writePcapng(p, f);
       }},
  };
  for (const Format& format : formats) {
    SCOPED_TRACE(format.name);
    std::string path = install.file(format.name);
    ASSERT_TRUE(format.write(path, frames));
    Recorder recorder;
    GLIM_CaptureContext capture = replay(path, recorder);
    EXPECT_FALSE(DriverControl::isReplayFinished(capture));
    EXPECT_EQ(GLIM_StartCapture(capture), 0);
    EXPECT_EQ(DriverControl::waitForEnd(capture), 0);
    EXPECT_TRUE(DriverControl::isReplayFinished(capture));
    EXPECT_FALSE(DriverControl::isCapturing(capture));
    expectDelivered(frames, recorder);
    // Starting a replay that has ended delivers nothing more.
    EXPECT_EQ(GLIM_StartCapture(capture), 0);
    EXPECT_EQ(DriverControl::waitForEnd(capture), 0);
    EXPECT_EQ(recorder.count(), frames.size());
  }
}

TEST_F(DriverTest, ReplaysAnEmptyFileToItsEnd) {
  Recorder recorder;
  GLIM_CaptureContext capture = replay(writeTrace({}), recorder);
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  EXPECT_TRUE(DriverControl::isReplayFinished(capture));
  EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(DriverTest, AReplayCutShortSaysWhyWhereAWholeOneSaysNothing) {
  std::vector<Frame> frames = sampleConversation();
  const std::string path = writeTrace(frames);
  Recorder whole;
  GLIM_CaptureContext capture = replay(path, whole);
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  EXPECT_EQ(DriverControl::replayError(capture), "");

  // The last record loses its last ten bytes, as when the recorder was killed mid-write.
  const std::string cut = install.file("cut.pcap");
  std::filesystem::copy_file(path, cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 10);
  Recorder partial;
  capture = replay(cut, partial);
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  EXPECT_TRUE(DriverControl::isReplayFinished(capture));
  EXPECT_EQ(partial.count(), frames.size() - 1);
  EXPECT_NE(DriverControl::replayError(capture).find("truncated"), std::string::npos)
      << DriverControl::replayError(capture);
}

TEST_F(DriverTest, StopReturnsOnlyAfterTheLastCallbackAndStartGoesOn) {
  std::vector<Frame> frames = sampleConversation();
  Recorder recorder;
  Gate gate;
  std::atomic<bool> callbackDone{false};
  recorder.onFrame = [&](size_t index) {
    if (index != 4) return;
    gate.arriveAndWait();
    // Still busy after the gate opens, while the test is already inside GLIM_StopCapture.
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    callbackDone = true;
  };
  GLIM_CaptureContext capture = replay(writeTrace(frames), recorder);
  GLIM_StartCapture(capture);
  gate.waitForArrival();
  gate.release();
  EXPECT_EQ(GLIM_StopCapture(capture), 0);
  EXPECT_TRUE(callbackDone.load());
  EXPECT_EQ(recorder.active.load(), 0);
  EXPECT_FALSE(DriverControl::isCapturing(capture));
  size_t delivered = recorder.count();
  EXPECT_GE(delivered, 5u);

  // Stopping again is harmless; starting again goes on from the next frame.
  EXPECT_EQ(GLIM_StopCapture(capture), 0);
  EXPECT_EQ(recorder.count(), delivered);
  recorder.onFrame = nullptr;
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  expectDelivered(frames, recorder);
}

TEST_F(DriverTest, StopFromInsideTheCallbackEndsAfterThatFrame) {
  std::vector<Frame> frames = sampleConversation();
  Recorder recorder;
  GLIM_CaptureContext capture = replay(writeTrace(frames), recorder);
  recorder.onFrame = [&](size_t index) {
    if (index == 2) {
      EXPECT_EQ(GLIM_StopCapture(capture), 0);
    }
  };
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  EXPECT_EQ(recorder.count(), 3u);
  EXPECT_FALSE(DriverControl::isReplayFinished(capture));
  recorder.onFrame = nullptr;
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  expectDelivered(frames, recorder);
}

TEST_F(DriverTest, CallbackCannotDestroyItsOwnContext) {
  Recorder recorder;
  GLIM_AdapterHandle adapter = -1;
  GLIM_CaptureContext capture = replay(writeTrace(sampleConversation()), recorder, &adapter);
  std::atomic<int> destroyResult{0}, closeResult{0};
  recorder.onFrame = [&](size_t index) {
    if (index != 0) return;
    destroyResult = GLIM_DestroyCaptureContext(capture);
    closeResult = GLIM_CloseAdapter(adapter);
  };
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  EXPECT_EQ(destroyResult.load(), -1);
  EXPECT_EQ(closeResult.load(), -1);
  EXPECT_EQ(recorder.count(), sampleConversation().size());
}

TEST_F(DriverTest, ReplayClockFollowsTheTraceWhileTheReplayRuns) {
  std::vector<Frame> frames = sampleConversation(1000000000000000ull);  // September 2001
  Recorder recorder;
  Gate gate;
  GLIM_CaptureContext capture = replay(writeTrace(frames), recorder);
  recorder.onFrame = [&](size_t index) {
    if (index != 3) return;
    gate.arriveAndWait();
    GLIM_StopCapture(capture);
  };
  GLIM_StartCapture(capture);
  gate.waitForArrival();
  EXPECT_EQ(UTimeStamp::GetTimeStamp(), frames[3].time);  // read from another thread
  gate.release();
  DriverControl::waitForEnd(capture);
  // A paused replay keeps its clock at the last frame it delivered.
  EXPECT_FALSE(DriverControl::isReplayFinished(capture));
  EXPECT_EQ(UTimeStamp::GetTimeStamp(), frames[3].time);

  recorder.onFrame = nullptr;
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  for (size_t i = 0; i < recorder.deliveries.size(); ++i)
    EXPECT_EQ(recorder.deliveries[i].clockInside, frames[i].time) << "frame " << i;
  // The replay has ended: the wall clock again.
  EXPECT_GT(UTimeStamp::GetTimeStamp(), 1600000000000000ull);
}

TEST_F(DriverTest, PacedReplayStopsDuringALongGapAndGoesOnAfterIt) {
  // Frames a millisecond apart, then one an hour later.
  std::vector<Frame> frames = sampleConversation();
  frames.back().time += 3600ull * 1000000u;
  DriverControl::setReplayPaced(true);
  Recorder recorder;
  Gate gate;
  size_t beforeGap = frames.size() - 1;
  recorder.onFrame = [&](size_t index) {
    if (index + 1 == beforeGap) gate.arriveAndWait();
  };
  GLIM_CaptureContext capture = replay(writeTrace(frames), recorder);
  GLIM_StartCapture(capture);
  gate.waitForArrival();
  gate.release();
  GLIM_StopCapture(capture);  // must not wait out the hour
  EXPECT_EQ(recorder.count(), beforeGap);
  // Restarted, the frame that waited is delivered at once.
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  expectDelivered(frames, recorder);
}

TEST_F(DriverTest, DestroyStopsARunningReplay) {
  std::vector<Frame> frames = sampleConversation();
  frames.back().time += 3600ull * 1000000u;
  DriverControl::setReplayPaced(true);
  Recorder recorder;
  Gate gate;
  recorder.onFrame = [&](size_t index) {
    if (index == 0) gate.arriveAndWait();
  };
  GLIM_AdapterHandle adapter = -1;
  GLIM_CaptureContext capture = replay(writeTrace(frames), recorder, &adapter);
  GLIM_StartCapture(capture);
  gate.waitForArrival();
  gate.release();
  EXPECT_EQ(GLIM_DestroyCaptureContext(capture), 0);
  EXPECT_EQ(recorder.active.load(), 0);
  EXPECT_LT(recorder.count(), frames.size());
  EXPECT_EQ(GLIM_StopCapture(capture), -1);
  EXPECT_EQ(GLIM_CloseAdapter(adapter), 0);
}

}  // namespace
}  // namespace driver_test
