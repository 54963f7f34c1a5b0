// Encodes a protocol-spec tree into the "PSpc.bin" file form that protoSpec_InitProtoSpecUtils
// reads. Used by the makePSpc generator and by tests that need a tree of their own.
//
// File: a 32-bit value (format version, not interpreted by the reader), the node count (16 bits),
// then per node: id (16), body length (16), body = parent id (16), 9 unused bytes, alternative
// count (8), alternatives. An alternative is 3 unused bytes and a test count (8), then 4 bytes per
// test: offset bits 8-10 in the top three bits of the first byte, offset bits 0-7, mask, value.
// All numbers little-endian. A frame passes a test when (frame[offset] & mask) == value.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pspc {

struct Test {
  uint16_t offset;  // 0..2047
  uint8_t mask;
  uint8_t value;
};
using Alternative = std::vector<Test>;  // passes when every test passes (or it has none)

struct Node {
  uint16_t id;
  uint16_t parentId;                      // a parent must come earlier in the file
  std::vector<Alternative> alternatives;  // none: the node takes every frame
};

inline void putLE16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// The file's bytes; false (and out untouched) when a count, offset or length can't be encoded.
inline bool encode(const std::vector<Node>& nodes, std::vector<uint8_t>& out,
                   uint32_t version = 1) {
  if (nodes.size() > 0xFFFF) return false;
  std::vector<uint8_t> file;
  for (int shift = 0; shift < 32; shift += 8) file.push_back(static_cast<uint8_t>(version >> shift));
  putLE16(file, static_cast<uint32_t>(nodes.size()));
  for (const Node& node : nodes) {
    if (node.alternatives.size() > 0xFF) return false;
    std::vector<uint8_t> body;
    putLE16(body, node.parentId);
    body.insert(body.end(), 9, 0);
    body.push_back(static_cast<uint8_t>(node.alternatives.size()));
    for (const Alternative& alt : node.alternatives) {
      if (alt.size() > 0xFF) return false;
      body.insert(body.end(), 3, 0);
      body.push_back(static_cast<uint8_t>(alt.size()));
      for (const Test& test : alt) {
        if (test.offset > 2047) return false;
        body.push_back(static_cast<uint8_t>((test.offset >> 8) << 5));
        body.push_back(static_cast<uint8_t>(test.offset & 0xFF));
        body.push_back(test.mask);
        body.push_back(test.value);
      }
    }
    if (body.size() > 0xFFFF) return false;
    putLE16(file, node.id);
    putLE16(file, static_cast<uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());
  }
  out.swap(file);
  return true;
}

inline bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

}  // namespace pspc
