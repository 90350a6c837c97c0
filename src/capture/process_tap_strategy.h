#pragma once

#include "capture/arm_tracker.h"
#include "capture/capture_strategy.h"
#include "capture/process_match.h"
#include "core/clock.h"
#include "core/json.h"
#include "core/task_queue.h"
#include "platform/capture_permissions.h"
#include "platform/change_notifier.h"
#include "platform/tap_io.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace va {

// The "remote" track: follows the matching applications over the whole capture and keeps one
// tap pointed at exactly the armed ones: started with the first, updated in place as the set
// changes, stopped (with a segment split) when the last one goes. Every decision is an event.
// Threads: all state lives on `queue_`; start() and stop() enter it synchronously from other
// threads. Audio goes from the tap's I/O thread straight to the sink.
class ProcessTapStrategy final : public CaptureStrategy,
                                 public std::enable_shared_from_this<ProcessTapStrategy> {
public:
  struct Platform {
    std::shared_ptr<ProcessObjectProvider> processes;
    std::shared_ptr<TapIO> tap;
    std::shared_ptr<OutputDeviceProvider> outputs;
    std::shared_ptr<ChangeNotifier> notifier;
    CapturePermissions* permissions = &CapturePermissions::shared();
  };

  // Without `liveListeners` there is no poll and no listener: it observes once, at start.
  ProcessTapStrategy(ProcessMatch match, Platform platform, bool liveListeners,
                     std::shared_ptr<const Clock> clock, std::shared_ptr<TaskQueue> queue);

  // Never fails: a tap that cannot start is an event, retried when the armed set changes.
  std::expected<void, CaptureError> start(std::shared_ptr<AudioSink> sink,
                                          std::shared_ptr<EventLog> events) override;
  void stop() override;

private:
  // On queue_.
  void refresh(const std::string& trigger);
  void logArmEvent(const ArmTracker::Event& event, const std::string& trigger);
  void watchUnarmed(const std::vector<AudioProcessInfo>& selected);
  void scheduleSettleIfNeeded();
  void startTap(const std::vector<AudioProcessInfo>& armed, const std::vector<uint32_t>& ids,
                uint64_t nowNs);
  void outputChanged();
  std::unique_ptr<ChangeListener> listen(ChangeSubject subject,
                                         std::function<void(ProcessTapStrategy&)> handler);
  uint64_t now() const { return static_cast<uint64_t>(clock_->nowNs()); }
  void append(const std::string& type, Json fields);

  const ProcessMatch match_;
  const Platform platform_;
  const bool live_;
  const std::shared_ptr<const Clock> clock_;
  const std::shared_ptr<TaskQueue> queue_;

  // queue_ only.
  std::shared_ptr<AudioSink> sink_;
  std::shared_ptr<EventLog> events_;
  ArmTracker tracker_;
  std::vector<uint32_t> tapped_;
  std::optional<uint64_t> exitedAt_;
  std::optional<std::set<uint32_t>> failedFor_;
  bool started_ = false;
  bool stopped_ = false;
  TimerHandle pollTimer_;
  TimerHandle settleTimer_;
  std::vector<std::unique_ptr<ChangeListener>> listeners_;
  // Running-state listener per matching, unarmed process; null where registration failed.
  std::map<uint32_t, std::unique_ptr<ChangeListener>> processListeners_;
  bool settleScheduled_ = false;
};

} // namespace va
