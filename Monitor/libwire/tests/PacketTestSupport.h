// A payload buffer for the packet, packet-stream and session tests: counted, with storage of its
// own, as the capture engine's pooled buffers are.
#pragma once

#include <cstdint>
#include <string>

#include "OB_Object.h"
#include "tcp/OB_PacketBuffer.h"

namespace packettest {

// A payload buffer of a chosen capacity that counts its users and says when it is destroyed.
class CountedBuffer : public OB_PacketBuffer, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(CountedBuffer, 0x7E570001, "CountedBuffer", OB_PacketBuffer,
                    OB_ReferenceCounter)

 public:
  explicit CountedBuffer(uint32_t capacity, int* destroyed = nullptr) : destroyed_(destroyed) {
    initBuffer(capacity);
  }
  ~CountedBuffer() override {
    resetBuffer();
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  int fill(uint32_t seq, const std::string& bytes) {
    setSeqNo(seq);
    return copyBuffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<uint32_t>(bytes.size()));
  }
  std::string bytes() {
    return std::string(reinterpret_cast<const char*>(getBuffer()), getLength());
  }

 private:
  int* destroyed_;  // not owned; outlives this
};

}  // namespace packettest
