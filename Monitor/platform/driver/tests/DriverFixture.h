// Shared by the driver's tests: an install directory, the library initialised around each test,
// and a packet callback that records what it is given.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DriverControl.h"
#include "FrameBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"
#include "UTimeStamp.h"
#include "driver.h"

namespace driver_test {

using corrana_test::Bytes;
using corrana_test::Frame;
using corrana_test::TcpConversation;

struct Delivery {
  Bytes bytes;
  uint32_t length;
  uint64_t stamp;
  uint32_t wireLength;
  uint64_t clockInside;  // UTimeStamp::GetTimeStamp during the callback
};

// Collects every frame the driver hands over. onFrame, when set, runs after the frame is
// recorded, still on the driver's thread, with the frame's position.
struct Recorder {
  std::mutex lock;
  std::vector<Delivery> deliveries;
  std::atomic<int> active{0};
  std::function<void(size_t)> onFrame;

  static int callback(const unsigned char* frame, uint32_t length, uint64_t stamp,
                      uint32_t wireLength, void* context) {
    auto* self = static_cast<Recorder*>(context);
    self->active.fetch_add(1);
    size_t index;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      self->deliveries.push_back(
          {Bytes(frame, frame + length), length, stamp, wireLength, UTimeStamp::GetTimeStamp()});
      index = self->deliveries.size() - 1;
    }
    if (self->onFrame) self->onFrame(index);
    self->active.fetch_sub(1);
    return 1;
  }
  size_t count() {
    std::lock_guard<std::mutex> hold(lock);
    return deliveries.size();
  }
};

inline TcpConversation::Endpoint client() {
  return {corrana_test::ipv4Address("198.18.0.1"), 40000, {0x02, 0, 0, 0, 0, 0x01}};
}
inline TcpConversation::Endpoint server() {
  return {corrana_test::ipv4Address("198.18.0.2"), 80, {0x02, 0, 0, 0, 0, 0x02}};
}

// A conversation with data both ways, a retransmission, a reordering and a close.
inline std::vector<Frame> sampleConversation(uint64_t start = 1000000000000000ull) {
  TcpConversation c(client(), server(), start);
  c.handshake()
      .send(TcpConversation::kClient, "GET /index.html HTTP/1.0\r\nHost: example\r\n\r\n", 16)
      .ack(TcpConversation::kServer)
      .send(TcpConversation::kServer, Bytes(4000, 'x'), 1460)
      .retransmit(5)
      .swap(6, 7)
      .ack(TcpConversation::kClient)
      .close(TcpConversation::kServer);
  return c.frames();
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((install.path() + "/admin").c_str(), 0755);
    setenv("OB_INSTALLDIR", install.path().c_str(), 1);
    ASSERT_EQ(GLIM_InitializeLibrary(), 1);
  }
  void TearDown() override {
    EXPECT_EQ(GLIM_CleanupLibrary(), 1);
    DriverControl::setReplayPaced(false);
    UTimeStamp::clearClock();
  }
  std::string writeTrace(const std::vector<Frame>& frames, const std::string& name = "t.pcap") {
    std::string path = install.file(name);
    EXPECT_TRUE(corrana_test::PcapWriter::write(path, frames));
    return path;
  }
  // Opens "file:<path>" and makes its context with the recorder; fails the test otherwise.
  GLIM_CaptureContext replay(const std::string& path, Recorder& recorder,
                             GLIM_AdapterHandle* adapterOut = nullptr) {
    GLIM_AdapterHandle adapter = GLIM_OpenAdapter(("\\Device\\file:" + path).c_str());
    EXPECT_NE(adapter, -1) << DriverControl::lastErrorText();
    if (adapterOut != nullptr) *adapterOut = adapter;
    GLIM_CaptureContext capture =
        GLIM_CreateCaptureContext(adapter, Recorder::callback, 512000, &recorder);
    EXPECT_NE(capture, nullptr) << DriverControl::lastErrorText();
    return capture;
  }
  static void expectDelivered(const std::vector<Frame>& frames, Recorder& recorder) {
    std::lock_guard<std::mutex> hold(recorder.lock);
    ASSERT_EQ(recorder.deliveries.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      const Delivery& d = recorder.deliveries[i];
      EXPECT_EQ(d.bytes, frames[i].bytes) << "frame " << i;
      EXPECT_EQ(d.length, frames[i].bytes.size()) << "frame " << i;
      EXPECT_EQ(d.wireLength, frames[i].wireLength) << "frame " << i;
      EXPECT_EQ(UTimeStamp::ConvertRawTimeStamp(d.stamp), frames[i].time) << "frame " << i;
    }
  }

  corrana_test::TempDir install;
};

}  // namespace driver_test
