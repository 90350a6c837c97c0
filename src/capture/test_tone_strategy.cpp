#include "capture/test_tone_strategy.h"

#include "capture/audio_sink.h"
#include "capture/event_log.h"
#include "core/serial_queue.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace va {

// Owned by the timer's handler; touched on the queue only.
struct TestToneStrategy::Generator {
  uint64_t nextBlockNs = 0;
  double phase = 0; // radians, grows without wrapping
};

TestToneStrategy::TestToneStrategy(std::shared_ptr<const Clock> clock,
                                   std::shared_ptr<TaskQueue> queue)
    : clock_(std::move(clock)),
      queue_(queue ? std::move(queue)
                   : std::make_shared<SerialQueue>("velmorrant-audio.test-tone")) {}

bool TestToneStrategy::enabled() {
  const char* value = std::getenv("VELMORRANT_AUDIO_TEST_STRATEGIES");
  return value && std::strcmp(value, "1") == 0;
}

bool TestToneStrategy::isStopped() const {
  std::lock_guard lock(lock_);
  return stopped_;
}

std::expected<void, CaptureError> TestToneStrategy::start(std::shared_ptr<AudioSink> sink,
                                                          std::shared_ptr<EventLog> events) {
  auto generator = std::make_shared<Generator>();
  generator->nextBlockNs = static_cast<uint64_t>(clock_->nowNs());
  std::weak_ptr<TestToneStrategy> weak = weak_from_this();
  auto fire = [weak, generator, sink] {
    auto self = weak.lock();
    if (!self)
      return;
    auto now = static_cast<uint64_t>(self->clock_->nowNs());
    std::array<float, kBlockFrames> block;
    while (now >= generator->nextBlockNs) {
      if (self->isStopped())
        break;
      for (float& sample : block) {
        sample = static_cast<float>(std::sin(generator->phase) * kAmplitude);
        generator->phase += kPhaseStep;
      }
      sink->write(block, kRateHz, generator->nextBlockNs);
      generator->nextBlockNs += kBlockNs;
    }
  };
  // The first run is due now, then every 10 ms.
  queue_->async(fire);
  timer_ = queue_->every(std::chrono::nanoseconds(kBlockNs), fire);
  events->append("track_started", Json{{"track", sink->name()}, {"strategy", "test-tone"}});
  return {};
}

void TestToneStrategy::stop() {
  {
    std::lock_guard lock(lock_);
    stopped_ = true;
  }
  queue_->sync([this] {
    timer_.cancel();
    timer_ = TimerHandle();
  });
}

} // namespace va
