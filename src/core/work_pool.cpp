#include "core/work_pool.h"

#include <pthread.h>
#include <thread>

namespace va {

WorkPool::WorkPool(std::string label) : WorkPool(std::move(label), Options{}) {}

WorkPool::WorkPool(std::string label, Options options)
    : label_(std::move(label)), options_(options) {}

WorkPool::~WorkPool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
  exited_.wait(lock, [&] { return threads_ == 0; });
}

void WorkPool::submit(Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  // Every idle thread takes one task; when the queue outnumbers them, add a thread.
  if (idle_ < tasks_.size() && threads_ < options_.maxThreads)
    spawn();
  wake_.notify_one();
}

size_t WorkPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

// Called with mutex_ held.
void WorkPool::spawn() {
  ++threads_;
  std::thread([this] { run(); }).detach();
}

void WorkPool::run() {
  constexpr std::string_view kPrefix = "velmorrant-audio.";
  std::string name = label_.starts_with(kPrefix) ? label_.substr(kPrefix.size()) : label_;
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());

  std::unique_lock lock(mutex_);
  for (;;) {
    if (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr; // release captures outside the lock
      lock.lock();
      continue;
    }
    if (stopping_)
      break;
    ++idle_;
    bool woken = wake_.wait_for(lock, options_.idleTimeout,
                                [&] { return !tasks_.empty() || stopping_; });
    --idle_;
    if (!woken && threads_ > options_.minThreads)
      break;
  }
  // The last touch of the pool: the destructor waits for this under the same mutex.
  --threads_;
  exited_.notify_all();
}

} // namespace va
