#include "core/manual_queue.h"

namespace va {

ManualQueue::ManualQueue(std::shared_ptr<ManualClock> clock, std::string label)
    : clock_(std::move(clock)), label_(std::move(label)), owner_(std::this_thread::get_id()) {}

void ManualQueue::push(int64_t atNs, Entry entry) {
  std::lock_guard lock(mutex_);
  tasks_.emplace(std::make_pair(atNs, nextSeq_++), std::move(entry));
}

void ManualQueue::async(Task task) {
  push(clock_->nowNs(), Entry{std::move(task), nullptr, 0});
}

void ManualQueue::sync(Task task) {
  task();
}

TimerHandle ManualQueue::after(std::chrono::nanoseconds delay, Task task) {
  auto state = std::make_shared<TimerHandle::State>();
  push(clock_->nowNs() + delay.count(), Entry{std::move(task), state, 0});
  return TimerHandle(state);
}

TimerHandle ManualQueue::every(std::chrono::nanoseconds period, Task task) {
  auto state = std::make_shared<TimerHandle::State>();
  push(clock_->nowNs() + period.count(), Entry{std::move(task), state, period.count()});
  return TimerHandle(state);
}

bool ManualQueue::runOneDue(int64_t limitNs) {
  int64_t atNs = 0;
  Entry entry;
  {
    std::lock_guard lock(mutex_);
    for (;;) {
      if (tasks_.empty() || tasks_.begin()->first.first > limitNs)
        return false;
      auto node = tasks_.extract(tasks_.begin());
      atNs = node.key().first;
      entry = std::move(node.mapped());
      if (!entry.state || !entry.state->cancelled.load())
        break;
    }
  }
  if (atNs > clock_->nowNs())
    clock_->set(atNs);
  entry.task();
  if (entry.periodNs > 0 && !entry.state->cancelled.load()) {
    int64_t next = atNs + entry.periodNs;
    int64_t now = clock_->nowNs();
    if (next <= now) // coalesce firings missed while the clock jumped, keeping the grid's phase
      next += entry.periodNs * ((now - next) / entry.periodNs + 1);
    push(next, std::move(entry));
  }
  return true;
}

void ManualQueue::runUntilIdle() {
  while (runOneDue(clock_->nowNs())) {
  }
}

void ManualQueue::advance(int64_t ns) {
  int64_t target = clock_->nowNs() + ns;
  while (runOneDue(target)) {
  }
  if (clock_->nowNs() < target)
    clock_->set(target);
}

size_t ManualQueue::pending() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& [key, entry] : tasks_)
    if (!entry.state || !entry.state->cancelled.load())
      ++n;
  return n;
}

} // namespace va
