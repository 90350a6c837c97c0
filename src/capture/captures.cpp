#include "capture/captures.h"

#include "core/log.h"
#include "core/random.h"
#include "core/serial_queue.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <new>
#include <system_error>

namespace va {

Capture::Capture(std::string id, std::string dir, std::shared_ptr<const Clock> clock)
    : id_(std::move(id)), dir_(std::move(dir)), clock_(clock), startedAtNs_(clock->nowNs()),
      events_(std::make_shared<EventLog>(std::move(clock))) {}

Json Capture::stop() {
  return stopOnce().first;
}

std::pair<Json, bool> Capture::stopOnce() {
  std::lock_guard stopping(stopMutex_);
  if (auto done = summary())
    return {*done, false};
  for (const Track& track : tracks_)
    if (track.strategy)
      track.strategy->stop();
  if (reference_) {
    reference_->io->stop();
    reference_->sink->finish();
  }
  Json tracks = Json::object();
  for (const Track& track : tracks_) {
    TrackSummary totals = track.sink->finish();
    auto seconds = [](int64_t frames) {
      return std::round(static_cast<double>(frames) / SegmentWriter::kRateHz * 1000) / 1000;
    };
    // droppedS: silence that filled holes in the input; lostS: audio that storage did not keep.
    tracks[track.name] = Json{{"segments", totals.segments},
                              {"frames", totals.frames},
                              {"droppedS", seconds(totals.droppedFrames)},
                              {"lostS", seconds(totals.lostFrames)}};
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
    track.input.reset();
  }
  reference_.reset();
  // Last: everything the tracks report on their way out is in the log before it.
  events_->append("capture_stopped", Json{{"summary", summary}});
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

namespace {

// A thread, descriptor or memory that could not be had: the same request may succeed later.
bool isResource(const std::error_code& error) {
  using enum std::errc;
  return error == resource_unavailable_try_again || error == too_many_files_open ||
         error == too_many_files_open_in_system || error == not_enough_memory;
}

} // namespace

std::expected<std::shared_ptr<Capture>, CreateError> Captures::create(const CaptureSpec& spec) {
  std::optional<DirectoryKey> key =
      spec.directory ? directoryKey(spec.directory->dir.get()) : std::nullopt;
  if (!key)
    return std::unexpected(CreateError{CreateError::Kind::failed, "no capture directory"});
  // Tracks, and the echo canceller's reference, which holds as much as a track.
  const bool echo = spec.mic && spec.mic->echoCancellation;
  const size_t wanted = (spec.mic ? 1 : 0) + (spec.remote ? 1 : 0) + (echo ? 1 : 0) +
                        (echo && spec.mic->keepRaw ? 1 : 0);
  uint64_t owner = 0;
  std::shared_ptr<Capture> capture;
  // Nothing half-made stays: strategies stopped, sinks finished, the claims given back.
  auto unwind = [&] {
    if (capture) {
      try {
        capture->stop();
      } catch (...) {
        log("a capture that could not start could not be stopped either");
      }
    }
    if (owner != 0) {
      releaseClaims(owner);
      changeTracks(0, wanted);
    }
  };
  std::expected<std::shared_ptr<Capture>, CreateError> built;
  try {
    built = build(spec, *key, wanted, owner, capture);
  } catch (const std::exception& e) {
    // A factory or a strategy that throws (a thread that cannot be made, memory) is refused as
    // such, never past this point.
    auto* system = dynamic_cast<const std::system_error*>(&e);
    bool resource =
        (system && isResource(system->code())) || dynamic_cast<const std::bad_alloc*>(&e);
    built = std::unexpected(
        CreateError{resource ? CreateError::Kind::busy : CreateError::Kind::failed, e.what()});
  } catch (...) {
    built = std::unexpected(CreateError{CreateError::Kind::failed, "unknown exception"});
  }
  if (!built) {
    unwind();
    return built;
  }
  std::string names;
  for (const Capture::Track& track : capture->tracks())
    names += (names.empty() ? "" : "+") + track.name;
  {
    std::lock_guard lock(lock_);
    forgetStoppedLocked();
    byID_[capture->id()] = capture;
  }
  log("capture " + capture->id() + " started: " + names + ", " +
      std::to_string(spec.segmentSeconds) + " s segments");
  reportRecordingCount();
  return capture;
}

std::expected<std::shared_ptr<Capture>, CreateError>
Captures::build(const CaptureSpec& spec, DirectoryKey key, size_t wanted, uint64_t& owner,
                std::shared_ptr<Capture>& capture) {
  using Kind = CreateError::Kind;
  // The request's own faults first: a client may retry a busy directory, never these.
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

  // Then the resources: one recording per directory, and no more tracks than descriptors allow,
  // claimed together before anything is made, so two requests at once cannot both have them.
  std::function<void(size_t)> onTracks;
  size_t tracks = 0;
  {
    std::lock_guard lock(lock_);
    std::lock_guard claimed(claims_->lock);
    if (claims_->owners.contains(key))
      return std::unexpected(CreateError{Kind::directoryBusy, {}});
    if (tracks_ + wanted > trackLimit_)
      return std::unexpected(CreateError{Kind::tooManyCaptures, {}});
    owner = ++lastOwner_;
    claims_->owners.emplace(key, owner);
    tracks = tracks_ += wanted;
    onTracks = onTracksChange_;
  }
  if (onTracks)
    onTracks(tracks);

  auto id = randomUUID();
  if (!id)
    return std::unexpected(CreateError{Kind::failed, "no capture id: " + id.error()});
  capture = std::make_shared<Capture>(std::move(*id), spec.dir, clock_);
  capture->claimOwner_ = owner;
  capture->claimedTracks_ = wanted;

  auto makeSink = [&](const std::string& name, std::shared_ptr<FrameStage> stage)
      -> std::expected<std::shared_ptr<TrackSink>, CreateError> {
    auto sink =
        TrackSink::make(name, spec.directory, spec.segmentSeconds, capture->events(), clock_,
                        TrackSink::Options{.queue = nullptr,
                                           .io = nullptr,
                                           .levels = capture->levels(),
                                           .makeQueue = factories_.makeQueue,
                                           .claims = claimsOf(owner),
                                           .stage = std::move(stage)});
    if (!sink)
      return std::unexpected(CreateError{isResource(sink.error()) ? Kind::busy : Kind::failed,
                                         "cannot create " + spec.dir + "/tracks/" + name + ": " +
                                             sink.error().message()});
    return std::move(*sink);
  };

  const bool echo = spec.mic && spec.mic->echoCancellation;
  std::shared_ptr<EchoLink> link;
  if (echo)
    if (std::unique_ptr<EchoEngine> engine = makeLibraryEchoEngine())
      link = std::make_shared<EchoLink>(std::move(engine), capture->events());
  if (spec.mic) {
    auto sink = makeSink("mic", link);
    if (!sink)
      return std::unexpected(sink.error());
    Capture::Track mic{"mic", *sink, factories_.makeMic(spec.mic->deviceUid), *sink};
    std::optional<Capture::Track> raw;
    if (echo && spec.mic->keepRaw) {
      auto rawSink = makeSink("micRaw", nullptr);
      if (!rawSink)
        return std::unexpected(rawSink.error());
      raw = Capture::Track{"micRaw", *rawSink, nullptr, *rawSink};
      mic.input = std::make_shared<TeeSink>(*sink, *rawSink);
    }
    capture->tracks_.push_back(std::move(mic));
    if (raw)
      capture->tracks_.push_back(std::move(*raw));
  }
  if (remote) {
    auto sink = makeSink("remote", nullptr);
    if (!sink)
      return std::unexpected(sink.error());
    capture->tracks_.push_back({"remote", *sink, std::move(remote), *sink});
  }
  if (echo) {
    // The reference runs before the microphone, so that its first frames are cancelled; without
    // one the mic track records unprocessed and its "track_started" says why.
    std::string why;
    if (!link)
      why = "no echo canceller could be made";
    else if (!factories_.makeReference)
      why = "no audio server can be reached";
    else {
      const std::string label = "velmorrant-audio.sink.reference";
      auto queue = factories_.makeQueue ? factories_.makeQueue(label) : SerialQueue::make(label);
      if (!queue)
        return std::unexpected(
            CreateError{isResource(queue.error()) ? Kind::busy : Kind::failed,
                        "no queue for the echo reference: " + queue.error().message()});
      auto sink = std::make_shared<ReferenceSink>(link, std::move(*queue));
      capture->reference_ = Capture::Reference{factories_.makeReference(), sink};
      std::weak_ptr<EventLog> log = capture->events();
      auto started = capture->reference_->io->start(
          [sink](std::span<const float> samples, double rateHz, uint64_t hostNs) {
            sink->write(samples, rateHz, hostNs);
          },
          [log](const OutputDeviceInfo& device) {
            if (auto events = log.lock())
              events->append("default_output_changed",
                             Json{{"track", "mic"}, {"device", device.json()}});
          });
      if (started)
        link->enable();
      else
        why = started.error().description;
    }
    Json fields{{"echoCancellation", why.empty()}};
    if (!why.empty())
      fields["echoCancellationReason"] = why;
    capture->tracks_.front().strategy->addStartedFields(std::move(fields));
  }
  for (const Capture::Track& track : capture->tracks_)
    if (track.strategy)
      if (auto started = track.strategy->start(track.input, capture->events()); !started)
        return std::unexpected(CreateError{Kind::failed, started.error().description});
  return capture;
}

DirectoryClaims Captures::claimsOf(uint64_t owner) const {
  return DirectoryClaims{
      .claim =
          [claims = claims_, owner](DirectoryKey key, bool made) {
            std::lock_guard lock(claims->lock);
            auto it = claims->owners.find(key);
            if (it != claims->owners.end())
              return it->second == owner;
            if (made)
              claims->owners.emplace(key, owner);
            return made;
          },
      .release =
          [claims = claims_, owner](DirectoryKey key) {
            std::lock_guard lock(claims->lock);
            if (auto it = claims->owners.find(key);
                it != claims->owners.end() && it->second == owner)
              claims->owners.erase(it);
          },
  };
}

std::set<DirectoryKey> Captures::claimedDirectories() const {
  std::lock_guard lock(claims_->lock);
  std::set<DirectoryKey> keys;
  for (const auto& [key, owner] : claims_->owners)
    keys.insert(key);
  return keys;
}

void Captures::releaseClaims(uint64_t owner) {
  std::lock_guard lock(claims_->lock);
  std::erase_if(claims_->owners, [owner](const auto& entry) { return entry.second == owner; });
}

std::optional<Json> Captures::stop(const std::string& id) {
  std::shared_ptr<Capture> capture = find(id);
  if (!capture)
    return std::nullopt;
  auto [summary, first] = capture->stopOnce();
  if (first) {
    releaseClaims(capture->claimOwner_);
    {
      std::lock_guard lock(lock_);
      forgetStoppedLocked();
    }
    changeTracks(0, capture->claimedTracks_);
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
