#pragma once

#include "capture/capture_spec.h"
#include "capture/capture_strategy.h"
#include "capture/event_log.h"
#include "capture/process_match.h"
#include "capture/remote_strategies.h"
#include "capture/track_sink.h"
#include "core/clock.h"
#include "core/json.h"

#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace va {

// One capture: its tracks, their shared event log and, once stopped, its summary.
// Threads: the accessors from any thread; stop() from any thread but a sink's or strategy's
// queue. Tracks are filled by the registry before the capture is shared.
class Capture {
public:
  struct Track {
    std::string name; // "mic" or "remote"
    std::shared_ptr<TrackSink> sink;
    std::shared_ptr<CaptureStrategy> strategy;
  };

  Capture(std::string id, std::string dir, std::shared_ptr<const Clock> clock);

  const std::string& id() const { return id_; }
  const std::string& dir() const { return dir_; }
  const std::shared_ptr<EventLog>& events() const { return events_; }
  const std::vector<Track>& tracks() const { return tracks_; }

  // Stops every strategy, then finishes every sink, once; returns {"tracks": {name:
  // {"segments", "frames"}}}. Concurrent and later calls wait for the first and return its
  // summary.
  Json stop();
  // Nothing while the capture records.
  std::optional<Json> summary() const;
  bool isRecording() const { return !summary().has_value(); }

private:
  friend class Captures;
  // The summary, and whether this call was the one that stopped the capture.
  std::pair<Json, bool> stopOnce();

  const std::string id_;
  const std::string dir_;
  const std::shared_ptr<EventLog> events_;
  std::vector<Track> tracks_; // written only while the capture is being built

  std::mutex stopMutex_;         // held over the whole of stop()
  mutable std::mutex stateLock_; // guards summary_ only
  std::optional<Json> summary_;
};

// Why a capture could not be created.
struct CreateError {
  enum class Kind { failed, microphoneDenied, unsupportedStrategy };
  Kind kind;
  std::string description; // failed only: the sink's or the strategy's error

  // For diagnostics: failed("..."), microphoneDenied, unsupportedStrategy.
  std::string text() const;
};

// Every capture of the process, by id. Captures are never removed.
// Threads: any. `lock_` guards `byID_` and the callback slot only and is never held while a
// factory, a strategy, a sink or the callback runs.
class Captures {
public:
  using MicStatus = std::function<std::string()>;
  using MakeMic = std::function<std::shared_ptr<CaptureStrategy>(std::optional<std::string>)>;
  using MakeRemote =
      std::function<std::expected<std::shared_ptr<CaptureStrategy>, RemoteStrategies::Refusal>(
          const std::string& name, const ProcessMatch& match)>;
  using CountCallback = std::function<void(int64_t recording)>;

  struct Factories {
    MicStatus micStatus;   // "granted", "denied", "restricted" or "not_determined"
    MakeMic makeMic;       // the microphone track's strategy for a device uid
    MakeRemote makeRemote; // the remote track's strategy by name; may refuse
  };

  Captures(Factories factories, std::shared_ptr<const Clock> clock);

  // Told the number of recording captures after each create and each first stop by id, on the
  // thread that made the change.
  void setOnRecordingCountChange(CountCallback callback);

  std::expected<std::shared_ptr<Capture>, CreateError> create(const CaptureSpec& spec);
  // The capture's summary, stopping it first if it records; nothing for an unknown id.
  std::optional<Json> stop(const std::string& id);

  std::shared_ptr<Capture> find(const std::string& id) const;
  std::vector<std::shared_ptr<Capture>> all() const;
  int64_t recordingCount() const;
  // Calls the callback, if any, with the current count; true when there was one.
  bool reportRecordingCount();

private:
  std::expected<std::shared_ptr<Capture>, CreateError> build(const CaptureSpec& spec);
  int64_t countRecordingLocked() const;

  const Factories factories_;
  const std::shared_ptr<const Clock> clock_;

  mutable std::mutex lock_;
  std::map<std::string, std::shared_ptr<Capture>> byID_;
  CountCallback onRecordingCountChange_;
};

} // namespace va
