#include "OB_Buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "OB_Log.h"

int OB_Buffer::resetBuffer() {
  delete[] data_;
  data_ = nullptr;
  size_ = 0;
  return 0;
}

int OB_Buffer::initBuffer(uint32_t n) {
  data_ = new (std::nothrow) unsigned char[n];
  if (data_ == nullptr) {
    size_ = 0;
    OB_Log::log("OB_Buffer::initBuffer: no memory for %u bytes\n", n);
    return -1;
  }
  size_ = n;
  return 0;
}

int OB_Buffer::setBuffer(unsigned char* p, uint32_t n) {
  data_ = p;
  size_ = p != nullptr ? n : 0;
  return 0;
}

int OB_Buffer::copyBuffer(const unsigned char* src, uint32_t n) {
  if (data_ == nullptr || src == nullptr) {
    length_ = 0;
    return n == 0 ? 0 : -1;
  }
  uint32_t count = std::min(n, size_);
  if (count > 0) std::memmove(data_, src, count);
  length_ = count;
  return n > size_ ? -1 : 0;
}

int OB_Buffer::reset() {
  length_ = 0;
  return 0;
}

int OB_Buffer::print(FILE* stream) {
  OB_Log::flog(stream, "length: %4d\n", static_cast<int>(length_));
  if (data_ == nullptr) return 0;
  uint32_t count = std::min(length_, size_);
  for (uint32_t i = 0; i < count; ++i) OB_Log::flog(stream, "%c", data_[i]);
  return 0;
}
