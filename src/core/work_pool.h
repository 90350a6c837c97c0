#pragma once

#include "core/task_queue.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace va {

// A concurrent queue: tasks run at once on any free thread, in parallel. A task may block its
// thread for a long time (a long poll), so the pool grows whenever every thread is busy, up to
// `maxThreads`; beyond that tasks wait their turn. Threads idle for `idleTimeout` exit, down to
// `minThreads`. The destructor waits for every running and queued task.
class WorkPool {
public:
  struct Options {
    size_t minThreads = 2;
    size_t maxThreads = 4096;
    std::chrono::milliseconds idleTimeout{10'000};
  };
  explicit WorkPool(std::string label);
  WorkPool(std::string label, Options options);
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  void submit(Task task);

  size_t threadCount() const;
  const std::string& label() const { return label_; }

private:
  void spawn();
  void run();

  const std::string label_;
  const Options options_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable exited_;
  std::deque<Task> tasks_;
  size_t threads_ = 0;
  size_t idle_ = 0;
  bool stopping_ = false;
};

} // namespace va
