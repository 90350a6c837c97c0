#pragma once

#include "capture/capture_strategy.h"
#include "core/clock.h"
#include "core/task_queue.h"

#include <memory>
#include <mutex>

namespace va {

// A synthetic remote track: a 440 Hz sine at a quarter of full scale, 480-sample blocks at
// 48000 Hz on a 10 ms grid anchored at start. A late timer is caught up block by block, each
// stamped with its own grid time, so the sink never sees a gap.
// Threads: the generator runs on `queue_` only; start() and stop() from any other thread.
class TestToneStrategy final : public CaptureStrategy,
                               public std::enable_shared_from_this<TestToneStrategy> {
public:
  static constexpr int kBlockFrames = 480;
  static constexpr double kRateHz = 48000.0;
  static constexpr uint64_t kBlockNs = 10'000'000;
  static constexpr double kAmplitude = 0.25;
  static constexpr double kPhaseStep = 2764.601535159018 / 48000.0; // 2 pi 440 / 48000 rad

  // `queue` defaults to a SerialQueue "velmorrant-audio.test-tone".
  explicit TestToneStrategy(std::shared_ptr<const Clock> clock,
                            std::shared_ptr<TaskQueue> queue = nullptr);

  std::expected<void, CaptureError> start(std::shared_ptr<AudioSink> sink,
                                          std::shared_ptr<EventLog> events) override;
  // Waits for a generator run in progress; afterwards no block reaches the sink. Harmless twice.
  void stop() override;

  // True exactly when VELMORRANT_AUDIO_TEST_STRATEGIES is "1".
  static bool enabled();

private:
  struct Generator;
  bool isStopped() const;

  const std::shared_ptr<const Clock> clock_;
  const std::shared_ptr<TaskQueue> queue_;
  mutable std::mutex lock_; // guards stopped_
  bool stopped_ = false;
  TimerHandle timer_; // touched on start() and, under queue_->sync, in stop()
};

} // namespace va
