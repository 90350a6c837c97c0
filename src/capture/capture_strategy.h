#pragma once

#include "core/json.h"
#include "platform/capture_error.h"

#include <expected>
#include <functional>
#include <memory>
#include <string>

namespace va {

class EventLog;
class AudioSink;

// Appends "track_repaired" {"track", "lostS" (three decimals), "reason"} to a log while it lives:
// where a strategy's platform input reports a repaired path. Callable from any thread.
std::function<void(double lostS, const std::string& reason)>
repairReporter(std::weak_ptr<EventLog> events, std::string track);

// The source of one track. start() is called once, from a request thread; stop() exactly once
// per capture, from a request thread or the exit path, never from the strategy's own queue.
// After stop() returns, nothing more reaches the sink.
class CaptureStrategy {
public:
  virtual ~CaptureStrategy() = default;
  virtual std::expected<void, CaptureError> start(std::shared_ptr<AudioSink> sink,
                                                  std::shared_ptr<EventLog> events) = 0;
  virtual void stop() = 0;
  // Fields added to each "track_started" of the track; before start(). Default: ignored.
  virtual void addStartedFields(Json fields) { (void)fields; }
};

} // namespace va
