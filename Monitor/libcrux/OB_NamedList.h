// A list whose links carry names, with look-up by name: the option list's entries, the capture
// engine's consumers keyed by protocol name. Names are compared byte for byte; duplicates are
// allowed and find gives the first.
#pragma once

#include <algorithm>
#include <cstring>

#include "OB_List.h"
#include "OB_NamedLink.h"

template <class T>
class OB_NamedList : public OB_List<T> {
 public:
  using Link = typename OB_List<T>::Link;
  using NamedLink = OB_NamedLink<T>;
  using OB_List<T>::append;
  using OB_List<T>::insert;
  using OB_List<T>::find;

  // Appends without a name. A reused spare link forgets the name it had, so an old entry's name
  // cannot find a new item.
  int append(T* item) override {
    OB_MutexHold hold(this);
    int result = OB_List<T>::append(item);
    if (result == 0) nameOf(this->tail_)->setName("");
    return result;
  }
  // Appends the item and gives its link the name; -1 when no link could be had.
  virtual int append(T* item, const char* name) {
    OB_MutexHold hold(this);
    int result = append(item);
    if (result == 0) nameOf(this->tail_)->setName(name);
    return result;
  }
  // The cursor's link; no lock, as in the plain list.
  NamedLink* getCurrentLink() override { return nameOf(this->current_); }
  // The cursor's link name, or null without a cursor.
  virtual const char* getCurrentName() {
    OB_MutexHold hold(this);
    NamedLink* link = nameOf(this->current_);
    return link != nullptr ? link->getName() : nullptr;
  }
  // The cursor's link now holds item (the one it held is not released); -1 without a cursor.
  virtual int setCurrentItem(T* item) {
    OB_MutexHold hold(this);
    if (this->current_ == nullptr) return -1;
    this->current_->setItem(OB_List<T>::rootOf(item));
    return 0;
  }
  // From the head, the first item whose link has this name (null: the first item); the cursor is
  // left on it. Null when absent, the cursor then on the last link.
  virtual T* find(const char* name) {
    OB_MutexHold hold(this);
    return seekName(this->head_, name);
  }
  // As find, from the link after the cursor.
  virtual T* findNext(const char* name) {
    OB_MutexHold hold(this);
    if (this->current_ == nullptr) return nullptr;
    return seekName(this->current_->getNext(), name);
  }
  // Links with this name; null gives the count.
  virtual int countName(const char* name) {
    OB_MutexHold hold(this);
    if (name == nullptr) return this->count_;
    int count = 0;
    for (Link* link = this->head_; link != nullptr; link = link->getNext())
      if (hasName(link, name)) ++count;
    return count;
  }
  // A new named link before the cursor (after the tail when there is no cursor).
  virtual int insert(T* item, const char* name) {
    OB_MutexHold hold(this);
    Link* before = this->current_;
    bool wasEmpty = this->head_ == nullptr;
    int result = insert(item);
    if (result != 0) return result;
    Link* added = wasEmpty ? this->head_ : before == nullptr ? this->tail_ : before->getPrev();
    nameOf(added)->setName(name);
    return 0;
  }
  virtual int setSortByName(int on) {
    sortByName_ = on;
    return 0;
  }

  // A new named link, with an empty name, holding the item.
  Link* createLink(T* item) override {
    NamedLink* link = new NamedLink();
    if (link == nullptr) return nullptr;
    link->init();
    link->setItem(OB_List<T>::rootOf(item));
    return link;
  }
  // With sort-by-name set, the links end in collation order of their names (stable); else as the
  // plain list.
  int sortArray(Link** links, int n) override {
    if (sortByName_ == 0) return OB_List<T>::sortArray(links, n);
    if (links == nullptr || n < 2) return 0;
    std::stable_sort(links, links + n, [](Link* a, Link* b) {
      const char* left = nameOf(a) != nullptr ? nameOf(a)->getName() : "";
      const char* right = nameOf(b) != nullptr ? nameOf(b)->getName() : "";
      return strcoll(left, right) < 0;
    });
    return 0;
  }

 private:
  static NamedLink* nameOf(Link* link) { return obQuery<NamedLink>(link); }

  static bool hasName(Link* link, const char* name) {
    NamedLink* named = nameOf(link);
    return named != nullptr && strcmp(named->getName(), name) == 0;
  }

  T* seekName(Link* start, const char* name) {
    for (Link* link = start; link != nullptr; link = link->getNext()) {
      this->current_ = link;
      if (name == nullptr || hasName(link, name)) return link->getItem();
    }
    return nullptr;
  }

  int sortByName_ = 0;
};
