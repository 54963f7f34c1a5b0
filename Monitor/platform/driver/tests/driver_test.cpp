// Adapters, errors, the status record and the clock of the capture driver.
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "DriverFixture.h"
#include "OB_Log.h"
#include "registry.h"

namespace driver_test {
namespace {

using corrana_test::FrameBuilder;

uint64_t wallClock() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void writeFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(text.c_str(), f);
  fclose(f);
}

TEST_F(DriverTest, AnswersAsWindowsNtVersion5) {
  EXPECT_NE(GLIM_IsWindowsNT(), 0);
  EXPECT_EQ(GLIM_GetOSPlatformVersion(), 5);
}

TEST_F(DriverTest, RegistryInfoNamesTheCardsDeviceAtOffset520) {
  writeFile(install.file("admin/adapters.cfg"), "adapter: eth3\nadapter: file:/srv/a.pcap\n");
  GLIM_AdapterInfo info;
  ASSERT_EQ(GLIM_GetAdapterRegistryInfo(&info, "0001"), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&info) + 520, "file:/srv/a.pcap");
  ASSERT_EQ(GLIM_GetAdapterRegistryInfo(&info, "0000"), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&info) + 520, "eth3");
  EXPECT_NE(GLIM_GetAdapterRegistryInfo(&info, "0002"), 0);
  EXPECT_EQ(GLIM_GetLastError(), GLIM_ERROR_NO_SUCH_ADAPTER);
  EXPECT_NE(GLIM_GetAdapterRegistryInfo(nullptr, "0000"), 0);
}

TEST_F(DriverTest, RegistryInfoRefusesADeviceNameThatDoesNotFit) {
  writeFile(install.file("admin/adapters.cfg"), "adapter: file:/" + std::string(5000, 'd') + "\n");
  GLIM_AdapterInfo info;
  memset(&info, 'z', sizeof info);
  EXPECT_NE(GLIM_GetAdapterRegistryInfo(&info, "0000"), 0);
  EXPECT_STREQ(info.deviceName, "");
}

TEST_F(DriverTest, RegistryInfoFollowsLibpcapWithoutAdaptersFile) {
  GLIM_AdapterInfo info;
  ASSERT_EQ(GLIM_GetAdapterRegistryInfo(&info, "0000"), 0);
  EXPECT_GT(strlen(info.deviceName), 0u);
}

TEST_F(DriverTest, WithoutAdaptersFileTheCardsAreTheNetworkInterfaces) {
  std::set<std::string> interfaces;
  struct if_nameindex* names = if_nameindex();
  ASSERT_NE(names, nullptr);
  for (struct if_nameindex* n = names; n->if_name != nullptr; ++n) interfaces.insert(n->if_name);
  if_freenameindex(names);

  std::set<std::string> devices;
  REG_Key key = nullptr;
  ASSERT_EQ(REG_OpenKey(REG_NETWORK_CARDS_NT5, &key), 0);
  char name[17];
  for (uint32_t i = 0; REG_EnumKey(key, i, name, sizeof name) == 0; ++i) {
    char expectedName[24];
    snprintf(expectedName, sizeof expectedName, "%04u", i);
    EXPECT_STREQ(name, expectedName);
    GLIM_AdapterInfo info;
    ASSERT_EQ(GLIM_GetAdapterRegistryInfo(&info, name), 0);
    devices.insert(info.deviceName);
  }
  REG_CloseKey(key);
  EXPECT_EQ(devices, interfaces);  // "any" and non-network taps are not cards
  EXPECT_TRUE(devices.count("lo"));
}

TEST_F(DriverTest, OpenRefusesUnknownInterfacesAndMissingFiles) {
  EXPECT_EQ(GLIM_OpenAdapter("\\Device\\nosuchif0"), -1);
  EXPECT_EQ(GLIM_GetLastError(), GLIM_ERROR_NO_SUCH_ADAPTER);
  EXPECT_EQ(GLIM_OpenAdapter(("\\Device\\file:" + install.file("missing.pcap")).c_str()), -1);
  EXPECT_EQ(GLIM_GetLastError(), GLIM_ERROR_NO_SUCH_ADAPTER);
  EXPECT_EQ(GLIM_OpenAdapter(nullptr), -1);
  // Not a savefile at all.
  writeFile(install.file("junk.pcap"), "this is not a capture");
  EXPECT_EQ(GLIM_OpenAdapter(("file:" + install.file("junk.pcap")).c_str()), -1);
  EXPECT_STRNE(DriverControl::lastErrorText(), "");
}

