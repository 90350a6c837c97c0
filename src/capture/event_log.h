#pragma once

#include "core/clock.h"
#include "core/json.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace va {

struct CaptureEvent {
  int64_t seq = 0;
  uint64_t tNs = 0; // host clock at the append
  std::string type;
  Json fields = Json::object();

  // The fields with "seq", "tNs" and "type" set over any field of the same name.
  Json json() const;
};

// One capture's bounded event log. Appends come from any thread (sinks, strategies, request
// threads); readers long-poll from request threads. One mutex guards everything; every append
// broadcasts. Nothing is called out while the lock is held.
class EventLog {
public:
  static constexpr int64_t kKeep = 10000;

  explicit EventLog(std::shared_ptr<const Clock> clock);

  // Records one event and returns its sequence number (the first is 1).
  int64_t append(std::string type, Json fields = Json::object());
  // The retained events after `after`, oldest first; if there are none yet, waits until one is
  // appended or `timeoutS` seconds have passed on the monotonic clock. May return nothing.
  std::vector<CaptureEvent> wait(int64_t after, double timeoutS);
  // The retained events after `after`, without waiting.
  std::vector<CaptureEvent> snapshot(int64_t after) const;

private:
  std::vector<CaptureEvent> newer(int64_t after) const; // lock held

  const std::shared_ptr<const Clock> clock_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<CaptureEvent> items_; // oldest first, consecutive seq
  int64_t nextSeq_ = 1;
};

} // namespace va
