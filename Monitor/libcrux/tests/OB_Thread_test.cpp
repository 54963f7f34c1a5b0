#include "OB_Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "OB_ThreadList.h"

namespace {

// Waits (yielding, with a generous bound that only a broken thread reaches) until done() holds.
template <class Condition>
bool eventually(Condition done) {
  for (long spin = 0; spin < 20000000; ++spin) {
    if (done()) return true;
    std::this_thread::yield();
  }
  return done();
}

std::atomic<int> destroyed{0};

// Counts its passes and how many of them ever ran at the same time; can be held inside doTask.
class Worker : public OB_Thread {
 public:
  ~Worker() override { destroyed.fetch_add(1); }
  int doTask() override {
    int inside = active.fetch_add(1) + 1;
    int seen = maxActive.load();
    while (inside > seen && !maxActive.compare_exchange_weak(seen, inside)) {
    }
    while (hold.load()) std::this_thread::yield();
    passes.fetch_add(1);
    active.fetch_sub(1);
    if (stopItself.load()) setContinue(0);
    return failing.load() ? -1 : 0;
  }
  void setMaxPasses(int n) { maxPasses_ = n; }
  bool advances() {
    int before = passes.load();
    return eventually([&] { return passes.load() > before; });
  }

  std::atomic<int> passes{0};
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  std::atomic<bool> hold{false};
  std::atomic<bool> stopItself{false};
  std::atomic<bool> failing{false};
};

void bump(void* counter) { static_cast<std::atomic<int>*>(counter)->fetch_add(1); }

TEST(OB_Thread, RunsItsFunctionUntilStopped) {
  std::atomic<int> calls{0};
  OB_Thread* thread = new OB_Thread(bump, &calls);
  EXPECT_EQ(thread->isRunning(), 1);
  EXPECT_EQ(thread->stop(), 0);  // never started: nothing to stop, flag stays
  EXPECT_EQ(thread->isRunning(), 1);
  EXPECT_EQ(thread->join(nullptr, 0), 0);

  ASSERT_EQ(thread->start(), 0);
  ASSERT_TRUE(eventually([&] { return calls.load() > 10; }));
  EXPECT_EQ(thread->stop(), 0);
  EXPECT_EQ(thread->isRunning(), 0);
  EXPECT_EQ(thread->join(nullptr, 10000), 0);
  int after = calls.load();
  EXPECT_EQ(thread->getPassesDone(), after);
  thread->release();
}

TEST(OB_Thread, FacesAreThreadRunnableObjectAndCounter) {
  OB_Thread* thread = new OB_Thread();
  EXPECT_STREQ(thread->getClassName(), "OB_Thread");
  EXPECT_NE(obQuery<OB_Runnable>(thread), nullptr);
  EXPECT_NE(obQuery<OB_ReferenceCounter>(thread), nullptr);
  EXPECT_EQ(obQuery<OB_Mutex>(thread), nullptr);
  EXPECT_EQ(obQuery<OB_Thread>(static_cast<OB_Runnable*>(thread)), thread);
  thread->release();
}

TEST(OB_Thread, StartOnARunningThreadMakesNoSecondLoop) {
  Worker* worker = new Worker();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(worker->start(), 0);
  ASSERT_TRUE(worker->advances());
  worker->stop();
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  EXPECT_EQ(worker->maxActive.load(), 1);
  worker->release();
}

TEST(OB_Thread, RestartsManyTimesAndIsRunningTellsTheTruth) {
  Worker* worker = new Worker();
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(worker->start(), 0);
    EXPECT_EQ(worker->isRunning(), 1);
    // A restart that races with the end of the loop keeps a loop running.
    ASSERT_TRUE(worker->advances()) << "round " << round;
    worker->stop();
    EXPECT_EQ(worker->isRunning(), 0);
    if (round % 2 == 0) {
      EXPECT_EQ(worker->join(nullptr, 0), 0);
    }
  }
  worker->stop();
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  EXPECT_EQ(worker->maxActive.load(), 1);
  worker->release();
}

TEST(OB_Thread, StopDuringThePauseEndsItAndRunsOneLastPass) {
  Worker* worker = new Worker();
  worker->setSleepInterval(3600);
  ASSERT_EQ(worker->start(), 0);
  ASSERT_TRUE(eventually([&] { return worker->getWakeupEvent()->numWaiting() == 1; }));
  EXPECT_EQ(worker->passes.load(), 0);
  worker->stop();
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  EXPECT_EQ(worker->passes.load(), 1);

  // A signal wakes the pause early too and the loop goes on.
  ASSERT_EQ(worker->start(), 0);
  ASSERT_TRUE(eventually([&] { return worker->getWakeupEvent()->numWaiting() == 1; }));
  worker->joinSignal();
  ASSERT_TRUE(eventually([&] { return worker->passes.load() == 2; }));
  ASSERT_TRUE(eventually([&] { return worker->getWakeupEvent()->numWaiting() == 1; }));
  worker->stop();
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  worker->release();
}

TEST(OB_Thread, FailingPassesAndItsOwnStop) {
  Worker* worker = new Worker();
  worker->failing = true;
  ASSERT_EQ(worker->start(), 0);
  ASSERT_TRUE(worker->advances());
  EXPECT_EQ(worker->isRunning(), 1);
  worker->stopItself = true;  // a one-request connection ends its own loop
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  EXPECT_EQ(worker->isRunning(), 0);
  worker->release();
}

