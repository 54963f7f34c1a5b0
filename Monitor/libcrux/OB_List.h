// The library's list container: a doubly linked list over OB_Link<T> nodes with one shared
// cursor, a count, option bits (owner, recycle, intrusive, ...) and its own re-entrant lock.
// Threads that walk one list together hold its lock (lock/unlock) across the whole walk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "OB_Link.h"
#include "OB_Mutex.h"
#include "OB_Object.h"
#include "OB_Tools.h"

// The option byte of a list.
class OB_ListFlags : public virtual OB_Object {
 public:
  // Removed items (in intrusive mode, their links) are released.
  static constexpr int kOwner = 1;
  // Removed link nodes are kept in a spare chain and reused by later appends.
  static constexpr int kRecycle = 2;
  // Set while clear runs: removed links are released even when recycling.
  static constexpr int kClearing = 4;
  // The item is its own link (its OB_Link face) instead of a new node being allocated.
  static constexpr int kIntrusive = 8;
  // Set by sort, cleared by append and insert.
  static constexpr int kSorted = 32;

  virtual int setFlags(int bits) {
    flags_ = static_cast<uint8_t>(flags_ | bits);
    return 0;
  }
  virtual int isAnySet(int bits) { return (flags_ & bits) != 0 ? 1 : 0; }
  virtual int clearFlags(int bits) {
    flags_ = static_cast<uint8_t>(flags_ & ~bits);
    return 0;
  }
  virtual int isAllClear(int bits) { return (flags_ & bits) == 0 ? 1 : 0; }

 private:
  uint8_t flags_ = 0;
};

