#include "capture/event_log.h"

#include "capture/capture_strategy.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace va {

Json CaptureEvent::json() const {
  Json out = fields.is_object() ? fields : Json::object();
  out["seq"] = seq;
  out["tNs"] = tNs;
  out["type"] = type;
  return out;
}

EventLog::EventLog(std::shared_ptr<const Clock> clock) : clock_(std::move(clock)) {}

int64_t EventLog::append(std::string type, Json fields) {
  int64_t seq;
  {
    std::lock_guard lock(mutex_);
    seq = nextSeq_++;
    // Read under the lock so that time stamps never go backwards along the log.
    auto tNs = static_cast<uint64_t>(clock_->nowNs());
    items_.push_back(CaptureEvent{seq, tNs, std::move(type), std::move(fields)});
    while (static_cast<int64_t>(items_.size()) > kKeep)
      items_.pop_front();
    cond_.notify_all();
  }
  return seq;
}

std::vector<CaptureEvent> EventLog::newer(int64_t after) const {
  // seq is consecutive along the log, so the tail starts at a computable position.
  if (items_.empty() || after >= items_.back().seq)
    return {};
  int64_t first = items_.front().seq;
  size_t skip = after < first ? 0 : static_cast<size_t>(after - first + 1);
  return std::vector<CaptureEvent>(items_.begin() + static_cast<std::ptrdiff_t>(skip),
                                   items_.end());
}

std::vector<CaptureEvent> EventLog::wait(int64_t after, double timeoutS) {
  // The deadline is on the monotonic clock: a wall-clock change neither cuts nor stretches it.
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration budget{0};
  if (timeoutS > 0) {
    // Clamp so that an absurd timeout cannot overflow the deadline arithmetic (about 100 years).
    double ns = std::min(timeoutS, 3.0e9) * 1e9;
    budget = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::nanoseconds(static_cast<int64_t>(ns)));
  }
  auto deadline = start + budget;
  std::unique_lock lock(mutex_);
  for (;;) {
    std::vector<CaptureEvent> found = newer(after);
    if (!found.empty())
      return found;
    if (cond_.wait_until(lock, deadline) == std::cv_status::timeout)
      break;
  }
  return newer(after);
}

std::vector<CaptureEvent> EventLog::snapshot(int64_t after) const {
  std::lock_guard lock(mutex_);
  return newer(after);
}

std::function<void(double lostS, const std::string& reason)>
repairReporter(std::weak_ptr<EventLog> events, std::string track) {
  return [events = std::move(events), track = std::move(track)](double lostS,
                                                                const std::string& reason) {
    if (auto log = events.lock())
      log->append(
          "track_repaired",
          Json{{"track", track}, {"lostS", std::round(lostS * 1000) / 1000}, {"reason", reason}});
  };
}

} // namespace va
