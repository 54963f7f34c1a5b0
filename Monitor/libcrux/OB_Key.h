// A key part mixed into elements that are looked up by a number (strings by their hash, pooled
// sessions by their address pair).
#pragma once

#include "OB_Object.h"

template <class K>
class OB_Key : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Key, 0x0F53C6D2, "OB_Key", OB_Object)

 public:
  virtual K getKey() { return key_; }
  virtual int setKeyFrom(OB_Key* other) {
    key_ = other->getKey();
    return 0;
  }
  virtual int setKey(K key) {
    key_ = key;
    return 0;
  }
  int init() override { return 0; }
  int reset() override { return 0; }

 private:
  K key_{};
};
