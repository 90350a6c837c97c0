#include "capture/arm_tracker.h"

#include <algorithm>
#include <cmath>

namespace va {

double roundedMs(uint64_t ns) {
  return std::round(static_cast<double>(ns) / 100'000.0) / 10.0;
}

std::vector<ArmTracker::Event> ArmTracker::observe(const std::vector<AudioProcessInfo>& matching,
                                                   uint64_t nowNs, bool initial,
                                                   bool deferUntilIO) {
  // A process that left the list starts from scratch if it comes back.
  auto present = [&](uint32_t id) {
    return std::any_of(matching.begin(), matching.end(),
                       [id](const AudioProcessInfo& p) { return p.objectID == id; });
  };
  std::erase_if(armed_, [&](uint32_t id) { return !present(id); });
  std::erase_if(deferredSince_, [&](const auto& entry) { return !present(entry.first); });
  std::erase_if(runningSince_, [&](const auto& entry) { return !present(entry.first); });

  std::vector<Event> events;
  for (const AudioProcessInfo& process : matching) {
    const uint32_t id = process.objectID;
    const bool running = process.runningOutput || process.runningInput;
    if (armed_.contains(id))
      continue;
    if (!deferUntilIO) {
      armed_.insert(id);
      events.push_back(Armed{process, 0, 0, 0, initial});
      continue;
    }
    if (!deferredSince_.contains(id)) {
      deferredSince_[id] = nowNs;
      if (!(initial && running))
        events.push_back(Deferred{process});
    }
    if (!running) {
      if (auto it = runningSince_.find(id); it != runningSince_.end()) {
        events.push_back(Reset{process, roundedMs(nowNs - it->second)});
        runningSince_.erase(it);
      }
      continue;
    }
    const uint64_t ioStart = runningSince_.try_emplace(id, nowNs).first->second;
    if (!initial && nowNs - ioStart < kSettleNs)
      continue;
    armed_.insert(id);
    runningSince_.erase(id);
    const uint64_t deferred = deferredSince_[id];
    events.push_back(Armed{process, roundedMs(nowNs - deferred), roundedMs(ioStart - deferred),
                           roundedMs(nowNs - ioStart), initial});
  }
  return events;
}

} // namespace va
