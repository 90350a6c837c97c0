#pragma once

#include "core/task_queue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace va {

// What a change listener watches.
enum class ChangeKind {
  deviceList,     // input devices added or removed
  defaultInput,   // the system default input moved
  defaultOutput,  // the system default output moved
  deviceConfig,   // one device's liveness, rate or channel configuration (object = device id)
  processList,    // audio processes came or went
  processRunning, // one process's running-output/running-input state (object = process id)
};

struct ChangeSubject {
  ChangeKind kind;
  uint32_t object = 0; // the device or process id for the per-object kinds; 0 otherwise
  bool operator==(const ChangeSubject&) const = default;
};

// An owned subscription. cancel() may be repeated; once it returns on the listener's queue, the
// handler never runs again. Destroying a listener cancels it.
class ChangeListener {
public:
  virtual ~ChangeListener() = default;
  virtual void cancel() = 0;
  virtual bool active() const = 0;
};

// Change notifications, each delivered on the queue given at creation, once per change.
class ChangeNotifier {
public:
  virtual ~ChangeNotifier() = default;
  // Nothing when the subscription cannot be made.
  virtual std::unique_ptr<ChangeListener> listen(ChangeSubject subject,
                                                 std::shared_ptr<TaskQueue> queue,
                                                 std::function<void()> handler) = 0;
};

// The bookkeeping shared by notifier implementations: registered handlers and their fan-out.
// Thread-safe; notify() may be called from any thread and never runs a handler itself.
class ListenerRegistry : public ChangeNotifier,
                         public std::enable_shared_from_this<ListenerRegistry> {
public:
  std::unique_ptr<ChangeListener> listen(ChangeSubject subject, std::shared_ptr<TaskQueue> queue,
                                         std::function<void()> handler) override;
  // Posts the handler of every active listener of `subject` to its queue.
  void notify(ChangeSubject subject);
  // Active listeners, for tests.
  size_t count() const;

  struct Entry; // one registration; opaque outside the implementation

private:
  void remove(const Entry* entry);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
};

} // namespace va
