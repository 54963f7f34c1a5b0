// A thread list of identical workers that run queued tasks in arrival order, one task per pass
// of a worker's loop; tasks run concurrently on different workers. Started, stopped and joined
// like any thread list.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "OB_List.h"
#include "OB_Mutex.h"
#include "OB_Task.h"
#include "OB_Thread.h"
#include "OB_ThreadList.h"

class OB_ThreadPool : public OB_ThreadList {
 public:
  // Makes `workers` workers (none below 1); they start with the pool.
  explicit OB_ThreadPool(int workers);
  OB_ThreadPool(const OB_ThreadPool&) = delete;
  OB_ThreadPool& operator=(const OB_ThreadPool&) = delete;
  // Stops and joins a running pool, then releases the queued tasks and the workers. Must not
  // run on one of the pool's own workers. A subclass stops and joins in its own destructor, as
  // the workers call this object's virtual operations until they have ended.
  ~OB_ThreadPool() override;

  // Queues a new task and wakes the waiting worker; a stopped pool with auto start set is
  // started. 0, or -1 when the task could not be queued.
  virtual int addTask(OB_ThreadFunction function, void* argument, int identifier);
  // A new task, owned by the caller; ends the process when memory is exhausted.
  virtual OB_Task* createTask(OB_ThreadFunction function, void* argument, int identifier);
  // One more worker, owned by the pool; started with the pool (not at once when it runs). 0.
  virtual int addThread();
  // One pass of a worker's loop, on that worker: waits (holding the pool lock, so the other
  // workers queue behind it) until a task is queued or the pool stops, takes the first task off
  // the queue, and runs and releases it outside the lock, so no other worker can take it too.
  // Always 0.
  virtual int doTask(OB_Thread* worker);
  // Stops and joins the pool, releases every queued task with this identifier, then starts the
  // pool, whether or not it ran before. Must not be called from a task. 0.
  virtual int removeTasksByID(int identifier);
  // When set, a worker that has waited out the wait limit with the queue empty stops the pool.
  virtual int setAutoStop(int on);
  // When set, addTask starts a pool that is not running.
  virtual int setAutoStart(int on);

  // Unless running, adds the worker count again. 0.
  int init() override;
  // Stops and joins the pool, then releases the queued tasks and the workers. 0.
  int reset() override;
  // Clears auto start, stops the list and wakes the waiting worker; does not wait.
  int stop() override;

  // Tasks still queued (the ones being run are not counted).
  int getTaskCount() { return queue_->getCount(); }

 protected:
  // How long a worker waits for a task before it checks auto stop, in ms.
  int32_t waitLimitMs_ = 100000;

 private:
  // The workers' function; the argument is the worker, whose second argument is the pool.
  static void asyncCallback(void* worker);
  // Releases every queued task.
  void releaseTasks();
  // Wakes the worker waiting in doTask, if any.
  void wake();

  const int workers_;
  // Pending tasks in arrival order, owned: each is released by whoever takes it off. The list
  // does not release them itself, so a worker can take a task off and still run it.
  OB_List<OB_Task>* queue_;
  // Serialises the workers' search for a task; the waiting worker holds it.
  OB_Mutex poolLock_;
  // A wake-up needs a condition checked under the same lock as the wait; a bare event signalled
  // just before the worker begins to wait would be lost, and a new task or a stop would wait out
  // the whole limit. Taken inside the pool lock, never around it.
  std::mutex wakeLock_;
  std::condition_variable wakeup_;
  std::atomic<int32_t> autoStop_{0};
  std::atomic<int32_t> autoStart_{0};
};
