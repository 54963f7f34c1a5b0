#include "http/OB_HTTPCarry.h"

#include <new>

OB_HTTPCarry* OB_HTTPCarry::of(OB_ParseCarry& carry) {
  if (auto* http = dynamic_cast<OB_HTTPCarry*>(carry.protocol.get()); http != nullptr) return http;
  try {
    auto made = std::make_shared<OB_HTTPCarry>();
    carry.protocol = made;
    return made.get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const OB_HTTPCarry* OB_HTTPCarry::in(const OB_ParseCarry& carry) {
  return dynamic_cast<const OB_HTTPCarry*>(carry.protocol.get());
}
