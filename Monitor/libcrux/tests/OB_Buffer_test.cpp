#include "OB_Buffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const unsigned char* bytes(const char* text) { return reinterpret_cast<const unsigned char*>(text); }

TEST(Buffer, StartsEmptyAndAnswersOnlyItsOwnIdentifier) {
  OB_Buffer* buffer = OB_Buffer::create();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->getBuffer(), nullptr);
  EXPECT_EQ(buffer->getLength(), 0u);
  EXPECT_EQ(buffer->getSize(), 0u);
  EXPECT_STREQ(buffer->getClassName(), "OB_Buffer");
  void* out = nullptr;
  EXPECT_EQ(buffer->queryInterface(OB_Buffer::getClassID(), &out), 0);
  EXPECT_EQ(out, buffer);
  EXPECT_EQ(buffer->queryInterface(OB_Object::getClassID(), &out), -1);
  buffer->release();
}

TEST(Buffer, CopyBufferKeepsWithinTheStorage) {
  OB_Buffer buffer;
  ASSERT_EQ(buffer.initBuffer(4), 0);
  EXPECT_EQ(buffer.getSize(), 4u);

  EXPECT_EQ(buffer.copyBuffer(bytes("abc"), 3), 0);
  EXPECT_EQ(buffer.getLength(), 3u);
  EXPECT_EQ(std::memcmp(buffer.getBuffer(), "abc", 3), 0);

  // Too long: only the storage's worth is copied and the call says it failed.
  EXPECT_EQ(buffer.copyBuffer(bytes("vwxyz"), 5), -1);
  EXPECT_EQ(buffer.getLength(), 4u);
  EXPECT_EQ(std::memcmp(buffer.getBuffer(), "vwxy", 4), 0);

  // No source: nothing copied, failure reported.
  EXPECT_EQ(buffer.copyBuffer(nullptr, 2), -1);
  EXPECT_EQ(buffer.getLength(), 0u);

  buffer.resetBuffer();
  EXPECT_EQ(buffer.getBuffer(), nullptr);
  EXPECT_EQ(buffer.getSize(), 0u);
  // No storage at all: nothing can be copied.
  EXPECT_EQ(buffer.copyBuffer(bytes("a"), 1), -1);
  EXPECT_EQ(buffer.getLength(), 0u);
}

TEST(Buffer, ResetKeepsStorageAndResetBufferKeepsLength) {
  OB_Buffer buffer;
  auto* storage = new unsigned char[8];
  buffer.setBuffer(storage, 8);
  EXPECT_EQ(buffer.getBuffer(), storage);
  buffer.copyBuffer(bytes("hello"), 5);
  buffer.reset();
  EXPECT_EQ(buffer.getLength(), 0u);
  EXPECT_EQ(buffer.getBuffer(), storage);
  buffer.copyBuffer(bytes("hi"), 2);
  buffer.resetBuffer();  // frees the storage it took over
  EXPECT_EQ(buffer.getLength(), 2u);
  EXPECT_EQ(buffer.getSize(), 0u);
}

TEST(Buffer, PrintsLengthAndBytes) {
  OB_Buffer buffer;
  buffer.initBuffer(8);
  buffer.copyBuffer(bytes("GET /"), 5);
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(buffer.print(out), 0);
  std::rewind(out);
  char text[64] = {};
  size_t got = std::fread(text, 1, sizeof text - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(text, got), "length:    5\nGET /");
  buffer.resetBuffer();
}

}  // namespace
