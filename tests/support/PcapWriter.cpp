#include "PcapWriter.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>

namespace corrana_test {

namespace {

void putLe16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void putLe32(Bytes& out, uint32_t value) {
  putLe16(out, static_cast<uint16_t>(value));
  putLe16(out, static_cast<uint16_t>(value >> 16));
}

// A pcapng block: type, total length, body (padded to whole words), total length again.
void putBlock(Bytes& out, uint32_t type, Bytes body) {
  while (body.size() % 4 != 0) body.push_back(0);
  uint32_t total = static_cast<uint32_t>(body.size() + 12);
  putLe32(out, type);
  putLe32(out, total);
  out.insert(out.end(), body.begin(), body.end());
  putLe32(out, total);
}

}  // namespace

bool PcapWriter::write(const std::string& path, const std::vector<Frame>& frames, int linkType,
                       bool nanoseconds) {
  pcap_t* dead = pcap_open_dead_with_tstamp_precision(
      linkType, 262144, nanoseconds ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
  if (dead == nullptr) {
    fprintf(stderr, "PcapWriter: pcap_open_dead failed\n");
    return false;
  }
  pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
  if (dumper == nullptr) {
    fprintf(stderr, "PcapWriter: %s\n", pcap_geterr(dead));
    pcap_close(dead);
    return false;
  }
  for (const Frame& frame : frames) {
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(frame.time / 1000000u);
    uint64_t fraction = frame.time % 1000000u;
    header.ts.tv_usec = static_cast<suseconds_t>(nanoseconds ? fraction * 1000u : fraction);
    header.caplen = static_cast<bpf_u_int32>(frame.bytes.size());
    header.len = std::max<bpf_u_int32>(frame.wireLength, header.caplen);
    pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.bytes.data());
  }
  bool ok = pcap_dump_flush(dumper) == 0;
  pcap_dump_close(dumper);
  pcap_close(dead);
  return ok;
}

bool PcapWriter::writePcapng(const std::string& path, const std::vector<Frame>& frames,
                             int linkType) {
  Bytes file;
  Bytes section;
  putLe32(section, 0x1A2B3C4D);  // byte-order magic
  putLe16(section, 1);
  putLe16(section, 0);
  putLe32(section, 0xFFFFFFFF);  // section length not given
  putLe32(section, 0xFFFFFFFF);
  putBlock(file, 0x0A0D0D0A, section);
  Bytes interface;
  putLe16(interface, static_cast<uint16_t>(linkType));
  putLe16(interface, 0);
  putLe32(interface, 262144);
  putBlock(file, 1, interface);  // no options: time stamps in µs
  for (const Frame& frame : frames) {
    Bytes packet;
    putLe32(packet, 0);  // interface 0
    putLe32(packet, static_cast<uint32_t>(frame.time >> 32));
    putLe32(packet, static_cast<uint32_t>(frame.time));
    putLe32(packet, static_cast<uint32_t>(frame.bytes.size()));
    putLe32(packet, std::max<uint32_t>(frame.wireLength, static_cast<uint32_t>(frame.bytes.size())));
    packet.insert(packet.end(), frame.bytes.begin(), frame.bytes.end());
    putBlock(file, 6, packet);
  }
  FILE* stream = fopen(path.c_str(), "wb");
  if (stream == nullptr) {
    perror(path.c_str());
    return false;
  }
  bool ok = fwrite(file.data(), 1, file.size(), stream) == file.size();
  return fclose(stream) == 0 && ok;
}

}  // namespace corrana_test
