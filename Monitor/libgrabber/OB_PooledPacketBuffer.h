// The packet manager's payload buffers: seven size classes (32, 64, 128, 256, 512, 1024 and
// 1460 bytes) of one template, each living in a memory pool of its class. The packet manager
// takes the smallest buffer that holds a payload and attaches it to its packet; whoever keeps the
// payload past the next frame (a TCP session's packet stream) adds a reference, and the last
// release resets the buffer and puts it back into its pool's queue.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "OB_PacketBufferTemplate.h"
#include "pool/OB_MemoryPoolObject.h"

template <uint32_t N>
class OB_PooledPacketBuffer
    : public OB_MemoryPoolObject<OB_PooledPacketBuffer<N>, OB_PacketBufferTemplate<N>>,
      public OB_PacketBufferTemplate<N>,
      public OB_Link<OB_Object>,
      public OB_Key<uint32_t>,
      public virtual OB_Compare,
      public virtual OB_Mutex,
      public virtual OB_ReferenceCounter {
  static_assert(N == 32 || N == 64 || N == 128 || N == 256 || N == 512 || N == 1024 || N == 1460,
                "the packet manager's size classes only");

 public:
  using PoolPart = OB_MemoryPoolObject<OB_PooledPacketBuffer<N>, OB_PacketBufferTemplate<N>>;

  // No identifier of its own: its face is the pool part's (0x2BE2BF77). It answers, besides,
  // OB_Mutex, OB_Object, OB_Link, OB_Compare, OB_PacketBufferTemplate, OB_PacketBuffer,
  // OB_Buffer, OB_Key and OB_ReferenceCounter.
  static OB_ClassID getClassID() = delete;
  const char* getClassName() override { return className(); }
  int queryInterface(OB_ClassID id, void** out) override {
    if (out == nullptr) return -1;
    if (PoolPart::queryInterface(id, out) == 0 || OB_Link<OB_Object>::queryInterface(id, out) == 0 ||
        OB_PacketBufferTemplate<N>::queryInterface(id, out) == 0 ||
        OB_Key<uint32_t>::queryInterface(id, out) == 0) {
      return 0;
    }
    *out = nullptr;
    return -1;
  }

  static const char* className() {
    switch (N) {
      case 32: return "OB_PooledPacketBuffer32";
      case 64: return "OB_PooledPacketBuffer64";
      case 128: return "OB_PooledPacketBuffer128";
      case 256: return "OB_PooledPacketBuffer256";
      case 512: return "OB_PooledPacketBuffer512";
      case 1024: return "OB_PooledPacketBuffer1024";
      default: return "OB_PooledPacketBuffer1460";
    }
  }

  // A buffer outside any pool, held by its creator (one user), so that its creator's release is
  // the last one and deletes it. Null when memory runs out. Pools do not use it: they build their
  // buffers with the default constructor and init.
  static OB_PooledPacketBuffer* create() {
    auto* buffer = new OB_PooledPacketBuffer();
    if (buffer == nullptr) return nullptr;
    buffer->init();
    buffer->addRef();
    return buffer;
  }

  // No queue, no users, unlinked, empty.
  OB_PooledPacketBuffer() = default;
  OB_PooledPacketBuffer(const OB_PooledPacketBuffer&) = delete;
  OB_PooledPacketBuffer& operator=(const OB_PooledPacketBuffer&) = delete;
  ~OB_PooledPacketBuffer() override = default;

  // Clears the pool part (no queue, no users) and the link; the link holds no item, as a link
  // whose item were the buffer itself would make its comparison ask itself again. 0.
  int init() override {
    PoolPart::init();
    OB_Link<OB_Object>::init();
    OB_Link<OB_Object>::setItem(nullptr);
    OB_Key<uint32_t>::setKey(0);
    return OB_PacketBuffer::reset();
  }
  // Empty, sequence number 0; the pool calls it when it hands the buffer out and when the last
  // release gives it back. 0.
  int reset() override { return OB_PacketBuffer::reset(); }
  int print(FILE* stream) override { return OB_Buffer::print(stream); }
};

using OB_PooledPacketBuffer32 = OB_PooledPacketBuffer<32>;
using OB_PooledPacketBuffer64 = OB_PooledPacketBuffer<64>;
using OB_PooledPacketBuffer128 = OB_PooledPacketBuffer<128>;
using OB_PooledPacketBuffer256 = OB_PooledPacketBuffer<256>;
using OB_PooledPacketBuffer512 = OB_PooledPacketBuffer<512>;
using OB_PooledPacketBuffer1024 = OB_PooledPacketBuffer<1024>;
using OB_PooledPacketBuffer1460 = OB_PooledPacketBuffer<1460>;

// Built once, in libgrabber.
extern template class OB_PooledPacketBuffer<32>;
extern template class OB_PooledPacketBuffer<64>;
extern template class OB_PooledPacketBuffer<128>;
extern template class OB_PooledPacketBuffer<256>;
extern template class OB_PooledPacketBuffer<512>;
extern template class OB_PooledPacketBuffer<1024>;
extern template class OB_PooledPacketBuffer<1460>;
