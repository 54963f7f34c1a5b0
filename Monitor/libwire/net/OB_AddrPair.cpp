#include "net/OB_AddrPair.h"

#include "OB_Log.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"

OB_AddrPair::OB_AddrPair(uint32_t source, uint32_t destination)
    : srcIP(source), dstIP(destination) {}

int OB_AddrPair::bucketOf(uint32_t source, uint32_t destination, int modulus) {
  if (modulus < 1) return -1;
  return static_cast<int>((source | destination) % static_cast<uint32_t>(modulus));
}

void OB_AddrPair::count(uint16_t psid, uint32_t size) {
  packs += 1;
  bytes += size;
  protocols.count(psid, size);
}

int OB_AddrPair::compare(OB_Compare* other, int /*how*/) {
  OB_AddrPair* pair = obQuery<OB_AddrPair>(other);
  return pair != nullptr && pair->srcIP == srcIP && pair->dstIP == dstIP ? 0 : -1;
}

int OB_AddrPair::print(FILE* stream) {
  char from[16];
  char to[16];
  OB_Tools::IPAddressString(srcIP, from);
  OB_Tools::IPAddressString(dstIP, to);
  OB_Log::flog(stream, "%s -> %s: packs = %u, bytes = %u\n", from, to, packs, bytes);
  protocols.print(stream);
  return 0;
}

int OB_AddrPair::write(FILE* stream) {
  if (OB_ArchiveIO::writeU32(stream, srcIP) != 0 || OB_ArchiveIO::writeU32(stream, dstIP) != 0 ||
      OB_ArchiveIO::writeU32(stream, packs) != 0 || OB_ArchiveIO::writeU32(stream, bytes) != 0)
    return -1;
  return protocols.write(stream);
}

int OB_AddrPair::read(FILE* stream) {
  if (OB_ArchiveIO::readU32(stream, &srcIP) != 0 || OB_ArchiveIO::readU32(stream, &dstIP) != 0 ||
      OB_ArchiveIO::readU32(stream, &packs) != 0 || OB_ArchiveIO::readU32(stream, &bytes) != 0)
    return -1;
  return protocols.read(stream);
}
