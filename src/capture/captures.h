#pragma once

#include "capture/capture_spec.h"
#include "capture/capture_strategy.h"
#include "capture/echo_link.h"
#include "capture/event_log.h"
#include "capture/process_match.h"
#include "capture/remote_strategies.h"
#include "capture/track_sink.h"
#include "core/clock.h"
#include "core/json.h"
#include "platform/tap_io.h"

#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace va {

// One capture: its tracks, their shared event log and, once stopped, its summary. A stopped
// capture keeps only what a client can still ask for (its log and summary): its strategies and
// sinks, with their queues, threads, timers, listeners and files, are released by the stop.
// Threads: the accessors from any thread; stop() from any thread but a sink's or strategy's
// queue. Tracks are filled by the registry before the capture is shared; tracks() is read only
// before that.
class Capture {
public:
  struct Track {
    std::string name; // "mic", "micRaw" or "remote"
    std::shared_ptr<TrackSink> sink;
    std::shared_ptr<CaptureStrategy> strategy; // none for "micRaw", which the mic's feeds
    std::shared_ptr<AudioSink> input;          // where the strategy writes; default: `sink`
  };
  // What the mic track's echo canceller hears: the default output's monitor into its sink.
  struct Reference {
    std::shared_ptr<OutputMonitorIO> io;
    std::shared_ptr<ReferenceSink> sink;
  };

  Capture(std::string id, std::string dir, std::shared_ptr<const Clock> clock);

  const std::string& id() const { return id_; }
  const std::string& dir() const { return dir_; }
  uint64_t startedAtNs() const { return startedAtNs_; } // when it was made (host-clock ns)
  const std::shared_ptr<EventLog>& events() const { return events_; }
  // The tracks' latest levels; they stay after the stop.
  const std::shared_ptr<TrackLevels>& levels() const { return levels_; }
  const std::vector<Track>& tracks() const { return tracks_; }

  // Stops every strategy, then finishes every sink, once; returns {"tracks": {name:
  // {"segments", "frames", "droppedS", "lostS"}}}, which is also the log's last event,
  // "capture_stopped" {"summary"}. Concurrent and later calls wait for the first and return its
  // summary.
  Json stop();
  // Nothing while the capture records.
  std::optional<Json> summary() const;
  bool isRecording() const;
  // When the stop came (host-clock ns); nothing while the capture records.
  std::optional<uint64_t> stoppedAtNs() const;

private:
  friend class Captures;
  // The summary, and whether this call was the one that stopped the capture.
  std::pair<Json, bool> stopOnce();

  const std::string id_;
  const std::string dir_;
  const std::shared_ptr<const Clock> clock_;
  const uint64_t startedAtNs_;
  const std::shared_ptr<EventLog> events_;
  const std::shared_ptr<TrackLevels> levels_ = std::make_shared<TrackLevels>();
  std::vector<Track> tracks_;          // written only while the capture is being built
  std::optional<Reference> reference_; // likewise

  std::mutex stopMutex_;         // held over the whole of stop()
  mutable std::mutex stateLock_; // guards summary_ and stoppedAtNs_ only
  std::optional<Json> summary_;
  std::optional<uint64_t> stoppedAtNs_;
  uint64_t claimOwner_ = 0;  // the registry's number for the directories the capture holds
  size_t claimedTracks_ = 0; // of the registry's track count
};

// Why a capture could not be created.
struct CreateError {
  enum class Kind {
    failed,
    microphoneDenied,
    unsupportedStrategy,
    directoryBusy,
    tooManyCaptures,
    busy, // a resource (thread, descriptor, timer) could not be had; may succeed later
  };
  Kind kind;
  std::string description; // failed and busy: the sink's or the strategy's error

  // For diagnostics: failed("..."), busy("..."), microphoneDenied, unsupportedStrategy,
  // directoryBusy, tooManyCaptures.
  std::string text() const;
};

