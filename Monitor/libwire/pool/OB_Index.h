// A slot number mixed into pooled objects: the memory pool stores in it the slot of the queue
// (block) that holds the object. Not an interface of its own (queryInterface does not answer it).
#pragma once

template <class I>
class OB_Index {
 public:
  virtual ~OB_Index() = default;
  virtual I getIndex() { return index_; }
  virtual int setIndex(I index) {
    index_ = index;
    return 0;
  }

 private:
  I index_ = -1;
};
