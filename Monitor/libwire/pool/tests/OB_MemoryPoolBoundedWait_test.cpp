// The pool's bounded waits and its pass over empty queues: a replay's packet road waits a little
// for a returned object, and a pool that finds every queue empty must still find the next object
// that comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pool/OB_MemoryPool.h"

namespace {

class Payload : public virtual OB_Object {
 public:
  int init() override {
    value = 0;
    return 0;
  }
  int reset() override {
    value = 0;
    return 0;
  }
  int32_t value = 0;
};

class Pooled;
using PoolPart = OB_MemoryPoolObject<Pooled, Payload>;

class Pooled : public Payload, public PoolPart {
  OB_CLASS_IDENTITY(Pooled, 0x7E570011, "BoundedPooled", PoolPart, Payload)

 public:
  int init() override {
    PoolPart::init();
    return Payload::init();
  }
};

using Pool = OB_MemoryPool<Pooled>;

// Long enough never to run out on a loaded machine: these tests wait for an event, not a time.
constexpr int32_t kPatientMs = 60000;

TEST(MemoryPoolBoundedWait, GetsTheObjectAnotherThreadGivesBackEvenWithoutWait) {
  Pool pool(1, 1);
  pool.setWait(0);
  Pooled* held = pool.getObject();
  ASSERT_NE(held, nullptr);
  held->value = 9;
  EXPECT_EQ(pool.getObject(), nullptr);
  std::thread giver([&] {
    for (int i = 0; i < 100; ++i) std::this_thread::yield();
    held->release();
  });
  Pooled* got = pool.getObjectWithin(kPatientMs);
  giver.join();
  ASSERT_EQ(got, held);
  EXPECT_EQ(got->value, 0) << "handed out reset";
  got->release();
}

TEST(MemoryPoolBoundedWait, GivesUpWhenNothingComesBack) {
  Pool pool(1, 1);
  pool.setWait(0);
  Pooled* held = pool.getObject();
  EXPECT_EQ(pool.getObjectWithin(1), nullptr);
  EXPECT_EQ(pool.waitForRoom(1), 0);
  EXPECT_EQ(pool.waitForRoom(0), 0);
  held->release();
  EXPECT_EQ(pool.waitForRoom(0), 1);
  Pooled* again = pool.getObjectWithin(0);
  EXPECT_EQ(again, held);
  again->release();
}

TEST(MemoryPoolBoundedWait, RoomCountsQueuesNotYetMade) {
  Pool pool(2, 1);
  pool.setWait(0);
  Pooled* first = pool.getObject();
  EXPECT_EQ(pool.waitForRoom(0), 1) << "a second queue can still be made";
  Pooled* second = pool.getObject();
  EXPECT_EQ(pool.waitForRoom(0), 0);
  second->release();
  first->release();
}

// After a take found every queue empty, objects given back to any queue are found again, one by
// one, and none is handed out twice.
TEST(MemoryPoolBoundedWait, ObjectsReturnedAfterAFruitlessSearchAreFound) {
  Pool pool(3, 2);
  pool.setWait(0);
  std::vector<Pooled*> taken;
  for (int i = 0; i < 6; ++i) taken.push_back(pool.getObject());
  EXPECT_EQ(pool.getObject(), nullptr);
  EXPECT_EQ(pool.getObject(), nullptr) << "a second fruitless take";
  taken[1]->release();  // first queue
  Pooled* a = pool.getObject();
  EXPECT_EQ(a, taken[1]);
  EXPECT_EQ(pool.getObject(), nullptr);
  taken[2]->release();  // second queue
  taken[5]->release();  // third queue
  Pooled* b = pool.getObject();
  Pooled* c = pool.getObject();
  ASSERT_NE(b, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(b, c);
  EXPECT_TRUE((b == taken[2] && c == taken[5]) || (b == taken[5] && c == taken[2]));
  EXPECT_EQ(pool.getObject(), nullptr);
  for (Pooled* p : {a, b, c, taken[0], taken[3], taken[4]}) p->release();
  pool.pack();
  EXPECT_EQ(pool.getNumQueues(), 0);
}

// One object, two threads taking it with a bounded wait: every return must wake the other (a
// lost wake-up would leave a taker empty-handed after the long bound).
TEST(MemoryPoolBoundedWait, TwoBoundedTakersShareOneObject) {
  Pool pool(1, 1);
  pool.setWait(0);
  constexpr int kRounds = 20000;
  std::atomic<int> holders{0};
  std::atomic<int> overlap{0};
  std::atomic<int> emptyHanded{0};
  auto worker = [&] {
    for (int i = 0; i < kRounds; ++i) {
      Pooled* p = pool.getObjectWithin(kPatientMs);
      if (p == nullptr) {
        ++emptyHanded;
        continue;
      }
      if (++holders != 1) ++overlap;
      --holders;
      p->release();
    }
  };
  std::thread one(worker), two(worker);
  one.join();
  two.join();
  EXPECT_EQ(overlap, 0);
  EXPECT_EQ(emptyHanded, 0);
}

}  // namespace