// Every capture of the process, by id. A stopped capture is kept (its events and summary can
// still be asked for) for kKeptStoppedS after its stop, and only the kKeptStopped most recently
// stopped ones; then it is forgotten. One directory records one capture at a time, for the whole
// of its life: a directory a capture makes again is claimed for it as well.
// A create is refused for the request's own faults (microphoneDenied, unsupportedStrategy) before
// its resources are looked at (directoryBusy, tooManyCaptures, busy). Whatever way a create fails,
// the directory and the tracks it claimed are given back and what it made is stopped.
// Threads: any. `lock_` guards `byID_`, the track counts and the callback slots only and is never
// held while a factory, a strategy, a sink or the callback runs; the claims have their own lock,
// taken inside `lock_` or alone.
class Captures {
public:
  static constexpr size_t kKeptStopped = 64;
  static constexpr uint64_t kKeptStoppedS = 3600;

  using MicStatus = std::function<std::string()>;
  using MakeMic = std::function<std::shared_ptr<CaptureStrategy>(std::optional<std::string>)>;
  using MakeRemote =
      std::function<std::expected<std::shared_ptr<CaptureStrategy>, RemoteStrategies::Refusal>(
          const std::string& name, const ProcessMatch& match)>;
  using MakeReference = std::function<std::shared_ptr<OutputMonitorIO>()>;
  using CountCallback = std::function<void(int64_t recording)>;

  struct Factories {
    MicStatus micStatus;                 // "granted", "denied", "restricted" or "not_determined"
    MakeMic makeMic;                     // the microphone track's strategy for a device uid
    MakeRemote makeRemote;               // the remote track's strategy by name; may refuse
    TrackSink::MakeQueue makeQueue = {}; // the sinks' queues; default: SerialQueue::make
    MakeReference makeReference = {};    // the echo canceller's reference; none: no cancelling
  };

  Captures(Factories factories, std::shared_ptr<const Clock> clock);

  // Told the number of recording captures after each create and each first stop by id, on the
  // thread that made the change.
  void setOnRecordingCountChange(CountCallback callback);
  // At most `tracks` tracks record at once (each holds descriptors); a capture that would make
  // more is refused (tooManyCaptures). Unlimited until set.
  void setTrackLimit(size_t tracks);
  // Told the number of tracks that record or are being made, on the creating or stopping thread,
  // before a new capture opens anything and after a stopped one has closed everything.
  void setOnTracksChange(std::function<void(size_t tracks)> callback);

  std::expected<std::shared_ptr<Capture>, CreateError> create(const CaptureSpec& spec);
  // The capture's summary, stopping it first if it records; nothing for an unknown id.
  std::optional<Json> stop(const std::string& id);

  // Nothing for an unknown id, or one forgotten since its stop.
  std::shared_ptr<Capture> find(const std::string& id) const;
  std::vector<std::shared_ptr<Capture>> all() const;
  int64_t recordingCount() const;
  // The directories (device, inode) that recording captures, and captures being made, hold.
  std::set<DirectoryKey> claimedDirectories() const;
  // Calls the callback, if any, with the current count; true when there was one.
  bool reportRecordingCount();

private:
  // The directories (device, inode) of recording captures and of captures being created, to the
  // number of the capture that holds them. Shared with the sinks, which claim what they make again.
  struct Claims {
    std::mutex lock;
    std::map<DirectoryKey, uint64_t> owners;
  };
  // Checks the request, claims the directory and the tracks (`owner` set once they are), then
  // makes the capture into `capture`, which the caller stops if this fails or throws.
  std::expected<std::shared_ptr<Capture>, CreateError> build(const CaptureSpec& spec,
                                                             DirectoryKey key, size_t wanted,
                                                             uint64_t& owner,
                                                             std::shared_ptr<Capture>& capture);
  DirectoryClaims claimsOf(uint64_t owner) const;
  void releaseClaims(uint64_t owner);
  int64_t countRecordingLocked() const;
  void forgetStoppedLocked() const;
  // Adds `taken` and removes `given` recording tracks, and reports the new number.
  void changeTracks(size_t taken, size_t given);

  const Factories factories_;
  const std::shared_ptr<const Clock> clock_;
  const std::shared_ptr<Claims> claims_ = std::make_shared<Claims>();

  mutable std::mutex lock_;
  mutable std::map<std::string, std::shared_ptr<Capture>> byID_; // lookups forget old stops
  uint64_t lastOwner_ = 0;
  size_t trackLimit_ = SIZE_MAX;
  size_t tracks_ = 0; // of recording captures and captures being made
  CountCallback onRecordingCountChange_;
  std::function<void(size_t)> onTracksChange_;
};

} // namespace va
