// A node of the library's doubly linked lists. A list either allocates one per element or, in
// intrusive mode, uses the element's own OB_Link part (a string is its own link).
#pragma once

#include <cstdio>

#include "OB_Object.h"

template <class T>
class OB_Link : public virtual OB_Object, public virtual OB_Compare {
  OB_CLASS_IDENTITY(OB_Link, 0x2BE2BF9B, "OB_Link", OB_Compare, OB_Object)

 public:
  OB_Link() = default;
  // A copied element is in no list: its link part starts unchained, holding no item.
  OB_Link(const OB_Link&) : OB_Object(), OB_Compare() {}
  OB_Link& operator=(const OB_Link&) { return *this; }

  // The item seen as T; null when it has no T face.
  virtual T* getItem() { return obQuery<T>(item_); }
  // The item's root part, whatever it answers; not owned by the link.
  OB_Object* getItemObject() const { return item_; }
  virtual void setItem(OB_Object* item) { item_ = item; }
  virtual int unlink() {
    next_ = nullptr;
    prev_ = nullptr;
    return 0;
  }
  virtual OB_Link* getNext() { return next_; }
  virtual OB_Link* getPrev() { return prev_; }
  virtual T* nextItem() { return next_ != nullptr ? next_->getItem() : nullptr; }
  virtual T* prevItem() { return prev_ != nullptr ? prev_->getItem() : nullptr; }
  virtual int insertAfter(OB_Link* link) {
    if (next_ != nullptr) {
      link->setNext(next_);
      next_->setPrev(link);
    }
    link->setPrev(this);
    setNext(link);
    return 0;
  }
  virtual int setNext(OB_Link* link) {
    next_ = link;
    return 0;
  }
  virtual int insertBefore(OB_Link* link) {
    if (prev_ != nullptr) {
      link->setPrev(prev_);
      prev_->setNext(link);
    }
    link->setNext(this);
    setPrev(link);
    return 0;
  }
  virtual int setPrev(OB_Link* link) {
    prev_ = link;
    return 0;
  }
  // Releases every link after this one, then this one. Iterative, so a long chain cannot
  // exhaust the stack; nothing of this object is touched after its own release.
  virtual int releaseChain() {
    OB_Link* link = next_;
    while (link != nullptr) {
      OB_Link* following = link->next_;
      link->release();
      link = following;
    }
    release();
    return 0;
  }
  virtual int removeSelf() {
    if (prev_ != nullptr) prev_->setNext(next_);
    if (next_ != nullptr) next_->setPrev(prev_);
    return unlink();
  }
  // Prints each link's root part, from this one on, to standard output; the stream argument is
  // not used.
  virtual int printChain(FILE* /*unused*/) {
    for (OB_Link* link = this; link != nullptr; link = link->next_) link->print(stdout);
    return 0;
  }
  virtual int countChain() {
    int count = 0;
    for (OB_Link* link = this; link != nullptr; link = link->next_) ++count;
    return count;
  }

  // Compares the items through their OB_Compare faces; -1 when any face is missing.
  int compare(OB_Compare* other, int how) override {
    OB_Compare* mine = obQuery<OB_Compare>(item_);
    OB_Link* otherLink = obQuery<OB_Link>(other);
    OB_Compare* theirs = otherLink != nullptr ? obQuery<OB_Compare>(otherLink->item_) : nullptr;
    if (mine == nullptr || theirs == nullptr) return -1;
    return mine->compare(theirs, how);
  }
  int init() override {
    next_ = nullptr;
    prev_ = nullptr;
    return 0;
  }
  int print(FILE* /*stream*/) override { return 0; }

 private:
  OB_Link* next_ = nullptr;  // not owned
  OB_Link* prev_ = nullptr;  // not owned
  OB_Object* item_ = nullptr;  // not owned by the link; the list's owner option decides
};
