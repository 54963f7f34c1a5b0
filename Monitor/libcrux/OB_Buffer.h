// A plain byte buffer: storage (data, size) and the bytes in use (length). Packet payloads, the
// pooled packet buffers and every buffer of a buffer stream are OB_Buffers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Object.h"

class OB_Buffer : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Buffer, 0x411CDB01, "OB_Buffer")
  OB_CLASS_CREATE(OB_Buffer)

 public:
  OB_Buffer() = default;
  // Does not free the storage: whoever gave it frees it, through resetBuffer or otherwise.
  ~OB_Buffer() override = default;

  virtual uint32_t getSize() { return size_; }
  virtual uint32_t getLength() { return length_; }
  virtual unsigned char* getBuffer() { return data_; }
  // Frees the storage (delete[]) when set; size becomes 0, the length is kept. 0.
  virtual int resetBuffer();
  // New storage of n bytes (new[]); earlier storage is not freed, the length is kept. 0, or -1
  // with no storage when memory is exhausted.
  virtual int initBuffer(uint32_t n);
  // Takes over storage p of n bytes; it must come from new[] if resetBuffer is to free it. 0.
  virtual int setBuffer(unsigned char* p, uint32_t n);
  // Copies min(n, size) bytes from src and makes that the length. 0, or -1 when n is above the
  // size (the first size bytes are then kept) or there is no storage or no source.
  virtual int copyBuffer(const unsigned char* src, uint32_t n);

  // Length 0; the storage stays. 0.
  int reset() override;
  // "length: " and the bytes in use as characters, through the log.
  int print(FILE* stream) override;

 private:
  unsigned char* data_ = nullptr;  // see the destructor for who frees it
  uint32_t length_ = 0;            // bytes in use, never above size_ once set by copyBuffer
  uint32_t size_ = 0;              // bytes of storage
};
