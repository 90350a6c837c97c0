#include "capture/track_levels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace va {

namespace {

constexpr double kFullScale = 32768.0;

// The mean square (16-bit units) of a level in dBFS.
double meanSquareOf(double db) {
  return kFullScale * kFullScale * std::pow(10.0, db / 10.0);
}

} // namespace

double levelDb(double amplitude) {
  if (!(amplitude > 0))
    return Level::kFloorDb;
  double db = 20.0 * std::log10(amplitude / kFullScale);
  return std::max(Level::kFloorDb, std::round(db * 10.0) / 10.0);
}

void LevelMeter::add(std::span<const int16_t> samples) {
  // Only the newest window's worth matters.
  if (samples.size() > kWindowFrames)
    samples = samples.last(kWindowFrames);
  // Copied in at most two runs: up to the ring's end, then from its start.
  const size_t first = std::min(samples.size(), kWindowFrames - next_);
  std::copy_n(samples.begin(), first, window_.begin() + static_cast<ptrdiff_t>(next_));
  std::copy(samples.begin() + static_cast<ptrdiff_t>(first), samples.end(), window_.begin());
  next_ = (next_ + samples.size()) % kWindowFrames;
  filled_ = std::min(kWindowFrames, filled_ + samples.size());
}

std::optional<Level> LevelMeter::level(uint64_t endNs) const {
  if (filled_ == 0)
    return std::nullopt;
  // The ring as at most two plain runs (no index arithmetic per sample, so the loops vectorise):
  // it is read about a hundred times a second.
  const size_t start = filled_ < kWindowFrames ? 0 : next_;
  const std::span<const int16_t> ring(window_.data(), filled_);
  int64_t sumSquares = 0;
  int peak = 0;
  for (std::span<const int16_t> run : {ring.subspan(start), ring.first(start)}) {
    int32_t runPeak = 0;
    for (int16_t s : run) {
      sumSquares += int32_t{s} * s;
      runPeak = std::max(runPeak, std::abs(int32_t{s}));
    }
    peak = std::max(peak, runPeak);
  }
  double rms = std::sqrt(static_cast<double>(sumSquares) / static_cast<double>(filled_));
  return Level{levelDb(rms), levelDb(peak), endNs};
}

void SilenceWatch::add(std::span<const int16_t> samples,
                       const std::function<void(const Change&)>& changed) {
  while (!samples.empty()) {
    // Up to the end of the window at once: a plain sum that vectorises. 1600 squares of 16-bit
    // samples stay below 2^31 * 1600, so 64 bits are plenty.
    const size_t take = std::min(samples.size(), LevelMeter::kWindowFrames - filled_);
    for (int16_t s : samples.first(take))
      sumSquares_ += int32_t{s} * s;
    samples = samples.subspan(take);
    filled_ += take;
    if (filled_ < LevelMeter::kWindowFrames)
      continue;
    double meanSquare = static_cast<double>(sumSquares_) / LevelMeter::kWindowFrames;
    sumSquares_ = 0;
    filled_ = 0;
    if (auto change = window(meanSquare); change && changed)
      changed(*change);
  }
}

std::optional<SilenceWatch::Change> SilenceWatch::window(double meanSquare) {
  constexpr auto frames = static_cast<int64_t>(LevelMeter::kWindowFrames);
  if (!silent_) {
    if (!(meanSquare < meanSquareOf(kSilentBelowDb))) {
      quietFrames_ = 0;
      return std::nullopt;
    }
    quietFrames_ += frames;
    if (quietFrames_ < kSilentAfterFrames)
      return std::nullopt;
    silent_ = true;
    loudFrames_ = 0;
    return Change{true, quietFrames_};
  }
  if (!(meanSquare > meanSquareOf(kAudibleAboveDb))) {
    // Between the thresholds, or quiet: still part of the silence, and so is a loud stretch
    // that was too short.
    quietFrames_ += loudFrames_ + frames;
    loudFrames_ = 0;
    return std::nullopt;
  }
  loudFrames_ += frames;
  if (loudFrames_ < kAudibleAfterFrames)
    return std::nullopt;
  Change change{false, quietFrames_};
  silent_ = false;
  quietFrames_ = 0;
  loudFrames_ = 0;
  return change;
}

void TrackLevels::publish(const std::string& track, const Level& level) {
  std::lock_guard lock(lock_);
  levels_[track] = level;
}

std::map<std::string, Level> TrackLevels::snapshot() const {
  std::lock_guard lock(lock_);
  return levels_;
}

} // namespace va
