#pragma once

#include "capture/audio_sink.h"
#include "capture/event_log.h"
#include "capture/resampler.h"
#include "capture/segment_writer.h"
#include "capture/track_levels.h"
#include "core/batch.h"
#include "core/clock.h"
#include "core/task_queue.h"

#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace va {

// A step between a sink's converter and its writer (the echo canceller): 16 kHz frames with the
// host time of the first go in; every frame comes out once, in order, with its own time, possibly
// later. Called on the sink's queue only.
class FrameStage {
public:
  using Emit = std::function<void(std::span<const int16_t> frames, uint64_t firstNs)>;
  virtual ~FrameStage() = default;
  virtual void push(std::span<const int16_t> frames, uint64_t firstNs, const Emit& emit) = 0;
  // Everything held comes out; the next frames start a new run (after a gap or a split).
  virtual void flush(const Emit& emit) = 0;
};

struct TrackSummary {
  int64_t segments = 0;
  int64_t frames = 0;
  int64_t droppedFrames = 0; // 16 kHz frames of silence that filled holes in the input
  // 16 kHz frames lost to storage: failed writes and segments, and audio turned away while the
  // disk stalled.
  int64_t lostFrames = 0;
  bool operator==(const TrackSummary&) const = default;
};

// The one entry point of a track's audio: blocks of mono float samples at the device's rate go
// in from any thread; on the sink's own queue they are converted to 16 kHz mono 16-bit, cut at
// gaps and written as WAV segments. A shorter hole in the block times is filled with silence of
// its length, so a segment's frames follow the clock; filled holes are counted ("audio_dropout"
// and the summary's dropped frames). The output is metered (published levels, "track_silent" and
// "track_audible"), and every output frame is given the host time of the input it came from, so
// segments carry the time of their first frame.
// A disk that blocks does not make the queue grow without end: when no queued block has been
// written for kStallNs, "write_stalled" is told; at most kMaxQueuedSamples of input (10 s at
// 48 kHz) wait for the disk, and newer blocks beyond that are turned away and counted as lost
// ("write_resumed" once the queue is current again, and the summary's lostS). Audio after them
// starts a new segment.
// Threads: write() and lastFrameNs() from any thread; split() and finish() from any thread but
// the sink's queue (they wait for it). Everything below `queue_` is touched only on the queue.
class TrackSink final : public AudioSink, public std::enable_shared_from_this<TrackSink> {
public:
  static constexpr uint64_t kGapNs = 500'000'000; // later than this starts a new segment
  static constexpr uint64_t kHoleNs = 500'000;    // later than this is a hole, filled with silence
  static constexpr uint64_t kDropoutReportNs = 10'000'000'000; // "audio_dropout" at most this often
  static constexpr uint64_t kStallNs = 2'000'000'000;  // no block written for this long: stalled
  static constexpr size_t kMaxQueuedSamples = 480'000; // input waiting for the disk, at most

  using MakeQueue =
      std::function<std::expected<std::shared_ptr<TaskQueue>, std::error_code>(std::string label)>;

  struct Options {
    std::shared_ptr<TaskQueue> queue;    // default: a SerialQueue "velmorrant-audio.sink.<name>"
    FileIO* io = nullptr;                // default: the real file system
    std::shared_ptr<TrackLevels> levels; // where the output's level goes; default: nowhere
    MakeQueue makeQueue = {};            // when `queue` is null; default: SerialQueue::make
    DirectoryClaims claims = {};         // for a capture directory made again
    std::shared_ptr<FrameStage> stage = nullptr; // between converter and writer; default: none
  };

  // Creates `tracks/<name>` below the capture directory (see SegmentWriter::make); fails with the
  // file system's error, or the queue's (EAGAIN: no thread). Storage failures become "write_failed"
  // and "write_resumed" events.
  static std::expected<std::shared_ptr<TrackSink>, std::error_code>
  make(std::string name, std::shared_ptr<const CaptureDirectory> capture, int64_t segmentSeconds,
       std::shared_ptr<EventLog> events, std::shared_ptr<const Clock> clock, Options options);
  static std::expected<std::shared_ptr<TrackSink>, std::error_code>
  make(std::string name, std::shared_ptr<const CaptureDirectory> capture, int64_t segmentSeconds,
       std::shared_ptr<EventLog> events, std::shared_ptr<const Clock> clock) {
    return make(std::move(name), std::move(capture), segmentSeconds, std::move(events),
                std::move(clock), Options{});
  }
  ~TrackSink() override;

  const std::string& name() const override { return name_; }

