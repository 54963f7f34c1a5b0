// Fuzzes the protocol-spec loader: one input is one "PSpc.bin" file. A file the loader refuses
// ends the process by design; here that stop is caught. A tree it accepts must classify frames
// (cut at every length) without reading past them, and every parent chain must reach 0.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "tcp/protoSpec.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

// An Ethernet II frame with IPv4 and TCP to port 80, and an 802.3 SNAP frame.
const uint8_t kEthernet[] = {
    0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1, 0x08, 0x00, 0x45, 0, 0, 40, 0, 1, 0x40, 0, 64, 6,
    0, 0, 10, 0, 0, 1, 10, 0, 0, 2, 0x04, 0x01, 0, 80, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x10, 0xFF,
    0xFF, 0, 0, 0, 0};
const uint8_t k8023[] = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1, 0, 30, 0xAA, 0xAA, 0x03, 0, 0,
                         0, 0x08, 0x00, 0x45, 0, 0, 20, 0, 1, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1};

void classify(const uint8_t* frame, size_t size) {
  for (size_t length = 0; length <= size; ++length) {
    // A copy of exactly length bytes, so a read past the captured length is caught.
    std::vector<uint8_t> cut(frame, frame + length);
    for (const PSTreeNode* root : {protoSpec_GetRoot8023(), protoSpec_GetRootEthernetII()}) {
      uint16_t id = ComparePacketProtoSpec(cut.data(), static_cast<uint32_t>(length), root);
      for (int steps = 0; id != 0; ++steps) {
        check(steps <= 65536);
        id = protoSpec_GetParentID(id);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("pspc_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corrana_fuzz::MemoryFile file(data, size);
  try {
    check(protoSpec_InitProtoSpecUtils(file.path()) == 0);
  } catch (const corrana_fuzz::Quit&) {
    protoSpec_FreeProtoSpecUtils();
    return 0;
  }
  classify(kEthernet, sizeof kEthernet);
  classify(k8023, sizeof k8023);
  for (uint32_t id = 0; id < 0x10000; id += 257) {
    uint16_t at = static_cast<uint16_t>(id);
    for (int steps = 0; at != 0; ++steps) {
      check(steps <= 65536);
      at = protoSpec_GetParentID(at);
    }
  }
  protoSpec_FreeProtoSpecUtils();
  return 0;
}
