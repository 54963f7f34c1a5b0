// Writes test frames to savefiles: classic pcap through libpcap's own writer (microsecond or
// nanosecond stamps), or pcapng (one interface, enhanced packet blocks). Frames come from
// FrameBuilder.h.
#pragma once

#include <string>
#include <vector>

#include "FrameBuilder.h"

namespace corrana_test {

inline constexpr int kLinkTypeEthernet = 1;

class PcapWriter {
 public:
  // False (and the reason on standard error) when the file can't be written.
  static bool write(const std::string& path, const std::vector<Frame>& frames,
                    int linkType = kLinkTypeEthernet, bool nanoseconds = false);
  static bool writePcapng(const std::string& path, const std::vector<Frame>& frames,
                          int linkType = kLinkTypeEthernet);
};

}  // namespace corrana_test
