#pragma once

#include "platform/tap_io.h"

#include <cstdint>
#include <map>
#include <set>
#include <variant>
#include <vector>

namespace va {

// Decides, observation by observation, when a matching process is armed (taken into the tap).
// With deferral on, a process is armed once it has done audio I/O for one unbroken second, or
// at once when it already plays at the first observation. A plain value: no platform calls,
// times come in as arguments (monotonic ns, never decreasing).
class ArmTracker {
public:
  static constexpr uint64_t kSettleNs = 1'000'000'000;

  struct Deferred {
    AudioProcessInfo process;
  };
  struct Armed {
    AudioProcessInfo process;
    double deferredMs = 0, ioSeenAfterMs = 0, settledMs = 0; // one decimal
    bool alreadyRunning = false;
  };
  struct Reset {
    AudioProcessInfo process;
    double ranForMs = 0; // one decimal
  };
  using Event = std::variant<Deferred, Armed, Reset>;

  // `matching` in the caller's order; at most one event per process.
  std::vector<Event> observe(const std::vector<AudioProcessInfo>& matching, uint64_t nowNs,
                             bool initial, bool deferUntilIO);

  const std::set<uint32_t>& armed() const { return armed_; }
  bool settling() const { return !runningSince_.empty(); }

private:
  std::set<uint32_t> armed_;
  std::map<uint32_t, uint64_t> deferredSince_;
  std::map<uint32_t, uint64_t> runningSince_; // start of the current unbroken I/O
};

// A span in nanoseconds as milliseconds with one decimal, halves away from zero.
double roundedMs(uint64_t ns);

} // namespace va
