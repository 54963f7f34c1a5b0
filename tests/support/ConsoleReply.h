// Reads a console reply's fields in the socket encoding (ConsoleClient.h writes them): past the
// success head, then 32-bit counts in 8 bytes, signed 32-bit in 4, 64-bit in 8, flags in 2, lines
// ending in "\n". A read past the end marks the reply bad and gives 0 or "".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace corrana_test {

class ConsoleReply {
 public:
  explicit ConsoleReply(std::string bytes) : bytes_(std::move(bytes)) {}
  // Past the head of a success reply (head: the reply's HTTP head and success flag); false
  // when the reply does not begin with it.
  bool success(const std::string& head) {
    if (bytes_.compare(0, head.size(), head) != 0) return false;
    at_ = head.size();
    return true;
  }
  uint32_t u32() { return static_cast<uint32_t>(take(8) & 0xFFFFFFFFu); }
  int32_t s32() { return static_cast<int32_t>(take(4)); }
  int64_t s64() { return static_cast<int64_t>(take(8)); }
  bool flag() { return (take(2) & 0xFF) != 0; }
  std::string line() {
    const size_t end = bytes_.find('\n', at_);
    if (end == std::string::npos) return fail<std::string>();
    std::string text = bytes_.substr(at_, end - at_);
    at_ = end + 1;
    return text;
  }
  // A list of entries: its count, then a name line and a total each.
  std::map<std::string, uint32_t> entries() {
    std::map<std::string, uint32_t> out;
    for (uint32_t n = u32(); n > 0 && ok_; --n) {
      std::string name = line();
      out[name] += u32();
    }
    return out;
  }
  bool ok() const { return ok_; }
  bool atEnd() const { return at_ == bytes_.size(); }

 private:
  template <class T>
  T fail() {
    ok_ = false;
    return T();
  }
  uint64_t take(size_t n) {
    if (at_ + n > bytes_.size()) return fail<uint64_t>();
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(bytes_[at_ + i]);
    at_ += n;
    return v;
  }
  std::string bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace corrana_test
