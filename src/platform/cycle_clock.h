#pragma once

// Dates a capture node's cycles on the host clock. A cycle's own time is when the driver woke,
// which a loaded machine makes late now and then (a cycle 21 ms late, the next one on time: a
// hole and an overlap that were never there); its frame position is exact. A cycle is dated at
// its position / rate plus the least offset (time - position / rate) of the last 32 cycles, so
// a late wake moves nothing and a missed cycle shows as a jump of the position. A lasting change
// of offset (the driver's clock drifting, a quantum change) is taken once no earlier cycle is
// left in the window, a large one (another driver) at once. Pure; one thread.

#include <array>
#include <cstddef>
#include <cstdint>

namespace va {

class CycleClock {
public:
  static constexpr size_t kWindow = 32;
  static constexpr int64_t kResyncNs = 100'000'000; // a jump this large is no late wake

  // The host time (ns) of the first frame of the cycle at `position` (frames at `rateHz`) whose
  // driver woke at `cycleNs`.
  uint64_t date(uint64_t position, double rateHz, uint64_t cycleNs);

private:
  std::array<int64_t, kWindow> offsets_{};
  size_t count_ = 0; // offsets held, up to kWindow
  size_t next_ = 0;
  double rateHz_ = 0;
};

} // namespace va
