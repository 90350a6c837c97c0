#pragma once

#include "capture/audio_sink.h"
#include "capture/event_log.h"
#include "core/manual_queue.h"
#include "platform/change_notifier.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace va::testing_support {

// An AudioSink that keeps every call. Thread-safe.
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

// An event as the strategy tests compare it: its type and fields, without seq and time.
struct LoggedEvent {
  std::string type;
  Json fields;
  bool operator==(const LoggedEvent&) const = default;
};
using Events = std::vector<LoggedEvent>;
inline std::ostream& operator<<(std::ostream& out, const LoggedEvent& e) {
  return out << e.type << " " << e.fields.dump();
}

// A strategy's surroundings in virtual time: a manual clock and queue, a listener registry, a
// sink that keeps every block, and the capture's event log, read on with take().
class ManualTimeTest : public ::testing::Test {
protected:
  // The events appended since the last call.
  Events take() {
    Events out;
    for (const CaptureEvent& e : events->snapshot(seen_)) {
      out.push_back({e.type, e.fields});
      seen_ = e.seq;
    }
    return out;
  }
  void notify(ChangeKind kind, uint32_t object = 0) {
    notifier->notify({kind, object});
    queue->runUntilIdle();
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1'000'000'000'000);
  std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>(clock);
  std::shared_ptr<ListenerRegistry> notifier = std::make_shared<ListenerRegistry>();
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>(clock);
  std::shared_ptr<EventLog> events = std::make_shared<EventLog>(clock);

private:
  int64_t seen_ = 0;
};

} // namespace va::testing_support
