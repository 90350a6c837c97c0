#include "platform/path_watch.h"

#include <algorithm>

namespace va {

void PathWatch::grace(uint64_t nowNs) {
  lastHeardNs_ = std::max(lastHeardNs_, nowNs);
  lastCycleNs_ = std::max(lastCycleNs_, nowNs);
}

std::optional<PathWatch::Repair> PathWatch::cycle(uint64_t nowNs, bool heard) {
  lastCycleNs_ = std::max(lastCycleNs_, nowNs);
  bool mended = heard || (reason_ == "not_scheduled" && nowNs > detectedNs_);
  if (!mended)
    return std::nullopt;
  std::optional<Repair> repair;
  if (brokenSinceNs_)
    repair = Repair{nowNs > *brokenSinceNs_ ? nowNs - *brokenSinceNs_ : 0, reason_};
  if (heard)
    lastHeardNs_ = std::max(lastHeardNs_, nowNs);
  brokenSinceNs_.reset();
  reason_.clear();
  return repair;
}

PathWatch::Action PathWatch::check(uint64_t nowNs, bool due, bool stalled) {
  if (!brokenSinceNs_) {
    if (!due && !stalled) {
      lastHeardNs_ = std::max(lastHeardNs_, nowNs); // nothing is expected: silence is no fault
      return Action::none;
    }
    bool unscheduled = stalled || nowNs >= lastCycleNs_ + kBrokenNs;
    if (nowNs < lastHeardNs_ + (unscheduled ? kUnscheduledNs : kBrokenNs))
      return Action::none;
    brokenSinceNs_ = lastHeardNs_;
    detectedNs_ = nowNs;
    reason_ = unscheduled ? "not_scheduled" : "no_data";
    backoffNs_ = 1'000'000'000;
    nextActionNs_ = nowNs + backoffNs_;
    return Action::restart;
  }
  // Broken: the ladder goes on while something is expected.
  if ((!due && !stalled) || nowNs < nextActionNs_)
    return Action::none;
  backoffNs_ = std::min(backoffNs_ * 2, kMaxBackoffNs);
  nextActionNs_ = nowNs + backoffNs_;
  return Action::restart;
}

} // namespace va
