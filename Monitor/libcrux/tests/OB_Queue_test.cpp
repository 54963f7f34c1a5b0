// The queue: order of hand-over, faces, ownership of queued items, and how a waiting consumer is
// woken (by an item, by a put that races its wait, by a stop and signal).
#include "OB_Queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Far below the queue's 10 s re-check, far above any scheduling delay: a consumer that returns
// within it was woken, not timed out.
constexpr auto kWoken = 5s;

class Item : public virtual OB_Object {
 public:
  explicit Item(int n = 0) : number(n) { ++alive; }
  ~Item() override { --alive; }
  int number;
  static std::atomic<int> alive;
};
std::atomic<int> Item::alive{0};

int numberOf(OB_Object* object) {
  Item* item = dynamic_cast<Item*>(object);
  return item != nullptr ? item->number : -1;
}

class Runner : public OB_Runnable {
 public:
  int isRunning() override { return running.load(); }
  std::atomic<int> running{1};
};

// Waits (bounded) until n consumers wait in the queue.
bool awaitWaiters(OB_Queue<OB_Object>& queue, int n) {
  for (int i = 0; i < 5000; ++i) {
    if (queue.numWaiting() == n) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(OBQueue, ItemsComeOutInTheOrderTheyWerePut) {
  OB_Queue<OB_Object> queue;
  std::vector<Item> items;
  items.reserve(5);
  for (int i = 0; i < 5; ++i) items.emplace_back(i);
  for (Item& item : items) EXPECT_EQ(queue.put(&item), 0);
  EXPECT_EQ(queue.getCount(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(numberOf(queue.get(nullptr)), i);
  EXPECT_EQ(queue.getCount(), 0);
}

TEST(OBQueue, EachProducersItemsKeepTheirOrderAcrossThreads) {
  OB_Queue<OB_Object> queue;
  constexpr int kPerProducer = 500;
  std::vector<Item> items;
  items.reserve(2 * kPerProducer);
  for (int i = 0; i < 2 * kPerProducer; ++i) items.emplace_back(i);
  auto produce = [&](int from) {
    for (int i = from; i < from + kPerProducer; ++i) queue.put(&items[static_cast<size_t>(i)]);
  };
  std::thread a(produce, 0), b(produce, kPerProducer);
  int lastA = -1, lastB = -1;
  for (int taken = 0; taken < 2 * kPerProducer; ++taken) {
    int n = numberOf(queue.get(nullptr));
    int& last = n < kPerProducer ? lastA : lastB;
    EXPECT_GT(n, last);
    last = n;
  }
  a.join();
  b.join();
  EXPECT_EQ(lastA, kPerProducer - 1);
  EXPECT_EQ(lastB, 2 * kPerProducer - 1);
}

TEST(OBQueue, NullItemIsRefusedSoTheHeadNeverBlocks) {
  OB_Queue<OB_Object> queue;
  Item item(7);
  EXPECT_EQ(queue.put(nullptr), -1);
  EXPECT_EQ(queue.getCount(), 0);
  queue.put(&item);
  EXPECT_EQ(numberOf(queue.get(nullptr)), 7);
}

TEST(OBQueue, AnswersItsFacesButNotQueueableOrMutex) {
  OB_Queue<OB_Object> queue;
  EXPECT_EQ(obQuery<OB_Queue<OB_Object>>(&queue), &queue);
  EXPECT_EQ(obQuery<OB_Event>(&queue), static_cast<OB_Event*>(&queue));
  EXPECT_EQ(obQuery<OB_Object>(&queue), static_cast<OB_Object*>(&queue));
  EXPECT_EQ(obQuery<OB_List<OB_Object>>(&queue), static_cast<OB_List<OB_Object>*>(&queue));
  EXPECT_EQ(obQuery<OB_Queueable<OB_Object>>(&queue), nullptr);
  EXPECT_EQ(obQuery<OB_Mutex>(&queue), nullptr);
  EXPECT_STREQ(queue.getClassName(), "OB_Queue");
}

TEST(OBQueue, DestroyingAQueueLeavesQueuedItemsAlone) {
  Item* a = new Item(1);
  Item* b = new Item(2);
  {
    OB_Queue<OB_Object> queue;
    queue.put(a);
    queue.put(b);
  }
  EXPECT_EQ(Item::alive.load(), 2);
  delete a;
  delete b;
}

// Queued items still go out after the runner stopped; then the empty queue answers null at once.
TEST(OBQueue, StoppedRunnerEndsGetOnlyOnAnEmptyQueue) {
  OB_Queue<OB_Object> queue;
  Runner runner;
  Item item(3);
  queue.put(&item);
  runner.running = 0;
  EXPECT_EQ(numberOf(queue.get(&runner)), 3);
  EXPECT_EQ(queue.get(&runner), nullptr);
}

TEST(OBQueue, WaitingConsumerWakesOnPut) {
  OB_Queue<OB_Object> queue;
  Item item(4);
  auto taken = std::async(std::launch::async, [&] { return queue.get(nullptr); });
  ASSERT_TRUE(awaitWaiters(queue, 1));
  queue.put(&item);
  ASSERT_EQ(taken.wait_for(kWoken), std::future_status::ready);
  EXPECT_EQ(numberOf(taken.get()), 4);
}

// The put lands exactly in the consumer's last step before waiting (its runner check, under the
// queue's lock). It must still wake the consumer at once, not at the next re-check.
TEST(OBQueue, PutRacingTheConsumersWaitIsNotLost) {
  OB_Queue<OB_Object> queue;
  Item item(5);
  std::thread producer;
  class RacingRunner : public OB_Runnable {
   public:
    explicit RacingRunner(std::function<void()> onFirstCheck) : onFirstCheck_(onFirstCheck) {}
    int isRunning() override {
      if (!started_) {
        started_ = true;
        onFirstCheck_();
      }
      return 1;
    }

   private:
    std::function<void()> onFirstCheck_;
    bool started_ = false;
  } runner([&] { producer = std::thread([&] { queue.put(&item); }); });

  auto taken = std::async(std::launch::async, [&] { return queue.get(&runner); });
  ASSERT_EQ(taken.wait_for(kWoken), std::future_status::ready);
  EXPECT_EQ(numberOf(taken.get()), 5);
  producer.join();
}

TEST(OBQueue, StopThenSignalEndsAWaitingGetWithNull) {
  OB_Queue<OB_Object> queue;
  Runner runner;
  auto taken = std::async(std::launch::async, [&] { return queue.get(&runner); });
  ASSERT_TRUE(awaitWaiters(queue, 1));
  runner.running = 0;
  queue.signal();
  ASSERT_EQ(taken.wait_for(kWoken), std::future_status::ready);
  EXPECT_EQ(taken.get(), nullptr);
  EXPECT_EQ(queue.numWaiting(), 0);
}

}  // namespace
