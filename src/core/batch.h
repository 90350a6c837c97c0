#pragma once

#include <mutex>
#include <utility>
#include <vector>

namespace va {

// Items bound for a serial queue, handed over in batches: one queue task (and one wake-up of its
// thread) takes everything that gathered before it ran, instead of one task per item.
// add() from any thread; take() from the queue's task.
template <class T> class Batch {
public:
  // True when this item starts a batch: the caller posts the task that will take it.
  bool add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    return !std::exchange(posted_, true);
  }
  // Everything gathered, oldest first; the next add() starts a new batch.
  std::vector<T> take() {
    std::lock_guard lock(mutex_);
    posted_ = false;
    return std::exchange(items_, {});
  }

private:
  std::mutex mutex_;
  std::vector<T> items_;
  bool posted_ = false;
};

} // namespace va
