#pragma once

#include "capture/capture_strategy.h"
#include "core/clock.h"
#include "core/json.h"
#include "core/task_queue.h"
#include "platform/change_notifier.h"
#include "platform/mic_io.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace va {

// When a silent microphone is restarted: 3 s after the later of the last real start and the
// last block, then 10, 30 and every 60 s while the silence lasts; audio resets it.
struct StallTracker {
  static constexpr uint64_t kStallNs = 3'000'000'000;
  static constexpr uint64_t kBackoffS[] = {10, 30, 60};

  uint64_t startedNs = 0;
  int64_t attempts = 0;
  uint64_t nextAllowedNs = 0;

  // The restart's attempt number when one is due now.
  std::optional<int64_t> tick(uint64_t nowNs, uint64_t lastFrameNs);
};

// The "mic" track: takes the permission, runs the requested device (or the system default
// input) into the sink, follows device and default changes, restarts a stalled device with
// back-off and goes inert when the permission is taken away; every step is an event.
// Threads: all state lives on `queue_`; start() and stop() enter it synchronously from other
// threads. Audio goes from the platform's I/O thread straight to the sink.
class MicrophoneStrategy final : public CaptureStrategy,
                                 public std::enable_shared_from_this<MicrophoneStrategy> {
public:
  struct Platform {
    std::shared_ptr<InputDeviceProvider> devices;
    std::shared_ptr<MicAuthorization> auth;
    std::shared_ptr<MicIO> io;
    std::shared_ptr<ChangeNotifier> notifier; // nothing: no live listeners
  };

  MicrophoneStrategy(std::optional<std::string> deviceUid, Platform platform,
                     std::shared_ptr<const Clock> clock, std::shared_ptr<TaskQueue> queue);

  // Never fails: a missing permission is reported through the log.
  std::expected<void, CaptureError> start(std::shared_ptr<AudioSink> sink,
                                          std::shared_ptr<EventLog> events) override;
  void stop() override;
  void addStartedFields(Json fields) override { startedFields_ = std::move(fields); }

private:
  // On queue_.
  void begin();
  void failDenied();
  void pollPermission();
  void scheduleCheck();
  void checkDevices();
  void open(const std::string& reason, bool resetStall);
  void interrupt(const std::string& reason);
  void watchDevice(const InputDevice& device);
  void stallTick();
  void every(std::chrono::seconds period, void (MicrophoneStrategy::*handler)());
  std::unique_ptr<ChangeListener> listen(ChangeSubject subject);
  uint64_t now() const { return static_cast<uint64_t>(clock_->nowNs()); }
  void append(const std::string& type, Json fields);

  const std::optional<std::string> deviceUid_;
  const Platform platform_;
  const std::shared_ptr<const Clock> clock_;
  const std::shared_ptr<TaskQueue> queue_;

  // queue_ only.
  std::shared_ptr<AudioSink> sink_;
  std::shared_ptr<EventLog> events_;
  std::optional<InputDevice> current_;
  std::optional<uint64_t> interruptedAt_;
  bool startedOnce_ = false;
  bool revoked_ = false;
  bool stopped_ = false;
  std::optional<uint32_t> lastDefault_;
  StallTracker tracker_;
  std::vector<TimerHandle> timers_;
  std::vector<std::unique_ptr<ChangeListener>> systemListeners_;
  std::vector<std::unique_ptr<ChangeListener>> deviceListeners_;
  bool checkPending_ = false;
  Json startedFields_ = Json::object(); // set before start()
};

} // namespace va
