// The payload buffer the libwire fuzz targets attach to packets: a packet buffer with storage of
// its own and a reference count, as the capture engine's pooled buffers have.
#pragma once

#include <cstdint>

#include "OB_Object.h"
#include "tcp/OB_PacketBuffer.h"

namespace corrana_fuzz {

class PayloadBuffer : public OB_PacketBuffer, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(PayloadBuffer, 0x7E57F001, "PayloadBuffer", OB_PacketBuffer,
                    OB_ReferenceCounter)

 public:
  explicit PayloadBuffer(uint32_t capacity) { initBuffer(capacity); }
  ~PayloadBuffer() override { resetBuffer(); }
};

}  // namespace corrana_fuzz
