#pragma once

#include <atomic>
#include <cstdint>

namespace va {

// Monotonic host time in nanoseconds. Every time stamp in the service (event "tNs", block times,
// stall and arming times) is read through this interface, so tests can drive time by hand.
class Clock {
public:
  virtual ~Clock() = default;
  virtual int64_t nowNs() const = 0;
};

// CLOCK_MONOTONIC: the clock of PipeWire's buffer time stamps and of std::chrono::steady_clock.
class MonotonicClock final : public Clock {
public:
  int64_t nowNs() const override;
};

// A clock that moves only when told to. Safe to read from any thread.
class ManualClock final : public Clock {
public:
  explicit ManualClock(int64_t startNs = 0) : nowNs_(startNs) {}
  int64_t nowNs() const override { return nowNs_.load(std::memory_order_acquire); }
  void set(int64_t ns) { nowNs_.store(ns, std::memory_order_release); }
  void advance(int64_t ns) { nowNs_.fetch_add(ns, std::memory_order_acq_rel); }

private:
  std::atomic<int64_t> nowNs_;
};

} // namespace va
