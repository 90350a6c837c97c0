#include "core/work_pool.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <pthread.h>
#include <thread>

namespace va {

// One per thread; lives on that thread's stack. Guarded by the pool's mutex.
struct WorkPool::Worker {
  std::condition_variable wake;
  Task task;
  bool stop = false;
};

namespace {

bool startDetached(Task body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (...) { // std::system_error at a thread limit; nothing may leave submit()
    return false;
  }
}

} // namespace

WorkPool::WorkPool(std::string label) : WorkPool(std::move(label), Options{}) {}

WorkPool::WorkPool(std::string label, Options options)
    : label_(std::move(label)), options_(std::move(options)) {}

WorkPool::~WorkPool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  for (Worker* w : idle_) {
    w->stop = true;
    w->wake.notify_one();
  }
  idle_.clear();
  exited_.wait(lock, [&] { return threads_ == 0; });
}

bool WorkPool::submit(Task task) {
  std::unique_lock lock(mutex_);
  if (!idle_.empty()) {
    Worker* w = idle_.back();
    idle_.pop_back();
    w->task = std::move(task);
    w->wake.notify_one();
    return true;
  }
  if (threads_ < options_.maxThreads) {
    // Held here until the thread has surely started, so that a refusal can keep the task.
    auto first = std::make_shared<Task>(std::move(task));
    Task body = [this, first] {
      Worker self;
      self.task = std::move(*first);
      run(&self);
    };
    bool started = options_.startThread ? options_.startThread(std::move(body))
                                        : startDetached(std::move(body));
    if (started) {
      ++threads_; // under the lock, before the new thread can take it
      return true;
    }
    if (threads_ == 0)
      return false;
    task = std::move(*first);
  }
  // Every thread is busy: the first to finish its task takes this one.
  backlog_.push_back(std::move(task));
  return true;
}

size_t WorkPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkPool::run(Worker* self) {
  constexpr std::string_view kPrefix = "velmorrant-audio.";
  std::string name = label_.starts_with(kPrefix) ? label_.substr(kPrefix.size()) : label_;
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());

  std::unique_lock lock(mutex_);
  for (;;) {
    if (self->task) {
      Task task = std::move(self->task);
      self->task = nullptr;
      lock.unlock();
      task();
      task = nullptr; // release captures outside the lock
      lock.lock();
      continue;
    }
    if (!backlog_.empty()) {
      self->task = std::move(backlog_.front());
      backlog_.pop_front();
      continue;
    }
    if (stopping_ || self->stop)
      break;
    idle_.push_back(self);
    bool woken = self->wake.wait_for(lock, options_.idleTimeout,
                                     [&] { return self->task != nullptr || self->stop; });
    if (!woken) {
      // Nobody took this worker off the idle list (that always comes with a task or a stop).
      idle_.erase(std::find(idle_.begin(), idle_.end(), self));
      if (threads_ > options_.minThreads)
        break;
      // Still needed: the loop puts it back on the idle list.
    }
  }
  // The last touch of the pool: the destructor waits for this under the same mutex.
  --threads_;
  exited_.notify_all();
}

} // namespace va
