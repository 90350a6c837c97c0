#include "capture/track_sink.h"

#include "core/log.h"
#include "core/serial_queue.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace va {

namespace {

// 16 kHz frames as seconds with one decimal.
double tenthsOfSeconds(int64_t frames) {
  return std::round(static_cast<double>(frames) / static_cast<double>(SegmentWriter::kRateHz) *
                    10) /
         10;
}

// Nanoseconds as seconds with three decimals.
double thousandthsOfSeconds(uint64_t ns) {
  return static_cast<double>(std::llround(static_cast<double>(ns) / 1e6)) / 1000;
}

} // namespace

std::string formatRate(double rateHz) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, rateHz);
  std::string out(text, ec == std::errc() ? end : text);
  if (std::isfinite(rateHz) && out.find_first_of(".e") == std::string::npos)
    out += ".0";
  return out;
}

std::expected<std::shared_ptr<TrackSink>, std::error_code>
TrackSink::make(std::string name, std::shared_ptr<const CaptureDirectory> capture,
                int64_t segmentSeconds, std::shared_ptr<EventLog> events,
                std::shared_ptr<const Clock> clock, Options options) {
  std::shared_ptr<TaskQueue> queue = options.queue;
  if (!queue) {
    const std::string label = "velmorrant-audio.sink." + name;
    auto made = options.makeQueue ? options.makeQueue(label) : SerialQueue::make(label);
    if (!made)
      return std::unexpected(made.error());
    queue = std::move(*made);
  }
  std::shared_ptr<TrackSink> sink(new TrackSink(name, events, std::move(clock), std::move(queue),
                                                std::move(options.levels),
                                                std::move(options.stage)));
  // The events run on the sink's queue and need only the log, not the sink.
  std::weak_ptr<EventLog> weakLog = events;
  auto append = [weakLog](const char* type, Json fields) {
    if (auto target = weakLog.lock())
      target->append(type, std::move(fields));
  };
  SegmentWriter::Events writerEvents{
      .closed =
          [append, track = name](const SegmentInfo& info) {
            append("segment_closed",
                   Json{{"track", track},
                        {"index", info.index},
                        {"path", info.path},
                        {"frames", info.frames},
                        {"durationS", static_cast<double>(info.frames) /
                                          static_cast<double>(SegmentWriter::kRateHz)},
                        {"startNs", info.startNs}});
          },
      .writeFailed =
          [append, track = name](const std::string& path, int error) {
            append("write_failed", Json{{"track", track},
                                        {"path", path},
                                        {"errno", error},
                                        {"error", std::strerror(error)}});
          },
      .writeResumed =
          [append, track = name](int64_t lostFrames) {
            append("write_resumed", Json{{"track", track}, {"lostS", tenthsOfSeconds(lostFrames)}});
          },
      .claims = std::move(options.claims),
  };
  auto writer =
      SegmentWriter::make(std::move(capture), name, segmentSeconds * SegmentWriter::kRateHz,
                          std::move(writerEvents), options.io ? *options.io : FileIO::posix());
  if (!writer)
    return std::unexpected(writer.error());
  sink->writer_ = std::move(*writer);
  return sink;
}

TrackSink::TrackSink(std::string name, std::shared_ptr<EventLog> events,
                     std::shared_ptr<const Clock> clock, std::shared_ptr<TaskQueue> queue,
                     std::shared_ptr<TrackLevels> levels, std::shared_ptr<FrameStage> stage)
    : name_(std::move(name)), events_(std::move(events)), clock_(std::move(clock)),
      queue_(std::move(queue)), stage_(std::move(stage)), levels_(std::move(levels)) {
  toStore_ = [this](std::span<const int16_t> frames, uint64_t firstNs) { store(frames, firstNs); };
}

TrackSink::~TrackSink() = default;

void TrackSink::write(std::span<const float> samples, double rateHz, uint64_t hostNs) {
  if (samples.empty() || !(rateHz > 0))
    return;
  const auto nowNs = static_cast<uint64_t>(clock_->nowNs());
  const double seconds = static_cast<double>(samples.size()) / rateHz;
  bool stalls = false, turnedAway = false, post = false;
  {
    std::lock_guard lock(lock_);
    lastFrameNs_ = nowNs;
    Backlog& b = backlog_;
    // Noticed here, as the queue itself may be stuck in a write or an fsync.
    const bool stuck =
        !b.queuedAtNs.empty() && nowNs > std::max(b.queuedAtNs.front(), b.progressNs) + kStallNs;
    turnedAway = b.queuedSamples + samples.size() > kMaxQueuedSamples;
    stalls = !b.stalled && (stuck || turnedAway);
    b.stalled = b.stalled || stalls;
    if (turnedAway) {
      b.dropped = true;
      b.stallLostS += seconds;
      b.lostS += seconds;
    } else {
      b.queuedAtNs.push_back(nowNs);
      b.queuedSamples += samples.size();
      post = b.blocks.add(samples, {rateHz, hostNs, std::exchange(b.dropped, false)});
    }
  }
  if (stalls)
    events_->append("write_stalled", Json{{"track", name_}});
  if (!post)
    return;
  // The work holds the sink weakly: blocks still queued when the sink goes are dropped.
  queue_->async([self = weak_from_this()] {
    if (auto sink = self.lock())
      sink->takeBlocks();
  });
}

