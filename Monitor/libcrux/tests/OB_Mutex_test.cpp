#include "OB_Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(OBMutex, HolderRelocksAndOthersWaitForTheLastUnlock) {
  OB_Mutex mutex;
  std::atomic<bool> otherGotIt{false};
  mutex.lock();
  mutex.lock();
  EXPECT_EQ(mutex.isLocked(), 1);
  EXPECT_EQ(obQuery<OB_Mutex>(static_cast<OB_Object*>(&mutex)), &mutex);
  std::thread other([&] {
    mutex.lock();
    otherGotIt = true;
    mutex.unlock();
  });
  mutex.unlock();
  // Still held once: the other thread must not get in. Give it ample chance to try.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(otherGotIt.load());
  mutex.unlock();
  other.join();
  EXPECT_TRUE(otherGotIt.load());
  EXPECT_EQ(mutex.isLocked(), 0);
}

TEST(OBMutex, CountsStayExactUnderContention) {
  OB_Mutex mutex;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        OB_MutexHold outer(&mutex);
        OB_MutexHold inner(&mutex);
        ++counter;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);
}

}  // namespace