// The lock is a virtual base so that a class which is both a list and a thread (the reset
// thread, the consumers) has one lock for both.
template <class T>
class OB_List : public OB_ListFlags, public virtual OB_Mutex, public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_List, 0x2BE2BF9D, "OB_List", OB_Mutex, OB_Object)

 public:
  using Link = OB_Link<T>;

  OB_List() = default;
  OB_List(const OB_List&) = delete;
  OB_List& operator=(const OB_List&) = delete;
  // An owning list releases all its items; then the spare nodes are freed.
  ~OB_List() override {
    setRecycle(0);
    spareLimit_ = 0;
    clearAll();
    if (spare_ != nullptr) spare_->releaseChain();
    spare_ = nullptr;
  }

  virtual int setRecycle(int on) { return setOption(kRecycle, on); }
  // Keeps up to n removed link nodes for later appends and inserts, clear included, so a list
  // that is filled and cleared over and over stops allocating once warm. 0 (the default) keeps
  // none beyond what recycling keeps; the spares are freed with the list.
  virtual int setSpareLimit(int n) {
    OB_MutexHold hold(this);
    spareLimit_ = n > 0 ? n : 0;
    return 0;
  }
  // Link nodes kept for reuse.
  virtual int getSpareCount() {
    OB_MutexHold hold(this);
    return spareCount_;
  }
  virtual int hasNext() {
    OB_MutexHold hold(this);
    return current_ != nullptr && current_->getNext() != nullptr ? 1 : 0;
  }
  virtual int hasPrev() {
    OB_MutexHold hold(this);
    return current_ != nullptr && current_->getPrev() != nullptr ? 1 : 0;
  }
  virtual int getCount() {
    OB_MutexHold hold(this);
    return count_;
  }
  virtual int setIntrusive(int on) { return setOption(kIntrusive, on); }
  virtual int setOwner(int on) { return setOption(kOwner, on); }
  // No lock: the caller holds the list's lock when others may move the cursor.
  virtual Link* getCurrentLink() { return current_; }
  // The tail's link, without moving the cursor or asking the item for its face; no lock, as
  // getCurrentLink.
  Link* getLastLink() const { return tail_; }
  virtual int setCurrentLink(Link* link) {
    current_ = link;
    return 0;
  }
  virtual T* first() {
    OB_MutexHold hold(this);
    current_ = head_;
    return currentItem();
  }
  virtual T* last() {
    OB_MutexHold hold(this);
    current_ = tail_;
    return currentItem();
  }
  // Moves the cursor on and returns the item there; at the end null, and the cursor stays.
  virtual T* next() {
    OB_MutexHold hold(this);
    if (current_ == nullptr || current_->getNext() == nullptr) return nullptr;
    current_ = current_->getNext();
    return current_->getItem();
  }
  virtual T* prev() {
    OB_MutexHold hold(this);
    if (current_ == nullptr || current_->getPrev() == nullptr) return nullptr;
    current_ = current_->getPrev();
    return current_->getItem();
  }
  virtual T* current() { return currentItem(); }
  virtual T* currentItem() {
    OB_MutexHold hold(this);
    return current_ != nullptr ? current_->getItem() : nullptr;
  }

  // Adds the item after the tail, reusing a spare node when there is one. The cursor moves only
  // when the list was empty. -1 when no link could be had (no memory, or an intrusive item
  // without an OB_Link face).
  virtual int append(T* item) {
    OB_MutexHold hold(this);
    Link* link = takeLink(item);
    if (link == nullptr) return -1;
    if (tail_ != nullptr) {
      tail_->insertAfter(link);
      tail_ = link;
    } else {
      head_ = tail_ = current_ = link;
    }
    ++count_;
    clearFlags(kSorted);
    return 0;
  }

  // Adds the item before the cursor. With items but no cursor (the tail was just removed) the
  // item goes after the tail, so no link can end up outside the chain.
  virtual int insert(T* item) {
    OB_MutexHold hold(this);
    Link* link = takeLink(item);
    if (link == nullptr) return -1;
    if (head_ == nullptr) {
      head_ = tail_ = current_ = link;
    } else if (current_ == nullptr) {
      tail_->insertAfter(link);
      tail_ = link;
    } else {
      current_->insertBefore(link);
      if (current_ == head_) head_ = link;
    }
    ++count_;
    clearFlags(kSorted);
    return 0;
  }

  // Takes the cursor's link out; the cursor moves to the following link (null at the end).
  virtual int removeCurrent() {
    OB_MutexHold hold(this);
    Link* link = current_;
    if (link == nullptr) return 0;
    Link* before = link->getPrev();
    Link* after = link->getNext();
    if (before != nullptr) before->setNext(after);
    if (after != nullptr) after->setPrev(before);
    if (link == tail_) tail_ = before;
    if (link == head_) head_ = after;
    current_ = after;
    link->unlink();
    --count_;

    const bool owner = isAnySet(kOwner) != 0;
    if (isAnySet(kIntrusive) != 0) {
      if (owner) link->release();
      return 0;
    }
    OB_Object* item = link->getItemObject();
    link->setItem(nullptr);
    if (owner) obRelease(item);
    if ((isAnySet(kRecycle) != 0 && isAllClear(kClearing) != 0) || spareCount_ < spareLimit_) {
      link->setNext(spare_);
      if (spare_ != nullptr) spare_->setPrev(link);
      spare_ = link;
      ++spareCount_;
    } else {
      link->release();
    }
    return 0;
  }

  // Removes the first link that holds this very object. Items are compared by identity, so an
  // item without a T face is found too. When absent, the cursor ends on the last link.
  virtual int remove(T* item) {
    OB_MutexHold hold(this);
    OB_Object* root = rootOf(item);
    if (current_ != nullptr && current_->getItemObject() == root) return removeCurrent();
    if (seek(root) != nullptr) removeCurrent();
    return 0;
  }

  // Sorts the links in place with the library's stable sort, through their OB_Compare faces
  // (how = 0): a link moves ahead of an earlier one only when that one's compare answers > 0,
  // so a comparison that only tells equal from unequal leaves the order alone.
  virtual int sortArray(Link** links, int n) {
    if (links == nullptr || n < 2) return 0;
    std::vector<OB_Object*> roots(links, links + n);
    OB_Tools::sort(roots.data(), n, nullptr);
    std::vector<Link*> sorted(static_cast<size_t>(n));
    for (size_t i = 0; i < sorted.size(); ++i) {
      sorted[i] = obQuery<Link>(roots[i]);
      if (sorted[i] == nullptr) return -1;  // cannot happen for links; order left as it was
    }
    std::copy(sorted.begin(), sorted.end(), links);
    return 0;
  }

  // Orders the links by sortArray; does nothing while the list is marked sorted.
  virtual int sort() {
    OB_MutexHold hold(this);
    if (isAnySet(kSorted) != 0 || count_ < 2) return 0;
    std::vector<Link*> links;
    links.reserve(static_cast<size_t>(count_));
    for (Link* link = head_; link != nullptr; link = link->getNext()) links.push_back(link);
    sortArray(links.data(), static_cast<int>(links.size()));
    Link* previous = nullptr;
    for (Link* link : links) {
      link->setPrev(previous);
      if (previous != nullptr) previous->setNext(link);
      previous = link;
    }
    previous->setNext(nullptr);
    head_ = links.front();
    tail_ = previous;
    current_ = head_;
    setFlags(kSorted);
    return 0;
  }

  // 1-based; 0 or less, or past the count, ends on the last item.
  virtual T* moveTo(int index) {
    OB_MutexHold hold(this);
    current_ = head_;
    if (current_ != nullptr) {
      for (int step = 1; step != index && current_->getNext() != nullptr; ++step)
        current_ = current_->getNext();
    }
    return current();
  }

  virtual int clear() {
    OB_MutexHold hold(this);
    return clearAll();
  }

  // The item when this very object is in the list (the cursor is left on it), else null (the
  // cursor is left on the last link).
  virtual T* find(T* item) {
    OB_MutexHold hold(this);
    return seek(rootOf(item)) != nullptr ? item : nullptr;
  }

  // Moves the cursor through the items after it to the first that answers classId; *out is
  // that face, or its classId2 face when classId2 is not 0 (-1 when it has none). -1 when no
  // item answers classId; the cursor is then on the last link.
  virtual int findNextOfClass(OB_ClassID classId, void** out, OB_ClassID classId2) {
    OB_MutexHold hold(this);
    if (current_ == nullptr) return -1;
    return scanForClass(current_->getNext(), classId, out, classId2);
  }
  virtual int findFirstOfClass(OB_ClassID classId, void** out, OB_ClassID classId2) {
    OB_MutexHold hold(this);
    return scanForClass(head_, classId, out, classId2);
  }

  // Intrusive: the item's own OB_Link face (which must be an OB_Link<T>), holding the item; else a new node holding the
  // item's root part. Null when neither can be had.
  virtual Link* createLink(T* item) {
    if (isAnySet(kIntrusive) != 0) {
      Link* own = obQuery<Link>(item);
      if (own != nullptr) own->setItem(rootOf(item));
      return own;
    }
    Link* link = new Link();
    if (link == nullptr) return nullptr;
    link->init();
    link->setItem(rootOf(item));
    return link;
  }

 protected:
  static OB_Object* rootOf(T* item) { return item; }

  Link* head_ = nullptr;     // chain owned by the list (intrusive links belong to their items)
  Link* tail_ = nullptr;
  Link* current_ = nullptr;  // the cursor that every walk moves
  int count_ = 0;
  Link* spare_ = nullptr;    // first of the spare nodes, owned
  int spareCount_ = 0;       // nodes in the spare chain
  int spareLimit_ = 0;       // spares kept whatever recycling says (setSpareLimit)

 private:
  int setOption(int bit, int on) { return on != 0 ? setFlags(bit) : clearFlags(bit); }

  // A spare node holding the item when there is one (never in intrusive mode), else
  // createLink's; unlinked. Null when no link could be had.
  Link* takeLink(T* item) {
    Link* link = nullptr;
    if (spare_ != nullptr && isAllClear(kIntrusive) != 0) {
      link = spare_;
      spare_ = link->getNext();
      if (spare_ != nullptr) spare_->setPrev(nullptr);
      --spareCount_;
      link->setItem(rootOf(item));
    } else {
      link = createLink(item);
      if (link == nullptr) return nullptr;
    }
    link->unlink();
    return link;
  }

  // Removes every link, walking the chain itself so that items without a T face go too.
  int clearAll() {
    OB_MutexHold hold(this);
    setFlags(kClearing);
    while (head_ != nullptr) {
      current_ = head_;
      removeCurrent();
    }
    clearFlags(kClearing);
    return 0;
  }

  // Puts the cursor on the first link holding root and returns it; else the cursor ends on the
  // last link and the result is null.
  Link* seek(OB_Object* root) {
    current_ = head_;
    while (current_ != nullptr) {
      if (current_->getItemObject() == root) return current_;
      if (current_->getNext() == nullptr) break;
      current_ = current_->getNext();
    }
    return nullptr;
  }

  int scanForClass(Link* start, OB_ClassID classId, void** out, OB_ClassID classId2) {
    if (out == nullptr) return -1;
    *out = nullptr;
    for (Link* link = start; link != nullptr; link = link->getNext()) {
      current_ = link;
      OB_Object* item = link->getItemObject();
      void* face = nullptr;
      if (item == nullptr || item->queryInterface(classId, &face) != 0) continue;
      if (classId2 == 0) {
        *out = face;
        return 0;
      }
      return item->queryInterface(classId2, out) == 0 ? 0 : -1;
    }
    return -1;
  }
};