TEST(OB_Thread, MaximumPassesDecidesWhateverTheFlag) {
  Worker* worker = new Worker();
  worker->setMaxPasses(5);
  worker->setContinue(0);
  ASSERT_EQ(worker->start(), 0);
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  EXPECT_EQ(worker->passes.load(), 5);
  ASSERT_EQ(worker->start(), 0);  // the count is never reset: no more passes
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  EXPECT_EQ(worker->passes.load(), 5);
  worker->release();
}

TEST(OB_Thread, TheLoopKeepsARunningThreadAlive) {
  int before = destroyed.load();
  Worker* worker = new Worker();
  worker->hold = true;
  ASSERT_EQ(worker->start(), 0);
  ASSERT_TRUE(eventually([&] { return worker->active.load() == 1; }));
  worker->stopItself = true;
  Worker* stillHere = worker;
  worker->release();  // the owner's reference; the loop holds its own
  EXPECT_EQ(destroyed.load(), before);
  stillHere->hold = false;
  EXPECT_TRUE(eventually([&] { return destroyed.load() == before + 1; }));
}

// A loop that is slow to leave after its last pass: the wake-up it gives on the way out takes a
// while, as a loaded machine may make any step take.
class SlowToLeave : public OB_Thread {
 public:
  int doTask() override {
    setContinue(0);
    return 0;
  }
  int joinSignal() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return OB_Thread::joinSignal();
  }
};

// An owner that joins and then frees what the object uses must not be overtaken by the loop's
// last release, which may run the destructor.
TEST(OB_Thread, JoinReturnsOnlyOnceTheLoopHasLetGoOfTheObject) {
  SlowToLeave* thread = new SlowToLeave();
  ASSERT_EQ(thread->start(), 0);
  EXPECT_EQ(thread->join(nullptr, 0), 0);
  EXPECT_EQ(thread->getReferenceCount(), 1);
  thread->release();
}

TEST(OB_Thread, HardStopAbandonsAThreadThatDoesNotEnd) {
  int before = destroyed.load();
  Worker* worker = new Worker();
  worker->hold = true;
  worker->setHardStop(1);
  ASSERT_EQ(worker->start(), 0);
  ASSERT_TRUE(eventually([&] { return worker->active.load() == 1; }));
  EXPECT_EQ(worker->join(nullptr, 0), -1);  // one step times out, the thread is let go
  EXPECT_EQ(worker->join(nullptr, 0), 0);   // nothing left to wait for

  // The abandoned loop leaves by itself once its pass returns, even though a new loop runs.
  worker->setHardStop(0);
  ASSERT_EQ(worker->start(), 0);
  worker->hold = false;
  ASSERT_TRUE(eventually([&] { return worker->passes.load() > 5; }));
  worker->stop();
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  EXPECT_LE(worker->maxActive.load(), 2);
  worker->release();
  EXPECT_TRUE(eventually([&] { return destroyed.load() == before + 1; }));
}

TEST(OB_Thread, StopWithHardStopLetsTheThreadGo) {
  int before = destroyed.load();
  Worker* worker = new Worker();
  worker->hold = true;
  worker->setHardStop(1);
  ASSERT_EQ(worker->start(), 0);
  ASSERT_TRUE(eventually([&] { return worker->active.load() == 1; }));
  EXPECT_EQ(worker->stop(), 0);
  EXPECT_EQ(worker->join(nullptr, 0), 0);
  worker->release();  // the abandoned loop still holds the object until it ends
  EXPECT_EQ(destroyed.load(), before);
  worker->hold = false;
  EXPECT_TRUE(eventually([&] { return destroyed.load() == before + 1; }));
}

TEST(OB_ThreadList, StartsStopsAndRestartsAllMembers) {
  OB_ThreadList* list = OB_ThreadList::create();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list->getClassName(), "OB_ThreadList");
  EXPECT_NE(obQuery<OB_Runnable>(list), nullptr);
  Worker* workers[3];
  for (Worker*& w : workers) {
    w = new Worker();
    w->addRef();  // the test's own reference; the list owns the other
    list->append(w);
  }
  EXPECT_EQ(list->isRunning(), 0);
  EXPECT_EQ(list->restart(), 0);  // a list never started starts every thread
  EXPECT_EQ(list->isRunning(), 1);
  for (Worker* w : workers) ASSERT_TRUE(w->advances());

  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(list->restart(), 0);
    for (Worker* w : workers) {
      EXPECT_EQ(w->isRunning(), 1);
      ASSERT_TRUE(w->advances()) << "round " << round;
    }
  }
  EXPECT_EQ(list->start(), 0);
  EXPECT_EQ(list->stop(), 0);
  EXPECT_EQ(list->isRunning(), 0);
  for (Worker* w : workers) EXPECT_EQ(w->isRunning(), 0);
  EXPECT_EQ(list->join(nullptr, 10000), 0);
  for (Worker* w : workers) {
    EXPECT_EQ(w->maxActive.load(), 1);
    w->release();
  }
  list->release();
}

TEST(OB_ThreadList, DestroyingARunningListEndsAndFreesItsThreads) {
  int before = destroyed.load();
  OB_ThreadList* list = OB_ThreadList::create();
  for (int i = 0; i < 4; ++i) list->append(new Worker());
  list->start();
  list->release();
  EXPECT_TRUE(eventually([&] { return destroyed.load() == before + 4; }));
}

}  // namespace