TEST_F(DriverTest, RefusesToOpenBeforeInitialisation) {
  EXPECT_EQ(GLIM_CleanupLibrary(), 1);
  EXPECT_EQ(GLIM_OpenAdapter("\\Device\\lo"), -1);
  EXPECT_EQ(GLIM_GetLastError(), GLIM_ERROR_NOT_INITIALIZED);
  // Cleaning up what was never initialised still succeeds.
  EXPECT_EQ(GLIM_CleanupLibrary(), 1);
  ASSERT_EQ(GLIM_InitializeLibrary(), 1);
}

TEST_F(DriverTest, RefusesALinkTypeItCannotShowAsEthernet) {
  std::string path = install.file("radio.pcap");
  ASSERT_TRUE(corrana_test::PcapWriter::write(path, sampleConversation(), 105 /* 802.11 */));
  GLIM_AdapterHandle adapter = GLIM_OpenAdapter(("file:" + path).c_str());
  ASSERT_NE(adapter, -1);
  Recorder recorder;
  EXPECT_EQ(GLIM_CreateCaptureContext(adapter, Recorder::callback, 0, &recorder), nullptr);
  EXPECT_EQ(GLIM_GetLastError(), GLIM_ERROR_NOT_ETHERNET);
  const std::string error = DriverControl::lastErrorText();
  EXPECT_NE(error.find(path + ": link type IEEE802_11 (105) is not supported"), std::string::npos)
      << error;
  EXPECT_EQ(GLIM_CloseAdapter(adapter), 0);
}

// Captures of other link types reach the callback as the Ethernet frames they carry: the
// network packet unchanged behind a header of zero addresses and its protocol's type.
TEST_F(DriverTest, ReplaysCookedRawAndLoopbackCapturesAsEthernet) {
  const std::vector<Frame> ethernet = sampleConversation();
  // Each link type's header for a frame carrying IPv4 (protocol 0x0800, family 2).
  const struct {
    int link;
    Bytes header;
  } links[] = {
      {113, {0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 0x08, 0x00}},              // SLL
      {276, {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0}},  // SLL2
      {12, {}},                                                                 // raw IP
      {228, {}},                                                                // IPv4
      {0, {2, 0, 0, 0}},                                                        // NULL, LE host
      {0, {0, 0, 0, 2}},                                                        // NULL, BE host
      {108, {0, 0, 0, 2}},                                                      // LOOP
  };
  for (const auto& l : links) {
    SCOPED_TRACE(l.link);
    std::vector<Frame> frames = ethernet;
    for (Frame& frame : frames) {
      Bytes bytes = l.header;
      bytes.insert(bytes.end(), frame.bytes.begin() + 14, frame.bytes.end());
      frame.wireLength = static_cast<uint32_t>(bytes.size() + frame.wireLength - frame.bytes.size());
      frame.bytes = bytes;
    }
    const std::string path = install.file("link" + std::to_string(l.link) + ".pcap");
    ASSERT_TRUE(corrana_test::PcapWriter::write(path, frames, l.link));
    GLIM_AdapterHandle adapter = GLIM_OpenAdapter(("file:" + path).c_str());
    ASSERT_NE(adapter, -1);
    Recorder recorder;
    GLIM_CaptureContext capture =
        GLIM_CreateCaptureContext(adapter, Recorder::callback, 0, &recorder);
    ASSERT_NE(capture, nullptr) << DriverControl::lastErrorText();
    ASSERT_EQ(GLIM_StartCapture(capture), 0);
    DriverControl::waitForEnd(capture);
    ASSERT_EQ(recorder.count(), ethernet.size());
    for (size_t i = 0; i < ethernet.size(); ++i) {
      Bytes want = ethernet[i].bytes;
      std::fill(want.begin(), want.begin() + 12, 0);
      EXPECT_EQ(recorder.deliveries[i].bytes, want) << "frame " << i;
      EXPECT_EQ(recorder.deliveries[i].wireLength, ethernet[i].wireLength) << "frame " << i;
    }
    EXPECT_EQ(GLIM_CloseAdapter(adapter), 0);
  }
}

