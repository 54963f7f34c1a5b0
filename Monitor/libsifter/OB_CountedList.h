// A list that counts repeated appends of one object instead of holding it twice: the clients of
// a resource, each with the number of its requests. Look-up is by identity; a long list keeps an
// index beside its links, so an append costs the same for the thousandth client as for the first.
#pragma once

#include <memory>
#include <unordered_map>

#include "OB_List.h"

template <class T>
class OB_CountedLink : public OB_Link<T> {
 public:
  virtual int increment(int n) {
    count_ += n;
    return 0;
  }
  virtual int decrement(int n) {
    count_ -= n;
    return 0;
  }
  virtual int getCount() { return count_; }
  virtual void setCount(int n) { count_ = n; }

 private:
  int count_ = 1;
};

template <class T>
class OB_CountedList : public OB_List<T> {
 public:
  using Link = typename OB_List<T>::Link;
  using CountedLink = OB_CountedLink<T>;
  using OB_List<T>::find;

  // Lists up to this long are searched link by link; longer ones through the index.
  static constexpr int kLinearLimit = 8;

  OB_CountedList() = default;
  // The owner of a counted list never recycles (a spare would bring an old count back).
  ~OB_CountedList() override { this->clear(); }

  // When item is already listed, its count rises by 1 and its link becomes the cursor; else it
  // is appended with count 1. 0, or -1 when no link could be had.
  int append(T* item) override {
    OB_MutexHold hold(this);
    OB_Object* root = item;
    if (CountedLink* known = lookUp(root); known != nullptr) {
      known->increment(1);
      this->current_ = known;
      return 0;
    }
    if (OB_List<T>::append(item) != 0) return -1;
    CountedLink* added = static_cast<CountedLink*>(this->tail_);
    added->setCount(1);
    if (index_ != nullptr) {
      (*index_)[root] = added;
    } else if (this->count_ > kLinearLimit) {
      index_ = std::make_unique<std::unordered_map<OB_Object*, CountedLink*>>();
      for (Link* at = this->head_; at != nullptr; at = at->getNext())
        (*index_)[at->getItemObject()] = static_cast<CountedLink*>(at);
    }
    return 0;
  }

  int removeCurrent() override {
    OB_MutexHold hold(this);
    if (index_ != nullptr && this->current_ != nullptr)
      index_->erase(this->current_->getItemObject());
    return OB_List<T>::removeCurrent();
  }

  Link* createLink(T* item) override {
    CountedLink* link = new CountedLink();
    if (link == nullptr) return nullptr;
    link->init();
    link->setItem(item);
    return link;
  }

  // The count of the cursor's link, -1 without a cursor.
  virtual int getCurrentCount() {
    OB_MutexHold hold(this);
    auto* link = static_cast<CountedLink*>(this->current_);
    return link != nullptr ? link->getCount() : -1;
  }

  // The count of item, 0 when it is not listed. The cursor does not move.
  int countOf(T* item) {
    OB_MutexHold hold(this);
    CountedLink* link = lookUp(item);
    return link != nullptr ? link->getCount() : 0;
  }

 private:
  CountedLink* lookUp(OB_Object* root) {
    if (index_ != nullptr) {
      auto found = index_->find(root);
      return found != index_->end() ? found->second : nullptr;
    }
    // The newest client is the likeliest to come again.
    for (Link* at = this->tail_; at != nullptr; at = at->getPrev())
      if (at->getItemObject() == root) return static_cast<CountedLink*>(at);
    return nullptr;
  }

  std::unique_ptr<std::unordered_map<OB_Object*, CountedLink*>> index_;
};
