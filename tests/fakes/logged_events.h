#pragma once

#include "capture/event_log.h"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace va::testing_support {

// An event as the strategy tests compare it: its type and fields, without seq and time.
struct LoggedEvent {
  std::string type;
  Json fields;
  bool operator==(const LoggedEvent&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const LoggedEvent& e) {
  return out << e.type << " " << e.fields.dump();
}

// Reads a capture's event log on from where it last stopped.
class EventReader {
public:
  explicit EventReader(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}
  // The events appended since the last call.
  std::vector<LoggedEvent> take() {
    std::vector<LoggedEvent> out;
    for (const CaptureEvent& e : log_->snapshot(seen_)) {
      out.push_back({e.type, e.fields});
      seen_ = e.seq;
    }
    return out;
  }

private:
  std::shared_ptr<EventLog> log_;
  int64_t seen_ = 0;
};

} // namespace va::testing_support
