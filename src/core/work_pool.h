#pragma once

#include "core/task_queue.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace va {

// A concurrent queue: tasks run at once on a free thread, in parallel. A task may block its
// thread for a long time (a long poll), so the pool grows whenever every thread is busy, up to
// `maxThreads`; beyond that tasks wait their turn. A task goes straight to the thread that went
// idle last (its cache is warm, and a lightly loaded pool keeps few threads busy). Threads idle
// for `idleTimeout` exit, down to `minThreads`. The destructor waits for every task.
// When the system refuses a new thread (a process or memory limit), a task waits for a busy
// thread if there is one, and is refused if there is none.
class WorkPool {
public:
  // Starts a detached thread that runs `body`; false when none can be made. Called with the
  // pool's lock held, which the new thread takes first.
  using ThreadStarter = std::function<bool(Task body)>;

  struct Options {
    size_t minThreads = 2;
    size_t maxThreads = 4096;
    std::chrono::milliseconds idleTimeout{10'000};
    ThreadStarter startThread = nullptr; // nullptr: std::thread; tests make it fail
  };
  explicit WorkPool(std::string label);
  WorkPool(std::string label, Options options);
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // False when the task was not taken (no thread exists and none can be made); it is then
  // destroyed without running.
  [[nodiscard]] bool submit(Task task);

  size_t threadCount() const;
  const std::string& label() const { return label_; }

  struct Worker;

private:
  void run(Worker* self);

  const std::string label_;
  const Options options_;
  mutable std::mutex mutex_;
  std::condition_variable exited_;
  std::vector<Worker*> idle_; // most recently idle last
  std::deque<Task> backlog_;  // only when maxThreads are all busy
  size_t threads_ = 0;
  bool stopping_ = false;
};

} // namespace va
