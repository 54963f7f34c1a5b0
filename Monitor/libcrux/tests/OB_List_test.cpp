#include "OB_List.h"

#include <gtest/gtest.h>

#include <vector>

#include "OB_Key.h"

namespace {

int releases = 0;

// Answers only its own identifier, not even the root's (as some buffers do).
class Opaque : public virtual OB_Object {
  OB_CLASS_IDENTITY(Opaque, 0x7E570003, "Opaque")

 public:
  void release() override {
    ++releases;
    delete this;
  }
};

// An element with a value, ordered by it, that counts its releases.
class Item : public virtual OB_Compare {
  OB_CLASS_IDENTITY(Item, 0x7E570001, "Item", OB_Compare)

 public:
  explicit Item(int value = 0) : value(value) {}
  void release() override {
    ++releases;
    delete this;
  }
  // > 0 when this orders after other, 0 when equal, < 0 otherwise.
  int compare(OB_Compare* other, int /*how*/) override {
    Item* that = obQuery<Item>(other);
    return that == nullptr ? -1 : value - that->value;
  }
  int value;
};

// An element that is its own link.
class Node : public virtual OB_Link<Node> {
  OB_CLASS_IDENTITY(Node, 0x7E570002, "Node", OB_Link<Node>)

 public:
  explicit Node(int value = 0) : value(value) {}
  void release() override {
    ++releases;
    delete this;
  }
  int value;
};

// A plain object that answers no element class, like a buffer in a list of objects.
class Plain : public virtual OB_Object {
 public:
  void release() override {
    ++releases;
    delete this;
  }
};

std::vector<int> values(OB_List<Item>& list) {
  std::vector<int> out;
  for (Item* item = list.first(); item != nullptr; item = list.next()) out.push_back(item->value);
  return out;
}

class OBList : public ::testing::Test {
 protected:
  void SetUp() override { releases = 0; }
};

TEST_F(OBList, AppendWalkAndCursorMoves) {
  OB_List<Item> list;
  Item a(1), b(2), c(3);
  EXPECT_EQ(list.first(), nullptr);
  EXPECT_EQ(list.next(), nullptr);
  list.append(&a);
  list.append(&b);
  list.append(&c);
  EXPECT_EQ(list.getCount(), 3);
  EXPECT_EQ(list.current(), &a);  // the first append places the cursor, later ones keep it
  EXPECT_EQ(values(list), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(list.current(), &c);  // next() at the end returns null and stays
  EXPECT_EQ(list.hasNext(), 0);
  EXPECT_EQ(list.prev(), &b);
  EXPECT_EQ(list.hasPrev(), 1);
  EXPECT_EQ(list.last(), &c);
  EXPECT_EQ(list.moveTo(1), &a);
  EXPECT_EQ(list.moveTo(2), &b);
  EXPECT_EQ(list.moveTo(0), &c);
  EXPECT_EQ(list.moveTo(-3), &c);
  EXPECT_EQ(list.moveTo(8), &c);
}

TEST_F(OBList, OwningListReleasesEachItemOnceAndNonOwningNone) {
  {
    OB_List<Item> owning;
    owning.setOwner(1);
    owning.append(new Item(1));
    owning.append(new Item(2));
    Item* third = new Item(3);
    owning.append(third);
    owning.remove(third);
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(owning.getCount(), 2);
    owning.clear();
    EXPECT_EQ(releases, 3);
    EXPECT_EQ(owning.getCount(), 0);
    owning.append(new Item(4));
  }  // destruction releases what is left
  EXPECT_EQ(releases, 4);

  releases = 0;
  Item a(1), b(2);
  {
    OB_List<Item> borrowing;
    borrowing.append(&a);
    borrowing.append(&b);
    borrowing.clear();
    borrowing.append(&a);
  }
  EXPECT_EQ(releases, 0);
}

// The list of a buffer stream holds objects that may answer no identifier but their own (not
// even the root's): clear, remove, find and destruction must still reach them.
TEST_F(OBList, ClearRemoveFindReachItemsWithoutTheElementFace) {
  OB_List<OB_Object> list;
  list.setOwner(1);
  Opaque* kept = new Opaque;
  Opaque* removed = new Opaque;
  list.append(new Opaque);
  list.append(removed);
  list.append(kept);
  EXPECT_EQ(list.first(), nullptr);  // the public walk still answers only the element face
  EXPECT_EQ(list.getCount(), 3);
  EXPECT_EQ(list.find(kept), kept);
  list.first();
  list.remove(removed);  // not the current item: found by walking
  EXPECT_EQ(list.getCount(), 2);
  EXPECT_EQ(releases, 1);
  list.clear();
  EXPECT_EQ(releases, 3);
  EXPECT_EQ(list.getCount(), 0);

  {
    OB_List<OB_Object> dying;
    dying.setOwner(1);
    dying.append(new Opaque);
    dying.append(new Opaque);
  }
  EXPECT_EQ(releases, 5);
}

TEST_F(OBList, RemoveOfAbsentItemLeavesCursorOnLastLink) {
  OB_List<Item> list;
  Item a(1), b(2), absent(9);
  list.append(&a);
  list.append(&b);
  list.first();
  list.remove(&absent);
  EXPECT_EQ(list.getCount(), 2);
  EXPECT_EQ(list.current(), &b);
  EXPECT_EQ(list.find(&absent), nullptr);
  EXPECT_EQ(list.find(&a), &a);
  EXPECT_EQ(list.current(), &a);
}

TEST_F(OBList, RecycleReusesRemovedNodesExceptWhileClearing) {
  OB_List<Item> list;
  list.setRecycle(1);
  Item a(1), b(2), c(3);
  list.append(&a);
  list.append(&b);
  OB_Link<Item>* nodeOfA = (list.first(), list.getCurrentLink());
  list.removeCurrent();
  list.append(&c);
  list.moveTo(2);
  EXPECT_EQ(list.getCurrentLink(), nodeOfA);  // c sits in a's old node
  EXPECT_EQ(values(list), (std::vector<int>{2, 3}));
  list.clear();  // clearing frees the nodes instead of keeping them (checked under ASan)
  list.append(&a);
  EXPECT_EQ(values(list), (std::vector<int>{1}));
}

TEST_F(OBList, InsertGoesBeforeCursorAndAtTailWithoutOne) {
  OB_List<Item> list;
  Item a(1), b(2), c(3), d(4), e(5);
  list.insert(&b);  // empty list: head, tail and cursor
  EXPECT_EQ(list.current(), &b);
  list.insert(&a);  // before the head: new head
  EXPECT_EQ(values(list), (std::vector<int>{1, 2}));
  list.last();
  list.removeCurrent();  // the tail goes, the cursor with it
  EXPECT_EQ(list.getCurrentLink(), nullptr);
  list.insert(&c);
  list.insert(&d);
  EXPECT_EQ(values(list), (std::vector<int>{1, 3, 4}));
  list.moveTo(3);
  list.insert(&e);
  EXPECT_EQ(values(list), (std::vector<int>{1, 3, 5, 4}));
  EXPECT_EQ(list.getCount(), 4);
  EXPECT_EQ(list.last(), &d);
  EXPECT_EQ(list.prev(), &e);
}

TEST_F(OBList, SortOrdersOnceUntilTheNextChange) {
  OB_List<Item> list;
  Item v5(5), v1(1), v4(4), v2(2), v3(3), v0(0), again(1);
  for (Item* item : {&v5, &v1, &v4, &v2, &v3}) list.append(item);
  list.sort();
  EXPECT_EQ(values(list), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(list.last(), &v5);
  EXPECT_EQ(list.first(), &v1);
  EXPECT_EQ(list.isAnySet(OB_ListFlags::kSorted), 1);
  list.insert(&v0);  // before the head after sort's cursor reset
  list.append(&again);
  EXPECT_EQ(list.isAnySet(OB_ListFlags::kSorted), 0);
  list.sort();
  EXPECT_EQ(values(list), (std::vector<int>{0, 1, 1, 2, 3, 4, 5}));
  list.moveTo(2);
  EXPECT_EQ(list.current(), &v1);  // equal values keep their order
}

// A comparison that only tells equal from not equal must not corrupt or reorder the list.
TEST_F(OBList, SortWithEqualityOnlyComparisonKeepsOrder) {
  OB_List<OB_Object> list;
  std::vector<OB_Object*> objects;
  for (int i = 0; i < 50; ++i) {
    objects.push_back(new Plain);
    list.append(objects.back());
  }
  list.sort();
  int i = 0;
  for (OB_Object* object = list.first(); object != nullptr; object = list.next())
    EXPECT_EQ(object, objects[static_cast<size_t>(i++)]);
  EXPECT_EQ(i, 50);
  list.setOwner(1);
}

TEST_F(OBList, IntrusiveItemsAreTheirOwnLinks) {
  {
    OB_List<Node> list;
    list.setIntrusive(1);
    list.setOwner(1);
    Node* a = new Node(1);
    Node* b = new Node(2);
    list.append(a);
    list.append(b);
    EXPECT_EQ(list.first(), a);
    EXPECT_EQ(list.getCurrentLink(), static_cast<OB_Link<Node>*>(a));
    EXPECT_EQ(list.next(), b);
    list.remove(a);
    EXPECT_EQ(releases, 1);
    Node* c = new Node(3);
    list.insert(c);  // before b, the cursor
    EXPECT_EQ(list.first(), c);
    EXPECT_EQ(list.getCount(), 2);
  }
  EXPECT_EQ(releases, 3);

  releases = 0;
  Node kept(7);
  {
    OB_List<Node> borrowing;
    borrowing.setIntrusive(1);
    borrowing.append(&kept);
  }
  EXPECT_EQ(releases, 0);
  EXPECT_EQ(kept.getNext(), nullptr);
}

TEST_F(OBList, FindOfClassWalksAllItems) {
  OB_List<OB_Object> list;
  Plain p;
  Item a(1);
  Node n(2);
  list.append(&p);
  list.append(&a);
  list.append(&n);
  void* out = nullptr;
  ASSERT_EQ(list.findFirstOfClass(Item::getClassID(), &out, 0), 0);
  EXPECT_EQ(out, &a);
  EXPECT_EQ(list.current(), &a);
  EXPECT_EQ(list.findNextOfClass(Item::getClassID(), &out, 0), -1);
  EXPECT_EQ(list.current(), &n);
  ASSERT_EQ(list.findFirstOfClass(OB_Compare::getClassID(), &out, Node::getClassID()), -1);
  EXPECT_EQ(out, nullptr);  // a answers OB_Compare first but has no Node face
  list.first();
  ASSERT_EQ(list.findNextOfClass(Node::getClassID(), &out, OB_Compare::getClassID()), 0);
  EXPECT_EQ(out, static_cast<OB_Compare*>(&n));
}

TEST_F(OBList, LongChainsReleaseAndCountWithoutRecursion) {
  constexpr int kLinks = 300000;
  OB_Link<Item>* head = new OB_Link<Item>();
  OB_Link<Item>* tail = head;
  for (int i = 1; i < kLinks; ++i) {
    OB_Link<Item>* link = new OB_Link<Item>();
    tail->insertAfter(link);
    tail = link;
  }
  EXPECT_EQ(head->countChain(), kLinks);
  OB_Link<Item>* middle = head->getNext();
  middle->removeSelf();
  EXPECT_EQ(head->countChain(), kLinks - 1);
  EXPECT_EQ(head->getNext()->getPrev(), head);
  middle->release();
  head->releaseChain();  // ASan reports any leak or double free
}

TEST_F(OBList, LinkComparesItemsAndKeyKeepsItsValue) {
  Item a(1), b(1), c(2);
  OB_Link<Item> la, lb, lc, empty;
  la.setItem(&a);
  lb.setItem(&b);
  lc.setItem(&c);
  EXPECT_EQ(la.compare(&lb, 0), 0);
  EXPECT_NE(la.compare(&lc, 0), 0);
  EXPECT_EQ(la.compare(&empty, 0), -1);
  EXPECT_EQ(la.compare(&a, 0), -1);  // not a link

  OB_Key<uint32_t> key, other;
  other.setKey(0xFFFFFFFFu);
  key.setKeyFrom(&other);
  EXPECT_EQ(key.getKey(), 0xFFFFFFFFu);
  EXPECT_STREQ(key.getClassName(), "OB_Key");
}

}  // namespace