void TrackSink::takeBlocks() {
  {
    std::lock_guard lock(lock_);
    backlog_.blocks.take(taken_);
  }
  const size_t samples = taken_.forEach([this](std::span<const float> block, const Queued& info) {
    ingest(block, info.rateHz, info.hostNs, info.afterDrop);
  });
  settle();
  dequeued(taken_.blocks.size(), samples);
  taken_.samples.clear();
  taken_.blocks.clear();
}

void TrackSink::dequeued(size_t blocks, size_t samples) {
  const auto nowNs = static_cast<uint64_t>(clock_->nowNs());
  std::optional<double> lostS;
  {
    std::lock_guard lock(lock_);
    Backlog& b = backlog_;
    b.queuedAtNs.erase(b.queuedAtNs.begin(),
                       b.queuedAtNs.begin() +
                           static_cast<ptrdiff_t>(std::min(blocks, b.queuedAtNs.size())));
    b.queuedSamples =
        b.queuedAtNs.empty() ? 0 : b.queuedSamples - std::min(b.queuedSamples, samples);
    b.progressNs = nowNs;
    if (b.stalled && (b.queuedAtNs.empty() || nowNs <= b.queuedAtNs.front() + kStallNs)) {
      b.stalled = false;
      lostS = std::exchange(b.stallLostS, 0.0);
    }
  }
  if (lostS)
    events_->append("write_resumed",
                    Json{{"track", name_}, {"lostS", std::round(*lostS * 10) / 10}});
}

uint64_t TrackSink::lastFrameNs() const {
  std::lock_guard lock(lock_);
  return lastFrameNs_;
}

void TrackSink::ingest(std::span<const float> samples, double rateHz, uint64_t hostNs,
                       bool afterDrop) {
  if (finished_)
    return;
  uint64_t holeNs = 0;
  if (timeline_ && afterDrop) {
    // Audio was turned away before this block: counted as lost, not filled with silence.
    if (converter_)
      flushAndDrop();
    closeSegment();
    timeline_.reset();
  } else if (timeline_) {
    auto dueNs =
        timeline_->startNs +
        static_cast<uint64_t>(static_cast<double>(timeline_->samples) / timeline_->rateHz * 1e9);
    if (hostNs > dueNs + kGapNs) {
      // A long gap is a segment boundary, not silence.
      if (converter_)
        flushAndDrop();
      closeSegment();
      timeline_.reset();
    } else if (hostNs > dueNs + kHoleNs) {
      holeNs = hostNs - dueNs;
    } else if (hostNs + kHoleNs < dueNs) {
      timeline_.reset(); // earlier than due: taken as continuous, the timeline starts again here
    }
  }
  if (holeNs > 0) {
    // Silence of the hole's length at the incoming rate, dated where the hole began.
    auto fill = static_cast<size_t>(std::llround(static_cast<double>(holeNs) * rateHz / 1e9));
    std::vector<float> silence(fill, 0.0f);
    if (fill > 0 && !feed(silence, rateHz, hostNs - holeNs))
      return;
    if (timeline_->rateHz != rateHz)
      timeline_ = Timeline{hostNs - holeNs, 0, rateHz};
    timeline_->samples += static_cast<int64_t>(fill);
    countHole(holeNs, hostNs);
  }
  if (!feed(samples, rateHz, hostNs))
    return;
  if (!timeline_ || timeline_->rateHz != rateHz)
    timeline_ = Timeline{hostNs, 0, rateHz};
  timeline_->samples += static_cast<int64_t>(samples.size());
  if (pendingHoles_ > 0 && hostNs >= *reportedNs_ + kDropoutReportNs)
    reportDropouts(hostNs);
}

