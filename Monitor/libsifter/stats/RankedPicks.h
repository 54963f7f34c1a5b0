// Top-N selection for the console's rankings: at most `limit` items by a key, largest first,
// equal keys in the order they were offered. A bounded heap of the best so far, so ranking M
// items costs O(M log limit) time and O(limit) memory however the items come, and nothing is
// copied for an item that is not kept.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

template <class Item>
class RankedPicks {
 public:
  // A limit below 1 keeps one item, as the console's rankings count it.
  explicit RankedPicks(int64_t limit) : limit_(limit > 1 ? static_cast<size_t>(limit) : 1) {}

  void offer(uint64_t key, const Item& item) {
    const Pick pick{key, offered_++, item};
    if (heap_.size() < limit_) {
      heap_.push_back(pick);
      std::push_heap(heap_.begin(), heap_.end(), better);
      return;
    }
    // The front is the worst kept; a later item of an equal key ranks behind it.
    if (!better(pick, heap_.front())) return;
    std::pop_heap(heap_.begin(), heap_.end(), better);
    heap_.back() = pick;
    std::push_heap(heap_.begin(), heap_.end(), better);
  }

  // The kept items, best first. The picker is empty afterwards.
  std::vector<Item> finish() {
    std::sort_heap(heap_.begin(), heap_.end(), better);
    std::vector<Item> items;
    items.reserve(heap_.size());
    for (const Pick& pick : heap_) items.push_back(pick.item);
    heap_.clear();
    return items;
  }

 private:
  struct Pick {
    uint64_t key;
    uint64_t order;  // offered before: ranks first among equal keys
    Item item;
  };
  // A heap by this keeps the worst pick at its front; sorted by it, the best comes first.
  static bool better(const Pick& a, const Pick& b) {
    return a.key != b.key ? a.key > b.key : a.order < b.order;
  }

  size_t limit_;  // at least 1
  uint64_t offered_ = 0;
  std::vector<Pick> heap_;
};
