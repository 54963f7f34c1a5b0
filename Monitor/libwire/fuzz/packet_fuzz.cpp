// Fuzzes the frame decoder: one input is one captured frame, decoded by OB_Packet with the
// shipped protocol-spec tree loaded, its payload copied into a pooled-size buffer. Checks that the
// decoded sizes agree with the frame and that a copied payload is exactly the frame's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzPayload.h"
#include "FuzzSupport.h"
#include "tcp/OB_Packet.h"
#include "tcp/protoSpec.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("packet_fuzz");
  protoSpec_InitProtoSpecUtils(CORRANA_PSPC_BIN);
  check(protoSpec_GetRootEthernetII() != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;
  OB_Packet packet;
  packet.setPacketInfo(data, static_cast<int>(size));
  check(packet.getPacketSize() == size);
  if (size < 14) check(packet.protoSpecId == 0 && packet.isIP() == 0);
  // Every id the classifier gives climbs to 0 through its parents.
  uint16_t id = packet.protoSpecId;
  for (int steps = 0; id != 0; ++steps) {
    check(steps < 65536);
    id = protoSpec_GetParentID(id);
  }
  if (packet.getIPType() == 6 && packet.isIP() == 0) abort();
  if (packet.getContentSize() > 0) check(packet.getPayloadOffset() >= 14 + 20 + 20);

  // The capture engine's largest pool class, then the smallest: too long a payload is not
  // copied, one that runs past the captured bytes is not either.
  for (uint32_t capacity : {1460u, 32u}) {
    packet.setPacketInfo(data, static_cast<int>(size));
    auto* buffer = new corrana_fuzz::PayloadBuffer(capacity);
    check(packet.setBuffer(buffer) == 0);
    check(packet.copyBuffer() == 0);
    const uint32_t copied = buffer->getLength();
    if (copied > 0) {
      check(copied == packet.getContentSize() && copied <= capacity);
      check(packet.getPayloadOffset() + copied <= size);
      check(memcmp(buffer->getBuffer(), data + packet.getPayloadOffset(), copied) == 0);
      check(buffer->getSeqNo() == packet.seqno);
    } else if (packet.getContentSize() > 0 && packet.getContentSize() <= capacity) {
      check(packet.getPayloadOffset() + packet.getContentSize() > size);
    }
    packet.reset();  // releases the buffer
  }
  return 0;
}
