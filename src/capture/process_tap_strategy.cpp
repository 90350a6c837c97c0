#include "capture/process_tap_strategy.h"

#include "capture/audio_sink.h"
#include "capture/event_log.h"

#include <algorithm>

namespace va {

namespace {

constexpr auto kPollPeriod = std::chrono::seconds(1);
// A little over the tracker's settle time, so the settle observation finds it passed.
constexpr auto kSettleDelay = std::chrono::milliseconds(1050);

Json processJson(const AudioProcessInfo& process) {
  return {{"pid", process.pid},
          {"bundleId", process.bundleID},
          {"runningOutput", process.runningOutput},
          {"runningInput", process.runningInput}};
}

// {"pid": the first one's, "processes": [...]} of a tap start.
Json appFields(const std::vector<AudioProcessInfo>& armed) {
  Json processes = Json::array();
  for (const AudioProcessInfo& process : armed)
    processes.push_back(processJson(process));
  return {{"pid", armed.front().pid}, {"processes", std::move(processes)}};
}

} // namespace

ProcessTapStrategy::ProcessTapStrategy(ProcessMatch match, Platform platform, bool liveListeners,
                                       std::shared_ptr<const Clock> clock,
                                       std::shared_ptr<TaskQueue> queue)
    : match_(std::move(match)), platform_(std::move(platform)), live_(liveListeners),
      clock_(std::move(clock)), queue_(std::move(queue)) {}

std::expected<void, CaptureError> ProcessTapStrategy::start(std::shared_ptr<AudioSink> sink,
                                                            std::shared_ptr<EventLog> events) {
  queue_->sync([&] {
    sink_ = std::move(sink);
    events_ = std::move(events);
    platform_.tap->setRepairReport(repairReporter(events_, "remote"));
    if (live_) {
      std::weak_ptr<ProcessTapStrategy> weak = weak_from_this();
      pollTimer_ = queue_->every(kPollPeriod, [weak] {
        if (auto self = weak.lock())
          self->refresh("poll");
      });
      if (auto listener = listen({ChangeKind::processList},
                                 [](ProcessTapStrategy& self) { self.refresh("process_list"); }))
        listeners_.push_back(std::move(listener));
      if (auto listener = listen({ChangeKind::defaultOutput},
                                 [](ProcessTapStrategy& self) { self.outputChanged(); }))
        listeners_.push_back(std::move(listener));
    }
    refresh("initial");
  });
  return {};
}

void ProcessTapStrategy::stop() {
  queue_->sync([&] {
    if (stopped_)
      return;
    stopped_ = true;
    pollTimer_.cancel();
    settleTimer_.cancel();
    listeners_.clear(); // destroying a listener cancels it
    processListeners_.clear();
    platform_.tap->stop();
    append("track_stopped", {{"track", "remote"}});
  });
}

void ProcessTapStrategy::append(const std::string& type, Json fields) {
  if (events_)
    events_->append(type, std::move(fields));
}

std::unique_ptr<ChangeListener>
ProcessTapStrategy::listen(ChangeSubject subject,
                           std::function<void(ProcessTapStrategy&)> handler) {
  if (!platform_.notifier)
    return nullptr;
  std::weak_ptr<ProcessTapStrategy> weak = weak_from_this();
  return platform_.notifier->listen(subject, queue_, [weak, handler = std::move(handler)] {
    if (auto self = weak.lock())
      handler(*self);
  });
}

void ProcessTapStrategy::refresh(const std::string& trigger) {
  if (stopped_ || !sink_ || !events_)
    return;
  const bool initial = trigger == "initial";
  const uint64_t nowNs = now();
  std::vector<AudioProcessInfo> selected = match_.select(platform_.processes->processes());
  for (const ArmTracker::Event& event :
       tracker_.observe(selected, nowNs, initial, match_.deferUntilIO))
    logArmEvent(event, trigger);
  if (initial && selected.empty())
    append("app_waiting", {{"match", match_.json()}});
  if (live_) {
    watchUnarmed(selected);
    scheduleSettleIfNeeded();
  }

  std::vector<AudioProcessInfo> armed;
  std::vector<uint32_t> ids;
  for (const AudioProcessInfo& process : selected)
    if (tracker_.armed().contains(process.objectID)) {
      armed.push_back(process);
      ids.push_back(process.objectID);
    }
  const std::set<uint32_t> idSet(ids.begin(), ids.end());
  if (idSet == std::set<uint32_t>(tapped_.begin(), tapped_.end()) &&
      (ids.empty() || platform_.tap->running()))
    return;
  if (failedFor_) {
    if (*failedFor_ == idSet)
      return; // a set that failed is not retried
    failedFor_.reset();
  }
  if (ids.empty()) {
    if (platform_.tap->running()) {
      platform_.tap->stop();
      sink_->split();
      exitedAt_ = nowNs;
      append("track_interrupted", {{"track", "remote"}, {"reason", "app_exited"}});
      append("app_waiting", {{"match", match_.json()}});
    }
    tapped_.clear();
    return;
  }
  if (platform_.tap->running()) {
    platform_.tap->update(ids);
    tapped_ = ids;
    return;
  }
  startTap(armed, ids, nowNs);
}

void ProcessTapStrategy::startTap(const std::vector<AudioProcessInfo>& armed,
                                  const std::vector<uint32_t>& ids, uint64_t nowNs) {
  // Both callbacks may run on the tap's threads; the sink and the log are safe from any thread.
  std::weak_ptr<AudioSink> sink = sink_;
  std::weak_ptr<EventLog> events = events_;
  auto started = platform_.tap->start(
      ids,
      [sink](std::span<const float> mono, double rate, uint64_t timeNs) {
        if (auto target = sink.lock())
          target->write(mono, rate, timeNs);
      },
      [events](const Json& report) {
        if (auto log = events.lock())
          log->append("tap_format", report);
      });
  if (!started) {
    platform_.permissions->systemAudioRefused(started.error().description);
    failedFor_ = std::set<uint32_t>(ids.begin(), ids.end());
    append(
        "failed",
        {{"track", "remote"}, {"reason", "tap_failed"}, {"detail", started.error().description}});
    return;
  }
  tapped_ = ids;
  if (exitedAt_) {
    const double gapS = static_cast<double>(nowNs - *exitedAt_) / 1e9;
    exitedAt_.reset();
    append("app_relaunched", appFields(armed));
    append("track_resumed", {{"track", "remote"}, {"gapS", gapS}});
  } else if (!started_) {
    append("app_started", appFields(armed));
    append("track_started", {{"track", "remote"}, {"strategy", "process-tap"}});
  }
  started_ = true;
}

void ProcessTapStrategy::logArmEvent(const ArmTracker::Event& event, const std::string& trigger) {
  if (const auto* deferred = std::get_if<ArmTracker::Deferred>(&event)) {
    Json fields = processJson(deferred->process);
    fields["trigger"] = trigger;
    fields["waitingFor"] = "running_output or running_input";
    append("tap_deferred", std::move(fields));
  } else if (const auto* armed = std::get_if<ArmTracker::Armed>(&event)) {
    Json fields = processJson(armed->process);
    fields["trigger"] = trigger;
    fields["deferredMs"] = armed->deferredMs;
    fields["ioSeenAfterMs"] = armed->ioSeenAfterMs;
    fields["settledMs"] = armed->settledMs;
    fields["alreadyRunningAtStart"] = armed->alreadyRunning;
    append("tap_armed", std::move(fields));
  } else if (const auto* reset = std::get_if<ArmTracker::Reset>(&event)) {
    Json fields = processJson(reset->process);
    fields["trigger"] = trigger;
    fields["ranForMs"] = reset->ranForMs;
    append("tap_arm_reset", std::move(fields));
  }
}

void ProcessTapStrategy::watchUnarmed(const std::vector<AudioProcessInfo>& selected) {
  std::set<uint32_t> unarmed;
  for (const AudioProcessInfo& process : selected)
    if (!tracker_.armed().contains(process.objectID))
      unarmed.insert(process.objectID);
  std::erase_if(processListeners_,
                [&](const auto& entry) { return !unarmed.contains(entry.first); });
  for (uint32_t id : unarmed) {
    if (processListeners_.contains(id))
      continue;
    // An id whose registration failed keeps its null entry and is not tried again.
    processListeners_[id] = listen({ChangeKind::processRunning, id},
                                   [](ProcessTapStrategy& self) { self.refresh("listener"); });
  }
}

void ProcessTapStrategy::scheduleSettleIfNeeded() {
  if (!tracker_.settling() || settleScheduled_)
    return;
  settleScheduled_ = true;
  std::weak_ptr<ProcessTapStrategy> weak = weak_from_this();
  settleTimer_ = queue_->after(kSettleDelay, [weak] {
    if (auto self = weak.lock()) {
      self->settleScheduled_ = false;
      self->refresh("settle");
    }
  });
}

void ProcessTapStrategy::outputChanged() {
  if (stopped_ || !events_)
    return;
  OutputDeviceInfo device =
      platform_.outputs ? platform_.outputs->defaultOutput() : OutputDeviceInfo{};
  append("default_output_changed", {{"device", device.json()}});
  if (platform_.tap->running())
    append("tap_kept", {{"reason", "default_output_changed"}});
}

} // namespace va
