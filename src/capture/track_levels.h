#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace va {

// A track's level over a window of its 16 kHz output, in dBFS with one decimal.
struct Level {
  static constexpr double kFloorDb = -120.0; // digital silence

  double rmsDb = kFloorDb;
  double peakDb = kFloorDb;
  uint64_t tNs = 0; // host clock at the end of the window
  bool operator==(const Level&) const = default;
};

// The level of the most recent 100 ms of a track's output. Not thread-safe; the sink's queue.
class LevelMeter {
public:
  static constexpr size_t kWindowFrames = 1600; // 100 ms at 16 kHz

  void add(std::span<const int16_t> samples);
  // Over the last kWindowFrames samples (fewer before that many have come); `endNs` is the host
  // time of the end of the newest sample. Nothing before any sample.
  std::optional<Level> level(uint64_t endNs) const;

private:
  std::array<int16_t, kWindowFrames> window_{};
  size_t next_ = 0;   // where the next sample goes
  size_t filled_ = 0; // up to kWindowFrames
};

// Tells when a track's output turns silent and when it is heard again, from consecutive 100 ms
// windows of it: silent after kSilentAfterS of windows below kSilentBelowDb RMS, audible again
// after kAudibleAfterS of windows above kAudibleAboveDb. Time is the audio's own: a track that
// gets no frames does not go on being silent. Not thread-safe; the sink's queue.
class SilenceWatch {
public:
  static constexpr double kSilentBelowDb = -60.0;
  static constexpr double kAudibleAboveDb = -50.0;
  static constexpr int64_t kSilentAfterFrames = 10 * 16000; // 10 s
  static constexpr int64_t kAudibleAfterFrames = 8000;      // 0.5 s

  struct Change {
    bool silent;          // true: it went silent; false: it is audible again
    int64_t silentFrames; // the silence so far, or its whole length
    bool operator==(const Change&) const = default;
  };

  // Feeds samples; `changed` is called for each change, at the end of the window that makes it.
  void add(std::span<const int16_t> samples, const std::function<void(const Change&)>& changed);
  bool silent() const { return silent_; }

private:
  std::optional<Change> window(double meanSquare);

  int64_t sumSquares_ = 0; // of the window being filled
  size_t filled_ = 0;
  bool silent_ = false;
  int64_t quietFrames_ = 0; // below the threshold in a row; once silent, the silence so far
  int64_t loudFrames_ = 0;  // above kAudibleAboveDb in a row, once silent
};

// dBFS of an RMS or a peak in 16-bit units (full scale 32768), with one decimal; kFloorDb for 0.
double levelDb(double amplitude);

// The levels of a capture's tracks, published by their sinks and read by requests without
// waiting for any queue. Threads: any; one small lock.
class TrackLevels {
public:
  void publish(const std::string& track, const Level& level);
  // Tracks that have written nothing are absent.
  std::map<std::string, Level> snapshot() const;

private:
  mutable std::mutex lock_;
  std::map<std::string, Level> levels_;
};

} // namespace va
