#include "platform/cycle_clock.h"

#include <algorithm>
#include <cmath>

namespace va {

uint64_t CycleClock::date(uint64_t position, double rateHz, uint64_t cycleNs) {
  if (!(rateHz > 0))
    return cycleNs;
  const double positionNs = static_cast<double>(position) / rateHz * 1e9;
  const auto offset = static_cast<int64_t>(static_cast<double>(cycleNs) - positionNs);
  int64_t least = offset;
  for (size_t i = 0; i < count_; ++i)
    least = std::min(least, offsets_[i]);
  if (rateHz != rateHz_ || count_ == 0 || offset - least > kResyncNs) {
    // Another rate or another driver: start again from this cycle.
    rateHz_ = rateHz;
    count_ = 0;
    next_ = 0;
    least = offset;
  }
  offsets_[next_] = offset;
  next_ = (next_ + 1) % kWindow;
  count_ = std::min(count_ + 1, kWindow);
  const double dated = positionNs + static_cast<double>(least);
  return dated > 0 ? static_cast<uint64_t>(std::llround(dated)) : 0;
}

} // namespace va