bool TrackSink::feed(std::span<const float> samples, double rateHz, uint64_t hostNs) {
  if (!converter_ || rateHz != sourceRate_) {
    if (converter_)
      flushAndDrop();
    converter_ = Resampler::make(rateHz);
    if (!converter_) {
      log(name_ + ": no converter from " + formatRate(rateHz) + " Hz");
      return false;
    }
    sourceRate_ = rateHz;
    output_ = 0;
    outputClock_.restart(rateHz);
  }
  outputClock_.input(samples.size(), hostNs);
  convert(samples, false);
  return true;
}

void TrackSink::countHole(uint64_t lostNs, uint64_t atNs) {
  droppedNs_ += lostNs;
  pendingLostNs_ += lostNs;
  ++pendingHoles_;
  if (!reportedNs_ || atNs >= *reportedNs_ + kDropoutReportNs)
    reportDropouts(atNs);
}

void TrackSink::reportDropouts(uint64_t atNs) {
  if (pendingHoles_ == 0)
    return;
  reportedNs_ = atNs;
  events_->append("audio_dropout", Json{{"track", name_},
                                        {"lostS", thousandthsOfSeconds(pendingLostNs_)},
                                        {"holes", pendingHoles_}});
  pendingLostNs_ = 0;
  pendingHoles_ = 0;
}

void TrackSink::convert(std::span<const float> input, bool endOfStream) {
  if (!converter_)
    return;
  auto result = converter_->convert(input, endOfStream, [&](std::span<const int16_t> out) {
    uint64_t firstNs = outputClock_.timeOf(output_);
    output_ += static_cast<int64_t>(out.size());
    if (stage_)
      stage_->push(out, firstNs, toStore_);
    else
      store(out, firstNs);
  });
  if (!result)
    log(name_ + ": conversion failed: " + (result.error().empty() ? "unknown" : result.error()));
}

void TrackSink::store(std::span<const int16_t> frames, uint64_t firstNs) {
  // Gathered into one write per batch of blocks. A run that does not follow on in time is
  // written apart, so a segment opened inside a write is dated by its own frames.
  const uint64_t dueNs = unwrittenNs_ + unwritten_.size() * SegmentWriter::kNsPerFrame;
  if (!unwritten_.empty() &&
      (firstNs + SegmentWriter::kNsPerFrame / 2 < dueNs ||
       firstNs > dueNs + SegmentWriter::kNsPerFrame / 2 || unwritten_.size() >= kMaxUnwritten))
    writeOut();
  if (unwritten_.empty())
    unwrittenNs_ = firstNs;
  unwritten_.insert(unwritten_.end(), frames.begin(), frames.end());
  meter(frames, firstNs + frames.size() * SegmentWriter::kNsPerFrame);
}

void TrackSink::writeOut() {
  if (unwritten_.empty())
    return;
  writer_->append(unwritten_.data(), unwritten_.size(), unwrittenNs_);
  unwritten_.clear();
}

void TrackSink::closeSegment() {
  writeOut();
  writer_->closeSegment();
}

void TrackSink::settle() {
  writeOut();
  if (meteredToNs_ && levels_)
    if (auto level = levelMeter_.level(*meteredToNs_))
      levels_->publish(name_, *level);
  meteredToNs_.reset();
}

void TrackSink::meter(std::span<const int16_t> out, uint64_t endNs) {
  levelMeter_.add(out);
  meteredToNs_ = endNs;
  silenceWatch_.add(out, [this](const SilenceWatch::Change& change) {
    events_->append(change.silent ? "track_silent" : "track_audible",
                    Json{{"track", name_}, {"silentS", tenthsOfSeconds(change.silentFrames)}});
  });
}

void TrackSink::flushAndDrop() {
  convert({}, true);
  if (stage_)
    stage_->flush(toStore_);
  converter_.reset();
  sourceRate_ = 0;
}

void TrackSink::split() {
  queue_->sync([this] {
    if (converter_)
      flushAndDrop();
    closeSegment();
    settle();
    timeline_.reset();
  });
}

TrackSummary TrackSink::finish() {
  TrackSummary summary;
  queue_->sync([this, &summary] {
    if (!finished_) {
      if (converter_)
        flushAndDrop();
      closeSegment();
      settle();
      reportDropouts(0);
      finished_ = true;
      std::lock_guard lock(lock_);
      turnedAwayFrames_ = std::llround(backlog_.lostS * SegmentWriter::kRateHz);
    }
    summary =
        TrackSummary{writer_->closedSegments(), writer_->totalFrames(),
                     std::llround(static_cast<double>(droppedNs_) * SegmentWriter::kRateHz / 1e9),
                     writer_->lostFrames() + turnedAwayFrames_};
  });
  return summary;
}

void TrackSink::waitIdle() {
  queue_->sync([] {});
}

} // namespace va
