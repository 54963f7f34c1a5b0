#include "OB_ThreadPool.h"

#include <chrono>
#include <cstdio>

#include "OB_Log.h"

OB_ThreadPool::OB_ThreadPool(int workers) : workers_(workers), queue_(new OB_List<OB_Task>()) {
  if (queue_ == nullptr) {
    perror("malloc");
    OB_Log::quit("OB_ThreadPool: out of memory");
  }
  for (int i = 0; i < workers_; ++i) addThread();
}

OB_ThreadPool::~OB_ThreadPool() {
  reset();
  queue_->release();
}

void OB_ThreadPool::asyncCallback(void* worker) {
  OB_Thread* thread = static_cast<OB_Thread*>(worker);
  OB_ThreadPool* pool = static_cast<OB_ThreadPool*>(thread->getArg2());
  if (pool != nullptr) pool->doTask(thread);
}

int OB_ThreadPool::addThread() {
  OB_Thread* worker = new OB_Thread(asyncCallback, nullptr);
  if (worker == nullptr) {
    perror("malloc");
    OB_Log::quit("OB_ThreadPool::addThread: out of memory");
  }
  worker->setArg(worker);
  worker->setArg2(this);
  if (append(worker) != 0) OB_Log::quit("OB_ThreadPool::addThread: out of memory");
  return 0;
}

OB_Task* OB_ThreadPool::createTask(OB_ThreadFunction function, void* argument, int identifier) {
  OB_Task* task = new OB_Task(function, argument, identifier);
  if (task == nullptr) {
    perror("malloc");
    OB_Log::quit("out of memory");
  }
  return task;
}

void OB_ThreadPool::wake() {
  // Taking the lock orders this wake-up after a worker's check of its condition.
  { std::lock_guard<std::mutex> hold(wakeLock_); }
  wakeup_.notify_all();
}

int OB_ThreadPool::addTask(OB_ThreadFunction function, void* argument, int identifier) {
  OB_Task* task = createTask(function, argument, identifier);
  if (queue_->append(task) != 0) {
    task->release();
    return -1;
  }
  if (isRunning() != 0) {
    wake();
  } else if (autoStart_.load() != 0) {
    start();
  }
  return 0;
}

int OB_ThreadPool::doTask(OB_Thread* /*worker*/) {
  OB_Task* task = nullptr;
  {
    OB_MutexHold hold(&poolLock_);
    while (isRunning() != 0) {
      if (queue_->getCount() > 0) break;
      {
        std::unique_lock<std::mutex> wait(wakeLock_);
        wakeup_.wait_for(wait, std::chrono::milliseconds(waitLimitMs_),
                         [this] { return queue_->getCount() > 0 || isRunning() == 0; });
      }
      if (autoStop_.load() != 0 && queue_->getCount() == 0 && isRunning() != 0) stop();
    }
    if (isRunning() != 0) {
      OB_MutexHold queueHold(queue_);
      task = queue_->first();
      if (task != nullptr) queue_->removeCurrent();
    }
  }
  if (task != nullptr) {
    task->doTask();
    task->release();
  }
  return 0;
}

void OB_ThreadPool::releaseTasks() {
  OB_MutexHold hold(queue_);
  for (OB_Task* task = queue_->first(); task != nullptr; task = queue_->currentItem()) {
    queue_->removeCurrent();
    task->release();
  }
}

int OB_ThreadPool::removeTasksByID(int identifier) {
  if (isRunning() != 0) {
    stop();
    join(nullptr, 0);
  }
  {
    OB_MutexHold hold(queue_);
    OB_Task* task = queue_->first();
    while (task != nullptr) {
      if (task->getID() == identifier) {
        queue_->removeCurrent();
        task->release();
        task = queue_->currentItem();
      } else {
        task = queue_->next();
      }
    }
  }
  start();
  return 0;
}

int OB_ThreadPool::setAutoStop(int on) {
  autoStop_.store(on);
  return 0;
}

int OB_ThreadPool::setAutoStart(int on) {
  autoStart_.store(on);
  return 0;
}

int OB_ThreadPool::init() {
  if (isRunning() == 0) {
    for (int i = 0; i < workers_; ++i) addThread();
  }
  return 0;
}

int OB_ThreadPool::reset() {
  // Workers left running would go on calling into a pool that no longer holds them.
  stop();
  join(nullptr, 0);
  releaseTasks();
  clear();
  return 0;
}

int OB_ThreadPool::stop() {
  autoStart_.store(0);
  int result = OB_ThreadList::stop();
  wake();
  return result;
}
