#include "stats/OB_Domain.h"

#include <cstdlib>
#include <cstring>

#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"

OB_Domain::OB_Domain(uint32_t address, const char* name)
    : m_IP(address), m_pDNS(OB_Tools::strdup(name)) {
  setItem(this);
  setKey(0xFFFFFFFFu);
}

OB_Domain::~OB_Domain() {
  free(m_pDNS);
  free(before_);
}

void OB_Domain::settle(const char* name) {
  pending = false;
  if (name == nullptr || before_ != nullptr) return;
  char* copy = OB_Tools::strdup(name);
  if (copy == nullptr) return;
  before_ = m_pDNS;
  m_pDNS = copy;
}

int OB_Domain::init() {
  m_IP = 0;
  free(m_pDNS);
  m_pDNS = nullptr;
  return 0;
}

int OB_Domain::compare(OB_Compare* other, int /*how*/) {
  OB_Domain* domain = obQuery<OB_Domain>(other);
  if (domain == nullptr) return 0;
  if (m_IP < domain->m_IP) return 1;
  if (m_IP > domain->m_IP) return -1;
  return 0;
}

int OB_Domain::print(FILE* stream) {
  fprintf(stream, "m_IP\t\t: %u\n", m_IP);
  fprintf(stream, "m_pDNS\t\t: %s\n", m_pDNS != nullptr ? m_pDNS : "");
  fprintf(stream, "//---------------------------------\n");
  return 0;
}

int OB_Domain::write(FILE* stream) {
  // A longer name would be written whole but refused on reading, losing the rest of the file.
  if (m_pDNS != nullptr && strlen(m_pDNS) > static_cast<size_t>(kMaxName)) return -1;
  if (OB_ArchiveIO::writeU32(stream, m_IP) != 0) return -1;
  return OB_Tools::writeString(m_pDNS, stream);
}

int OB_Domain::read(FILE* stream) {
  uint32_t address = 0;
  if (OB_ArchiveIO::readU32(stream, &address) != 0) return -1;
  char* name = nullptr;
  if (OB_Tools::readStringMalloc(&name, stream) != 0) return -1;
  // Users keep and print the name, so an empty one is stored as "" rather than null.
  if (name == nullptr && (name = OB_Tools::strdup("")) == nullptr) return -1;
  free(m_pDNS);
  m_IP = address;
  m_pDNS = name;
  return 0;
}
