// Replays the project's own recordings and the shared real-world traces (when they are there) and
// compares every frame's lengths and time with what
// tshark reads from the same file.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "Tshark.h"
#include "UTimeStamp.h"

namespace driver_test {
namespace {

using corrana_test::haveTshark;

struct FrameFacts {
  uint32_t capturedLength;
  uint32_t wireLength;
  uint64_t time;  // µs since 1970
};

// "1084443427.311224000" (seconds with nine decimals) as µs.
uint64_t parseEpoch(const char* text) {
  char* end = nullptr;
  uint64_t seconds = strtoull(text, &end, 10);
  uint64_t fraction = 0;
  int digits = 0;
  if (*end == '.') {
    for (const char* c = end + 1; *c >= '0' && *c <= '9' && digits < 6; ++c, ++digits)
      fraction = fraction * 10 + static_cast<uint64_t>(*c - '0');
  }
  for (; digits < 6; ++digits) fraction *= 10;
  return seconds * 1000000u + fraction;
}

std::vector<FrameFacts> readWithTshark(const std::string& path) {
  std::vector<FrameFacts> facts;
  std::string command = "tshark -n -r '" + path +
                        "' -T fields -E separator=' ' -e frame.cap_len -e frame.len "
                        "-e frame.time_epoch 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return facts;
  char line[256];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    unsigned captured = 0, wire = 0;
    char epoch[64];
    if (sscanf(line, "%u %u %63s", &captured, &wire, epoch) != 3) continue;
    facts.push_back({captured, wire, parseEpoch(epoch)});
  }
  pclose(pipe);
  return facts;
}

TEST_F(DriverTest, ReplaysTheRecordingsAsTsharkReadsThem) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed";
  int replayed = 0;
  for (const std::filesystem::path& trace : corrana_test::traceFiles()) {
    SCOPED_TRACE(trace.filename().string());
    std::vector<FrameFacts> expected = readWithTshark(trace.string());
    ASSERT_FALSE(expected.empty());
    Recorder recorder;
    GLIM_AdapterHandle adapter = -1;
    GLIM_CaptureContext capture = replay(trace.string(), recorder, &adapter);
    GLIM_StartCapture(capture);
    DriverControl::waitForEnd(capture);
    EXPECT_TRUE(DriverControl::isReplayFinished(capture));
    ASSERT_EQ(recorder.deliveries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const Delivery& d = recorder.deliveries[i];
      EXPECT_EQ(d.length, expected[i].capturedLength) << "frame " << i + 1;
      EXPECT_EQ(d.bytes.size(), expected[i].capturedLength) << "frame " << i + 1;
      EXPECT_EQ(d.wireLength, expected[i].wireLength) << "frame " << i + 1;
      EXPECT_EQ(UTimeStamp::ConvertRawTimeStamp(d.stamp), expected[i].time) << "frame " << i + 1;
    }
    GLIM_CloseAdapter(adapter);
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace driver_test
