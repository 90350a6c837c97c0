#include "capture/captures.h"

#include "core/log.h"
#include "core/random.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <sys/stat.h>

namespace va {

Capture::Capture(std::string id, std::string dir, std::shared_ptr<const Clock> clock)
    : id_(std::move(id)), dir_(std::move(dir)), clock_(clock),
      events_(std::make_shared<EventLog>(std::move(clock))) {}

Json Capture::stop() {
  return stopOnce().first;
}

std::pair<Json, bool> Capture::stopOnce() {
  std::lock_guard stopping(stopMutex_);
  if (auto done = summary())
    return {*done, false};
  for (const Track& track : tracks_)
    track.strategy->stop();
  Json tracks = Json::object();
  for (const Track& track : tracks_) {
    TrackSummary totals = track.sink->finish();
    tracks[track.name] = Json{{"segments", totals.segments},
                              {"frames", totals.frames},
                              {"droppedS", std::round(static_cast<double>(totals.droppedFrames) /
                                                      SegmentWriter::kRateHz * 1000) /
                                               1000}};
  }
  Json summary{{"tracks", std::move(tracks)}};
  {
    std::lock_guard lock(stateLock_);
    summary_ = summary;
    stoppedAtNs_ = clock_->nowNs();
  }
  // Nothing of the recording is needed any more: strategies and sinks go, with their queues and
  // threads, timers, listeners and open files.
  for (Track& track : tracks_) {
    track.strategy.reset();
    track.sink.reset();
  }
  return {summary, true};
}

std::optional<uint64_t> Capture::stoppedAtNs() const {
  std::lock_guard lock(stateLock_);
  return stoppedAtNs_;
}

std::optional<Json> Capture::summary() const {
  std::lock_guard lock(stateLock_);
  return summary_;
}

bool Capture::isRecording() const {
  std::lock_guard lock(stateLock_);
  return !summary_.has_value();
}

std::string CreateError::text() const {
  switch (kind) {
  case Kind::failed:
    return "failed(\"" + description + "\")";
  case Kind::microphoneDenied:
    return "microphoneDenied";
  case Kind::unsupportedStrategy:
    return "unsupportedStrategy";
  case Kind::directoryBusy:
    return "directoryBusy";
  case Kind::tooManyCaptures:
    return "tooManyCaptures";
  case Kind::busy:
    return "busy(\"" + description + "\")";
  }
  return "unknown";
}

Captures::Captures(Factories factories, std::shared_ptr<const Clock> clock)
    : factories_(std::move(factories)), clock_(std::move(clock)) {}

void Captures::setOnRecordingCountChange(CountCallback callback) {
  std::lock_guard lock(lock_);
  onRecordingCountChange_ = std::move(callback);
}

void Captures::setTrackLimit(size_t tracks) {
  std::lock_guard lock(lock_);
  trackLimit_ = tracks;
}

void Captures::setOnTracksChange(std::function<void(size_t tracks)> callback) {
  std::lock_guard lock(lock_);
  onTracksChange_ = std::move(callback);
}

void Captures::changeTracks(size_t taken, size_t given) {
  std::function<void(size_t)> callback;
  size_t now = 0;
  {
    std::lock_guard lock(lock_);
    tracks_ = tracks_ + taken - given;
    now = tracks_;
    callback = onTracksChange_;
  }
  if (callback)
    callback(now);
}

std::expected<std::shared_ptr<Capture>, CreateError> Captures::create(const CaptureSpec& spec) {
  // One recording per directory, and no more tracks than descriptors allow: claimed before
  // anything is made, so two requests at once cannot both have them.
  struct stat info {};
  if (!spec.directory || ::fstat(spec.directory->dir.get(), &info) != 0)
    return std::unexpected(CreateError{CreateError::Kind::failed, "no capture directory"});
  const std::pair<uint64_t, uint64_t> key{info.st_dev, info.st_ino};
  const size_t wanted = (spec.mic ? 1 : 0) + (spec.remote ? 1 : 0);
  {
    std::lock_guard lock(lock_);
    if (busy_.contains(key))
      return std::unexpected(CreateError{CreateError::Kind::directoryBusy, {}});
    if (tracks_ + wanted > trackLimit_)
      return std::unexpected(CreateError{CreateError::Kind::tooManyCaptures, {}});
    busy_.emplace(key, std::string());
  }
  changeTracks(wanted, 0);
  auto built = build(spec);
  if (!built) {
    {
      std::lock_guard lock(lock_);
      busy_.erase(key);
    }
    changeTracks(0, wanted);
    return built;
  }
  std::shared_ptr<Capture> capture = *built;
  std::string names;
  for (const Capture::Track& track : capture->tracks())
    names += (names.empty() ? "" : "+") + track.name;
  {
    std::lock_guard lock(lock_);
    busy_[key] = capture->id();
    forgetStoppedLocked();
    byID_[capture->id()] = capture;
  }
  log("capture " + capture->id() + " started: " + names + ", " +
      std::to_string(spec.segmentSeconds) + " s segments");
  reportRecordingCount();
  return capture;
}

std::expected<std::shared_ptr<Capture>, CreateError> Captures::build(const CaptureSpec& spec) {
  using Kind = CreateError::Kind;
  if (spec.mic) {
    std::string word = factories_.micStatus();
    if (word == "denied" || word == "restricted")
      return std::unexpected(CreateError{Kind::microphoneDenied, {}});
  }
  std::shared_ptr<CaptureStrategy> remote;
  if (spec.remote) {
    auto made = factories_.makeRemote(spec.remote->strategy, spec.remote->match);
    if (!made)
      return std::unexpected(CreateError{Kind::unsupportedStrategy, {}});
    remote = std::move(*made);
  }

  auto id = randomUUID();
  if (!id)
    return std::unexpected(CreateError{Kind::failed, "no capture id: " + id.error()});
  auto capture = std::make_shared<Capture>(std::move(*id), spec.dir, clock_);

  // Stops what was made, finishes every sink made so far, and reports `description`.
  auto unwind = [&capture](std::string description) {
    capture->stop();
    return std::unexpected(CreateError{Kind::failed, std::move(description)});
  };
  auto addTrack = [&](const std::string& name, auto makeStrategy) -> std::optional<std::string> {
    auto sink = TrackSink::make(
        name, spec.directory, spec.segmentSeconds, capture->events(), clock_,
        TrackSink::Options{.queue = nullptr, .io = nullptr, .levels = capture->levels()});
    if (!sink)
      return "cannot create " + spec.dir + "/tracks/" + name + ": " + sink.error().message();
    capture->tracks_.push_back({name, std::move(*sink), makeStrategy()});
    return std::nullopt;
  };

  if (spec.mic)
    if (auto error = addTrack("mic", [&] { return factories_.makeMic(spec.mic->deviceUid); }))
      return unwind(*error);
  if (remote)
    if (auto error = addTrack("remote", [&] { return std::move(remote); }))
      return unwind(*error);
  for (const Capture::Track& track : capture->tracks_)
    if (auto started = track.strategy->start(track.sink, capture->events()); !started)
      return unwind(started.error().description);
  return capture;
}

std::optional<Json> Captures::stop(const std::string& id) {
  std::shared_ptr<Capture> capture = find(id);
  if (!capture)
    return std::nullopt;
  auto [summary, first] = capture->stopOnce();
  if (first) {
    {
      std::lock_guard lock(lock_);
      std::erase_if(busy_, [&id](const auto& entry) { return entry.second == id; });
      forgetStoppedLocked();
    }
    changeTracks(0, capture->tracks().size());
    log("capture " + id + " stopped: " + writeJson(summary).value_or("{}"));
    reportRecordingCount();
  }
  return summary;
}

void Captures::forgetStoppedLocked() const {
  std::vector<std::pair<uint64_t, std::string>> stopped; // stop time, id
  for (const auto& [id, capture] : byID_)
    if (std::optional<uint64_t> at = capture->stoppedAtNs())
      stopped.emplace_back(*at, id);
  std::sort(stopped.begin(), stopped.end(), std::greater<>());
  const uint64_t now = clock_->nowNs();
  for (size_t i = 0; i < stopped.size(); ++i)
    if (i >= kKeptStopped || now - stopped[i].first > kKeptStoppedS * 1'000'000'000ull)
      byID_.erase(stopped[i].second);
}

std::shared_ptr<Capture> Captures::find(const std::string& id) const {
  std::lock_guard lock(lock_);
  forgetStoppedLocked();
  auto it = byID_.find(id);
  return it == byID_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Capture>> Captures::all() const {
  std::lock_guard lock(lock_);
  std::vector<std::shared_ptr<Capture>> out;
  for (const auto& [id, capture] : byID_)
    out.push_back(capture);
  return out;
}

int64_t Captures::recordingCount() const {
  std::lock_guard lock(lock_);
  return countRecordingLocked();
}

int64_t Captures::countRecordingLocked() const {
  int64_t count = 0;
  for (const auto& [id, capture] : byID_)
    count += capture->isRecording() ? 1 : 0;
  return count;
}

bool Captures::reportRecordingCount() {
  CountCallback callback;
  int64_t count = 0;
  {
    std::lock_guard lock(lock_);
    if (!onRecordingCountChange_)
      return false;
    callback = onRecordingCountChange_;
    count = countRecordingLocked();
  }
  callback(count);
  return true;
}

} // namespace va
