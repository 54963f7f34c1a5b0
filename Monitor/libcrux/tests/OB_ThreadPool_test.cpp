#include "OB_ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "OB_Task.h"

namespace {

template <class Condition>
bool eventually(Condition done) {
  for (long spin = 0; spin < 20000000; ++spin) {
    if (done()) return true;
    std::this_thread::yield();
  }
  return done();
}

std::atomic<int> tasksDestroyed{0};

class CountedTask : public OB_Task {
 public:
  using OB_Task::OB_Task;
  ~CountedTask() override { tasksDestroyed.fetch_add(1); }
};

// A pool whose tasks count their own end, with a wait limit short enough to see auto stop.
class TestPool : public OB_ThreadPool {
 public:
  explicit TestPool(int workers) : OB_ThreadPool(workers) {}
  ~TestPool() override {
    stop();
    join(nullptr, 0);
  }
  OB_Task* createTask(OB_ThreadFunction function, void* argument, int identifier) override {
    return new CountedTask(function, argument, identifier);
  }
  void setWaitLimit(int ms) { waitLimitMs_ = ms; }
};

void bump(void* counter) { static_cast<std::atomic<int>*>(counter)->fetch_add(1); }

// Each task holds its worker until a second task runs beside it.
std::atomic<int> arrived{0};
void meet(void* met) {
  arrived.fetch_add(1);
  bool together = eventually([] { return arrived.load() >= 2; });
  if (together) static_cast<std::atomic<int>*>(met)->fetch_add(1);
}

class OB_ThreadPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { tasksDestroyed = 0; }
};

TEST_F(OB_ThreadPoolTest, RunsEveryTaskExactlyOnceAndReleasesIt) {
  const int count = 3000;
  std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[count]);
  for (int i = 0; i < count; ++i) runs[i] = 0;
  TestPool* pool = new TestPool(4);
  EXPECT_EQ(pool->getCount(), 4);
  for (int i = 0; i < count / 2; ++i) pool->addTask(bump, &runs[i], i);
  EXPECT_EQ(pool->getTaskCount(), count / 2);  // not started: queued only
  ASSERT_EQ(pool->start(), 0);
  for (int i = count / 2; i < count; ++i) pool->addTask(bump, &runs[i], i);
  ASSERT_TRUE(eventually([&] { return tasksDestroyed.load() == count; }));
  pool->stop();
  pool->join(nullptr, 0);
  int wrong = 0;
  for (int i = 0; i < count; ++i) wrong += runs[i].load() != 1 ? 1 : 0;
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(tasksDestroyed.load(), count);
  EXPECT_EQ(pool->getTaskCount(), 0);
  obRelease(pool);
}

TEST_F(OB_ThreadPoolTest, TasksRunSideBySideOnDifferentWorkers) {
  arrived = 0;
  std::atomic<int> met{0};
  TestPool* pool = new TestPool(2);
  pool->start();
  pool->addTask(meet, &met, 1);
  pool->addTask(meet, &met, 2);
  ASSERT_TRUE(eventually([&] { return tasksDestroyed.load() == 2; }));
  EXPECT_EQ(met.load(), 2);
  obRelease(pool);
}

TEST_F(OB_ThreadPoolTest, RemovesTasksByIdentifierAndRestarts) {
  std::atomic<int> seven{0}, eight{0}, nine{0};
  TestPool* pool = new TestPool(2);
  pool->addTask(bump, &seven, 7);
  pool->addTask(bump, &eight, 8);
  pool->addTask(bump, &seven, 7);
  pool->addTask(bump, &nine, 9);
  EXPECT_EQ(pool->removeTasksByID(7), 0);
  EXPECT_EQ(tasksDestroyed.load() >= 2, true);
  EXPECT_EQ(pool->isRunning(), 1);  // started though it never ran before
  ASSERT_TRUE(eventually([&] { return eight.load() == 1 && nine.load() == 1; }));
  EXPECT_EQ(seven.load(), 0);

  // No task with the identifier: still stopped, joined and started again.
  EXPECT_EQ(pool->removeTasksByID(42), 0);
  EXPECT_EQ(pool->isRunning(), 1);
  pool->addTask(bump, &nine, 9);
  ASSERT_TRUE(eventually([&] { return nine.load() == 2; }));
  obRelease(pool);
  EXPECT_EQ(tasksDestroyed.load(), 5);
}

TEST_F(OB_ThreadPoolTest, AutoStartUntilStopped) {
  std::atomic<int> runs{0};
  TestPool* pool = new TestPool(2);
  pool->setAutoStart(1);
  EXPECT_EQ(pool->isRunning(), 0);
  pool->addTask(bump, &runs, 0);
  EXPECT_EQ(pool->isRunning(), 1);
  ASSERT_TRUE(eventually([&] { return tasksDestroyed.load() == 1; }));
  EXPECT_EQ(runs.load(), 1);

  pool->stop();  // also clears auto start
  pool->join(nullptr, 0);
  pool->addTask(bump, &runs, 0);
  EXPECT_EQ(pool->isRunning(), 0);
  EXPECT_EQ(pool->getTaskCount(), 1);
  pool->start();
  ASSERT_TRUE(eventually([&] { return runs.load() == 2; }));
  obRelease(pool);
}

TEST_F(OB_ThreadPoolTest, AutoStopAfterAnEmptyWait) {
  TestPool* pool = new TestPool(3);
  pool->setWaitLimit(1);
  pool->setAutoStop(1);
  pool->start();
  ASSERT_TRUE(eventually([&] { return pool->isRunning() == 0; }));
  EXPECT_EQ(pool->join(nullptr, 0), 0);
  obRelease(pool);
}

TEST_F(OB_ThreadPoolTest, ReleasingThePoolReleasesQueuedTasks) {
  std::atomic<int> runs{0};
  TestPool* pool = new TestPool(1);
  EXPECT_EQ(pool->init(), 0);  // adds the worker count again
  EXPECT_EQ(pool->getCount(), 2);
  pool->addTask(bump, &runs, 1);
  pool->addTask(bump, &runs, 2);
  obRelease(pool);
  EXPECT_EQ(tasksDestroyed.load(), 2);
  EXPECT_EQ(runs.load(), 0);

  OB_Task unset(nullptr, nullptr, 3);
  EXPECT_EQ(unset.doTask(), -1);
  EXPECT_EQ(unset.getID(), 3);
  unset.setFunction(bump);
  unset.setArg(&runs);
  EXPECT_EQ(unset.doTask(), 0);
  EXPECT_EQ(runs.load(), 1);
}

}  // namespace
