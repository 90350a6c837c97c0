#pragma once

#include "core/clock.h"
#include "core/task_queue.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace va {

// A serial queue in virtual time, for tests. Nothing runs until the test thread calls
// runUntilIdle() or advance(); then due tasks run on that thread in (time, submission) order and
// the clock is moved to each task's time before it runs. Tasks may be submitted from any thread.
class ManualQueue final : public TaskQueue {
public:
  explicit ManualQueue(std::shared_ptr<ManualClock> clock, std::string label = "manual");

  const std::string& label() const override { return label_; }
  void async(Task task) override;
  // Runs `task` at once on the calling thread (the test thread stands in for the queue).
  void sync(Task task) override;
  TimerHandle after(std::chrono::nanoseconds delay, Task task) override;
  TimerHandle every(std::chrono::nanoseconds period, Task task) override;
  // True on the thread that created the queue.
  bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

  // Runs every task due at the clock's current time, including tasks those tasks submit.
  void runUntilIdle();
  // Moves virtual time forward by `ns`, running due tasks on the way.
  void advance(int64_t ns);
  void advance(std::chrono::nanoseconds d) { advance(d.count()); }
  // Tasks waiting, due or not (cancelled timers excluded).
  size_t pending() const;

  const std::shared_ptr<ManualClock>& clock() const { return clock_; }

private:
  struct Entry {
    Task task;
    std::shared_ptr<TimerHandle::State> state; // null for plain async tasks
    int64_t periodNs = 0;
  };
  void push(int64_t atNs, Entry entry);
  bool runOneDue(int64_t limitNs);

  std::shared_ptr<ManualClock> clock_;
  std::string label_;
  std::thread::id owner_;
  mutable std::mutex mutex_;
  uint64_t nextSeq_ = 0;
  std::map<std::pair<int64_t, uint64_t>, Entry> tasks_; // keyed by (due time, submission order)
};

} // namespace va
