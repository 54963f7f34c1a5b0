#include "OB_PooledPacketBuffer.h"

#include <gtest/gtest.h>

#include <string>

#include "FrameBuilder.h"
#include "OB_Thread.h"
#include "pool/OB_MemoryPool.h"
#include "tcp/OB_Packet.h"

namespace {

using corrana_test::Bytes;
using corrana_test::FrameBuilder;

// A TCP frame carrying `size` payload bytes 'a', 'b', 'c', ...
Bytes frameWithPayload(size_t size, uint32_t seq = 7000) {
  Bytes payload(size);
  for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>('a' + i % 26);
  corrana_test::Ipv4Header ip;
  ip.source = 0x0A000001;
  ip.destination = 0x0A000002;
  corrana_test::TcpHeader tcp;
  tcp.sourcePort = 40000;
  tcp.destinationPort = 80;
  tcp.seq = seq;
  FrameBuilder builder;
  builder.ipv4(ip).tcp(tcp).payload(payload);
  return builder.build().bytes;
}

template <class Buffer>
void expectFaces(const char* name) {
  SCOPED_TRACE(name);
  Buffer* buffer = Buffer::create();
  ASSERT_NE(buffer, nullptr);
  EXPECT_STREQ(buffer->getClassName(), name);
  const OB_ClassID answered[] = {Buffer::PoolPart::getClassID(),
                                 OB_Mutex::getClassID(),
                                 OB_Object::getClassID(),
                                 OB_Link<Buffer>::getClassID(),
                                 OB_Compare::getClassID(),
                                 OB_PacketBufferTemplate<32>::getClassID(),
                                 OB_PacketBuffer::getClassID(),
                                 OB_Buffer::getClassID(),
                                 OB_Key<uint32_t>::getClassID(),
                                 OB_ReferenceCounter::getClassID()};
  for (OB_ClassID id : answered) {
    void* face = nullptr;
    EXPECT_EQ(buffer->queryInterface(id, &face), 0) << std::hex << id;
    EXPECT_NE(face, nullptr) << std::hex << id;
  }
  void* face = reinterpret_cast<void*>(1);
  EXPECT_EQ(buffer->queryInterface(OB_Thread::getClassID(), &face), -1);
  EXPECT_EQ(face, nullptr);
  // The buffer face sees the whole fixed capacity, empty.
  OB_Buffer* bytes = obQuery<OB_Buffer>(buffer);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes->getSize(), Buffer::kCapacity);
  EXPECT_EQ(bytes->getLength(), 0u);
  buffer->release();
}

TEST(OB_PooledPacketBuffer, EverySizeClassAnswersItsFacesWithItsCapacity) {
  expectFaces<OB_PooledPacketBuffer32>("OB_PooledPacketBuffer32");
  expectFaces<OB_PooledPacketBuffer64>("OB_PooledPacketBuffer64");
  expectFaces<OB_PooledPacketBuffer128>("OB_PooledPacketBuffer128");
  expectFaces<OB_PooledPacketBuffer256>("OB_PooledPacketBuffer256");
  expectFaces<OB_PooledPacketBuffer512>("OB_PooledPacketBuffer512");
  expectFaces<OB_PooledPacketBuffer1024>("OB_PooledPacketBuffer1024");
  expectFaces<OB_PooledPacketBuffer1460>("OB_PooledPacketBuffer1460");
}

// Its creator holds the one reference, so its release is the last: the buffer (which has no
// queue) is deleted then; the sanitizer build would report it otherwise. An extra release is
// only logged.
TEST(OB_PooledPacketBuffer, CreatedBufferIsHeldByItsCreatorAndGoesAtTheLastRelease) {
  OB_PooledPacketBuffer64* buffer = OB_PooledPacketBuffer64::create();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->getUsers(), 1);
  EXPECT_EQ(buffer->getQueue(), nullptr);
  buffer->addRef();
  buffer->release();
  EXPECT_EQ(buffer->getUsers(), 1);
  buffer->release();
}

