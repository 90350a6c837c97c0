#include "core/clock.h"

#include <time.h>

namespace va {

int64_t MonotonicClock::nowNs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

} // namespace va
