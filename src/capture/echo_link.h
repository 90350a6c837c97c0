#pragma once

#include "capture/audio_sink.h"
#include "capture/echo_canceller.h"
#include "capture/event_log.h"
#include "capture/resampler.h"
#include "capture/track_sink.h"
#include "core/batch.h"
#include "core/task_queue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace va {

// Joins the mic track's sink to what the speakers play: the stage of the mic sink (its queue)
// and the converted reference (the reference sink's queue) meet in one canceller under `lock_`;
// cancelled frames are emitted after it is released.
// A link that is not enabled passes the microphone through untouched. Appends "echo_path"
// {"track": "mic", "delayMs"} when the echo path's delay is found and when it moves.
class EchoLink final : public FrameStage {
public:
  EchoLink(std::unique_ptr<EchoEngine> engine, std::shared_ptr<EventLog> events);

  // Before the mic track starts: frames are cancelled from then on.
  void enable() { enabled_ = true; }
  void push(std::span<const int16_t> frames, uint64_t firstNs, const Emit& emit) override;
  void flush(const Emit& emit) override;
  void reference(std::span<const int16_t> frames, uint64_t firstNs);

private:
  const std::shared_ptr<EventLog> events_;
  std::atomic<bool> enabled_{false};
  std::mutex lock_;
  EchoCanceller canceller_; // under lock_
};

// Takes the reference's blocks (mono float at the device's rate, from any thread) and hands
// them at 16 kHz, dated, to a link, on its own queue. Nothing is written anywhere.
class ReferenceSink final : public AudioSink, public std::enable_shared_from_this<ReferenceSink> {
public:
  static constexpr size_t kMaxQueuedSamples = 96'000; // 2 s at 48 kHz waiting for the queue

  ReferenceSink(std::shared_ptr<EchoLink> link, std::shared_ptr<TaskQueue> queue);
  const std::string& name() const override { return name_; }
  void write(std::span<const float> samples, double rateHz, uint64_t hostNs) override;
  uint64_t lastFrameNs() const override { return lastFrameNs_.load(); }
  void split() override;
  // Waits until every block written before has reached the link.
  void finish();

private:
  void ingest(std::span<const float> samples, double rateHz, uint64_t hostNs);

  const std::string name_ = "reference";
  const std::shared_ptr<EchoLink> link_;
  const std::shared_ptr<TaskQueue> queue_;
  std::atomic<uint64_t> lastFrameNs_{0};
  std::atomic<size_t> queued_{0}; // input samples waiting on the queue
  struct Block {
    double rateHz;
    uint64_t hostNs;
  };
  std::mutex lock_;
  BlockBatch<Block> blocks_;       // under lock_: written, not yet taken by the queue
  BlockBatch<Block>::Taken taken_; // queue only: the batch being ingested
  // Queue only.
  std::unique_ptr<Resampler> converter_;
  OutputClock outputClock_;
  int64_t output_ = 0;
};

// Hands every block to two sinks: the mic track and its unprocessed copy. The first names it.
class TeeSink final : public AudioSink {
public:
  TeeSink(std::shared_ptr<AudioSink> first, std::shared_ptr<AudioSink> second)
      : first_(std::move(first)), second_(std::move(second)) {}
  const std::string& name() const override { return first_->name(); }
  void write(std::span<const float> samples, double rateHz, uint64_t hostNs) override {
    first_->write(samples, rateHz, hostNs);
    second_->write(samples, rateHz, hostNs);
  }
  uint64_t lastFrameNs() const override { return first_->lastFrameNs(); }
  void split() override {
    first_->split();
    second_->split();
  }

private:
  const std::shared_ptr<AudioSink> first_, second_;
};

} // namespace va