  // Never blocks on conversion or disk: records the arrival time and queues a copy. Empty
  // blocks and rates that are not positive are ignored, arrival included.
  void write(std::span<const float> samples, double rateHz, uint64_t hostNs) override;
  // Host-clock time at which write() last accepted samples; 0 before the first.
  uint64_t lastFrameNs() const override;
  // Releases the converter's tail, closes the open segment and forgets the expected time, so
  // the next audio starts a new segment.
  void split() override;
  // Once: flushes, closes the open segment and stops taking audio. Returns the track's totals;
  // later calls return the same.
  TrackSummary finish();
  // Waits until everything written before the call has been processed (for benchmarks).
  void waitIdle();

private:
  TrackSink(std::string name, std::shared_ptr<EventLog> events, std::shared_ptr<const Clock> clock,
            std::shared_ptr<TaskQueue> queue, std::shared_ptr<TrackLevels> levels,
            std::shared_ptr<FrameStage> stage);
  void ingest(std::span<const float> samples, double rateHz, uint64_t hostNs, bool afterDrop);
  // On the queue: ingests every block written since the last time.
  void takeBlocks();
  // Queued blocks of `samples` in all have been dealt with; ends a stall once the queue is current.
  void dequeued(size_t blocks, size_t samples);
  // Feeds `samples` of input, the first at `hostNs`, to the converter (creating it at `rateHz`
  // first if need be); false when no converter can be made.
  bool feed(std::span<const float> samples, double rateHz, uint64_t hostNs);
  void countHole(uint64_t lostNs, uint64_t atNs);
  // Appends "audio_dropout" for the holes not reported yet, if any.
  void reportDropouts(uint64_t atNs);
  void convert(std::span<const float> input, bool endOfStream);
  void flushAndDrop();
  // Converted frames, past the stage if there is one: metered, and written by writeOut().
  void store(std::span<const int16_t> frames, uint64_t firstNs);
  void meter(std::span<const int16_t> out, uint64_t endNs);
  void writeOut();
  void closeSegment();
  // At the end of each batch of blocks: everything stored is written and the level published.
  void settle();

  const std::string name_;
  const std::shared_ptr<EventLog> events_;
  const std::shared_ptr<const Clock> clock_;
  const std::shared_ptr<TaskQueue> queue_;

  mutable std::mutex lock_; // guards lastFrameNs_ and backlog_ only
  uint64_t lastFrameNs_ = 0;
  struct Queued {
    double rateHz;
    uint64_t hostNs;
    bool afterDrop; // audio was turned away before it
  };
  // The blocks queued for the disk; host-clock ns, seconds of input audio.
  struct Backlog {
    BlockBatch<Queued> blocks;       // written, not yet taken by the queue
    std::deque<uint64_t> queuedAtNs; // arrival of each queued block, oldest first
    size_t queuedSamples = 0;
    uint64_t progressNs = 0; // when the queue last finished a block
    bool stalled = false;
    bool dropped = false;  // a block was turned away since the last one queued
    double stallLostS = 0; // turned away during the current stall
    double lostS = 0;      // turned away over the whole track
  } backlog_;

  // Queue only.
  BlockBatch<Queued>::Taken taken_; // the batch being ingested
  std::unique_ptr<SegmentWriter> writer_;
  std::unique_ptr<Resampler> converter_;
  double sourceRate_ = 0;
  // Where the input stands on the host clock: the time of a block that started it and the input
  // samples since then, at `rateHz`. The next block is due at startNs + samples / rateHz.
  struct Timeline {
    uint64_t startNs;
    int64_t samples;
    double rateHz;
  };
  std::optional<Timeline> timeline_;
  bool finished_ = false;
  int64_t turnedAwayFrames_ = 0; // of backlog_.lostS, as the track finished
  uint64_t droppedNs_ = 0;       // silence filled in, over the whole track
  uint64_t pendingLostNs_ = 0;   // holes not reported yet
  int64_t pendingHoles_ = 0;
  std::optional<uint64_t> reportedNs_; // block time of the last "audio_dropout"
  OutputClock outputClock_;            // dates the current converter's output
  int64_t output_ = 0;                 // frames it has produced
  const std::shared_ptr<FrameStage> stage_;
  FrameStage::Emit toStore_; // store(), for the stage
  const std::shared_ptr<TrackLevels> levels_;
  LevelMeter levelMeter_;
  std::optional<uint64_t> meteredToNs_;          // host time of the end of the newest metered frame
  std::vector<int16_t> unwritten_;               // stored frames not yet handed to the writer
  uint64_t unwrittenNs_ = 0;                     // host time of the first of them
  static constexpr size_t kMaxUnwritten = 16000; // written at least once a second of audio
  SilenceWatch silenceWatch_;
};

// A rate the way diagnostics print it: "44100.0", "22050.5", "1e-05".
std::string formatRate(double rateHz);

} // namespace va
