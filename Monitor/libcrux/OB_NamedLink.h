// A list node that carries a name, so that a named list can look its items up by text (the
// option list by key, the capture engine's consumers by protocol name).
#pragma once

#include "OB_Link.h"
#include "OB_String.h"

template <class T>
class OB_NamedLink : public OB_Link<T> {
  OB_CLASS_IDENTITY(OB_NamedLink, 0x2BE2BF9C, "OB_NamedLink<T>", OB_Link<T>)

 public:
  OB_NamedLink() = default;
  OB_NamedLink(const OB_NamedLink&) = delete;
  OB_NamedLink& operator=(const OB_NamedLink&) = delete;

  // Copies the text; null gives "".
  virtual int setName(const char* name) {
    name_ = name;
    return 0;
  }
  virtual const char* getName() { return name_; }
  // The name member itself; owned by the link.
  virtual OB_String* getNameString() { return &name_; }

  int init() override { return OB_Link<T>::init(); }
  // With bit 0 of how set, whether the two links' names collate equal (0) or not (-1); else the
  // items are compared as by OB_Link.
  int compare(OB_Compare* other, int how) override {
    if ((how & 1) == 0) return OB_Link<T>::compare(other, how);
    OB_NamedLink* named = obQuery<OB_NamedLink>(other);
    if (named == nullptr) return -1;
    return name_.compare(named->getNameString(), how);
  }

 private:
  OB_String name_;
};
