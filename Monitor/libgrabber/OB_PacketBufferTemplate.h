// A packet buffer whose storage is a fixed array of N bytes inside the object itself, so that a
// captured TCP payload can outlive the driver's frame without a heap block of its own. The
// pooled packet buffers of every size class are built from it.
#pragma once

#include <cstdint>

#include "tcp/OB_PacketBuffer.h"

template <uint32_t N>
class OB_PacketBufferTemplate : public OB_PacketBuffer {
  // One identifier and name for every N: callers ask for the face, not the capacity.
  OB_CLASS_IDENTITY(OB_PacketBufferTemplate, 0x2BE2BF96, "OB_PacketBufferTemplate",
                    OB_PacketBuffer)

 public:
  static constexpr uint32_t kCapacity = N;

  // Storage is the array: size N, length 0.
  OB_PacketBufferTemplate() { OB_Buffer::setBuffer(bytes_, N); }
  // The array is part of the object, so a copy must point at its own array, never the original's.
  OB_PacketBufferTemplate(const OB_PacketBufferTemplate&) = delete;
  OB_PacketBufferTemplate& operator=(const OB_PacketBufferTemplate&) = delete;
  // Nothing to free: the storage is the array.
  ~OB_PacketBufferTemplate() override = default;

  // The storage is fixed: freeing or replacing it would hand the array to delete[] or lose it.
  // These change nothing and answer -1.
  int resetBuffer() override { return -1; }
  int initBuffer(uint32_t /*n*/) override { return -1; }
  int setBuffer(unsigned char* /*p*/, uint32_t /*n*/) override { return -1; }

 private:
  unsigned char bytes_[N];
};
