#include "capture/microphone_strategy.h"

#include "capture/audio_sink.h"
#include "capture/event_log.h"
#include "core/log.h"

#include <algorithm>

namespace va {

namespace {

std::optional<uint32_t> defaultInput(InputDeviceProvider& devices) {
  std::optional<uint32_t> id = devices.defaultInputID();
  return id && *id != 0 ? id : std::nullopt;
}

} // namespace

std::optional<int64_t> StallTracker::tick(uint64_t nowNs, uint64_t lastFrameNs) {
  uint64_t reference = std::max(startedNs, lastFrameNs);
  if (reference + kStallNs > nowNs) {
    if (lastFrameNs != 0 && lastFrameNs >= startedNs) {
      attempts = 0;
      nextAllowedNs = 0;
    }
    return std::nullopt;
  }
  if (nowNs < nextAllowedNs)
    return std::nullopt;
  ++attempts;
  nextAllowedNs = nowNs + kBackoffS[std::min<int64_t>(attempts - 1, 2)] * 1'000'000'000ull;
  return attempts;
}

MicrophoneStrategy::MicrophoneStrategy(std::optional<std::string> deviceUid, Platform platform,
                                       std::shared_ptr<const Clock> clock,
                                       std::shared_ptr<TaskQueue> queue)
    : deviceUid_(std::move(deviceUid)), platform_(std::move(platform)), clock_(std::move(clock)),
      queue_(std::move(queue)) {}

std::expected<void, CaptureError> MicrophoneStrategy::start(std::shared_ptr<AudioSink> sink,
                                                            std::shared_ptr<EventLog> events) {
  queue_->sync([&] {
    sink_ = std::move(sink);
    events_ = std::move(events);
    platform_.io->setRepairReport(repairReporter(events_, "mic"));
    lastDefault_ = defaultInput(*platform_.devices);
    std::string status = platform_.auth->status();
    if (status == "denied" || status == "restricted") {
      failDenied();
    } else if (status == "not_determined") {
      std::weak_ptr<MicrophoneStrategy> weak = weak_from_this();
      // The answer may come on any thread, and much later (when an audio server first appears):
      // it is handled on the queue, and holds neither the strategy nor its queue meanwhile.
      platform_.auth->request([weak, weakQueue = std::weak_ptr<TaskQueue>(queue_)](bool granted) {
        auto queue = weakQueue.lock();
        if (!queue)
          return;
        queue->async([weak, granted] {
          auto self = weak.lock();
          if (!self || self->stopped_)
            return;
          if (granted)
            self->begin();
          else
            self->failDenied();
        });
      });
    } else {
      begin();
    }
  });
  return {};
}

void MicrophoneStrategy::stop() {
  queue_->sync([&] {
    if (stopped_)
      return;
    stopped_ = true;
    for (const TimerHandle& timer : timers_)
      timer.cancel();
    timers_.clear();
    systemListeners_.clear(); // destroying a listener cancels it
    deviceListeners_.clear();
    platform_.io->stop();
    current_.reset();
    if (!revoked_)
      append("track_stopped", {{"track", "mic"}});
  });
}

void MicrophoneStrategy::append(const std::string& type, Json fields) {
  if (events_)
    events_->append(type, std::move(fields));
}

void MicrophoneStrategy::failDenied() {
  if (stopped_)
    return;
  revoked_ = true;
  append("failed", {{"track", "mic"}, {"reason", "microphone_denied"}});
}

void MicrophoneStrategy::every(std::chrono::seconds period, void (MicrophoneStrategy::*handler)()) {
  std::weak_ptr<MicrophoneStrategy> weak = weak_from_this();
  timers_.push_back(queue_->every(period, [weak, handler] {
    if (auto self = weak.lock())
      (self.get()->*handler)();
  }));
}

std::unique_ptr<ChangeListener> MicrophoneStrategy::listen(ChangeSubject subject) {
  if (!platform_.notifier)
    return nullptr;
  std::weak_ptr<MicrophoneStrategy> weak = weak_from_this();
  return platform_.notifier->listen(subject, queue_, [weak] {
    if (auto self = weak.lock())
      self->scheduleCheck();
  });
}

void MicrophoneStrategy::begin() {
  if (stopped_ || revoked_)
    return;
  every(std::chrono::seconds(1), &MicrophoneStrategy::stallTick);
  every(std::chrono::seconds(2), &MicrophoneStrategy::pollPermission);
  for (ChangeKind kind : {ChangeKind::deviceList, ChangeKind::defaultInput})
    if (auto listener = listen({kind}))
      systemListeners_.push_back(std::move(listener));
  open("start", true);
}

void MicrophoneStrategy::scheduleCheck() {
  if (checkPending_)
    return;
  checkPending_ = true;
  std::weak_ptr<MicrophoneStrategy> weak = weak_from_this();
  queue_->after(std::chrono::milliseconds(300), [weak] {
    if (auto self = weak.lock()) {
      self->checkPending_ = false;
      self->checkDevices();
    }
  });
}

void MicrophoneStrategy::checkDevices() {
  if (stopped_ || revoked_)
    return;
  std::optional<uint32_t> now = defaultInput(*platform_.devices);
  if (now != lastDefault_) {
    lastDefault_ = now;
    Json device = nullptr;
    if (now)
      for (const InputDevice& d : platform_.devices->inputs())
        if (d.id == *now) {
          device = d.json();
          break;
        }
    append("default_input_changed", {{"device", device}});
  }
  open("device_changed", true);
}

void MicrophoneStrategy::open(const std::string& reason, bool resetStall) {
  if (stopped_ || revoked_ || !sink_ || !events_)
    return;
  std::optional<InputDevice> device = MicDeviceResolver::resolve(deviceUid_, *platform_.devices);
  if (!device) {
    platform_.io->stop();
    current_.reset();
    interrupt("device_unavailable");
    return;
  }
  if (current_ == device && platform_.io->isRunning())
    return;
  platform_.io->stop();
  auto started = platform_.io->start(
      *device, [sink = sink_](std::span<const float> samples, double rate, uint64_t timeNs) {
        sink->write(samples, rate, timeNs);
      });
  if (!started) {
    log("mic: cannot start on " + device->uid + ": " + started.error().description);
    interrupt("start_failed");
    return;
  }
  current_ = device;
  watchDevice(*device);
  if (resetStall)
    tracker_ = StallTracker{.startedNs = now(), .attempts = 0, .nextAllowedNs = 0};
  Json fields = {
      {"track", "mic"}, {"device", device->json()}, {"captureRate", device->nominalRate}};
  if (interruptedAt_) {
    fields["reason"] = reason;
    fields["gapS"] = static_cast<double>(now() - *interruptedAt_) / 1e9;
    interruptedAt_.reset();
    append("track_resumed", std::move(fields));
  } else {
    fields["reason"] = startedOnce_ ? reason : "start";
    for (const auto& [key, value] : startedFields_.items())
      fields[key] = value;
    append("track_started", std::move(fields));
  }
  startedOnce_ = true;
}

void MicrophoneStrategy::interrupt(const std::string& reason) {
  if (interruptedAt_)
    return;
  interruptedAt_ = now();
  if (sink_)
    sink_->split();
  append("track_interrupted", {{"track", "mic"}, {"reason", reason}});
}

void MicrophoneStrategy::watchDevice(const InputDevice& device) {
  deviceListeners_.clear();
  if (auto listener = listen({ChangeKind::deviceConfig, device.id}))
    deviceListeners_.push_back(std::move(listener));
}

void MicrophoneStrategy::stallTick() {
  if (stopped_ || revoked_ || interruptedAt_ || !current_ || !sink_ || !events_)
    return;
  std::optional<int64_t> attempt = tracker_.tick(now(), sink_->lastFrameNs());
  if (!attempt)
    return;
  append("mic_stall_restart", {{"track", "mic"}, {"attempt", *attempt}});
  platform_.io->stop();
  current_.reset();
  open("stall_restart", false);
}

void MicrophoneStrategy::pollPermission() {
  if (stopped_ || revoked_)
    return;
  std::string status = platform_.auth->status();
  if (status != "denied" && status != "restricted")
    return;
  revoked_ = true;
  platform_.io->stop();
  current_.reset();
  if (sink_)
    sink_->split();
  append("permission_revoked", {{"kind", "microphone"}});
  append("track_stopped", {{"track", "mic"}, {"reason", "permission_revoked"}});
}

} // namespace va
