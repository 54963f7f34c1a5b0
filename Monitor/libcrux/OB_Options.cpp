#include "OB_Options.h"

#include <atomic>

namespace {
// Release/acquire, so the entries filled before publication are seen by every reader.
std::atomic<OB_NamedStringList*> published{nullptr};
}  // namespace

int setOptions(OB_NamedStringList* options) {
  published.store(options, std::memory_order_release);
  return 0;
}

OB_NamedStringList* getOptions() { return published.load(std::memory_order_acquire); }