TEST_F(DriverTest, AllowsOneContextPerAdapterAndAnotherAfterDestroy) {
  std::string path = writeTrace(sampleConversation());
  Recorder recorder;
  GLIM_AdapterHandle adapter = -1;
  GLIM_CaptureContext first = replay(path, recorder, &adapter);
  EXPECT_EQ(GLIM_CreateCaptureContext(adapter, Recorder::callback, 0, &recorder), nullptr);
  EXPECT_EQ(GLIM_GetLastError(), GLIM_ERROR_BUSY);
  EXPECT_EQ(GLIM_CreateCaptureContext(adapter, nullptr, 0, &recorder), nullptr);
  EXPECT_EQ(GLIM_DestroyCaptureContext(first), 0);
  EXPECT_EQ(GLIM_DestroyCaptureContext(first), 0);  // already gone: ignored

  // A new context replays the file from its start.
  GLIM_CaptureContext second = GLIM_CreateCaptureContext(adapter, Recorder::callback, 0, &recorder);
  ASSERT_NE(second, nullptr);
  GLIM_StartCapture(second);
  DriverControl::waitForEnd(second);
  expectDelivered(sampleConversation(), recorder);
  EXPECT_EQ(GLIM_CloseAdapter(adapter), 0);
  EXPECT_EQ(GLIM_CloseAdapter(adapter), -1);
  EXPECT_EQ(GLIM_StartCapture(second), -1);  // closing the adapter destroyed its context
}

TEST_F(DriverTest, StatusRecordIsNeverNullAndHoldsDropsAtOffset16) {
  const GLIM_PacketBuffer* none = GLIM_GetPacketBuffer(nullptr);
  ASSERT_NE(none, nullptr);
  uint32_t dropped;
  memcpy(&dropped, reinterpret_cast<const char*>(none) + 16, sizeof dropped);
  EXPECT_EQ(dropped, 0u);
  EXPECT_NE(GLIM_GetPacketBuffer(reinterpret_cast<GLIM_CaptureContext>(&dropped)), nullptr);

  std::vector<Frame> frames = sampleConversation();
  Recorder recorder;
  GLIM_CaptureContext capture = replay(writeTrace(frames), recorder);
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  const GLIM_PacketBuffer* record = GLIM_GetPacketBuffer(capture);
  EXPECT_EQ(record->framesDelivered, frames.size());
  memcpy(&dropped, reinterpret_cast<const char*>(record) + 16, sizeof dropped);
  EXPECT_EQ(dropped, 0u);
  GLIM_DestroyCaptureContext(capture);
  EXPECT_EQ(GLIM_GetPacketBuffer(capture)->framesDelivered, 0u);
}

TEST_F(DriverTest, CountsAndLogsOversizeFramesOncePerCapture) {
  FrameBuilder big;
  big.ipv4({}).tcp({}).payload(corrana_test::Bytes(2900, 'g'));
  FrameBuilder tagged;  // 1518 bytes with its VLAN tag: a normal frame
  corrana_test::EthernetHeader vlan;
  vlan.vlanTag = 7;
  tagged.ethernet(vlan).ipv4({}).tcp({}).payload(corrana_test::Bytes(1460, 't'));
  ASSERT_EQ(tagged.build().bytes.size(), 1518u);
  std::vector<Frame> frames = {big.build(1), tagged.build(2), big.build(3)};

  mkdir(install.file("logs").c_str(), 0755);
  OB_Log::init("driver", 0, nullptr);
  Recorder recorder;
  GLIM_CaptureContext capture = replay(writeTrace(frames), recorder);
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  OB_Log::reset();
  std::ifstream file(install.file("logs/driver.log"));
  std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(GLIM_GetPacketBuffer(capture)->oversizeFrames, 2u);
  size_t first = log.find("ethtool -K");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("ethtool -K", first + 1), std::string::npos) << log;
  EXPECT_NE(log.find("t.pcap"), std::string::npos) << log;  // names the adapter
}

TEST_F(DriverTest, RawStampsAreMicrosecondsSince1970) {
  EXPECT_EQ(UTimeStamp::InitTimeStamps(), 0);
  EXPECT_EQ(UTimeStamp::ConvertRawTimeStamp(1234567890123456ull), 1234567890123456ull);
  uint64_t before = wallClock();
  uint64_t now = UTimeStamp::GetTimeStamp();
  EXPECT_LE(before, now);
  EXPECT_LE(now, wallClock());
}

TEST_F(DriverTest, ClockCanBeSetAndOverridesAReplay) {
  DriverControl::setClock(42);
  EXPECT_EQ(UTimeStamp::GetTimeStamp(), 42u);
  Recorder recorder;
  GLIM_CaptureContext capture = replay(writeTrace(sampleConversation()), recorder);
  GLIM_StartCapture(capture);
  DriverControl::waitForEnd(capture);
  for (const Delivery& d : recorder.deliveries) EXPECT_EQ(d.clockInside, 42u);
  DriverControl::clearClock();
  EXPECT_GT(UTimeStamp::GetTimeStamp(), 1600000000000000ull);
}

}  // namespace
}  // namespace driver_test