TEST(OB_PooledPacketBuffer, FixedStorageCannotBeFreedOrReplaced) {
  OB_PooledPacketBuffer32* buffer = OB_PooledPacketBuffer32::create();
  OB_Buffer* bytes = obQuery<OB_Buffer>(buffer);
  unsigned char* storage = bytes->getBuffer();
  EXPECT_EQ(bytes->resetBuffer(), -1);
  EXPECT_EQ(bytes->initBuffer(4000), -1);
  static unsigned char other[8];
  EXPECT_EQ(bytes->setBuffer(other, sizeof other), -1);
  EXPECT_EQ(bytes->getBuffer(), storage);
  EXPECT_EQ(bytes->getSize(), 32u);
  EXPECT_EQ(bytes->copyBuffer(reinterpret_cast<const unsigned char*>("hello"), 5), 0);
  EXPECT_EQ(bytes->getLength(), 5u);
  buffer->release();
}

// The packet fills a buffer when the payload fits it exactly and leaves it empty when the
// payload is one byte longer: the classes' bounds.
TEST(OB_PooledPacketBuffer, PayloadOfExactlyTheCapacityFitsAndOneMoreDoesNot) {
  struct Bound {
    size_t payload;
    bool fits;
  };
  for (Bound bound : {Bound{32, true}, Bound{33, false}}) {
    Bytes frame = frameWithPayload(bound.payload);
    OB_Packet packet;
    packet.setPacketInfo(frame.data(), static_cast<int>(frame.size()));
    OB_PooledPacketBuffer32* buffer = OB_PooledPacketBuffer32::create();
    ASSERT_EQ(packet.setBuffer(buffer), 0);
    EXPECT_EQ(packet.copyBuffer(), 0);
    EXPECT_EQ(buffer->getLength(), bound.fits ? 32u : 0u) << bound.payload;
    EXPECT_EQ(buffer->getSeqNo(), 7000u);
    if (bound.fits) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer->getBuffer()), 3), "abc");
    }
    packet.reset();  // the packet's release deletes the created buffer
  }
  Bytes frame = frameWithPayload(1460);
  OB_Packet packet;
  packet.setPacketInfo(frame.data(), static_cast<int>(frame.size()));
  ASSERT_EQ(packet.setBuffer(OB_PooledPacketBuffer1460::create()), 0);
  packet.copyBuffer();
  EXPECT_EQ(packet.getBuffer()->getLength(), 1460u);
  packet.reset();
}

// Taken from its pool with one user, kept by a second holder past the packet's reset, and back
// in its queue, empty, only when that holder lets go too.
TEST(OB_PooledPacketBuffer, ReturnsToItsQueueEmptyAtTheLastRelease) {
  OB_MemoryPool<OB_PooledPacketBuffer128> pool(1, 2);
  pool.setWait(0);
  OB_PooledPacketBuffer128* buffer = pool.getObject();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->getUsers(), 1);
  ASSERT_NE(buffer->getQueue(), nullptr);
  EXPECT_EQ(buffer->getQueue()->getNumFree(), 1);

  Bytes frame = frameWithPayload(100);
  OB_Packet packet;
  packet.setPacketInfo(frame.data(), static_cast<int>(frame.size()));
  packet.setBuffer(buffer);
  packet.copyBuffer();
  EXPECT_EQ(buffer->getLength(), 100u);
  buffer->addRef();  // a session keeps the payload
  packet.reset();
  EXPECT_EQ(buffer->getUsers(), 1);
  EXPECT_EQ(buffer->getQueue()->getNumFree(), 1);
  EXPECT_EQ(buffer->getLength(), 100u);

  buffer->release();
  EXPECT_EQ(buffer->getUsers(), 0);
  EXPECT_EQ(buffer->getQueue()->getNumFree(), 2);
  EXPECT_EQ(buffer->getLength(), 0u);
  EXPECT_EQ(buffer->getSeqNo(), 0u);
  buffer->release();  // extra: logged, changes nothing
  EXPECT_EQ(buffer->getQueue()->getNumFree(), 2);

  // Both buffers out: the pool without waiting answers null.
  OB_PooledPacketBuffer128* first = pool.getObject();
  OB_PooledPacketBuffer128* second = pool.getObject();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(pool.getObject(), nullptr);
  first->release();
  second->release();
  pool.pack();
  EXPECT_EQ(pool.getNumQueues(), 0);
}

}  // namespace
