#include "stats/OB_Array.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "OB_Log.h"

namespace {
uint32_t roundUp(uint32_t value, uint32_t step) { return (value + step - 1) / step * step; }
}  // namespace

OB_Array::OB_Array(uint32_t maxLength, uint32_t step_)
    : m_iMaxLength(maxLength), step(step_ > 0 ? step_ : 1) {}

OB_Array::~OB_Array() { free(m_pArray); }

void OB_Array::resize(uint32_t elements) {
  const uint32_t had = getCapacity();
  auto* block = static_cast<uint32_t*>(realloc(m_pArray, elements * sizeof(uint32_t)));
  if (block == nullptr) OB_Log::quit("OB_Array::grow: not enough memory");
  if (elements > had) memset(block + had, 0, (elements - had) * sizeof(uint32_t));
  m_pArray = block;
  m_iSize = elements * static_cast<uint32_t>(sizeof(uint32_t));
}

int OB_Array::grow(uint32_t n) {
  if (n > getCapacity()) resize(n);
  return 0;
}

int OB_Array::setMaxLength(uint32_t maxLength) {
  m_iMaxLength = maxLength;
  return 0;
}

int OB_Array::ensureIndex(uint32_t index) {
  const uint32_t have = getCapacity();
  if (m_pArray == nullptr) {
    resize(step);
    m_iStart = index;
    m_iEnd = index;
    return 0;
  }
  if (index >= m_iStart + have) {
    const uint32_t beyond = index - (m_iStart + have);
    uint32_t want = have + step + (beyond < step ? 0 : roundUp(beyond, step));
    if (m_iMaxLength != 0) want = std::min(want, m_iMaxLength);
    // The cap bounds growth, never the bin asked for.
    want = std::max(want, index - m_iStart + 1);
    resize(want);
  } else if (index < m_iStart) {
    const uint32_t below = m_iStart - index;
    const uint32_t shift = roundUp(below, step);
    resize(have + shift);
    // Each stored bin keeps its count: the block moves up by `below` places.
    memmove(m_pArray + below, m_pArray, have * sizeof(uint32_t));
    memset(m_pArray, 0, below * sizeof(uint32_t));
    m_iStart = index;
  }
  m_iEnd = std::max(m_iEnd, index);
  return 0;
}

uint64_t OB_Array::sumCounts() {
  uint64_t sum = 0;
  if (m_pArray == nullptr) return 0;
  for (uint32_t bin = m_iStart; bin <= m_iEnd; ++bin) sum += m_pArray[bin - m_iStart];
  return sum;
}

uint32_t OB_Array::getAt(uint32_t index) {
  if (m_pArray == nullptr || index < m_iStart || index > m_iEnd) return 0;
  return m_pArray[index - m_iStart];
}

int OB_Array::setAt(uint32_t index, uint32_t value) {
  if (index >= kMaxBins) return -1;
  ensureIndex(index);
  uint32_t& element = m_pArray[index - m_iStart];
  m_iTotal = m_iTotal - element + value;
  element = value;
  return 0;
}

int OB_Array::addAt(uint32_t index, uint32_t delta) {
  if (index >= kMaxBins) return -1;
  // The common case, a bin already stored, costs one compare and two additions.
  if (m_pArray != nullptr && index >= m_iStart && index <= m_iEnd) {
    m_pArray[index - m_iStart] += delta;
    m_iTotal += delta;
    return 0;
  }
  return setAt(index, getAt(index) + delta);
}

int OB_Array::copyRing(uint32_t current, uint32_t n, OB_Array* target) {
  if (target == nullptr || m_pArray == nullptr || n == 0 || current >= n) return 0;
  const uint32_t last = std::min(m_iEnd, n - 1);
  for (uint32_t bin = m_iStart; bin <= last; ++bin) {
    const uint32_t value = m_pArray[bin - m_iStart];
    if (value == 0) continue;
    target->setAt(bin > current ? bin - (current + 1) : (n - (current + 1)) + bin, value);
  }
  return 0;
}

uint64_t OB_Array::getTotal() {
  if (m_iTotal == 0) m_iTotal = sumCounts();
  return m_iTotal;
}

int OB_Array::setRange(uint32_t n) {
  if (n == 0) return 0;
  if (m_pArray == nullptr) {
    resize(n);
    m_iStart = 0;
    m_iEnd = n - 1;
    return 0;
  }
  if (m_iStart != 0) ensureIndex(0);
  grow(n);
  m_iEnd = std::max(m_iEnd, n - 1);
  return 0;
}

int OB_Array::compare(OB_Compare* other, int /*how*/) {
  OB_Array* array = obQuery<OB_Array>(other);
  if (array == nullptr) return 0;
  const uint64_t mine = getTotal(), theirs = array->getTotal();
  if (mine < theirs) return 1;
  if (mine > theirs) return -1;
  return 0;
}

int OB_Array::print(FILE* stream) {
  for (uint32_t i = 0; m_pArray != nullptr && i <= m_iEnd - m_iStart; ++i)
    fprintf(stream, "m_pArray[%u] = %u\n", i, m_pArray[i]);
  fprintf(stream, "\n");
  fprintf(stream, "m_iTotal        =%llu\n", static_cast<unsigned long long>(getTotal()));
  fprintf(stream, "m_iSize         =%u\n", m_iSize);
  fprintf(stream, "m_iStart        =%u\n", m_iStart);
  fprintf(stream, "m_iEnd          =%u\n", m_iEnd);
  fprintf(stream, "m_iMaxLength    =%u\n", m_iMaxLength);
  fprintf(stream, "\n");
  return 0;
}
