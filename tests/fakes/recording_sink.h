#pragma once

#include "capture/audio_sink.h"
#include "core/clock.h"

#include <memory>
#include <mutex>
#include <vector>

namespace va::testing_support {

// An AudioSink that keeps every call, for strategy tests. Thread-safe.
class RecordingSink final : public AudioSink {
public:
  struct Block {
    std::vector<float> samples;
    double rateHz;
    uint64_t hostNs;
  };

  explicit RecordingSink(std::shared_ptr<const Clock> clock, std::string name = "remote")
      : clock_(std::move(clock)), name_(std::move(name)) {}

  const std::string& name() const override { return name_; }
  void write(std::span<const float> samples, double rateHz, uint64_t hostNs) override {
    std::lock_guard lock(mutex_);
    blocks_.push_back(Block{{samples.begin(), samples.end()}, rateHz, hostNs});
    lastFrameNs_ = static_cast<uint64_t>(clock_->nowNs());
  }
  uint64_t lastFrameNs() const override {
    std::lock_guard lock(mutex_);
    return lastFrameNs_;
  }
  void split() override {
    std::lock_guard lock(mutex_);
    ++splits_;
  }

  std::vector<Block> blocks() const {
    std::lock_guard lock(mutex_);
    return blocks_;
  }
  size_t blockCount() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
  }
  int splits() const {
    std::lock_guard lock(mutex_);
    return splits_;
  }

private:
  const std::shared_ptr<const Clock> clock_;
  const std::string name_;
  mutable std::mutex mutex_;
  std::vector<Block> blocks_;
  uint64_t lastFrameNs_ = 0;
  int splits_ = 0;
};

} // namespace va::testing_support
