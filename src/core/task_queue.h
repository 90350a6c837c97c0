#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace va {

using Task = std::function<void()>;

// A delayed or repeating task scheduled on a TaskQueue. Copies share one task.
// cancel() called on the task's own queue guarantees that the task never runs again; called from
// another thread, a run that has already begun completes, and none starts afterwards.
class TimerHandle {
public:
  TimerHandle() = default;

  void cancel() const;
  bool cancelled() const { return !state_ || state_->cancelled.load(std::memory_order_acquire); }

  struct State {
    std::atomic<bool> cancelled{false};
    std::function<void()> onCancel; // set once at creation; releases the queue's timer early
  };
  explicit TimerHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}
  const std::shared_ptr<State>& state() const { return state_; }

private:
  std::shared_ptr<State> state_;
};

// A serial queue: tasks run one at a time, in submission order (timers in expiry order).
// Implemented by SerialQueue (a thread) and ManualQueue (virtual time, for tests). Owners hold
// queues by shared_ptr; work scheduled on a queue that holds its owner does so weakly.
class TaskQueue {
public:
  virtual ~TaskQueue() = default;

  virtual const std::string& label() const = 0;
  // Runs `task` later on the queue.
  virtual void async(Task task) = 0;
  // Runs `task` on the queue and returns when it has run. Never call it from the queue itself.
  virtual void sync(Task task) = 0;
  // Runs `task` once, `delay` from now.
  virtual TimerHandle after(std::chrono::nanoseconds delay, Task task) = 0;
  // Runs `task` every `period`, first one period from now, on a fixed grid; firings missed while
  // the queue was busy are coalesced into one.
  virtual TimerHandle every(std::chrono::nanoseconds period, Task task) = 0;
  // True on the queue's own thread.
  virtual bool isCurrent() const = 0;
};

} // namespace va
